// When a series is over and what it gives back, in which order: kv's own
// ends, the release of series whose kv the host left, the keystroke hook's
// reset and shut-down. Owns no state beyond the title hook.
#include <windows.h>
#include "frame/plugin_state.h"
#include "lifetime/break_watch.h"
#include "lifetime/dll_reference.h"
#include "lifetime/kept_devices.h"
#include "lifetime/live_series.h"

uint32_t (*g_titleGiveBack)();

namespace {

void GiveBackTitleUpdating() {
    if (g_titleGiveBack) g_titleGiveBack();
}

// Cleared before the host is called: a reset re-entered from the title
// command finds nothing of this series to give back again.
void GiveBackTitle(bool* ownsTitle) {
    if (!*ownsTitle) return;
    *ownsTitle = false;
    GiveBackTitleUpdating();
}

// A series whose kv is over, or gone, gives back everything. It is unlinked
// and freed before the host is called for the title, so a reset re-entered
// from there cannot find it, and a break out of that call leaves nothing
// behind; its reference to the DLL is given back only after that call. A
// quiet release calls the host not at all: the title updating it switched
// off stays saved for the reset at the host's prompt, and only the title is
// blanked. The nul device is kept (kept_devices.cpp) unless kv closed it.
void ReleaseSeries(SeriesHold* hold, bool quiet) {
    Unlink(hold);
    KeepStdHandles(hold);
    StopKeepAwake(&hold->awake);
    if (hold->runFile) CloseHandle(hold->runFile);
    bool ownsTitle = hold->ownsTitle;
    const HMODULE module = hold->module;
    FreeHold(hold);
    if (!quiet)
        GiveBackTitle(&ownsTitle);
    else if (ownsTitle)
        SetConsoleTitleW(L"\u2001");
    ReleaseDll(module);
}

void ReleaseMarkedDead() {
    while (SeriesHold* dead = InnermostDead()) {
        // Left inside the run of a series still running, it had replaced
        // that one's run number with its own.
        if (dead->outer && IsRunning(dead->outer)) g_state.trialRun = dead->outerRun;
        ReleaseSeries(dead, false);
    }
    PutBackKeptDevices();
    DropLeftReferences();
}

void ReleaseInside(SeriesHold* hold, bool quiet) {
    while (g_state.liveSeries && g_state.liveSeries != hold) ReleaseSeries(g_state.liveSeries, quiet);
}

}  // namespace

int32_t ReleaseDeadSeriesAtStart(SeriesHold** slot, HMODULE* module, SeriesFrame* own) {
    *own = SeriesFrame{0, 0, GetCurrentThreadId(), slot};
    // Linked before the walk and before any call into the host: the host may
    // leave kv inside the releases below already. Its frame is the one the
    // walk finds for kv, so the walk finds it live.
    SeriesHold* start = *module ? HoldStart(*own, *module) : nullptr;
    *slot = start;
    if (start) *module = nullptr;
    MarkLiveSeries(start ? &start->call : own);
    if (start) *own = start->call;
    ReleaseMarkedDead();
    // A series a break ended left the host's title updating switched off for
    // the reset at the prompt. A KV that starts with no series running is as
    // good a moment (the host runs its line, so it is not breaking), and a
    // batch file that goes on does not run on without it until then.
    if (NoSeriesRunning() && g_state.titleSaved) GiveBackTitleUpdating();
    // Every other series still listed is live: this KV runs inside its command.
    const int32_t outerRun = (start ? start->outer : g_state.liveSeries) ? g_state.trialRun : -1;
    if (start) start->outerRun = outerRun;
    return outerRun;
}

void ReleaseDeadSeries() {
    if (g_state.liveSeries) MarkLiveSeries(nullptr);
    ReleaseMarkedDead();
}

void ResetSeries() {
    ReleaseDeadSeries();
    // What is left is live: the host calls the hook wherever it reads a new
    // line, also inside a timed command, and that series goes on.
    KeepAwake kept{};
    bool titleKept = false, running = false;
    for (const SeriesHold* h = g_state.liveSeries; h; h = h->outer) {
        if (!IsRunning(h)) continue;
        running = true;
        titleKept = titleKept || h->ownsTitle;
        if (h->awake.timer) kept.timer = h->awake.timer;
        if (h->awake.hold) kept.hold = h->awake.hold;
    }
    StopKeepAwakeOtherThan(kept);
    // Title updating that a series ended by a break left switched off comes
    // back here, once the host is no longer breaking.
    if (!titleKept && g_state.titleSaved) GiveBackTitleUpdating();
    if (!running) g_state.trialRun = -1;
    // A kv the host left before it held a series watched for breaks too.
    StopWatchingBreaksIfIdle();
}

bool TakeTitleUpdating(SeriesHold* hold) {
    // An inner KV leaves the host's title updating to the outer one, which
    // switched it off and gives it back when it ends. Marked before the host
    // is called, so a break inside that call still finds the title to give back.
    hold->ownsTitle = g_state.titleSaved == 0;
    return hold->ownsTitle;
}

void ReleaseSeriesInside(SeriesHold* hold) { ReleaseInside(hold, false); }

void EndSeries(SeriesHold* hold) {
    ReleaseInside(hold, false);
    ReleaseSeries(hold, false);
}

void EndBrokenSeries(SeriesHold* hold) {
    ReleaseInside(hold, true);
    RestoreStdHandles(hold);
    ReleaseSeries(hold, true);
}

void ShutDownSeries() {
    ReleaseDeadSeries();
    for (;;) {
        SeriesHold* hold = g_state.liveSeries;
        while (hold && hold->shutDown) hold = hold->outer;
        if (!hold) break;
        hold->shutDown = true;
        // Put back, but not closed: the host may have saved the device, to
        // put it back itself when a redirection of its own around the timed
        // command ends. kv closes it once the run has returned.
        PutBackStdHandles(hold);
        StopKeepAwake(&hold->awake);
        GiveBackTitle(&hold->ownsTitle);
    }
    CloseKeptDevices();
    StopWatchingBreaks();
}
