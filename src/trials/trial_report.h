// The per-run record of a KV series and the report made from it: drop
// marking, counts, fastest/slowest, average, median, deviation, total and
// wall time, and the comparison with the previous series.
// Owns the four FormatTicks buffers; everything else belongs to the caller.
#pragma once
#include <windows.h>
#include <cstdint>
#include "cmdline/trial_options.h"
#include "frame/plugin_state.h"

enum RunStatus : uint32_t { Counted = 0, DroppedSlow = 1, DroppedFast = 2, Excluded = 3 };

struct RunRecord {
    uint64_t elapsed;    // counter ticks around the host's Command call
    int32_t exitCode;    // what Command returned
    RunStatus status;
    uint32_t runIndex;   // 0-based position in run order
};

// Order of the sorted copy: shorter first, equal times in run order.
// Negative when a goes first, positive when b does, 0 only for the same run.
int CompareRuns(const RunRecord& a, const RunRecord& b);

// Fills sorted with the records in CompareRuns order. records is used as
// working space meanwhile and holds the same runs again on return.
void SortRuns(RunRecord* records, RunRecord* sorted, uint32_t count);

// Marks up to dropSlowest of the slowest and dropFastest of the fastest
// Counted runs in both arrays (sorted must be records sorted by CompareRuns);
// returns how many it really marked.
uint32_t MarkDroppedRuns(RunRecord* records, RunRecord* sorted, uint32_t count, uint32_t dropSlowest,
                         uint32_t dropFastest);

// "mm:ss.mmm", "h:mm:ss.mmm" from one hour on or with hours, or plain
// milliseconds; precise adds three digits (microseconds) to each form. The
// text stays valid for the next three calls.
const wchar_t* FormatTicks(uint64_t ticks, bool milliseconds, bool hours, bool precise = false);

// Characters of value written as an unsigned decimal number.
uint32_t DecimalWidth(uint32_t value);

// Prints the recap (unless settings.recap is off) and the summary of a
// finished series, and returns its figures. records holds totalRuns runs in
// run order; sorted is scratch space of the same size. settings.command is
// the text shown. With previous (the /C option) the summary ends with the
// comparison: against that result, or "none" when it holds none. With /V or
// /C the warnings follow the summary.
SeriesFigures ReportTrials(RunRecord* records, RunRecord* sorted, uint32_t totalRuns, uint32_t requestedRuns,
                           uint32_t errorCount, uint64_t allFastest, uint64_t allSlowest, const TrialSettings& settings,
                           uint64_t startTicks, HWND hostWindow, const KeptResult* previous = nullptr);
