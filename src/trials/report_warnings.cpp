// The warnings after the report of /V and /C. A run is far from the median
// when it lies more than about ten robust standard deviations from it:
// |x − M| × 1000 > 14826 × max(D, 1), D the median distance from the median
// (1.4826 × D estimates σ for normal runs). Owns no state.
#include "trials/report_warnings.h"
#include <algorithm>
#include "frame/host_api.h"
#include "trials/series_statistics.h"

uint64_t MedianDistance(const RunRecord* sorted, uint32_t count, uint32_t countedRuns, uint64_t median) {
    // The distances grow from the median outwards on both sides, so merging
    // the two sides walks them in order without sorting anything.
    uint32_t right = 0;
    while (right < count && sorted[right].elapsed < median) ++right;
    int64_t left = static_cast<int64_t>(right) - 1;
    const uint32_t upper = countedRuns / 2 + 1;
    uint64_t lower = 0, distance = 0;
    for (uint32_t number = 1; number <= upper; ++number) {
        while (left >= 0 && sorted[left].status != Counted) --left;
        while (right < count && sorted[right].status != Counted) ++right;
        const uint64_t toLeft = left >= 0 ? median - sorted[left].elapsed : UINT64_MAX;
        const uint64_t toRight = right < count ? sorted[right].elapsed - median : UINT64_MAX;
        lower = distance;
        if (toLeft < toRight) {
            distance = toLeft;
            --left;
        } else {
            distance = toRight;
            ++right;
        }
    }
    return countedRuns % 2 == 0 ? MeanOfTwo(lower, distance) : distance;
}

namespace {

struct FarRule {
    uint64_t median;
    unsigned __int128 limit;  // 14826 × max(D, 1)
    bool IsFar(uint64_t elapsed) const {
        const uint64_t d = elapsed > median ? elapsed - median : median - elapsed;
        return static_cast<unsigned __int128>(d) * 1000 > limit;
    }
};

}  // namespace

void PrintReportWarnings(const RunRecord* records, const RunRecord* sorted, uint32_t count,
                         const SeriesFigures& figures, const TrialSettings& settings) {
    const uint32_t counted = figures.countedRuns;
    if (counted == 0) return;
    const uint64_t median = figures.medianTicks;
    const FarRule rule{median, static_cast<unsigned __int128>(14826) *
                                   std::max<uint64_t>(MedianDistance(sorted, count, counted, median), 1)};
    uint32_t failed = 0, farRuns = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (records[i].status != Counted) continue;
        failed += records[i].exitCode != 0;
        farRuns += rule.IsFar(records[i].elapsed);
    }
    if (failed > 0)
        Printf(L"Warning:  %u of %u counted runs returned a non-zero exit code; /E leaves such runs out.\r\n", failed,
               counted);
    const RunRecord& first = records[0];
    if (counted >= 3 && first.status == Counted && first.elapsed > median && rule.IsFar(first.elapsed)) {
        // Both as the report writes the median.
        Printf(L"Warning:  the first run (%s) took far longer than the median (%s); /W:n makes untimed warm-up "
               L"runs first.\r\n",
               FormatTicks(first.elapsed, settings.milliseconds, false, settings.precise),
               FormatTicks(median, settings.milliseconds, false, settings.precise));
        --farRuns;
    }
    if (counted >= 3 && farRuns == 1)
        Printf(L"Warning:  1 of %u counted runs is an outlier, far from the median; /D:m,n drops the slowest and "
               L"fastest runs.\r\n",
               counted);
    else if (counted >= 3 && farRuns > 1)
        Printf(L"Warning:  %u of %u counted runs are outliers, far from the median; /D:m,n drops the slowest and "
               L"fastest runs.\r\n",
               farRuns, counted);
    if (median < 10) {
        const uint64_t f = g_state.perfFrequency;
        Printf(L"Warning:  the median run is %u counter ticks of %u ns; times this short are mostly the counter's "
               L"own step.\r\n",
               static_cast<unsigned>(median), static_cast<unsigned>((1000000000 + f / 2) / f));
    }
}
