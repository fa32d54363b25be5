// The plug-in's face towards the host: information record, start-up and its
// probes, _TRIALRUN, the keystroke hook, shut-down and the error prefix.
#include <gtest/gtest.h>
#include <cstring>
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "test_support.h"

namespace {

// What a batch file of that name and text, run through the host, writes to
// standard error, with its full path, where it appears as written, shown as
// "<batch file>".
std::wstring ErrorsOfBatchFile(const wchar_t* name, const wchar_t* text) {
    const std::wstring dir = MakeTempDir(), batch = dir + L"\\" + name;
    WriteTextFile(batch, text);
    std::wstring line = L"\"" + batch + L"\"";
    CapturedOutput output;
    Command(line.data(), 0);
    std::wstring err = output.Err();
    RemoveTree(dir);
    const size_t at = err.find(batch);
    return at == std::wstring::npos ? err : err.replace(at, batch.size(), L"<batch file>");
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override { ResetPluginStateForTest(); }
    void TearDown() override {
        ShutdownPlugin(0);
        ResetSysCalls();
        for (const wchar_t* name : {L"_transient", L"_pipe", L"_4ver"}) HostSetInternalVariable(name, nullptr);
        SetEnvironmentVariableW(L"noloadmsg", nullptr);
        ResetPluginStateForTest();
    }
};

TEST_F(FrameTest, InformationRecordNamesTheCommandVariableAndHook) {
    PluginInfo* info = GetPluginInfo(nullptr);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->name, L"Kelvane");
    EXPECT_STREQ(info->description, L"Kelvane for TCC");
    EXPECT_STREQ(info->features, L"kv,_trialrun,_kvruns,_kverrors,_kvavg,_kvmedian,_kvmin,_kvmax,_kvstddev,_kvtotal,_kvratio,_kvratiolow,_kvratiohigh,*key");
    EXPECT_EQ(info->major, 0);
    EXPECT_EQ(info->minor, 99);
    EXPECT_EQ(info->build, 1);
    EXPECT_EQ(info->hostReserved1, nullptr);
    // Every call stores the fields again, so a host that scribbled on them gets them back.
    info->features = L"";
    info->minor = 7;
    EXPECT_STREQ(GetPluginInfo(nullptr)->features, L"kv,_trialrun,_kvruns,_kverrors,_kvavg,_kvmedian,_kvmin,_kvmax,_kvstddev,_kvtotal,_kvratio,_kvratiolow,_kvratiohigh,*key");
    EXPECT_EQ(GetPluginInfo(nullptr)->minor, 99);
}

struct LoadMessageCase {
    const wchar_t* transient;
    const wchar_t* pipe;
    const wchar_t* noloadmsg;  // null: not defined
    bool shown;
};

TEST_F(FrameTest, LoadedMessageAppearsOnlyWhenTheExpansionIsExactlyDoubleZero) {
    const LoadMessageCase cases[] = {
        {L"0", L"0", nullptr, true},   // "00"
        {L"0", L"", nullptr, false},   // "0"
        {L"0", L"0", L"0", false},     // "000"
        {L"0", L"1", nullptr, false},  // "01"
        {L"1", L"0", nullptr, false},  // "10"
        {L"0", L"0", L"x", false},     // "00x"
    };
    for (const LoadMessageCase& c : cases) {
        HostSetInternalVariable(L"_transient", c.transient);
        HostSetInternalVariable(L"_pipe", c.pipe);
        SetEnvironmentVariableW(L"noloadmsg", c.noloadmsg);
        CapturedOutput output;
        EXPECT_EQ(InitializePlugin(), 0);
        EXPECT_EQ(output.Out(), c.shown ? L"Kelvane v0.99.1 loaded.\r\n" : L"")
            << "transient=" << c.transient << " pipe=" << c.pipe << " noloadmsg=" << (c.noloadmsg ? c.noloadmsg : L"-");
        EXPECT_EQ(output.Err(), L"");
        ShutdownPlugin(0);
    }
}

