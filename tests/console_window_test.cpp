// Finding the window that shows the console: the ancestor list, the per-class
// window collection, each host's search and the cached cascade, with real
// windows created by the test and the stand-in host answering for Take Command.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>
#include "console/console_env.h"
#include "console/host_window.h"
#include "console_test_support.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "test_support.h"

namespace {

class WindowDiscovery : public ::testing::Test {
protected:
    void SetUp() override { ResetPluginStateForTest(); }
    void TearDown() override {
        if (g_state.windowCacheTimer) KillTimer(nullptr, g_state.windowCacheTimer);
        free(g_state.ancestorPids);
        if (g_state.conOut) CloseHandle(g_state.conOut);
        ResetPluginStateForTest();
        ResetSysCalls();
        HostSetIpcReply(nullptr);
    }
    // An ancestor list that holds only a process that owns none of the test's windows.
    static void UseForeignAncestorList() {
        free(g_state.ancestorPids);
        g_state.ancestorPids = static_cast<DWORD*>(malloc(sizeof(DWORD)));
        g_state.ancestorPids[0] = GetCurrentProcessId() + 4;
        g_state.ancestorCount = 1;
    }
};

// The windows of one class in the order EnumWindows gives them.
std::vector<HWND> EnumeratedWindowsOfClass(const wchar_t* className) {
    struct Filter {
        const wchar_t* className;
        std::vector<HWND> windows;
    } filter{className, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* f = reinterpret_cast<Filter*>(param);
            wchar_t name[256] = {};
            GetClassNameW(window, name, 256);
            if (wcscmp(name, f->className) == 0) f->windows.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&filter));
    return filter.windows;
}

size_t CountOccurrences(const std::wstring& text, const std::wstring& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + what.size())) ++count;
    return count;
}

// ---- the ancestor list -------------------------------------------------------

TEST_F(WindowDiscovery, AncestorListStartsWithThisProcess) {
    int length = BuildAncestorList(0);
    ASSERT_GE(length, 1);
    ASSERT_NE(g_state.ancestorPids, nullptr);
    EXPECT_EQ(g_state.ancestorCount, static_cast<uint32_t>(length));
    EXPECT_EQ(g_state.ancestorPids[0], GetCurrentProcessId());
    EXPECT_EQ(BuildAncestorList(GetCurrentProcessId()), length);
}

TEST_F(WindowDiscovery, AncestorListIsEmptiedForAProcessThatIsNotRunning) {
    ASSERT_GE(BuildAncestorList(0), 1);
    EXPECT_EQ(BuildAncestorList(0xFFFFFFF0), 0);
    EXPECT_EQ(g_state.ancestorPids, nullptr);
    EXPECT_EQ(g_state.ancestorCount, 0u);
}

TEST_F(WindowDiscovery, AncestorListIsEmptyWhenMemoryRunsOut) {
    // A small allocation does not fail for real; the seam makes it.
    g_sys.allocate = [](size_t) -> void* { return nullptr; };
    EXPECT_EQ(BuildAncestorList(0), 0);
    EXPECT_EQ(g_state.ancestorPids, nullptr);
    EXPECT_EQ(g_state.ancestorCount, 0u);
}

TEST_F(WindowDiscovery, SnapshotHelpersFindThisProcess) {
    EXPECT_EQ(CountProcesses(nullptr), 0u);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    DWORD count = CountProcesses(snapshot);
    EXPECT_GE(count, 1u);
    std::vector<PROCESSENTRY32W> records;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        records.push_back(entry);
        entry = {};
        entry.dwSize = sizeof entry;
    }
    CloseHandle(snapshot);
    EXPECT_EQ(count, records.size());

    DWORD n = static_cast<DWORD>(records.size());
    const PROCESSENTRY32W* self = FindProcessEntry(records.data(), n, GetCurrentProcessId());
    ASSERT_NE(self, nullptr);
    EXPECT_EQ(self->th32ProcessID, GetCurrentProcessId());
    EXPECT_EQ(FindProcessEntry(nullptr, n, GetCurrentProcessId()), nullptr);
    EXPECT_EQ(FindProcessEntry(records.data(), 0, GetCurrentProcessId()), nullptr);
    EXPECT_EQ(FindProcessEntry(records.data(), n, 0), nullptr);
}

