// The KV command through the stand-in host: run counts, headers on the
// console device, _TRIALRUN, user abort, output to nul, the title during and
// after a series, the sound, allocation failure, a KV inside a KV, focus and
// the keep-awake timer.
#include <gtest/gtest.h>
#include <cstdlib>
#include <string>
#include <vector>
#include "console/console_env.h"
#include "console/focus_calls.h"
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "test_support.h"
#include "trials_test_support.h"
#include <mmsystem.h>

namespace {

// What the plug-in's state looked like at each counter reading: the reading
// before a run comes right after the title, the header and the focus change.
struct Probe {
    std::wstring title;
    std::wstring titleOption;
    UINT_PTR jiggleTimer;
    int32_t trialRun;
};
std::vector<Probe> s_probes;
uint64_t s_nextTicks, s_stepTicks;  // step 0: the real counter

BOOL WINAPI ProbingCounter(LARGE_INTEGER* count) {
    s_probes.push_back(Probe{ConsoleTitle(), HostTitleOption(), g_state.jiggleTimer, g_state.trialRun});
    if (!s_stepTicks) return QueryPerformanceCounter(count);
    count->QuadPart = static_cast<LONGLONG>(s_nextTicks);
    s_nextTicks += s_stepTicks;
    return TRUE;
}

// Wine has no sound device, so the sound calls are recorded instead of made.
struct SoundCall {
    std::wstring file;  // empty for a system sound
    ULONG_PTR alias;
    DWORD flags;
    bool afterReport;   // the report's last line had been written
};
std::vector<SoundCall> s_sounds;
const CapturedOutput* s_output;

BOOL WINAPI RecordSound(LPCWSTR sound, HMODULE, DWORD flags) {
    const bool alias = flags & SND_ALIAS_ID;
    s_sounds.push_back(SoundCall{alias ? L"" : sound, alias ? reinterpret_cast<ULONG_PTR>(sound) : 0, flags,
                                 s_output && s_output->Out().find(L"Wall time:") != std::wstring::npos});
    return TRUE;
}

// A heap that gives out only so many blocks; real allocations of this size do not fail.
int s_allocationsLeft;
void* LimitedAllocate(size_t bytes) { return s_allocationsLeft-- > 0 ? std::malloc(bytes) : nullptr; }

// GrabFocus reads the animation setting exactly once per call with a window
// that it has to bring forward.
int s_focusCalls;
BOOL WINAPI CountingSystemParameters(UINT action, UINT param, PVOID value, UINT flags) {
    if (action == SPI_GETANIMATION) ++s_focusCalls;
    return SystemParametersInfoW(action, param, value, flags);
}

// A window in front is left there, so the window is minimised at every
// reading: each focus change has work to do and shows in the count.
HWND s_minimisedAtEachReading;
BOOL WINAPI MinimisingCounter(LARGE_INTEGER* count) {
    ShowWindow(s_minimisedAtEachReading, SW_MINIMIZE);
    return ProbingCounter(count);
}

constexpr SHORT kScreenWidth = 200, kScreenHeight = 400;

class TrialFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        AttachFreshPluginToHost();
        // The run headers go to the console device; a screen buffer of its
        // own stands in for it, so the test can read back what was written.
        screen_ = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            CONSOLE_TEXTMODE_BUFFER, nullptr);
        ASSERT_NE(screen_, INVALID_HANDLE_VALUE);
        SetConsoleScreenBufferSize(screen_, COORD{kScreenWidth, kScreenHeight});
        g_state.conOut = screen_;
        savedTitle_ = ConsoleTitle();
        savedOption_ = HostTitleOption();
        SetHostTitleOption(L"Yes");
        s_probes.clear();
        s_sounds.clear();
        s_nextTicks = 1000000000;
        s_stepTicks = 0;
        s_focusCalls = 0;
        g_sys.queryPerformanceCounter = ProbingCounter;
        g_sys.playSoundW = RecordSound;
    }
    void TearDown() override {
        ResetSysCalls();
        ResetFocusCalls();
        s_output = nullptr;
        if (window_) DestroyWindow(window_);
        if (screen_ != INVALID_HANDLE_VALUE) CloseHandle(screen_);
        ResetPluginStateForTest();
        SetHostTitleOption(savedOption_);
        SetConsoleTitleW(savedTitle_.c_str());
    }

    int Kv(const std::wstring& arguments) {
        std::wstring line = arguments;
        return kv(line.data());
    }
    // The screen buffer's cells, row after row, as one text.
    std::wstring ScreenCells() const {
        std::wstring cells(static_cast<size_t>(kScreenWidth) * kScreenHeight, L' ');
        DWORD read = 0;
        ReadConsoleOutputCharacterW(screen_, cells.data(), static_cast<DWORD>(cells.size()), COORD{0, 0}, &read);
        cells.resize(read);
        return cells;
    }
    // The screen buffer's non-empty rows without their trailing blanks.
    std::vector<std::wstring> ScreenLines() const {
        const std::wstring cells = ScreenCells();
        std::vector<std::wstring> lines;
        for (size_t row = 0; row + kScreenWidth <= cells.size(); row += kScreenWidth) {
            std::wstring line = cells.substr(row, kScreenWidth);
            line.erase(line.find_last_not_of(L' ') + 1);
            if (!line.empty()) lines.push_back(line);
        }
        return lines;
    }
    void ExpectIdleAfterwards() {
        EXPECT_EQ(g_state.trialRun, -1);
        EXPECT_EQ(g_state.jiggleTimer, 0u);
        EXPECT_EQ(g_state.titleSaved, 0u);
        EXPECT_EQ(HostTitleOption(), L"Yes");  // as SetUp left it
        wchar_t value[16] = L"x";
        EXPECT_EQ(_trialrun(value), 0);
        EXPECT_STREQ(value, L"");
    }

    HANDLE screen_ = INVALID_HANDLE_VALUE;
    HWND window_ = nullptr;
    std::wstring savedTitle_, savedOption_;
};

