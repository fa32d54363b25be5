// Ctrl+C during a KV series, through the stand-in host, both ways a host
// takes a break: typed, it returns into kv from Command and the series ends
// at once without calling the host again; as the host's own break ("ctrlc
// /h"), it abandons the line wherever it is, and the plug-in gives back
// everything a series held (standard handles, nul device, timer, title
// updating, memory) at the next prompt or the next KV. Also the host
// unloading the plug-in from inside the timed command, and the host's own
// break handling.
#include <gtest/gtest.h>
#include <windows.h>
#include <cstdio>
#include <string>
#include <vector>
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "console/console_env.h"
#include "host_control.h"
#include "test_support.h"
#include "trials_test_support.h"

namespace {

// Committed private memory of this process, walked region by region: Wine's
// private-bytes counter leaves the heap out.
size_t PrivateBytes() {
    size_t total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; VirtualQuery(at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    }
    return total;
}

// Handles this process has open, from the system's handle table: Wine's
// GetProcessHandleCount always answers 0.
DWORD HandleCount() {
    struct HandleEntry {
        ULONG ownerPid;
        BYTE objectType, flags;
        USHORT value;
        PVOID object;
        ACCESS_MASK access;
    };
    struct HandleTable {
        ULONG count;
        HandleEntry entries[1];
    };
    using QueryFn = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    constexpr ULONG kSystemHandleInformation = 16;
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    while (query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0) {
        if (buffer.size() >= (256u << 20)) return 0;
        buffer.resize(buffer.size() * 4);
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < table->count; ++i) count += table->entries[i].ownerPid == GetCurrentProcessId();
    return count;
}

class BreakTest : public ::testing::Test {
protected:
    void SetUp() override {
        AttachFreshPluginToHost();
        savedTitle_ = ConsoleTitle();
        savedOption_ = HostTitleOption();
        SetHostTitleOption(L"Yes");
        SetConsoleTitleW(L"before the series");
    }
    void TearDown() override {
        ResetTrialState();
        Run(L"option //BreakBatch=Cancel");
        ResetPluginStateForTest();
        SetHostTitleOption(savedOption_);
        SetConsoleTitleW(savedTitle_.c_str());
    }

    int Run(const std::wstring& line, bool* broken = nullptr) {
        int brokenOff = -1;
        const int rc = HostRunLine(line.c_str(), &brokenOff);
        if (broken) *broken = brokenOff == 1;
        return rc;
    }

    // The shell as the user sees it after a series is over: output and errors
    // reach the handles they reached before, no run number, the host's title
    // option and the title back, no timer, memory and handles where they were.
    void ExpectShellAsFound(const CapturedOutput& output, UINT_PTR deadTimer, size_t bytesBefore,
                            DWORD handlesBefore, const std::string& label) {
        Run(L"echo visible after the break");
        Run(L"set NoSuchVariableAfterTheBreak");
        EXPECT_NE(output.Out().find(L"visible after the break\r\n"), std::wstring::npos) << label;
        EXPECT_NE(output.Err().find(L"NoSuchVariableAfterTheBreak"), std::wstring::npos) << label;
        EXPECT_EQ(Expanded(L"[%_trialrun]"), L"[]") << label;
        EXPECT_EQ(HostTitleOption(), L"Yes") << label;
        EXPECT_EQ(ConsoleTitle().find(L"Run #"), std::wstring::npos) << label;
        EXPECT_EQ(g_state.jiggleTimer, 0u) << label;
        if (deadTimer) {
            EXPECT_FALSE(KillTimer(nullptr, deadTimer)) << label << ": the keep-awake timer still runs";
        }
        EXPECT_EQ(g_state.liveSeries, nullptr) << label;
        EXPECT_LT(PrivateBytes(), bytesBefore + kMemorySlack) << label;
        EXPECT_LE(HandleCount(), handlesBefore + kHandleSlack) << label;
    }

    static constexpr size_t kMemorySlack = 256 * 1024;
    static constexpr DWORD kHandleSlack = 2;
    std::wstring savedTitle_, savedOption_;
};

// Each row breaks a series off during run 3 of 10 and checks that the break
// left it behind (the shell is damaged before the prompt) and that the reset
// at the prompt gives everything back.
TEST_F(BreakTest, TheNextPromptGivesBackEverythingASeriesBrokenOffInRunThreeHeld) {
    const struct {
        const char* name;
        const wchar_t* line;
        bool redirected;  // standard output is the nul device until the prompt
    } cases[] = {
        {"plain", L"kv /n:10 `echo run %_trialrun & if %_trialrun==3 ctrlc /h`", false},
        {"/B", L"kv /n:10 /B `echo hidden %_trialrun & if %_trialrun==3 ctrlc /h`", true},
        {"/QQ", L"kv /n:10 /QQ `echo hidden %_trialrun & if %_trialrun==3 ctrlc /h`", true},
        {"nested, both /B", L"kv /n:10 /B kv /n:10 /B `if %_trialrun==3 ctrlc /h`", true},
    };
    CapturedOutput output;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
    for (const auto& c : cases) {
        // Once unmeasured, for what the host, the console and the heap keep
        // from a first break.
        Run(c.line);
        HostReturnToPrompt();
        const size_t bytesBefore = PrivateBytes();
        const DWORD handlesBefore = HandleCount();
        ASSERT_GT(handlesBefore, 0u) << "the handle table could not be read";
        bool broken = false;
        EXPECT_EQ(Run(c.line, &broken), 1) << c.name;
        EXPECT_TRUE(broken) << c.name;
        // Before the prompt: what the dead series left.
        EXPECT_EQ(Expanded(L"%_trialrun"), L"3") << c.name;
        EXPECT_EQ(HostTitleOption(), L"No") << c.name;
        EXPECT_EQ(ConsoleTitle().rfind(L"Run #", 0), 0u) << c.name;
        EXPECT_NE(g_state.liveSeries, nullptr) << c.name;
        EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE) != out, c.redirected) << c.name;
        const UINT_PTR deadTimer = g_state.jiggleTimer;
        EXPECT_NE(deadTimer, 0u) << c.name;

