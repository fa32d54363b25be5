// The console title while a series runs: the run number, the estimate of the
// time left, and switching the host's own title updating off and back.
#include <gtest/gtest.h>
#include <string>
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "trials/title_progress.h"
#include "test_support.h"
#include "trials_test_support.h"

namespace {

constexpr uint64_t kFrequency = 10000000;
constexpr uint64_t kTicksPerMs = kFrequency / 1000;

class TitleProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPluginStateForTest();
        g_state.perfFrequency = kFrequency;
        savedTitle_ = ConsoleTitle();
        savedOption_ = HostTitleOption();
    }
    void TearDown() override {
        ResetPluginStateForTest();
        SetHostTitleOption(savedOption_);
        SetConsoleTitleW(savedTitle_.c_str());
    }

private:
    std::wstring savedTitle_, savedOption_;
};

TEST_F(TitleProgressTest, EstimateIsRoundedToTheNearestSecondHalvesUp) {
    const struct {
        uint64_t ticks;
        const wchar_t* text;
    } cases[] = {
        {0, L"00:00"},           {29499 * kTicksPerMs, L"00:29"},     {29500 * kTicksPerMs, L"00:30"},
        {108000 * kTicksPerMs, L"01:48"},   {3599499 * kTicksPerMs, L"59:59"},  {3599500 * kTicksPerMs, L"1:00:00"},
        {86399499 * kTicksPerMs, L"23:59:59"}, {360000000 * kTicksPerMs, L"100:00:00"},
        {29500 * kTicksPerMs - 1, L"00:29"},  // below a millisecond is cut off before rounding
    };
    for (const auto& c : cases) EXPECT_STREQ(FormatEta(c.ticks), c.text) << c.ticks;
}

TEST_F(TitleProgressTest, TitleNamesTheRunAndEstimatesFromTheAverageOfTheFinishedOnes) {
    const struct {
        const char* name;
        int32_t finishedRuns;
        uint32_t totalRuns;
        uint64_t elapsed;
        const wchar_t* title;
    } cases[] = {
        {"first run: number only", 0, 12, 0, L"Run #1 of 12: "},
        {"time before the first run gives no estimate", 0, 12, 5000 * kTicksPerMs, L"Run #1 of 12: "},
        {"12 s per finished run, 9 runs left", 3, 12, 36000 * kTicksPerMs, L"Run #4 of 12: \u2001\u2001ETR 01:48"},
        {"before the last run: one average run", 11, 12, 11 * 42400 * kTicksPerMs,
         L"Run #12 of 12: \u2001\u2001ETR 00:42"},
        // 2 ticks over 3 runs is 0 per run, not 2/3 of a tick for ten million.
        {"time per run truncated to a whole tick first", 3, 10000003, 2, L"Run #4 of 10000003: \u2001\u2001ETR 00:00"},
    };
    for (const auto& c : cases) {
        g_state.trialRun = c.finishedRuns;
        EXPECT_EQ(SetProgressTitle(c.totalRuns, c.elapsed), 0) << c.name;
        EXPECT_EQ(ConsoleTitle(), c.title) << c.name;
    }
}

TEST_F(TitleProgressTest, SuspendSwitchesTheHostOptionOffAndRestorePutsItBack) {
    const struct {
        const wchar_t* before;
        uint32_t state;
        const wchar_t* after;
    } cases[] = {
        {L"Yes", 2, L"Yes"},
        {L"yes", 2, L"Yes"},
        {L"No", 1, L"No"},
        {L"Nonsense", 1, L"No"},
    };
    for (const auto& c : cases) {
        SetHostTitleOption(c.before);
        SetConsoleTitleW(L"before");
        EXPECT_EQ(SuspendTitleUpdates(), c.state) << c.before;
        EXPECT_EQ(g_state.titleSaved, c.state) << c.before;
        EXPECT_EQ(HostTitleOption(), L"No") << c.before;
        EXPECT_EQ(ConsoleTitle(), L"before") << c.before;
        EXPECT_EQ(RestoreTitleUpdates(), c.state) << c.before;
        EXPECT_EQ(g_state.titleSaved, 0u) << c.before;
        EXPECT_EQ(HostTitleOption(), c.after) << c.before;
        EXPECT_EQ(ConsoleTitle(), L"\u2001") << c.before;
    }
}

TEST_F(TitleProgressTest, SecondSuspendAndRestoreWithNothingSavedTouchNothing) {
    SetHostTitleOption(L"Yes");
    SetConsoleTitleW(L"untouched");
    HostCallTrace trace;
    EXPECT_EQ(RestoreTitleUpdates(), 0u);
    EXPECT_EQ(ConsoleTitle(), L"untouched");
    EXPECT_EQ(trace.Text(), L"");
    ASSERT_EQ(SuspendTitleUpdates(), 2u);
    const std::wstring calls = trace.Text();
    EXPECT_EQ(SuspendTitleUpdates(), 2u);  // keeps the first state, not the "No" it set
    EXPECT_EQ(trace.Text(), calls);
    EXPECT_EQ(RestoreTitleUpdates(), 2u);
    EXPECT_EQ(HostTitleOption(), L"Yes");
}

TEST_F(TitleProgressTest, ResetAndShutDownGiveABrokenOffSeriesTitleUpdatingBack) {
    for (bool shutDown : {false, true}) {
        SetHostTitleOption(L"Yes");
        SuspendTitleUpdates();
        SetConsoleTitleW(L"Run #2 of 3: ");
        g_state.trialRun = 4;
        KeyInfo idle = {};
        if (shutDown)
            ShutdownPlugin(0);
        else
            key(&idle);
        EXPECT_EQ(HostTitleOption(), L"Yes") << shutDown;
        EXPECT_EQ(ConsoleTitle(), L"\u2001") << shutDown;
        EXPECT_EQ(g_state.titleSaved, 0u) << shutDown;
        EXPECT_EQ(g_state.trialRun, -1) << shutDown;
    }
}

}  // namespace
