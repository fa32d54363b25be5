// Plug-in registry of the stand-in host: loading a DLL the way the real host
// does (information record, feature list, start-up), alone or every one in a
// plug-in folder, the lookup of plug-in commands and variables, keystroke
// hooks and shut-down. At start-up every plug-in is loaded before any is
// started, as the real host documents. Owns the registry.
#include "host_engine.h"
#include <algorithm>
#include <vector>
#include "frame/plugin_exports.h"
#include "module_file.h"

namespace {

// The information record and the keystroke record are read and written by
// layout; the plug-in's own definitions of them are the shared ones.
using KeyRecord = KeyInfo;

using GetPluginInfoFn = PluginInfo* (*)(HMODULE);
using InitializeFn = int (*)();
using ShutdownFn = int (*)(int);
using HookFn = int (*)(KeyRecord*);

struct Feature {
    std::wstring name;
    PluginTextFn entry;
};

struct Plugin {
    HMODULE module;
    bool owned;  // loaded by the host, so freed by it
    std::wstring name;
    std::wstring path;
    std::vector<Feature> commands;
    std::vector<Feature> variables;
    std::vector<HookFn> hooks;
    ShutdownFn shutdown;
    bool started;  // InitializePlugin returned 0
};

std::vector<Plugin> s_plugins;

FARPROC Entry(HMODULE module, std::wstring_view name) {
    std::string narrow;
    for (wchar_t c : name) {
        if (c > 0x7F) return nullptr;  // export names are ASCII
        narrow += static_cast<char>(c);
    }
    return GetProcAddress(module, narrow.c_str());
}

Plugin* FindByModule(HMODULE module) {
    for (auto& plugin : s_plugins)
        if (plugin.module == module) return &plugin;
    return nullptr;
}

PluginTextFn FindFeature(std::vector<Feature> Plugin::*list, std::wstring_view name) {
    for (auto& plugin : s_plugins)
        for (auto& feature : plugin.*list)
            if (EqualsNoCase(feature.name, name)) return feature.entry;
    return nullptr;
}

std::wstring BaseName(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    std::wstring base = slash == std::wstring::npos ? path : path.substr(slash + 1);
    size_t dot = base.rfind(L'.');
    return dot == std::wstring::npos ? base : base.substr(0, dot);
}

// Reads the information record and the feature list and adds the plug-in to
// the registry, not yet started.
int Register(HMODULE module, bool owned) {
    Plugin plugin{module, owned, L"", ModuleFileName(module), {}, {}, {}, nullptr, false};
    auto getInfo = reinterpret_cast<GetPluginInfoFn>(reinterpret_cast<void*>(Entry(module, L"GetPluginInfo")));
    PluginInfo* record = getInfo ? getInfo(module) : nullptr;
    if (!record || !record->features) {
        ReportError(L"\"" + plugin.path + L"\" is not a plug-in (no GetPluginInfo or no feature list)");
        return 1;
    }
    plugin.name = record->name && *record->name ? record->name : BaseName(plugin.path);

    std::wstring_view features = record->features;
    while (!features.empty()) {
        size_t comma = features.find(L',');
        std::wstring_view item = TrimBlanks(features.substr(0, comma));
        features = comma == std::wstring_view::npos ? std::wstring_view() : features.substr(comma + 1);
        if (item.empty()) continue;
        bool hook = item[0] == L'*';
        std::wstring_view exportName = hook ? item.substr(1) : item;
        FARPROC entry = Entry(module, exportName);
        if (!entry) {
            ReportError(L"Plug-in \"" + plugin.name + L"\" lists \"" + std::wstring(item) +
                        L"\" but does not export it; ignored");
            continue;
        }
        auto text = reinterpret_cast<PluginTextFn>(reinterpret_cast<void*>(entry));
        if (hook) plugin.hooks.push_back(reinterpret_cast<HookFn>(reinterpret_cast<void*>(entry)));
        else if (item[0] == L'_') plugin.variables.push_back({std::wstring(item), text});
        else plugin.commands.push_back({std::wstring(item), text});
    }
    plugin.shutdown =
        reinterpret_cast<ShutdownFn>(reinterpret_cast<void*>(Entry(module, L"ShutdownPlugin")));
    s_plugins.push_back(std::move(plugin));
    return 0;
}

// Takes the plug-in out of the registry before calling into it, so a call
// back into the host finds the registry consistent.
Plugin TakeOut(HMODULE module) {
    for (auto it = s_plugins.begin(); it != s_plugins.end(); ++it)
        if (it->module == module) {
            Plugin plugin = std::move(*it);
            s_plugins.erase(it);
            return plugin;
        }
    return Plugin{};
}

// ShutdownPlugin (only for a started plug-in): 0 when only this one is
// unloaded, 1 when the host ends.
void Release(Plugin& plugin, int endProcess) {
    if (plugin.started && plugin.shutdown) plugin.shutdown(endProcess);
    if (plugin.owned && plugin.module) FreeLibrary(plugin.module);
}

// InitializePlugin; one that refuses is unloaded again. 0 when it started.
int Start(HMODULE module) {
    Plugin* plugin = FindByModule(module);
    if (!plugin || plugin->started) return 0;
    const std::wstring name = plugin->name;
    auto start = reinterpret_cast<InitializeFn>(reinterpret_cast<void*>(Entry(module, L"InitializePlugin")));
    const int rc = start ? start() : 0;
    // Looked up again: the start-up may have called the host.
    plugin = FindByModule(module);
    if (!plugin) return rc;
    if (rc == 0) {
        plugin->started = true;
        return 0;
    }
    ReportError(L"Plug-in \"" + name + L"\" not loaded: its start-up returned " + std::to_wstring(rc));
    Plugin refused = TakeOut(module);
    Release(refused, 0);
    return rc;
}

}  // namespace