        EXPECT_EQ(HostReturnToPrompt(), 0);
        EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out) << c.name;
        EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), err) << c.name;
        EXPECT_EQ(ConsoleTitle(), L"\u2001") << c.name;
        ExpectShellAsFound(output, deadTimer, bytesBefore, handlesBefore, c.name);
    }
    EXPECT_EQ(output.Out().find(L"hidden"), std::wstring::npos);
    EXPECT_NE(output.Out().find(L"run 3\r\n"), std::wstring::npos);
    EXPECT_EQ(output.Out().find(L"run 4"), std::wstring::npos);
}

// In a batch file that goes on after a break, no prompt comes between the
// broken-off series and the next KV: that KV clears what the dead one left
// and, ending normally, leaves the shell as it was found.
TEST_F(BreakTest, TheNextKvInTheSameBatchFileClearsWhatTheBrokenSeriesLeft) {
    std::wstring dir = MakeTempDir();
    std::wstring batch = dir + L"\\series.btm";
    WriteTextFile(batch, L"kv /n:10 /B `echo hidden & if %_trialrun==3 ctrlc /h`\r\n"
                         L"echo line two sees [%_trialrun]\r\n"
                         L"kv /n:2 /Q /O:R `echo second series %_trialrun`\r\n"
                         L"echo line four\r\n");
    CapturedOutput output;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
    Run(L"kv /n:2 /Q rem");
    Run(L"option //BreakBatch=Continue");
    const size_t bytesBefore = PrivateBytes();
    const DWORD handlesBefore = HandleCount();
    bool broken = true;
    EXPECT_EQ(Run(L"\"" + batch + L"\"", &broken), 0);
    EXPECT_FALSE(broken);
    // After the batch file, before any prompt.
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out);
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), err);
    EXPECT_EQ(ConsoleTitle(), L"\u2001");
    const std::wstring text = output.Out();
    EXPECT_EQ(text.find(L"hidden"), std::wstring::npos);
    // Line two still ran under the dead series' redirection; the second KV
    // put the handles back before it ran its command.
    EXPECT_EQ(text.find(L"line two"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"second series 1\r\nsecond series 2\r\n"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Runs counted:  2"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"line four\r\n"), std::wstring::npos) << text;
    ExpectShellAsFound(output, 0, bytesBefore, handlesBefore, "batch");
    RemoveTree(dir);
}

TEST_F(BreakTest, ABreakInABatchFileCancelsTheBatchJobUnlessToldToGoOn) {
    std::wstring dir = MakeTempDir();
    std::wstring outer = dir + L"\\outer.btm", inner = dir + L"\\inner.btm";
    WriteTextFile(outer, L"call \"" + inner + L"\"\r\necho outer goes on\r\n");
    WriteTextFile(inner, L"echo inner starts\r\ndelay /m 20 & ctrlc /h & echo same line\r\necho inner goes on\r\n");
    for (bool goOn : {false, true}) {
        Run(goOn ? L"option //BreakBatch=Continue" : L"option //BreakBatch=Cancel");
        CapturedOutput output;
        bool broken = !goOn;
        EXPECT_EQ(Run(L"\"" + outer + L"\"", &broken), goOn ? 0 : 1) << goOn;
        EXPECT_EQ(broken, !goOn);
        const std::wstring expected =
            goOn ? L"inner starts\r\ninner goes on\r\nouter goes on\r\n" : L"inner starts\r\n";
        EXPECT_EQ(output.Out(), expected) << goOn;
        EXPECT_EQ(Expanded(L"%_batch"), L"0") << "every batch frame is gone";
    }
    RemoveTree(dir);
}

// A series broken off inside the timed command of a live one (a batch file
// that goes on) is dead once that run returns; the live one finishes.
TEST_F(BreakTest, ASeriesAroundABrokenOffOneReleasesItAndFinishes) {
    std::wstring dir = MakeTempDir();
    std::wstring inner = dir + L"\\inner.btm";
    WriteTextFile(inner, L"kv /n:10 /B /O:T `if %_trialrun==3 ctrlc /h`\r\n");
    Run(L"option //BreakBatch=Continue");
    CapturedOutput output;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    bool broken = true;
    EXPECT_EQ(Run(L"kv /n:3 /O:R call \"" + inner + L"\"", &broken), 0);
    EXPECT_FALSE(broken);
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out);
    EXPECT_NE(output.Out().find(L"Runs counted:  3"), std::wstring::npos) << output.Out();
    EXPECT_EQ(g_state.liveSeries, nullptr);
    EXPECT_EQ(g_state.jiggleTimer, 0u);
    EXPECT_EQ(HostTitleOption(), L"Yes");
    RemoveTree(dir);
}

