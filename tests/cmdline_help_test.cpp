// The help texts, the KV help written plain or with escape sequences, the
// help options of KV, the usage text handed to the host and the help message box.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include "cmdline/arg_splitter.h"
#include "cmdline/help_text.h"
#include "cmdline/trial_options.h"
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "test_support.h"

namespace {

bool IsMark(wchar_t c) { return c >= 0x1C && c <= 0x1F; }

// The text with each character looked up in the replacements (a character, its text).
std::wstring Replaced(const std::wstring& text, std::initializer_list<std::pair<wchar_t, const wchar_t*>> with) {
    std::wstring result;
    for (wchar_t c : text) {
        auto found = std::find_if(with.begin(), with.end(), [c](const auto& r) { return r.first == c; });
        if (found != with.end())
            result += found->second;
        else
            result += c;
    }
    return result;
}

std::wstring Unmarked(const std::wstring& text) {
    return Replaced(text, {{L'\x1c', L""}, {L'\x1d', L""}, {L'\x1e', L""}, {L'\x1f', L""}});
}
// The help as written, then a line for each option it leaves out.
std::wstring PlainHelp() {
    return Unmarked(KvHelpText) + L"\n\t/DD\tdrop a tenth of the runs at each end\n\t/H\talways show an hours field\n"
           L"\t/T\tshow the title bar progress again after /O:T\n\t/P\tprecise: times to the microsecond\n"
           L"\t/V\tadd the standard deviation, and warnings on doubtful runs\n\t/W:\tmake n untimed warm-up runs first\n"
           L"\t/C\tcompare with the previous KV: ratio, 95% interval, verdict\n"
           L"\t/X:\twrite every run to file, as JSON if it ends in .json, else CSV\n"
           L"\t/G\tdraw the distribution of the counted runs\n";
}
std::wstring EscapedHelp() {
    const std::wstring frame = L"\x1b[23;24m";
    const std::wstring text = std::wstring(KvHelpText) + KvMoreOptionsHelpText;
    return frame + Replaced(text, {{L'\x1c', L"\x1b[3m"}, {L'\x1d', L"\x1b[23m"}}) + frame;
}
// The trace writes a call's line ends as the two characters \r and \n.
std::wstring AsPut(const std::wstring& text) { return L"QPuts: " + Replaced(text, {{L'\r', L"\\r"}, {L'\n', L"\\n"}}) + L"\n"; }

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class HelpTest : public ::testing::Test {
protected:
    void SetUp() override { ResetPluginStateForTest(); }
    void TearDown() override {
        ResetSysCalls();
        ResetPluginStateForTest();
    }
};

TEST_F(HelpTest, TextsHaveTheirExactLengthsAndMarks) {
    const std::wstring kvText = KvHelpText, optionText = OptionOHelpText, trialText = TrialRunHelpText;
    EXPECT_EQ(kvText.size(), 673u);
    EXPECT_EQ(std::count_if(kvText.begin(), kvText.end(), IsMark), 24);
    EXPECT_EQ(std::count(kvText.begin(), kvText.end(), L'\x1c'), 12);
    EXPECT_EQ(std::count(kvText.begin(), kvText.end(), L'\r'), 1);
    EXPECT_EQ(kvText.substr(0, 37), L"Run and time a command repeatedly.\n\nK");
    EXPECT_NE(kvText.find(L" \x1c" L"command\x1d\r\n\n\t/B\toutput to the bit bucket\n"), std::wstring::npos);
    EXPECT_NE(kvText.find(L"no \u201cRun #\x1ci\x1d of \x1cn\x1d\u201d lines\n"), std::wstring::npos);
    EXPECT_NE(kvText.find(L"Use `strong quotes` around the \n"), std::wstring::npos);
    EXPECT_TRUE(EndsWith(kvText, L"precede the \x1c" L"command\x1d. \n"));
    EXPECT_EQ(optionText.size(), 125u);
    EXPECT_EQ(optionText.substr(0, 29), L"KV /O:  \u2014 disable features\n\n\t");
    EXPECT_TRUE(EndsWith(optionText, L"\n\tR\tno recap\n\tT\tno console title bar \n"));
    EXPECT_EQ(trialText.size(), 108u);
    EXPECT_EQ(trialText.substr(0, 13), L"_TRIALRUN \r\n\n");
    EXPECT_EQ(std::count_if(optionText.begin(), optionText.end(), IsMark) +
                  std::count_if(trialText.begin(), trialText.end(), IsMark),
              0);
}

TEST_F(HelpTest, HelpOptionsWritePlainTextToARedirectedOutputAndEndTheCommandWithZero) {
    g_state.pseudoConsole = TRUE;  // a pseudo console does not matter when output is a file
    const std::wstring plain = PlainHelp();
    ASSERT_EQ(Unmarked(KvHelpText).size(), 649u);
    const struct {
        const wchar_t* line;
        std::wstring out;
    } cases[] = {
        {L"/? x", plain},
        {L"/?? x", plain + L"\r\n\t\t\t\tKelvane  0.99.1.0 (x64)\r\n"},
        // Help comes first and nothing after it is checked.
        {L"/? /N:0", plain},
        {L"/O? x", OptionOHelpText},
        {L"/O:C? x", OptionOHelpText},
        {L"/o=?z x", OptionOHelpText},
    };
    for (const auto& c : cases) {
        CapturedOutput output;
        SplitArgs(c.line);
        TrialSettings settings;
        SetDefaultTrialSettings(&settings);
        EXPECT_EQ(ParseTrialOptions(&settings), 0) << c.line;
        EXPECT_EQ(output.Out(), c.out) << c.line;
        EXPECT_EQ(output.Err(), L"") << c.line;
    }
    // What QPuts returned for the text is passed on.
    CapturedOutput output;
    EXPECT_EQ(ShowHelpText(), QPuts(plain.c_str()));
}

TEST_F(HelpTest, ConsoleGetsPlainTextAndAPseudoConsoleEscapeSequences) {
    ConsoleStdout console;
    ASSERT_TRUE(console.ok());
    HANDLE conOut = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(conOut, INVALID_HANDLE_VALUE);
    DWORD savedMode = 0;
    ASSERT_TRUE(GetConsoleMode(conOut, &savedMode));
    const struct {
        BOOL pseudo;
        bool device;  // the plug-in holds a handle on the console device
        std::wstring put;
    } cases[] = {{FALSE, false, PlainHelp()}, {TRUE, true, EscapedHelp()}, {TRUE, false, EscapedHelp()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "pseudo " << c.pseudo << ", device " << c.device);
        SetConsoleMode(conOut, savedMode & ~DWORD{ENABLE_VIRTUAL_TERMINAL_PROCESSING});
        g_state.pseudoConsole = c.pseudo;
        g_state.conOut = c.device ? conOut : nullptr;
        HostCallTrace trace;
        ShowHelpText();
        EXPECT_EQ(trace.Text(), AsPut(c.put));
        DWORD mode = 0;
        GetConsoleMode(conOut, &mode);
        const DWORD wanted = ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
        if (c.device) {
            EXPECT_EQ(mode & wanted, wanted);
        }
    }
    // The escaped text fits: 817 characters for the written text, then the lines after it and their four marks.
    EXPECT_LE(EscapedHelp().size() + 1, 817u + std::wstring(KvMoreOptionsHelpText).size() + 1 + 5 * 4);
    SetConsoleMode(conOut, savedMode);
    g_state.conOut = nullptr;
    CloseHandle(conOut);
}

TEST_F(HelpTest, FailedAllocationWritesTheRawText) {
    // A small allocation does not fail for real, so the allocator is swapped.
    g_sys.allocate = [](size_t) -> void* { return nullptr; };
    CapturedOutput output;
    ShowHelpText();
    EXPECT_EQ(output.Out(), std::wstring(KvHelpText) + KvMoreOptionsHelpText);
}

TEST_F(HelpTest, UsageGivesTheCommandLineOfKvOnly) {
    const wchar_t kUnwritten = 0xFFFF;  // no text holds it
    const std::wstring usage = std::wstring(KvHelpText).substr(36);
    ASSERT_EQ(usage.size(), 637u);
    ASSERT_EQ(usage.substr(0, 9), L"KV /B /D:");
    for (const wchar_t* name : {L"kv", L"KV", L"Kv", L"_trialrun", L"_TRIALRUN", L"@x", L"@kv", L"_kv", L"kvx", L""}) {
        wchar_t buffer[1024];
        std::fill(std::begin(buffer), std::end(buffer), kUnwritten);
        const bool isKv = _wcsicmp(name, L"kv") == 0;
        EXPECT_EQ(Usage(name, buffer), isKv ? 1 : 0) << name;
        // Nothing is written past the terminator, and nothing at all for other names.
        const std::wstring written(buffer, std::find(std::begin(buffer), std::end(buffer), kUnwritten));
        EXPECT_EQ(written, isKv ? usage + L'\0' : L"") << name;
    }
}

// --- Help box

struct BoxSeen {
    std::wstring caption, text;
    HWND owner = nullptr;
    bool found = false;
};

// The message box's text sits in its longest static control.
BOOL CALLBACK ReadStaticText(HWND child, LPARAM param) {
    wchar_t className[64] = {}, text[2048] = {};
    GetClassNameW(child, className, 64);
    GetWindowTextW(child, text, 2048);
    auto* seen = reinterpret_cast<BoxSeen*>(param);
    if (_wcsicmp(className, L"Static") == 0 && wcslen(text) > seen->text.size()) seen->text = text;
    return TRUE;
}

// Waits up to ten seconds on another thread for the help box, reads it and presses OK.
BoxSeen ShowHelpAndClose(const wchar_t* name, int* result) {
    BoxSeen seen;
    std::atomic<bool> stop{false};
    std::thread closer([&] {
        for (int waited = 0; waited < 10000 && !stop; waited += 20, Sleep(20)) {
            HWND box = FindWindowW(L"#32770", L"Kelvane Plugin Help");
            if (!box) continue;
            wchar_t caption[256] = {};
            GetWindowTextW(box, caption, 256);
            seen.caption = caption;
            seen.owner = GetWindow(box, GW_OWNER);
            EnumChildWindows(box, ReadStaticText, reinterpret_cast<LPARAM>(&seen));
            seen.found = true;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            return;
        }
    });
    *result = Help(name);
    stop = true;
    closer.join();
    return seen;
}

TEST_F(HelpTest, HelpShowsTheWholeTextOwnedByTheForegroundWindow) {
    // Hidden: under Wine without a window manager every visible window takes
    // two seconds to go away, and a hidden one can still be the foreground.
    HWND front = CreateWindowExW(0, L"STATIC", L"kelvane help owner", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(front, nullptr);
    SetForegroundWindow(front);
    EXPECT_EQ(GetForegroundWindow(), front);
    for (const auto& [name, text] : {std::pair{L"_TRIALRUN", TrialRunHelpText}, std::pair{L"kv", KvHelpText},
                                     std::pair{L"_KVSTDDEV", KvVariablesHelpText},
                                     std::pair{L"_kvruns", KvVariablesHelpText}}) {
        int result = 0;
        const BoxSeen seen = ShowHelpAndClose(name, &result);
        EXPECT_EQ(result, 1) << name;
        ASSERT_TRUE(seen.found) << name;
        EXPECT_EQ(seen.caption, L"Kelvane Plugin Help");
        EXPECT_EQ(seen.text, text) << name;
        EXPECT_EQ(seen.owner, front) << name;
    }
    DestroyWindow(front);
}

TEST_F(HelpTest, HelpForAnUnknownNameShowsNothing) {
    for (const wchar_t* name : {L"kvx", L"", L"@kv", L"trialrun"}) EXPECT_EQ(Help(name), 0) << name;
    EXPECT_EQ(FindWindowW(L"#32770", L"Kelvane Plugin Help"), nullptr);
}

}  // namespace
