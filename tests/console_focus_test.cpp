// Bringing a window to the front and the keep-awake jiggle, with real windows
// on the virtual display; the system settings GrabFocus touches are checked to
// be back at their earlier values afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>
#include "console/console_env.h"
#include "console/focus_calls.h"
#include "console/host_window.h"
#include "console_test_support.h"
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "test_support.h"

namespace {

DWORD ReadLockTimeout() {
    DWORD lockTimeout = 0;
    SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &lockTimeout, 0);
    return lockTimeout;
}

void WriteLockTimeout(DWORD lockTimeout) {
    SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(lockTimeout)),
                          0);
}

// Every system-parameter change GrabFocus makes, with the value it carries.
struct SettingCall {
    UINT action;
    ULONG_PTR value;
    UINT flags;
};
std::vector<SettingCall> g_settingCalls;

// Wine keeps no animation setting (it always reads as off), so the recorder
// plays that one itself, reading as "on"; the lock timeout goes to the system.
BOOL WINAPI RecordSettings(UINT action, UINT param, PVOID value, UINT flags) {
    if (action == SPI_GETANIMATION) {
        static_cast<ANIMATIONINFO*>(value)->iMinAnimate = 1;
        return TRUE;
    }
    if (action == SPI_SETANIMATION) {
        auto on = static_cast<ULONG_PTR>(static_cast<ANIMATIONINFO*>(value)->iMinAnimate);
        g_settingCalls.push_back({action, on, flags});
        return TRUE;
    }
    // The timeout is carried in the pointer argument itself.
    if (action == SPI_SETFOREGROUNDLOCKTIMEOUT)
        g_settingCalls.push_back({action, reinterpret_cast<ULONG_PTR>(value), flags});
    return SystemParametersInfoW(action, param, value, flags);
}

// Reading a system parameter does not fail under Wine; the seam makes it fail.
BOOL WINAPI SettingsThatCannotBeRead(UINT action, UINT param, PVOID value, UINT flags) {
    if (action == SPI_GETANIMATION || action == SPI_GETFOREGROUNDLOCKTIMEOUT) return FALSE;
    return RecordSettings(action, param, value, flags);
}

const DWORD kTestLockTimeout = 123456;

