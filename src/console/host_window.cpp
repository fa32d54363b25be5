// Finds the top-level window that shows this console: the windowed host's own
// answer, a plain console window, Windows Terminal, ConEmu, Console2, then Take
// Command. Owns the window cache (windowCacheValid, cachedWindow, windowCacheTimer).
#include <windows.h>
#include <cstdlib>
#include <cwchar>
#include "console/console_env.h"
#include "cmdline/trial_options.h"
#include "frame/host_api.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "console/host_window.h"

// Class names are compared whole and case-sensitively, as the system spells them.
static bool HasClass(HWND window, const wchar_t* className) {
    wchar_t name[kWorkChars];
    if (!window || RealGetWindowClassW(window, name, kWorkChars) == 0) return false;
    name[kWorkChars - 1] = L'\0';
    return wcscmp(name, className) == 0;
}

ConsoleWindowQuery g_consoleWindow = GetConsoleWindow;

static HWND WindowFromNumber(uint32_t value) { return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(value)); }

void CALLBACK ExpireWindowCache(HWND, UINT, UINT_PTR, DWORD) {
    g_state.windowCacheValid = FALSE;
    KillTimer(nullptr, g_state.windowCacheTimer);
    g_state.windowCacheTimer = 0;
}

static HWND CacheWindow(HWND window) {
    g_state.cachedWindow = window;
    g_state.windowCacheValid = TRUE;
    // Answers that are costly to get (a host round trip, the Take Command
    // search) are kept until the timer's first dispatch.
    g_state.windowCacheTimer = g_sys.setTimer(nullptr, 0, kWindowCacheMs, ExpireWindowCache);
    return window;
}

BOOL CALLBACK CollectClassWindows(HWND window, LPARAM param) {
    ClassWindowList* list = reinterpret_cast<ClassWindowList*>(param);
    if (!HasClass(window, list->className)) return TRUE;
    if (list->count >= list->capacity) return FALSE;
    list->windows[list->count] = window;
    if (list->processIds) {
        DWORD processId = 0;
        GetWindowThreadProcessId(window, &processId);
        list->processIds[list->count] = processId;
    }
    ++list->count;
    return TRUE;
}

static void CollectWindowsOfClass(ClassWindowList* list, const wchar_t* className, HWND* windows, DWORD* processIds) {
    for (uint32_t i = 0; i < kClassWindowCapacity; ++i) {
        windows[i] = nullptr;
        processIds[i] = 0;
    }
    *list = ClassWindowList{className, kClassWindowCapacity, 0, windows, processIds};
    EnumWindows(CollectClassWindows, reinterpret_cast<LPARAM>(list));
}

static HWND FirstAncestorWindow(const ClassWindowList& list) {
    for (uint32_t i = 0; i < list.count; ++i)
        if (IsAncestorProcess(list.processIds[i])) return list.windows[i];
    return nullptr;
}

// The windowed host knows its main window; its reply starts with the decimal
// handle. A host without TakeCommandIPC is treated as one that names none.
static HWND AskHostForWindow() {
    if (!g_state.takeCommandIpc) return nullptr;
    // The host may write into its request, so it gets a copy of its own.
    wchar_t request[] = L"HWND";
    wchar_t reply[kWorkChars] = {};
    g_state.takeCommandIpc(request, reply);
    reply[kWorkChars - 1] = L'\0';
    if (reply[0] < L'0' || reply[0] > L'9') return nullptr;
    uint64_t value = 0;
    for (const wchar_t* p = reply; *p >= L'0' && *p <= L'9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - L'0');
        // A number too wide for a handle names no window.
        if (value > UINT32_MAX) return nullptr;
    }
    HWND window = WindowFromNumber(static_cast<uint32_t>(value));
    return value != 0 && IsWindow(window) ? window : nullptr;
}

HWND FindTerminalWindow() {
    HWND console = g_consoleWindow();
    if (!HasClass(console, L"PseudoConsoleWindow")) return nullptr;
    HWND parent = GetParent(console);
    return HasClass(parent, L"CASCADIA_HOSTING_WINDOW_CLASS") ? parent : nullptr;
}

