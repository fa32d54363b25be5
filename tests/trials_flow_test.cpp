// The KV command through the stand-in host: run counts, headers on the
// console device, _TRIALRUN, user abort, output to nul, the title during and
// after a series, the sound, allocation failure, a KV inside a KV, focus and
// the keep-awake timer.
#include <gtest/gtest.h>
#include <cstdlib>
#include <string>
#include <vector>
#include "console/console_env.h"
#include "console/focus_keepawake.h"
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
    uint64_t ticks;
    std::wstring title;
    std::wstring titleOption;
    UINT_PTR jiggleTimer;
    uint32_t titleSaved;
    int32_t trialRun;
};
std::vector<Probe> s_probes;
uint64_t s_nextTicks, s_stepTicks;  // step 0: the real counter

BOOL WINAPI ProbingCounter(LARGE_INTEGER* count) {
    Probe probe{0, ConsoleTitle(), HostTitleOption(), g_state.jiggleTimer, g_state.titleSaved, g_state.trialRun};
    if (s_stepTicks) {
        count->QuadPart = static_cast<LONGLONG>(s_nextTicks);
        s_nextTicks += s_stepTicks;
    } else {
        QueryPerformanceCounter(count);
    }
    probe.ticks = static_cast<uint64_t>(count->QuadPart);
    s_probes.push_back(probe);
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
    SoundCall call{L"", 0, flags, s_output && s_output->Out().find(L"Wall time:") != std::wstring::npos};
    if (flags & SND_ALIAS_ID)
        call.alias = reinterpret_cast<ULONG_PTR>(sound);
    else
        call.file = sound;
    s_sounds.push_back(call);
    return TRUE;
}

// A heap that gives out only so many blocks; real allocations of this size do not fail.
int s_allocationsLeft;
void* LimitedAllocate(size_t bytes) { return s_allocationsLeft-- > 0 ? std::malloc(bytes) : nullptr; }

// GrabFocus reads the animation setting exactly once per call with a window.
int s_focusCalls;
BOOL WINAPI CountingSystemParameters(UINT action, UINT param, PVOID value, UINT flags) {
    if (action == SPI_GETANIMATION) ++s_focusCalls;
    return SystemParametersInfoW(action, param, value, flags);
}

size_t Occurrences(const std::wstring& text, const std::wstring& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

constexpr SHORT kScreenWidth = 200, kScreenHeight = 400;

class TrialFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPluginStateForTest();
        AttachSelfToHost();
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        g_state.perfFrequency = static_cast<uint64_t>(frequency.QuadPart);
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
    void UseHostWindow() {
        window_ = CreateWindowExW(0, L"STATIC", L"host window", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                  nullptr, nullptr);
        ASSERT_NE(window_, nullptr);
        g_state.cachedWindow = window_;
        g_state.windowCacheValid = TRUE;
        g_systemParameters = CountingSystemParameters;
    }
    void ExpectIdleAfterwards() {
        EXPECT_EQ(g_state.trialRun, -1);
        EXPECT_EQ(g_state.jiggleTimer, 0u);
        EXPECT_EQ(g_state.titleSaved, 0u);
        wchar_t value[16] = L"x";
        EXPECT_EQ(_trialrun(value), 0);
        EXPECT_STREQ(value, L"");
    }

    HANDLE screen_ = INVALID_HANDLE_VALUE;
    HWND window_ = nullptr;
    std::wstring savedTitle_, savedOption_;
};

TEST_F(TrialFlowTest, DropRunsAreExtraRunsAndEveryHeaderCountsThemAll) {
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:5 /D /O:FJT exitcode 0"), 0);
    std::vector<std::wstring> expected;
    for (int i = 1; i <= 7; ++i) expected.push_back(L"Run #" + std::to_wstring(i) + L" of 7:  exitcode 0");
    EXPECT_EQ(ScreenLines(), expected);
    const std::wstring out = output.Out();
    EXPECT_NE(out.find(L"\r\nCommand   :  exitcode 0\r\nTotal runs:  7    Errors:  0    Dropped:  2   Runs counted:  5\r\n"),
              std::wstring::npos)
        << out;
    // Headers never go through standard output.
    EXPECT_EQ(out.find(L"Run #1 of 7:  exitcode"), std::wstring::npos) << out;
    EXPECT_EQ(output.Err(), L"");
    ExpectIdleAfterwards();
}

