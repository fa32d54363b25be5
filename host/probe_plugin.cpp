// host_probe.dll: a minimal plug-in that reports, through the host's own
// output services, each call the host makes to it, so tests of kvhost can see
// start-up, commands, variables, keystroke hooks and shut-down from outside.
// Owns a call counter for its variable.
#include <windows.h>
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>
#include "frame/host_api.h"
#include "frame/plugin_info.h"

namespace {

PluginInfo s_info = {L"HostProbe", L"Kelvane", L"", L"", L"Host probe", L"probe, probecolors, _probevar ,*probekey",
                    1, 0, 0, 0, nullptr, nullptr};
unsigned s_variableCalls = 0;

// The DLLs in the probe's own folder that are loaded in the process, in name
// order: what the host loaded before it started this plug-in.
std::wstring LoadedBesideIt() {
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&LoadedBesideIt), &self);
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
    std::wstring folder(path, length);
    folder.resize(folder.find_last_of(L"\\/") + 1);
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*.dll").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return L"";
    do {
        if (GetModuleHandleW((folder + found.cFileName).c_str())) names.emplace_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    std::wstring text;
    for (const auto& name : names) text += L" " + name;
    return text;
}

}  // namespace

#define PROBE_EXPORT extern "C" __declspec(dllexport)

PROBE_EXPORT PluginInfo* GetPluginInfo(HMODULE) { return &s_info; }

// Refuses to start when HOST_PROBE_REFUSE is set, with its value as the
// result. With HOST_PROBE_LOADED set it also names the DLLs of its folder
// that are loaded already.
PROBE_EXPORT int InitializePlugin(void) {
    wchar_t value[32];
    if (GetEnvironmentVariableW(L"HOST_PROBE_REFUSE", value, 32)) return _wtoi(value);
    Printf(L"probe: started\r\n");
    if (GetEnvironmentVariableW(L"HOST_PROBE_LOADED", value, 32))
        Printf(L"probe: loaded beside it:%s\r\n", LoadedBesideIt().c_str());
    return 0;
}

PROBE_EXPORT int ShutdownPlugin(int endProcess) {
    Printf(L"probe: shut down (%d)\r\n", endProcess);
    return 0;
}

// Shows its argument text in brackets; returns its length as the exit code.
PROBE_EXPORT int probe(wchar_t* arguments) {
    Printf(L"probe: [%s]\r\n", arguments);
    return static_cast<int>(wcslen(arguments));
}

// Shows what the host's GetAttribute gives, starting from 0xDEAD in both outputs.
PROBE_EXPORT int probecolors(wchar_t*) {
    unsigned normal = 0xDEAD, inverse = 0xDEAD;
    GetAttribute(&normal, &inverse);
    Printf(L"probe: attribute normal=0x%X inverse=0x%X\r\n", normal, inverse);
    return 0;
}

PROBE_EXPORT int _probevar(wchar_t* buffer) {
    swprintf(buffer, 1024, L"call%u", ++s_variableCalls);
    return 0;
}

// Says whether the record it was given is all zero.
PROBE_EXPORT int probekey(void* record) {
    const unsigned char* bytes = static_cast<const unsigned char*>(record);
    bool zero = true;
    for (int i = 0; i < 56; ++i)
        if (bytes[i]) zero = false;
    Printf(L"probe: key %s\r\n", zero ? L"zero" : L"nonzero");
    return 0;
}
