// The run file of /X through the stand-in host, from given tick values: both
// formats, the command's JSON text, series ended by /U or Ctrl+C, files that
// cannot be made or written; and the distribution of /G.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "frame/plugin_exports.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "test_support.h"
#include "trials/run_distribution.h"
#include "trials/series_statistics.h"
#include "trials_test_support.h"

namespace {

// The counter: 0 at the start, then run k's two readings s_ticks[k] apart.
std::vector<uint64_t> s_ticks;
size_t s_reading;
BOOL WINAPI TickCounter(LARGE_INTEGER* count) {
    const size_t n = s_reading++, k = (n - 1) / 2, ticks = n % 2 || k >= s_ticks.size() ? 0 : s_ticks[k];
    count->QuadPart = n == 0 ? 0 : static_cast<LONGLONG>((k + 1) * 10000000000ull + ticks);
    return TRUE;
}

// Statuses in the tables, one letter a run: c counted, s slow, f fast, x excluded.
const wchar_t* const kStatusNames[] = {L"counted", L"slow", L"fast", L"excluded"};
RunStatus StatusOf(char letter) { return static_cast<RunStatus>(std::string("csfx").find(letter)); }

class RunFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        AttachFreshPluginToHost();
        g_state.perfFrequency = 10000000;
    }
    void TearDown() override {
        ResetSysCalls();
        ResetPluginStateForTest();
        RemoveTree(dir_);
    }
    int Kv(const std::wstring& arguments) {
        std::wstring line = L"/Q /O:FJRT /X:" + dir_ + L"\\" + arguments;
        s_reading = 0;
        return kv(line.data());
    }
    std::wstring dir_ = MakeTempDir();
};

TEST_F(RunFileTest, TheWorkedExampleGoesToCsvOrJsonWithTheFiguresOfTheVariables) {
    const struct {
        const wchar_t* file;
        const wchar_t* options;
        const char* status;
    } cases[] = {{L"runs.csv", L"/D", "ccccscfccccc"}, {L"runs.csv", L"/D /E", "cccxscfccccc"},
                 {L"runs.json", L"/D", "ccccscfccccc"}, {L"Runs.JSON", L"/D /E", "cccxscfccccc"}};
    s_ticks = {12345678, 11002000, 10950300, 11500000, 25000000, 11200000,
               10800000, 11100000, 11050000, 11300000, 11400000, 11250000};
    g_sys.queryPerformanceCounter = TickCounter;
    for (const auto& c : cases) {
        CapturedOutput output;
        ASSERT_EQ(Kv(c.file + (L" " + std::wstring(c.options)) + L" `if %_trialrun==4 exitcode 1`"), 0);
        const bool json = _wcsicmp(c.file + wcslen(c.file) - 5, L".json") == 0;
        std::wstring runs;
        for (size_t i = 0; i < s_ticks.size(); ++i) {
            const std::wstring f[] = {std::to_wstring(i + 1), std::to_wstring(s_ticks[i]),
                                      std::to_wstring(s_ticks[i] * 100), i == 3 ? L"1" : L"0",
                                      kStatusNames[StatusOf(c.status[i])]};
            runs += json ? L"{\"run\": " + f[0] + L", \"ticks\": " + f[1] + L", \"ns\": " + f[2] + L", \"rv\": " + f[3] +
                               L", \"status\": \"" + f[4] + (i < 11 ? L"\"},\r\n" : L"\"}\r\n")
                         : f[0] + L"," + f[1] + L"," + f[2] + L"," + f[3] + L"," + f[4] + L"\r\n";
        }
        EXPECT_EQ(ReadUtf8File(dir_ + L"\\" + c.file),
                  json ? L"{\r\n\"command\": \"`if %_trialrun==4 exitcode 1`\",\r\n\"frequency\": 10000000,\r\n"
                         L"\"requested\": 10,\r\n\"interrupted\": false,\r\n\"runs\": [\r\n" + runs + L"],\r\n" +
                             Expanded(L"\"counted\": %_kvruns,\r\n\"errors\": %_kverrors,\r\n\"avg_ns\": %_kvavg,\r\n"
                                      L"\"median_ns\": %_kvmedian,\r\n\"min_ns\": %_kvmin,\r\n\"max_ns\": %_kvmax,\r\n"
                                      L"\"stddev_ns\": %_kvstddev,\r\n\"total_ns\": %_kvtotal\r\n}\r\n")
                       : L"run,ticks,nanoseconds,exit_code,status\r\n" + runs)
            << c.file << " " << c.options;
    }
}

TEST_F(RunFileTest, TheCommandIsAJsonStringOfRawUtf8) {
    const struct {
        const wchar_t* command;
        const wchar_t* json;
    } cases[] = {{L"rem \"q\" a\\b", L"\"rem \\\"q\\\" a\\\\b\""},
                 {L"rem a\tb\x1f", L"\"rem a\\u0009b\\u001F\""},
                 {L"rem \u00e9 \U0001F600", L"\"rem \u00e9 \U0001F600\""},
                 {L"rem \xD83D x \xDE00", L"\"rem \uFFFD x \uFFFD\""}};
    for (const auto& c : cases) {
        CapturedOutput output;
        ASSERT_EQ(Kv(std::wstring(L"r.json /N:1 ") + c.command), 0);
        EXPECT_EQ(ReadUtf8File(dir_ + L"\\r.json").find(std::wstring(L"{\r\n\"command\": ") + c.json + L",\r\n"), 0u);
    }
}

