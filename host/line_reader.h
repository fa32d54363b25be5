// Command lines from kvhost's standard input, a console or a pipe or file.
#pragma once
#include <windows.h>
#include <string>

class LineReader {
public:
    // How a console is read; ReadConsoleW but for a test that plays the console.
    using ConsoleRead = BOOL (*)(HANDLE input, wchar_t* chunk, DWORD capacity, DWORD* got);
    explicit LineReader(ConsoleRead read = ReadFromConsole) : read_(read) {}

    // One line, without its line end; false at the end of input. A line
    // broken off by Ctrl+C comes back empty.
    bool Read(std::wstring& line);

private:
    static BOOL ReadFromConsole(HANDLE input, wchar_t* chunk, DWORD capacity, DWORD* got);
    bool ReadConsoleLine(HANDLE input, std::wstring& line);
    bool ReadFileLine(HANDLE input, std::wstring& line);
    ConsoleRead read_;
    std::string pending_;  // bytes read from a pipe or file beyond the last line
    int emptyReads_ = 0;   // console reads in a row that gave nothing and no break
};