TEST_F(FrameTest, StartUpRecordsTheCounterFrequencyOpensTheConsoleAndFindsTheHostQuery) {
    CapturedOutput output;
    ASSERT_EQ(InitializePlugin(), 0);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    EXPECT_EQ(g_state.perfFrequency, static_cast<uint64_t>(frequency.QuadPart));
    EXPECT_GE(g_state.osVersion.dwMajorVersion, 6u);
    EXPECT_EQ(g_state.osVersion.dwOSVersionInfoSize, 284u);
    // The tests run with a console, so the device opens on the first attempt.
    ASSERT_NE(g_state.conOut, nullptr);
    DWORD mode = 0;
    EXPECT_TRUE(GetConsoleMode(g_state.conOut, &mode));
    // The stand-in's TakeCmd.dll, like TCC's, has it under its decorated name only.
    FARPROC decorated = GetProcAddress(GetModuleHandleW(L"TakeCmd.dll"), kTakeCommandIpcDecorated);
    ASSERT_NE(decorated, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(g_state.takeCommandIpc), reinterpret_cast<void*>(decorated));
    EXPECT_EQ(ShutdownPlugin(0), 0);
    EXPECT_EQ(g_state.conOut, nullptr);
    EXPECT_EQ(g_state.takeCommandIpc, nullptr);
}

TEST_F(FrameTest, StartUpRefusesToLoadWithoutAPerformanceCounter) {
    // No supported system lacks the counter, so its failure is injected.
    g_sys.queryPerformanceFrequency = [](LARGE_INTEGER*) -> BOOL { return FALSE; };
    CapturedOutput output;
    EXPECT_EQ(InitializePlugin(), 1);
    EXPECT_EQ(output.Err(), L"Kelvane plugin: Performance counters are not supported!\r\nPlugin not loaded.\r\n");
    EXPECT_EQ(output.Out(), L"");
    EXPECT_EQ(g_state.perfFrequency, 0u);
    EXPECT_EQ(g_state.conOut, nullptr);
}

// The console device never refuses an open under Wine; these count the
// attempts and fail the ones a test asks for.
int g_consoleOpenFailures;
int g_consoleOpenAttempts;
HANDLE WINAPI FlakyCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
    ++g_consoleOpenAttempts;
    EXPECT_EQ(_wcsicmp(name, L"conout$"), 0);
    EXPECT_EQ(access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(share, static_cast<DWORD>(FILE_SHARE_WRITE));
    EXPECT_EQ(disposition, static_cast<DWORD>(OPEN_EXISTING));
    if (g_consoleOpenAttempts <= g_consoleOpenFailures) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(name, access, share, security, disposition, flags, templateFile);
}

TEST_F(FrameTest, ConsoleOpenIsRetriedOnceAfterAFailure) {
    g_sys.createFileW = FlakyCreateFile;
    g_consoleOpenAttempts = 0;
    g_consoleOpenFailures = 1;
    CapturedOutput output;
    DWORD before = GetTickCount();
    ASSERT_EQ(InitializePlugin(), 0);
    EXPECT_GE(GetTickCount() - before, 40u);
    EXPECT_EQ(g_consoleOpenAttempts, 2);
    EXPECT_NE(g_state.conOut, nullptr);
}

TEST_F(FrameTest, StartUpSucceedsWithoutAConsoleDevice) {
    g_sys.createFileW = FlakyCreateFile;
    g_consoleOpenAttempts = 0;
    g_consoleOpenFailures = 2;
    CapturedOutput output;
    EXPECT_EQ(InitializePlugin(), 0);
    EXPECT_EQ(g_consoleOpenAttempts, 2);
    EXPECT_EQ(g_state.conOut, nullptr);
}

TEST_F(FrameTest, PluginLoadsAndRunsInAProcessWithoutAnyConsole) {
    std::wstring dir = MakeTempDir();
    WriteTextFile(dir + L"\\probe.btm", L"echo [%_trialrun]\r\n");
    HostRun run = RunKvHost(L"\"" + dir + L"\\probe.btm\"", L"", /*detached=*/true);
    RemoveTree(dir);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_NE(run.out.find(L"Kelvane v0.99.1 loaded.\r\n"), std::wstring::npos) << run.out;
    EXPECT_NE(run.out.find(L"[]"), std::wstring::npos) << run.out;
}

