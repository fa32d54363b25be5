// The heap record of each running KV series and the list of them in
// g_state.liveSeries, innermost first: linking, deciding which are live from
// the call chain, giving back and releasing.
#include "trials/series_hold.h"
#include <cstdlib>
#include "console/console_env.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "trials/title_progress.h"

namespace {

// The nul devices of released series, with the handles they replaced. The
// host may still hold such a handle to put back when a redirection of its
// own ends (a line "kv ... > file" started while a broken-off series' device
// was standard output), so it is not closed: wherever a standard handle is
// found to be one of these again, the series' saved handle goes back.
struct KeptDevice {
    HANDLE nul, savedOut, savedErr;
};
// Enough for every /B series a batch file breaks off between two prompts;
// past that the oldest is closed. All are closed at shut-down.
constexpr int kKeptDevices = 8;
KeptDevice s_kept[kKeptDevices];
int s_keptCount;

// The start holds of kv calls that hold no series yet. Kept here, not on
// the heap, so that taking one cannot fail for want of memory and kv's start
// allocates nothing; a free one has no module. Far more than kv calls ever
// start inside one another: one that finds none free keeps its reference
// itself.
constexpr int kStartHolds = 16;
SeriesHold s_startHolds[kStartHolds];

bool IsStartHold(const SeriesHold* hold) { return hold >= s_startHolds && hold < s_startHolds + kStartHolds; }

// Deeper than any real chain; a walk that goes on past it is not trusted.
constexpr int kMaxFrames = 4096;

struct ChainFrame {
    uintptr_t frame;     // establisher frame, as the unwinder reports it
    uintptr_t function;  // start of the function, its first part when split
    uintptr_t low, high; // the stack the frame occupies
};

// A function split into parts (a cold part placed apart) carries chained
// unwind information; its first part names the function.
const RUNTIME_FUNCTION* PrimaryEntry(DWORD64 imageBase, const RUNTIME_FUNCTION* entry) {
    for (int i = 0; i < 16; ++i) {
        if (entry->UnwindData & 1u) {  // an entry that only points at another one
            entry = reinterpret_cast<const RUNTIME_FUNCTION*>(imageBase + (entry->UnwindData & ~1u));
            continue;
        }
        const auto* info = reinterpret_cast<const uint8_t*>(imageBase + entry->UnwindData);
        if (!((info[0] >> 3) & UNW_FLAG_CHAININFO)) break;
        const unsigned codes = info[2];
        entry = reinterpret_cast<const RUNTIME_FUNCTION*>(info + 4 + 2 * ((codes + 1u) & ~1u));
    }
    return entry;
}

// The top of this thread's stack, from its thread information block, which
// gs points at on x64. GetCurrentThreadStackLimits tells the same, but only
// from Windows 8 on, and Windows 7 refuses to load a DLL that imports it.
// Read directly: the headers' NtCurrentTeb reads it through a memory operand
// at address 0x30, which GCC takes for an access out of bounds.
uintptr_t ThreadStackBase() {
    uintptr_t base;
    __asm__("movq %%gs:%c1, %0" : "=r"(base) : "i"(offsetof(NT_TIB, StackBase)));
    return base;
}

// Walks this thread's call chain outwards with the system's own unwinder, the
// one every exception dispatch uses: it reads the unwind tables every x64
// module carries, whichever compiler built it, so it steps through the host's
// frames as surely as through ours. Calls visit for each frame. True when the
// chain was walked to its end; false when a frame could not be unwound (code
// without unwind tables), *reached then being the stack address it got to.
template <typename Visit>
bool WalkCallChain(Visit visit, uintptr_t* reached) {
    CONTEXT context;
    RtlCaptureContext(&context);
    const uintptr_t stackBase = ThreadStackBase();
    for (int depth = 0; depth < kMaxFrames; ++depth) {
        const DWORD64 pc = context.Rip;
        const uintptr_t low = context.Rsp;
        *reached = low;
        if (pc == 0 || low >= stackBase) return true;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry(pc, &imageBase, nullptr);
        if (!entry) return false;
        void* handlerData = nullptr;
        DWORD64 establisher = 0;
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, pc, entry, &context, &handlerData, &establisher, nullptr);
        if (context.Rsp <= low) return false;
        visit(ChainFrame{static_cast<uintptr_t>(establisher),
                         static_cast<uintptr_t>(imageBase + PrimaryEntry(imageBase, entry)->BeginAddress), low,
                         static_cast<uintptr_t>(context.Rsp)});
    }
    return false;
}