TEST_F(TrialFlowTest, TenPercentDropsFollowTheRequestedRunsAndOverrideGivenCounts) {
    const struct {
        const wchar_t* options;
        const wchar_t* counts;
    } cases[] = {
        {L"/DD /N:9", L"Total runs:  11    Errors:  0    Dropped:  2   Runs counted:  9\r\n"},
        {L"/DD /N:25", L"Total runs:  29    Errors:  0    Dropped:  4   Runs counted:  25\r\n"},
        {L"/D /DD /N:25", L"Total runs:  29    Errors:  0    Dropped:  4   Runs counted:  25\r\n"},
        {L"/DD /D /N:25", L"Total runs:  29    Errors:  0    Dropped:  4   Runs counted:  25\r\n"},
        {L"/DD /N:3", L"Total runs:  5    Errors:  0    Dropped:  2   Runs counted:  3\r\n"},
    };
    for (const auto& c : cases) {
        CapturedOutput output;
        EXPECT_EQ(Kv(std::wstring(c.options) + L" /Q /O:FJTR rem"), 0) << c.options;
        EXPECT_NE(output.Out().find(c.counts), std::wstring::npos) << c.options << "\n" << output.Out();
    }
    EXPECT_EQ(ScreenLines(), std::vector<std::wstring>{});
}

TEST_F(TrialFlowTest, TrialRunCountsFromOneToTheTotalInsideTheTimedCommand) {
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:3 /D /Q /O:FJTR echo [%_trialrun]"), 0);
    const std::wstring out = output.Out();
    EXPECT_EQ(out.find(L"[1]\r\n[2]\r\n[3]\r\n[4]\r\n[5]\r\n\r\nCommand   :  echo [%_trialrun]\r\n"), 0u) << out;
    ExpectIdleAfterwards();
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
    EXPECT_EQ(HostTitleOption(), L"Yes");
    EXPECT_EQ(ConsoleTitle(), L"\u2001");
    ExpectIdleAfterwards();
    // A series' own timer was running and is gone now.
    ASSERT_GE(s_probes.size(), 2u);
    EXPECT_NE(s_probes[1].jiggleTimer, 0u);
    EXPECT_FALSE(KillTimer(nullptr, s_probes[1].jiggleTimer));

    // Zero is no abort code, even for a command that returns zero.
    CapturedOutput again;
    EXPECT_EQ(Kv(L"/U:0 /N:2 /Q /O:FJT exitcode 0"), 0);
    EXPECT_NE(again.Out().find(L"Runs counted:  2"), std::wstring::npos);
}

TEST_F(TrialFlowTest, NonZeroExitCodesAreErrorsAndExcludedOnlyWhenAsked) {
    CapturedOutput counted;
    EXPECT_EQ(Kv(L"/N:3 /Q /O:FJTR exitcode %_trialrun"), 0);
    EXPECT_NE(counted.Out().find(L"Total runs:  3    Errors:  3    Dropped:  0   Runs counted:  3\r\n"), std::wstring::npos)
        << counted.Out();
    CapturedOutput excluded;
    EXPECT_EQ(Kv(L"/E /N:3 /Q /O:FJT exitcode %_trialrun"), 0);
    const std::wstring out = excluded.Out();
    EXPECT_NE(out.find(L"Run #3 of 3:  Time = "), std::wstring::npos) << out;
    EXPECT_EQ(Occurrences(out, L"   (excluded)\r\n"), 3u) << out;
    EXPECT_NE(out.find(L"Total runs:  3    Errors:  3    Dropped:  0   Runs counted:  0\r\nWall time:  "),
              std::wstring::npos)
        << out;
}

TEST_F(TrialFlowTest, BitBucketHidesTheCommandOutputButNeitherHeadersNorReport) {
    {
        CapturedOutput visible;
        EXPECT_EQ(Kv(L"/N:2 /O:FJT echo shown"), 0);
        EXPECT_EQ(visible.Out().find(L"shown\r\nshown\r\n"), 0u) << visible.Out();
    }
    CapturedOutput output;
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    EXPECT_EQ(Kv(L"/B /N:2 /O:FJT echo hidden"), 0);
    // Only the report's command line names it.
    EXPECT_EQ(Occurrences(output.Out(), L"hidden\r\n"), 1u) << output.Out();
    EXPECT_EQ(output.Out().find(L"\r\nRun #1 of 2:  Time = "), 0u) << output.Out();
    EXPECT_NE(output.Out().find(L"Command   :  echo hidden\r\n"), std::wstring::npos);
    EXPECT_EQ(output.Err(), L"");
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out);
    const std::vector<std::wstring> lines = ScreenLines();
    EXPECT_EQ(std::vector<std::wstring>(lines.end() - 2, lines.end()),
              (std::vector<std::wstring>{L"Run #1 of 2:  echo hidden", L"Run #2 of 2:  echo hidden"}));
}

