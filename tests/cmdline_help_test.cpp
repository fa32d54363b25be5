// The help texts, the KV help written plain or with escape sequences, the
// usage text handed to the host and the help message box.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include "cmdline/help_text.h"
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "test_support.h"

namespace {

bool IsMark(wchar_t c) { return c >= 0x1C && c <= 0x1F; }

std::wstring WithoutMarks(const std::wstring& text) {
    std::wstring plain;
    for (wchar_t c : text)
        if (!IsMark(c)) plain += c;
    return plain;
}

// The text with every a replaced by aText and every b by bText.
std::wstring ReplaceTwo(const std::wstring& text, wchar_t a, const wchar_t* aText, wchar_t b, const wchar_t* bText) {
    std::wstring result;
    for (wchar_t c : text) {
        if (c == a)
            result += aText;
        else if (c == b)
            result += bText;
        else
            result += c;
    }
    return result;
}

// The trace writes a call's line ends as the two characters \r and \n.
std::wstring AsTraced(const std::wstring& text) { return ReplaceTwo(text, L'\r', L"\\r", L'\n', L"\\n"); }

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
    const std::wstring kvText = KvHelpText;
    EXPECT_EQ(kvText.size(), 673u);
    EXPECT_EQ(std::count_if(kvText.begin(), kvText.end(), IsMark), 24);
    EXPECT_EQ(std::count(kvText.begin(), kvText.end(), L'\x1c'), 12);
    EXPECT_EQ(std::count(kvText.begin(), kvText.end(), L'\r'), 1);
    EXPECT_EQ(kvText.substr(0, 37), L"Run and time a command repeatedly.\n\nK");
    EXPECT_NE(kvText.find(L" \x1c" L"command\x1d\r\n\n\t/B\toutput to the bit bucket\n"), std::wstring::npos);
    EXPECT_NE(kvText.find(L"no \u201cRun #\x1ci\x1d of \x1cn\x1d\u201d lines\n"), std::wstring::npos);
    EXPECT_NE(kvText.find(L"Use `strong quotes` around the \n"), std::wstring::npos);
    EXPECT_TRUE(EndsWith(kvText, L"precede the \x1c" L"command\x1d. \n"));

    const std::wstring optionText = OptionOHelpText;
    EXPECT_EQ(optionText.size(), 125u);
    EXPECT_EQ(optionText.substr(0, 29), L"KV /O:  \u2014 disable features\n\n\t");
    EXPECT_TRUE(EndsWith(optionText, L"\n\tR\tno recap\n\tT\tno console title bar \n"));

    const std::wstring trialText = TrialRunHelpText;
    EXPECT_EQ(trialText.size(), 108u);
    EXPECT_EQ(trialText.substr(0, 13), L"_TRIALRUN \r\n\n");
    EXPECT_EQ(std::count_if(optionText.begin(), optionText.end(), IsMark) +
                  std::count_if(trialText.begin(), trialText.end(), IsMark),
              0);
}

TEST_F(HelpTest, RedirectedOutputGetsThePlainText) {
    g_state.pseudoConsole = TRUE;  // a pseudo console does not matter when output is a file
    CapturedOutput output;
    int result = ShowHelpText();
    std::wstring out = output.Out();
    EXPECT_EQ(out.size(), 649u);
    EXPECT_EQ(out, WithoutMarks(KvHelpText));
    EXPECT_EQ(out.find(L'\x1b'), std::wstring::npos);
    // What QPuts returned for the text is passed on.
    EXPECT_EQ(result, QPuts(out.c_str()));
}

TEST_F(HelpTest, OrdinaryConsoleGetsThePlainText) {
    ConsoleStdout console;
    ASSERT_TRUE(console.ok());
    HostCallTrace trace;
    ShowHelpText();
    EXPECT_EQ(trace.Text(), L"QPuts: " + AsTraced(WithoutMarks(KvHelpText)) + L"\n");
}

std::wstring EscapedHelp() {
    const std::wstring frame = L"\x1b[23;24m";
    return frame + ReplaceTwo(KvHelpText, L'\x1c', L"\x1b[3m", L'\x1d', L"\x1b[23m") + frame;
}

TEST_F(HelpTest, PseudoConsoleGetsEscapeSequencesAndVirtualTerminalMode) {
    ConsoleStdout console;
    ASSERT_TRUE(console.ok());
    HANDLE conOut = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(conOut, INVALID_HANDLE_VALUE);
    DWORD savedMode = 0;
    ASSERT_TRUE(GetConsoleMode(conOut, &savedMode));
    SetConsoleMode(conOut, savedMode & ~DWORD{ENABLE_VIRTUAL_TERMINAL_PROCESSING});
    g_state.pseudoConsole = TRUE;
    g_state.conOut = conOut;

    std::wstring traced;
    {
        HostCallTrace trace;
        ShowHelpText();
        traced = trace.Text();
    }
    DWORD mode = 0;
    GetConsoleMode(conOut, &mode);
    SetConsoleMode(conOut, savedMode);
    CloseHandle(conOut);

    const std::wstring expected = EscapedHelp();
    EXPECT_EQ(traced, L"QPuts: " + AsTraced(expected) + L"\n");
    EXPECT_LE(expected.size() + 1, 817u);
    EXPECT_NE(expected.find(L" \x1b[3mcommand\x1b[23m\r\n"), std::wstring::npos);
    EXPECT_EQ(mode & (ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING),
              DWORD{ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING});
}

