// Helpers of the trials tests: the console title and the host's title option
// as the user sees them.
#pragma once
#include <windows.h>
#include <cwchar>
#include <string>
#include "frame/host_api.h"

inline std::wstring ConsoleTitle() {
    wchar_t title[1024] = {};
    GetConsoleTitleW(title, 1024);
    return title;
}

// A text as the host expands it.
inline std::wstring Expanded(const wchar_t* text) {
    wchar_t buffer[1024];
    wcscpy(buffer, text);
    ExpandVariables(buffer, 1);
    return buffer;
}

inline std::wstring HostTitleOption() {
    wchar_t buffer[1024] = L"%@option[UpdateTitle]";
    ExpandVariables(buffer, 1);
    return buffer;
}

inline void SetHostTitleOption(const std::wstring& value) {
    std::wstring line = L"option //UpdateTitle=" + value;
    Command(line.data(), 0);
}