bool Contains(const ChainFrame& f, const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    return at >= f.low && at < f.high;
}

// The liveness rule. A series is live exactly while its kv call is on this
// thread's call chain: a frame of the same function at the same establisher
// frame, whose slot for the hold still points at this hold (a later kv at
// the same depth has the same frame but its own hold). A series of another
// thread, or one whose frame lies beyond where the walk had to stop, cannot
// be proved dead and counts as live: nothing that may still be in use is
// ever freed. Stack addresses alone prove nothing, since the host may leave
// a kv without returning and call the next one at any depth.
void MarkLiveSeries(SeriesFrame* own) {
    const DWORD thread = GetCurrentThreadId();
    for (SeriesHold* h = g_state.liveSeries; h; h = h->outer) h->live = h->call.thread != thread;
    uintptr_t reached = 0;
    const bool complete = WalkCallChain(
        [own](const ChainFrame& f) {
            if (own && !own->frame && Contains(f, own->owner)) {
                own->frame = f.frame;
                own->function = f.function;
            }
            for (SeriesHold* h = g_state.liveSeries; h; h = h->outer)
                if (!h->live && h->call.frame == f.frame && h->call.function == f.function &&
                    Contains(f, h->call.owner) && *h->call.owner == h)
                    h->live = true;
        },
        &reached);
    if (!complete)
        for (SeriesHold* h = g_state.liveSeries; h; h = h->outer)
            if (h->call.frame >= reached) h->live = true;
}

}  // namespace

CallPlace FindCallPlace(const void* local, const CallPlace& earlier, bool* earlierStillThere) {
    CallPlace own{};
    *earlierStillThere = false;
    uintptr_t reached = 0;
    const bool complete = WalkCallChain(
        [&](const ChainFrame& f) {
            if (!own.frame && Contains(f, local))
                own = CallPlace{f.frame, f.function};
            else if (earlier.frame && f.frame == earlier.frame && f.function == earlier.function)
                *earlierStillThere = true;
        },
        &reached);
    if (!complete && earlier.frame >= reached) *earlierStillThere = true;
    return own;
}

namespace {

BOOL WINAPI CountBreak(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) InterlockedIncrement(&g_state.breaksNoted);
    // Passed on: the host must see the break too, to cancel a batch job and
    // go back to its prompt.
    return FALSE;
}

void StopWatchingBreaks() {
    if (!g_state.breakWatch) return;
    SetConsoleCtrlHandler(CountBreak, FALSE);
    g_state.breakWatch = false;
}

void Unlink(SeriesHold* hold) {
    SeriesHold** at = &g_state.liveSeries;
    while (*at && *at != hold) at = &(*at)->outer;
    if (*at) *at = hold->outer;
    hold->outer = nullptr;
    StopWatchingBreaksIfIdle();
}

void PutBack(HANDLE nul, HANDLE savedOut, HANDLE savedErr) {
    if (GetStdHandle(STD_OUTPUT_HANDLE) == nul) SetStdHandle(STD_OUTPUT_HANDLE, savedOut);
    if (GetStdHandle(STD_ERROR_HANDLE) == nul) SetStdHandle(STD_ERROR_HANDLE, savedErr);
}

// Newest first: a series' saved handle may be the device of one it ran in.
void PutBackKeptDevices() {
    for (int i = s_keptCount - 1; i >= 0; --i) PutBack(s_kept[i].nul, s_kept[i].savedOut, s_kept[i].savedErr);
}