// The show commands given to windows of this thread, seen through a CBT hook.
// Wine without a window manager drops a maximised state when the window takes
// the foreground and restores it through a system command; such restores are
// told apart by the system command just before.
std::vector<int> g_showCommands;
bool g_afterSystemCommand = false;
LRESULT CALLBACK RecordShowCommand(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_SYSCOMMAND) g_afterSystemCommand = true;
    if (code == HCBT_MINMAX) {
        if (!g_afterSystemCommand) g_showCommands.push_back(LOWORD(lParam));
        g_afterSystemCommand = false;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

class Focus : public ::testing::Test {
protected:
    void SetUp() override {
        savedLockTimeout_ = ReadLockTimeout();
        // A value unlike anything GrabFocus sets, so a value left behind shows.
        WriteLockTimeout(kTestLockTimeout);
        ASSERT_EQ(ReadLockTimeout(), kTestLockTimeout);
        g_systemParameters = RecordSettings;
    }
    void TearDown() override {
        ResetFocusCalls();
        WriteLockTimeout(savedLockTimeout_);
    }
    // GrabFocus on the window; checks the show commands it gave (if given), that the
    // window ends in the foreground, that the animation was switched off and
    // back on last, and that the lock timeout was lifted to 0 and put back
    // exactly when asked, none of it with update flags (no broadcast).
    void GrabAndExpectSettingsPutBack(HWND window, bool lockLifted, const std::vector<int>& showCommands = {}) {
        g_settingCalls.clear();
        g_showCommands.clear();
        g_afterSystemCommand = false;
        HHOOK hook = SetWindowsHookExW(WH_CBT, RecordShowCommand, nullptr, GetCurrentThreadId());
        ASSERT_NE(hook, nullptr);
        EXPECT_EQ(GrabFocus(window), 0);
        UnhookWindowsHookEx(hook);
        PumpMessages(50);
        if (!showCommands.empty()) {
            EXPECT_EQ(g_showCommands, showCommands);
        }
        EXPECT_EQ(GetForegroundWindow(), window);
        std::vector<ULONG_PTR> animation, lockTimeout;
        for (const SettingCall& call : g_settingCalls) {
            bool isAnimation = call.action == SPI_SETANIMATION;
            (isAnimation ? animation : lockTimeout).push_back(call.value);
            EXPECT_EQ(call.flags, 0u);
        }
        EXPECT_EQ(animation, (std::vector<ULONG_PTR>{0, 1}));
        EXPECT_EQ(lockTimeout, lockLifted ? (std::vector<ULONG_PTR>{0, kTestLockTimeout}) : std::vector<ULONG_PTR>{});
        ASSERT_FALSE(g_settingCalls.empty());
        EXPECT_EQ(g_settingCalls.back().action, static_cast<UINT>(SPI_SETANIMATION));
        EXPECT_EQ(ReadLockTimeout(), kTestLockTimeout);
    }
    DWORD savedLockTimeout_ = 0;
};

TEST_F(Focus, NullWindowChangesNothing) {
    HWND foreground = GetForegroundWindow();
    g_settingCalls.clear();
    EXPECT_EQ(GrabFocus(nullptr), -1);
    EXPECT_TRUE(g_settingCalls.empty());
    EXPECT_EQ(ReadLockTimeout(), kTestLockTimeout);
    EXPECT_EQ(GetForegroundWindow(), foreground);
}

// First of the window tests, the maximise first: Wine, when its desktop
// belongs to a process on another X display, can fail on a maximise after a
// shown window was destroyed.
TEST_F(Focus, KeepsAMaximisedWindowMaximisedAndRestoresAMinimisedOne) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND minimised = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(minimised, nullptr);
    ShowWindow(minimised, SW_MINIMIZE);
    HWND maximised = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(maximised, nullptr);
    ShowWindow(maximised, SW_MAXIMIZE);
    PumpMessages(50);
    ASSERT_TRUE(IsIconic(minimised));
    ASSERT_TRUE(IsZoomed(maximised));
    // This thread holds the foreground throughout, so the lock is left alone.
    // The maximised window is in front, so the minimised one comes first.
    ASSERT_EQ(GetForegroundWindow(), maximised);
    GrabAndExpectSettingsPutBack(minimised, false, {SW_RESTORE});
    EXPECT_FALSE(IsIconic(minimised));
    EXPECT_FALSE(IsZoomed(minimised));
    EXPECT_TRUE(IsWindowVisible(minimised));
    GrabAndExpectSettingsPutBack(maximised, false, {SW_MAXIMIZE});
}

TEST_F(Focus, TakesTheForegroundFromAnotherThread) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(window, nullptr);
    // Then a window of another thread takes the foreground.
    // Its window takes the foreground each time front is set.
    struct Other {
        HWND window = nullptr;
        HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE front = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    } other;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* param) -> DWORD {
            auto* o = static_cast<Other*>(param);
            TestWindows windows(L"KelvaneFocusOther");
            o->window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
            SetForegroundWindow(o->window);
            SetEvent(o->ready);
            const HANDLE events[] = {o->done, o->front};
            for (;;) {
                const DWORD woken = MsgWaitForMultipleObjects(2, events, FALSE, INFINITE, QS_ALLINPUT);
                if (woken == WAIT_OBJECT_0) break;
                if (woken == WAIT_OBJECT_0 + 1) {
                    SetForegroundWindow(o->window);
                    SetEvent(o->ready);
                }
                MSG message;
                while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
            }
            return 0;
        },
        &other, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(other.ready, 5000);
    PumpMessages(50);
    EXPECT_EQ(GetForegroundWindow(), other.window);

    GrabAndExpectSettingsPutBack(window, true);

    // Settings whose earlier values cannot be read are not touched at all.
    SetEvent(other.front);
    WaitForSingleObject(other.ready, 5000);
    PumpMessages(50);
    EXPECT_EQ(GetForegroundWindow(), other.window);
    g_settingCalls.clear();
    g_systemParameters = SettingsThatCannotBeRead;
    EXPECT_EQ(GrabFocus(window), 0);
    EXPECT_TRUE(g_settingCalls.empty());
    EXPECT_EQ(ReadLockTimeout(), kTestLockTimeout);
    PumpMessages(50);
    EXPECT_EQ(GetForegroundWindow(), window);

    SetEvent(other.done);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(other.ready);
    CloseHandle(other.done);
    CloseHandle(other.front);
}

