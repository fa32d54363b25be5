// kvhost's line reader: UTF-16 from a console, UTF-8 from a pipe or file.
#include "line_reader.h"
#include "host_control.h"

namespace {

// How long an empty console read waits for the control handler, which runs
// on a thread of its own and may come after the read has ended.
constexpr DWORD kBreakWaitMs = 250;
// Empty reads in a row, none of them a break, after which the console is
// taken to be gone rather than read for ever.
constexpr int kEmptyReadsAtEnd = 3;

void Append(std::wstring& line, const std::string& bytes) {
    if (bytes.empty()) return;
    int chars = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring wide(chars, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), chars);
    line += wide;
}

bool TakeBreak(std::wstring& line) {
    if (!HostTakeBreak()) return false;
    Qprintf(GetStdHandle(STD_OUTPUT_HANDLE), L"^C\r\n");
    line.clear();
    return true;
}

}  // namespace

BOOL LineReader::ReadFromConsole(HANDLE input, wchar_t* chunk, DWORD capacity, DWORD* got) {
    return ReadConsoleW(input, chunk, capacity, got, nullptr);
}

// Ctrl+C at the prompt cancels the line typed so far, not the host. Windows
// ends the read at once, with no characters and ERROR_OPERATION_ABORTED,
// possibly before the control handler has run; Wine's console goes on
// reading, and the line is dropped when it is entered.
bool LineReader::ReadConsoleLine(HANDLE input, std::wstring& line) {
    wchar_t chunk[512];
    for (;;) {
        DWORD got = 0;
        SetLastError(ERROR_SUCCESS);
        const BOOL read = read_(input, chunk, 512, &got);
        const DWORD error = GetLastError();
        if (TakeBreak(line)) return emptyReads_ = 0, true;
        if (got == 0 && (read || error == ERROR_OPERATION_ABORTED)) {
            // Only empty reads in a row with no break between them end the input.
            if (HostWaitForBreak(kBreakWaitMs) && TakeBreak(line)) return emptyReads_ = 0, true;
            if (++emptyReads_ >= kEmptyReadsAtEnd) return !line.empty();
            line.clear();
            return true;  // the prompt again
        }
        if (!read || got == 0) return !line.empty();
        emptyReads_ = 0;
        line.append(chunk, got);
        if (line.back() == L'\n') return true;
    }
}

bool LineReader::ReadFileLine(HANDLE input, std::wstring& line) {
    for (;;) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            Append(line, pending_.substr(0, newline));
            pending_.erase(0, newline + 1);
            return true;
        }
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(input, chunk, sizeof chunk, &got, nullptr) || got == 0) {
            if (pending_.empty()) return false;
            Append(line, pending_);
            pending_.clear();
            return true;
        }
        pending_.append(chunk, got);
    }
}

bool LineReader::Read(std::wstring& line) {
    line.clear();
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    const bool console = read_ != ReadFromConsole || GetConsoleMode(input, &mode);
    if (!(console ? ReadConsoleLine(input, line) : ReadFileLine(input, line))) return false;
    while (!line.empty() && (line.back() == L'\n' || line.back() == L'\r')) line.pop_back();
    // Ctrl+Z typed at the console ends the input, as it does for other console programs.
    return line != L"\x1a";
}
