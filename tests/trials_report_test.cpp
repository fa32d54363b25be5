// The report of a finished series, from given tick values: time texts, run
// order of the sorted copy, drop marking, median, the one-hour rule and the
// exact text of the recap and the summary.
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "trials/report_warnings.h"
#include "trials/series_statistics.h"
#include "trials/trial_report.h"
#include "test_support.h"

namespace {

constexpr uint64_t kFrequency = 10000000;  // counts per second in every case below
constexpr uint64_t kTicksPerMs = kFrequency / 1000;
constexpr uint64_t kStartTicks = 5000000000;

// The final counter reading of the report: the start plus this many ticks.
uint64_t s_wallTicks;
BOOL WINAPI CounterAtWallTime(LARGE_INTEGER* count) {
    count->QuadPart = static_cast<LONGLONG>(kStartTicks + s_wallTicks);
    return TRUE;
}
// A counter that cannot be read; no real system fails this way.
BOOL WINAPI FailingCounter(LARGE_INTEGER*) { return FALSE; }

struct Series {
    std::vector<RunRecord> records;
    std::vector<RunRecord> sorted;
    uint32_t errorCount = 0;
};

// Records in run order as the run loop leaves them; non-zero exit codes are
// errors, excluded when asked.
Series MakeSeries(const std::vector<uint64_t>& ticks, const std::vector<int32_t>& exitCodes = {},
                  bool excludeErrors = false) {
    Series s;
    for (uint32_t i = 0; i < ticks.size(); ++i) {
        const int32_t exitCode = i < exitCodes.size() ? exitCodes[i] : 0;
        s.errorCount += exitCode != 0;
        s.records.push_back(RunRecord{ticks[i], exitCode, exitCode && excludeErrors ? Excluded : Counted, i});
    }
    s.sorted.resize(ticks.size());
    return s;
}

// A series sorted the way the report expects it.
Series SortedSeries(const std::vector<uint64_t>& ticks, const std::vector<int32_t>& exitCodes = {}) {
    Series s = MakeSeries(ticks, exitCodes, true);
    SortRuns(s.records.data(), s.sorted.data(), static_cast<uint32_t>(s.records.size()));
    return s;
}

std::vector<uint64_t> Milliseconds(const std::vector<uint64_t>& ms) {
    std::vector<uint64_t> ticks;
    for (uint64_t m : ms) ticks.push_back(m * kTicksPerMs);
    return ticks;
}

class TrialReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPluginStateForTest();
        g_state.perfFrequency = kFrequency;
        s_wallTicks = 0;
        g_sys.queryPerformanceCounter = CounterAtWallTime;
    }
    void TearDown() override {
        ResetSysCalls();
        ResetPluginStateForTest();
    }
    static TrialSettings Settings() {
        TrialSettings settings;
        SetDefaultTrialSettings(&settings);
        settings.grabFocus = false;
        settings.command = L"dir /s";
        return settings;
    }
    static std::wstring Report(Series& s, uint32_t requestedRuns, const TrialSettings& settings) {
        std::vector<uint64_t> ticks;
        for (const RunRecord& run : s.records) ticks.push_back(run.elapsed);
        CapturedOutput output;
        ReportTrials(s.records.data(), s.sorted.data(), static_cast<uint32_t>(s.records.size()), requestedRuns,
                     s.errorCount, *std::min_element(ticks.begin(), ticks.end()),
                     *std::max_element(ticks.begin(), ticks.end()), settings, kStartTicks, nullptr);
        EXPECT_EQ(output.Err(), L"");
        return output.Out();
    }
};