TEST_F(WindowDiscovery, CreationTimeIsReadForThisProcessOnly) {
    EXPECT_EQ(GetProcessCreationTime(GetCurrentProcessId(), nullptr), -1);

    FILETIME created = {0xDEADBEEF, 0xDEADBEEF};
    ASSERT_EQ(GetProcessCreationTime(GetCurrentProcessId(), &created), 1);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    EXPECT_NE(created.dwHighDateTime | created.dwLowDateTime, 0u);
    EXPECT_LE(CompareFileTime(&created, &now), 0);

    FILETIME missing = {0xDEADBEEF, 0xDEADBEEF};
    EXPECT_EQ(GetProcessCreationTime(0xFFFFFFF0, &missing), 0);
    EXPECT_EQ(missing.dwLowDateTime, 0u);
    EXPECT_EQ(missing.dwHighDateTime, 0u);
}

// Made-up snapshots for the upward walk: Wine cannot give an exited parent's
// id to a newer process on demand.
struct FakeProcess {
    DWORD id;
    DWORD parent;
    uint64_t created;   // 0: the time cannot be read
};
const std::vector<FakeProcess>* g_fakeProcesses = nullptr;

int FakeCreationTime(DWORD processId, FILETIME* time) {
    *time = FILETIME{};
    for (const FakeProcess& p : *g_fakeProcesses) {
        if (p.id != processId) continue;
        if (p.created == 0) return 0;
        time->dwLowDateTime = static_cast<DWORD>(p.created);
        time->dwHighDateTime = static_cast<DWORD>(p.created >> 32);
        return 1;
    }
    return 0;
}

std::vector<DWORD> WalkFake(const std::vector<FakeProcess>& processes, DWORD start) {
    g_fakeProcesses = &processes;
    std::vector<PROCESSENTRY32W> records;
    for (const FakeProcess& p : processes) {
        PROCESSENTRY32W record = {};
        record.dwSize = sizeof record;
        record.th32ProcessID = p.id;
        record.th32ParentProcessID = p.parent;
        records.push_back(record);
    }
    std::vector<DWORD> chain(records.size() + 1, 0xCCCCCCCC);
    DWORD length = WalkAncestors(records.data(), static_cast<DWORD>(records.size()), start, FakeCreationTime,
                                 chain.data());
    // Nothing may be written past the walk's own length.
    for (size_t i = length; i < chain.size(); ++i) EXPECT_EQ(chain[i], 0xCCCCCCCCu) << "slot " << i;
    chain.resize(length);
    g_fakeProcesses = nullptr;
    return chain;
}

TEST(AncestorWalk, FollowsParentsUntilTheChainEnds) {
    EXPECT_EQ(WalkFake({{10, 20, 500}, {20, 30, 400}, {30, 0, 300}}, 10), (std::vector<DWORD>{10, 20, 30}));
    // A parent that is not in the snapshot any more ends the chain.
    EXPECT_EQ(WalkFake({{10, 20, 500}, {20, 99, 400}}, 10), (std::vector<DWORD>{10, 20}));
    EXPECT_EQ(WalkFake({{10, 20, 500}}, 77), (std::vector<DWORD>{}));
}

TEST(AncestorWalk, EndsBeforeAParentCreatedAfterItsChild) {
    // 30 reuses the id of 20's exited parent: it is newer than 20.
    EXPECT_EQ(WalkFake({{10, 20, 500}, {20, 30, 400}, {30, 40, 450}, {40, 0, 100}}, 10),
              (std::vector<DWORD>{10, 20}));
}

