// The stand-in host through its exports and control API: the formatter and
// output handles, variable expansion, commands and exit codes, programs and
// batch files, plug-ins, the call trace, colours, and kvhost.exe as a child.
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <climits>
#include <string>
#include <vector>
#include "frame/plugin_state.h"
#include "host_control.h"
#include "line_reader.h"
#include "test_support.h"

namespace {

int RunLine(const std::wstring& line) {
    std::wstring copy = line;
    return Command(copy.data(), 0);
}

// Expands in a buffer of exactly 1024 characters (what callers promise).
std::wstring Expand(const std::wstring& text, int* rc = nullptr) {
    wchar_t buffer[1024] = {};
    wcsncpy(buffer, text.c_str(), 1023);
    int result = ExpandVariables(buffer, 1);
    if (rc) *rc = result;
    return buffer;
}

std::wstring ProbePath() { return ExeDir() + L"\\host_probe.dll"; }

// TakeCmd.dll exports TakeCommandIPC under its decorated name only, as TCC's does.
TakeCommandIpcFn HostIpc() {
    FARPROC ipc = GetProcAddress(GetModuleHandleW(L"TakeCmd.dll"), kTakeCommandIpcDecorated);
    return reinterpret_cast<TakeCommandIpcFn>(reinterpret_cast<void*>(ipc));
}

std::string RawBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    std::string bytes;
    char chunk[4096];
    DWORD got = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got)
        bytes.append(chunk, got);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return bytes;
}

// ---- Formatter and output ----

TEST(HostOutput, FormatsEveryConversionPluginsUse) {
    CapturedOutput output;
    std::wstring expected;
    auto check = [&](int written, const std::wstring& want) {
        expected += want;
        EXPECT_EQ(written, static_cast<int>(want.size())) << want;
        EXPECT_EQ(output.Out(), expected);
    };
    check(Printf(L"%s|%c|%d|%u", L"text", L'x', -42, 42u), L"text|x|-42|42");
    check(Printf(L"[%*u]", 6, 42u), L"[    42]");
    check(Printf(L"[%02u:%03u]", 5u, 7u), L"[05:007]");
    check(Printf(L"[%I64u]", 18446744073709551615ULL), L"[18446744073709551615]");
    check(Printf(L"[%02I64u]", 3ULL), L"[03]");
    check(Printf(L"[%I64d]", -9000000000LL), L"[-9000000000]");
    check(Printf(L"[%x/%X]", 255u, 0xABCu), L"[ff/ABC]");
    check(Printf(L"[100%%]"), L"[100%]");
    check(Printf(L"[%-5s|%5s]", L"ab", L"cd"), L"[ab   |   cd]");
    check(Printf(L"[%.2s]", L"abcdef"), L"[ab]");
    check(Printf(L"[%-*d]", 4, 7), L"[7   ]");
    check(Printf(L"[%05d]", -42), L"[-0042]");
    check(Printf(L"[%u]", 4294967295u), L"[4294967295]");
    check(Printf(L"[%d]", INT_MIN), L"[-2147483648]");
    check(Printf(L"[%zu|%lld|%hd|%#x]", size_t{7}, -5LL, 70000, 255u), L"[7|-5|4464|0xff]");
    check(Printf(L"[%hs|%-3c|%p]", "nar", L'w', reinterpret_cast<void*>(0xABC)), L"[nar|w  |0000000000000ABC]");
    check(Printf(L"[%f|%n|%", 1.5), L"[%f|%n|%");  // unknown and cut-off conversions stay text
}

// Flags with wide fields and precisions: a row for each case Wine's msvcrt
// formatter gets wrong (zeros despite a precision or for text) or crashes on.
TEST(HostOutput, FormatsFlagsWithWidthAndPrecision) {
    CapturedOutput output;
    size_t seen = 0;
    auto printed = [&](int written) {
        const std::wstring all = output.Out();
        std::wstring text = all.substr(seen);
        seen = all.size();
        EXPECT_EQ(written, static_cast<int>(text.size())) << text;
        return text;
    };
    const std::pair<std::wstring, std::wstring> rows[] = {
        {printed(Printf(L"[%#025x]", 70000u)), L"[0x" + std::wstring(18, L'0') + L"11170]"},
        {printed(Printf(L"[%#0*I64X]", 30, 0xFEDCBA9876543210ULL)), L"[0X" + std::wstring(12, L'0') + L"FEDCBA9876543210]"},
        {printed(Printf(L"[%06.3d]", -7)), L"[  -007]"},
        {printed(Printf(L"[%08.0u]", 0u)), L"[        ]"},
        {printed(Printf(L"[%05s|%-04c|%03c]", L"ab", L'x', L'y')), L"[   ab|x   |  y]"},
    };
    for (const auto& [got, want] : rows) EXPECT_EQ(got, want);
}

