// Keeps the machine from going idle while a series runs: the keep-awake
// timer that jiggles the mouse, and a hold on the thread's execution state.
// Owns the numbering of the holds and the state each hold found.
#include <windows.h>
#include "console/console_env.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"

namespace {

uint32_t s_lastHold;
// What the execution state was when the hold in force was taken.
EXECUTION_STATE s_foundState;

// Holds the system and display awake through the thread's execution state,
// which needs no message dispatching: the keep-awake timer fires only while
// the host dispatches messages, and a host waiting for a long program may
// not. Returns the hold's number (also in g_state.awakeHold), 0 when the
// system refused it.
uint32_t HoldSystemAwake() {
    // Continuous: in force until given back, not just a reset of the idle time.
    const EXECUTION_STATE found = g_sys.setThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED);
    if (!found) return 0;
    s_foundState = found;
    if (++s_lastHold == 0) ++s_lastHold;
    g_state.awakeHold = s_lastHold;
    return s_lastHold;
}

// The state found, put back: the host or another plug-in may hold the
// system awake on this thread too. A state without ES_CONTINUOUS held
// nothing lasting, and passed back as it is it would leave this hold in
// force, so ES_CONTINUOUS alone ends it. ES_USER_PRESENT is left out: with
// other flags the system refuses the whole call.
void ReleaseSystemAwake() {
    if (!g_state.awakeHold) return;
    g_state.awakeHold = 0;
    constexpr EXECUTION_STATE kLasting = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED | ES_AWAYMODE_REQUIRED;
    g_sys.setThreadExecutionState(s_foundState & ES_CONTINUOUS ? s_foundState & kLasting : ES_CONTINUOUS);
}

void StopTimer() {
    if (!g_state.jiggleTimer) return;
    KillTimer(nullptr, g_state.jiggleTimer);
    g_state.jiggleTimer = 0;
}

}  // namespace

void CALLBACK JiggleMouse(HWND, UINT, UINT_PTR, DWORD) {
    // A move of zero distance counts as input, so the idle time starts again,
    // but the pointer stays where it is.
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    SendInput(1, &input, sizeof input);
}

void StartKeepAwake(KeepAwake* own) {
    // Taking second ones would lose the outer series' when the inner ends.
    if (!g_state.jiggleTimer) {
        own->timer = g_sys.setTimer(nullptr, 0, kJiggleIntervalMs, JiggleMouse);
        g_state.jiggleTimer = own->timer;
    }
    if (!g_state.awakeHold) own->hold = HoldSystemAwake();
}

void StopKeepAwake(KeepAwake* own) {
    // Only while they are still the ones in force: a reset in between may
    // have given them back and a later series taken others (a timer id may
    // be reused).
    if (own->timer && g_state.jiggleTimer == own->timer) StopTimer();
    if (own->hold && g_state.awakeHold == own->hold) ReleaseSystemAwake();
    *own = KeepAwake{};
}

void StopKeepAwakeOtherThan(const KeepAwake& kept) {
    if (g_state.jiggleTimer != kept.timer) StopTimer();
    if (g_state.awakeHold != kept.hold) ReleaseSystemAwake();
}
