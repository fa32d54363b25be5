// The run file of /X through the stand-in host, from given tick values: both
// formats, the command's JSON text, series ended by /U or Ctrl+C, files that
// cannot be made or written; and the distribution of /G.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "test_support.h"
#include "trials/run_distribution.h"
#include "trials_test_support.h"

namespace {

// The counter: 0 at the start, then run k's two readings s_ticks[k] apart.
std::vector<uint64_t> s_ticks;
size_t s_reading;
BOOL WINAPI TickCounter(LARGE_INTEGER* count) {
    const size_t n = s_reading++, k = (n - 1) / 2;
    count->QuadPart = n == 0 ? 0 : static_cast<LONGLONG>((k + 1) * 10000000000ull + (n % 2 || k >= s_ticks.size() ? 0 : s_ticks[k]));
    return TRUE;
}

class RunFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        AttachFreshPluginToHost();
        g_state.perfFrequency = 10000000;
        dir_ = MakeTempDir();
    }
    void TearDown() override {
        ResetSysCalls();
        ResetPluginStateForTest();
        RemoveTree(dir_);
    }
    int Kv(const std::wstring& arguments) {
        std::wstring line = L"/Q /O:FJRT " + arguments;
        s_reading = 0;
        return kv(line.data());
    }
    std::wstring dir_;
};

// Statuses in the tables, one letter a run: c counted, s slow, f fast, x excluded.
const wchar_t* const kStatusNames[] = {L"counted", L"slow", L"fast", L"excluded"};
RunStatus StatusOf(char letter) { return static_cast<RunStatus>(std::string("csfx").find(letter)); }

TEST_F(RunFileTest, TheWorkedExampleGoesToCsvOrJsonWithTheFiguresOfTheVariables) {
    const struct {
        const wchar_t* options;
        const wchar_t* file;
        const char* status;
    } cases[] = {{L"/D", L"runs.csv", "ccccscfccccc"}, {L"/D /E", L"runs.csv", "cccxscfccccc"},
                 {L"/D", L"runs.json", "ccccscfccccc"}, {L"/D /E", L"Runs.JSON", "cccxscfccccc"}};
    s_ticks = {12345678, 11002000, 10950300, 11500000, 25000000, 11200000,
               10800000, 11100000, 11050000, 11300000, 11400000, 11250000};
    g_sys.queryPerformanceCounter = TickCounter;
    for (const auto& c : cases) {
        const std::wstring path = dir_ + L"\\" + c.file;
        CapturedOutput output;
        ASSERT_EQ(Kv(std::wstring(c.options) + L" /X:" + path + L" `if %_trialrun==4 exitcode 1`"), 0);
        const std::wstring text = ReadUtf8File(path);
        const bool json = text[0] == L'{';
        std::wstring csv = L"run,ticks,nanoseconds,exit_code,status\r\n";
        for (size_t i = 0; i < s_ticks.size(); ++i) {
            const std::wstring n = std::to_wstring(i + 1), t = std::to_wstring(s_ticks[i]);
            const std::wstring ns = std::to_wstring(s_ticks[i] * 100), rv = i == 3 ? L"1" : L"0";
            const std::wstring status = kStatusNames[StatusOf(c.status[i])];
            csv += n + L"," + t + L"," + ns + L"," + rv + L"," + status + L"\r\n";
            if (json) {
                EXPECT_NE(text.find(L"{\"run\": " + n + L", \"ticks\": " + t + L", \"ns\": " + ns + L", \"rv\": " + rv +
                                    L", \"status\": \"" + status + L"\"}"),
                          std::wstring::npos) << n;
            }
        }
        if (!json) {
            EXPECT_EQ(text, csv);
            continue;
        }
        EXPECT_EQ(text.find(L"{\r\n\"command\": \"`if %_trialrun==4 exitcode 1`\",\r\n\"frequency\": 10000000,\r\n"
                            L"\"requested\": 10,\r\n\"interrupted\": false,\r\n\"runs\": [\r\n"), 0u) << text;
        for (const wchar_t* figure : {L"avg_ns\": %_kvavg,", L"stddev_ns\": %_kvstddev,", L"total_ns\": %_kvtotal\r\n"})
            EXPECT_NE(text.find(Expanded(figure)), std::wstring::npos) << figure;
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
        const std::wstring path = dir_ + L"\\r.json";
        ASSERT_EQ(Kv(L"/N:1 /X:" + path + L" " + c.command), 0);
        EXPECT_EQ(ReadUtf8File(path).find(std::wstring(L"{\r\n\"command\": ") + c.json + L",\r\n"), 0u) << c.json;
    }
}

