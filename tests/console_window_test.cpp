// Finding the window that shows the console: the ancestor list, the per-class
// window collection, each host's search and the cached cascade, with real
// windows created by the test and the stand-in host answering for Take Command.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>
#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>
#include "console/console_env.h"
#include "console/host_window.h"
#include "console_test_support.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "test_support.h"

namespace {

class WindowDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPluginStateForTest();
        // As start-up finds it: the stand-in exports it under its decorated name only.
        g_state.takeCommandIpc = LookUpTakeCommandIPC(GetModuleHandleW(L"TakeCmd.dll"));
    }
    void TearDown() override {
        if (g_state.windowCacheTimer) KillTimer(nullptr, g_state.windowCacheTimer);
        free(g_state.ancestorPids);
        if (g_state.conOut) CloseHandle(g_state.conOut);
        ResetPluginStateForTest();
        ResetSysCalls();
        ResetConsoleWindowQuery();
        g_testConsoleWindow = nullptr;
        HostSetIpcReply(nullptr);
    }
};

// The top-level windows of one class, front to back as EnumWindows gives them.
std::vector<HWND> WindowsOfClass(const wchar_t* className) {
    std::vector<HWND> windows;
    for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, className, nullptr)) != nullptr;) windows.push_back(w);
    return windows;
}

// ---- the ancestor list -------------------------------------------------------

TEST_F(WindowDiscovery, AncestorListStartsWithThisProcess) {
    int length = BuildAncestorList(0);
    ASSERT_GE(length, 1);
    EXPECT_EQ(g_state.ancestorCount, static_cast<uint32_t>(length));
    EXPECT_EQ(g_state.ancestorPids[0], GetCurrentProcessId());
    EXPECT_EQ(BuildAncestorList(GetCurrentProcessId()), length);
}

TEST_F(WindowDiscovery, AncestorListIsEmptiedWhenItCannotBeBuilt) {
    ASSERT_GE(BuildAncestorList(0), 1);
    EXPECT_EQ(BuildAncestorList(0xFFFFFFF0), 0) << "a process that is not running";
    EXPECT_EQ(g_state.ancestorPids, nullptr);
    EXPECT_EQ(g_state.ancestorCount, 0u);

    ASSERT_GE(BuildAncestorList(0), 1);
    // A small allocation does not fail for real; the seam makes it.
    g_sys.allocate = [](size_t) -> void* { return nullptr; };
    EXPECT_EQ(BuildAncestorList(0), 0) << "no memory";
    EXPECT_EQ(g_state.ancestorPids, nullptr);
    EXPECT_EQ(g_state.ancestorCount, 0u);
}

TEST_F(WindowDiscovery, SnapshotHelpersReadThisProcessAndRefuseMissingInput) {
    EXPECT_EQ(CountProcesses(nullptr), 0u);
    EXPECT_EQ(GetProcessCreationTime(GetCurrentProcessId(), nullptr), -1);

    FILETIME created = {0xDEADBEEF, 0xDEADBEEF};
    ASSERT_EQ(GetProcessCreationTime(GetCurrentProcessId(), &created), 1);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    EXPECT_NE(created.dwHighDateTime | created.dwLowDateTime, 0u);
    EXPECT_LE(CompareFileTime(&created, &now), 0);

    FILETIME missing = {0xDEADBEEF, 0xDEADBEEF};
    EXPECT_EQ(GetProcessCreationTime(0xFFFFFFF0, &missing), 0);
    EXPECT_EQ(missing.dwLowDateTime | missing.dwHighDateTime, 0u);
}

// Made-up snapshots for the upward walk: Wine cannot give an exited parent's
// id to a newer process on demand.
struct FakeProcess {
    DWORD id;
    DWORD parent;
    uint64_t created;  // 0: the time cannot be read
};
const std::vector<FakeProcess>* g_fakeProcesses = nullptr;

int FakeCreationTime(DWORD processId, FILETIME* time) {
    *time = FILETIME{};
    for (const FakeProcess& p : *g_fakeProcesses) {
        if (p.id != processId || p.created == 0) continue;
        *time = FILETIME{static_cast<DWORD>(p.created), static_cast<DWORD>(p.created >> 32)};
        return 1;
    }
    return 0;
}

