// The batch-file examples of README.md (its fenced blocks that begin with
// "@echo off"), each run through kvhost with the built plug-in in a folder of
// its own. Every example needs a row below: one of its lines that no other
// example holds, the files it reads, and what it must print and write.
#include <gtest/gtest.h>
#include <algorithm>
#include <regex>
#include <string>
#include <vector>
#include "test_support.h"

namespace {

struct ExampleRow {
    const wchar_t* line;                  // a line only this example holds
    std::vector<const wchar_t*> inputs;   // files made before it runs
    DWORD exitCode;
    std::vector<const wchar_t*> printed;  // patterns of lines it prints, in this order
    std::vector<std::pair<const wchar_t*, const wchar_t*>> written;  // file, pattern of its whole text
};

const ExampleRow kRows[] = {
    {L"if %_kvavg gt 50000000 quit 1",
     {L"big.log"},
     0,
     {L"Command   :  `type big\\.log > nul`", L"Std deviation:  .*", L"Command   :  `copy /q big\\.log nul`",
      L"Previous  :  `type big\\.log > nul`", L"Compared  :  .*previous.*"},
     {{L"timings.txt", L"type    \\d+ ns \\+- \\d+ ns\r\ncopy    \\d+ ns \\+- \\d+ ns\r\n"}}},
};

std::vector<std::wstring> Lines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find(L'\n', start), text.size());
        lines.push_back(text.substr(start, end - start - (end > start && text[end - 1] == L'\r')));
    }
    return lines;
}

std::vector<std::wstring> BatchExamples(const std::wstring& readme) {
    std::vector<std::wstring> examples;
    bool inFence = false;
    for (const std::wstring& line : Lines(readme)) {
        if (line.rfind(L"```", 0) == 0) {
            inFence = !inFence;
            if (inFence) examples.emplace_back();
        } else if (inFence) {
            examples.back() += line + L"\r\n";
        }
    }
    const auto notBatch = [](const std::wstring& e) { return _wcsnicmp(e.c_str(), L"@echo off\r\n", 11) != 0; };
    examples.erase(std::remove_if(examples.begin(), examples.end(), notBatch), examples.end());
    return examples;
}

TEST(ReadmeExamples, EveryBatchExampleRunsAndPrintsWhatItsRowExpects) {
    const std::vector<std::wstring> examples = BatchExamples(ReadUtf8File(ExeDir() + L"\\README.md"));
    std::vector<int> examplesOfRow(std::size(kRows));
    for (const std::wstring& example : examples) {
        const ExampleRow* row = nullptr;
        for (const ExampleRow& r : kRows)
            if (example.find(std::wstring(r.line) + L"\r\n") != std::wstring::npos) {
                EXPECT_EQ(row, nullptr) << "two rows fit this example:\n" << example;
                row = &r, ++examplesOfRow[&r - kRows];
            }
        if (!row) {
            ADD_FAILURE() << "no row for this example of README.md:\n" << example;
            continue;
        }
        const std::wstring dir = MakeTempDir();
        WriteTextFile(dir + L"\\example.btm", example);
        for (const wchar_t* input : row->inputs)
            WriteTextFile(dir + L"\\" + input, std::wstring(200, L'x') + L"\r\n");
        const HostRun run = RunKvHost(L"/c cd \"" + dir + L"\" & example.btm");
        EXPECT_EQ(run.exitCode, row->exitCode) << row->line << "\n" << run.out;
        EXPECT_EQ(run.err, L"") << row->line;
        const std::vector<std::wstring> lines = Lines(run.out);
        auto next = lines.begin();
        for (const wchar_t* pattern : row->printed) {
            const std::wregex wanted(pattern);
            next = std::find_if(next, lines.end(), [&](const auto& l) { return std::regex_match(l, wanted); });
            EXPECT_NE(next, lines.end()) << "no line " << pattern << " in order in:\n" << run.out;
            if (next != lines.end()) ++next;
        }
        for (const auto& [file, pattern] : row->written)
            EXPECT_TRUE(std::regex_match(ReadUtf8File(dir + L"\\" + file), std::wregex(pattern))) << file;
        RemoveTree(dir);
    }
    // A row whose example changed or went away is out of date.
    for (size_t i = 0; i < std::size(kRows); ++i) EXPECT_EQ(examplesOfRow[i], 1) << kRows[i].line;
}

}  // namespace
