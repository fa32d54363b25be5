// The few system calls whose failure the plug-in must survive but that cannot
// be made to fail for real (the performance counter never fails under Wine or
// on any supported Windows, nor does a small allocation). Production code calls
// them through this table; tests swap an entry and put the real ones back with
// ResetSysCalls.
#pragma once
#include <windows.h>
#include <cstddef>

struct SysCalls {
    BOOL(WINAPI* queryPerformanceFrequency)(LARGE_INTEGER* frequency);
    BOOL(WINAPI* queryPerformanceCounter)(LARGE_INTEGER* count);
    HANDLE(WINAPI* createFileW)(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile);
    void* (*allocate)(size_t bytes);
    // The completion sound: Wine has no sound device, so tests record the call instead.
    BOOL(WINAPI* playSoundW)(LPCWSTR sound, HMODULE module, DWORD flags);
    // Thread timers: creating one does not fail for real, and the keep-awake
    // interval is too long to wait for, so tests record the call and pass it on.
    UINT_PTR(WINAPI* setTimer)(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC callback);
    // Holding the system and display awake: Wine keeps no power state to read
    // back, so tests record the call and pass it on.
    EXECUTION_STATE(WINAPI* setThreadExecutionState)(EXECUTION_STATE flags);
};

extern SysCalls g_sys;

void ResetSysCalls();