void CloseOldestKeptDevice() {
    const KeptDevice oldest = s_kept[0];
    PutBack(oldest.nul, oldest.savedOut, oldest.savedErr);
    CloseHandle(oldest.nul);
    --s_keptCount;
    for (int i = 0; i < s_keptCount; ++i) {
        s_kept[i] = s_kept[i + 1];
        if (s_kept[i].savedOut == oldest.nul) s_kept[i].savedOut = oldest.savedOut;
        if (s_kept[i].savedErr == oldest.nul) s_kept[i].savedErr = oldest.savedErr;
    }
}

void CloseKeptDevices() {
    while (s_keptCount) CloseOldestKeptDevice();
}

// Puts back the standard handles that are still the series' device, and
// hands the device over; null when it had none.
HANDLE TakeBackStdHandles(SeriesHold* hold) {
    HANDLE nul = hold->nulDevice;
    if (!nul) return nullptr;
    hold->nulDevice = nullptr;
    // Only where the handle is still this series' device: the host may have
    // put its own handles back after a break, and the saved ones may be
    // closed by now.
    PutBack(nul, hold->savedOut, hold->savedErr);
    return nul;
}

void KeepStdHandles(SeriesHold* hold) {
    HANDLE nul = TakeBackStdHandles(hold);
    if (!nul) return;
    if (s_keptCount == kKeptDevices) CloseOldestKeptDevice();
    s_kept[s_keptCount++] = KeptDevice{nul, hold->savedOut, hold->savedErr};
}

void StopKeepAwake(SeriesHold* hold) {
    // Only this series' own timer and hold, and only while they are still the
    // current ones: a reset in between may have given them back and a later
    // series taken others (a timer id may be reused).
    if (hold->ownTimer && g_state.jiggleTimer == hold->ownTimer) {
        KillTimer(nullptr, hold->ownTimer);
        g_state.jiggleTimer = 0;
    }
    hold->ownTimer = 0;
    if (hold->ownAwakeHold && g_state.awakeHold == hold->ownAwakeHold) ReleaseSystemAwake();
    hold->ownAwakeHold = 0;
}

// Cleared before the host is called: a reset re-entered from the title
// command finds nothing of this series to give back again.
void GiveBackTitle(bool* ownsTitle) {
    if (!*ownsTitle) return;
    *ownsTitle = false;
    RestoreTitleUpdates();
}

void FreeHold(SeriesHold* hold) {
    if (IsStartHold(hold)) {
        *hold = SeriesHold{};
        return;
    }
    std::free(hold->records);
    std::free(hold->sorted);
    std::free(hold);
}

// A series whose kv is over, or gone, gives back everything. It is unlinked
// and freed before the host is called for the title, so a reset re-entered
// from there cannot find it, and a break out of that call leaves nothing
// behind; its reference to the DLL is given back only after that call. A
// quiet release calls the host not at all: the title updating it switched
// off stays saved for the reset at the host's prompt, and only the title is
// blanked. The nul device is kept (KeptDevice) unless kv closed it itself.
void ReleaseSeries(SeriesHold* hold, bool quiet) {
    Unlink(hold);
    KeepStdHandles(hold);
    StopKeepAwake(hold);
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

// The innermost series the latest walk found dead; the list is read afresh
// each time, since a release calls the host and the host may call back.
SeriesHold* InnermostDead() {
    SeriesHold* hold = g_state.liveSeries;
    while (hold && hold->live) hold = hold->outer;
    return hold;
}

void ReleaseMarkedDead() {
    while (SeriesHold* dead = InnermostDead()) ReleaseSeries(dead, false);
    PutBackKeptDevices();
    DropLeftReferences();
}

void ReleaseInside(SeriesHold* hold, bool quiet) {
    while (g_state.liveSeries && g_state.liveSeries != hold) ReleaseSeries(g_state.liveSeries, quiet);
}

void Link(SeriesHold* hold) {
    hold->outer = g_state.liveSeries;
    g_state.liveSeries = hold;
}

// Puts hold where start is linked, or links it innermost when start is not.
void LinkInPlaceOf(SeriesHold* start, SeriesHold* hold) {
    SeriesHold** at = &g_state.liveSeries;
    while (*at && *at != start) at = &(*at)->outer;
    if (!*at) {
        Link(hold);
        return;
    }
    hold->outer = start->outer;
    *at = hold;
}

// Null when every start hold is taken.
SeriesHold* HoldStart(const SeriesFrame& call, HMODULE module) {
    for (SeriesHold& start : s_startHolds) {
        if (start.module) continue;
        start = SeriesHold{};
        start.call = call;
        start.module = module;
        start.live = true;
        Link(&start);
        return &start;
    }
    return nullptr;
}

// Whatever is linked is a kv that holds no series yet.
bool NoSeriesRunning() {
    for (const SeriesHold* h = g_state.liveSeries; h; h = h->outer)
        if (!IsStartHold(h)) return false;
    return true;
}

}  // namespace