// Typed at the host's prompt; each row's run 3 ends the series or leaves it.
TEST_F(RunFileTest, ASeriesEndedByUserAbortOrCtrlCKeepsTheRunsMadeAndOneTheHostLeftIsEmpty) {
    const struct {
        const wchar_t* file;
        const wchar_t* run3;
        const wchar_t* last;  // the end of the file; null: an empty file
    } cases[] = {
        {L"u.csv", L"exitcode 3", L"2,0,0,0,made\r\n3,0,0,3,made\r\n"},
        {L"u.json", L"exitcode 3", L"\"rv\": 3, \"status\": \"made\"}\r\n],\r\n\"counted\": null,\r\n\"errors\": null,"},
        {L"c.csv", L"ctrlc", L"2,0,0,0,made\r\n3,0,0,3,made\r\n"},
        {L"l.json", L"ctrlc /l", nullptr},
    };
    s_ticks.clear();  // every run 0 ticks
    g_sys.queryPerformanceCounter = TickCounter;
    for (const auto& c : cases) {
        const std::wstring path = dir_ + L"\\" + c.file;
        CapturedOutput output;
        s_reading = 0;
        HostRunLine((L"kv /U:3 /N:20 /Q /O:FJRT /X:" + path + L" `if %_trialrun==3 " + c.run3 + L"`").c_str(), nullptr);
        HostReturnToPrompt();
        const std::wstring text = ReadUtf8File(path);
        EXPECT_TRUE(DeleteFileW(path.c_str())) << c.file << ": the file is still open";
        EXPECT_EQ(CountOccurrences(text, L"made"), c.last ? 3u : 0u) << text;
        EXPECT_TRUE(c.last ? text.find(c.last) != std::wstring::npos : text.empty()) << text;
    }
}

HANDLE WINAPI ReadOnlyFile(LPCWSTR name, DWORD, DWORD share, LPSECURITY_ATTRIBUTES, DWORD how, DWORD flags, HANDLE) {
    return CreateFileW(name, GENERIC_READ, share, nullptr, how, flags, nullptr);
}

// Made: nothing runs and nothing changes. Written: the series is kept.
TEST_F(RunFileTest, AFileThatCannotBeMadeOrWrittenIsReported) {
    {
        CapturedOutput output;
        ASSERT_EQ(Kv(L"first.csv /N:2 rem"), 0);
    }
    const struct {
        const wchar_t* file;
        bool readOnly;
        std::wstring message;  // after the prefix
    } cases[] = {
        {L"no\\such\\runs.csv", false, L"Cannot create the run file \"" + dir_ + L"\\no\\such\\runs.csv\": Windows error 3"},
        {L"runs.csv", true, L"Cannot write the run file: Windows error 5"},
    };
    for (const auto& c : cases) {
        if (c.readOnly) g_sys.createFileW = ReadOnlyFile;
        CapturedOutput output;
        EXPECT_EQ(Kv(c.file + std::wstring(L" /N:3 echo ran")), c.readOnly ? 0 : 1);
        EXPECT_EQ(output.Err(), L"Kelvane plugin: " + c.message + L"\r\n");
        EXPECT_EQ(output.Out().substr(0, 15), c.readOnly ? L"ran\r\nran\r\nran\r\n" : L"");
        EXPECT_EQ(Expanded(L"%_kvruns"), c.readOnly ? L"3" : L"2");
        EXPECT_EQ(g_state.liveSeries, nullptr);
    }
}

// A row of the chart: label, number of '#', count.
std::wstring Row(const wchar_t* label, int bar, int count) {
    return L"  " + std::wstring(label) + L"  " + std::wstring(bar, L'#') + std::wstring(40 - bar, L' ') + L" " +
           std::to_wstring(count) + L"\r\n";
}

TEST_F(RunFileTest, TheDistributionDrawsTheCountedRunsInAtMostTenBins) {
    const std::wstring example = L"Distribution of the 9 counted runs, in ns:\r\n" + Row(L"300", 40, 4) +
                                 Row(L"400", 30, 3) + Row(L"500", 10, 1) + Row(L"600", 0, 0) + Row(L"700", 0, 0) +
                                 Row(L"800", 0, 0) + Row(L"900", 10, 1);
    const struct {
        std::vector<uint64_t> ticks;
        std::string status;
        std::wstring text;
    } cases[] = {
        {{3, 4, 3, 5, 3, 4, 9, 3, 4}, "ccccccccc", example},
        {{20, 3, 4, 3, 5, 3, 4, 9, 3, 4, 1}, "scccccccccf", example},  // /D
        {{5000, 5000}, "cc", L"Distribution of the 2 counted runs, in ns:\r\n" + Row(L"500000", 40, 2)},
        {{500000, 1000000, 500000, 1500000, 500000, 1500000}, "cccccc",
         L"Distribution of the 6 counted runs, in ms:\r\n" + Row(L" 50", 40, 3) + Row(L" 60", 0, 0) +
             Row(L" 70", 0, 0) + Row(L" 80", 0, 0) + Row(L" 90", 13, 1) + Row(L"100", 0, 0) + Row(L"110", 0, 0) +
             Row(L"120", 0, 0) + Row(L"130", 0, 0) + Row(L"140", 27, 2)},
        {{7}, "x", L""},
    };
    for (const auto& c : cases) {
        std::vector<RunRecord> records;
        for (uint32_t i = 0; i < c.ticks.size(); ++i) records.push_back(RunRecord{c.ticks[i], 0, StatusOf(c.status[i]), i});
        std::vector<RunRecord> sorted(records.size());
        const uint32_t runs = static_cast<uint32_t>(records.size());
        SortRuns(records.data(), sorted.data(), runs);
        CapturedOutput output;
        PrintDistribution(records.data(), runs, CountSeries(records.data(), sorted.data(), runs, 0));
        EXPECT_EQ(output.Out(), c.text) << c.status;
    }
}

}  // namespace