// Through the host's own line, as a user types it; %kvfile% is the run file.
TEST_F(RunFileTest, ASeriesEndedByUserAbortOrCtrlCKeepsTheRunsMadeAndOneTheHostLeftIsEmpty) {
    const struct {
        const wchar_t* file;
        const wchar_t* line;
        int madeRuns;  // -1: an empty file
    } cases[] = {
        {L"u.csv", L"kv /U:3 /N:5 /Q /O:FJRT /X:%kvfile% `if %_trialrun==3 exitcode 3`", 3},
        {L"u.json", L"kv /U:3 /N:5 /Q /O:FJRT /X:%kvfile% `if %_trialrun==3 exitcode 3`", 3},
        {L"c.csv", L"kv /N:20 /Q /O:FJRT /X:%kvfile% `if %_trialrun==3 ctrlc`", 3},
        {L"l.json", L"kv /N:20 /Q /O:FJRT /X:%kvfile% `if %_trialrun==3 ctrlc /l`", -1},
    };
    for (const auto& c : cases) {
        const std::wstring path = dir_ + L"\\" + c.file;
        ScopedEnvironmentVariable kvfile(L"kvfile", path.c_str());
        CapturedOutput output;
        int broken = 0;
        HostRunLine(c.line, &broken);
        HostReturnToPrompt();
        const std::wstring text = ReadUtf8File(path);
        EXPECT_TRUE(DeleteFileW(path.c_str())) << c.line << ": the file is still open";
        if (c.madeRuns < 0) {
            EXPECT_EQ(text, L"") << c.line;
            continue;
        }
        const bool json = text[0] == L'{';
        EXPECT_EQ(CountOccurrences(text, json ? L"\"status\": \"made\"" : L",made\r\n"), 3u) << text;
        EXPECT_NE(text.find(json ? L"\"rv\": 3, \"status\": \"made\"}\r\n]" : L",3,made\r\n"), std::wstring::npos) << text;
        if (json) {
            EXPECT_NE(text.find(L"true,\r\n\"runs\""), std::wstring::npos) << text;
            EXPECT_NE(text.find(L"\"counted\": null,\r\n\"errors\": null"), std::wstring::npos) << text;
        }
    }
}

HANDLE WINAPI ReadOnlyFile(LPCWSTR name, DWORD, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD flags,
                           HANDLE) {
    return CreateFileW(name, GENERIC_READ, share, nullptr, disposition, flags, nullptr);
}

TEST_F(RunFileTest, AFileThatCannotBeMadeEndsTheCommandBeforeAnythingChanges) {
    ASSERT_EQ(Kv(L"/N:2 rem"), 0);
    const std::wstring runsBefore = Expanded(L"%_kvruns");
    const struct {
        std::wstring file;
        bool readOnly;
        int result;
        std::wstring message;  // after the prefix
    } cases[] = {
        {L"no\\such\\runs.csv", false, 1, L"Cannot create the run file \"" + dir_ + L"\\no\\such\\runs.csv\": Windows error 3\r\n"},
        {L"runs.csv", true, 0, L"Cannot write the run file: Windows error 5\r\n"},
    };
    for (const auto& c : cases) {
        if (c.readOnly) g_sys.createFileW = ReadOnlyFile;
        CapturedOutput output;
        EXPECT_EQ(Kv(L"/N:3 /X:" + dir_ + L"\\" + c.file + L" echo ran"), c.result);
        EXPECT_EQ(output.Err(), L"Kelvane plugin: " + c.message);
        EXPECT_EQ(output.Out().substr(0, 15), c.readOnly ? L"ran\r\nran\r\nran\r\n" : L"");
        EXPECT_EQ(Expanded(L"%_kvruns"), c.readOnly ? L"3" : runsBefore);
        EXPECT_EQ(g_state.liveSeries, nullptr);
    }
}

// Rows of the bar chart: label, number of '#', count.
std::wstring Row(const wchar_t* label, int bar, int count) {
    return L"  " + std::wstring(label) + L"  " + std::wstring(bar, L'#') + std::wstring(40 - bar, L' ') + L" " +
           std::to_wstring(count) + L"\r\n";
}

TEST_F(RunFileTest, TheDistributionDrawsTheCountedRunsInAtMostTenBins) {
    const std::wstring example = L"Distribution of the 9 counted runs, in ns:\r\n" + Row(L"300", 40, 4) +
                                 Row(L"400", 30, 3) + Row(L"500", 10, 1) + Row(L"600", 0, 0) + Row(L"700", 0, 0) +
                                 Row(L"800", 0, 0) + Row(L"900", 10, 1);
    const struct {
        const char* name;
        std::vector<uint64_t> ticks;
        std::string status;
        std::wstring text;
    } cases[] = {
        {"example", {3, 4, 3, 5, 3, 4, 9, 3, 4}, "ccccccccc", example},
        {"dropped runs left out", {20, 3, 4, 3, 5, 3, 4, 9, 3, 4, 1}, "scccccccccf", example},
        {"one value", {5000, 5000}, "cc", L"Distribution of the 2 counted runs, in ns:\r\n" + Row(L"500000", 40, 2)},
        {"wide spread in ms", {500000, 1000000, 500000, 1500000, 500000, 1500000}, "cccccc",
         L"Distribution of the 6 counted runs, in ms:\r\n" + Row(L" 50", 40, 3) + Row(L" 60", 0, 0) +
             Row(L" 70", 0, 0) + Row(L" 80", 0, 0) + Row(L" 90", 13, 1) + Row(L"100", 0, 0) + Row(L"110", 0, 0) +
             Row(L"120", 0, 0) + Row(L"130", 0, 0) + Row(L"140", 27, 2)},
        {"none counted", {7}, "x", L""},
    };
    for (const auto& c : cases) {
        std::vector<RunRecord> records;
        for (uint32_t i = 0; i < c.ticks.size(); ++i)
            records.push_back(RunRecord{c.ticks[i], 0, StatusOf(c.status[i]), i});
        CapturedOutput output;
        PrintDistribution(records.data(), static_cast<uint32_t>(records.size()));
        EXPECT_EQ(output.Out(), c.text) << c.name;
    }
}

}  // namespace
