// host_probe.dll: a minimal plug-in that reports, through the host's own
// output services, each call the host makes to it, so tests of kvhost can see
// start-up, commands, variables, keystroke hooks and shut-down from outside.
// Owns a call counter for its variable.
#include <windows.h>
#include <cwchar>
#include "frame/host_api.h"
#include "frame/plugin_info.h"

namespace {

PluginInfo s_info = {L"HostProbe", L"Kelvane", L"", L"", L"Host probe", L"probe, probecolors, _probevar ,*probekey",
                    1, 0, 0, 0, nullptr, nullptr};
unsigned s_variableCalls = 0;

}  // namespace

#define PROBE_EXPORT extern "C" __declspec(dllexport)

PROBE_EXPORT PluginInfo* GetPluginInfo(HMODULE) { return &s_info; }

// Refuses to start when HOST_PROBE_REFUSE is set, with its value as the result.
PROBE_EXPORT int InitializePlugin(void) {
    wchar_t refuse[32];
    if (GetEnvironmentVariableW(L"HOST_PROBE_REFUSE", refuse, 32)) return _wtoi(refuse);
    Printf(L"probe: started\r\n");
    return 0;
}

PROBE_EXPORT int ShutdownPlugin(int) {
    Printf(L"probe: shut down\r\n");
    return 0;
}

// Shows its argument text in brackets; returns its length as the exit code.
PROBE_EXPORT int probe(wchar_t* arguments) {
    Printf(L"probe: [%s]\r\n", arguments);
    return static_cast<int>(wcslen(arguments));
}

// Shows what the host's GetAttribute gives, starting from -5 in both outputs.
PROBE_EXPORT int probecolors(wchar_t*) {
    int normal = -5, inverse = -5;
    int rc = GetAttribute(&normal, &inverse);
    Printf(L"probe: attribute rc=%d normal=%d inverse=%d\r\n", rc, normal, inverse);
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