// Every row: the series ends normally, standard handles are back, nothing on
// standard error, no sound, the headers (if any) went to the console device only.
TEST_F(TrialFlowTest, RunCountsErrorsAndOutputFollowTheOptions) {
    const struct {
        const char* name;
        const wchar_t* line;
        const wchar_t* outputPart;
        bool atStart;  // the output begins with outputPart
        uint32_t headers;
        const wchar_t* headerCommand;
    } cases[] = {
        {"drop runs are extra runs and every header counts them all", L"/N:5 /D /O:FJT exitcode 0",
         L"\r\nCommand   :  exitcode 0\r\nTotal runs:  7    Errors:  0    Dropped:  2   Runs counted:  5\r\n", false, 7,
         L"exitcode 0"},
        {"ten percent of 9 drops at least one each", L"/DD /N:9 /Q /O:FJTR rem",
         L"Total runs:  11    Errors:  0    Dropped:  2   Runs counted:  9\r\n", false, 0, L""},
        {"ten percent of 25", L"/DD /N:25 /Q /O:FJTR rem",
         L"Total runs:  29    Errors:  0    Dropped:  4   Runs counted:  25\r\n", false, 0, L""},
        {"ten percent overrides given counts", L"/D:4 /DD /N:25 /Q /O:FJTR rem",
         L"Total runs:  29    Errors:  0    Dropped:  4   Runs counted:  25\r\n", false, 0, L""},
        {"_TRIALRUN counts from one to the total inside the command", L"/N:3 /D /Q /O:FJTR echo [%_trialrun]",
         L"[1]\r\n[2]\r\n[3]\r\n[4]\r\n[5]\r\n\r\nCommand   :  echo [%_trialrun]\r\n", true, 0, L""},
        {"non-zero exit codes are counted errors", L"/N:3 /Q /O:FJT exitcode %_trialrun",
         L"   rv = 3\r\n\r\nCommand   :  exitcode %_trialrun\r\n"
         L"Total runs:  3    Errors:  3    Dropped:  0   Runs counted:  3\r\n",
         false, 0, L""},
        {"/E excludes them", L"/E /N:3 /Q /O:FJT exitcode %_trialrun",
         L"   rv = 3   (excluded)\r\n\r\nCommand   :  exitcode %_trialrun\r\n"
         L"Total runs:  3    Errors:  3    Dropped:  0   Runs counted:  0\r\nWall time:  ",
         false, 0, L""},
        {"zero is no abort code", L"/U:0 /N:2 /Q /O:FJT exitcode 0", L"Runs counted:  2\r\n", false, 0, L""},
        {"/B hides the command's output but neither headers nor report", L"/B /N:2 /O:FJT echo hidden",
         L"\r\nRun #1 of 2:  Time = ", true, 2, L"echo hidden"},
    };
    for (const auto& c : cases) {
        const size_t linesBefore = ScreenLines().size();
        CapturedOutput output;
        const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
        EXPECT_EQ(Kv(c.line), 0) << c.name;
        const std::wstring text = output.Out();
        const size_t at = text.find(c.outputPart);
        EXPECT_TRUE(c.atStart ? at == 0 : at != std::wstring::npos) << c.name << "\n" << text;
        EXPECT_EQ(output.Err(), L"") << c.name;
        EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out) << c.name;
        EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), err) << c.name;
        EXPECT_TRUE(s_sounds.empty()) << c.name;  // only /S plays one
        std::vector<std::wstring> headers;
        for (uint32_t i = 1; i <= c.headers; ++i)
            headers.push_back(L"Run #" + std::to_wstring(i) + L" of " + std::to_wstring(c.headers) + L":  " +
                              c.headerCommand);
        const std::vector<std::wstring> lines = ScreenLines();
        EXPECT_EQ(std::vector<std::wstring>(lines.begin() + static_cast<ptrdiff_t>(linesBefore), lines.end()), headers)
            << c.name;
        if (c.headers) {
            EXPECT_EQ(text.find(headers[0]), std::wstring::npos) << c.name;
        }
        ExpectIdleAfterwards();
    }
}