TEST(AncestorWalk, FollowsParentsUntilTheChainEndsOrTurnsImplausible) {
    const struct {
        std::vector<FakeProcess> processes;
        DWORD start;
        std::vector<DWORD> chain;
        const char* why;
    } cases[] = {
        {{{10, 20, 500}, {20, 30, 400}, {30, 0, 300}}, 10, {10, 20, 30}, "to a process without a parent"},
        {{{10, 20, 500}, {20, 99, 400}}, 10, {10, 20}, "to a parent no longer in the snapshot"},
        {{{10, 20, 500}}, 77, {}, "a start that is not in the snapshot"},
        {{{0, 0, 100}, {10, 0, 500}}, 0, {}, "id 0 is no process"},
        {{}, 10, {}, "an empty snapshot"},
        {{{10, 20, 500}, {20, 30, 400}, {30, 40, 450}, {40, 0, 100}}, 10, {10, 20},
         "cut before a parent created after its child (a reused id)"},
        {{{10, 20, 500}, {20, 30, 500}, {30, 0, 500}}, 10, {10, 20, 30}, "a parent created at the same time stays"},
        {{{10, 20, 0}, {20, 30, 900}, {30, 0, 950}}, 10, {10, 20, 30}, "no start time: nothing is tested"},
        {{{10, 20, 500}, {20, 30, 0}, {30, 40, 999}, {40, 0, 1000}}, 10, {10, 20, 30, 40},
         "a missing time in the middle: the rest is untested"},
        {{{10, 20, 0}, {20, 10, 0}}, 10, {10, 20}, "a loop of parent ids"},
    };
    for (const auto& c : cases) {
        g_fakeProcesses = &c.processes;
        std::vector<PROCESSENTRY32W> records;
        for (const FakeProcess& p : c.processes) {
            records.push_back(PROCESSENTRY32W{});
            records.back().dwSize = sizeof(PROCESSENTRY32W);
            records.back().th32ProcessID = p.id;
            records.back().th32ParentProcessID = p.parent;
        }
        std::vector<DWORD> chain(records.size() + 1, 0xCCCCCCCC);
        DWORD length = WalkAncestors(records.data(), static_cast<DWORD>(records.size()), c.start, FakeCreationTime,
                                     chain.data());
        // Nothing may be written past the walk's own length.
        ASSERT_LE(length, records.size()) << c.why;
        EXPECT_TRUE(std::all_of(chain.begin() + length, chain.end(), [](DWORD id) { return id == 0xCCCCCCCC; }))
            << c.why;
        chain.resize(length);
        EXPECT_EQ(chain, c.chain) << c.why;
    }
    g_fakeProcesses = nullptr;
}

// ---- collecting windows by class -----------------------------------------------

TEST_F(WindowDiscovery, CollectsAtMostThirtyTwoWindowsInEnumerationOrder) {
    TestWindows console2(L"Console_2_Main");
    ASSERT_TRUE(console2.registered());
    for (int i = 0; i < 40; ++i) ASSERT_NE(console2.Create(), nullptr);
    std::vector<HWND> expected = WindowsOfClass(L"Console_2_Main");
    ASSERT_EQ(expected.size(), 40u);
    expected.resize(32);

    // One slot more than offered, which must stay untouched.
    const HWND sentinel = reinterpret_cast<HWND>(0x5EB7);
    std::vector<HWND> windows(33, sentinel);
    std::vector<DWORD> processIds(33, 0x5EB7);
    ClassWindowList list = {L"Console_2_Main", 32, 0, windows.data(), processIds.data()};
    EnumWindows(CollectClassWindows, reinterpret_cast<LPARAM>(&list));
    ASSERT_EQ(list.count, 32u);
    EXPECT_EQ(std::vector<HWND>(windows.begin(), windows.begin() + 32), expected);
    EXPECT_EQ(std::count(processIds.begin(), processIds.end(), GetCurrentProcessId()), 32);
    EXPECT_EQ(windows[32], sentinel);
    EXPECT_EQ(processIds[32], 0x5EB7u);

    // Without an id array only the windows are collected.
    std::vector<HWND> onlyWindows(32);
    ClassWindowList noIds = {L"Console_2_Main", 32, 0, onlyWindows.data(), nullptr};
    EnumWindows(CollectClassWindows, reinterpret_cast<LPARAM>(&noIds));
    EXPECT_EQ(onlyWindows, expected);
}

// ---- the searches ----------------------------------------------------------------

