// The entry points the host calls, under the undecorated names it looks up.
// They are marked for export here, so that any module linking the plug-in's
// library (the DLL, and a test program that registers itself with the
// stand-in host) exports them.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include "frame/plugin_info.h"

#define KV_EXPORT extern "C" __declspec(dllexport)

// The host's keystroke record: 56 bytes, whose meaning is the host's. The hook
// only tests the fields named here.
struct KeyInfo {
    int32_t field0;
    int32_t field4;
    int32_t field8;
    int32_t field12;
    int32_t field16;
    int32_t field20;
    void* pointer24;
    void* pointer32;
    void* pointer40;
    void* pointer48;
};
static_assert(sizeof(KeyInfo) == 56);
static_assert(offsetof(KeyInfo, pointer24) == 24);
static_assert(offsetof(KeyInfo, pointer48) == 48);

KV_EXPORT PluginInfo* GetPluginInfo(HMODULE module);
KV_EXPORT int InitializePlugin(void);
KV_EXPORT int ShutdownPlugin(int endProcess);
KV_EXPORT int kv(wchar_t* arguments);
KV_EXPORT int _trialrun(wchar_t* buffer);
// The figures of the latest finished series (counts, and times in whole
// nanoseconds); empty before the first.
KV_EXPORT int _kvruns(wchar_t* buffer);
KV_EXPORT int _kverrors(wchar_t* buffer);
KV_EXPORT int _kvavg(wchar_t* buffer);
KV_EXPORT int _kvmedian(wchar_t* buffer);
KV_EXPORT int _kvmin(wchar_t* buffer);
KV_EXPORT int _kvmax(wchar_t* buffer);
KV_EXPORT int _kvstddev(wchar_t* buffer);
KV_EXPORT int _kvtotal(wchar_t* buffer);
// /C's ratio of the averages and its 95% bounds, in thousandths.
KV_EXPORT int _kvratio(wchar_t* buffer);
KV_EXPORT int _kvratiolow(wchar_t* buffer);
KV_EXPORT int _kvratiohigh(wchar_t* buffer);
KV_EXPORT int key(KeyInfo* info);
KV_EXPORT int Usage(const wchar_t* name, wchar_t* buffer);
KV_EXPORT int Help(const wchar_t* name);
