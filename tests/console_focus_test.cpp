// Bringing a window to the front and the keep-awake jiggle, with real windows
// on the virtual display; the system settings GrabFocus touches are checked to
// be back at their earlier values afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <algorithm>
#include <vector>
#include "console/console_env.h"
#include "console/focus_keepawake.h"
#include "console_test_support.h"

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

// Every system-parameter call GrabFocus makes, with the value it carries.
struct SettingCall {
    UINT action;
    ULONG_PTR value;
    UINT flags;
};
std::vector<SettingCall> g_settingCalls;

// Wine keeps no animation setting (it always reads as off), so the recorder
// answers that one itself as "on"; everything else goes to the system.
BOOL WINAPI RecordSettings(UINT action, UINT param, PVOID value, UINT flags) {
    if (action == SPI_GETANIMATION) {
        static_cast<ANIMATIONINFO*>(value)->iMinAnimate = 1;
        g_settingCalls.push_back({action, 1, flags});
        return TRUE;
    }
    ULONG_PTR carried = 0;
    if (action == SPI_SETANIMATION) carried = static_cast<ULONG_PTR>(static_cast<ANIMATIONINFO*>(value)->iMinAnimate);
    if (action == SPI_SETFOREGROUNDLOCKTIMEOUT) carried = reinterpret_cast<ULONG_PTR>(value);
    if (action == SPI_SETANIMATION) {
        g_settingCalls.push_back({action, carried, flags});
        return TRUE;
    }
    BOOL ok = SystemParametersInfoW(action, param, value, flags);
    if (action == SPI_GETFOREGROUNDLOCKTIMEOUT) carried = *static_cast<DWORD*>(value);
    g_settingCalls.push_back({action, carried, flags});
    return ok;
}

const DWORD kTestLockTimeout = 123456;

// The show commands given to windows of this thread while it lives, seen
// through a CBT hook. Wine without a window manager drops a maximised state
// when the window takes the foreground and restores it through a system
// command; such restores are told apart by the system command just before.
class ShowCommandRecorder {
public:
    ShowCommandRecorder() {
        commands_.clear();
        afterSystemCommand_ = false;
        hook_ = SetWindowsHookExW(WH_CBT, Record, nullptr, GetCurrentThreadId());
    }
    ~ShowCommandRecorder() { UnhookWindowsHookEx(hook_); }
    ShowCommandRecorder(const ShowCommandRecorder&) = delete;
    ShowCommandRecorder& operator=(const ShowCommandRecorder&) = delete;
    bool ok() const { return hook_ != nullptr; }
    const std::vector<int>& commands() const { return commands_; }

private:
    static LRESULT CALLBACK Record(int code, WPARAM wParam, LPARAM lParam) {
        if (code == HCBT_SYSCOMMAND) afterSystemCommand_ = true;
        if (code == HCBT_MINMAX) {
            if (!afterSystemCommand_) commands_.push_back(LOWORD(lParam));
            afterSystemCommand_ = false;
        }
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static std::vector<int> commands_;
    static bool afterSystemCommand_;
    HHOOK hook_ = nullptr;
};
std::vector<int> ShowCommandRecorder::commands_;
bool ShowCommandRecorder::afterSystemCommand_ = false;

class Focus : public ::testing::Test {
protected:
    void SetUp() override {
        savedLockTimeout_ = ReadLockTimeout();
        // A value unlike anything GrabFocus sets, so a value left behind shows.
        WriteLockTimeout(kTestLockTimeout);
        ASSERT_EQ(ReadLockTimeout(), kTestLockTimeout);
        g_settingCalls.clear();
        g_systemParameters = RecordSettings;
    }
    void TearDown() override {
        ResetFocusCalls();
        WriteLockTimeout(savedLockTimeout_);
    }
    // The animation was switched off and then back on last; the lock timeout,
    // if it was changed at all, was set to 0 and then back, telling the system.
    static void ExpectSettingsPutBack() {
        std::vector<ULONG_PTR> animation, lockTimeout;
        for (const SettingCall& call : g_settingCalls) {
            if (call.action == SPI_SETANIMATION) {
                animation.push_back(call.value);
                EXPECT_EQ(call.flags, 0u);
            }
            if (call.action == SPI_SETFOREGROUNDLOCKTIMEOUT) {
                lockTimeout.push_back(call.value);
                EXPECT_EQ(call.flags, static_cast<UINT>(SPIF_SENDCHANGE));
            }
        }
        EXPECT_EQ(animation, (std::vector<ULONG_PTR>{0, 1}));
        if (!lockTimeout.empty()) {
            EXPECT_EQ(lockTimeout, (std::vector<ULONG_PTR>{0, kTestLockTimeout}));
        }
        ASSERT_FALSE(g_settingCalls.empty());
        EXPECT_EQ(g_settingCalls.back().action, static_cast<UINT>(SPI_SETANIMATION));
        EXPECT_EQ(ReadLockTimeout(), kTestLockTimeout);
    }
    DWORD savedLockTimeout_ = 0;
};

size_t LockTimeoutChanges() {
    return static_cast<size_t>(std::count_if(g_settingCalls.begin(), g_settingCalls.end(), [](const SettingCall& c) {
        return c.action == SPI_SETFOREGROUNDLOCKTIMEOUT;
    }));
}

TEST_F(Focus, NullWindowChangesNothing) {
    HWND foreground = GetForegroundWindow();
    EXPECT_EQ(GrabFocus(nullptr), -1);
    EXPECT_TRUE(g_settingCalls.empty());
    EXPECT_EQ(ReadLockTimeout(), kTestLockTimeout);
    EXPECT_EQ(GetForegroundWindow(), foreground);
}

// Shows a new window of this thread with the given command, then brings it
// to the front; gives the show commands GrabFocus used on it.
std::vector<int> GrabFocusAfterShowing(TestWindows& windows, int initialShow, HWND* window) {
    *window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    EXPECT_NE(*window, nullptr);
    ShowWindow(*window, initialShow);
    PumpMessages(50);
    EXPECT_EQ(IsIconic(*window) != 0, initialShow == SW_MINIMIZE);
    EXPECT_EQ(IsZoomed(*window) != 0, initialShow == SW_MAXIMIZE);
    ShowCommandRecorder shown;
    EXPECT_TRUE(shown.ok());
    EXPECT_EQ(GrabFocus(*window), 0);
    return shown.commands();
}

// First of the window tests: Wine, when its desktop belongs to a process on
// another X display, can fail on a maximise after a shown window was destroyed.
TEST_F(Focus, KeepsAMaximisedWindowMaximised) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND window = nullptr;
    EXPECT_EQ(GrabFocusAfterShowing(windows, SW_MAXIMIZE, &window), std::vector<int>{SW_MAXIMIZE});
    ExpectSettingsPutBack();
}