// The prompt's reset runs host commands (the title option) with nothing
// above it to catch an unwinding: a break arriving then is only noted.
TEST_F(BreakTest, ABreakDuringThePromptsResetIsNotedAndTheResetCompletes) {
    CapturedOutput output;
    bool broken = false;
    Run(L"kv /n:10 /Q `if %_trialrun==3 ctrlc /h`", &broken);
    ASSERT_TRUE(broken);
    ASSERT_EQ(HostTitleOption(), L"No");
    HostTakeBreak();
    Run(L"ctrlc /m 1");
    ASSERT_EQ(HostWaitForBreak(3000), 1);  // raised on a thread of its own
    EXPECT_EQ(HostReturnToPrompt(), 0);
    EXPECT_EQ(HostTitleOption(), L"Yes");
    EXPECT_EQ(g_state.liveSeries, nullptr);
    EXPECT_EQ(HostTakeBreak(), 1);
    EXPECT_EQ(HostTakeBreak(), 0);
}

// The host calls the hook wherever it reads a new line, also inside a timed
// command: the series still running keeps its run number, its title and its
// keep-awake (so a KV inside a later run starts no timer of its own), while
// a series the host left inside it gives back what it held. One row each;
// what is echoed after the hook in that run, and the keep-awake timers started.
TEST_F(BreakTest, ASeriesStillRunningKeepsWhatItHoldsAcrossTheHooksReset) {
    const struct {
        const char* name;
        const wchar_t* line;
        const wchar_t* seen;
    } cases[] = {
        {"hook in run 2 of 4",
         L"kv /n:4 /O:R `if %_trialrun==2 keyhook & echo after the hook: %_trialrun %@option[UpdateTitle] & "
         L"if %_trialrun==3 kv /n:1 /Q /O:R rem`",
         L"after the hook: 1 No\r\nafter the hook: 2 No\r\nafter the hook: 3 No\r\n"},
        {"a series left inside run 1 of 2", L"kv /n:2 /O:R call \"%kvdir%\\inner.btm\"",
         L"after the inner series: 1 No\r\n"},
    };
    const std::wstring dir = MakeTempDir();
    ScopedEnvironmentVariable kvdir(L"kvdir", dir.c_str());
    WriteTextFile(dir + L"\\inner.btm", L"kv /n:10 /B `if %_trialrun==3 ctrlc /h`\r\nkeyhook\r\n"
                                          L"echo after the inner series: %_trialrun %@option[UpdateTitle]\r\n");
    Run(L"option //BreakBatch=Continue");
    static int s_keepAwakeTimers;
    g_sys.setTimer = [](HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC callback) -> UINT_PTR {
        s_keepAwakeTimers += milliseconds == kJiggleIntervalMs;
        return SetTimer(window, id, milliseconds, callback);
    };
    for (const auto& c : cases) {
        s_keepAwakeTimers = 0;
        CapturedOutput output;
        EXPECT_EQ(Run(c.line), 0) << c.name;
        EXPECT_NE(output.Out().find(c.seen), std::wstring::npos) << c.name << ":\n" << output.Out();
        EXPECT_EQ(s_keepAwakeTimers, 1) << c.name;
        EXPECT_EQ(HostTitleOption(), L"Yes") << c.name;
        EXPECT_EQ(g_state.liveSeries, nullptr) << c.name;
        EXPECT_EQ(g_state.jiggleTimer, 0u) << c.name;
        EXPECT_EQ(Expanded(L"[%_trialrun]"), L"[]") << c.name;
    }
    ResetSysCalls();
    RemoveTree(dir);
}

// A /B series' nul device is inheritable while it is standard output, and no
// longer once its series is over and the device is only kept open. One row
// per number of devices the line leaves.
std::vector<HANDLE> g_nulDevices;
HANDLE WINAPI RecordNulDevice(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
    HANDLE h = CreateFileW(name, access, share, security, disposition, flags, templateFile);
    if (wcscmp(name, L"nul") == 0) g_nulDevices.push_back(h);
    return h;
}

