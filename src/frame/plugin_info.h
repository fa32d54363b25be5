// The plug-in information record handed to the host, and the plug-in's name
// and version as every message and the version resource use them.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include "frame/kelvane_version.h"

#define KV_PLUGIN_NAME L"Kelvane"
constexpr int kVersionMajor = KV_VERSION_MAJOR;
constexpr int kVersionMinor = KV_VERSION_MINOR;
constexpr int kVersionBuild = KV_VERSION_BUILD;
constexpr int kVersionRevision = KV_VERSION_REVISION;

// Read by the host by layout; the fields after build belong to the host and stay zero.
struct PluginInfo {
    const wchar_t* name;
    const wchar_t* author;
    const wchar_t* email;
    const wchar_t* webPage;
    const wchar_t* description;
    const wchar_t* features;
    int32_t major;
    int32_t minor;
    int32_t build;
    int32_t hostReserved0;
    void* hostReserved1;
    void* hostReserved2;
};

static_assert(offsetof(PluginInfo, name) == 0);
static_assert(offsetof(PluginInfo, author) == 8);
static_assert(offsetof(PluginInfo, email) == 16);
static_assert(offsetof(PluginInfo, webPage) == 24);
static_assert(offsetof(PluginInfo, description) == 32);
static_assert(offsetof(PluginInfo, features) == 40);
static_assert(offsetof(PluginInfo, major) == 48);
static_assert(offsetof(PluginInfo, minor) == 52);
static_assert(offsetof(PluginInfo, build) == 56);
static_assert(offsetof(PluginInfo, hostReserved1) == 64);