TEST(HostOutput, TextArgumentsAreWrittenLiterallyAndInFull) {
    CapturedOutput output;
    std::wstring name = L"C:\\50%d%s%n%%.btm";
    std::wstring longText(8191, L'k');
    Printf(L"%s|", name.c_str());
    QPuts(name.c_str());
    Printf(L"|%s", longText.c_str());
    EXPECT_EQ(output.Out(), name + L"|" + name + L"|" + longText);
}

TEST(HostOutput, FilesGetUtf8WithoutByteOrderMark) {
    std::wstring dir = MakeTempDir();
    std::wstring path = dir + L"\\out.txt";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    Qprintf(file, L"%s", L"\u00e9\u20ac");
    CloseHandle(file);
    EXPECT_EQ(RawBytes(path), "\xC3\xA9\xE2\x82\xAC");
    RemoveTree(dir);
}

TEST(HostOutput, StandardOutputIsLookedUpAtEachCall) {
    CapturedOutput outer;
    QPuts(L"first");
    {
        CapturedOutput inner;
        Printf(L"%s", L"second");
        CrLf();
        EXPECT_EQ(inner.Out(), L"second\r\n");
    }
    QPuts(L"third");
    EXPECT_EQ(outer.Out(), L"firstthird");
}

TEST(HostOutput, ConsoleGetsTheTextAsUnicode) {
    ConsoleStdout console;
    ASSERT_TRUE(console.ok());
    CrLf();
    CONSOLE_SCREEN_BUFFER_INFO info;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(console.handle(), &info));
    EXPECT_EQ(QPuts(L"\u00e9\u20ac%s!"), 5);
    wchar_t shown[8] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadConsoleOutputCharacterW(console.handle(), shown, 5, info.dwCursorPosition, &read));
    CrLf();
    EXPECT_EQ(std::wstring(shown, read), L"\u00e9\u20ac%s!");
}

// ---- Variables ----

TEST(HostVariables, ExpandsEnvironmentInternalBracketedAndOptionVariables) {
    ScopedEnvironmentVariable env(L"KVHOST_T", L"value");
    ScopedEnvironmentVariable undefined(L"KVHOST_UNSET", nullptr);
    struct Case {
        const wchar_t* in;
        const wchar_t* out;
    } cases[] = {
        {L"[%KVHOST_T%]", L"[value]"},
        {L"[%kvhost_t%]", L"[value]"},
        {L"[%[KVHOST_T]]", L"[value]"},
        {L"[%KVHOST_UNSET%]", L"[%KVHOST_UNSET%]"},
        {L"[%[KVHOST_UNSET]]", L"[]"},
        {L"%_4ver.", L"1.00."},
        {L"%_4VER%x", L"1.00x"},
        {L"%_batch/%_batchline", L"0/-1"},
        {L"%[_transient]%[_pipe]%[noloadmsg]", L"00"},
        {L"%@option[UpdateTitle]", L"Yes"},
        {L"100%% and 5% off", L"100% and 5% off"},
        {L"keep `%_4ver` quoted", L"keep `%_4ver` quoted"},
        {L"%_nosuchvariable|", L"|"},
        {L"", L""},
    };
    for (const auto& c : cases) {
        int rc = -1;
        EXPECT_EQ(Expand(c.in, &rc), c.out) << c.in;
        EXPECT_EQ(rc, 0) << c.in;
    }
}

TEST(HostVariables, InternalOverridesAndOptionsChangeTheExpansion) {
    EXPECT_EQ(HostSetInternalVariable(L"_4ver", L"27.00.15"), 0);
    EXPECT_EQ(Expand(L"%_4ver"), L"27.00.15");
    HostSetInternalVariable(L"_4VER", nullptr);
    EXPECT_EQ(Expand(L"%_4ver"), L"1.00");

    EXPECT_EQ(RunLine(L"option //UpdateTitle=No"), 0);
    EXPECT_EQ(Expand(L"%@option[updatetitle]"), L"No");
    EXPECT_EQ(RunLine(L"option //UpdateTitle=Yes"), 0);
    EXPECT_EQ(Expand(L"%@option[UpdateTitle]"), L"Yes");
}

