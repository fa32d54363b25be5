// What a finished series leaves behind: the kept result, which endings
// replace it, the _KV variables in nanoseconds, and KV /C comparing with the
// previous series, also from a KV inside a KV and from a batch file.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "host_control.h"
#include "test_support.h"
#include "trials/kept_result.h"
#include "trials/series_comparison.h"
#include "trials/series_statistics.h"
#include "trials/trial_report.h"

namespace {

std::wstring Expanded(const std::wstring& text) {
    wchar_t buffer[1024];
    wcscpy(buffer, text.c_str());
    ExpandVariables(buffer, 1);
    return buffer;
}

// The eight variables in the order of their table, joined by blanks.
std::wstring Variables() {
    return Expanded(L"%_kvruns %_kverrors %_kvavg %_kvmedian %_kvmin %_kvmax %_kvstddev %_kvtotal");
}

// The figures the report finds in runs of these ticks, all counted.
SeriesFigures FiguresOf(const std::vector<uint64_t>& ticks) {
    std::vector<RunRecord> records, sorted(ticks.size());
    for (uint32_t i = 0; i < ticks.size(); ++i) records.push_back(RunRecord{ticks[i], 0, Counted, i});
    SortRuns(records.data(), sorted.data(), static_cast<uint32_t>(ticks.size()));
    return CountSeries(records.data(), sorted.data(), static_cast<uint32_t>(ticks.size()), 0);
}

std::vector<uint64_t> Times(size_t runs, uint64_t ticks) { return std::vector<uint64_t>(runs, ticks); }

class KeptResultTest : public ::testing::Test {
protected:
    void SetUp() override { AttachFreshPluginToHost(); }
    void TearDown() override {
        ResetTrialState();
        HostReturnToPrompt();
        ResetPluginStateForTest();
    }
    int Run(const std::wstring& line) { return HostRunLine(line.c_str(), nullptr); }
};

TEST_F(KeptResultTest, VariablesAreWholeNanosecondsCountsOrEmpty) {
    const std::wstring allEmpty(7, L' ');
    EXPECT_EQ(Variables(), allEmpty) << "before the first kept result";
    const struct {
        const char* name;
        uint64_t frequency;
        SeriesFigures figures;
        std::wstring values;
    } cases[] = {
        {"the worked example", 10000000, {12, 1, 10, 11309797, 11225000, 10950300, 12345678, 113097978, 403949},
         L"10 1 1130979700 1122500000 1095030000 1234567800 40394900 11309797800"},
        {"truncation at 3,579,545 per second", 3579545, {2, 0, 2, 1, 3579544, 3579545, 7159090, 7159091, 2},
         L"2 0 279 999999720 1000000000 2000000000 558 2000000279"},
        // Ticks × 10^9 would overflow 64 bits long before the result does.
        {"a tick count near 2^63", 1000000007, {1, 0, 1, 0x7FFFFFFFFFFFFFFF, 1000000007, 1, 0, 0x7FFFFFFFFFFFFFFF, 0},
         L"1 0 9223371972291172000 1000000000 0 0  9223371972291172000"},
        {"one counted run has no deviation", 10000000, {3, 2, 1, 5, 5, 5, 5, 5, 0}, L"1 2 500 500 500 500  500"},
        {"no counted run leaves the times empty", 10000000, {3, 3, 0, 0, 0, 0, 0, 0, 0}, L"0 3" + std::wstring(6, L' ')},
    };
    for (const auto& c : cases) {
        g_state.perfFrequency = c.frequency;
        KeepSeriesResult(c.figures, L"rem");
        EXPECT_EQ(Variables(), c.values) << c.name;
    }
    using Variable = int (*)(wchar_t*);
    for (Variable variable : {_kvruns, _kverrors, _kvavg, _kvmedian, _kvmin, _kvmax, _kvstddev, _kvtotal})
        EXPECT_EQ(variable(nullptr), ERROR_INVALID_PARAMETER);
}

TEST_F(KeptResultTest, OnlyASeriesThatWritesItsReportReplacesTheKeptResult) {
    const struct {
        const char* name;
        const wchar_t* line;
        const wchar_t* runs;  // %_kvruns afterwards
    } cases[] = {
        {"a normal end", L"kv /n:3 /q /o:fjtr rem", L"3"},
        {"an option error", L"kv /n:0 rem", L"2"},
        {"help", L"kv /? rem", L"2"},
        {"a user abort", L"kv /n:5 /u:4 /q /o:fjtr exitcode 4", L"2"},
        {"a typed Ctrl+C", L"kv /n:5 /q /o:fjtr `if %_trialrun==2 ctrlc`", L"2"},
        {"the host's own break", L"kv /n:5 /q /o:fjtr `if %_trialrun==2 ctrlc /h`", L"2"},
        {"warm-up runs are not part of it", L"kv /w:4 /n:1 /q /o:fjtr rem", L"1"},
    };
    for (const auto& c : cases) {
        CapturedOutput output;
        Run(L"kv /n:2 /q /o:fjtr rem");
        Run(c.line);
        HostReturnToPrompt();
        EXPECT_EQ(Expanded(L"%_kvruns"), c.runs) << c.name;
    }
    // The keystroke hook's reset keeps it; shut-down clears it.
    const std::wstring kept = Variables();
    KeyInfo idle{};
    key(&idle);
    EXPECT_EQ(Variables(), kept);
    ShutdownPlugin(0);
    EXPECT_EQ(Variables(), std::wstring(7, L' '));
}

TEST_F(KeptResultTest, ComparedLineGivesTheRatioItsIntervalAndAVerdict) {
    constexpr int64_t kEmpty = -1;
    const std::vector<uint64_t> b5 = {1000000, 1100000, 900000, 1050000, 950000};
    const struct {
        const char* name;
        std::vector<uint64_t> now, previous;
        const wchar_t* text;
        int64_t ratio, low, high;  // thousandths, or kEmpty
    } cases[] = {
        {"three times faster", {1000000, 1100000, 900000}, {3000000, 3300000, 2700000},
         L"3.00 times faster than the previous (95%: 2.39 to 3.76), a real difference", 333, 266, 418},
        {"two percent slower in five runs", {1020000, 1120000, 920000, 1070000, 970000}, b5,
         L"1.02 times slower than the previous (95%: 0.91 to 1.14), could be chance", 1020, 910, 1143},
        {"no spread on either side", Times(5, 3000), Times(5, 2000),
         L"1.50 times slower than the previous (95%: 1.50 to 1.50), a real difference", 1500, 1500, 1500},
        {"equal averages", {950, 1050, 1000, 1000}, {900, 1100, 1000, 1000},
         L"as fast as the previous (95%: 0.88 to 1.14), could be chance", 1000, 881, 1135},
        {"one run before", Times(2, 3000000), {2000000},
         L"1.50 times slower than the previous (too few runs for an interval)", 1500, kEmpty, kEmpty},
        {"rounded to the nearest hundredth", {3000}, {7100},
         L"2.37 times faster than the previous (too few runs for an interval)", 423, kEmpty, kEmpty},
        {"no counted run", {}, {2000, 2000}, L"no counted runs to compare", kEmpty, kEmpty, kEmpty},
        {"an average below one tick", {0, 1}, {7, 7}, L"an average below one tick cannot be compared", kEmpty, kEmpty,
         kEmpty},
        {"a huge ratio", Times(2, 1), Times(2, UINT64_MAX),
         L"184467440737095516.15 times faster than the previous (95%: 184467440737095516.15 to "
         L"184467440737095516.15), a real difference",
         0, 0, 0},
    };
    for (const auto& c : cases) {
        SeriesRatio ratio{true, true, 7, 7, 7};
        EXPECT_STREQ(CompareWithPrevious(FiguresOf(c.now), FiguresOf(c.previous), &ratio), c.text) << c.name;
        EXPECT_EQ(ratio.valid ? static_cast<int64_t>(ratio.thousandths) : kEmpty, c.ratio) << c.name;
        EXPECT_EQ(ratio.haveInterval ? static_cast<int64_t>(ratio.lowThousandths) : kEmpty, c.low) << c.name;
        EXPECT_EQ(ratio.haveInterval ? static_cast<int64_t>(ratio.highThousandths) : kEmpty, c.high) << c.name;
    }
}

TEST_F(KeptResultTest, StudentsTComesFromTheTableThenFromTheExpansion) {
    const std::pair<uint32_t, double> cases[] = {{1, 12.706}, {30, 2.042}, {31, 2.0395}, {1000, 1.9623}};
    for (const auto& [nu, t] : cases) EXPECT_NEAR(StudentT975(nu), t, 0.00005) << nu;
}

// Through the host: /C leaves the ratio and, with two runs a side, its bounds;
// any later series that writes its report without /C empties them.
TEST_F(KeptResultTest, RatioVariablesComeWithCompareAndGoWithoutIt) {
    CapturedOutput output;
    EXPECT_EQ(Expanded(L"[%_kvratio %_kvratiolow %_kvratiohigh]"), L"[  ]") << "before the first report";
    const struct {
        const wchar_t* line;
        bool ratio, bounds;
    } cases[] = {
        {L"kv /n:3 /q /o:fjtr delay /m 2", false, false},
        {L"kv /c /n:3 /q /o:fjtr delay /m 2", true, true},
        {L"kv /c /n:1 /q /o:fjtr delay /m 2", true, false},
        {L"kv /c /n:2 /q /o:fjtr delay /m 2", true, false},
        {L"kv /n:2 /q /o:fjtr delay /m 2", false, false},
    };
    for (const auto& c : cases) {
        Run(c.line);
        const std::wstring ratio = Expanded(L"%_kvratio"), low = Expanded(L"%_kvratiolow"),
                           high = Expanded(L"%_kvratiohigh");
        EXPECT_EQ(!ratio.empty(), c.ratio) << ratio;
        EXPECT_EQ(!low.empty() && !high.empty(), c.bounds) << low << L" " << high;
        EXPECT_EQ(low.empty(), high.empty());
        if (c.bounds) {
            EXPECT_TRUE(std::stoull(low) <= std::stoull(ratio) && std::stoull(ratio) <= std::stoull(high));
        }
    }
}

// Through the host: the lines /C adds after the wall time, the previous
// command cut to 60 characters, and nested series.
TEST_F(KeptResultTest, CompareNamesTheSeriesKeptWhenThisKvBegan) {
    const std::wstring sixty = L"rem " + std::wstring(56, L'x');
    CapturedOutput output;
    Run(L"kv /n:1 /c /q /o:fjtr rem first");
    Run(L"kv /n:1 /c /q /o:fjtr " + sixty);
    Run(L"kv /n:1 /c /q /o:fjtr " + sixty + L"y");
    Run(L"kv /n:1 /c /q /o:fjtr rem after the long one");
    // The inner series compare with the one before the outer began and with
    // each other; the outer with the one before it began.
    Run(L"kv /n:2 /c /q /o:fjtr kv /n:1 /c /q /o:fjtr rem inner");
    const std::wstring out = output.Out();
    std::vector<std::wstring> previous;
    for (size_t at = out.find(L"Previous  :  "); at != std::wstring::npos; at = out.find(L"Previous  :  ", at + 1))
        previous.push_back(out.substr(at + 13, out.find(L"\r\n", at) - at - 13));
    EXPECT_EQ(previous, (std::vector<std::wstring>{L"none", L"rem first", sixty, sixty + L"...",
                                                   L"rem after the long one", L"rem inner",
                                                   L"rem after the long one"}));
    EXPECT_EQ(CountOccurrences(out, L"\r\nCompared  :  "), 6u) << out;
    // Each Previous line follows the wall time directly.
    for (size_t at = out.find(L"\r\nPrevious"); at != std::wstring::npos; at = out.find(L"\r\nPrevious", at + 1)) {
        const size_t line = out.rfind(L"\r\n", at - 1) + 2;
        EXPECT_EQ(out.compare(line, 12, L"Total time: "), 0) << out.substr(line, at - line);
    }
    EXPECT_EQ(Expanded(L"%_kvruns"), L"2");
    EXPECT_EQ(std::wstring(g_state.kept.command), L"kv /n:1 /c /q /o:fjtr rem inner");
}

TEST_F(KeptResultTest, ABatchFileLogsTheFiguresAndTestsThem) {
    const std::wstring dir = MakeTempDir();
    WriteTextFile(dir + L"\\log.btm",
                  L"kv /n:3 /q /o:fjtr `kv /n:1 /q /o:fjtr rem & echo outer=%_trialrun`\r\n"
                  L"echo %_kvruns %_kverrors [%_kvstddev] > \"" + dir + L"\\log.txt\"\r\n"
                  L"if %_kvruns==3 echo three counted\r\n"
                  L"if %_kvruns==4 echo four counted\r\n");
    CapturedOutput output;
    EXPECT_EQ(Run(L"\"" + dir + L"\\log.btm\""), 0);
    const std::wstring out = output.Out();
    EXPECT_NE(out.find(L"outer=1\r\n"), std::wstring::npos) << out;
    EXPECT_NE(out.find(L"outer=3\r\n"), std::wstring::npos) << out;
    EXPECT_NE(out.find(L"three counted"), std::wstring::npos) << out;
    EXPECT_EQ(out.find(L"four counted"), std::wstring::npos) << out;
    const std::wstring log = ReadUtf8File(dir + L"\\log.txt");
    // Counts, then the deviation as a plain number of nanoseconds.
    ASSERT_EQ(log.rfind(L"3 0 [", 0), 0u) << log;
    const size_t close = log.find(L']');
    ASSERT_NE(close, std::wstring::npos) << log;
    EXPECT_GT(close, 5u) << log;
    EXPECT_EQ(log.find_first_not_of(L"0123456789", 5), close) << log;
    RemoveTree(dir);
}

}  // namespace
