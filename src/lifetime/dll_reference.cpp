// Taking and giving back references to this DLL. Owns the references that
// could not be given back while the plug-in was out of service.
#include "lifetime/dll_reference.h"
#include <cstdint>
#include "frame/plugin_state.h"

// All of them are to this DLL.
static HMODULE s_leftModule;
static uint32_t s_leftReferences;

HMODULE HoldDll() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&HoldDll), &module))
        return nullptr;
    return module;
}

void ReleaseDll(HMODULE module) {
    if (!module) return;
    if (g_state.inService) {
        FreeLibrary(module);
        return;
    }
    s_leftModule = module;
    ++s_leftReferences;
}

void DropLeftReferences() {
    if (!g_state.inService) return;
    for (; s_leftReferences; --s_leftReferences) FreeLibrary(s_leftModule);
}
