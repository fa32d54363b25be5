// The warnings /V and /C add after the report: counted runs that failed, a
// slow first run, outliers far from the median, and times so short that
// they are mostly the counter's own step.
#pragma once
#include <cstdint>
#include "cmdline/trial_options.h"
#include "frame/plugin_state.h"
#include "trials/trial_report.h"

// The median of the counted runs' distances from median (the same way the
// median itself is taken): a spread that a few far runs do not move.
uint64_t MedianDistance(const RunRecord* sorted, uint32_t count, uint32_t countedRuns, uint64_t median);

// Writes each warning whose condition holds, one line each, through the
// host's Printf; nothing when no run was counted. records and sorted are the
// report's arrays of count runs, figures what it found in them.
void PrintReportWarnings(const RunRecord* records, const RunRecord* sorted, uint32_t count,
                         const SeriesFigures& figures, const TrialSettings& settings);
