// The stand-in console window: a window that a thread of its own creates and
// serves, as the console host owns the window that shows a console, so that
// a plug-in meets a window of another thread in front of it. The host names
// it through TakeCommandIPC while it is open. Another window, on a third
// thread as another program's would be, can be put in front of it. Owns both
// threads and their windows.
#include "host_engine.h"

namespace {

const wchar_t kClassName[] = L"KvhostStandInWindow";

// Sent to a window: its own thread does what is asked (wParam), as the
// console host would when the user clicks its window.
constexpr UINT kRequest = WM_APP + 1;
enum Request : WPARAM { kInFront, kMinimise };

struct WindowThread {
    HANDLE thread;
    DWORD threadId;
    HWND window;
    DWORD error;   // why the window could not be made
    HANDLE ready;  // set once the window exists, or failed to
    const wchar_t* title;
    int at;        // left and top edge
};
WindowThread s_console, s_other;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != kRequest) return DefWindowProcW(window, message, wParam, lParam);
    if (wParam == kMinimise) {
        ShowWindow(window, SW_MINIMIZE);
        return 0;
    }
    if (IsIconic(window)) ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    return 0;
}

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&WindowProcedure), &module);
    return module;
}

DWORD WINAPI ServeWindow(void* parameter) {
    auto* served = static_cast<WindowThread*>(parameter);
    // Frameless: Wine waits seconds for a window manager around a framed window.
    served->window = CreateWindowExW(0, kClassName, served->title, WS_POPUP | WS_VISIBLE, served->at, served->at,
                                     320, 200, nullptr, nullptr, ThisModule(), nullptr);
    if (!served->window) served->error = GetLastError();
    SetEvent(served->ready);
    if (!served->window) return 1;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    DestroyWindow(served->window);
    return 0;
}

void Close(WindowThread* served) {
    if (!served->thread) return;
    PostThreadMessageW(served->threadId, WM_QUIT, 0, 0);
    WaitForSingleObject(served->thread, INFINITE);
    CloseHandle(served->thread);
    *served = WindowThread{};
}

// 0 when the window is there, else why it is not.
DWORD Open(WindowThread* served, const wchar_t* title, int at) {
    if (served->window) return 0;
    *served = WindowThread{};
    served->title = title;
    served->at = at;
    served->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    served->thread = CreateThread(nullptr, 0, ServeWindow, served, 0, &served->threadId);
    const DWORD error = served->thread ? 0 : GetLastError();
    if (served->thread) WaitForSingleObject(served->ready, INFINITE);
    CloseHandle(served->ready);
    served->ready = nullptr;
    if (served->window) return 0;
    const DWORD why = served->thread ? served->error : error;
    Close(served);
    return why ? why : ERROR_GEN_FAILURE;
}

std::wstring WindowNumber(HWND window) {
    return std::to_wstring(static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
}

void CloseWindows() {
    if (s_console.window && IpcReply() == WindowNumber(s_console.window)) SetIpcReply(L"");
    Close(&s_other);
    Close(&s_console);
    UnregisterClassW(kClassName, ThisModule());
}

bool OpenWindows() {
    if (s_console.window && s_other.window) return true;
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = ThisModule();
    windowClass.lpszClassName = kClassName;
    RegisterClassW(&windowClass);
    const bool opened = !s_console.window;
    DWORD error = Open(&s_console, L"kvhost console window", 40);
    if (!error) error = Open(&s_other, L"kvhost other window", 80);
    if (error) {
        CloseWindows();
        ReportError(L"conwindow: no window could be opened: " + SystemMessage(error));
        return false;
    }
    // A plug-in asks the host for the window that shows its console.
    SetIpcReply(WindowNumber(s_console.window));
    if (opened) SendMessageW(s_console.window, kRequest, kInFront, 0);
    return true;
}

}  // namespace

int CmdConWindow(std::wstring_view args) {
    args = TrimBlanks(args);
    if (EqualsNoCase(args, L"/close")) {
        CloseWindows();
        return 0;
    }
    const bool other = EqualsNoCase(args, L"/other");
    const bool minimise = EqualsNoCase(args, L"/min");
    if (!args.empty() && !other && !minimise) {
        ReportError(L"Usage: conwindow [/other | /min | /close]  (no option: open it and put it in front)");
        return 1;
    }
    if (!OpenWindows()) return 1;
    SendMessageW(other ? s_other.window : s_console.window, kRequest, minimise ? kMinimise : kInFront, 0);
    return 0;
}