TEST_F(WindowDiscovery, FindsTheFirstConsole2WindowOfAnAncestor) {
    {
        // Class names are compared exactly: neither of these is a Console2
        // window. (Registered names ignore case, so these go before the real one.)
        TestWindows lower(L"console_2_main");
        TestWindows longer(L"Console_2_MainX");
        ASSERT_NE(lower.Create(), nullptr);
        ASSERT_NE(longer.Create(), nullptr);
        EXPECT_EQ(FindConsole2Window(), nullptr);
    }

    TestWindows console2(L"Console_2_Main");
    for (int i = 0; i < 3; ++i) ASSERT_NE(console2.Create(), nullptr);
    std::vector<HWND> enumerated = WindowsOfClass(L"Console_2_Main");
    ASSERT_EQ(enumerated.size(), 3u);
    // The list is empty (as after a failed start-up build): it is built first.
    free(g_state.ancestorPids);
    ResetPluginStateForTest();
    EXPECT_EQ(FindConsole2Window(), enumerated[0]);
    ASSERT_GE(g_state.ancestorCount, 1u);

    // A list that holds only a process owning none of the windows.
    g_state.ancestorPids[0] = GetCurrentProcessId() + 4;
    g_state.ancestorCount = 1;
    EXPECT_EQ(FindConsole2Window(), nullptr);
}

TEST_F(WindowDiscovery, ReadsConEmuHandleInEveryNumberForm) {
    TestWindows conEmu(L"VirtualConsoleClass");
    TestWindows other(L"NotVirtualConsoleClass");
    HWND window = conEmu.Create();
    HWND otherWindow = other.Create();
    ASSERT_TRUE(window && otherWindow);
    const unsigned value = static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(window));
    wchar_t hex[32], upperHex[32], octal[32], decimal[32];
    swprintf(hex, 32, L"0x%x", value);
    swprintf(upperHex, 32, L"0X%X", value);
    swprintf(octal, 32, L"0o%o", value);
    swprintf(decimal, 32, L"%u", value);
    for (const wchar_t* text : {hex, upperHex, octal, decimal}) {
        ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", text);
        EXPECT_EQ(FindConEmuWindow(), window) << text;
    }

    std::wstring hexWithSpace = std::wstring(hex) + L" ";
    std::wstring decimalWithText = std::wstring(decimal) + L"x";
    std::wstring otherClass = WindowNumber(otherWindow);
    // Refused: trailing text, zero, signs and spaces, out of range, a window
    // of another class, and no variable at all.
    const wchar_t* refused[] = {hexWithSpace.c_str(), decimalWithText.c_str(), otherClass.c_str(), L"0", L"0x0", L"",
                                L" 1", L"+1", L"x1", L"4294967296", L"0x100000000", L"0o8", L"0x0x1", nullptr};
    for (const wchar_t* text : refused) {
        ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", text);
        EXPECT_EQ(FindConEmuWindow(), nullptr) << (text ? std::string(text, text + wcslen(text)) : "(unset)");
    }
}

TEST_F(WindowDiscovery, FindsNoTerminalOutsideAPseudoConsole) {
    // Wine's console window is a "WineConsoleClass" window.
    EXPECT_EQ(FindTerminalWindow(), nullptr);
}