// What whencalled leaves runs once, inside the next call of that service,
// before the service does its work, and in no other service.
TEST(HostCommands, WhenCalledRunsItsLineOnceInsideTheNextCallOfTheService) {
    CapturedOutput output;
    ASSERT_EQ(RunLine(L"whencalled crlf echo inside"), 0);
    Printf(L"[printf]");
    CrLf();
    CrLf();
    EXPECT_EQ(output.Out(), L"[printf]inside\r\n\r\n\r\n");
}

// An alias replaces the first word of a command the host runs, and of a text
// it expands with the recursion counter 0; a non-zero counter expands
// variables only.
TEST(HostVariables, AliasesReplaceTheFirstWordOnlyWithoutARecursionCount) {
    ASSERT_EQ(RunLine(L"alias greet=echo hello"), 0);
    const struct {
        const wchar_t* text;
        int recursion;
        const wchar_t* expanded;
    } cases[] = {
        {L"greet %_batch", 0, L"echo hello 0"},
        {L"greet %_batch", 1, L"greet 0"},
        {L"greet %_batch", 2, L"greet 0"},
        {L"GREET", 0, L"echo hello"},
        {L"say greet", 0, L"say greet"},
        {L"greeting", 0, L"greeting"},
    };
    for (const auto& c : cases) {
        wchar_t buffer[1024] = {};
        wcscpy(buffer, c.text);
        EXPECT_EQ(ExpandVariables(buffer, c.recursion), 0) << c.text;
        EXPECT_STREQ(buffer, c.expanded) << c.text << ", recursion " << c.recursion;
    }
    {
        CapturedOutput output;
        EXPECT_EQ(RunLine(L"greet world & alias"), 0);
        EXPECT_EQ(output.Out(), L"hello world\r\ngreet=echo hello\r\n");
    }
    EXPECT_EQ(RunLine(L"alias greet="), 0);
    wchar_t buffer[1024] = L"greet";
    ExpandVariables(buffer, 0);
    EXPECT_STREQ(buffer, L"greet");
    CapturedOutput output;
    EXPECT_EQ(RunLine(L"alias two words=x"), 1);
    EXPECT_NE(output.Err().find(L"Usage: alias"), std::wstring::npos) << output.Err();
}

TEST(HostVariables, UnterminatedVariablesFailClearlyAndLeaveTheBuffer) {
    for (const wchar_t* bad : {L"echo %PATH", L"%[abc", L"%@option[UpdateTitle", L"%@nosuch[x]"}) {
        CapturedOutput output;
        int rc = 0;
        EXPECT_EQ(Expand(bad, &rc), bad);
        EXPECT_NE(rc, 0) << bad;
        EXPECT_NE(output.Err().find(L"kvhost: "), std::wstring::npos) << bad;
        EXPECT_NE(RunLine(bad), 0) << bad;
    }
}

TEST(HostVariables, LongResultsStopAtTheCallersBuffer) {
    std::wstring big(3000, L'v');
    ScopedEnvironmentVariable env(L"KVHOST_BIG", big.c_str());
    wchar_t buffer[1100];
    wmemset(buffer, L'#', 1100);
    wcscpy(buffer, L"%KVHOST_BIG%");
    EXPECT_EQ(ExpandVariables(buffer, 1), 0);
    EXPECT_EQ(wcslen(buffer), 1023u);
    for (int i = 1024; i < 1100; ++i) ASSERT_EQ(buffer[i], L'#') << i;
}

// ---- Commands ----

TEST(HostCommands, InternalCommandsReturnTheirExitCodes) {
    CapturedOutput output;
    struct Case {
        const wchar_t* line;
        int rc;
    } cases[] = {
        {L"exitcode 7", 7},   {L"EXITCODE -3", -3},   {L"exitcode", 0},        {L"exitcode 3 & exitcode 4", 4},
        {L"`exitcode 9`", 9}, {L"  @exitcode 6  ", 6}, {L"rem x %PATH & exitcode 5", 0},
        {L":: exitcode 5", 0}, {L"exitcode 2 & rem %PATH", 0}, {L"", 0},               {L"   ", 0},           {L"quit 4", 4},
        {L"delay /m 0", 0},   {L"option //KvhostTest=1", 0},
        // Integers compare by value, anything else as text without regard to case.
        {L"if 10 gt 9 exitcode 5", 5}, {L"if 10 LT 9x exitcode 5", 5}, {L"if -1 gt -2 exitcode 5", 5},
        {L"if 007 eq 7 exitcode 5", 5}, {L"if -0 Ge 0 exitcode 5", 5}, {L"if abc le ABC exitcode 5", 5},
        {L"if 3 ne 3 exitcode 5", 0}, {L"if not 3 lt 2 exitcode 5", 5},
        {L"if 100000000000000000000 gt 9 exitcode 5", 5},
    };
    for (const auto& c : cases) EXPECT_EQ(RunLine(c.line), c.rc) << c.line;
    EXPECT_EQ(output.Err(), L"");
}