TEST_F(BreakTest, AKeptNulDeviceIsNoLongerInherited) {
    const struct {
        const wchar_t* line;
        size_t devices;
    } cases[] = {{L"kv /n:10 /B `if %_trialrun==3 ctrlc /h`", 1},
                 {L"kv /n:10 /B kv /n:10 /B `if %_trialrun==3 ctrlc /h`", 2}};
    // -1 for a handle that is closed.
    auto inheritFlag = [](HANDLE h) {
        DWORD flags = 0;
        return GetHandleInformation(h, &flags) ? static_cast<int>(flags & HANDLE_FLAG_INHERIT) : -1;
    };
    for (const auto& c : cases) {
        g_nulDevices.clear();
        g_sys.createFileW = RecordNulDevice;
        CapturedOutput output;
        Run(c.line);
        ASSERT_EQ(g_nulDevices.size(), c.devices) << c.line;
        EXPECT_EQ(inheritFlag(g_nulDevices.back()), HANDLE_FLAG_INHERIT) << c.line << ", before the prompt";
        HostReturnToPrompt();
        for (HANDLE device : g_nulDevices) EXPECT_EQ(inheritFlag(device), 0) << c.line;
        ResetSysCalls();
    }
}

// Series the host left (its own break) and series a typed Ctrl+C ended
// (through the console control handlers, the plug-in's among them), each
// followed by the prompt, measured after ten of each for what the host, Wine
// and the heap keep once.
TEST_F(BreakTest, BrokenOffSeriesLeaveMemoryAndHandlesFlat) {
    const struct {
        const char* name;
        const wchar_t* line;
        int count;
        bool endsItself;  // kv returns 3 instead of being left by the host
    } cases[] = {
        {"host's own break", L"kv /n:10000 /Q /O:FJT `if %_trialrun==3 ctrlc /h`", 200, false},
        {"typed Ctrl+C", L"kv /n:10000 /Q /O:FJT `if %_trialrun==3 ctrlc`", 50, true},
        // Each leaves its nul device to be kept: the oldest go once eight are.
        {"host's own break, /B", L"kv /n:10000 /B /Q /O:FJT `if %_trialrun==3 ctrlc /h`", 50, false},
    };
    CapturedOutput output;
    for (const auto& c : cases) {
        auto breakOne = [this, &c] {
            bool broken = false;
            Run(c.line, &broken);
            HostReturnToPrompt();
            return broken && (!c.endsItself || Expanded(L"%?") == L"3");
        };
        for (int i = 0; i < 10; ++i) ASSERT_TRUE(breakOne()) << c.name;
        const size_t bytesBefore = PrivateBytes();
        const DWORD handlesBefore = HandleCount();
        ASSERT_GT(handlesBefore, 0u) << "the handle table could not be read";
        int broken = 0;
        for (int i = 0; i < c.count; ++i) broken += breakOne();
        EXPECT_EQ(broken, c.count) << c.name;
        const size_t bytesAfter = PrivateBytes();
        const DWORD handlesAfter = HandleCount();
        // One series of 10,000 runs holds about 540 KB; 50 leaked would be 27 MB.
        EXPECT_LT(bytesAfter, bytesBefore + 1024 * 1024) << c.name << ": " << bytesBefore << " -> " << bytesAfter;
        EXPECT_LE(handlesAfter, handlesBefore + kHandleSlack) << c.name << ": " << handlesBefore << " -> "
                                                               << handlesAfter;
        std::printf("[ figures  ] %d broken-off 10000-run series (%s): private bytes %zu -> %zu, handles %lu -> %lu\n",
                    c.count, c.name, bytesBefore, bytesAfter, handlesBefore, handlesAfter);
    }
}

TEST_F(BreakTest, ABreakEndsAWaitAtOnceAndAProgramFirst) {
    CapturedOutput output;
    bool broken = false;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(Run(L"ctrlc /m 200 & delay 20 & echo after the delay", &broken), 1);
    EXPECT_TRUE(broken);
    EXPECT_LT(GetTickCount64() - start, 10000u);
    // A break while a program runs waits for the program (here one that is
    // broken off itself: kvhost /c ends with 1); the line ends after it.
    const std::wstring program =
        L"\"" + ExeDir() + L"\\kvhost.exe\" --no-plugin /c \"ctrlc /m 500 & delay 20\" & echo after the program";
    EXPECT_EQ(Run(L"ctrlc /m 500 & " + program, &broken), 1);
    EXPECT_TRUE(broken);
    EXPECT_LT(GetTickCount64() - start, 20000u);
    EXPECT_EQ(Run(L"echo the next line runs", &broken), 0);
    EXPECT_FALSE(broken);
    EXPECT_EQ(output.Out(), L"the next line runs\r\n");
}

// The host shuts the plug-in down and frees it from inside the timed command:
// the series ends after that run and the host goes on with the next command.
TEST(PluginUnloadTest, UnloadingThePluginInsideItsOwnSeriesEndsTheSeriesWithoutACrash) {
    for (const wchar_t* line : {L"/c kv /N:3 plugin /u kelvane & echo next & plugin",
                                L"/c kv /N:2 kv /N:3 plugin /u kelvane & echo next & plugin"}) {
        HostRun run = RunKvHost(line);
        EXPECT_EQ(run.exitCode, 0u) << line;
        EXPECT_EQ(run.out, L"next\r\nNo plug-ins loaded.\r\n") << line;
        EXPECT_EQ(run.err, L"") << line;
    }
}