TEST(AncestorWalk, KeepsAParentCreatedAtTheSameTime) {
    EXPECT_EQ(WalkFake({{10, 20, 500}, {20, 30, 500}, {30, 0, 500}}, 10), (std::vector<DWORD>{10, 20, 30}));
}

TEST(AncestorWalk, TakesTheChainUntestedOnceATimeIsMissing) {
    // No start time: nothing is tested, even a parent that looks newer.
    EXPECT_EQ(WalkFake({{10, 20, 0}, {20, 30, 900}, {30, 0, 950}}, 10), (std::vector<DWORD>{10, 20, 30}));
    // A missing time in the middle: the rest is taken without the test.
    EXPECT_EQ(WalkFake({{10, 20, 500}, {20, 30, 0}, {30, 40, 999}, {40, 0, 1000}}, 10),
              (std::vector<DWORD>{10, 20, 30, 40}));
}

TEST(AncestorWalk, StopsOnALoopOfParentIds) {
    EXPECT_EQ(WalkFake({{10, 20, 0}, {20, 10, 0}}, 10), (std::vector<DWORD>{10, 20}));
}

// ---- collecting windows by class -----------------------------------------------

TEST_F(WindowDiscovery, CollectsAtMostThirtyTwoWindowsInEnumerationOrder) {
    TestWindows console2(L"Console_2_Main");
    ASSERT_TRUE(console2.registered());
    for (int i = 0; i < 40; ++i) ASSERT_NE(console2.Create(), nullptr);
    std::vector<HWND> expected = EnumeratedWindowsOfClass(L"Console_2_Main");
    ASSERT_EQ(expected.size(), 40u);
    expected.resize(32);

    HWND windows[33] = {};
    DWORD processIds[33] = {};
    windows[32] = reinterpret_cast<HWND>(0x5EB7);
    processIds[32] = 0x5EB7;
    ClassWindowList list = {L"Console_2_Main", 32, 0, windows, processIds};
    EnumWindows(CollectClassWindows, reinterpret_cast<LPARAM>(&list));
    ASSERT_EQ(list.count, 32u);
    EXPECT_EQ(std::vector<HWND>(windows, windows + 32), expected);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(processIds[i], GetCurrentProcessId());
    EXPECT_EQ(windows[32], reinterpret_cast<HWND>(0x5EB7));
    EXPECT_EQ(processIds[32], 0x5EB7u);

    // Without an id array only the windows are collected.
    HWND onlyWindows[32] = {};
    ClassWindowList noIds = {L"Console_2_Main", 32, 0, onlyWindows, nullptr};
    EnumWindows(CollectClassWindows, reinterpret_cast<LPARAM>(&noIds));
    EXPECT_EQ(noIds.count, 32u);
    EXPECT_EQ(std::vector<HWND>(onlyWindows, onlyWindows + 32), expected);
}

TEST_F(WindowDiscovery, ComparesClassNamesExactly) {
    TestWindows lower(L"console_2_main");
    TestWindows longer(L"Console_2_MainX");
    ASSERT_NE(lower.Create(), nullptr);
    ASSERT_NE(longer.Create(), nullptr);
    EXPECT_EQ(FindConsole2Window(), nullptr);
}

// ---- the searches ----------------------------------------------------------------

TEST_F(WindowDiscovery, FindsTheFirstConsole2WindowOfAnAncestor) {
    TestWindows console2(L"Console_2_Main");
    for (int i = 0; i < 3; ++i) ASSERT_NE(console2.Create(), nullptr);
    std::vector<HWND> enumerated = EnumeratedWindowsOfClass(L"Console_2_Main");
    ASSERT_EQ(enumerated.size(), 3u);

    // The list is empty (as after a failed start-up build): it is built first.
    ASSERT_EQ(g_state.ancestorCount, 0u);
    EXPECT_EQ(FindConsole2Window(), enumerated[0]);
    EXPECT_GE(g_state.ancestorCount, 1u);

    UseForeignAncestorList();
    EXPECT_EQ(FindConsole2Window(), nullptr);
}

