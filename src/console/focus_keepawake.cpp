// Brings the window that shows the console to the front and keeps the system
// from going idle during a series. Owns the numbering of the holds that keep
// the system awake (g_state.awakeHold); every system setting GrabFocus
// changes is put back before it returns.
#include <windows.h>
#include "console/console_env.h"
#include "console/focus_keepawake.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"

SystemParametersCall g_systemParameters = SystemParametersInfoW;

int GrabFocus(HWND window) {
    if (!window) return -1;
    // The window is in front already (the user is watching the series):
    // raising and activating it anew gains nothing. A console window belongs
    // to the console host, whose input the sequence below joins, which can
    // hang when that thread does not answer; and Wine, asked to activate anew
    // a window of another thread that is in front, leaves no window in front
    // at all until that thread has run. A minimised window still comes back.
    const HWND foreground = GetForegroundWindow();
    if (foreground == window && !IsIconic(window)) return 0;
    DWORD foregroundThread = GetWindowThreadProcessId(foreground, nullptr);
    DWORD currentThread = GetCurrentThreadId();

    // Without the minimize-and-restore animation a minimised window comes
    // back at once. No update flags: nothing is written to the profile. A
    // setting whose earlier value could not be read is left alone, since it
    // could not be put back.
    ANIMATIONINFO savedAnimation{sizeof(ANIMATIONINFO), 0};
    bool haveAnimation = g_systemParameters(SPI_GETANIMATION, sizeof savedAnimation, &savedAnimation, 0) != 0;
    ANIMATIONINFO noAnimation{sizeof(ANIMATIONINFO), 0};
    if (haveAnimation) g_systemParameters(SPI_SETANIMATION, sizeof noAnimation, &noAnimation, 0);
    DWORD savedLockTimeout = 0;
    bool haveLockTimeout = g_systemParameters(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &savedLockTimeout, 0) != 0;

    int show = IsZoomed(window) ? SW_MAXIMIZE : SW_RESTORE;
    if (foregroundThread == currentThread) {
        BringWindowToTop(window);
        ShowWindow(window, show);
        SetForegroundWindow(window);
    } else {
        // Another thread owns the foreground: share its input state and lift
        // the foreground lock so the system lets this thread take over.
        AttachThreadInput(foregroundThread, currentThread, TRUE);
        // The timeout is passed in the pointer argument itself. No update
        // flags: the window manager reads the value directly, and the change
        // is undone at once, whereas SPIF_SENDCHANGE sends every top-level
        // window of the desktop a settings change and waits for each.
        if (haveLockTimeout) g_systemParameters(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, nullptr, 0);
        AllowSetForegroundWindow(GetCurrentProcessId());
        BringWindowToTop(window);
        ShowWindow(window, show);
        SetForegroundWindow(window);
        if (haveLockTimeout)
            g_systemParameters(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                               reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(savedLockTimeout)), 0);
        AttachThreadInput(foregroundThread, currentThread, FALSE);
    }
    if (haveAnimation) g_systemParameters(SPI_SETANIMATION, sizeof savedAnimation, &savedAnimation, 0);
    return 0;
}

void CALLBACK JiggleMouse(HWND, UINT, UINT_PTR, DWORD) {
    // A move of zero distance counts as input, so the idle time starts again,
    // but the pointer stays where it is.
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    SendInput(1, &input, sizeof input);
}

uint32_t HoldSystemAwake() {
    static uint32_t s_lastHold;
    // Continuous: in force until given back, not just a reset of the idle time.
    if (!g_sys.setThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED)) return 0;
    if (++s_lastHold == 0) ++s_lastHold;
    g_state.awakeHold = s_lastHold;
    return s_lastHold;
}

void ReleaseSystemAwake() {
    if (!g_state.awakeHold) return;
    g_state.awakeHold = 0;
    g_sys.setThreadExecutionState(ES_CONTINUOUS);
}