TEST(HostCommands, EchoWritesExpandedTextWithBackquotesRemoved) {
    CapturedOutput output;
    RunLine(L"echo a & ECHO b");
    RunLine(L"echo.");
    RunLine(L"echo \"x & y\" `%_4ver` %_4ver");
    RunLine(L"@echo off");
    EXPECT_EQ(output.Out(), L"a\r\nb\r\n\r\n\"x & y\" %_4ver 1.00\r\n");
}

TEST(HostCommands, SetChangesTheEnvironment) {
    ScopedEnvironmentVariable env(L"KVHOST_SET", nullptr);
    EXPECT_EQ(RunLine(L"set KVHOST_SET=a b"), 0);
    EXPECT_EQ(Expand(L"%KVHOST_SET%"), L"a b");
    EXPECT_EQ(RunLine(L"set KVHOST_SET="), 0);
    wchar_t value[8];
    EXPECT_EQ(GetEnvironmentVariableW(L"KVHOST_SET", value, 8), 0u);
}

TEST(HostCommands, DelayWaitsAtLeastTheGivenMilliseconds) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunLine(L"delay /m 60"), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
}

TEST(HostCommands, BadInputGivesAMessageAndANonZeroCode) {
    struct Case {
        std::wstring line;
        const wchar_t* message;
    } cases[] = {
        {L"kvhost-no-such-command arg", L"Unknown command \"kvhost-no-such-command\""},
        {L"exitcode abc", L"not a number"},
        {L"\"C:\\kvhost-nowhere\\missing.btm\"", L"not found"},
        {L"option UpdateTitle=No", L"Usage: option"},
        {L"delay /m x", L"Usage: delay"},
        {L"echo %" + std::wstring(9000, L'p'), L"Unterminated variable"},
        {L"whencalled NoSuchService echo x", L"Usage: whencalled"},
        {L"whencalled Printf", L"Usage: whencalled"},
        {L"alias =x", L"Usage: alias"},
        {L"conwindow /sideways", L"Usage: conwindow"},
    };
    for (const auto& c : cases) {
        CapturedOutput output;
        EXPECT_NE(RunLine(c.line), 0) << c.line.substr(0, 60);
        EXPECT_NE(output.Err().find(c.message), std::wstring::npos) << output.Err();
    }
    EXPECT_EQ(Command(nullptr, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Expand(L"%@option[UpdateTitle]"), L"Yes");  // the failed option changed nothing
}

TEST(HostCommands, VeryLongLinesRunInFull) {
    CapturedOutput output;
    std::wstring text(9000, L'z');
    EXPECT_EQ(RunLine(L"echo " + text), 0);
    EXPECT_EQ(output.Out(), text + L"\r\n");
}

// ---- Programs and batch files ----

TEST(HostPrograms, ReturnsTheExitCodeOfAProgram) {
    std::wstring kvhost = L"\"" + ExeDir() + L"\\kvhost.exe\" --no-plugin /c ";
    EXPECT_EQ(RunLine(kvhost + L"exitcode 5"), 5);
    EXPECT_EQ(RunLine(kvhost + L"\"exitcode 12\""), 12);
}

TEST(HostPrograms, FindsProgramsOnThePathWithoutTheirExtension) {
    std::wstring dir = MakeTempDir();
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    SetCurrentDirectoryW(dir.c_str());
    {
        ScopedEnvironmentVariable path(L"PATH", (L"C:\\kvhost-nowhere;\"" + ExeDir() + L"\"").c_str());
        EXPECT_EQ(RunLine(L"KVHOST --no-plugin /c exitcode 6"), 6);
    }
    SetCurrentDirectoryW(saved);
    RemoveTree(dir);
}

// A program gets the standard handles of the moment as they are, inherited:
// one opened inheritable (as the host's own "> file" is) is its output, one
// opened without inheritance is no handle in the child, and a program that
// checks its writes (kvhost's echo) fails.
TEST(HostPrograms, AChildWritesToTheCurrentStandardOutputOnlyWhenItIsInheritable) {
    const struct {
        BOOL inheritable;
        int rc;
        const wchar_t* written;
    } cases[] = {
        {TRUE, 0, L"from the child\r\n"},
        {FALSE, 1, L""},
    };
    std::wstring dir = MakeTempDir();
    std::wstring path = dir + L"\\child.txt";
    for (const auto& c : cases) {
        SECURITY_ATTRIBUTES security = {sizeof security, nullptr, c.inheritable};
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &security,
                                  CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
        SetStdHandle(STD_OUTPUT_HANDLE, file);
        int rc = RunLine(L"\"" + ExeDir() + L"\\kvhost.exe\" --no-plugin /c echo from the child");
        SetStdHandle(STD_OUTPUT_HANDLE, saved);
        CloseHandle(file);
        EXPECT_EQ(rc, c.rc) << c.inheritable;
        EXPECT_EQ(ReadUtf8File(path), c.written) << c.inheritable;
    }
    RemoveTree(dir);
}

TEST(HostBatch, RunsLineByLineWithItsNameLineNumberAndArguments) {
    std::wstring dir = MakeTempDir();
    std::wstring inner = dir + L"\\inner.bat";
    std::wstring outer = dir + L"\\run 100%.btm";
    WriteTextFile(inner, L"echo inner %_batch %_batchline %1\r\n");
    WriteTextFile(outer,
                  L"@echo off\r\n"
                  L"echo line %_batchline of [%_batchname] depth %_batch\r\n"
                  L"rem a comment with %PATH\r\n"
                  L"\r\n"
                  L":: another comment\r\n"
                  L"@echo args %1 %2 [%0]\r\n"
                  L"call \"" + inner + L"\" x\r\n"
                  L"echo back on %_batchline\r\n"
                  L"quit 7\r\n"
                  L"echo not reached\r\n");
    CapturedOutput output;
    EXPECT_EQ(RunLine(L"\"" + outer + L"\" a \"b c\""), 7);
    EXPECT_EQ(output.Out(), L"line 2 of [" + outer + L"] depth 1\r\n"
                            L"args a \"b c\" [" + outer + L"]\r\n"
                            L"inner 2 1 x\r\n"
                            L"back on 8\r\n");
    EXPECT_EQ(output.Err(), L"");
    EXPECT_EQ(Expand(L"%_batch"), L"0");
    RemoveTree(dir);
}

TEST(HostBatch, ErrorsInsideABatchFileNameTheFileAndLine) {
    std::wstring dir = MakeTempDir();
    std::wstring batch = dir + L"\\bad%x%.btm";
    WriteTextFile(batch, L"echo ok\r\nkvhost-no-such-command\r\n");
    CapturedOutput output;
    EXPECT_EQ(RunLine(L"\"" + batch + L"\""), 2);
    EXPECT_EQ(output.Err(), L"kvhost: " + batch + L" [2]  Unknown command \"kvhost-no-such-command\"\r\n");
    RemoveTree(dir);
}

TEST(HostBatch, ABatchFileThatRunsItselfStopsWithAMessage) {
    std::wstring dir = MakeTempDir();
    std::wstring batch = dir + L"\\self.btm";
    WriteTextFile(batch, L"\"" + batch + L"\"\r\n");
    CapturedOutput output;
    EXPECT_NE(RunLine(L"\"" + batch + L"\""), 0);
    EXPECT_NE(output.Err().find(L"nested too deeply"), std::wstring::npos);
    RemoveTree(dir);
}

// ---- Plug-ins ----

TEST(HostPlugins, LoadsAPluginAndServesItsCommandVariableAndHook) {
    CapturedOutput output;
    ASSERT_EQ(HostLoadPlugin(ProbePath().c_str()), 0) << output.Err();
    EXPECT_EQ(RunLine(L"PROBE  a `b %_4ver` %_4ver"), static_cast<int>(wcslen(L"a `b %_4ver` 1.00")));
    RunLine(L"echo %_probevar %[_PROBEVAR] & probe");
    HostReturnToPrompt();
    EXPECT_EQ(RunLine(L"plugin /u hostprobe"), 0);
    EXPECT_EQ(RunLine(L"probe"), 2);
    EXPECT_EQ(output.Out(), L"probe: started\r\n"
                            L"probe: [a `b %_4ver` 1.00]\r\n"
                            L"call1 call2\r\n"
                            L"probe: []\r\n"
                            L"probe: key zero\r\n"
                            L"probe: shut down (0)\r\n");
}

TEST(HostPlugins, APluginThatRefusesToStartIsNotLoaded) {
    ScopedEnvironmentVariable refuse(L"HOST_PROBE_REFUSE", L"3");
    CapturedOutput output;
    EXPECT_NE(RunLine(L"plugin /l \"" + ProbePath() + L"\""), 0);
    EXPECT_NE(output.Err().find(L"not loaded"), std::wstring::npos) << output.Err();
    EXPECT_EQ(RunLine(L"probe"), 2);
    EXPECT_NE(HostLoadPlugin(L"C:\\kvhost-nowhere\\none.dll"), 0);
    EXPECT_NE(HostLoadPlugin((ExeDir() + L"\\TakeCmd.dll").c_str()), 0);  // a DLL, but no plug-in
    EXPECT_NE(output.Err().find(L"is not a plug-in"), std::wstring::npos) << output.Err();
}

TEST(HostPlugins, TheTestProgramServesTrialRunCaseInsensitively) {
    AttachSelfToHost();
    ResetPluginStateForTest();
    EXPECT_EQ(Expand(L"[%_trialrun][%[_TRIALRUN]]"), L"[][]");
    g_state.trialRun = 4;
    EXPECT_EQ(Expand(L"[%_TrialRun]"), L"[5]");
    g_state.trialRun = -1;
}

// ---- Trace ----

TEST(HostTrace, RecordsEachServiceCallInOrder) {
    CapturedOutput output;
    ASSERT_EQ(HostLoadPlugin(ProbePath().c_str()), 0);
    std::wstring text;
    {
        HostCallTrace trace;
        Printf(L"n=%u\r\n", 3u);
        QPuts(L"q");
        CrLf();
        RunLine(L"echo engine output is not recorded");
        RunLine(L"probe x");
        wchar_t buffer[1024] = L"%_batch";
        ExpandVariables(buffer, 1);
        wchar_t request[] = L"HWND", reply[1024];
        HostIpc()(request, reply);
        tty_yield(0);
        int fg = -1, bg = -1;
        wchar_t colours[] = L"bright red on blue";
        ParseColors(colours, &fg, &bg);
        text = trace.Text();
    }
    RunLine(L"plugin /u HostProbe");
    EXPECT_EQ(text, L"Printf: n=3\\r\\n\n"
                    L"QPuts: q\n"
                    L"CrLf: \n"
                    L"Command: echo engine output is not recorded -> 0\n"
                    L"Command: probe x -> 1\n"
                    L"Printf: probe: [x]\\r\\n\n"
                    L"ExpandVariables: %_batch -> 0\n"
                    L"TakeCommandIPC: HWND\n"
                    L"tty_yield: 0\n"
                    L"ParseColors: bright red on blue -> 12,1\n");
    Printf(L"after");
    EXPECT_EQ(HostTraceText(nullptr, 0), static_cast<int>(text.size()));  // stopped: nothing added
}

// ---- Colours, names, IPC ----

TEST(HostConsole, ParsesReadableColourNames) {
    struct Case {
        const wchar_t* spec;
        int rc, fg, bg;
    } cases[] = {
        {L"red", 0, 4, -1},
        {L"Bright White on Blue", 0, 15, 1},
        {L"  grey on bright yellow ", 0, 7, 14},
        {L"GRAY", 0, 7, -1},
        {L"black on black", 0, 0, 0},
        {L"bright", 1, -1, -1},
        {L"purple", 1, -1, -1},
        {L"red on", 1, -1, -1},
        {L"red on blue now", 1, -1, -1},
        {L"", 1, -1, -1},
    };
    for (const auto& c : cases) {
        int fg = -1, bg = -1;
        std::wstring spec = c.spec;
        // Where parsing stopped: the start when nothing was taken.
        const wchar_t* stop = ParseColors(spec.data(), &fg, &bg);
        EXPECT_EQ(stop == spec.data(), c.rc != 0) << c.spec;
        EXPECT_EQ(fg, c.fg) << c.spec;
        EXPECT_EQ(bg, c.bg) << c.spec;
    }
}

TEST(HostConsole, SetsAndReadsTheConsoleAttribute) {
    ConsoleStdout console;
    ASSERT_TRUE(console.ok());
    unsigned original = ~0u, inverse = ~0u;
    GetAttribute(&original, &inverse);
    CONSOLE_SCREEN_BUFFER_INFO info;
    ASSERT_TRUE(GetConsoleScreenBufferInfo(console.handle(), &info));
    EXPECT_EQ(original, info.wAttributes & 0xFFu);
    EXPECT_EQ(inverse, ((original & 0x0F) << 4) | (original >> 4));
    SetColors(0x1E);
    unsigned now = 0;
    GetAttribute(&now, nullptr);
    EXPECT_EQ(now, 0x1Eu);
    SetColors(static_cast<int>(original));
}

TEST(HostConsole, TrueNameGivesFullPathsAndEmptyTextForBadNames) {
    wchar_t full[32768];
    wchar_t directory[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, directory);
    EXPECT_EQ(QueryTrueName(L"some file.txt", full), full);
    EXPECT_EQ(std::wstring(full), std::wstring(directory) + L"\\some file.txt");
    for (const wchar_t* bad : {L"", L"a<b", L"what?", L"x*.txt", L"pipe|name", L"quo\"te"}) {
        wcscpy(full, L"sentinel");
        EXPECT_EQ(QueryTrueName(bad, full), nullptr) << bad;
        EXPECT_EQ(full[0], L'\0') << bad;
    }
}

TEST(HostConsole, IpcAnswersHwndWithTheReplySetForIt) {
    TakeCommandIpcFn ipc = HostIpc();
    ASSERT_NE(ipc, nullptr);
    EXPECT_EQ(GetProcAddress(GetModuleHandleW(L"TakeCmd.dll"), kTakeCommandIpcPlain), nullptr);
    wchar_t hwnd[] = L"HWND", lower[] = L"hwnd", version[] = L"VERSION";
    wchar_t reply[1024];
    EXPECT_EQ(ipc(hwnd, reply), 0);
    EXPECT_EQ(std::wstring(reply), L"");
    HostSetIpcReply(L"132456");
    EXPECT_EQ(ipc(lower, reply), 0);
    EXPECT_EQ(std::wstring(reply), L"132456");
    EXPECT_EQ(std::wstring(lower), L"HWND") << "the host works on the request where it lies";
    wcscpy(reply, L"sentinel");
    EXPECT_NE(ipc(version, reply), 0);
    EXPECT_EQ(reply[0], L'\0');
    HostSetIpcReply(nullptr);
}

// ---- kvhost.exe ----

TEST(KvHost, PromptCallsTheKeystrokeHookEachTimeAndEndsWithTheInput) {
    HostRun run = RunKvHost(L"--no-plugin --plugin host_probe.dll", L"echo one [%_transient]\nprobe two\n");
    EXPECT_EQ(run.exitCode, 3u) << run.err;
    EXPECT_EQ(run.out, L"probe: started\r\n"
                       L"probe: key zero\r\n"
                       L"one [0]\r\n"
                       L"probe: key zero\r\n"
                       L"probe: [two]\r\n"
                       L"probe: key zero\r\n"
                       L"probe: shut down (1)\r\n");
}

// A console the test plays for kvhost's line reader: each read gives the
// next scripted answer. "" is a read that ends with no characters, as
// Windows ends one on Ctrl+C; "break" is that too, with a break raised the
// way the control handler raises it, after the read has ended; "fail" is a
// failed read, the console gone.
const wchar_t* const* s_consoleScript;

BOOL PlayedConsole(HANDLE, wchar_t* chunk, DWORD capacity, DWORD* got) {
    const std::wstring answer = *s_consoleScript ? *s_consoleScript++ : L"fail";
    *got = 0;
    if (answer == L"fail") {
        SetLastError(ERROR_BROKEN_PIPE);
        return FALSE;
    }
    if (answer == L"break") HostRunLine(L"ctrlc /m 30", nullptr);
    if (answer == L"break" || answer.empty()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return TRUE;
    }
    *got = static_cast<DWORD>(std::min<size_t>(answer.size(), capacity));
    wmemcpy(chunk, answer.data(), *got);
    return TRUE;
}

TEST(KvHost, AnEmptyConsoleReadIsAPossibleBreakNotTheEndOfInput) {
    struct Case {
        std::vector<const wchar_t*> script;
        std::vector<const wchar_t*> lines;  // what each Read gives, until it gives false
        size_t breakNotices;
    } cases[] = {
        {{L"break", L"echo next\r\n", nullptr}, {L"", L"echo next"}, 1},
        {{L"", L"echo x\r\n", nullptr}, {L"", L"echo x"}, 0},
        {{L"ech", L"o split\r\n", L"\x1a\r\n", L"never\r\n", nullptr}, {L"echo split"}, 0},
        {{L"", L"", L"", L"never\r\n", nullptr}, {L"", L""}, 0},
        {{L"", L"", L"break", L"", L"", L"x\r\n", nullptr}, {L"", L"", L"", L"", L"", L"x"}, 1},
    };
    for (const auto& c : cases) {
        CapturedOutput output;
        HostTakeBreak();
        s_consoleScript = c.script.data();
        LineReader reader(PlayedConsole);
        std::vector<std::wstring> lines;
        std::wstring line;
        while (lines.size() < 10 && reader.Read(line)) lines.push_back(line);
        EXPECT_EQ(lines, std::vector<std::wstring>(c.lines.begin(), c.lines.end())) << c.script[0];
        EXPECT_EQ(CountOccurrences(output.Out(), L"^C\r\n"), c.breakNotices) << c.script[0];
    }
}

// The one test that sends a real console control event: to a kvhost of its
// own process group, so the break reaches its handler and nothing else.
// A real Ctrl+C reaches every console control handler of kvhost, the
// plug-in's first: the series ends at once with 3, and the line is
// abandoned, or, in a batch file told to go on, the next line runs.
TEST(KvHost, ARealCtrlCAbandonsTheRunningLineAndEndsTheOneShotHost) {
    const std::wstring dir = MakeTempDir();
    WriteTextFile(dir + L"\\goes_on.btm", L"option //BreakBatch=Continue\r\n"
                                          L"kv /n:400 /Q /O:R `echo started & delay /m 50`\r\n"
                                          L"echo kv returned %?\r\n");
    ScopedEnvironmentVariable quiet(L"noloadmsg", L"1");
    const struct {
        std::wstring arguments;
        DWORD exitCode;
        const wchar_t* end;  // the output ends so, after one "started" or more
    } cases[] = {
        {L"/c echo started & kv /n:400 /Q delay /m 50 & echo never", 1, L"started\r\n"},
        {L"\"" + dir + L"\\goes_on.btm\"", 0, L"started\r\nkv returned 3\r\n"},
    };
    for (const auto& c : cases) {
        DWORD elapsed = 0;
        HostRun run = RunKvHostAndBreakIt(c.arguments, L"started", &elapsed);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_EQ(run.out.rfind(L"started\r\n", 0), 0u) << run.out;
        EXPECT_EQ(run.out.find(L"never"), std::wstring::npos) << run.out;
        const size_t endLength = wcslen(c.end);
        EXPECT_TRUE(run.out.size() >= endLength && run.out.compare(run.out.size() - endLength, endLength, c.end) == 0)
            << run.out;
        EXPECT_LT(elapsed, 15000u);  // the series alone would take 20 s
    }
    RemoveTree(dir);
}

TEST(KvHost, ExitEndsThePromptWithItsCode) {
    HostRun run = RunKvHost(L"--no-plugin", L"exitcode 1\r\nexit 4\r\necho never\r\n");
    EXPECT_EQ(run.exitCode, 4u);
    EXPECT_EQ(run.out.find(L"never"), std::wstring::npos) << run.out;
}

TEST(KvHost, RunsOneCommandLineAsATransientHost) {
    HostRun run = RunKvHost(L"--no-plugin /c echo [%_transient] & exitcode 9");
    EXPECT_EQ(run.exitCode, 9u);
    EXPECT_EQ(run.out, L"[1]\r\n");
}

TEST(KvHost, RunsABatchFileWithArgumentsAndReportsAMissingOne) {
    std::wstring dir = MakeTempDir();
    WriteTextFile(dir + L"\\args 5%.btm", L"echo %_batchline:%1:%2\r\nexitcode 3\r\n");
    HostRun run = RunKvHost(L"--no-plugin \"" + dir + L"\\args 5%.btm\" first second");
    EXPECT_EQ(run.exitCode, 3u) << run.err;
    EXPECT_EQ(run.out, L"1:first:second\r\n");
    HostRun missing = RunKvHost(L"--no-plugin \"" + dir + L"\\gone.btm\"");
    EXPECT_EQ(missing.exitCode, 2u);
    EXPECT_NE(missing.err.find(L"gone.btm\" not found"), std::wstring::npos) << missing.err;
    RemoveTree(dir);
}

TEST(KvHost, WithoutAConsoleTheAttributeOutputsStayUntouched) {
    HostRun run = RunKvHost(L"--no-plugin --plugin host_probe.dll /c probecolors", L"", /*detached=*/true);
    EXPECT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_NE(run.out.find(L"probe: attribute normal=0xDEAD inverse=0xDEAD\r\n"), std::wstring::npos) << run.out;
}

TEST(KvHost, HelpTellsWhatItLoadsAndBadOptionsFail) {
    HostRun help = RunKvHost(L"--help");
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_NE(help.out.find(L"kelvane.dll"), std::wstring::npos);
    EXPECT_NE(help.out.find(L"--no-plugin"), std::wstring::npos);
    HostRun bad = RunKvHost(L"--frobnicate");
    EXPECT_EQ(bad.exitCode, 2u);
    EXPECT_NE(bad.err.find(L"--frobnicate"), std::wstring::npos);
}

}  // namespace