TEST_F(TrialFlowTest, TenPercentDropsStopAtAThousandEach) {
    g_sys.queryPerformanceCounter = QueryPerformanceCounter;  // no probe at 24,000 readings
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/DD /N:10010 /Q /O:FJTR rem"), 0);
    EXPECT_NE(output.Out().find(L"Total runs:  12010    Errors:  0    Dropped:  2000   Runs counted:  10010\r\n"),
              std::wstring::npos);
}

TEST_F(TrialFlowTest, UserAbortCodeEndsTheSeriesWithoutReportAndRestoresTheHandles) {
    CapturedOutput output;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
    s_output = &output;
    EXPECT_EQ(Kv(L"/U:2 /B /S /N:5 /O:F exitcode %_trialrun"), 3);
    EXPECT_EQ(output.Out(), L"   *  User Abort:  rv = 2\r\n");
    EXPECT_EQ(output.Err(), L"");
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out);
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), err);
    EXPECT_EQ(ScreenLines(), (std::vector<std::wstring>{L"Run #1 of 5:  exitcode %_trialrun",
                                                       L"Run #2 of 5:  exitcode %_trialrun"}));
    EXPECT_TRUE(s_sounds.empty());
    EXPECT_EQ(ConsoleTitle(), L"\u2001");
    ExpectIdleAfterwards();
    // The series' own timer was running and is gone now.
    ASSERT_GE(s_probes.size(), 2u);
    EXPECT_NE(s_probes[1].jiggleTimer, 0u);
    EXPECT_FALSE(KillTimer(nullptr, s_probes[1].jiggleTimer));
}

TEST_F(TrialFlowTest, TitleShowsTheRunAndEstimateAndIsBlankedAfterwards) {
    g_state.perfFrequency = 10000000;
    s_stepTicks = 10000000;  // every counter reading one second after the last
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:3 /Q /O:FJ rem"), 0);
    // Readings: the start, then before and after each run, then the wall time.
    ASSERT_EQ(s_probes.size(), 8u);
    const wchar_t* titles[] = {L"Run #1 of 3: ", L"Run #2 of 3: \u2001\u2001ETR 00:04", L"Run #3 of 3: \u2001\u2001ETR 00:02"};
    for (int run = 0; run < 3; ++run) {
        EXPECT_EQ(s_probes[1 + 2 * run].title, titles[run]) << run;
        EXPECT_EQ(s_probes[1 + 2 * run].titleOption, L"No") << run;
        EXPECT_EQ(s_probes[1 + 2 * run].trialRun, run) << run;
    }
    EXPECT_EQ(s_probes[7].trialRun, -1);
    EXPECT_NE(output.Out().find(L"Wall time:  00:07.000\r\n"), std::wstring::npos) << output.Out();
    EXPECT_EQ(ConsoleTitle(), L"\u2001");
    ExpectIdleAfterwards();
}

