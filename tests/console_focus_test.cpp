// Bringing a window to the front and the keep-awake jiggle, with real windows
// on the virtual display; the system settings GrabFocus touches are checked to
// be back at their earlier values afterwards.
#include <gtest/gtest.h>
#include <windows.h>
#include <vector>
#include "console/console_env.h"
#include "console/focus_keepawake.h"
#include "console_test_support.h"

namespace {

struct SystemSettings {
    BOOL animation;
    DWORD lockTimeout;
};

SystemSettings ReadSettings() {
    ANIMATIONINFO animation = {sizeof animation, 0};
    SystemParametersInfoW(SPI_GETANIMATION, sizeof animation, &animation, 0);
    DWORD lockTimeout = 0;
    SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &lockTimeout, 0);
    return {animation.iMinAnimate != 0, lockTimeout};
}

void WriteSettings(const SystemSettings& settings) {
    ANIMATIONINFO animation = {sizeof animation, settings.animation};
    SystemParametersInfoW(SPI_SETANIMATION, sizeof animation, &animation, 0);
    SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                          reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(settings.lockTimeout)), 0);
}

class Focus : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = ReadSettings();
        // Values unlike anything GrabFocus sets, so a value left behind shows.
        WriteSettings({TRUE, 123456});
        ASSERT_TRUE(ReadSettings().animation);
        ASSERT_EQ(ReadSettings().lockTimeout, 123456u);
    }
    void TearDown() override {
        ResetFocusCalls();
        WriteSettings(saved_);
    }
    void ExpectSettingsUntouched() {
        SystemSettings now = ReadSettings();
        EXPECT_TRUE(now.animation);
        EXPECT_EQ(now.lockTimeout, 123456u);
    }
    SystemSettings saved_{};
};

TEST_F(Focus, NullWindowChangesNothing) {
    HWND foreground = GetForegroundWindow();
    EXPECT_EQ(GrabFocus(nullptr), -1);
    ExpectSettingsUntouched();
    EXPECT_EQ(GetForegroundWindow(), foreground);
}

TEST_F(Focus, RestoresAMinimisedWindow) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_MINIMIZE);
    PumpMessages(50);
    ASSERT_TRUE(IsIconic(window));

    EXPECT_EQ(GrabFocus(window), 0);
    PumpMessages(50);
    EXPECT_FALSE(IsIconic(window));
    EXPECT_FALSE(IsZoomed(window));
    EXPECT_TRUE(IsWindowVisible(window));
    ExpectSettingsUntouched();
}

TEST_F(Focus, KeepsAMaximisedWindowMaximised) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(window, nullptr);
    ShowWindow(window, SW_MAXIMIZE);
    PumpMessages(50);
    ASSERT_TRUE(IsZoomed(window));

    EXPECT_EQ(GrabFocus(window), 0);
    PumpMessages(50);
    EXPECT_TRUE(IsZoomed(window));
    ExpectSettingsUntouched();
}

TEST_F(Focus, TakesTheForegroundFromAnotherThread) {
    // A window of another thread holds the foreground.
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

    TestWindows windows(L"KelvaneFocusTest");
    HWND window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(GrabFocus(window), 0);
    PumpMessages(50);
    EXPECT_EQ(GetForegroundWindow(), window);
    ExpectSettingsUntouched();

    SetEvent(other.done);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    CloseHandle(other.ready);
    CloseHandle(other.done);
}

// Reading a system parameter does not fail under Wine; the seam makes it fail.
std::vector<UINT> g_changedSettings;
BOOL WINAPI SettingsThatCannotBeRead(UINT action, UINT param, PVOID value, UINT flags) {
    if (action == SPI_GETANIMATION || action == SPI_GETFOREGROUNDLOCKTIMEOUT) return FALSE;
    g_changedSettings.push_back(action);
    return SystemParametersInfoW(action, param, value, flags);
}

TEST_F(Focus, LeavesSettingsAloneThatItCannotRead) {
    TestWindows windows(L"KelvaneFocusTest");
    HWND window = windows.Create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    ASSERT_NE(window, nullptr);
    g_changedSettings.clear();
    g_systemParameters = SettingsThatCannotBeRead;
    EXPECT_EQ(GrabFocus(window), 0);
    ResetFocusCalls();
    EXPECT_TRUE(g_changedSettings.empty());
    ExpectSettingsUntouched();
}

TEST(KeepAwake, JiggleLeavesThePointerWhereItWas) {
    POINT before = {};
    ASSERT_TRUE(GetCursorPos(&before));
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