TEST_F(FrameTest, HostMajorIsTheLeadingNumberOfTheHostVersion) {
    const struct {
        const wchar_t* version;
        uint32_t major;
    } cases[] = {
        {L" 27.00.15", 27},       {L"123", 123},          {L"\t 8", 8},
        {L"v27.00", 0},           {L"", 0},               {L"4294967295", 4294967295u},
        {L"4294967296", 4294967295u}, {L"99999999999999999999999", 4294967295u}, {L"-5", 0},
    };
    for (const auto& c : cases) {
        HostSetInternalVariable(L"_4ver", c.version);
        EXPECT_EQ(QueryHostVersion(), c.major) << "\"" << c.version << "\"";
    }
}

// The plug-in's expansions ask for variables only (a non-zero recursion
// counter): with 0 the host would take the text as the start of a command
// line and replace its first word by an alias of that name. One row per
// text the plug-in expands, with an alias for the word it begins with; what
// the user sees must not change.
TEST_F(FrameTest, EveryExpansionOfThePluginLeavesAliasesAlone) {
    AttachSelfToHost();
    auto startUp = [] {
        CapturedOutput output;
        InitializePlugin();
        const std::wstring out = output.Out();
        ShutdownPlugin(0);
        return out;
    };
    auto hostMajor = [] {
        CapturedOutput output;
        InitializePlugin();
        const std::wstring major = std::to_wstring(g_state.hostMajor);
        ShutdownPlugin(0);
        return major;
    };
    auto errorPrefix = [] {
        CapturedOutput output;
        PrintErrorPrefix();
        return output.Err();
    };
    auto errorLineInABatchFile = [] { return ErrorsOfBatchFile(L"prefix.btm", L"kv /N:5\r\n"); };
    auto titleOptionAfterASeries = [] {
        CapturedOutput output;
        std::wstring line = L"kv /N:1 /Q /O:CFJR rem";
        Command(line.data(), 0);
        wchar_t option[1024] = L"%@option[UpdateTitle]";
        ExpandVariables(option, 1);
        return std::wstring(option);
    };
    const struct {
        const wchar_t* aliasName;  // the first word of the plug-in's text
        const wchar_t* aliasValue;
        std::wstring (*observe)();
        const wchar_t* seen;
    } cases[] = {
        {L"%[_transient]%[_pipe]%[noloadmsg]", L"quiet", +startUp, L"Kelvane v0.99.1 loaded.\r\n"},
        {L"%_4ver", L"30", +hostMajor, L"1"},
        {L"%_batch", L"1", +errorPrefix, L"Kelvane plugin: "},
        {L"%_batchname", L"elsewhere.btm", +errorLineInABatchFile,
         L"Kelvane plugin: <batch file> [1]  Missing command\r\n"},
        {L"%@option[UpdateTitle]", L"No", +titleOptionAfterASeries, L"Yes"},
    };
    for (const auto& c : cases) {
        // In backquotes, so the host takes the name as it is.
        std::wstring define = L"alias `" + std::wstring(c.aliasName) + L"=" + c.aliasValue + L"`";
        ASSERT_EQ(Command(define.data(), 0), 0) << c.aliasName;
        EXPECT_EQ(c.observe(), c.seen) << c.aliasName;
        std::wstring remove = L"alias `" + std::wstring(c.aliasName) + L"=`";
        Command(remove.data(), 0);
    }
}

TEST_F(FrameTest, TrialRunIsEmptyWhileIdleAndOneBasedDuringARun) {
    EXPECT_EQ(_trialrun(nullptr), 87);
    wchar_t buffer[1024];
    std::wmemset(buffer, L'#', 1024);
    EXPECT_EQ(_trialrun(buffer), 0);
    EXPECT_STREQ(buffer, L"");
    g_state.trialRun = 0;
    EXPECT_EQ(_trialrun(buffer), 0);
    EXPECT_STREQ(buffer, L"1");
    g_state.trialRun = 1000001;
    EXPECT_EQ(_trialrun(buffer), 0);
    EXPECT_STREQ(buffer, L"1000002");
    EXPECT_EQ(buffer[8], L'#');
}

