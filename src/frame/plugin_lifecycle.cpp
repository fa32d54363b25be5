// The host's view of the plug-in: the information record, start-up with its
// probes, and shut-down. Owns nothing beyond the PluginState fields it fills.
#include <cwctype>
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "console/console_env.h"
#include "lifetime/series_hold.h"

static PluginInfo s_info;

PluginInfo* GetPluginInfo(HMODULE) {
    // The host may read the record before start-up, so it is filled on every call.
    s_info.name = KV_PLUGIN_NAME;
    s_info.author = L"Zemquart";
    s_info.email = L"kelvane@zemquart.example";
    s_info.webPage = L"https://zemquart.example/kelvane";
    s_info.description = L"Kelvane for TCC";
    s_info.features = L"kv,_trialrun,_kvruns,_kverrors,_kvavg,_kvmedian,_kvmin,_kvmax,_kvstddev,_kvtotal,_kvratio,_kvratiolow,_kvratiohigh,*key";
    s_info.major = kVersionMajor;
    s_info.minor = kVersionMinor;
    s_info.build = kVersionBuild;
    return &s_info;
}

int QueryOsVersion() {
    OSVERSIONINFOEXW& v = g_state.osVersion;
    v = OSVERSIONINFOEXW{};
    v.dwOSVersionInfoSize = sizeof v;
    // RtlGetVersion tells the truth where GetVersionExW is subject to the
    // compatibility manifest; NtDll is always loaded, so it is not loaded here.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    if (HMODULE ntdll = GetModuleHandleW(L"NtDll.dll")) {
        auto rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
        if (rtlGetVersion) {
            rtlGetVersion(&v);
            if (v.dwMajorVersion >= 6) return 1;
        }
    }
    v = OSVERSIONINFOEXW{};
    v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&v)) ? 1 : 0;
#pragma GCC diagnostic pop
}

uint32_t QueryHostVersion() {
    wchar_t buffer[kWorkChars] = L"%_4ver";
    ExpandVariables(buffer, 1);
    const wchar_t* p = buffer;
    while (*p && iswspace(*p)) ++p;
    if (*p < L'0' || *p > L'9') return 0;
    uint64_t value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p) {
        value = value * 10 + static_cast<uint64_t>(*p - L'0');
        if (value > UINT32_MAX) return UINT32_MAX;
    }
    return static_cast<uint32_t>(value);
}

TakeCommandIpcFn LookUpTakeCommandIPC(HMODULE takeCmd) {
    // GetProcAddress with a null module would search the host's executable.
    if (!takeCmd) return nullptr;
    FARPROC found = GetProcAddress(takeCmd, kTakeCommandIpcDecorated);
    if (!found) found = GetProcAddress(takeCmd, kTakeCommandIpcPlain);
    return reinterpret_cast<TakeCommandIpcFn>(reinterpret_cast<void*>(found));
}

BOOL DetectPseudoConsole() {
    HWND console = GetConsoleWindow();
    if (!console) return FALSE;
    wchar_t className[kWorkChars] = {};
    if (!RealGetWindowClassW(console, className, kWorkChars)) return FALSE;
    return wcscmp(className, L"PseudoConsoleWindow") == 0;
}

static HANDLE OpenConsoleOutput() {
    HANDLE h = g_sys.createFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    if (h != INVALID_HANDLE_VALUE && h) return h;
    // Right after the console is created the device can refuse the first open.
    Sleep(50);
    h = g_sys.createFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

int InitializePlugin(void) {
    wchar_t buffer[kWorkChars] = L"%[_transient]%[_pipe]%[noloadmsg]";
    LARGE_INTEGER frequency;
    if (!g_sys.queryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        PrintErrorPrefix();
        HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
        Qprintf(err, L"Performance counters are not supported!\r\n");
        Qprintf(err, L"Plugin not loaded.\r\n");
        return 1;
    }
    g_state.perfFrequency = static_cast<uint64_t>(frequency.QuadPart);
    // Loaded again before everything of an earlier life was over (a series
    // shut down under its kv): what is over now is given back.
    g_state.inService = true;
    NoteHostNotBreaking();
    ReleaseDeadSeries();

    ExpandVariables(buffer, 1);
    if (wcscmp(buffer, L"00") == 0)
        Printf(L"%s v%u.%u.%u loaded.\r\n", KV_PLUGIN_NAME, kVersionMajor, kVersionMinor, kVersionBuild);

    QueryOsVersion();
    g_state.hostMajor = QueryHostVersion();
    // TakeCmd.dll is loaded: the plug-in imports from it.
    g_state.takeCommandIpc = LookUpTakeCommandIPC(GetModuleHandleW(L"TakeCmd.dll"));
    g_state.pseudoConsole = DetectPseudoConsole();
    g_state.conOut = OpenConsoleOutput();
    BuildAncestorList(GetCurrentProcessId());
    g_state.windowCacheValid = FALSE;
    return 0;
}

int ShutdownPlugin(int) {
    if (g_state.conOut) {
        CloseHandle(g_state.conOut);
        g_state.conOut = nullptr;
    }
    // The host may be unloading the plug-in from inside a timed command: kv
    // is then still on the call chain and its series keep memory and the DLL.
    // Unloading the plug-in (or ending), the host is not breaking.
    NoteHostNotBreaking();
    ShutDownSeries();
    ResetTrialState();
    if (g_state.windowCacheTimer) {
        KillTimer(nullptr, g_state.windowCacheTimer);
        g_state.windowCacheTimer = 0;
    }
    free(g_state.ancestorPids);
    g_state.ancestorPids = nullptr;
    g_state.ancestorCount = 0;
    g_state.windowCacheValid = FALSE;
    g_state.takeCommandIpc = nullptr;
    g_state.kept = KeptResult{};
    // Last: until the host has this call back it still holds the DLL itself.
    g_state.inService = false;
    return 0;
}