void ReleaseDeadSeriesAtStart(SeriesHold** slot, HMODULE* module, SeriesFrame* own) {
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
    if (NoSeriesRunning() && g_state.titleSaved) RestoreTitleUpdates();
}

void ReleaseDeadSeries() {
    if (g_state.liveSeries) MarkLiveSeries(nullptr);
    ReleaseMarkedDead();
}

void WatchForBreaks() {
    if (!g_state.breakWatch) g_state.breakWatch = SetConsoleCtrlHandler(CountBreak, TRUE) != 0;
}

void StopWatchingBreaksIfIdle() {
    if (!g_state.liveSeries) StopWatchingBreaks();
}

SeriesHold* HoldSeries(uint32_t totalRuns, size_t textChars, const SeriesFrame& call, SeriesHold* start,
                       HMODULE module) {
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
    hold->call = call;
    // Live from the start: a walk made inside its own runs finds it anyway,
    // and one already under way (a release calling the host) must not free it.
    hold->live = true;
    if (!start) {
        hold->module = module;
        Link(hold);
        return hold;
    }
    // Shut down while kv started: the series ends before its first run.
    hold->module = start->module;
    hold->shutDown = start->shutDown;
    LinkInPlaceOf(start, hold);
    FreeHold(start);
    return hold;
}

void RedirectToNul(SeriesHold* hold) {
    hold->savedOut = GetStdHandle(STD_OUTPUT_HANDLE);
    hold->savedErr = GetStdHandle(STD_ERROR_HANDLE);
    // Inheritable, as a shell's own "> nul" is: a host that starts programs
    // with the standard handles inherited as they are would otherwise give
    // them no standard output at all, and one that checks its writes fails.
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE nul = g_sys.createFileW(L"nul", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inheritable, OPEN_ALWAYS,
                                   0, nullptr);
    // Without the device the runs simply go ahead with their output visible.
    if (!nul || nul == INVALID_HANDLE_VALUE) return;
    SetStdHandle(STD_OUTPUT_HANDLE, nul);
    SetStdHandle(STD_ERROR_HANDLE, nul);
    hold->nulDevice = nul;
}

void RestoreStdHandles(SeriesHold* hold) {
    if (HANDLE nul = TakeBackStdHandles(hold)) CloseHandle(nul);
}

void StartKeepAwake(SeriesHold* hold) {
    // A KV run as the timed command of another one finds the outer timer and
    // hold in force; they keep the machine awake for both, and taking second
    // ones would lose the outer's.
    if (!g_state.jiggleTimer) {
        hold->ownTimer = g_sys.setTimer(nullptr, 0, kJiggleIntervalMs, JiggleMouse);
        g_state.jiggleTimer = hold->ownTimer;
    }
    if (!g_state.awakeHold) hold->ownAwakeHold = HoldSystemAwake();
}

void SuspendTitle(SeriesHold* hold) {
    // An inner KV leaves the host's title updating to the outer one, which
    // switched it off and gives it back when it ends. Marked before the host
    // is called, so a break inside that call still finds the title to give back.
    hold->ownsTitle = g_state.titleSaved == 0;
    SuspendTitleUpdates();
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
        if (hold->nulDevice) PutBack(hold->nulDevice, hold->savedOut, hold->savedErr);
        StopKeepAwake(hold);
        GiveBackTitle(&hold->ownsTitle);
    }
    CloseKeptDevices();
    StopWatchingBreaks();
}
