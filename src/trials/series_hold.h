// What a KV series holds while it runs: the record arrays, its texts, the
// standard handles it replaced, its keep-awake timer, the host's title
// updating and a reference to this DLL. The host may abandon kv in the middle
// of a run (a break leaves the line without returning into kv) or shut the
// plug-in down from inside the timed command, so all of it lives on the heap,
// linked from g_state.liveSeries, innermost first.
//
// A series is live exactly while its kv call is on the host thread's call
// chain (see ReleaseDeadSeries). A dead series gives back everything it
// held; a live one keeps its memory until its own kv frees it.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include "trials/trial_report.h"

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
    UINT_PTR ownTimer;     // the keep-awake timer this series started, 0 = none
    bool ownsTitle;        // this series switched the host's title updating off
    bool live;             // its kv was on the call chain at the latest walk
    // Shut-down gave back its redirection, timer and title while its kv was
    // still running; that kv only frees the memory.
    bool shutDown;
    // A reference to this DLL, so that kv has code to return into if the host
    // unloads the plug-in from inside the timed command. Null when none was had.
    HMODULE module;
    // The series' texts follow in the same block (SeriesText).
};

// Walks the call chain from the caller of kv outwards, releases the series
// found dead, and fills *own with kv's own frame, found as the one holding
// ownerSlot. Called once when kv starts.
void ReleaseDeadSeriesAtStart(SeriesHold* const* ownerSlot, SeriesFrame* own);
// Allocates the record arrays and a block of the hold and textChars
// characters, and links the hold as the innermost live series. Null when an
// allocation failed; nothing is then held.
SeriesHold* HoldSeries(uint32_t totalRuns, size_t textChars, const SeriesFrame& call);
inline wchar_t* SeriesText(SeriesHold* hold) { return reinterpret_cast<wchar_t*>(hold + 1); }

void RedirectToNul(SeriesHold* hold);
void RestoreStdHandles(SeriesHold* hold);
void StartKeepAwake(SeriesHold* hold);
void SuspendTitle(SeriesHold* hold);

// After one of its runs returned: the series started inside that run and
// left behind there are dead (their kv frames are gone), so they are
// released without a walk.
void ReleaseSeriesInside(SeriesHold* hold);
// kv's own end: the series inside it, then everything it holds. A series
// that shut-down already gave back only frees its memory; its reference to
// the DLL is kept until the next call from the host, since the DLL must stay
// mapped until kv has returned.
void EndSeries(SeriesHold* hold);
// Releases every series whose kv is no longer on the call chain, and drops
// the DLL references that series shut down under their kv left behind. For
// the keystroke hook's reset and for start-up.
void ReleaseDeadSeries();
// Shut-down: dead series are released; live ones give back their
// redirection, timer and title and are marked, so their kv ends after the
// run it is in.
void ShutDownSeries();