// Series hold the DLL only while they run or until their leftovers are
// given back: afterwards unloading really unloads it, so a user can replace
// it without leaving the shell. The real DLL, loaded from a copy, stands in
// for this test program as the host's plug-in.
TEST_F(BreakTest, NoSeriesKeepsTheDllLoadedOnceItIsOver) {
    const std::wstring dir = MakeTempDir();
    const std::wstring copy = dir + L"\\kelvane.dll";
    ASSERT_TRUE(CopyFileW((ExeDir() + L"\\kelvane.dll").c_str(), copy.c_str(), FALSE));
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    CapturedOutput output;
    ASSERT_EQ(Run(L"plugin /u \"" + std::wstring(self) + L"\""), 0);
    ASSERT_EQ(HostLoadPlugin(copy.c_str()), 0);
    EXPECT_NE(GetModuleHandleW(copy.c_str()), nullptr);
    EXPECT_EQ(Run(L"kv /n:2 /Q /O:R rem"), 0);
    bool broken = false;
    Run(L"kv /n:10 /Q /O:R `if %_trialrun==3 ctrlc /h`", &broken);
    EXPECT_TRUE(broken);
    HostReturnToPrompt();
    EXPECT_EQ(Run(L"plugin /u \"" + copy + L"\""), 0);
    EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr) << "the DLL is still loaded";
    EXPECT_TRUE(DeleteFileW(copy.c_str()));
    AttachSelfToHost();
    EXPECT_NE(output.Out().find(L"Runs counted:  2"), std::wstring::npos) << output.Out();
    RemoveTree(dir);
}