TEST_F(HelpTest, PseudoConsoleWithoutAConsoleDeviceStillGetsEscapes) {
    ConsoleStdout console;
    ASSERT_TRUE(console.ok());
    g_state.pseudoConsole = TRUE;
    g_state.conOut = nullptr;
    HostCallTrace trace;
    ShowHelpText();
    EXPECT_EQ(trace.Text(), L"QPuts: " + AsTraced(EscapedHelp()) + L"\n");
}

TEST_F(HelpTest, FailedAllocationWritesTheRawText) {
    // A small allocation does not fail for real, so the allocator is swapped.
    g_sys.allocate = [](size_t) -> void* { return nullptr; };
    CapturedOutput output;
    ShowHelpText();
    EXPECT_EQ(output.Out(), KvHelpText);
}

// --- Usage

TEST_F(HelpTest, UsageGivesTheCommandLineOfKvOnly) {
    for (const wchar_t* name : {L"kv", L"KV", L"Kv"}) {
        wchar_t buffer[1024];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        ASSERT_EQ(Usage(name, buffer), 1) << name;
        const std::wstring usage = buffer;
        EXPECT_EQ(usage.size(), 637u) << name;
        EXPECT_EQ(usage.substr(0, 9), L"KV /B /D:");
        EXPECT_EQ(usage, std::wstring(KvHelpText).substr(36));
        EXPECT_EQ(buffer[638], L'#') << "nothing written past the terminator";
    }
    for (const wchar_t* name : {L"_trialrun", L"_TRIALRUN", L"@kv", L"_kv", L"kvx", L"k", L"", L"trialrun"}) {
        wchar_t buffer[1024];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        EXPECT_EQ(Usage(name, buffer), 0) << name;
        EXPECT_EQ(std::count(std::begin(buffer), std::end(buffer), L'#'), 1024) << name;
    }
}

// --- Help box

struct BoxSeen {
    std::wstring caption;
    std::wstring text;
    HWND owner = nullptr;
    bool found = false;
};

// The message box's text sits in its longest static control.
BOOL CALLBACK ReadStaticText(HWND child, LPARAM param) {
    wchar_t className[64] = {};
    GetClassNameW(child, className, 64);
    if (_wcsicmp(className, L"Static") == 0) {
        wchar_t text[2048] = {};
        GetWindowTextW(child, text, 2048);
        auto* seen = reinterpret_cast<BoxSeen*>(param);
        if (wcslen(text) > seen->text.size()) seen->text = text;
    }
    return TRUE;
}

// Waits for the help box on another thread, reads it and presses OK.
class HelpBoxCloser {
public:
    HelpBoxCloser() : thread_([this] { Run(); }) {}
    ~HelpBoxCloser() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    const BoxSeen& Finish() {
        stop_ = true;
        thread_.join();
        return seen_;
    }

private:
    void Run() {
        for (int waited = 0; waited < 10000 && !seen_.found; waited += 20) {
            HWND box = FindWindowW(L"#32770", L"Kelvane Plugin Help");
            if (box) {
                wchar_t caption[256] = {};
                GetWindowTextW(box, caption, 256);
                seen_.caption = caption;
                seen_.owner = GetWindow(box, GW_OWNER);
                EnumChildWindows(box, ReadStaticText, reinterpret_cast<LPARAM>(&seen_));
                seen_.found = true;
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                return;
            }
            if (stop_) return;
            Sleep(20);
        }
    }
    std::atomic<bool> stop_{false};
    BoxSeen seen_;
    std::thread thread_;
};

TEST_F(HelpTest, HelpShowsTheWholeTextOwnedByTheForegroundWindow) {
    // Hidden: under Wine without a window manager every visible window takes
    // two seconds to go away, and a hidden one can still be the foreground.
    HWND front = CreateWindowExW(0, L"STATIC", L"kelvane help owner", WS_POPUP, 0, 0, 200, 100, nullptr, nullptr,
                                 GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(front, nullptr);
    SetForegroundWindow(front);
    HWND foreground = GetForegroundWindow();
    EXPECT_EQ(foreground, front);

    for (const auto& row : {std::pair<const wchar_t*, const wchar_t*>{L"_TRIALRUN", TrialRunHelpText},
                            std::pair<const wchar_t*, const wchar_t*>{L"kv", KvHelpText}}) {
        HelpBoxCloser closer;
        EXPECT_EQ(Help(row.first), 1) << row.first;
        const BoxSeen& seen = closer.Finish();
        ASSERT_TRUE(seen.found) << row.first;
        EXPECT_EQ(seen.caption, L"Kelvane Plugin Help");
        EXPECT_EQ(seen.text, row.second) << row.first;
        EXPECT_EQ(seen.owner, foreground) << row.first;
    }
    DestroyWindow(front);
}

TEST_F(HelpTest, HelpForAnUnknownNameShowsNothing) {
    for (const wchar_t* name : {L"kvx", L"", L"@kv", L"trialrun"}) EXPECT_EQ(Help(name), 0) << name;
    EXPECT_EQ(FindWindowW(L"#32770", L"Kelvane Plugin Help"), nullptr);
}

}  // namespace
