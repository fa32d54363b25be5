// The heap record of each running KV series and the list of them in
// g_state.liveSeries, innermost first: linking, giving back, releasing.
#include "trials/series_hold.h"
#include <cstdlib>
#include "console/console_env.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "trials/title_progress.h"

SeriesHold* HoldSeries(uint32_t totalRuns, size_t textChars, uintptr_t stackMark) {
    const size_t recordBytes = sizeof(RunRecord) * (totalRuns ? totalRuns : 1u);
    auto* records = static_cast<RunRecord*>(g_sys.allocate(recordBytes));
    auto* sorted = static_cast<RunRecord*>(g_sys.allocate(recordBytes));
    auto* hold = static_cast<SeriesHold*>(g_sys.allocate(sizeof(SeriesHold) + sizeof(wchar_t) * textChars));
    if (!records || !sorted || !hold) {
        std::free(records);
        std::free(sorted);
        std::free(hold);
        return nullptr;
    }
    *hold = SeriesHold{};
    hold->records = records;
    hold->sorted = sorted;
    hold->stackMark = stackMark;
    hold->outer = g_state.liveSeries;
    g_state.liveSeries = hold;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&HoldSeries),
                            &hold->module))
        hold->module = nullptr;
    return hold;
}

void RedirectToNul(SeriesHold* hold) {
    hold->savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    hold->savedErr = GetStdHandle(STD_ERROR_HANDLE);
    HANDLE nul = g_sys.createFileW(L"nul", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0,
                                   nullptr);
    // Without the device the runs simply go ahead with their output visible.
    if (!nul || nul == INVALID_HANDLE_VALUE) return;
    SetStdHandle(STD_OUTPUT_HANDLE, nul);
    SetStdHandle(STD_ERROR_HANDLE, nul);
    hold->nulDevice = nul;
}

void RestoreStdHandles(SeriesHold* hold) {
    if (!hold->nulDevice) return;
    SetStdHandle(STD_OUTPUT_HANDLE, hold->savedOut);
    SetStdHandle(STD_ERROR_HANDLE, hold->savedErr);
    CloseHandle(hold->nulDevice);
    hold->nulDevice = nullptr;
}

void StartKeepAwake(SeriesHold* hold) {
    // A KV run as the timed command of another one finds the outer timer
    // running; that one keeps the machine awake for both, and starting a
    // second would lose the outer's identifier.
    if (g_state.jiggleTimer) return;
    hold->ownTimer = g_sys.setTimer(nullptr, 0, kJiggleIntervalMs, JiggleMouse);
    g_state.jiggleTimer = hold->ownTimer;
}

static void StopKeepAwake(SeriesHold* hold) {
    // Only this series' own timer, and only while it is still the current
    // one: a reset in between may have killed it and its id been reused.
    if (hold->ownTimer && g_state.jiggleTimer == hold->ownTimer) {
        KillTimer(nullptr, hold->ownTimer);
        g_state.jiggleTimer = 0;
    }
    hold->ownTimer = 0;
}

void SuspendTitle(SeriesHold* hold) {
    // An inner KV leaves the host's title updating to the outer one, which
    // switched it off and gives it back when it ends.
    hold->ownsTitle = g_state.titleSaved == 0;
    SuspendTitleUpdates();
}

static void RestoreTitle(SeriesHold* hold) {
    if (hold->ownsTitle) RestoreTitleUpdates();
    hold->ownsTitle = false;
}

// Innermost first, so that standard handles saved by an inner /B series (the
// outer one's nul device) are put back before the outer one's originals.
static void ReleaseInnermostSeries(ModuleReference module) {
    SeriesHold* hold = g_state.liveSeries;
    RestoreStdHandles(hold);
    StopKeepAwake(hold);
    RestoreTitle(hold);
    g_state.liveSeries = hold->outer;
    // Outside shut-down the host still holds the DLL (it is calling into it),
    // so this only takes the count back; the DLL stays unloadable and
    // replaceable once no series holds it.
    if (hold->module && module == kDropModule) FreeLibrary(hold->module);
    std::free(hold->records);
    std::free(hold->sorted);
    std::free(hold);
}

void ReleaseSeriesInside(SeriesHold* hold) {
    while (g_state.liveSeries && g_state.liveSeries != hold) ReleaseInnermostSeries(kDropModule);
}

void EndSeries(SeriesHold* hold) {
    ReleaseSeriesInside(hold);
    ReleaseInnermostSeries(kDropModule);
}

void ReleaseDeadSeries(uintptr_t stackMark) {
    while (g_state.liveSeries && g_state.liveSeries->stackMark <= stackMark) ReleaseInnermostSeries(kDropModule);
}

bool ReleaseAllSeries(ModuleReference module) {
    if (!g_state.liveSeries) return false;
    while (g_state.liveSeries) ReleaseInnermostSeries(module);
    ++g_state.seriesReleases;
    return true;
}