// What the foreground looked like at each counter reading of a KV command.
// Reading 0 starts the command, then each run has one before and one after,
// and the last gives the wall time, after the summary's own focus change.
// After the start and after each run the window that shows the console is
// minimised and another window takes the foreground, so each focus change
// has work to do.
struct ForegroundProbe {
    HWND foreground;
    bool minimised;
};
std::vector<ForegroundProbe> s_foregroundProbes;
HWND s_shownWindow, s_otherWindow;
BOOL WINAPI ProbeForeground(LARGE_INTEGER* count) {
    s_foregroundProbes.push_back({GetForegroundWindow(), IsIconic(s_shownWindow) != 0});
    if (s_foregroundProbes.size() % 2 == 1) {
        ShowWindow(s_shownWindow, SW_MINIMIZE);
        SetForegroundWindow(s_otherWindow);
    }
    return QueryPerformanceCounter(count);
}

// KV through the stand-in host; every seam it uses is put back afterwards.
class KvInHost : public ::testing::Test {
protected:
    void TearDown() override {
        // The host's answer is cached under a thread timer, which goes with the test.
        if (g_state.windowCacheTimer) KillTimer(nullptr, g_state.windowCacheTimer);
        HostSetIpcReply(nullptr);
        ResetSysCalls();
        ResetConsoleWindowQuery();
        g_testConsoleWindow = nullptr;
        ResetPluginStateForTest();
    }
};

// Under a plain console, under Windows Terminal and under a host that names
// its window through TakeCommandIPC, with real windows standing in for theirs:
// the window that shows the console comes back to the front before every run
// and before the summary.
TEST_F(KvInHost, BringsTheHostWindowBackBeforeEveryRunAndTheSummary) {
    TestWindows consoleClass(L"ConsoleWindowClass");
    TestWindows cascadiaClass(L"CASCADIA_HOSTING_WINDOW_CLASS");
    TestWindows pseudoClass(L"PseudoConsoleWindow");
    TestWindows hostClass(L"KelvaneFocusHostFrame");
    TestWindows otherClass(L"KelvaneFocusOther");
    // Frameless: Wine waits seconds for a window manager around a framed one.
    HWND console = consoleClass.Create(WS_POPUP | WS_VISIBLE);
    HWND cascadia = cascadiaClass.Create(WS_POPUP | WS_VISIBLE);
    HWND pseudoConsole = pseudoClass.Create(WS_POPUP, cascadia);
    HWND hostFrame = hostClass.Create(WS_POPUP | WS_VISIBLE);
    s_otherWindow = otherClass.Create(WS_POPUP | WS_VISIBLE);
    ASSERT_TRUE(console && cascadia && pseudoConsole && hostFrame && s_otherWindow);
    g_consoleWindow = TestConsoleWindow;
    g_sys.queryPerformanceCounter = ProbeForeground;

    const struct {
        HWND consoleWindow, shown;
        const wchar_t* options;
        bool focus;
        bool hostNamesIt;  // the stand-in host answers "HWND" with the shown window
        const char* why;
    } cases[] = {
        {console, console, L"/O:CJTR", true, false, "plain console"},
        {pseudoConsole, cascadia, L"/O:CJTR", true, false, "Windows Terminal"},
        {console, console, L"/O:CFJTR", false, false, "plain console, /O:F"},
        {console, hostFrame, L"/O:CJTR", true, true, "the host's own window, before the console's"},
    };
    for (const auto& c : cases) {
        g_testConsoleWindow = c.consoleWindow;
        s_shownWindow = c.shown;
        HostSetIpcReply(c.hostNamesIt ? WindowNumber(c.shown).c_str() : nullptr);
        s_foregroundProbes.clear();
        {
            CapturedOutput output;
            EXPECT_EQ(KvThroughHost(std::wstring(L"/N:2 /Q ") + c.options + L" rem"), 0) << c.why;
        }
        ASSERT_EQ(s_foregroundProbes.size(), 6u) << c.why;
        for (size_t i = 1; i < 6; i += 2) {
            EXPECT_EQ(s_foregroundProbes[i].foreground == c.shown, c.focus) << c.why << ", reading " << i;
            EXPECT_EQ(s_foregroundProbes[i].minimised, !c.focus) << c.why << ", reading " << i;
        }
    }
}