TEST_F(WindowDiscovery, FindsNoConsole2WindowWhenThereIsNone) { EXPECT_EQ(FindConsole2Window(), nullptr); }

TEST_F(WindowDiscovery, ReadsConEmuHandleInEveryNumberForm) {
    TestWindows conEmu(L"VirtualConsoleClass");
    HWND window = conEmu.Create();
    ASSERT_NE(window, nullptr);
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
    for (const wchar_t* text : {hexWithSpace.c_str(), decimalWithText.c_str(), L"0", L"0x0", L"", L" 1",
                                L"+1", L"x1", L"4294967296", L"0x100000000", L"0o8", L"0x0x1"}) {
        ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", text);
        EXPECT_EQ(FindConEmuWindow(), nullptr) << "\"" << std::string(text, text + wcslen(text)) << "\"";
    }
    ScopedEnvironmentVariable absent(L"ConEmuHWND", nullptr);
    EXPECT_EQ(FindConEmuWindow(), nullptr);
}

TEST_F(WindowDiscovery, IgnoresAConEmuHandleOfAnotherClass) {
    TestWindows other(L"NotVirtualConsoleClass");
    HWND window = other.Create();
    ASSERT_NE(window, nullptr);
    ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", WindowNumber(window).c_str());
    EXPECT_EQ(FindConEmuWindow(), nullptr);
}

TEST_F(WindowDiscovery, FindsNoTerminalOutsideAPseudoConsole) {
    // Wine's console window is a "WineConsoleClass" window.
    EXPECT_EQ(FindTerminalWindow(), nullptr);
}

TEST_F(WindowDiscovery, GoesPastAnInvisibleConsoleWindowToConEmuUncached) {
    TestWindows conEmu(L"VirtualConsoleClass");
    HWND window = conEmu.Create();
    ASSERT_NE(window, nullptr);
    ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", WindowNumber(window).c_str());
    HostCallTrace trace;
    EXPECT_EQ(FindHostWindow(), window);
    EXPECT_FALSE(g_state.windowCacheValid);
    EXPECT_EQ(g_state.windowCacheTimer, 0u);
    // The host was asked first, and had no window to name.
    EXPECT_EQ(CountOccurrences(trace.Text(), L"TakeCommandIPC"), 1u);
}

TEST_F(WindowDiscovery, GoesOnWhenTheHostNamesNoWindow) {
    TestWindows conEmu(L"VirtualConsoleClass");
    HWND window = conEmu.Create();
    ASSERT_NE(window, nullptr);
    ScopedEnvironmentVariable conEmuHwnd(L"ConEmuHWND", WindowNumber(window).c_str());
    for (const wchar_t* reply : {L"0", L"HWND 123", L"", L"4294967295", L"99999999999999999999"}) {
        HostSetIpcReply(reply);
        EXPECT_EQ(FindHostWindow(), window) << std::string(reply, reply + wcslen(reply));
        EXPECT_FALSE(g_state.windowCacheValid);
    }
}

TEST_F(WindowDiscovery, CachesTheHostAnswerUntilTheTimerRuns) {
    TestWindows host(L"KelvaneTestHostFrame");
    HWND window = host.Create();
    ASSERT_NE(window, nullptr);
    std::wstring reply = WindowNumber(window) + L" and more";
    HostSetIpcReply(reply.c_str());
    HostCallTrace trace;

    EXPECT_EQ(FindHostWindow(), window);
    EXPECT_TRUE(g_state.windowCacheValid);
    EXPECT_NE(g_state.windowCacheTimer, 0u);
    EXPECT_EQ(FindHostWindow(), window);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"TakeCommandIPC"), 1u);

    ULONGLONG waited = 0;
    while (g_state.windowCacheTimer != 0 && waited < 5000) {
        PumpMessages(50);
        waited += 50;
    }
    EXPECT_EQ(g_state.windowCacheTimer, 0u);
    EXPECT_FALSE(g_state.windowCacheValid);
    EXPECT_GE(waited, 700u);

    EXPECT_EQ(FindHostWindow(), window);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"TakeCommandIPC"), 2u);
}