TEST_F(TrialFlowTest, TitleShowsTheRunAndEstimateAndIsBlankedAfterwards) {
    g_state.perfFrequency = 10000000;
    s_stepTicks = 10000000;  // every counter reading one second after the last
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:3 /Q /O:FJ rem"), 0);
    // Readings: the start, then before and after each run, then the wall time.
    ASSERT_EQ(s_probes.size(), 8u);
    EXPECT_EQ(s_probes[1].title, L"Run #1 of 3: ");
    EXPECT_EQ(s_probes[3].title, L"Run #2 of 3: \u2001\u2001ETR 00:04");
    EXPECT_EQ(s_probes[5].title, L"Run #3 of 3: \u2001\u2001ETR 00:02");
    for (int i : {1, 3, 5}) {
        EXPECT_EQ(s_probes[i].titleOption, L"No") << i;
        EXPECT_EQ(s_probes[i].trialRun, (i - 1) / 2) << i;
    }
    EXPECT_EQ(s_probes[7].trialRun, -1);
    EXPECT_NE(output.Out().find(L"Wall time:  00:07.000\r\n"), std::wstring::npos) << output.Out();
    EXPECT_EQ(ConsoleTitle(), L"\u2001");
    EXPECT_EQ(HostTitleOption(), L"Yes");
    ExpectIdleAfterwards();
}

TEST_F(TrialFlowTest, TitleBarOffLeavesTitleAndHostOptionAlone) {
    SetConsoleTitleW(L"untouched");
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/O:FJT /N:2 /Q rem"), 0);
    ASSERT_GE(s_probes.size(), 4u);
    EXPECT_EQ(s_probes[1].title, L"untouched");
    EXPECT_EQ(s_probes[1].titleOption, L"Yes");
    EXPECT_EQ(ConsoleTitle(), L"untouched");
    EXPECT_EQ(HostTitleOption(), L"Yes");
}

TEST_F(TrialFlowTest, SoundPlaysOnceAfterTheReport) {
    CapturedOutput output;
    s_output = &output;
    EXPECT_EQ(Kv(L"/S /N:2 /Q /O:FJT rem"), 0);
    ASSERT_EQ(s_sounds.size(), 1u);
    EXPECT_EQ(s_sounds[0].flags, static_cast<DWORD>(SND_ALIAS_ID | SND_ASYNC));
    EXPECT_EQ(s_sounds[0].alias, static_cast<ULONG_PTR>(SND_ALIAS_SYSTEMASTERISK));
    EXPECT_TRUE(s_sounds[0].afterReport);

    const std::wstring dir = MakeTempDir();
    const std::wstring wav = dir + L"\\chime.wav";
    WriteTextFile(wav, L"RIFF");
    s_sounds.clear();
    EXPECT_EQ(Kv(L"/S:" + wav + L" /N:2 /Q /O:FJT rem"), 0);
    ASSERT_EQ(s_sounds.size(), 1u);
    EXPECT_EQ(s_sounds[0].flags, static_cast<DWORD>(SND_FILENAME | SND_ASYNC));
    EXPECT_EQ(CompareStringOrdinal(s_sounds[0].file.c_str(), -1, wav.c_str(), -1, TRUE), CSTR_EQUAL)
        << s_sounds[0].file;
    EXPECT_TRUE(s_sounds[0].afterReport);
    RemoveTree(dir);

    s_sounds.clear();
    EXPECT_EQ(Kv(L"/N:2 /Q /O:FJT rem"), 0);
    EXPECT_TRUE(s_sounds.empty());
}

TEST_F(TrialFlowTest, AllocationFailureEndsTheCommandBeforeAnyRun) {
    g_sys.allocate = LimitedAllocate;
    // The two record arrays and the copy of the command text: any may fail.
    for (int granted : {0, 1, 2}) {
        s_allocationsLeft = granted;
        SetConsoleTitleW(L"untouched");
        CapturedOutput output;
        EXPECT_EQ(Kv(L"/N:2 echo ran"), 2) << granted;
        EXPECT_EQ(output.Err(), L"Kelvane plugin: Error allocating data array\r\n") << granted;
        EXPECT_EQ(output.Out(), L"") << granted;
        EXPECT_EQ(ConsoleTitle(), L"untouched");
        EXPECT_EQ(HostTitleOption(), L"Yes");
        ExpectIdleAfterwards();
    }
    EXPECT_EQ(ScreenLines(), std::vector<std::wstring>{});
    s_allocationsLeft = 3;
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:2 /O:FJT echo ran"), 0);
    EXPECT_EQ(output.Out().find(L"ran\r\nran\r\n"), 0u);
}

