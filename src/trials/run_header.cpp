// The run header of a KV series, written straight to the console device in
// the space the series keeps in front of its command text. Owns nothing.
#include <cstring>
#include <cwchar>
#include "frame/host_api.h"
#include "frame/plugin_state.h"
#include "trials/kv_series.h"

static void WriteConsoleText(const wchar_t* text, size_t chars) {
    DWORD written;
    WriteConsoleW(g_state.conOut, text, static_cast<DWORD>(chars), &written, nullptr);
}

// Straight to the console device, so neither /B nor a redirection of the
// KV command hides it. Without a highlight it is a single write, since every
// console write costs a round trip to the console; the command may be 8191
// characters, so it is never formatted through a fixed-size routine. format
// takes the run's number and the count of its kind of runs.
void WriteRunHeader(const Series& s, const wchar_t* format, uint32_t run, uint32_t runs) {
    if (!g_state.conOut) return;
    wchar_t number[kHeaderRoom];
    const int numberChars = swprintf(number, kHeaderRoom, format, run, runs);
    if (numberChars <= 0) return;
    wchar_t* line = s.headerCommand - numberChars;
    std::memcpy(line, number, sizeof(wchar_t) * static_cast<size_t>(numberChars));
    const size_t lineChars = static_cast<size_t>(numberChars) + s.commandChars;
    if (!g_state.highlightAttr) {
        line[-1] = L'\n';
        WriteConsoleText(line - 1, lineChars + 3);
        return;
    }
    WriteConsoleText(L"\n", 1);
    SetColors(g_state.highlightAttr);
    WriteConsoleText(line, lineChars);
    SetColors(g_state.normalAttr);
    WriteConsoleText(L" \n", 2);
}