TEST_F(TrialReportTest, ReproducesTheWorkedExampleFromItsTickValues) {
    Series s = MakeSeries({12345678, 11002000, 10950300, 11500000, 25000000, 11200000, 10800000, 11100000, 11050000,
                           11300000, 11400000, 11250000},
                          {0, 0, 0, 1});
    TrialSettings settings = Settings();
    settings.nDropSlowest = 1;
    settings.nDropFastest = 1;
    s_wallTicks = 150123456;
    EXPECT_EQ(Report(s, 10, settings),
              L"\r\n"
              L"Run # 1 of 12:  Time = 00:01.234   rv = 0\r\n"
              L"Run # 2 of 12:  Time = 00:01.100   rv = 0\r\n"
              L"Run # 3 of 12:  Time = 00:01.095   rv = 0\r\n"
              L"Run # 4 of 12:  Time = 00:01.150   rv = 1\r\n"
              L"Run # 5 of 12:  Time = 00:02.500   rv = 0   (dropped slow run)\r\n"
              L"Run # 6 of 12:  Time = 00:01.120   rv = 0\r\n"
              L"Run # 7 of 12:  Time = 00:01.080   rv = 0   (dropped fast run)\r\n"
              L"Run # 8 of 12:  Time = 00:01.110   rv = 0\r\n"
              L"Run # 9 of 12:  Time = 00:01.105   rv = 0\r\n"
              L"Run #10 of 12:  Time = 00:01.130   rv = 0\r\n"
              L"Run #11 of 12:  Time = 00:01.140   rv = 0\r\n"
              L"Run #12 of 12:  Time = 00:01.125   rv = 0\r\n"
              L"\r\n"
              L"Command   :  dir /s\r\n"
              L"Total runs:  12    Errors:  1    Dropped:  2   Runs counted:  10\r\n"
              L"(All runs)  Fastest:  00:01.080    Slowest:  00:02.500    Spread:  00:01.420\r\n"
              L"(Counted)   Fastest:  00:01.095    Slowest:  00:01.234    Spread:  00:00.139\r\n"
              L"Average time:  00:01.130    Median time:  00:01.122\r\n"
              L"Total time:  00:11.309    Wall time:  00:15.012\r\n");
}