// What a host may do while a KV runs, one row each: unload the plug-in and
// go on with the line, call the keystroke hook, break off a series called
// from deeper down than the next KV (and the other way round), put its own
// handles back after a break, break inside the title option, call the hook
// inside the command that gives the title back, unload a DLL from inside
// its own series; have the title option return the last program's exit
// code, 3; start a /B series' programs with the standard handles inherited
// as they are; leave a title restore without returning, then end a KV deeper
// down in the batch file that goes on; unload the plug-in from the command of
// a /B series under a redirection of its own; leave a KV or unload the
// plug-in inside a service that KV calls as it starts. Each row shows what
// the user sees and leaves the shell as it was found.
TEST_F(BreakTest, WhatTheHostDoesDuringASeriesNeverDamagesTheShell) {
    const struct {
        const char* name;
        const wchar_t* line;  // run at the prompt; %kvdir% holds a batch file and a copy of the DLL
        int rc;
        const wchar_t* seen;  // in the output, or nothing
        bool prompt;          // the host returns to its prompt afterwards
        const wchar_t* after = nullptr;  // then run at that prompt, ending 0
    } cases[] = {
        {"unload, then the rest of the line", L"kv /n:3 `plugin /u \"%kvself%\" & echo after the unload`", 1,
         L"after the unload\r\n", false},
        {"keystroke hook in run 2", L"kv /n:4 `echo run %_trialrun & if %_trialrun==2 keyhook`", 0,
         L"Runs counted:  4", false},
        {"broken series shallower than the next", L"\"%kvdir%\\shallow.btm\"", 0, L"x\r\nx\r\n", false},
        {"broken series deeper than the next", L"\"%kvdir%\\deep.btm\"", 0, L"x\r\nx\r\n", false},
        {"host puts its handles back", L"kv /n:10 /B `if %_trialrun==3 ctrlc /h` > \"%kvdir%\\out.txt\"", 1, nullptr,
         true},
        {"break inside the title option", L"whenoption UpdateTitle=No ctrlc /h & kv /n:4 echo x", 1, nullptr, true},
        {"hook inside the title restore",
         L"whenoption UpdateTitle=Yes keyhook & kv /n:10 /B `if %_trialrun==3 ctrlc /h`", 1, nullptr, true},
        {"DLL unloaded from its own series",
         L"plugin /u \"%kvself%\" & plugin /l \"%kvdir%\\kelvane.dll\" & kv /n:3 plugin /u kelvane & "
         L"plugin /l \"%kvdir%\\kelvane.dll\" & plugin /u kelvane",
         0, nullptr, false},
        {"a run returns 3",
         L"kv /n:1 /Q /O:R %kvhost% /c exitcode 3 & kv /n:1 /Q /O:R `echo updating: %@option[UpdateTitle]`", 0,
         L"updating: No\r\n", false},
        {"a program under /B", L"kv /n:1 /B /O:R %kvhost% /c echo hidden", 0, L"Errors:  0 ", false},
        {"a title restore left, then a KV deeper down", L"\"%kvdir%\\left_restore.btm\"", 0, L"deeper: No\r\n",
         false},
        {"unloaded under /B and a redirection",
         L"kv /n:1 /B /Q /O:R `plugin /u \"%kvself%\" > \"%kvdir%\\out.txt\"` & echo after the unload", 0,
         L"after the unload\r\n", false},
        // The host leaves kv before its series exists: the reference kv took
        // to the DLL goes back at the prompt, so the next unload unloads it.
        {"break in window discovery as KV starts",
         L"plugin /u \"%kvself%\" & plugin /l \"%kvdir%\\kelvane.dll\" & whencalled TakeCommandIPC ctrlc /h & "
         L"kv /n:3 echo x",
         1, L"y\r\ny\r\n", true, L"kv /n:2 echo y & plugin /u kelvane"},
        {"Ctrl+C in window discovery as KV starts",
         L"plugin /u \"%kvself%\" & plugin /l \"%kvdir%\\kelvane.dll\" & whencalled TakeCommandIPC ctrlc & "
         L"kv /n:3 echo x",
         1, L"y\r\ny\r\n", true, L"kv /n:2 echo y & plugin /u kelvane"},
        {"break in an option error as KV starts",
         L"plugin /u \"%kvself%\" & plugin /l \"%kvdir%\\kelvane.dll\" & whencalled Qprintf ctrlc /h & "
         L"kv /z echo x",
         1, L"y\r\ny\r\n", true, L"kv /n:2 echo y & plugin /u kelvane"},
        // Shut down before its series exists: the series makes no run.
        {"unload in window discovery as KV starts",
         L"plugin /u \"%kvself%\" & plugin /l \"%kvdir%\\kelvane.dll\" & whencalled TakeCommandIPC plugin /u "
         L"kelvane & kv /n:3 /B echo x & echo kv returned %? & plugin /l \"%kvdir%\\kelvane.dll\" & plugin /u kelvane",
         0, L"kv returned 1\r\n", false},
    };
    const std::wstring dir = MakeTempDir(), copy = dir + L"\\kelvane.dll";
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    SetEnvironmentVariableW(L"kvdir", dir.c_str());
    SetEnvironmentVariableW(L"kvself", self);
    WriteTextFile(dir + L"\\shallow.btm", L"kv /N:10 /B `if %_trialrun==3 ctrlc /h`\r\nif a==a kv /N:2 echo x\r\n");
    WriteTextFile(dir + L"\\deep.btm", L"if a==a kv /N:10 /B `if %_trialrun==3 ctrlc /h`\r\nkv /N:2 echo x\r\n");
    SetEnvironmentVariableW(L"kvhost", (L"\"" + ExeDir() + L"\\kvhost.exe\" --no-plugin").c_str());
    WriteTextFile(dir + L"\\left_restore.btm", L"whenoption UpdateTitle=Yes ctrlc /h\r\n"
                                               L"kv /n:1 /Q /O:R rem\r\n"
                                               L"call \"%kvdir%\\deeper.btm\"\r\n");
    WriteTextFile(dir + L"\\deeper.btm", L"kv /n:1 /Q /O:R `echo deeper: %@option[UpdateTitle]`\r\n");
    Run(L"option //BreakBatch=Continue");
    for (const auto& c : cases) {
        size_t bytesBefore = 0;
        DWORD handlesBefore = 0;
        // Once unmeasured, for what the host, the console and the heap keep.
        for (bool measured : {false, true}) {
            ASSERT_TRUE(CopyFileW((ExeDir() + L"\\kelvane.dll").c_str(), copy.c_str(), FALSE));
            CapturedOutput output;
            const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
            bytesBefore = PrivateBytes();
            handlesBefore = HandleCount();
            EXPECT_EQ(Run(c.line), c.rc) << c.name;
            if (c.prompt) {
                EXPECT_EQ(HostReturnToPrompt(), 0) << c.name;
            }
            if (c.after) {
                EXPECT_EQ(Run(c.after), 0) << c.name;
            }
            AttachSelfToHost();
            EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr) << c.name << ": the copy is still loaded";
            EXPECT_TRUE(DeleteFileW(copy.c_str())) << c.name;
            if (!measured) continue;
            EXPECT_EQ(output.Err(), L"") << c.name;
            if (c.seen) {
                EXPECT_NE(output.Out().find(c.seen), std::wstring::npos) << c.name << ":\n" << output.Out();
            }
            EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out) << c.name;
            EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), err) << c.name;
            ExpectShellAsFound(output, 0, bytesBefore, handlesBefore, c.name);
        }
    }
    RemoveTree(dir);
}

