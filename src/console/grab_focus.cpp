// Brings the window that shows the console to the front. Every system
// setting GrabFocus changes is put back before it returns.
#include <windows.h>
#include "console/console_env.h"
#include "console/focus_calls.h"

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
