// The figures of a finished series' counted runs: counts, fastest, slowest,
// average, median, total, and the sample standard deviation from the exact
// sums of the ticks and of their squares. Owns no state.
#pragma once
#include <cstdint>
#include "frame/plugin_state.h"
#include "trials/trial_report.h"

// The figures of the Counted runs of records (run order) and sorted (the same
// runs in CompareRuns order), for a series of totalRuns runs of which
// errorCount returned a non-zero exit code. The comparison fields stay empty.
SeriesFigures CountSeries(const RunRecord* records, const RunRecord* sorted, uint32_t totalRuns, uint32_t errorCount);

// σ relative to the exact average, in tenths of a percent rounded half up;
// 0 when every counted run took 0 ticks.
uint64_t RelativeTenths(const SeriesFigures& figures);

// Median elapsed of the Counted runs of a sorted array holding countedRuns
// of them (at least one); for an even count the mean of the middle two, truncated.
uint64_t MedianTicks(const RunRecord* sorted, uint32_t countedRuns);
// (a + b) / 2 truncated, without the sum overflowing.
inline uint64_t MeanOfTwo(uint64_t a, uint64_t b) { return a / 2 + b / 2 + (a % 2 + b % 2) / 2; }

// value rounded half up to a whole number; a value past 2^64 − 1 stops there.
uint64_t RoundHalfUp(double value);

// Whole nanoseconds of a duration in ticks that need not be whole, cut off.
uint64_t TicksToNanoseconds(double ticks);

// Integer square root, cut off: the root of a 128-bit number fits in 64 bits.
uint64_t SquareRoot(unsigned __int128 n);