// The host shuts the plug-in down inside window discovery as KV starts: KV
// returns 1 without a run and sets nothing up on the way (no nul device, no
// keep-awake timer, no call to switch the host's title updating off), one
// row per set of options. This test program is the plug-in here.
TEST_F(BreakTest, AKvShutDownAsItStartsSetsNothingUpAndMakesNoRun) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    ScopedEnvironmentVariable kvself(L"kvself", self);
    const wchar_t* const optionSets[] = {L"", L"/B", L"/QQ /O:CR"};
    for (const wchar_t* options : optionSets) {
        AttachFreshPluginToHost();
        static int s_keepAwakeTimers;
        s_keepAwakeTimers = 0;
        g_sys.setTimer = [](HWND window, UINT_PTR id, UINT milliseconds, TIMERPROC callback) -> UINT_PTR {
            s_keepAwakeTimers += milliseconds == kJiggleIntervalMs;
            return SetTimer(window, id, milliseconds, callback);
        };
        CapturedOutput output;
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
        HostCallTrace trace;
        EXPECT_EQ(Run(L"whencalled TakeCommandIPC plugin /u \"%kvself%\" & kv /n:3 " + std::wstring(options) +
                      L" echo x & echo kv returned %?"),
                  0)
            << options;
        const std::wstring calls = trace.Text();
        ResetSysCalls();
        AttachSelfToHost();
        EXPECT_EQ(output.Out(), L"kv returned 1\r\n") << options;
        EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out) << options;
        EXPECT_EQ(s_keepAwakeTimers, 0) << options;
        const size_t unload = calls.find(L"TakeCommandIPC: ");
        ASSERT_NE(unload, std::wstring::npos) << calls;
        EXPECT_EQ(calls.find(L"UpdateTitle", unload), std::wstring::npos) << options << ":\n" << calls;
    }
}

