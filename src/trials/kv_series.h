// What one KV command holds from its start until it returns, and how its
// runs ended. The parts that must be given back even if the host abandons kv
// live in the series' heap hold (lifetime/series_hold.h).
#pragma once
#include <windows.h>
#include <cstddef>
#include <cstdint>
#include "cmdline/trial_options.h"
#include "frame/plugin_state.h"
#include "trials/run_file.h"

struct SeriesHold;

// Room before the command for "\nWarm-up #4294967295 of 4294967295:  ".
constexpr size_t kHeaderRoom = 48;

struct Series {
    TrialSettings settings;
    HWND hostWindow;
    uint64_t startTicks;    // counter reading when the command started
    uint64_t latestTicks;   // the latest reading: start, then the end of each run
    // Where the title's estimate counts from: the start, or the end of the
    // last warm-up run, so untimed runs do not inflate it.
    uint64_t etaStartTicks;
    // When the title may be written next, for warm-up runs [1] and timed
    // runs [0]: 0 (the first run of each kind), then 100 ms after the reading
    // it was last written at. With the count of titles written then.
    uint64_t titleDueTicks[2];
    uint32_t titleWrites;
    uint32_t requestedRuns;
    uint32_t totalRuns;     // requested runs plus the drop runs
    // Arrays, texts, redirection, timer and title; until they are allocated,
    // the start hold with kv's reference to the DLL. The walk of the call
    // chain reads this slot to tell this call's frame from a dead one's.
    SeriesHold* hold;
    // Own copy of the command text: a KV inside the timed command splits its
    // line into the same process-wide argument list the settings point into.
    wchar_t* commandText;
    size_t commandChars;
    wchar_t* workBuffer;    // fresh copy of commandText before every run
    // The run header: room for its start, the command, then " \n". Each run
    // writes only the run number in front of the command.
    wchar_t* headerCommand;
    uint32_t errorCount;
    uint64_t allFastest, allSlowest;
    uint8_t normalAttr, highlightAttr;  // this command's colours; a KV inside it picks its own
    // kv's reference to the DLL (HoldDll) when no start hold took it over.
    HMODULE dll;
    // g_state.breaksNoted when kv started: a break since ends the series.
    LONG breaksAtStart;
    // The run number of the series this KV runs inside (-1 when none), given
    // back when this one ends.
    int32_t outerRun;
    // /C: the result the previous series left when this one began. A KV
    // inside the timed command replaces the kept one, not this copy.
    KeptResult previous;
    RunFile runFile;        // /X; the hold owns its handle once there is one
    uint32_t madeRuns;      // timed runs whose command returned
};

// How the runs ended.
enum class SeriesEnd { Completed, UserAbort, ShutDown, Broken };

// Writes the run header, format taking the run's number and the count of its
// kind of runs.
void WriteRunHeader(const Series& s, const wchar_t* format, uint32_t run, uint32_t runs);
