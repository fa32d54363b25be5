// The help texts of KV, of its /O suboptions and of _TRIALRUN, and the
// routine that writes the KV help, with its italics marks made visible on a
// console that understands escape sequences. Owns no state.
#include "cmdline/help_text.h"
#include <cstdlib>
#include "frame/host_api.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"

// Marks inside help texts: italics and underline on and off.
#define ITALIC_ON L"\x1c"
#define ITALIC_OFF L"\x1d"

// Line ends, trailing blanks and the lone "\r\n" on the usage line are part of the text.
const wchar_t KvHelpText[] =
    L"Run and time a command repeatedly.\n"
    L"\n"
    L"KV /B /D:" ITALIC_ON L"m" ITALIC_OFF L"," ITALIC_ON L"n" ITALIC_OFF L" /E /M /N:" ITALIC_ON L"n" ITALIC_OFF
    L" /O: /Q /S /U:" ITALIC_ON L"n" ITALIC_OFF L" " ITALIC_ON L"command" ITALIC_OFF L"\r\n"
    L"\n"
    L"\t/B\toutput to the bit bucket\n"
    L"\t/D:\tdrop the " ITALIC_ON L"m" ITALIC_OFF L" slowest and " ITALIC_ON L"n" ITALIC_OFF L" fastest runs\n"
    L"\t/E\texclude runs with errors\n"
    L"\t/M\tdisplay times as milliseconds\n"
    L"\t/N:\tnumber of runs (the default is 10)  \n"
    L"\t/O:\tdisable features     /O? for more info\n"
    L"\t/Q\tquietly; no \u201cRun #" ITALIC_ON L"i" ITALIC_OFF L" of " ITALIC_ON L"n" ITALIC_OFF L"\u201d lines\n"
    L"\t/S\tplay a sound on completion\n"
    L"\t/U:\tabort if the command returns exit code " ITALIC_ON L"n" ITALIC_OFF L"  \n"
    L"\n"
    L"The " ITALIC_ON L"command" ITALIC_OFF L" is required.  Use `strong quotes` around the \n"
    L"command if it contains special characters, or if you want \n"
    L"to delay variable expansion until the command runs.  Note \n"
    L"that any options for KV must precede the " ITALIC_ON L"command" ITALIC_OFF L". \n";

// What /? writes after KvHelpText: a line for each option that text leaves
// out, in its layout.
const wchar_t KvMoreOptionsHelpText[] =
    L"\n"
    L"\t/DD\tdrop a tenth of the runs at each end\n"
    L"\t/H\talways show an hours field\n"
    L"\t/T\tshow the title bar progress again after /O:T\n"
    L"\t/P\tprecise: times to the microsecond\n"
    L"\t/V\tadd the standard deviation, and warnings on doubtful runs\n"
    L"\t/W:\tmake " ITALIC_ON L"n" ITALIC_OFF L" untimed warm-up runs first\n"
    L"\t/C\tcompare with the previous KV: ratio, 95% interval, verdict\n"
    L"\t/X:\twrite every run to " ITALIC_ON L"file" ITALIC_OFF L", as JSON if it ends in .json, else CSV\n"
    L"\t/G\tdraw the distribution of the counted runs\n";

const wchar_t OptionOHelpText[] =
    L"KV /O:  \u2014 disable features\n"
    L"\n"
    L"\tC\tno highlight\n"
    L"\tF\tdo not grab focus\n"
    L"\tJ\tdo not jiggle mouse\n"
    L"\tR\tno recap\n"
    L"\tT\tno console title bar \n";

const wchar_t TrialRunHelpText[] =
    L"_TRIALRUN \r\n"
    L"\n"
    L"Returns the trial run number, 1 - n.  \n"
    L"This variable is only meaningful while KV \n"
    L"is running. \n";