// The plain console step with a console window of the test's own: shown on a
// monitor it is the answer and the search ends there; hidden, of another class
// or absent, the search goes on (to the ConEmu window named here); shown on no
// monitor, a Console2 window of this process takes its place.
TEST_F(WindowDiscovery, PlainConsoleWindowEndsTheSearchWhenItIsShown) {
    TestWindows consoleClass(L"ConsoleWindowClass");
    TestWindows longerClass(L"ConsoleWindowClassX");
    TestWindows conEmuClass(L"VirtualConsoleClass");
    // Shown without a frame and without taking the foreground: otherwise Wine
    // waits seconds for a window manager when the window goes again. The one
    // on no monitor is created there, as moving a shown window costs as much.
    HWND console = consoleClass.Create(WS_POPUP);
    HWND offMonitor = consoleClass.Create(WS_POPUP, nullptr, {-30000, -30000});
    HWND hidden = consoleClass.Create();
    HWND longer = longerClass.Create(WS_POPUP);
    HWND conEmu = conEmuClass.Create();
    ASSERT_TRUE(console && offMonitor && hidden && longer && conEmu);
    for (HWND window : {console, offMonitor, longer}) ShowWindow(window, SW_SHOWNOACTIVATE);
    ASSERT_NE(MonitorFromWindow(console, MONITOR_DEFAULTTONULL), nullptr);
    ASSERT_EQ(MonitorFromWindow(offMonitor, MONITOR_DEFAULTTONULL), nullptr);
    ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", WindowNumber(conEmu).c_str());
    g_consoleWindow = TestConsoleWindow;
    HostCallTrace trace;

    const struct {
        HWND consoleWindow;
        bool console2;  // a Console2 window of this process exists
        HWND expected;  // null: the Console2 window
        const char* why;
    } cases[] = {
        {console, false, console, "shown on a monitor"},
        {hidden, false, conEmu, "hidden"},
        {longer, false, conEmu, "a class that only begins with the name"},
        {nullptr, false, conEmu, "no console window"},
        {offMonitor, false, offMonitor, "on no monitor and no Console2"},
        {console, true, console, "on a monitor, Console2 is not asked"},
        {offMonitor, true, nullptr, "on no monitor, behind Console2"},
        {hidden, true, conEmu, "hidden: ConEmu comes before Console2"},
    };
    TestWindows console2Class(L"Console_2_Main");
    HWND console2 = nullptr;
    for (const auto& c : cases) {
        if (c.console2 && !console2) {
            console2 = console2Class.Create();
            ASSERT_NE(console2, nullptr);
        }
        g_testConsoleWindow = c.consoleWindow;
        EXPECT_EQ(FindHostWindow(), c.expected ? c.expected : console2) << c.why;
        EXPECT_FALSE(g_state.windowCacheValid) << c.why;
        EXPECT_EQ(g_state.windowCacheTimer, 0u) << c.why;
    }
    // The host was asked each time, and the Take Command search never ran.
    EXPECT_EQ(CountOccurrences(trace.Text(), L"TakeCommandIPC"), std::size(cases));
    EXPECT_EQ(CountOccurrences(trace.Text(), L"tty_yield"), 0u);
}

// The Windows Terminal step: a "PseudoConsoleWindow" console window whose
// parent, owner or parent window alike as GetParent reports it, is the
// terminal's "CASCADIA_HOSTING_WINDOW_CLASS" window; that parent is the answer.
TEST_F(WindowDiscovery, TerminalIsTheCascadiaParentOfThePseudoConsoleWindow) {
    TestWindows cascadiaClass(L"CASCADIA_HOSTING_WINDOW_CLASS");
    TestWindows otherClass(L"KelvaneOtherFrame");
    TestWindows conEmuClass(L"VirtualConsoleClass");
    HWND cascadia = cascadiaClass.Create();
    HWND other = otherClass.Create();
    HWND conEmu = conEmuClass.Create();
    ASSERT_TRUE(cascadia && other && conEmu);
    TestWindows pseudoClass(L"PseudoConsoleWindow");
    TestWindows plainClass(L"ConsoleWindowClass");
    HWND owned = pseudoClass.Create(WS_POPUP, cascadia);
    HWND child = pseudoClass.Create(WS_CHILD, cascadia);
    HWND ownedByOther = pseudoClass.Create(WS_POPUP, other);
    HWND orphan = pseudoClass.Create(WS_POPUP);
    HWND plainOwned = plainClass.Create(WS_POPUP, cascadia);
    ASSERT_TRUE(owned && child && ownedByOther && orphan && plainOwned);
    ASSERT_EQ(GetParent(owned), cascadia);
    ASSERT_EQ(GetParent(child), cascadia);
    ASSERT_EQ(GetParent(orphan), nullptr);
    ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", WindowNumber(conEmu).c_str());
    g_consoleWindow = TestConsoleWindow;
    HostCallTrace trace;

    const struct {
        HWND consoleWindow;
        HWND terminal;
        const char* why;
    } cases[] = {
        {owned, cascadia, "owned by the terminal"},
        {child, cascadia, "a child of the terminal"},
        {ownedByOther, nullptr, "a parent of another class"},
        {orphan, nullptr, "no parent"},
        {plainOwned, nullptr, "a console window of another class"},
        {cascadia, nullptr, "the terminal itself as the console window"},
        {nullptr, nullptr, "no console window"},
    };
    for (const auto& c : cases) {
        g_testConsoleWindow = c.consoleWindow;
        EXPECT_EQ(FindTerminalWindow(), c.terminal) << c.why;
        // Before ConEmu in the cascade, and not cached.
        EXPECT_EQ(FindHostWindow(), c.terminal ? c.terminal : conEmu) << c.why;
        EXPECT_FALSE(g_state.windowCacheValid) << c.why;
    }
    EXPECT_EQ(CountOccurrences(trace.Text(), L"tty_yield"), 0u);
}