// The stand-in console window, as the host's "conwindow" command keeps it on
// a thread of its own: the window the host names through TakeCommandIPC.
HWND StandInConsoleWindow() {
    wchar_t request[] = L"HWND";
    wchar_t reply[1024] = {};
    TakeCommandIpcFn ipc = LookUpTakeCommandIPC(GetModuleHandleW(L"TakeCmd.dll"));
    if (!ipc) return nullptr;
    ipc(request, reply);
    return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(wcstoull(reply, nullptr, 10)));
}

int RunHostLine(const std::wstring& line) {
    std::wstring copy = line;
    return Command(copy.data(), 0);
}

// Every system-parameter call, reads included, on its way to the recorder.
std::vector<UINT> g_everySettingCall;
BOOL WINAPI RecordEverySetting(UINT action, UINT param, PVOID value, UINT flags) {
    g_everySettingCall.push_back(action);
    return RecordSettings(action, param, value, flags);
}

// The foreground at each counter reading of a KV command, and whether the
// stand-in console window was minimised then.
std::vector<ForegroundProbe> s_consoleProbes;
HWND s_consoleWindow;
BOOL WINAPI ProbeConsoleWindow(LARGE_INTEGER* count) {
    s_consoleProbes.push_back({GetForegroundWindow(), IsIconic(s_consoleWindow) != 0});
    return QueryPerformanceCounter(count);
}

// KV through the stand-in host with the window that shows the console on
// another thread, as a console window belongs to the console host. The
// timed command puts the window where the next run finds it.
class FocusThroughHost : public Focus {
protected:
    void TearDown() override {
        RunHostLine(L"conwindow /close");
        if (g_state.windowCacheTimer) KillTimer(nullptr, g_state.windowCacheTimer);
        ResetSysCalls();
        ResetPluginStateForTest();
        Focus::TearDown();
    }
};

// Which window is in front at each run.
enum class InFront {
    Console,
    NotConsole,
    // Wine leaves no window in front after it activates anew a window of
    // another thread that is itself in front, here minimised; Windows brings
    // it forward. Only the restore is checked then.
    NotChecked,
};

TEST_F(FocusThroughHost, LeavesTheWindowInFrontAloneAndBringsItBackWithoutABroadcast) {
    const struct {
        const char* name;
        const wchar_t* before;  // host line before the series
        const wchar_t* timed;   // the timed command, run in every run
        const wchar_t* options;
        InFront inFront;        // at every run
        bool restored;          // the console window is not minimised at any run
        bool settingsTouched;   // else no system setting is read or set
    } cases[] = {
        {"the console window in front", L"conwindow", L"rem", L"/O:JTR", InFront::Console, true, false},
        {"another window in front", L"conwindow /other", L"conwindow /other", L"/O:JTR", InFront::Console, true,
         true},
        {"the console window minimised", L"conwindow /min", L"conwindow /min", L"/O:JTR", InFront::NotChecked, true,
         true},
        {"the console window minimised, another in front", L"conwindow /min & conwindow /other",
         L"`conwindow /min & conwindow /other`", L"/O:JTR", InFront::Console, true, true},
        {"focus off", L"conwindow /other", L"conwindow /other", L"/O:FJTR", InFront::NotConsole, true, false},
        {"focus off, the console window minimised", L"conwindow /min", L"conwindow /min", L"/O:FJTR",
         InFront::NotChecked, false, false},
    };
    g_systemParameters = RecordEverySetting;
    g_sys.queryPerformanceCounter = ProbeConsoleWindow;
    for (const auto& c : cases) {
        ASSERT_EQ(RunHostLine(c.before), 0) << c.name;
        s_consoleWindow = StandInConsoleWindow();
        ASSERT_NE(s_consoleWindow, nullptr) << c.name;
        g_everySettingCall.clear();
        g_settingCalls.clear();
        s_consoleProbes.clear();
        {
            CapturedOutput output;
            EXPECT_EQ(KvThroughHost(std::wstring(L"/N:10 /Q ") + c.options + L" " + c.timed), 0) << c.name;
        }
        // The start, before and after each run, the wall time.
        ASSERT_EQ(s_consoleProbes.size(), 22u) << c.name;
        for (size_t run = 0; run < 10; ++run) {
            const ForegroundProbe& probe = s_consoleProbes[1 + 2 * run];
            if (c.inFront != InFront::NotChecked) {
                EXPECT_EQ(probe.foreground == s_consoleWindow, c.inFront == InFront::Console)
                    << c.name << ", run " << run + 1;
            }
            EXPECT_EQ(!probe.minimised, c.restored) << c.name << ", run " << run + 1;
        }
        EXPECT_EQ(!g_everySettingCall.empty(), c.settingsTouched) << c.name;
        std::vector<ULONG_PTR> lockTimeouts;
        for (const SettingCall& call : g_settingCalls) {
            EXPECT_EQ(call.flags, 0u) << c.name << ", action " << call.action;
            if (call.action == SPI_SETFOREGROUNDLOCKTIMEOUT) lockTimeouts.push_back(call.value);
        }
        // Another thread holds the foreground whenever there is work: the
        // lock is lifted and put back in pairs, and both settings are as they were.
        EXPECT_EQ(!lockTimeouts.empty(), c.settingsTouched) << c.name;
        ASSERT_EQ(lockTimeouts.size() % 2, 0u) << c.name;
        for (size_t i = 0; i < lockTimeouts.size(); i += 2) {
            EXPECT_EQ(lockTimeouts[i], 0u) << c.name;
            EXPECT_EQ(lockTimeouts[i + 1], kTestLockTimeout) << c.name;
        }
        EXPECT_EQ(ReadLockTimeout(), kTestLockTimeout) << c.name;
        if (!g_settingCalls.empty()) {
            EXPECT_EQ(g_settingCalls.back().action, static_cast<UINT>(SPI_SETANIMATION)) << c.name;
            EXPECT_EQ(g_settingCalls.back().value, 1u) << c.name;
        }
    }
}