// Warm-up runs: made like timed runs after the series is set up, but not
// timed, not recorded and left out of every figure of the report.
TEST_F(TrialFlowTest, WarmUpRunsComeFirstAndNeverReachTheReport) {
    const struct {
        const char* name;
        const wchar_t* line;
        int result;
        const wchar_t* output;  // the output begins with it
        std::vector<std::wstring> headers;
    } cases[] = {
        {"_TRIALRUN reads 0 in warm-up runs", L"/W:2 /N:2 /O:FJTR echo [%_trialrun]", 0,
         L"[0]\r\n[0]\r\n[1]\r\n[2]\r\n\r\nCommand   :  echo [%_trialrun]\r\n"
         L"Total runs:  2    Errors:  0    Dropped:  0   Runs counted:  2\r\n",
         {L"Warm-up #1 of 2:  echo [%_trialrun]", L"Warm-up #2 of 2:  echo [%_trialrun]",
          L"Run #1 of 2:  echo [%_trialrun]", L"Run #2 of 2:  echo [%_trialrun]"}},
        {"exit codes of warm-up runs are no errors", L"/W:3 /N:2 /Q /O:FJTR exitcode 7", 0,
         L"\r\nCommand   :  exitcode 7\r\nTotal runs:  2    Errors:  2    Dropped:  0   Runs counted:  2\r\n", {}},
        {"the abort code ends the series in a warm-up run", L"/W:2 /U:7 /N:3 /O:FJT exitcode 7", 3,
         L"   *  User Abort:  rv = 7\r\n", {L"Warm-up #1 of 2:  exitcode 7"}},
        {"/B hides the output of warm-up runs too", L"/W:2 /B /N:1 /O:FJT echo hidden", 0,
         L"\r\nRun #1 of 1:  Time = ",
         {L"Warm-up #1 of 2:  echo hidden", L"Warm-up #2 of 2:  echo hidden", L"Run #1 of 1:  echo hidden"}},
        {"/W:0 makes none", L"/W:0 /N:1 /O:FJTR echo x", 0, L"x\r\n\r\nCommand   :  echo x\r\n",
         {L"Run #1 of 1:  echo x"}},
    };
    for (const auto& c : cases) {
        const size_t linesBefore = ScreenLines().size();
        CapturedOutput output;
        EXPECT_EQ(Kv(c.line), c.result) << c.name;
        EXPECT_EQ(output.Out().find(c.output), 0u) << c.name << "\n" << output.Out();
        EXPECT_EQ(output.Err(), L"") << c.name;
        const std::vector<std::wstring> lines = ScreenLines();
        EXPECT_EQ(std::vector<std::wstring>(lines.begin() + static_cast<ptrdiff_t>(linesBefore), lines.end()), c.headers)
            << c.name;
        ExpectIdleAfterwards();
    }
}

TEST_F(TrialFlowTest, WarmUpTitlesHaveNoEstimateAndTheEstimateCountsFromTheirEnd) {
    g_state.perfFrequency = 10000000;
    s_stepTicks = 10000000;  // every counter reading one second after the last
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/W:2 /N:3 /Q /O:F rem"), 0);
    // Readings: the start, after each warm-up run, before and after each
    // timed run, then the wall time.
    ASSERT_EQ(s_probes.size(), 10u);
    const struct {
        size_t reading;
        const wchar_t* title;
        int32_t trialRun;
    } expected[] = {
        {1, L"Warm-up #1 of 2: ", kWarmUpRun},
        {2, L"Warm-up #2 of 2: ", kWarmUpRun},
        {3, L"Run #1 of 3: ", 0},
        // Two seconds for the first timed run, not the four since the start.
        {5, L"Run #2 of 3: \u2001\u2001ETR 00:04", 1},
        {7, L"Run #3 of 3: \u2001\u2001ETR 00:02", 2},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(s_probes[e.reading].title, e.title) << e.reading;
        EXPECT_EQ(s_probes[e.reading].trialRun, e.trialRun) << e.reading;
        EXPECT_EQ(s_probes[e.reading].titleOption, L"No") << e.reading;
        EXPECT_NE(s_probes[e.reading].jiggleTimer, 0u) << e.reading;
    }
    // The wall time covers the warm-up runs; the total only the timed ones.
    EXPECT_NE(output.Out().find(L"Total time:  00:03.000    Wall time:  00:09.000\r\n"), std::wstring::npos)
        << output.Out();
    ExpectIdleAfterwards();
}

