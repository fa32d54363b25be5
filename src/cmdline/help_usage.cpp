// What the host shows when the user asks about a name: the usage line of KV
// for its command-line completion and help, and a message box with the whole
// help of KV, _TRIALRUN or the variables of the latest series. Owns no state.
#include "frame/ascii_fold.h"
#include "cmdline/help_text.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_info.h"
#include "frame/plugin_state.h"

namespace {

struct HelpEntry {
    const wchar_t* name;  // at most 12 characters
    const wchar_t* text;
};

const HelpEntry kHelpEntries[] = {
    {L"kv", KvHelpText},
    {L"_trialrun", TrialRunHelpText},
    {L"_kvruns", KvVariablesHelpText},   {L"_kverrors", KvVariablesHelpText}, {L"_kvavg", KvVariablesHelpText},
    {L"_kvmedian", KvVariablesHelpText}, {L"_kvmin", KvVariablesHelpText},    {L"_kvmax", KvVariablesHelpText},
    {L"_kvstddev", KvVariablesHelpText}, {L"_kvtotal", KvVariablesHelpText},    {L"_kvratio", KvVariablesHelpText},
    {L"_kvratiolow", KvVariablesHelpText}, {L"_kvratiohigh", KvVariablesHelpText},
};

const HelpEntry* FindHelpEntry(const wchar_t* name) {
    if (!name) return nullptr;
    for (const HelpEntry& entry : kHelpEntries)
        if (EqualsFoldingAscii(name, entry.name)) return &entry;
    return nullptr;
}

}  // namespace

int Usage(const wchar_t* name, wchar_t* buffer) {
    // Variables and functions have no usage line.
    if (!name || !buffer || name[0] == L'@' || name[0] == L'_') return 0;
    const HelpEntry* entry = FindHelpEntry(name);
    if (!entry) return 0;
    // The usage starts after the description: past the first line end and the blank lines behind it.
    const wchar_t* usage = entry->text;
    while (*usage && *usage != L'\n') ++usage;
    while (*usage == L'\n') ++usage;
    lstrcpynW(buffer, usage, kWorkChars);
    return 1;
}

int Help(const wchar_t* name) {
    wchar_t caption[kWorkChars];
    wsprintfW(caption, L"%s Plugin Help", KV_PLUGIN_NAME);
    const HelpEntry* entry = FindHelpEntry(name);
    if (!entry) return 0;
    MessageBoxW(GetForegroundWindow(), entry->text, caption, MB_OK);
    return 1;
}
