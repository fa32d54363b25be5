// The file a loaded module came from, for kvhost.exe and TakeCmd.dll alike.
#pragma once
#include <windows.h>
#include <string>

// The full path of the module (null: the program), however long it is.
inline std::wstring ModuleFileName(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}