// The title comes before the first run of each kind, then once the latest
// reading is 100 ms (a million ticks) past the one it was last written at.
TEST_F(TrialFlowTest, TitleIsWrittenAtMostTenTimesASecond) {
    g_state.perfFrequency = 10000000;
    // The ticks from one counter reading to the next; the titles seen at the readings, up to their colons.
    const struct { const wchar_t* line; uint64_t stepTicks; const wchar_t* heads; } cases[] = {
        {L"/N:4 /Q /O:FJ rem", 500000, L"|before|Run #1 of 4|Run #2 of 4|Run #3 of 4|Run #4 of 4"},
        {L"/N:5 /Q /O:FJ rem", 499999, L"|before|Run #1 of 5|Run #3 of 5|Run #5 of 5"},
        {L"/W:3 /N:2 /Q /O:FJ rem", 999999, L"|before|Warm-up #1 of 3|Warm-up #3 of 3|Run #1 of 2|Run #2 of 2"},
    };
    for (const auto& c : cases) {
        SetConsoleTitleW(L"before");
        s_probes.clear();
        s_stepTicks = c.stepTicks;
        CapturedOutput output;
        EXPECT_EQ(Kv(c.line), 0) << c.line;
        std::wstring heads, last;
        for (const Probe& probe : s_probes) {
            const std::wstring head = probe.title.substr(0, probe.title.find(L':'));
            if (head != last) heads += L"|" + (last = head);
        }
        EXPECT_EQ(heads, c.heads) << c.line << ", step " << c.stepTicks;
    }
}