TEST_F(WindowDiscovery, GoesOnUncachedWhenTheHostNamesNoWindow) {
    // Wine's own console window is not visible, so the cascade goes past it.
    TestWindows conEmu(L"VirtualConsoleClass");
    HWND window = conEmu.Create();
    ASSERT_NE(window, nullptr);
    ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", WindowNumber(window).c_str());
    HostCallTrace trace;
    size_t asked = 0;
    for (const wchar_t* reply : {static_cast<const wchar_t*>(nullptr), L"0", L"HWND 123", L"", L"4294967295",
                                 L"99999999999999999999"}) {
        HostSetIpcReply(reply);
        std::string label = reply ? std::string(reply, reply + wcslen(reply)) : "(no reply)";
        EXPECT_EQ(FindHostWindow(), window) << label;
        EXPECT_FALSE(g_state.windowCacheValid) << label;
        EXPECT_EQ(g_state.windowCacheTimer, 0u) << label;
        // The host is asked first, every time.
        EXPECT_EQ(CountOccurrences(trace.Text(), L"TakeCommandIPC"), ++asked) << label;
    }
}

// TakeCmd.dll exports TakeCommandIPC under its decorated name (as TCC's does),
// its plain one, both, or neither; the decorated one is taken first. Without
// either the host is not asked and the console tests answer, silently, as
// they do for an answer without digits. Each answer here writes into its request.
TEST_F(WindowDiscovery, LooksUpTheHostQueryUnderEitherNameAndGoesOnWithoutIt) {
    TestWindows conEmu(L"VirtualConsoleClass");
    HWND window = conEmu.Create();
    ASSERT_NE(window, nullptr);
    ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", WindowNumber(window).c_str());
    const struct {
        const wchar_t* module;  // null: no module at all
        const wchar_t* answer;  // null: no TakeCommandIPC found
        const char* why;
    } cases[] = {
        {L"ipc_decorated.dll", L"decorated", "the decorated name"},
        {L"ipc_plain.dll", L"plain", "the plain name"},
        {L"ipc_both.dll", L"decorated", "both names"},
        {L"ipc_neither.dll", nullptr, "the name in other case, the decorated name of other types"},
        {nullptr, nullptr, "no module"},
    };
    for (const auto& c : cases) {
        HMODULE module = c.module ? LoadLibraryW((ExeDir() + L"\\" + c.module).c_str()) : nullptr;
        ASSERT_EQ(module != nullptr, c.module != nullptr) << c.why;
        g_state.takeCommandIpc = LookUpTakeCommandIPC(module);
        ASSERT_EQ(g_state.takeCommandIpc != nullptr, c.answer != nullptr) << c.why;
        if (c.answer) {
            wchar_t request[] = L"HWND", reply[16] = {};
            g_state.takeCommandIpc(request, reply);
            EXPECT_STREQ(reply, c.answer) << c.why;
        }
        {
            CapturedOutput output;
            EXPECT_EQ(FindHostWindow(), window) << c.why;
            EXPECT_EQ(output.Out() + output.Err(), L"") << c.why;
        }
        EXPECT_FALSE(g_state.windowCacheValid) << c.why;
        g_state.takeCommandIpc = nullptr;
        if (module) FreeLibrary(module);
    }
}

TEST_F(WindowDiscovery, CachesTheHostAnswerUntilTheTimerRuns) {
    TestWindows host(L"KelvaneTestHostFrame");
    HWND window = host.Create();
    ASSERT_NE(window, nullptr);
    std::wstring reply = WindowNumber(window) + L" and more";
    HostSetIpcReply(reply.c_str());
    HostCallTrace trace;
    g_timerCalls.clear();
    g_sys.setTimer = RecordTimer;

    EXPECT_EQ(FindHostWindow(), window);
    EXPECT_TRUE(g_state.windowCacheValid);
    EXPECT_NE(g_state.windowCacheTimer, 0u);
    EXPECT_EQ(FindHostWindow(), window);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"TakeCommandIPC"), 1u);
    // One timer for the cache, of 750 ms.
    ASSERT_EQ(g_timerCalls.size(), 1u);
    EXPECT_EQ(g_timerCalls[0].milliseconds, 750u);
    EXPECT_EQ(g_timerCalls[0].callback, ExpireWindowCache);

    ULONGLONG waited = 0;
    for (; g_state.windowCacheTimer != 0 && waited < 5000; waited += 50) PumpMessages(50);
    EXPECT_EQ(g_state.windowCacheTimer, 0u);
    EXPECT_FALSE(g_state.windowCacheValid);
    EXPECT_GE(waited, 700u);

    EXPECT_EQ(FindHostWindow(), window);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"TakeCommandIPC"), 2u);
}