TEST_F(TrialFlowTest, InnerKvChangesNeitherTheOuterCommandNorItsTimerOrTitleState) {
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:2 /O:F kv /N:1 /O:FJ echo inner"), 0);
    const std::wstring out = output.Out();
    EXPECT_EQ(Occurrences(out, L"Command   :  echo inner\r\nTotal runs:  1 "), 2u) << out;
    EXPECT_EQ(Occurrences(out, L"Command   :  kv /N:1 /O:FJ echo inner\r\nTotal runs:  2 "), 1u) << out;
    EXPECT_EQ(Occurrences(ScreenCells(), L"Run #2 of 2:  kv /N:1 /O:FJ echo inner "), 1u);
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
    EXPECT_EQ(HostTitleOption(), L"Yes");
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

TEST_F(TrialFlowTest, FocusGoesToTheHostWindowBeforeEveryRunAndTheSummaryUnlessTurnedOff) {
    UseHostWindow();
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/O:FJT /N:3 /Q rem"), 0);
    EXPECT_EQ(s_focusCalls, 0);
    EXPECT_EQ(Kv(L"/N:3 /Q /O:JT rem"), 0);
    EXPECT_EQ(s_focusCalls, 4);
}

TEST_F(TrialFlowTest, KeepAwakeTimerRunsOnlyWithoutTheJOption) {
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/O:FJT /N:2 /Q rem"), 0);
    ASSERT_GE(s_probes.size(), 4u);
    EXPECT_EQ(s_probes[1].jiggleTimer, 0u);
    EXPECT_EQ(s_probes[3].jiggleTimer, 0u);
    s_probes.clear();
    EXPECT_EQ(Kv(L"/N:2 /Q /O:FT rem"), 0);
    ASSERT_GE(s_probes.size(), 4u);
    EXPECT_NE(s_probes[1].jiggleTimer, 0u);
    EXPECT_EQ(s_probes[3].jiggleTimer, s_probes[1].jiggleTimer);
    ExpectIdleAfterwards();
}

TEST_F(TrialFlowTest, HighlightedHeaderSwitchesColoursAroundTheRunLineOnly) {
    wchar_t noColor[64] = {}, highlight[64] = {};
    const bool hadNoColor = GetEnvironmentVariableW(L"NO_COLOR", noColor, 64) > 0;
    const bool hadHighlight = GetEnvironmentVariableW(L"Highlight", highlight, 64) > 0;
    SetEnvironmentVariableW(L"NO_COLOR", nullptr);
    SetEnvironmentVariableW(L"Highlight", nullptr);
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
    SetEnvironmentVariableW(L"NO_COLOR", hadNoColor ? noColor : nullptr);
    SetEnvironmentVariableW(L"Highlight", hadHighlight ? highlight : nullptr);
}

TEST_F(TrialFlowTest, LongCommandReachesTheHeaderWhole) {
    const std::wstring command = L"rem " + std::wstring(8000, L'x');
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:1 /O:FJT " + command), 0);
    EXPECT_EQ(Occurrences(ScreenCells(), L"Run #1 of 1:  " + command + L" "), 1u);
    EXPECT_NE(output.Out().find(L"Command   :  " + command + L"\r\n"), std::wstring::npos);
}

TEST_F(TrialFlowTest, WithoutAConsoleDeviceTheRunsGoAheadWithoutHeaders) {
    g_state.conOut = nullptr;
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:2 /O:FJT echo ran"), 0);
    EXPECT_EQ(output.Out().find(L"ran\r\nran\r\n\r\nRun #1 of 2:  Time = "), 0u) << output.Out();
    EXPECT_EQ(ScreenLines(), std::vector<std::wstring>{});
}

TEST_F(TrialFlowTest, NullArgumentIsRefusedAndOptionErrorsEndBeforeAnyRun) {
    EXPECT_EQ(kv(nullptr), ERROR_INVALID_PARAMETER);
    CapturedOutput output;
    EXPECT_EQ(Kv(L"/N:2"), 1);
    EXPECT_EQ(output.Err(), L"Kelvane plugin: Missing command\r\n");
    EXPECT_EQ(ScreenLines(), std::vector<std::wstring>{});
    ExpectIdleAfterwards();
}

}  // namespace
