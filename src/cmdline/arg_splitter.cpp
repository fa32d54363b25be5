// Splits the KV argument line into the process-wide argument list
// (g_state.argCount, argv, argLen, argBuf): switches one by one, then the
// command, which keeps the rest of the line exactly as typed.
#include "cmdline/arg_splitter.h"
#include <cstring>
#include <cwctype>
#include "frame/host_api.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"

static bool IsArgBlank(wchar_t c) {
    if ((c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0) return true;
    // Below U+0100 only the characters above count; the C library's idea of
    // space there (U+0085, for one) depends on its locale.
    return c > 0xFF && iswspace(c);
}

static bool IsArgLetter(wchar_t c) { return iswalpha(c) != 0; }

namespace {

// Where the scan of one line stands; lives for one SplitArgs call.
struct SplitScan {
    bool splitOnSpace = true;  // blanks outside quotes end an argument (switches only)
    bool keepQuotes = false;   // quotes are part of the text (command, quoted first word)
    bool inQuotes = false;
    bool inUrl = false;        // "x://" seen in this argument: its slashes do not split
    int length = 0;            // characters of the current argument so far
    int index = 0;             // arguments finished so far
    int position = 0;          // next free place in argBuf
    wchar_t first = 0;         // first character of the current argument
};

// Closes the current argument: the next one starts one past its terminator.
// The index stops at kMaxArgs, and the terminator is only written inside argBuf.
void EndArgument(SplitScan& scan) {
    if (scan.index < kMaxArgs) ++scan.index;
    ++scan.position;
    if (scan.position < MAX_ARG_LEN) g_state.argBuf[scan.position] = L'\0';
    scan.length = 0;
}

void ClearArgList() {
    g_state.argCount = 0;
    std::memset(g_state.argLen, 0, sizeof g_state.argLen);
    std::memset(g_state.argv, 0, sizeof g_state.argv);
    g_state.argBuf[0] = L'\0';
}

}  // namespace

int SplitArgs(const wchar_t* line) {
    if (!line) return -1;
    ClearArgList();
    SplitScan scan;

    for (const wchar_t* p = line;; ++p) {
        const wchar_t c = *p;

        if (c == L'"') {
            // A quote that opens an argument keeps every quote of that argument.
            if (scan.length == 0) scan.keepQuotes = true;
            scan.inQuotes = !scan.inQuotes;
            if (!scan.keepQuotes) continue;
        }
        if (scan.length == 0 && !scan.inQuotes && IsArgBlank(c)) continue;
        if (scan.length == 0 && c != L'/' && scan.splitOnSpace) {
            // The first word that is not a switch is the command: from here on
            // nothing splits and the text is kept as typed.
            scan.splitOnSpace = false;
            scan.keepQuotes = true;
        }
        if (IsArgBlank(c) && !scan.inQuotes && scan.splitOnSpace) {
            EndArgument(scan);
            scan.inQuotes = false;
            scan.inUrl = false;
            continue;
        }

        if (c == L':') {
            // p[-1] exists: the current argument already holds a character of this line.
            if (scan.length > 0 && IsArgLetter(p[-1]) && p[1] == L'/' && p[2] == L'/') scan.inUrl = true;
        } else if (c == L'/') {
            // "/N:3/Q" is two switches; a slash as the second character ("//x") is not a split.
            if (!scan.inQuotes && !scan.inUrl && scan.length > 1 && scan.first == L'/') EndArgument(scan);
        } else if (c == L'\0') {
            if (scan.length > 0 && scan.index < kMaxArgs) ++scan.index;
            break;
        }

        if (scan.position >= MAX_ARG_LEN - 1) {
            // The list must stay consistent: no counted argument, no stale pointers.
            ClearArgList();
            PrintErrorPrefix();
            Qprintf(GetStdHandle(STD_ERROR_HANDLE), L"Buffer overflow: b = %d, MAX_ARG_LEN = %d \r\n", scan.position,
                    MAX_ARG_LEN);
            return -1;
        }
        if (scan.index >= kMaxArgs) continue;  // arguments past the limit are dropped silently
        if (scan.length == 0) {
            g_state.argv[scan.index] = &g_state.argBuf[scan.position];
            scan.first = c;
        }
        g_state.argBuf[scan.position++] = c;
        g_state.argBuf[scan.position] = L'\0';
        g_state.argLen[scan.index] = ++scan.length;
    }

    for (int k = 0; k < scan.index; ++k) {
        int& len = g_state.argLen[k];
        while (len > 0 && IsArgBlank(g_state.argv[k][len - 1])) g_state.argv[k][--len] = L'\0';
    }
    g_state.argCount = scan.index;
    return scan.index;
}
