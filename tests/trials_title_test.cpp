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
        uint64_t ms;
        const wchar_t* text;
    } cases[] = {
        {0, L"00:00"},          {29499, L"00:29"},       {29500, L"00:30"},
        {108000, L"01:48"},     {3599499, L"59:59"},     {3599500, L"1:00:00"},
        {360000000, L"100:00:00"}, {86399499, L"23:59:59"},
    };
    for (const auto& c : cases) EXPECT_STREQ(FormatEta(c.ms * kTicksPerMs), c.text) << c.ms;
    // Below a millisecond is cut off before rounding.
    EXPECT_STREQ(FormatEta(29500 * kTicksPerMs - 1), L"00:29");
}

TEST_F(TitleProgressTest, FirstRunShowsOnlyItsNumber) {
    g_state.trialRun = 0;
    EXPECT_EQ(SetProgressTitle(12, 0), 0);
    EXPECT_EQ(ConsoleTitle(), L"Run #1 of 12: ");
    // The time before the first run (option handling) gives no estimate either.
    SetProgressTitle(12, 5000 * kTicksPerMs);
    EXPECT_EQ(ConsoleTitle(), L"Run #1 of 12: ");
}

TEST_F(TitleProgressTest, LaterRunsEstimateFromTheAverageOfTheFinishedOnes) {
    g_state.trialRun = 3;
    SetProgressTitle(12, 360000000);  // 12 s per finished run, 9 runs left
    EXPECT_EQ(ConsoleTitle(), L"Run #4 of 12: \u2001\u2001ETR 01:48");
    // Before the last run the estimate is one average run.
    g_state.trialRun = 11;
    SetProgressTitle(12, 11 * 42400 * kTicksPerMs);
    EXPECT_EQ(ConsoleTitle(), L"Run #12 of 12: \u2001\u2001ETR 00:42");
    // The time per run is truncated to a whole tick before it is multiplied:
    // 2 ticks over 3 runs is 0 per run, not 2/3 of a tick for ten million.
    g_state.trialRun = 3;
    SetProgressTitle(10000003, 2);
    EXPECT_EQ(ConsoleTitle(), L"Run #4 of 10000003: \u2001\u2001ETR 00:00");
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

TEST_F(TitleProgressTest, SecondSuspendKeepsTheFirstStateAndTouchesNothing) {
    SetHostTitleOption(L"Yes");
    ASSERT_EQ(SuspendTitleUpdates(), 2u);
    HostCallTrace trace;
    EXPECT_EQ(SuspendTitleUpdates(), 2u);
    EXPECT_EQ(trace.Text(), L"");
    EXPECT_EQ(RestoreTitleUpdates(), 2u);
    EXPECT_EQ(HostTitleOption(), L"Yes");
}

TEST_F(TitleProgressTest, RestoreWithNothingSavedLeavesOptionAndTitleAlone) {
    SetHostTitleOption(L"Yes");
    SetConsoleTitleW(L"untouched");
    HostCallTrace trace;
    EXPECT_EQ(RestoreTitleUpdates(), 0u);
    EXPECT_EQ(trace.Text(), L"");
    EXPECT_EQ(ConsoleTitle(), L"untouched");
}

TEST_F(TitleProgressTest, ResetAndShutDownGiveABrokenOffSeriesTitleUpdatingBack) {
    SetHostTitleOption(L"Yes");
    SuspendTitleUpdates();
    g_state.trialRun = 4;
    KeyInfo idle = {};
    key(&idle);
    EXPECT_EQ(HostTitleOption(), L"Yes");
    EXPECT_EQ(ConsoleTitle(), L"\u2001");
    EXPECT_EQ(g_state.titleSaved, 0u);
    EXPECT_EQ(g_state.trialRun, -1);

    SuspendTitleUpdates();
    SetConsoleTitleW(L"Run #2 of 3: ");
    ShutdownPlugin(0);
    EXPECT_EQ(HostTitleOption(), L"Yes");
    EXPECT_EQ(ConsoleTitle(), L"\u2001");
    EXPECT_EQ(g_state.titleSaved, 0u);
}

}  // namespace