TEST_F(TrialReportTest, FormatsTicksAsMinutesHoursOrMillisecondsInFourRotatingTexts) {
    struct Case {
        uint64_t ms;
        bool milliseconds, hours;
        const wchar_t* text;
    } const cases[] = {
        {1234, false, false, L"00:01.234"},        {61005, false, false, L"01:01.005"},
        {3599999, false, false, L"59:59.999"},     {3600000, false, false, L"1:00:00.000"},
        {90061001, false, false, L"25:01:01.001"}, {1234, false, true, L"0:00:01.234"},
        {1234, true, false, L"1234"},              {3600000, true, true, L"3600000"},
        {0, false, false, L"00:00.000"},           {6000000000, false, false, L"1666:40:00.000"},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(FormatTicks(c.ms * kTicksPerMs, c.milliseconds, c.hours), c.text) << c.ms;
    // A fraction of a millisecond is cut off, never rounded up.
    EXPECT_STREQ(FormatTicks(1234 * kTicksPerMs + kTicksPerMs - 1, false, false), L"00:01.234");
    // Each text stays valid for the next three calls; the fifth reuses the first buffer.
    const wchar_t* texts[4];
    for (int i = 0; i < 4; ++i) texts[i] = FormatTicks((i + 1) * 1000 * kTicksPerMs, false, false);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(texts[i], L"00:0" + std::to_wstring(i + 1) + L".000") << i;
    EXPECT_EQ(FormatTicks(5000 * kTicksPerMs, false, false), texts[0]);
}

TEST_F(TrialReportTest, PreciseTimesAddMicrosecondsToEveryForm) {
    const struct {
        uint64_t ticks;
        bool milliseconds, hours;
        const wchar_t* text;
    } cases[] = {
        {12345678, false, false, L"00:01.234567"},    {12345678, true, false, L"1234.567"},
        {12345678, false, true, L"0:00:01.234567"},   {12345678, true, true, L"1234.567"},
        {5, false, false, L"00:00.000000"},           {15, false, false, L"00:00.000001"},
        {36000000000, false, false, L"1:00:00.000000"}, {35999999990, false, false, L"59:59.999999"},
        {35999999999, false, false, L"59:59.999999"}, {UINT64_MAX, false, false, L"512409557:36:10.955161"},
    };
    for (const auto& c : cases) EXPECT_STREQ(FormatTicks(c.ticks, c.milliseconds, c.hours, true), c.text) << c.ticks;
}

TEST_F(TrialReportTest, DeviationIsTheSampleRootOfTheCountedRunsOnlyFromExactSums) {
    const uint64_t apart = uint64_t{1} << 54;
    const struct {
        const char* name;
        std::vector<uint64_t> ticks;
        std::vector<RunStatus> status;  // Counted where not given
        uint64_t wholeTicks, relativeTenths, nanoseconds;
    } cases[] = {
        {"the worked example's counted runs",
         {12345678, 11002000, 10950300, 11500000, 11200000, 11100000, 11050000, 11300000, 11400000, 11250000}, {},
         403949, 36, 40394947},
        {"a command of two microseconds keeps its fraction of a tick", {17, 23, 19, 22, 20, 18, 22, 21}, {}, 2, 105,
         212},
        {"two runs", {10, 20}, {}, 7, 471, 707},
        {"all runs equal", {5, 5, 5}, {}, 0, 0, 0},
        {"every run took 0 ticks", {0, 0}, {}, 0, 0, 0},
        {"an average below one tick", {0, 1}, {}, 0, 1414, 70},
        {"runs 2^54 ticks apart", {0, apart}, {}, 12738103345051545, 1414, 1273810334505154560},
        {"squares past 128 bits", {UINT64_MAX, UINT64_MAX - 2, UINT64_MAX - 4}, {}, 2, 0, 200},
        {"excluded and dropped runs left out", {10, 1000, 20, 1, 900}, {Counted, Excluded, Counted, DroppedFast, DroppedSlow},
         7, 471, 707},
        {"one counted run", {10, 1000}, {Counted, Excluded}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        std::vector<RunRecord> records;
        for (uint32_t i = 0; i < c.ticks.size(); ++i)
            records.push_back(RunRecord{c.ticks[i], 0, i < c.status.size() ? c.status[i] : Counted, i});
        std::vector<RunRecord> sorted(records.size());
        SortRuns(records.data(), sorted.data(), static_cast<uint32_t>(records.size()));
        const SeriesFigures f = CountSeries(records.data(), sorted.data(), static_cast<uint32_t>(records.size()), 0);
        EXPECT_EQ(f.stdDeviationWholeTicks, c.wholeTicks) << c.name;
        EXPECT_EQ(RelativeTenths(f), c.relativeTenths) << c.name;
        EXPECT_NEAR(static_cast<double>(TicksToNanoseconds(f.stdDeviation)), static_cast<double>(c.nanoseconds),
                    c.nanoseconds / 1e15)
            << c.name;
    }
}

TEST_F(TrialReportTest, DeviationLineAndPreciseTimesJoinTheSummaryOnlyWhenAsked) {
    const std::vector<uint64_t> example = {12345678, 11002000, 10950300, 11500000, 25000000, 11200000,
                                           10800000, 11100000, 11050000, 11300000, 11400000, 11250000};
    const struct {
        const char* name;
        std::vector<uint64_t> ticks;
        void (*adjust)(TrialSettings&);
        const wchar_t* summary;  // after the command line
    } cases[] = {
        {"the worked example with /V", example, [](TrialSettings& s) { s.stdDeviation = true; },
         L"Total runs:  12    Errors:  1    Dropped:  2   Runs counted:  10\r\n"
         L"(All runs)  Fastest:  00:01.080    Slowest:  00:02.500    Spread:  00:01.420\r\n"
         L"(Counted)   Fastest:  00:01.095    Slowest:  00:01.234    Spread:  00:00.139\r\n"
         L"Average time:  00:01.130    Median time:  00:01.122\r\n"
         L"Std deviation:  00:00.040    Relative:  3.6%\r\n"
         L"Total time:  00:11.309    Wall time:  00:15.012\r\n"
         L"Warning:  1 of 10 counted runs returned a non-zero exit code; /E leaves such runs out.\r\n"},
        {"with /P /V", example, [](TrialSettings& s) { s.stdDeviation = s.precise = true; },
         L"Total runs:  12    Errors:  1    Dropped:  2   Runs counted:  10\r\n"
         L"(All runs)  Fastest:  00:01.080000    Slowest:  00:02.500000    Spread:  00:01.420000\r\n"
         L"(Counted)   Fastest:  00:01.095030    Slowest:  00:01.234567    Spread:  00:00.139537\r\n"
         L"Average time:  00:01.130979    Median time:  00:01.122500\r\n"
         L"Std deviation:  00:00.040394    Relative:  3.6%\r\n"
         L"Total time:  00:11.309797    Wall time:  00:15.012345\r\n"
         L"Warning:  1 of 10 counted runs returned a non-zero exit code; /E leaves such runs out.\r\n"},
        {"with /M /P /V /H", example, [](TrialSettings& s) { s.stdDeviation = s.precise = s.milliseconds = s.showHours = true; },
         L"Total runs:  12    Errors:  1    Dropped:  2   Runs counted:  10\r\n"
         L"(All runs)  Fastest:  1080.000    Slowest:  2500.000    Spread:  1420.000\r\n"
         L"(Counted)   Fastest:  1095.030    Slowest:  1234.567    Spread:  139.537\r\n"
         L"Average time:  1130.979    Median time:  1122.500\r\n"
         L"Std deviation:  40.394    Relative:  3.6%\r\n"
         L"Total time:  11309.797    Wall time:  15012.345\r\n"
         L"Warning:  1 of 10 counted runs returned a non-zero exit code; /E leaves such runs out.\r\n"},
        {"/V with one counted run has no deviation line", {10000000}, [](TrialSettings& s) { s.stdDeviation = true; },
         L"Total runs:  1    Errors:  0    Dropped:  0   Runs counted:  1\r\n"
         L"Fastest:  00:01.000    Slowest:  00:01.000    Spread:  00:00.000\r\n"
         L"Average time:  00:01.000    Median time:  00:01.000\r\n"
         L"Total time:  00:01.000    Wall time:  00:15.012\r\n"},
    };
    for (const auto& c : cases) {
        Series s = MakeSeries(c.ticks, {0, 0, 0, 1});
        TrialSettings settings = Settings();
        settings.recap = false;
        settings.nDropSlowest = settings.nDropFastest = c.ticks.size() == example.size();
        c.adjust(settings);
        s_wallTicks = 150123456;
        EXPECT_EQ(Report(s, 10, settings), L"\r\nCommand   :  dir /s\r\n" + std::wstring(c.summary)) << c.name;
    }
}

// Pseudo-random series of the kinds a run loop produces: close times with
// ties, rare outliers far away, and spreads that need one to four digits or
// reach the top of the unsigned range.
TEST_F(TrialReportTest, SortsByTimeAndEqualTimesByRunNumberAndLeavesTheRunOrderIntact) {
    std::mt19937_64 next(12345);
    const uint64_t spreads[] = {1, 30, 2047, 2048, 100000, 5000000, 8000000000, 1ull << 40, UINT64_MAX - 2000};
    for (uint64_t spread : spreads) {
        for (uint32_t count : {0u, 1u, 2u, 17u, 5000u}) {
            std::vector<RunRecord> records(count), sorted(count);
            for (uint32_t i = 0; i < count; ++i) {
                uint64_t elapsed = 1000 + next() % 40;
                if (next() % 16 == 0) elapsed += next() % spread;
                records[i] = RunRecord{elapsed, static_cast<int32_t>(next() % 3), static_cast<RunStatus>(next() % 4), i};
            }
            std::vector<RunRecord> expected = records;
            std::sort(expected.begin(), expected.end(), [](const RunRecord& a, const RunRecord& b) {
                return a.elapsed != b.elapsed ? a.elapsed < b.elapsed : a.runIndex < b.runIndex;
            });
            const std::vector<RunRecord> original = records;
            SortRuns(records.data(), sorted.data(), count);
            EXPECT_EQ(std::memcmp(sorted.data(), expected.data(), sizeof(RunRecord) * count), 0)
                << "spread " << spread << ", " << count << " runs";
            EXPECT_EQ(std::memcmp(records.data(), original.data(), sizeof(RunRecord) * count), 0)
                << "spread " << spread << ", " << count << " runs";
        }
    }
}

TEST_F(TrialReportTest, MarksDroppedRunsFromBothEndsPassingOverExcludedOnes) {
    const RunStatus C = Counted, S = DroppedSlow, F = DroppedFast, X = Excluded;
    const struct {
        const char* name;
        std::vector<uint64_t> ticks;
        std::vector<int32_t> exitCodes;  // non-zero runs are excluded
        uint32_t dropSlowest, dropFastest;
        std::vector<RunStatus> expected;  // per run, in run order
        uint32_t marked;
    } cases[] = {
        {"later of two equal slowest is dropped as slow", {5, 9, 9, 1}, {}, 1, 0, {C, C, S, C}, 1},
        {"earlier of two equal fastest is dropped as fast", {3, 1, 1, 7}, {}, 0, 1, {C, F, C, C}, 1},
        {"excluded slowest is passed over", {5, 9, 2, 7}, {0, 1}, 1, 0, {C, X, C, S}, 1},
        {"excluded fastest is passed over", {5, 9, 2, 7}, {0, 0, 1}, 0, 1, {F, C, X, C}, 1},
        {"both ends meet: the slow side takes the run", {4, 6, 5}, {}, 2, 2, {F, S, S}, 3},
        {"fewer counted runs than drops", {4, 6, 5, 8}, {1, 0, 1, 0}, 2, 2, {X, S, X, S}, 2},
        {"everything excluded", {4, 6}, {1, 1}, 1, 1, {X, X}, 0},
        {"one run is never dropped", {4}, {}, 1, 1, {C}, 0},
        {"no drops asked for", {4, 6, 5}, {}, 0, 0, {C, C, C}, 0},
    };
    for (const auto& c : cases) {
        Series s = SortedSeries(c.ticks, c.exitCodes);
        EXPECT_EQ(MarkDroppedRuns(s.records.data(), s.sorted.data(), static_cast<uint32_t>(s.records.size()),
                                  c.dropSlowest, c.dropFastest),
                  c.marked)
            << c.name;
        for (size_t i = 0; i < c.expected.size(); ++i) EXPECT_EQ(s.records[i].status, c.expected[i]) << c.name << " run " << i;
        for (const RunRecord& run : s.sorted)
            EXPECT_EQ(run.status, s.records[run.runIndex].status) << c.name << " sorted copy of run " << run.runIndex;
    }
    Series s = SortedSeries({4, 6, 5});
    EXPECT_EQ(MarkDroppedRuns(nullptr, s.sorted.data(), 3, 1, 1), 0u);
    EXPECT_EQ(MarkDroppedRuns(s.records.data(), nullptr, 3, 1, 1), 0u);
}

TEST_F(TrialReportTest, TakesTheMiddleCountedRunOrTheTruncatedMeanOfTheMiddleTwo) {
    // Excluded runs (non-zero exit codes) sit between the counted ones in sorted order.
    EXPECT_EQ(MedianTicks(SortedSeries({10, 40, 20, 5, 30}, {0, 0, 0, 1, 1}).sorted.data(), 3), 20u);
    EXPECT_EQ(MedianTicks(SortedSeries({10, 41, 20, 5, 30, 1}, {0, 0, 1, 1, 0, 1}).sorted.data(), 3), 30u);
    EXPECT_EQ(MedianTicks(SortedSeries({10, 41, 20, 5, 30, 1}, {0, 0, 1, 1, 1, 1}).sorted.data(), 2), 25u);
    // Two odd middle times: their halves alone would come out one tick short.
    EXPECT_EQ(MedianTicks(SortedSeries({11, 41}).sorted.data(), 2), 26u);
    EXPECT_EQ(MedianTicks(SortedSeries({UINT64_MAX, UINT64_MAX - 2}).sorted.data(), 2), UINT64_MAX - 1);
    // Their sum does not fit in 64 bits; the mean still lies between them.
    EXPECT_EQ(MedianTicks(SortedSeries({UINT64_MAX / 2 + 1, UINT64_MAX / 2 + 3}).sorted.data(), 2), UINT64_MAX / 2 + 2);
}

TEST_F(TrialReportTest, SummaryFollowsTheCountedRunsTheHourRuleAndTheTimeOptions) {
    const struct {
        const char* name;
        std::vector<uint64_t> ms;
        std::vector<int32_t> exitCodes;
        void (*adjust)(TrialSettings&);
        uint64_t wallMs;
        const wchar_t* recap;    // after the leading line end; empty when turned off
        const wchar_t* summary;  // after the command line
    } cases[] = {
        {"a single run has no prefix and no counted line", {1500}, {}, [](TrialSettings&) {}, 2000,
         L"Run #1 of 1:  Time = 00:01.500   rv = 0\r\n\r\n",
         L"Total runs:  1    Errors:  0    Dropped:  0   Runs counted:  1\r\n"
         L"Fastest:  00:01.500    Slowest:  00:01.500    Spread:  00:00.000\r\n"
         L"Average time:  00:01.500    Median time:  00:01.500\r\n"
         L"Total time:  00:01.500    Wall time:  00:02.000\r\n"},
        {"an hour counted switches all but average and median to hours", {5000, 3595000}, {},
         [](TrialSettings& s) { s.recap = false; }, 3601000, L"",
         L"Total runs:  2    Errors:  0    Dropped:  0   Runs counted:  2\r\n"
         L"Fastest:  0:00:05.000    Slowest:  0:59:55.000    Spread:  0:59:50.000\r\n"
         L"Average time:  30:00.000    Median time:  30:00.000\r\n"
         L"Total time:  1:00:00.000    Wall time:  1:00:01.000\r\n"},
        {"a millisecond less stays in minutes", {5000, 3594999}, {}, [](TrialSettings& s) { s.recap = false; },
         3599999, L"",
         L"Total runs:  2    Errors:  0    Dropped:  0   Runs counted:  2\r\n"
         L"Fastest:  00:05.000    Slowest:  59:54.999    Spread:  59:49.999\r\n"
         L"Average time:  29:59.999    Median time:  29:59.999\r\n"
         L"Total time:  59:59.999    Wall time:  59:59.999\r\n"},
        {"hours leave average and median in minutes", {1000, 3000}, {0, 2},
         [](TrialSettings& s) { s.showHours = true; }, 5000,
         L"Run #1 of 2:  Time = 0:00:01.000   rv = 0\r\nRun #2 of 2:  Time = 0:00:03.000   rv = 2\r\n\r\n",
         L"Total runs:  2    Errors:  1    Dropped:  0   Runs counted:  2\r\n"
         L"Fastest:  0:00:01.000    Slowest:  0:00:03.000    Spread:  0:00:02.000\r\n"
         L"Average time:  00:02.000    Median time:  00:02.000\r\n"
         L"Total time:  0:00:04.000    Wall time:  0:00:05.000\r\n"},
        {"milliseconds override hours and the hour rule", {1000, 3600000}, {},
         [](TrialSettings& s) { s.showHours = s.milliseconds = true; }, 3602000,
         L"Run #1 of 2:  Time = 1000   rv = 0\r\nRun #2 of 2:  Time = 3600000   rv = 0\r\n\r\n",
         L"Total runs:  2    Errors:  0    Dropped:  0   Runs counted:  2\r\n"
         L"Fastest:  1000    Slowest:  3600000    Spread:  3599000\r\n"
         L"Average time:  1800500    Median time:  1800500\r\n"
         L"Total time:  3601000    Wall time:  3602000\r\n"},
        {"no counted run leaves out the statistics", {5, 6, 7}, {1, 2, 3},
         [](TrialSettings& s) { s.excludeErrors = true; }, 20,
         L"Run #1 of 3:  Time = 00:00.005   rv = 1   (excluded)\r\n"
         L"Run #2 of 3:  Time = 00:00.006   rv = 2   (excluded)\r\n"
         L"Run #3 of 3:  Time = 00:00.007   rv = 3   (excluded)\r\n\r\n",
         L"Total runs:  3    Errors:  3    Dropped:  0   Runs counted:  0\r\nWall time:  00:00.020\r\n"},
        {"an excluded slowest run leaves the drop to the slowest counted one", {5, 9, 7, 6}, {0, 1},
         [](TrialSettings& s) {
             s.excludeErrors = true;
             s.recap = false;
             s.nDropSlowest = 1;
         },
         30, L"",
         L"Total runs:  4    Errors:  1    Dropped:  1   Runs counted:  2\r\n"
         L"(All runs)  Fastest:  00:00.005    Slowest:  00:00.009    Spread:  00:00.004\r\n"
         L"(Counted)   Fastest:  00:00.005    Slowest:  00:00.006    Spread:  00:00.001\r\n"
         L"Average time:  00:00.005    Median time:  00:00.005\r\n"
         L"Total time:  00:00.011    Wall time:  00:00.030\r\n"},
    };
    for (const auto& c : cases) {
        TrialSettings settings = Settings();
        c.adjust(settings);
        Series s = MakeSeries(Milliseconds(c.ms), c.exitCodes, settings.excludeErrors);
        s_wallTicks = c.wallMs * kTicksPerMs;
        EXPECT_EQ(Report(s, static_cast<uint32_t>(c.ms.size()), settings),
                  L"\r\n" + std::wstring(c.recap) + L"Command   :  dir /s\r\n" + c.summary)
            << c.name;
    }
}

TEST_F(TrialReportTest, RecapWidthFollowsTheRequestedRunsNotTheTotal) {
    Series s = MakeSeries(Milliseconds({5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    TrialSettings settings = Settings();
    settings.nDropSlowest = settings.nDropFastest = 1;
    const std::wstring out = Report(s, 9, settings);
    EXPECT_NE(out.find(L"\r\nRun #1 of 11:  Time = 00:00.005   rv = 0   (dropped fast run)\r\n"), std::wstring::npos);
    EXPECT_NE(out.find(L"\r\nRun #11 of 11:  Time = 00:00.015   rv = 0   (dropped slow run)\r\n"), std::wstring::npos);
    const uint32_t widths[][2] = {{0, 1}, {9, 1}, {10, 2}, {999999999, 9}, {1000000000, 10}, {UINT32_MAX, 10}};
    for (const auto& w : widths) EXPECT_EQ(DecimalWidth(w[0]), w[1]) << w[0];
}

TEST_F(TrialReportTest, CompareLinesFollowTheWallTimeInTheHighlight) {
    KeptResult none{}, kept{};
    kept.valid = true;
    kept.figures = SeriesFigures{2, 0, 2, 20000, 20000, 20000, 20000, 40000, 0, 0, 40000};
    wcscpy(kept.command, L"dir /b");
    const struct {
        const KeptResult* previous;
        const wchar_t* ending;  // after "Wall time:  00:00.010"
    } cases[] = {
        {&none, L"\r\nPrevious  :  none\r\n"},
        {&kept, L"\r\nPrevious  :  dir /b\r\nCompared  :  2.00 times slower than the previous (95%: 0.08 to 47.93), "
                L"could be chance\r\n"},
    };
    g_state.highlightAttr = 0x0F;
    g_state.normalAttr = 0x07;
    for (const auto& c : cases) {
        Series s = MakeSeries({30000, 50000});
        TrialSettings settings = Settings();
        settings.recap = false;
        s_wallTicks = 100000;
        HostCallTrace trace;
        CapturedOutput output;
        ReportTrials(s.records.data(), s.sorted.data(), 2, 2, 0, 30000, 50000, settings, kStartTicks, nullptr,
                     c.previous);
        const std::wstring out = output.Out();
        EXPECT_EQ(out.substr(out.find(L"Wall time:  00:00.010") + 21), c.ending) << out;
        const std::wstring calls = trace.Text();
        EXPECT_LT(calls.find(L"Previous"), calls.find(L"SetColors: 0x07")) << calls;
    }
}

// What /V and /C add after the report's last line, from given ticks at 10 MHz.
TEST_F(TrialReportTest, WarningsFollowTheReportWithVOrCOnly) {
    const KeptResult none{};
    const std::wstring w = L"Warning:  ";
    const std::wstring outliers = L" far from the median; /D:m,n drops the slowest and fastest runs.\r\n";
    const struct {
        const char* name;
        std::vector<uint64_t> ticks;
        std::vector<int32_t> exitCodes;
        bool deviation;
        const KeptResult* previous;
        std::wstring warnings;  // after the report's last line
    } cases[] = {
        {"a counted run that failed", {100, 100, 100}, {0, 1, 0}, true, nullptr,
         w + L"1 of 3 counted runs returned a non-zero exit code; /E leaves such runs out.\r\n"},
        {"the same without /V or /C", {100, 100, 100}, {0, 1, 0}, false, nullptr, L""},
        {"a slow first run, with /C", {100000, 1000, 1001, 999, 1000}, {}, false, &none,
         w + L"the first run (00:00.010) took far longer than the median (00:00.000); /W:n makes untimed warm-up "
             L"runs first.\r\n"},
        {"two far runs", {1000, 1001, 999, 1000, 50000, 60000, 1000}, {}, true, nullptr,
         w + L"2 of 7 counted runs are outliers," + outliers},
        {"a slow first run and one more far one", {100000, 1000, 1000, 1000, 70000}, {}, true, nullptr,
         w + L"the first run (00:00.010) took far longer than the median (00:00.000); /W:n makes untimed warm-up "
             L"runs first.\r\n" + w + L"1 of 5 counted runs is an outlier," + outliers},
        {"a fast first run is only an outlier", {10, 1000, 1000, 1000}, {}, true, nullptr,
         w + L"1 of 4 counted runs is an outlier," + outliers},
        {"far runs need three counted runs", {1000, 100000}, {}, true, nullptr, L""},
        {"a median of a few ticks", {3, 4, 3, 5, 3}, {}, true, nullptr,
         w + L"the median run is 3 counter ticks of 100 ns; times this short are mostly the counter's own "
             L"step.\r\n"},
    };
    for (const auto& c : cases) {
        Series s = MakeSeries(c.ticks, c.exitCodes);
        TrialSettings settings = Settings();
        settings.recap = false;
        settings.stdDeviation = c.deviation;
        CapturedOutput output;
        const uint32_t runs = static_cast<uint32_t>(c.ticks.size());
        ReportTrials(s.records.data(), s.sorted.data(), runs, runs, s.errorCount, 0, 0, settings, kStartTicks,
                     nullptr, c.previous);
        const std::wstring out = output.Out();
        const size_t last = out.find(L"\r\n", out.find(c.previous ? L"Previous" : L"Wall time"));
        EXPECT_EQ(out.substr(last + 2), c.warnings) << c.name;
    }
}

TEST_F(TrialReportTest, FailedFinalCounterReadLeavesOutOnlyTheWallTime) {
    Series s = MakeSeries(Milliseconds({5, 7}));
    TrialSettings settings = Settings();
    settings.recap = false;
    g_sys.queryPerformanceCounter = FailingCounter;
    g_state.highlightAttr = 0x0F;
    g_state.normalAttr = 0x07;
    HostCallTrace trace;
    EXPECT_EQ(Report(s, 2, settings),
              L"\r\nCommand   :  dir /s\r\n"
              L"Total runs:  2    Errors:  0    Dropped:  0   Runs counted:  2\r\n"
              L"Fastest:  00:00.005    Slowest:  00:00.007    Spread:  00:00.002\r\n"
              L"Average time:  00:00.006    Median time:  00:00.006\r\n"
              L"Total time:  00:00.012    \r\n");
    // The colour still goes back to normal, before the final line end.
    const std::wstring calls = trace.Text();
    const size_t highlight = calls.find(L"SetColors: 0x0F"), normal = calls.find(L"SetColors: 0x07");
    ASSERT_NE(highlight, std::wstring::npos) << calls;
    EXPECT_LT(highlight, normal) << calls;
    EXPECT_LT(normal, calls.rfind(L"CrLf")) << calls;
}

}  // namespace