// The keep-awake timer: 29 seconds, so a series shorter than that never
// jiggles; none with /O:J; and a timer that cannot be created leaves the runs
// to go ahead without one.
TEST_F(KvInHost, StartsOneKeepAwakeTimerOfTwentyNineSeconds) {
    const struct {
        const wchar_t* arguments;
        UINT_PTR(WINAPI* setTimer)(HWND, UINT_PTR, UINT, TIMERPROC);
        std::vector<UINT> intervals;
    } cases[] = {
        {L"/N:2 /Q /O:CFT rem", RecordTimer, {29000}},
        {L"/N:2 /Q /O:CFJT rem", RecordTimer, {}},
        // Creating a thread timer does not fail for real.
        {L"/N:2 /Q /O:CFT rem",
         [](HWND, UINT_PTR, UINT milliseconds, TIMERPROC callback) -> UINT_PTR {
             g_timerCalls.push_back({milliseconds, callback});
             return 0;
         },
         {29000}},
    };
    for (const auto& c : cases) {
        g_timerCalls.clear();
        g_sys.setTimer = c.setTimer;
        CapturedOutput output;
        EXPECT_EQ(KvThroughHost(c.arguments), 0) << c.arguments;
        EXPECT_NE(output.Out().find(L"Runs counted:  2\r\n"), std::wstring::npos) << output.Out();
        std::vector<UINT> intervals;
        for (const TimerCall& call : g_timerCalls)
            if (call.callback == JiggleMouse) intervals.push_back(call.milliseconds);
        EXPECT_EQ(intervals, c.intervals) << c.arguments;
        EXPECT_EQ(g_state.jiggleTimer, 0u) << c.arguments;
    }
}

// The hold on the system and display, through the recorded execution-state
// call: taken before the first run of a series with keep-awake, given back
// on every path that stops the timer, and where each was made (the run
// number of the moment: -1 outside the runs). "Left" rows are abandoned by
// the host's own break and given back at its prompt. Rows with a found state
// have the hold find it (as if the host held the system awake itself), and
// the system is not called.
struct ExecutionStateCall {
    EXECUTION_STATE flags;
    int32_t trialRun;
};
std::vector<ExecutionStateCall> g_executionStateCalls;
EXECUTION_STATE g_foundState;
EXECUTION_STATE WINAPI RecordExecutionState(EXECUTION_STATE flags) {
    g_executionStateCalls.push_back({flags, g_state.trialRun});
    return g_foundState ? g_foundState : SetThreadExecutionState(flags);
}

