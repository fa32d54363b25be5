// The console control handler that counts breaks for the series, and when it
// is registered. Owns g_state.breakWatch; counts in g_state.breaksNoted.
#include "lifetime/break_watch.h"
#include <windows.h>
#include "frame/plugin_state.h"

namespace {

BOOL WINAPI CountBreak(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) InterlockedIncrement(&g_state.breaksNoted);
    // Passed on: the host must see the break too, to cancel a batch job and
    // go back to its prompt.
    return FALSE;
}

}  // namespace

void WatchForBreaks() {
    if (!g_state.breakWatch) g_state.breakWatch = SetConsoleCtrlHandler(CountBreak, TRUE) != 0;
}

void StopWatchingBreaks() {
    if (!g_state.breakWatch) return;
    SetConsoleCtrlHandler(CountBreak, FALSE);
    g_state.breakWatch = false;
}

void StopWatchingBreaksIfIdle() {
    if (!g_state.liveSeries) StopWatchingBreaks();
}
