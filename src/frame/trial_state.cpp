// The _TRIALRUN variable, the keystroke hook that clears what a broken-off
// series left behind, and the error prefix every message starts with.
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "lifetime/series_hold.h"

int _trialrun(wchar_t* buffer) {
    if (!buffer) return ERROR_INVALID_PARAMETER;
    if (g_state.trialRun == -1)
        buffer[0] = L'\0';
    else if (g_state.trialRun == kWarmUpRun)
        wcscpy(buffer, L"0");
    else
        wsprintfW(buffer, L"%u", static_cast<unsigned>(g_state.trialRun) + 1u);
    return 0;
}

// Series whose kv the host left give back everything they hold; a series
// still running (the host calls the hook wherever it reads a new line, also
// from inside a timed command) keeps its keep-awake, title and run number.
int ResetTrialState() {
    ResetSeries();
    return 0;
}

int key(KeyInfo* info) {
    // The host hands over a record whose tested fields are all zero when it is
    // back at its prompt; hosts before version 24 leave the last pointer unset.
    if (!info) return 0;
    bool idle = info->field0 == 0 && info->field4 == 0 && info->field8 == 0 && info->pointer24 == nullptr &&
                info->pointer32 == nullptr;
    if (idle && g_state.hostMajor >= 24u && info->pointer48 != nullptr) idle = false;
    if (!idle) return 0;
    // Back at its prompt (or reading a new line), the host is done with any break.
    NoteHostNotBreaking();
    ResetTrialState();
    return 0;
}

int PrintErrorPrefix() {
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    Qprintf(err, L"%s plugin: ", KV_PLUGIN_NAME);
    wchar_t buffer[8192];
    wcscpy(buffer, L"%_batch");
    ExpandVariables(buffer, 1);
    if (buffer[0] != L'0') {
        wcscpy(buffer, L"%_batchname [%_batchline]  ");
        ExpandVariables(buffer, 1);
        // Passed as an argument, never as the format: a batch file's name may hold '%'.
        Qprintf(err, L"%s", buffer);
    }
    return 0;
}
