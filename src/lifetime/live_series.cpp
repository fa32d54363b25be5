// Which series are live: linking a kv's start hold and its series into
// g_state.liveSeries, and deciding from the call chain which are still
// running. Owns the start holds.
#include "lifetime/live_series.h"
#include <cstdlib>
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "lifetime/break_watch.h"
#include "lifetime/call_chain.h"

namespace {

// The start holds of kv calls that hold no series yet. Kept here, not on
// the heap, so that taking one cannot fail for want of memory and kv's start
// allocates nothing; a free one has no module. Far more than kv calls ever
// start inside one another: one that finds none free keeps its reference
// itself.
constexpr int kStartHolds = 16;
SeriesHold s_startHolds[kStartHolds];

bool IsStartHold(const SeriesHold* hold) { return hold >= s_startHolds && hold < s_startHolds + kStartHolds; }

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

struct LivenessWalk {
    SeriesFrame* own;
    DWORD thread;
};

void VisitForLiveness(const ChainFrame& f, void* context) {
    const auto* walk = static_cast<const LivenessWalk*>(context);
    SeriesFrame* own = walk->own;
    if (own && !own->frame && FrameHolds(f, own->owner)) {
        own->frame = f.frame;
        own->function = f.function;
    }
    for (SeriesHold* h = g_state.liveSeries; h; h = h->outer)
        if (!h->live && h->call.frame == f.frame && h->call.function == f.function && FrameHolds(f, h->call.owner) &&
            *h->call.owner == h)
            h->live = true;
}

}  // namespace

// The liveness rule. A series is live exactly while its kv call is on this
// thread's call chain: a frame of the same function at the same establisher
// frame, whose slot for the hold still points at this hold (a later kv at
// the same depth has the same frame but its own hold). A series of another
// thread, or one whose frame lies beyond where the walk had to stop, cannot
// be proved dead and counts as live: nothing that may still be in use is
// ever freed. Stack addresses alone prove nothing, since the host may leave
// a kv without returning and call the next one at any depth.
void MarkLiveSeries(SeriesFrame* own) {
    LivenessWalk walk{own, GetCurrentThreadId()};
    for (SeriesHold* h = g_state.liveSeries; h; h = h->outer) h->live = h->call.thread != walk.thread;
    uintptr_t reached = 0;
    if (!WalkCallChain(VisitForLiveness, &walk, &reached))
        for (SeriesHold* h = g_state.liveSeries; h; h = h->outer)
            if (h->call.frame >= reached) h->live = true;
}

SeriesHold* InnermostDead() {
    SeriesHold* hold = g_state.liveSeries;
    while (hold && hold->live) hold = hold->outer;
    return hold;
}

bool IsRunning(const SeriesHold* hold) { return hold->live && !hold->shutDown && !IsStartHold(hold); }

bool NoSeriesRunning() {
    for (const SeriesHold* h = g_state.liveSeries; h; h = h->outer)
        if (!IsStartHold(h)) return false;
    return true;
}

void Unlink(SeriesHold* hold) {
    SeriesHold** at = &g_state.liveSeries;
    while (*at && *at != hold) at = &(*at)->outer;
    if (*at) *at = hold->outer;
    hold->outer = nullptr;
    StopWatchingBreaksIfIdle();
}

SeriesHold* HoldStart(const SeriesFrame& call, HMODULE module) {
    for (SeriesHold& start : s_startHolds) {
        if (start.module) continue;
        start = SeriesHold{};
        start.call = call;
        start.module = module;
        start.live = true;
        start.outerRun = g_state.trialRun;  // until the walk tells
        Link(&start);
        return &start;
    }
    return nullptr;
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

SeriesHold* HoldSeries(size_t recordBytes, size_t textChars, const SeriesFrame& call, SeriesHold* start,
                       HMODULE module, int32_t outerRun) {
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
    hold->outerRun = outerRun;
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