HWND FindConEmuWindow() {
    wchar_t text[kWorkChars] = {};
    DWORD length = GetEnvironmentVariableW(L"ConEmuHWND", text, kWorkChars);
    if (length == 0 || length >= kWorkChars) return nullptr;
    // The same number grammar as KV's options, which only takes a text that
    // starts with a digit: decimal, 0x hexadecimal or 0o octal, the whole
    // value, no overflow.
    uint32_t value = 0;
    if (ParseNumber(text, &value, nullptr) != 0 || value == 0) return nullptr;
    HWND window = WindowFromNumber(value);
    return HasClass(window, L"VirtualConsoleClass") ? window : nullptr;
}

HWND FindConsole2Window() {
    HWND windows[kClassWindowCapacity];
    DWORD processIds[kClassWindowCapacity];
    ClassWindowList list;
    CollectWindowsOfClass(&list, L"Console_2_Main", windows, processIds);
    return FirstAncestorWindow(list);
}

DWORD* ReadConsoleProcessList(DWORD initialCapacity, DWORD* count) {
    *count = 0;
    DWORD capacity = initialCapacity ? initialCapacity : 1;
    for (;;) {
        DWORD* ids = static_cast<DWORD*>(g_sys.allocate(capacity * sizeof(DWORD)));
        if (!ids) return nullptr;
        DWORD attached = GetConsoleProcessList(ids, capacity);
        if (attached == 0) {
            free(ids);
            return nullptr;
        }
        if (attached <= capacity) {
            *count = attached;
            return ids;
        }
        // More processes than room: ask again with room for all of them; the
        // count may have grown meanwhile, hence the loop.
        free(ids);
        capacity = attached;
    }
}

// Console traffic and a yield to the host, which Take Command needs to have
// seen before this console's process list is read. The text leaves the cursor
// where it was.
static void NudgeTakeCommand() {
    static const wchar_t kNudge[] = L"A\bB\bC\bD\b \b";
    if (g_state.conOut) {
        for (int i = 0; i < 512; ++i) {
            DWORD written = 0;
            WriteConsoleW(g_state.conOut, kNudge, 10, &written, nullptr);
        }
    }
    tty_yield(0);
}

HWND FindTakeCommandWindow() {
    HWND windows[kClassWindowCapacity];
    DWORD processIds[kClassWindowCapacity];
    ClassWindowList list;
    CollectWindowsOfClass(&list, L"XTPMainFrame", windows, processIds);
    if (list.count == 0) return nullptr;

    NudgeTakeCommand();
    DWORD attached = 0;
    DWORD* consoleIds = ReadConsoleProcessList(64, &attached);
    if (!consoleIds) return nullptr;
    // The console's own order decides between windows of different processes.
    for (DWORD c = 0; c < attached; ++c) {
        if (consoleIds[c] == 0) continue;
        for (uint32_t w = 0; w < list.count; ++w) {
            if (processIds[w] == consoleIds[c]) {
                free(consoleIds);
                return windows[w];
            }
        }
    }
    free(consoleIds);
    if (!HasClass(GetConsoleWindow(), L"PseudoConsoleWindow")) return nullptr;
    return FirstAncestorWindow(list);
}

HWND FindHostWindow() {
    if (g_state.windowCacheValid) return g_state.cachedWindow;
    if (HWND window = AskHostForWindow()) return CacheWindow(window);

    HWND console = g_consoleWindow();
    if (console && IsWindowVisible(console) && HasClass(console, L"ConsoleWindowClass")) {
        if (MonitorFromWindow(console, MONITOR_DEFAULTTONULL)) return console;
        // A console window parked off every monitor is hidden behind Console2.
        HWND console2 = FindConsole2Window();
        return console2 ? console2 : console;
    }
    if (HWND window = FindTerminalWindow()) return window;
    if (HWND window = FindConEmuWindow()) return window;
    if (HWND window = FindConsole2Window()) return window;
    if (HWND window = FindTakeCommandWindow()) return CacheWindow(window);
    return nullptr;
}