TEST_F(FrameTest, TrialRunReachesTheHostAsAVariable) {
    AttachSelfToHost();
    wchar_t line[1024] = L"%_TRIALRUN.%_trialrun";
    g_state.trialRun = 4;
    ASSERT_EQ(ExpandVariables(line, 1), 0);
    EXPECT_STREQ(line, L"5.5");
}

// A series that never reached its clean-up: what the hook has to clear.
void LeaveBrokenSeries() {
    g_state.trialRun = 3;
    g_state.jiggleTimer = SetTimer(nullptr, 0, 60000, nullptr);
}

TEST_F(FrameTest, KeyHookResetsOnlyForARecordWhoseTestedFieldsAreZero) {
    const struct {
        size_t offset;
        bool pointer;
        uint32_t hostMajor;
        bool resets;
    } cases[] = {
        {0, false, 0, false},  {4, false, 0, false},  {8, false, 0, false},  {12, false, 0, true},
        {16, false, 0, true},  {20, false, 0, true},  {24, true, 0, false},  {32, true, 0, false},
        {40, true, 0, true},   {48, true, 23, true},  {48, true, 24, false}, {48, true, 27, false},
        {24, true, 24, false}, {12, false, 24, true},
    };
    for (const auto& c : cases) {
        LeaveBrokenSeries();
        g_state.hostMajor = c.hostMajor;
        unsigned char record[sizeof(KeyInfo)] = {};
        if (c.pointer) {
            void* p = record;
            std::memcpy(record + c.offset, &p, sizeof p);
        } else {
            record[c.offset] = 1;
        }
        EXPECT_EQ(key(reinterpret_cast<KeyInfo*>(record)), 0);
        EXPECT_EQ(g_state.trialRun, c.resets ? -1 : 3) << "offset " << c.offset << " hostMajor " << c.hostMajor;
        EXPECT_EQ(g_state.jiggleTimer == 0, c.resets) << "offset " << c.offset;
        // The hook reads the record and never writes it.
        for (size_t i = 0; i < sizeof record; ++i) {
            if (i < c.offset || i >= c.offset + (c.pointer ? 8 : 1)) {
                ASSERT_EQ(record[i], 0) << i;
            }
        }
        ResetTrialState();
    }
}

TEST_F(FrameTest, KeyHookAtThePromptClearsABrokenSeriesThroughTheHost) {
    AttachSelfToHost();
    LeaveBrokenSeries();
    EXPECT_EQ(HostReturnToPrompt(), 0);
    EXPECT_EQ(g_state.trialRun, -1);
    EXPECT_EQ(g_state.jiggleTimer, 0u);
    // When idle, the hook changes nothing that can be observed.
    PluginState before = g_state;
    HostReturnToPrompt();
    EXPECT_EQ(std::memcmp(&before, &g_state, sizeof before), 0);
}

TEST_F(FrameTest, ShutdownWithNothingToReleaseReturnsZero) {
    EXPECT_EQ(ShutdownPlugin(0), 0);
    EXPECT_EQ(g_state.trialRun, -1);
    EXPECT_EQ(g_state.ancestorPids, nullptr);
    EXPECT_EQ(g_state.ancestorCount, 0u);
}

TEST_F(FrameTest, ErrorPrefixOutsideABatchFileNamesThePlugin) {
    CapturedOutput output;
    EXPECT_EQ(PrintErrorPrefix(), 0);
    EXPECT_EQ(output.Err(), L"Kelvane plugin: ");
    EXPECT_EQ(output.Out(), L"");
}

TEST_F(FrameTest, ErrorPrefixInsideABatchFileShowsItsNameLiterallyAndTheLine) {
    AttachSelfToHost();
    EXPECT_EQ(ErrorsOfBatchFile(L"50%d%s off.btm", L"echo first\r\nkv /N:5\r\n"),
              L"Kelvane plugin: <batch file> [2]  Missing command\r\n");
}

}  // namespace