TEST_F(Focus, RestoresAMinimisedWindow) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND window = nullptr;
    EXPECT_EQ(GrabFocusAfterShowing(windows, SW_MINIMIZE, &window), std::vector<int>{SW_RESTORE});
    PumpMessages(50);
    EXPECT_FALSE(IsIconic(window));
    EXPECT_FALSE(IsZoomed(window));
    EXPECT_TRUE(IsWindowVisible(window));
    ExpectSettingsPutBack();
}

TEST_F(Focus, TakesTheForegroundFromAnotherThread) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(window, nullptr);
    // Then a window of another thread takes the foreground.
    struct Other {
        HWND window = nullptr;
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    } other;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* param) -> DWORD {
            auto* o = static_cast<Other*>(param);
            TestWindows windows(L"KelvaneFocusOther");
            o->window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
            SetForegroundWindow(o->window);
            SetEvent(o->ready);
            while (MsgWaitForMultipleObjects(1, &o->done, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
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

    EXPECT_EQ(GrabFocus(window), 0);
    PumpMessages(50);
    EXPECT_EQ(GetForegroundWindow(), window);
    ExpectSettingsPutBack();
    // The foreground lock was lifted for the switch and put back.
    EXPECT_EQ(LockTimeoutChanges(), 2u);

    SetEvent(other.done);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(other.ready);
    CloseHandle(other.done);
}

TEST_F(Focus, LeavesTheLockAloneWhenThisThreadHasTheForeground) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND front = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    HWND window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(front, nullptr);
    ASSERT_NE(window, nullptr);
    SetForegroundWindow(front);
    PumpMessages(50);
    ASSERT_EQ(GetForegroundWindow(), front);

    EXPECT_EQ(GrabFocus(window), 0);
    PumpMessages(50);
    EXPECT_EQ(GetForegroundWindow(), window);
    ExpectSettingsPutBack();
    EXPECT_EQ(LockTimeoutChanges(), 0u);
}

// Reading a system parameter does not fail under Wine; the seam makes it fail.
BOOL WINAPI SettingsThatCannotBeRead(UINT action, UINT param, PVOID value, UINT flags) {
    if (action == SPI_GETANIMATION || action == SPI_GETFOREGROUNDLOCKTIMEOUT) return FALSE;
    return RecordSettings(action, param, value, flags);
}

TEST_F(Focus, LeavesSettingsAloneThatItCannotRead) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(window, nullptr);
    g_systemParameters = SettingsThatCannotBeRead;
    EXPECT_EQ(GrabFocus(window), 0);
    EXPECT_TRUE(g_settingCalls.empty());
    EXPECT_EQ(ReadLockTimeout(), kTestLockTimeout);
}

TEST(KeepAwake, JiggleLeavesThePointerWhereItWas) {
    // A known position first: Wine's server and display may disagree about
    // where the pointer starts.
    ASSERT_TRUE(SetCursorPos(123, 77));
    PumpMessages(20);
    POINT before = {};
    ASSERT_TRUE(GetCursorPos(&before));
    ASSERT_EQ(before.x, 123);
    LASTINPUTINFO input = {sizeof input, 0};
    GetLastInputInfo(&input);
    DWORD lastInput = input.dwTime;
    Sleep(30);

    JiggleMouse(nullptr, WM_TIMER, 1, 0);
    PumpMessages(20);
    POINT after = {};
    ASSERT_TRUE(GetCursorPos(&after));
    EXPECT_EQ(after.x, before.x);
    EXPECT_EQ(after.y, before.y);
    GetLastInputInfo(&input);
    EXPECT_NE(input.dwTime, lastInput);
}

}  // namespace
