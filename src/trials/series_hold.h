// What a KV series holds while it runs: the record arrays, its texts, the
// standard handles it replaced, its keep-awake timer and the host's title
// updating. The host may abandon kv in the middle of a run (a break unwinds
// over its frame, or the plug-in is unloaded from inside the timed command),
// so all of it lives on the heap, linked from g_state.liveSeries, and can be
// given back by whoever finds the series dead.
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include "trials/trial_report.h"

struct SeriesHold {
    SeriesHold* outer;     // the series this one runs inside, or null
    // Where kv's frame lies on the host's stack. A kv called inside another
    // one's timed command always lies deeper (lower), so a kv that starts at
    // the same place or higher up proves this series dead.
    uintptr_t stackMark;
    RunRecord* records;    // run order
    RunRecord* sorted;     // scratch for the report
    HANDLE savedOut, savedErr;
    HANDLE nulDevice;      // non-null while output and errors go to nul
    UINT_PTR ownTimer;     // the keep-awake timer this series started, 0 = none
    bool ownsTitle;        // this series switched the host's title updating off
    // A reference to this DLL, so that kv has code to return into if the host
    // unloads the plug-in from inside the timed command. Null when none was had.
    HMODULE module;
    // The series' texts follow in the same block (SeriesText).
};

// Allocates the record arrays and a block of the hold and textChars
// characters, and links the hold as the innermost live series. Null when an
// allocation failed; nothing is then held.
SeriesHold* HoldSeries(uint32_t totalRuns, size_t textChars, uintptr_t stackMark);
inline wchar_t* SeriesText(SeriesHold* hold) { return reinterpret_cast<wchar_t*>(hold + 1); }

void RedirectToNul(SeriesHold* hold);
void RestoreStdHandles(SeriesHold* hold);
void StartKeepAwake(SeriesHold* hold);
void SuspendTitle(SeriesHold* hold);

// Releases the series started inside this one's run and left behind there:
// dead once that run has returned.
void ReleaseSeriesInside(SeriesHold* hold);
// Ends the series: gives back everything it holds and frees it, after the
// series inside it.
void EndSeries(SeriesHold* hold);
// Releases the series that lie at stackMark or deeper: dead, since a kv
// starting there cannot be running inside them.
void ReleaseDeadSeries(uintptr_t stackMark);
// Whether releasing a series also drops its reference to the DLL. Shut-down
// keeps them: a kv may still be on the stack below it, and the host unloads
// the DLL right after.
enum ModuleReference { kDropModule, kKeepModule };
// Releases every series, live or dead, innermost first. True when there was
// one; g_state.seriesReleases then counts up, so a kv whose series was
// released under it (shut-down inside its timed command) ends after the run.
bool ReleaseAllSeries(ModuleReference module);