PluginTextFn FindPluginCommand(std::wstring_view name) {
    if (s_plugins.empty()) return nullptr;
    return FindFeature(&Plugin::commands, name);
}

PluginTextFn FindPluginVariable(std::wstring_view name) {
    if (s_plugins.empty()) return nullptr;
    return FindFeature(&Plugin::variables, name);
}

int LoadPluginFile(std::wstring_view path, bool start) {
    std::wstring file(TrimBlanks(path));
    if (file.empty()) {
        ReportError(L"Usage: plugin /l file");
        return 1;
    }
    file = FullPath(file);
    // The altered search path lets a plug-in find DLLs that sit beside it.
    HMODULE module = LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        ReportError(L"Cannot load plug-in \"" + file + L"\": " + SystemMessage(GetLastError()));
        return 1;
    }
    if (FindByModule(module)) {
        FreeLibrary(module);  // already in service: drop the extra reference
        return 0;
    }
    if (int rc = Register(module, true)) {
        FreeLibrary(module);
        return rc;
    }
    return start ? Start(module) : 0;
}

int StartPlugins() {
    std::vector<HMODULE> waiting;
    for (auto& plugin : s_plugins)
        if (!plugin.started) waiting.push_back(plugin.module);
    int started = 0;
    for (HMODULE module : waiting)
        if (Start(module) == 0 && FindByModule(module)) ++started;
    return started;
}

int LoadPluginFolder(std::wstring_view folder) {
    std::wstring directory(folder);
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        // Compared by hand: the pattern *.dll would also match longer
        // extensions through their short names.
        std::wstring_view name = found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.size() > 4 &&
            EqualsNoCase(name.substr(name.size() - 4), L".dll"))
            files.emplace_back(name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    // Name order, whatever order the file system lists them in, so that
    // start-up is the same on every machine.
    std::sort(files.begin(), files.end(), [](const std::wstring& a, const std::wstring& b) {
        return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    // One that fails has said why, and does not keep the others out.
    int loaded = 0;
    for (const auto& file : files)
        if (LoadPluginFile(directory + L"\\" + file, false) == 0) ++loaded;
    return loaded;
}

int AttachPluginModule(HMODULE module, bool initialize) {
    if (!module) return 1;
    if (FindByModule(module)) return 0;
    int rc = Register(module, false);
    if (rc == 0 && initialize) return Start(module);
    if (rc == 0) FindByModule(module)->started = true;  // the caller starts it itself
    return rc;
}

int UnloadPluginByName(std::wstring_view name) {
    for (auto it = s_plugins.begin(); it != s_plugins.end(); ++it) {
        if (EqualsNoCase(it->name, name) || EqualsNoCase(BaseName(it->path), name) ||
            EqualsNoCase(it->path, name)) {
            Plugin plugin = TakeOut(it->module);
            Release(plugin, 0);
            return 0;
        }
    }
    ReportError(L"No plug-in \"" + std::wstring(name) + L"\" is loaded");
    return 1;
}

int UnloadAllPlugins() {
    // Taken out of the registry first, so a shut-down that calls back into the
    // host finds a consistent (empty) registry.
    std::vector<Plugin> plugins = std::move(s_plugins);
    s_plugins.clear();
    for (auto it = plugins.rbegin(); it != plugins.rend(); ++it) Release(*it, 1);
    return 0;
}

int CallKeyHooks() {
    std::vector<HookFn> hooks;
    for (auto& plugin : s_plugins) hooks.insert(hooks.end(), plugin.hooks.begin(), plugin.hooks.end());
    for (HookFn hook : hooks) {
        KeyRecord record{};
        hook(&record);
    }
    return static_cast<int>(hooks.size());
}

void ListPlugins() {
    if (s_plugins.empty()) {
        WriteStdout(L"No plug-ins loaded.\r\n");
        return;
    }
    std::wstring text;
    for (auto& plugin : s_plugins) {
        text += plugin.name + L"  (" + plugin.path + L")\r\n";
        for (auto& command : plugin.commands) text += L"  command   " + command.name + L"\r\n";
        for (auto& variable : plugin.variables) text += L"  variable  %" + variable.name + L"\r\n";
        if (!plugin.hooks.empty()) text += L"  keystroke hook\r\n";
    }
    WriteStdout(text);
}
