// The batch-file examples of README.md (its fenced blocks that begin with
// "@echo off"), each run through kvhost with the built plug-in in a folder of
// its own. A new example needs a row: a line only it holds, the files it
// reads (a batch file it calls, say), and what it returns, prints (texts, in
// order) and writes.
#include <gtest/gtest.h>
#include <algorithm>
#include <regex>
#include <sstream>
#include "test_support.h"

namespace {

const struct {
    const wchar_t* line;
    std::vector<std::pair<const wchar_t*, const wchar_t*>> inputs;  // files it reads: name, text
    DWORD exitCode;
    std::vector<const wchar_t*> printed;  // texts it prints, in this order
    const wchar_t *file, *written;        // a file it writes (or none), and the pattern of its text
} kRows[] = {
    {L"if %_kvavg gt 50000000 quit 1", {{L"big.log", L"a line of a log\r\nand another\r\n"}}, 0,
     {L"Command   :  `type big.log > nul`\r\n", L"Std deviation:  ", L"Command   :  `copy /q big.log nul`\r\n",
      L"Previous  :  `type big.log > nul`\r\n", L"Compared  :  ", L" the previous"},
     L"timings.txt", L"type    \\d+ ns \\+- \\d+ ns\r\ncopy    \\d+ ns \\+- \\d+ ns\r\n"},
    {L"if %_kvratiolow gt 1050 quit 1", {{L"old.btm", L"delay /m 1\r\n"}, {L"new.btm", L"delay /m 3\r\n"}}, 1,
     {L"Command   :  call new.btm\r\n", L"times slower than the previous (95%: ", L"), a real difference\r\n",
      L"new/old ", L", 95% from "},
     nullptr, nullptr},
    {L"echo the runs are in plain.csv and batched.csv", {}, 0,
     {L"Command   :  delay /m 2\r\n", L"Command   :  delay /m 1\r\n", L"times faster than the previous",
      L"the runs are in plain.csv and batched.csv\r\n"},
     L"batched.csv", L"run,ticks,nanoseconds,exit_code,status\r\n(\\d+,\\d+,\\d+,0,counted\r\n){50}"},
};

TEST(ReadmeExamples, EveryBatchExampleRunsAndDoesWhatItsRowSays) {
    std::vector<std::wstring> blocks;
    bool inFence = false;
    std::wistringstream readme(ReadUtf8File(ExeDir() + L"\\README.md"));
    for (std::wstring line; std::getline(readme, line);) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.rfind(L"```", 0) == 0 && (inFence = !inFence)) blocks.emplace_back();
        else if (inFence) blocks.back() += line + L"\r\n";
    }
    std::vector<int> examplesOfRow(std::size(kRows));
    for (const std::wstring& example : blocks) {
        if (_wcsnicmp(example.c_str(), L"@echo off\r\n", 11) != 0) continue;
        const auto row = std::find_if(std::begin(kRows), std::end(kRows), [&](const auto& r) {
            return example.find(std::wstring(r.line) + L"\r\n") != std::wstring::npos;
        });
        EXPECT_NE(row, std::end(kRows)) << "no row for this example of README.md:\n" << example;
        if (row == std::end(kRows) || examplesOfRow[row - kRows]++) continue;
        const std::wstring dir = MakeTempDir();
        WriteTextFile(dir + L"\\example.btm", example);
        for (const auto& [name, text] : row->inputs) WriteTextFile(dir + L"\\" + name, text);
        const HostRun run = RunKvHost(L"/c cd \"" + dir + L"\" & example.btm");
        EXPECT_EQ(run.exitCode, row->exitCode) << row->line;
        EXPECT_EQ(run.err, L"") << row->line;
        size_t at = 0;
        for (const wchar_t* printed : row->printed)
            EXPECT_NE(at = run.out.find(printed, at), std::wstring::npos) << printed << ", in order, in:\n" << run.out;
        if (row->file) {
            EXPECT_TRUE(std::regex_match(ReadUtf8File(dir + L"\\" + row->file), std::wregex(row->written))) << row->file;
        }
        RemoveTree(dir);
    }
    // Each row has exactly one example: one whose example changed or went away is out of date.
    for (size_t i = 0; i < std::size(kRows); ++i) EXPECT_EQ(examplesOfRow[i], 1) << kRows[i].line;
}

}  // namespace