// A Ctrl+C typed during a series, as the console delivers it: through the
// control handlers (the plug-in's is called first, the host's after it), and
// landing in the innermost line executor, so the host returns 3 from the
// Command that kv made and refuses every further line until its prompt. One
// row per case; the rows marked "copy" make a copy of the DLL the plug-in,
// which the host unloads during the row. %kvruns% is the timed command that
// counts the runs, and breaks in run 3 when it ends in a ctrlc.
TEST_F(BreakTest, ACtrlCEndsTheWholeSeriesAndTheHostIsNotCalledUntilItsPrompt) {
    const struct {
        const char* name;
        const wchar_t* line;  // run at the prompt
        const wchar_t* optionBefore;
        int runs;                // runs made
        const wchar_t* exitCode; // %? after the line, or null
        const wchar_t* seen;     // in the output, or null
        bool broken;             // the line was abandoned at the top
        // What the trace holds after the Command the break fell in (the last
        // one that did not return 0), or null: no break.
        const wchar_t* afterBreak;
        bool copy = false;
    } cases[] = {
        {"run 3 of 20", L"kv /n:20 /O:R `%kvruns% & if %_trialrun==3 ctrlc`", L"Yes", 3, L"3", nullptr, true, L""},
        {"/B", L"kv /n:20 /B /O:R `%kvruns% & if %_trialrun==3 ctrlc`", L"Yes", 3, L"3", nullptr, true, L""},
        {"warm-up run", L"kv /w:3 /n:20 /O:R `%kvruns% & if %_trialrun==0 ctrlc`", L"Yes", 1, L"3", nullptr, true, L""},
        {"nested", L"kv /n:4 /O:R kv /n:20 /O:R `%kvruns% & if %_trialrun==3 ctrlc`", L"Yes", 3, L"3", nullptr,
         true, L""},
        {"no title", L"kv /n:20 /O:RT `%kvruns% & if %_trialrun==3 ctrlc`", L"Yes", 3, L"3", nullptr, true, L""},
        {"host's title updating off", L"kv /n:20 /O:R `%kvruns% & if %_trialrun==3 ctrlc`", L"No", 3, L"3",
         nullptr, true, L""},
        {"batch file goes on", L"\"%kvdir%\\goes_on.btm\"", L"Yes", 3, nullptr,
         L"kv returned 3\r\nvisible 1\r\nvisible 2\r\n", false, L"Command: option //UpdateTitle=Yes -> 0\n"},
        {"batch file goes on after the host left the series", L"\"%kvdir%\\left.btm\"", L"Yes", 3, nullptr,
         L"visible 1\r\nvisible 2\r\n", false, L"Command: option //UpdateTitle=Yes -> 0\n"},
        {"host unloads the plug-in inside the title restore",
         L"plugin /u \"%kvself%\" & plugin /l \"%kvdir%\\kelvane.dll\" & whenoption UpdateTitle=Yes plugin /u "
         L"kelvane & kv /n:2 /O:R `%kvruns%` & echo kv returned %? & plugin /l \"%kvdir%\\kelvane.dll\" & plugin /u "
         L"kelvane",
         L"Yes", 2, nullptr, L"kv returned 0\r\n", false, nullptr, true},
        {"host keeps the device of a series it left", L"\"%kvdir%\\kept.btm\"", L"Yes", 3, nullptr,
         L"visible\r\n", false, L"Command: option //UpdateTitle=Yes -> 0\n"},
        {"break inside the title restore", L"whenoption /b UpdateTitle=Yes ctrlc & kv /n:2 /O:R `%kvruns%`", L"Yes", 2,
         L"0", nullptr, true, L""},
        {"shut down inside the title option at the start",
         L"plugin /u \"%kvself%\" & plugin /l \"%kvdir%\\kelvane.dll\" & whenoption UpdateTitle=No plugin /u "
         L"kelvane & kv /n:3 /O:R `%kvruns%` & echo kv returned %? & plugin /l \"%kvdir%\\kelvane.dll\" & plugin /u "
         L"kelvane",
         L"Yes", 0, nullptr, L"kv returned 1\r\n", false, nullptr, true},
    };
    const std::wstring dir = MakeTempDir(), copy = dir + L"\\kelvane.dll", runs = dir + L"\\runs.txt";
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    ScopedEnvironmentVariable kvdir(L"kvdir", dir.c_str()), kvself(L"kvself", self);
    ScopedEnvironmentVariable kvruns(L"kvruns", (L"echo run %_trialrun >> \"" + runs + L"\"").c_str());
    WriteTextFile(dir + L"\\goes_on.btm", L"kv /n:20 /B /O:R `%kvruns% & if %_trialrun==3 ctrlc`\r\n"
                                          L"echo kv returned %?\r\nkv /n:2 /O:R `echo visible %_trialrun`\r\n");
    WriteTextFile(dir + L"\\left.btm", L"kv /n:20 /B /O:R `%kvruns% & if %_trialrun==3 ctrlc /l`\r\n"
                                       L"kv /n:2 /O:R `echo visible %_trialrun`\r\n");
    WriteTextFile(dir + L"\\kept.btm", L"kv /n:20 /B /O:R `%kvruns% & if %_trialrun==3 ctrlc /l`\r\n"
                                       L"kv /n:2 /Q /O:R echo x > \"%kvdir%\\o.txt\"\r\n"
                                       L"kv /n:1 /Q /O:R echo visible\r\n");
    Run(L"option //BreakBatch=Continue");
    // The rows find the break as the last Command that did not return 0, and
    // the host's option returns the last program's exit code: a program that
    // returned 0 comes first.
    Run(L"\"" + ExeDir() + L"\\kvhost.exe\" --no-plugin /c exitcode 0");
    for (const auto& c : cases) {
        SetHostTitleOption(c.optionBefore);
        SetConsoleTitleW(L"before the series");
        DeleteFileW(runs.c_str());
        if (c.copy) {
            ASSERT_TRUE(CopyFileW((ExeDir() + L"\\kelvane.dll").c_str(), copy.c_str(), FALSE));
        }
        CapturedOutput output;
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
        HostTrace(1);
        bool broken = !c.broken;
        Run(c.line, &broken);
        HostTrace(0);
        wchar_t trace[65536];
        HostTraceText(trace, 65536);
        EXPECT_EQ(broken, c.broken) << c.name;
        EXPECT_EQ(CountOccurrences(ReadUtf8File(runs), L"run "), static_cast<size_t>(c.runs)) << c.name;
        if (c.exitCode) {
            EXPECT_EQ(Expanded(L"%?"), c.exitCode) << c.name;
        }
        if (c.seen) {
            EXPECT_NE(output.Out().find(c.seen), std::wstring::npos) << c.name << ":\n" << output.Out();
        }
        if (c.afterBreak) {
            const std::wstring calls = trace;
            size_t after = std::wstring::npos;
            for (size_t at = calls.find(L"Command: "); at != std::wstring::npos; at = calls.find(L"\nCommand: ", at)) {
                const size_t end = calls.find(L'\n', at + 1);
                if (calls.compare(end - 5, 5, L" -> 0") != 0) after = end + 1;
                at = end - 1;
            }
            ASSERT_NE(after, std::wstring::npos) << c.name << ":\n" << calls;
            EXPECT_EQ(calls.substr(after, wcslen(c.afterBreak)), c.afterBreak) << c.name << ":\n" << calls;
            if (!*c.afterBreak) {
                EXPECT_EQ(calls.size(), after) << c.name << ":\n" << calls;
            }
        }
        EXPECT_EQ(Expanded(L"[%_trialrun]"), L"[]") << c.name;
        // Where the line went on, the title updating is back already.
        if (!c.broken) {
            EXPECT_EQ(HostTitleOption(), c.optionBefore) << c.name << ", before the prompt";
        }
        EXPECT_EQ(HostReturnToPrompt(), 0);
        if (c.copy) {
            AttachSelfToHost();
            EXPECT_EQ(GetModuleHandleW(copy.c_str()), nullptr) << c.name << ": the copy is still loaded";
            EXPECT_TRUE(DeleteFileW(copy.c_str())) << c.name;
        }
        EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out) << c.name;
        EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), err) << c.name;
        EXPECT_EQ(HostTitleOption(), c.optionBefore) << c.name;
        EXPECT_EQ(ConsoleTitle().find(L"Run #"), std::wstring::npos) << c.name;
        EXPECT_EQ(g_state.liveSeries, nullptr) << c.name;
        EXPECT_EQ(g_state.jiggleTimer, 0u) << c.name;
        EXPECT_EQ(output.Err(), L"") << c.name;
    }
    RemoveTree(dir);
}

}  // namespace
