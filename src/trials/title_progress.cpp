// Console title during a series: "Run #i of n: " and, from the second run on,
// the estimated time left. Owns the estimate buffer and the count of titles
// written; the saved state of the host's UpdateTitle option lives in
// g_state.titleSaved.
#include "trials/title_progress.h"
#include <cwchar>
#include "trials/tick_units.h"
#include "frame/ascii_fold.h"
#include "frame/host_api.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "lifetime/break_watch.h"
#include "lifetime/call_chain.h"
#include "lifetime/dll_reference.h"
#include "lifetime/series_hold.h"

static wchar_t s_etaText[64];
// The RestoreTitleUpdates call under way, or the last one the host left
// without returning; zero when there is none. With its reference to the DLL.
static CallPlace s_restoring;
static HMODULE s_restoringDll;
static uint32_t s_titleWrites;

static void WriteTitle(const wchar_t* title) {
    ++s_titleWrites;
    SetConsoleTitleW(title);
}

uint32_t TitleWrites() { return s_titleWrites; }

uint32_t SuspendTitleUpdates() {
    if (g_state.titleSaved) return g_state.titleSaved;
    // Whatever gives back what a series held gives the title updating back
    // through this.
    g_titleGiveBack = RestoreTitleUpdates;
    wchar_t buffer[kWorkChars] = L"%@option[UpdateTitle]";
    ExpandVariables(buffer, 1);
    const uint32_t state = FoldAscii(buffer[0]) == L'Y' ? 2u : 1u;
    // Saved before the host runs the command: a break inside it must still
    // leave something that gives the title updating back.
    g_state.titleSaved = state;
    wcscpy(buffer, L"option //UpdateTitle=No");
    Command(buffer, 0);
    return state;
}

uint32_t RestoreTitleUpdates() {
    const uint32_t state = g_state.titleSaved;
    if (state == 0) return 0;
    // The host may call the keystroke hook inside the command below: a
    // restore still under way further up this call chain is left to finish.
    // One the host left without returning (a break out of the command) is no
    // longer on the chain, wherever this call comes from: it stops nothing,
    // and its reference to the DLL is given back.
    volatile char marker = 0;
    bool underWay = false;
    const CallPlace here = FindCallPlace(const_cast<const char*>(&marker), s_restoring, &underWay);
    if (underWay) return 0;
    ReleaseDll(s_restoringDll);
    s_restoring = here;
    s_restoringDll = HoldDll();
    wchar_t buffer[kWorkChars];
    wcscpy(buffer, state > 1 ? L"option //UpdateTitle=Yes" : L"option //UpdateTitle=No");
    // Watched meanwhile, so that a break the host meets in the command is known.
    WatchForBreaks();
    Command(buffer, 0);
    s_restoring = CallPlace{};
    const HMODULE dll = s_restoringDll;
    s_restoringDll = nullptr;
    ReleaseDll(dll);
    StopWatchingBreaksIfIdle();
    // A host that is breaking refuses the command or breaks it off: the
    // state stays saved, and the next reset gives the updating back. Its
    // exit code does not tell: "option" sets none of its own, so it may be
    // the last program's, and a program may well have returned 3.
    if (BreakPending()) return 0;
    g_state.titleSaved = 0;
    // An empty title would let the console show the program name; an em quad
    // shows nothing until the host writes its own title again.
    WriteTitle(L"\u2001");
    return state;
}

int SetProgressTitle(uint32_t totalRuns, uint64_t elapsedTicks) {
    wchar_t title[kWorkChars];
    const uint32_t finished = static_cast<uint32_t>(g_state.trialRun);
    int length = swprintf(title, kWorkChars, L"Run #%u of %u: ", finished + 1u, totalRuns);
    if (finished != 0 && length > 0) {
        const uint64_t ticksPerRun = elapsedTicks / finished;
        const uint32_t runsLeft = totalRuns - finished;
        swprintf(title + length, kWorkChars - length, L"\u2001\u2001ETR %ls", FormatEta(runsLeft * ticksPerRun));
    }
    WriteTitle(title);
    return 0;
}

void SetWarmUpTitle(uint32_t run, uint32_t runs) {
    wchar_t title[kWorkChars];
    swprintf(title, kWorkChars, L"Warm-up #%u of %u: ", run, runs);
    WriteTitle(title);
}

const wchar_t* FormatEta(uint64_t ticks) {
    const uint64_t ms = TicksToMilliseconds(ticks) + 500u;
    const uint64_t seconds = ms / 1000u;
    const uint64_t minutes = seconds / 60u;
    if (minutes < 60u)
        swprintf(s_etaText, 64, L"%02llu:%02u", static_cast<unsigned long long>(minutes),
                 static_cast<unsigned>(seconds % 60u));
    else
        swprintf(s_etaText, 64, L"%llu:%02u:%02u", static_cast<unsigned long long>(minutes / 60u),
                 static_cast<unsigned>(minutes % 60u), static_cast<unsigned>(seconds % 60u));
    return s_etaText;
}