// Focus before every run and the summary, the keep-awake timer and the title
// each have their own letter; every row leaves exactly one of them on.
TEST_F(TrialFlowTest, EachOptionLetterTurnsOffOnlyItsOwnPart) {
    window_ = CreateWindowExW(0, L"STATIC", L"host window", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                              nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
    g_state.cachedWindow = window_;
    g_state.windowCacheValid = TRUE;
    g_systemParameters = CountingSystemParameters;
    s_minimisedAtEachReading = window_;
    g_sys.queryPerformanceCounter = MinimisingCounter;
    const struct {
        const wchar_t* options;
        int focusCalls;
        bool timer, title;
    } cases[] = {
        {L"/O:JT", 4, false, false},
        {L"/O:FT", 0, true, false},
        {L"/O:FJ", 0, false, true},
    };
    for (const auto& c : cases) {
        SetConsoleTitleW(L"untouched");
        s_probes.clear();
        s_focusCalls = 0;
        CapturedOutput output;
        EXPECT_EQ(Kv(std::wstring(c.options) + L" /N:3 /Q rem"), 0) << c.options;
        EXPECT_EQ(s_focusCalls, c.focusCalls) << c.options;
        ASSERT_GE(s_probes.size(), 4u) << c.options;
        EXPECT_EQ(s_probes[1].jiggleTimer != 0, c.timer) << c.options;
        EXPECT_EQ(s_probes[3].jiggleTimer, s_probes[1].jiggleTimer) << c.options;  // one timer for the series
        EXPECT_EQ(s_probes[1].title, c.title ? L"Run #1 of 3: " : L"untouched") << c.options;
        EXPECT_EQ(s_probes[1].titleOption, c.title ? L"No" : L"Yes") << c.options;
        EXPECT_EQ(ConsoleTitle(), c.title ? L"\u2001" : L"untouched") << c.options;
        ExpectIdleAfterwards();
    }
}

TEST_F(TrialFlowTest, SoundPlaysOnceAfterTheReport) {
    const std::wstring dir = MakeTempDir();
    const std::wstring wav = dir + L"\\chime.wav";
    WriteTextFile(wav, L"RIFF");
    const struct {
        std::wstring option, file;
        DWORD flags;
        ULONG_PTR alias;
    } cases[] = {
        {L"/S", L"", SND_ALIAS_ID | SND_ASYNC, static_cast<ULONG_PTR>(SND_ALIAS_SYSTEMASTERISK)},
        {L"/S:" + wav, wav, SND_FILENAME | SND_ASYNC, 0},
    };
    for (const auto& c : cases) {
        CapturedOutput output;
        s_output = &output;
        s_sounds.clear();
        EXPECT_EQ(Kv(c.option + L" /N:2 /Q /O:FJT rem"), 0);
        ASSERT_EQ(s_sounds.size(), 1u) << c.option;
        EXPECT_EQ(s_sounds[0].flags, c.flags) << c.option;
        EXPECT_EQ(s_sounds[0].alias, c.alias) << c.option;
        EXPECT_EQ(CompareStringOrdinal(s_sounds[0].file.c_str(), -1, c.file.c_str(), -1, TRUE), CSTR_EQUAL)
            << s_sounds[0].file;
        EXPECT_TRUE(s_sounds[0].afterReport) << c.option;
    }
    RemoveTree(dir);
}


TEST_F(TrialFlowTest, InnerKvChangesNeitherTheOuterCommandNorItsTimerOrTitleState) {
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:2 /O:F kv /N:1 /O:FJ echo inner"), 0);
    const std::wstring out = output.Out();
    EXPECT_EQ(CountOccurrences(out, L"Command   :  echo inner\r\nTotal runs:  1 "), 2u) << out;
    EXPECT_EQ(CountOccurrences(out, L"Command   :  kv /N:1 /O:FJ echo inner\r\nTotal runs:  2 "), 1u) << out;
    EXPECT_EQ(CountOccurrences(ScreenCells(), L"Run #2 of 2:  kv /N:1 /O:FJ echo inner "), 1u);
    // Readings: outer start, outer run 1 before, inner start/before/after/wall,
    // outer run 1 after, outer run 2 before, inner again, outer after and wall.
    ASSERT_EQ(s_probes.size(), 14u);
    const UINT_PTR outerTimer = s_probes[1].jiggleTimer;
    EXPECT_NE(outerTimer, 0u);
    for (size_t i = 1; i < 13; ++i) {
        EXPECT_EQ(s_probes[i].jiggleTimer, outerTimer) << i;
        EXPECT_EQ(s_probes[i].titleOption, L"No") << i;
    }
    // The outer series writes its own title again once the inner one is done.
    EXPECT_EQ(s_probes[7].title.rfind(L"Run #2 of 2: \u2001\u2001ETR ", 0), 0u) << s_probes[7].title;
    ExpectIdleAfterwards();
    EXPECT_FALSE(KillTimer(nullptr, outerTimer));
    EXPECT_EQ(ConsoleTitle(), L"\u2001");
}

TEST_F(TrialFlowTest, InnerKvStartsAndStopsItsOwnTimerWhenTheOuterHasNone) {
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:1 /O:FJT /Q kv /N:1 /O:FT /Q rem"), 0);
    ASSERT_EQ(s_probes.size(), 8u);
    EXPECT_EQ(s_probes[1].jiggleTimer, 0u);
    EXPECT_NE(s_probes[3].jiggleTimer, 0u);
    EXPECT_EQ(s_probes[6].jiggleTimer, 0u);
    EXPECT_FALSE(KillTimer(nullptr, s_probes[3].jiggleTimer));
    ExpectIdleAfterwards();
}

TEST_F(TrialFlowTest, HighlightedHeaderSwitchesColoursAroundTheRunLineOnly) {
    wchar_t saved[2][64] = {};
    const wchar_t* names[] = {L"NO_COLOR", L"Highlight"};
    bool had[2];
    for (int i = 0; i < 2; ++i) {
        had[i] = GetEnvironmentVariableW(names[i], saved[i], 64) > 0;
        SetEnvironmentVariableW(names[i], nullptr);
    }
    {
        ConsoleStdout console;  // a highlight is chosen only for console output
        ASSERT_TRUE(console.ok());
        HostCallTrace trace;
        EXPECT_EQ(Kv(L"/N:1 /O:FJTR rem"), 0);
        ASSERT_NE(g_state.highlightAttr, 0);
        wchar_t highlightCall[32], normalCall[32];
        swprintf(highlightCall, 32, L"SetColors: 0x%02X\n", g_state.highlightAttr);
        swprintf(normalCall, 32, L"SetColors: 0x%02X\n", g_state.normalAttr);
        const std::wstring calls = trace.Text();
        const size_t run = calls.find(L"Command: rem");
        ASSERT_NE(run, std::wstring::npos) << calls;
        // Header: highlight, normal, then the command; the summary switches again after it.
        EXPECT_EQ(calls.find(highlightCall), calls.rfind(highlightCall, run)) << calls;
        EXPECT_LT(calls.find(highlightCall), calls.find(normalCall)) << calls;
        EXPECT_LT(calls.find(normalCall), run) << calls;
        EXPECT_NE(calls.find(highlightCall, run), std::wstring::npos) << calls;

        // A KV inside the command without colours leaves the outer summary its highlight.
        HostCallTrace nested;
        EXPECT_EQ(Kv(L"/N:1 /Q /O:FJTR kv /N:1 /Q /O:CFJTR rem"), 0);
        const std::wstring nestedCalls = nested.Text();
        const size_t innerEnd = nestedCalls.find(L"-> 0");
        ASSERT_NE(innerEnd, std::wstring::npos) << nestedCalls;
        EXPECT_NE(nestedCalls.find(highlightCall, innerEnd), std::wstring::npos) << nestedCalls;
    }
    EXPECT_EQ(ScreenLines(), std::vector<std::wstring>{L"Run #1 of 1:  rem"});
    for (int i = 0; i < 2; ++i) SetEnvironmentVariableW(names[i], had[i] ? saved[i] : nullptr);
}

TEST_F(TrialFlowTest, LongCommandReachesTheHeaderWhole) {
    const std::wstring command = L"rem " + std::wstring(8000, L'x');
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:1 /O:FJT " + command), 0);
    EXPECT_EQ(CountOccurrences(ScreenCells(), L"Run #1 of 1:  " + command + L" "), 1u);
    EXPECT_NE(output.Out().find(L"Command   :  " + command + L"\r\n"), std::wstring::npos);
}

TEST_F(TrialFlowTest, WithoutAConsoleDeviceTheRunsGoAheadWithoutHeaders) {
    g_state.conOut = nullptr;
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:2 /O:FJT echo ran"), 0);
    EXPECT_EQ(output.Out().find(L"ran\r\nran\r\n\r\nRun #1 of 2:  Time = "), 0u) << output.Out();
    EXPECT_EQ(ScreenLines(), std::vector<std::wstring>{});
}

TEST_F(TrialFlowTest, OptionErrorsAndAllocationFailuresEndTheCommandBeforeAnyRun) {
    EXPECT_EQ(kv(nullptr), ERROR_INVALID_PARAMETER);
    g_sys.allocate = LimitedAllocate;
    // The two record arrays and the copy of the command text: any may fail.
    const struct {
        const wchar_t* line;
        int allocations;
        int result;
        const wchar_t* error;
    } cases[] = {
        {L"/N:2", 3, 1, L"Kelvane plugin: Missing command\r\n"},
        {L"/N:2 echo ran", 0, 2, L"Kelvane plugin: Error allocating data array\r\n"},
        {L"/N:2 echo ran", 1, 2, L"Kelvane plugin: Error allocating data array\r\n"},
        {L"/N:2 echo ran", 2, 2, L"Kelvane plugin: Error allocating data array\r\n"},
    };
    for (const auto& c : cases) {
        s_allocationsLeft = c.allocations;
        SetConsoleTitleW(L"untouched");
        CapturedOutput output;
        EXPECT_EQ(Kv(c.line), c.result) << c.allocations;
        EXPECT_EQ(output.Err(), c.error) << c.allocations;
        EXPECT_EQ(output.Out(), L"") << c.allocations;
        EXPECT_EQ(ConsoleTitle(), L"untouched") << c.allocations;
        ExpectIdleAfterwards();
    }
    EXPECT_EQ(ScreenLines(), std::vector<std::wstring>{});
    s_allocationsLeft = 3;  // all it needs
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:2 /O:FJT echo ran"), 0);
    EXPECT_EQ(output.Out().find(L"ran\r\nran\r\n"), 0u);
}

}  // namespace