TEST_F(WindowDiscovery, TakeCommandSearchDoesNothingWithoutItsWindow) {
    HostCallTrace trace;
    EXPECT_EQ(FindTakeCommandWindow(), nullptr);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"tty_yield"), 0u);
}

TEST_F(WindowDiscovery, FindsTheTakeCommandWindowOfAConsoleProcessAndCachesIt) {
    g_state.conOut = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 0, nullptr);
    if (g_state.conOut == INVALID_HANDLE_VALUE) g_state.conOut = nullptr;
    TestWindows takeCommand(L"XTPMainFrame");
    HWND window = takeCommand.Create();
    ASSERT_NE(window, nullptr);
    ScopedEnvironmentVariable noConEmu(L"ConEmuHWND", nullptr);
    // A mark under the cursor: the console writes back-space over it and
    // leave a blank there and the cursor where it was.
    ASSERT_NE(g_state.conOut, nullptr);
    CONSOLE_SCREEN_BUFFER_INFO before;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(g_state.conOut, &before));
    DWORD written = 0;
    WriteConsoleOutputCharacterW(g_state.conOut, L"Q", 1, before.dwCursorPosition, &written);
    HostCallTrace trace;

    EXPECT_EQ(FindHostWindow(), window);
    CONSOLE_SCREEN_BUFFER_INFO after;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(g_state.conOut, &after));
    EXPECT_EQ(after.dwCursorPosition.X, before.dwCursorPosition.X);
    EXPECT_EQ(after.dwCursorPosition.Y, before.dwCursorPosition.Y);
    wchar_t cell = 0;
    DWORD read = 0;
    ReadConsoleOutputCharacterW(g_state.conOut, &cell, 1, after.dwCursorPosition, &read);
    EXPECT_EQ(cell, L' ');
    EXPECT_TRUE(g_state.windowCacheValid);
    EXPECT_NE(g_state.windowCacheTimer, 0u);
    std::wstring calls = trace.Text();
    EXPECT_EQ(CountOccurrences(calls, L"tty_yield"), 1u);
    EXPECT_LT(calls.find(L"TakeCommandIPC"), calls.find(L"tty_yield"));
}

TEST_F(WindowDiscovery, TakeCommandSearchYieldsBeforeItReadsTheProcessList) {
    TestWindows takeCommand(L"XTPMainFrame");
    ASSERT_NE(takeCommand.Create(), nullptr);
    // Without memory for the process list the search ends with none, but only
    // after the console writes and the yield (an allocation cannot fail for real).
    g_sys.allocate = [](size_t) -> void* { return nullptr; };
    HostCallTrace trace;
    EXPECT_EQ(FindTakeCommandWindow(), nullptr);
    EXPECT_EQ(CountOccurrences(trace.Text(), L"tty_yield"), 1u);
}

TEST_F(WindowDiscovery, ReadsTheWholeConsoleProcessList) {
    // A second process on this console: kvhost.exe waiting a while.
    std::wstring exe = ExeDir() + L"\\kvhost.exe";
    std::wstring commandLine = L"\"" + exe + L"\" /c delay /m 5000";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, ExeDir().c_str(),
                               &startup, &child));
    DWORD count = 0;
    DWORD* ids = nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        free(ids);
        ids = ReadConsoleProcessList(1, &count);
        if (ids && std::find(ids, ids + count, child.dwProcessId) != ids + count) break;
        Sleep(20);
    }
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, 5000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);

    ASSERT_NE(ids, nullptr);
    EXPECT_GE(count, 2u);
    EXPECT_NE(std::find(ids, ids + count, GetCurrentProcessId()), ids + count);
    EXPECT_NE(std::find(ids, ids + count, child.dwProcessId), ids + count);
    free(ids);
}

}  // namespace