TEST_F(KvInHost, HoldsTheSystemAwakeWhileASeriesRunsAndGivesItBackOnEveryEnd) {
    constexpr EXECUTION_STATE kHold = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;
    constexpr EXECUTION_STATE kRelease = ES_CONTINUOUS;
    const struct {
        const char* name;
        const wchar_t* line;
        std::vector<ExecutionStateCall> calls;  // once the host is back at its prompt
        EXECUTION_STATE found = 0;
    } cases[] = {
        {"normal end", L"kv /n:2 /Q /O:FT rem", {{kHold, -1}, {kRelease, -1}}},
        {"no keep-awake", L"kv /n:2 /Q /O:FJT rem", {}},
        {"nested: the outer one holds it for both", L"kv /n:2 /Q /O:FT kv /n:2 /Q /O:FT rem",
         {{kHold, -1}, {kRelease, -1}}},
        {"user abort", L"kv /n:3 /Q /O:FT /U:5 exitcode 5", {{kHold, -1}, {kRelease, -1}}},
        {"Ctrl+C", L"kv /n:10 /Q /O:FT `if %_trialrun==3 ctrlc`", {{kHold, -1}, {kRelease, -1}}},
        {"left in run 3", L"kv /n:10 /Q /O:FT `if %_trialrun==3 ctrlc /h`", {{kHold, -1}, {kRelease, 2}}},
        // The series is still running: it keeps the hold until it ends.
        {"the keystroke hook's reset in run 2", L"kv /n:4 /Q /O:FT `if %_trialrun==2 keyhook`",
         {{kHold, -1}, {kRelease, -1}}},
        {"shut down in run 1", L"kv /n:3 /Q /O:FT plugin /u \"%kvself%\"", {{kHold, -1}, {kRelease, 0}}},
        {"a lasting state found is put back", L"kv /n:2 /Q /O:FT rem",
         {{kHold, -1}, {ES_CONTINUOUS | ES_SYSTEM_REQUIRED, -1}}, ES_CONTINUOUS | ES_SYSTEM_REQUIRED},
        {"a found state that held nothing lasting", L"kv /n:2 /Q /O:FT rem", {{kHold, -1}, {kRelease, -1}},
         ES_SYSTEM_REQUIRED | ES_USER_PRESENT},
    };
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    ScopedEnvironmentVariable kvself(L"kvself", self);
    for (const auto& c : cases) {
        AttachFreshPluginToHost();
        g_sys.setThreadExecutionState = RecordExecutionState;
        g_executionStateCalls.clear();
        g_foundState = c.found;
        {
            CapturedOutput output;
            HostRunLine(c.line, nullptr);
            HostReturnToPrompt();
        }
        ASSERT_EQ(g_executionStateCalls.size(), c.calls.size()) << c.name;
        for (size_t i = 0; i < c.calls.size(); ++i) {
            EXPECT_EQ(g_executionStateCalls[i].flags, c.calls[i].flags) << c.name << ", call " << i;
            EXPECT_EQ(g_executionStateCalls[i].trialRun, c.calls[i].trialRun) << c.name << ", call " << i;
        }
        EXPECT_EQ(g_state.awakeHold, 0u) << c.name;
        EXPECT_EQ(g_state.jiggleTimer, 0u) << c.name;
    }
}

TEST(KeepAwake, JiggleLeavesThePointerWhereItWas) {
    // A known position first: Wine's server and display may disagree about
    // where the pointer starts.
    ASSERT_TRUE(SetCursorPos(123, 77));
    PumpMessages(20);
    POINT before = {}, after = {};
    ASSERT_TRUE(GetCursorPos(&before));
    ASSERT_EQ(before.x, 123);
    LASTINPUTINFO input = {sizeof input, 0};
    GetLastInputInfo(&input);
    DWORD lastInput = input.dwTime;
    Sleep(30);

    JiggleMouse(nullptr, WM_TIMER, 1, 0);
    PumpMessages(20);
    ASSERT_TRUE(GetCursorPos(&after));
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
    GetLastInputInfo(&input);
    EXPECT_NE(input.dwTime, lastInput);
}

}  // namespace