TEST_F(WindowDiscovery, CacheWithoutATimerStaysFilled) {
    TestWindows host(L"KelvaneTestHostFrame");
    HWND window = host.Create();
    ASSERT_NE(window, nullptr);
    std::wstring reply = WindowNumber(window);
    HostSetIpcReply(reply.c_str());
    HostCallTrace trace;
    // Creating a thread timer does not fail for real.
    g_sys.setTimer = [](HWND, UINT_PTR, UINT, TIMERPROC) -> UINT_PTR { return 0; };
    EXPECT_EQ(FindHostWindow(), window);
    PumpMessages(1000);
    EXPECT_TRUE(g_state.windowCacheValid);
    EXPECT_EQ(g_state.windowCacheTimer, 0u);
    EXPECT_EQ(FindHostWindow(), window);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"TakeCommandIPC"), 1u);
}

TEST_F(WindowDiscovery, FindsTheTakeCommandWindowOfAConsoleProcessAndCachesIt) {
    g_state.conOut = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 0, nullptr);
    ASSERT_NE(g_state.conOut, INVALID_HANDLE_VALUE);
    TestWindows takeCommand(L"XTPMainFrame");
    HWND window = takeCommand.Create();
    ASSERT_NE(window, nullptr);
    ScopedEnvironmentVariable noConEmu(L"ConEmuHWND", nullptr);
    // A mark under the cursor: the search writes a blank over it with
    // back-spaces and leaves the cursor where it was.
    CONSOLE_SCREEN_BUFFER_INFO before, after;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(g_state.conOut, &before));
    DWORD written = 0;
    WriteConsoleOutputCharacterW(g_state.conOut, L"Q", 1, before.dwCursorPosition, &written);
    HostCallTrace trace;

    EXPECT_EQ(FindHostWindow(), window);
    ASSERT_TRUE(GetConsoleScreenBufferInfo(g_state.conOut, &after));
    EXPECT_EQ(after.dwCursorPosition.X, before.dwCursorPosition.X);
    EXPECT_EQ(after.dwCursorPosition.Y, before.dwCursorPosition.Y);
    wchar_t cell = 0;
    ReadConsoleOutputCharacterW(g_state.conOut, &cell, 1, after.dwCursorPosition, &written);
    EXPECT_EQ(cell, L' ');
    EXPECT_TRUE(g_state.windowCacheValid);
    EXPECT_NE(g_state.windowCacheTimer, 0u);
    std::wstring calls = trace.Text();
    EXPECT_EQ(CountOccurrences(calls, L"tty_yield"), 1u);
    EXPECT_LT(calls.find(L"TakeCommandIPC"), calls.find(L"tty_yield"));
}

TEST_F(WindowDiscovery, TakeCommandSearchYieldsOnlyWhenItsWindowExists) {
    HostCallTrace trace;
    EXPECT_EQ(FindTakeCommandWindow(), nullptr);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"tty_yield"), 0u);

    TestWindows takeCommand(L"XTPMainFrame");
    ASSERT_NE(takeCommand.Create(), nullptr);
    // Without memory for the process list the search ends with none, but only
    // after the console writes and the yield (an allocation cannot fail for real).
    g_sys.allocate = [](size_t) -> void* { return nullptr; };
    EXPECT_EQ(FindTakeCommandWindow(), nullptr);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"tty_yield"), 1u);
}

TEST_F(WindowDiscovery, ReadsTheWholeConsoleProcessList) {
    // A second process on this console: kvhost.exe waiting a while. Starting
    // with room for one id, the list has to grow to hold both.
    std::wstring exe = ExeDir() + L"\\kvhost.exe";
    std::wstring commandLine = L"\"" + exe + L"\" /c delay /m 5000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, ExeDir().c_str(),
                               &startup, &child));
    std::vector<DWORD> ids;
    for (int attempt = 0; attempt < 100 && std::count(ids.begin(), ids.end(), child.dwProcessId) == 0; ++attempt) {
        if (attempt) Sleep(20);
        DWORD count = 0;
        DWORD* read = ReadConsoleProcessList(1, &count);
        ids.assign(read, read ? read + count : read);
        free(read);
    }
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, 5000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), child.dwProcessId), 1);
    EXPECT_EQ(std::count(ids.begin(), ids.end(), GetCurrentProcessId()), 1);
}

}  // namespace
