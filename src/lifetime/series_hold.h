// What a KV series holds while it runs: the record arrays, its texts, the
// standard handles it replaced, its keep-awake, the host's title updating and
// a reference to this DLL. The host may abandon kv in the middle of a run (a
// break leaves the line without returning into kv) or shut the plug-in down
// from inside the timed command, so all of it lives on the heap, linked from
// g_state.liveSeries, innermost first.
//
// A series is live exactly while its kv call is on the host thread's call
// chain (live_series.cpp). A dead series gives back everything it held; a
// live one keeps it until its own kv ends (series_release.cpp).
//
// Before its series exists, kv holds only its reference to the DLL, in a
// start hold linked the same way: the host may leave kv inside any service
// kv calls as it starts (window discovery, the option parsing), and the
// reference must then go back as a dead series' does.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include "console/console_env.h"

struct RunRecord;
struct SeriesHold;

// Where a kv call lies on the call chain: the frame the system unwinder
// reports for it (its establisher frame), the function's start, the thread,
// and the slot of kv's own frame that points at the call's hold. A frame
// only belongs to the series when all of them match and the slot still
// points at it.
struct SeriesFrame {
    uintptr_t frame;
    uintptr_t function;
    DWORD thread;
    SeriesHold* const* owner;
};

struct SeriesHold {
    SeriesHold* outer;     // the series this one runs inside, or null
    SeriesFrame call;      // the kv call that owns it
    RunRecord* records;    // run order
    RunRecord* sorted;     // scratch for the report
    HANDLE savedOut, savedErr;
    HANDLE nulDevice;      // non-null while output and errors may go to nul
    KeepAwake awake;       // the keep-awake this series took
    bool ownsTitle;        // this series switched the host's title updating off
    bool live;             // its kv was on the call chain at the latest walk
    // Shut-down gave back its keep-awake and title and put back its standard
    // handles while its kv was still running; that kv closes the nul device
    // and frees the memory.
    bool shutDown;
    // The run number (g_state.trialRun) of the series this one runs inside
    // as this kv started, -1 when none: put back when this one is found dead.
    int32_t outerRun;
    // kv's reference to this DLL (HoldDll), so that kv has code to return
    // into if the host unloads the plug-in from inside a call into it.
    HMODULE module;
    // The file /X writes the runs to, null without one: closed wherever the
    // series is released, so a series the host abandoned leaves it empty
    // but not held open.
    HANDLE runFile;
    // The series' texts follow in the same block (SeriesText).
};

// Gives the host its title updating back (RestoreTitleUpdates), for a
// released series that switched it off and for the reset. The series' life
// knows nothing of the title: the title code sets this when it switches the
// updating off, so it is set whenever g_state.titleSaved is.
extern uint32_t (*g_titleGiveBack)();

// Called once when kv starts. Links kv's reference to the DLL (*module) as
// a start hold in *slot, which then owns it (*module becomes null; when no
// start hold is free, *slot is null and the reference stays kv's). Walks the
// call chain from the caller of kv outwards, releases the series found dead,
// gives back title updating that no series holds any more, and fills *own
// with kv's own frame, found as the one holding slot. Returns the run number
// of the series kv runs inside, -1 when none.
int32_t ReleaseDeadSeriesAtStart(SeriesHold** slot, HMODULE* module, SeriesFrame* own);
// Allocates the record arrays (recordBytes each) and a block of the hold and
// textChars characters, and links the hold as a live series: in the place of
// kv's start hold, whose reference to the DLL (and shut-down mark) it takes
// over, or, without one, as the innermost, taking over module. Null when an
// allocation failed; nothing is then held and the start hold or the
// reference stays kv's.
SeriesHold* HoldSeries(size_t recordBytes, size_t textChars, const SeriesFrame& call, SeriesHold* start,
                       HMODULE module, int32_t outerRun);
inline wchar_t* SeriesText(SeriesHold* hold) { return reinterpret_cast<wchar_t*>(hold + 1); }
// True when no series holds the host's title updating switched off: the
// hold then does, and its caller switches it off.
bool TakeTitleUpdating(SeriesHold* hold);

// After one of its runs returned: the series started inside that run and
// left behind there are dead (their kv frames are gone), so they are
// released without a walk.
void ReleaseSeriesInside(SeriesHold* hold);
// kv's own end: the series inside it, then everything it holds. Of a series
// that shut-down already gave back, only the memory and a nul device are left.
// Also kv's end before it held a series, for its start hold.
void EndSeries(SeriesHold* hold);
// kv's end after a break: the same, without a single call into the host,
// which may act on its pending break. The title updating, if this series
// switched it off, is left to the reset the host runs at its prompt.
void EndBrokenSeries(SeriesHold* hold);
// Releases every series whose kv is no longer on the call chain, puts back
// the standard handles found on a kept nul device, and drops the DLL
// references left for later. For start-up.
void ReleaseDeadSeries();
// The keystroke hook's reset, which the host also runs from inside a timed
// command: dead series are released as above; then whatever no live series
// holds is given back (keep-awake, title updating) and, when no series is
// running, the run number is cleared. A live series keeps its keep-awake,
// its title and its run number.
void ResetSeries();
// Shut-down: dead series are released; live ones put back the standard
// handles, give back their keep-awake and title and are marked, so their kv
// ends after the run it is in. A live series' nul device stays open (the
// host may still put it back) for its kv to close; the kept devices of
// released series are closed and the break handler removed.
void ShutDownSeries();
