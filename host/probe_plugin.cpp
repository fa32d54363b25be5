// host_probe.dll: a minimal plug-in that reports, through the host's own
// output services, each call the host makes to it, so tests of kvhost can see
// start-up, commands, variables, keystroke hooks and shut-down from outside.
// Owns a call counter for its variable.
#include <windows.h>
#include <cwchar>
#include <string>
#include "frame/host_api.h"
#include "frame/plugin_info.h"

namespace {

PluginInfo s_info = {L"HostProbe", L"Kelvane", L"", L"", L"Host probe", L"probe, probecolors, _probevar ,*probekey",
                    1, 0, 0, 0, nullptr, nullptr};
unsigned s_variableCalls = 0;

// Those of the blank-separated DLL names that are loaded in the process.
std::wstring LoadedOf(wchar_t* names) {
    std::wstring text;
    for (wchar_t* name = wcstok(names, L" "); name; name = wcstok(nullptr, L" "))
        if (GetModuleHandleW(name)) text += std::wstring(L" ") + name;
    return text;
}

}  // namespace

#define PROBE_EXPORT extern "C" __declspec(dllexport)

PROBE_EXPORT PluginInfo* GetPluginInfo(HMODULE) { return &s_info; }

// Refuses to start when HOST_PROBE_REFUSE is set, with its value as the
// result. HOST_PROBE_LOADED may name DLLs: it says which are loaded already.
PROBE_EXPORT int InitializePlugin(void) {
    wchar_t value[256];
    if (GetEnvironmentVariableW(L"HOST_PROBE_REFUSE", value, 256)) return _wtoi(value);
    Printf(L"probe: started\r\n");
    if (GetEnvironmentVariableW(L"HOST_PROBE_LOADED", value, 256))
        Printf(L"probe: loaded:%s\r\n", LoadedOf(value).c_str());
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
