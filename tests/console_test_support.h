// Scoped helpers for the console environment tests: windows of a chosen class owned by this process, each
// putting back what it changed when it goes; what the seams of the window
// search and the thread timers answer in a test; and a KV command through the
// stand-in host.
#pragma once
#include <windows.h>
#include <string>
#include <vector>
#include "frame/host_api.h"
#include "frame/plugin_state.h"
#include "test_support.h"

// Top-level windows of one class, created by this thread and destroyed (and
// the class unregistered) when it goes.
class TestWindows {
public:
    explicit TestWindows(const wchar_t* className) : className_(className) {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = className;
        registered_ = RegisterClassW(&windowClass) != 0;
    }
    ~TestWindows() {
        for (HWND window : windows_) DestroyWindow(window);
        if (registered_) UnregisterClassW(className_.c_str(), GetModuleHandleW(nullptr));
    }
    TestWindows(const TestWindows&) = delete;
    TestWindows& operator=(const TestWindows&) = delete;

    // parent: the owner of a top-level window, the parent of a WS_CHILD one.
    HWND Create(DWORD style = WS_OVERLAPPEDWINDOW, HWND parent = nullptr, POINT at = {40, 40}) {
        HWND window = CreateWindowExW(0, className_.c_str(), L"Kelvane test window", style, at.x, at.y, 320, 200,
                                      parent, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (window) windows_.push_back(window);
        return window;
    }
    bool registered() const { return registered_; }

private:
    std::wstring className_;
    bool registered_ = false;
    std::vector<HWND> windows_;
};

// Dispatches this thread's messages for the given time, so that thread
// timers can fire.
inline void PumpMessages(DWORD milliseconds) {
    for (ULONGLONG end = GetTickCount64() + milliseconds; GetTickCount64() < end;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

// What the console-window query of the window search answers while a test
// points it at TestConsoleWindow.
inline HWND g_testConsoleWindow = nullptr;
inline HWND WINAPI TestConsoleWindow() { return g_testConsoleWindow; }

// The thread timers the plug-in starts, recorded on their way to the system
// while a test points the timer call at RecordTimer.
struct TimerCall {
    UINT milliseconds;
    TIMERPROC callback;
};
inline std::vector<TimerCall> g_timerCalls;
inline UINT_PTR WINAPI RecordTimer(HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC callback) {
    g_timerCalls.push_back({milliseconds, callback});
    return SetTimer(window, id, milliseconds, callback);
}

// A KV command through the stand-in host, as the user types it, with this
// program registered as the host's plug-in and the plug-in's state as
// start-up leaves it (fresh, with the counter frequency recorded).
// consoleDevice, when given, is where the run headers go.
inline int KvThroughHost(const std::wstring& arguments, HANDLE consoleDevice = nullptr) {
    AttachFreshPluginToHost();
    g_state.conOut = consoleDevice;
    std::wstring line = L"kv " + arguments;
    return Command(line.data(), 0);
}

// Handle to a window as a decimal text, the way hosts pass handles around.
inline std::wstring WindowNumber(HWND window) {
    return std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
}