const wchar_t KvVariablesHelpText[] =
    L"_KVRUNS  _KVERRORS  _KVAVG  _KVMEDIAN  _KVMIN  _KVMAX  _KVSTDDEV  _KVTOTAL \n"
    L"_KVRATIO  _KVRATIOLOW  _KVRATIOHIGH \r\n"
    L"\n"
    L"The figures of the latest KV series that printed its report:\n"
    L"\t_KVRUNS\truns counted\n"
    L"\t_KVERRORS\truns with a non-zero exit code\n"
    L"\t_KVAVG\taverage of the counted runs\n"
    L"\t_KVMEDIAN\tmedian of the counted runs\n"
    L"\t_KVMIN\tfastest counted run\n"
    L"\t_KVMAX\tslowest counted run\n"
    L"\t_KVSTDDEV\tstandard deviation of the counted runs\n"
    L"\t_KVTOTAL\ttotal of the counted runs\n"
    L"\t_KVRATIO\tKV /C: its average over the previous one's\n"
    L"\t_KVRATIOLOW\tlower end of the ratio's 95% interval\n"
    L"\t_KVRATIOHIGH\tupper end of the ratio's 95% interval\n"
    L"\n"
    L"Times are whole nanoseconds, counts plain numbers.  The ratios \n"
    L"are thousandths: 1000 is as fast, above 1000 slower.  The \n"
    L"interval says how sure the two averages are, and narrows with \n"
    L"more runs; a low end above 1000 means slower for certain, \n"
    L"unless the machine changed speed between the two series. \n"
    L"\n"
    L"They change each time a KV series prints its report.  All are \n"
    L"empty before the first; the times are empty when no run was \n"
    L"counted, _KVSTDDEV also when only one was, the ratios without \n"
    L"/C, and the two ends when either series counted one run. \n";

namespace {

constexpr wchar_t kFirstMark = 0x1C;
constexpr wchar_t kLastMark = 0x1F;
// Turns both italics and underline off: written around the converted text so
// that it starts clean and leaves nothing switched on.
constexpr wchar_t kFrame[] = L"\x1b[23;24m";
constexpr size_t kLongestEscape = 5;  // "\x1b[23m" and "\x1b[24m"
// The two texts /? writes, one after the other.
const wchar_t* const kShownTexts[] = {KvHelpText, KvMoreOptionsHelpText};
// Both texts, both frame sequences and the terminator, with a little to
// spare; each mark then needs room for its escape sequence.
constexpr size_t kBaseChars = 697 + sizeof KvMoreOptionsHelpText / sizeof(wchar_t);
static_assert(kBaseChars >=
              (sizeof KvHelpText + sizeof KvMoreOptionsHelpText + 2 * sizeof kFrame) / sizeof(wchar_t) - 2);

bool IsMark(wchar_t c) { return c >= kFirstMark && c <= kLastMark; }

const wchar_t* EscapeFor(wchar_t mark) {
    static const wchar_t* const escapes[] = {L"\x1b[3m", L"\x1b[23m", L"\x1b[4m", L"\x1b[24m"};
    return escapes[mark - kFirstMark];
}

wchar_t* Append(wchar_t* out, const wchar_t* text) {
    while (*text) *out++ = *text++;
    return out;
}

// Standard output is a console that takes escape sequences: the pseudo console
// renders them, a file or pipe would keep them as litter.
bool WantsEscapes() {
    if (!g_state.pseudoConsole) return false;
    DWORD mode = 0xFFFFFFFF;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) && mode != 0xFFFFFFFF;
}

void EnableVirtualTerminal() {
    HANDLE conOut = g_state.conOut;
    DWORD mode;
    if (conOut && conOut != INVALID_HANDLE_VALUE && GetConsoleMode(conOut, &mode))
        SetConsoleMode(conOut, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

}  // namespace

int ShowHelpText() {
    size_t marks = 0;
    for (const wchar_t* text : kShownTexts)
        for (const wchar_t* p = text; *p; ++p) marks += IsMark(*p);
    const size_t chars = kBaseChars + kLongestEscape * marks;

    wchar_t* buffer = static_cast<wchar_t*>(g_sys.allocate(chars * sizeof(wchar_t)));
    if (!buffer) return QPuts(KvHelpText) + QPuts(KvMoreOptionsHelpText);

    wchar_t* out = buffer;
    const bool escapes = WantsEscapes();
    if (escapes) {
        EnableVirtualTerminal();
        out = Append(out, kFrame);
    }
    for (const wchar_t* text : kShownTexts) {
        for (const wchar_t* p = text; *p; ++p) {
            if (!IsMark(*p))
                *out++ = *p;
            else if (escapes)
                out = Append(out, EscapeFor(*p));
        }
    }
    if (escapes) out = Append(out, kFrame);
    *out = L'\0';

    int result = QPuts(buffer);
    std::free(buffer);
    return result;
}
