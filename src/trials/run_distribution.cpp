// The distribution of the counted runs (/G): from the fastest to the slowest
// in at most ten bins of whole ticks, each a row with its lower edge, a bar
// scaled to the fullest bin and its count. Owns no state.
#include "trials/run_distribution.h"
#include <algorithm>
#include <cwchar>
#include "frame/host_api.h"
#include "trials/tick_units.h"

namespace {

constexpr uint32_t kMaxBins = 10;
constexpr int kBarChars = 40;
constexpr int kLabelChars = 24;
constexpr uint64_t kNanosecondsPerSecond = 1000000000;

struct Unit {
    uint64_t nanoseconds;
    const wchar_t* name;
};

// The largest unit of which the bin width holds at least ten.
Unit UnitFor(uint64_t widthNs) {
    static const Unit kUnits[] = {{1000000000, L"s"}, {1000000, L"ms"}, {1000, L"\u00b5s"}};
    for (const Unit& unit : kUnits)
        if (widthNs >= 10 * unit.nanoseconds) return unit;
    return Unit{1, L"ns"};
}

}  // namespace

void PrintDistribution(const RunRecord* records, uint32_t count, const SeriesFigures& figures) {
    const uint32_t counted = figures.countedRuns;
    const uint64_t lo = figures.fastestTicks, hi = figures.slowestTicks;
    if (counted == 0) return;
    // ⌈(hi − lo + 1) / 10⌉ and ⌈(hi − lo + 1) / width⌉, written so that
    // hi − lo + 1 is never formed: it overflows for the widest spread.
    const uint64_t span = hi - lo;
    const uint64_t width = span / kMaxBins + 1;
    const uint32_t bins = static_cast<uint32_t>(span / width + 1);
    uint32_t binRuns[kMaxBins] = {};
    for (uint32_t i = 0; i < count; ++i)
        if (records[i].status == Counted) ++binRuns[(records[i].elapsed - lo) / width];

    const Unit unit = UnitFor(TicksToUnits(width, kNanosecondsPerSecond));
    wchar_t labels[kMaxBins][kLabelChars];
    int labelChars = 0;
    for (uint32_t j = 0; j < bins; ++j) {
        const uint64_t edgeNs = TicksToUnits(lo + j * width, kNanosecondsPerSecond);
        const int chars = swprintf(labels[j], kLabelChars, L"%llu",
                                   static_cast<unsigned long long>(edgeNs / unit.nanoseconds));
        labelChars = std::max(labelChars, chars);
    }
    const uint64_t top = *std::max_element(binRuns, binRuns + bins);

    Printf(L"Distribution of the %u counted runs, in %s:\r\n", counted, unit.name);
    for (uint32_t j = 0; j < bins; ++j) {
        wchar_t row[kLabelChars + kBarChars + 32];
        int at = swprintf(row, kLabelChars + 4, L"  %*ls  ", labelChars, labels[j]);
        uint64_t bar = (binRuns[j] * 80ull + top) / (2 * top);
        if (binRuns[j] > 0 && bar == 0) bar = 1;
        for (int k = 0; k < kBarChars; ++k) row[at++] = k < static_cast<int>(bar) ? L'#' : L' ';
        swprintf(row + at, 32, L" %u\r\n", binRuns[j]);
        QPuts(row);
    }
}
