// The figures of a finished series' counted runs. The sums of the ticks and
// of their squares are kept exactly in 128 bits, so the deviation is the
// sample deviation of the runs themselves, not of times already cut to whole
// ticks. Owns no state.
#include "trials/series_statistics.h"
#include <algorithm>
#include <cmath>

uint64_t MedianTicks(const RunRecord* sorted, uint32_t countedRuns) {
    // Counted runs are numbered from 1 in sorted order; the median is number
    // k/2 + 1 for odd k, the mean of numbers k/2 and k/2 + 1 for even k.
    const uint32_t upper = countedRuns / 2 + 1;
    const bool even = countedRuns % 2 == 0;
    uint64_t lowerTicks = 0;
    uint32_t number = 0;
    for (const RunRecord* run = sorted;; ++run) {
        if (run->status != Counted) continue;
        ++number;
        if (number == upper) return even ? MeanOfTwo(lowerTicks, run->elapsed) : run->elapsed;
        lowerTicks = run->elapsed;
    }
}

// Digit by digit, two bits at a time.
uint64_t SquareRoot(unsigned __int128 n) {
    unsigned __int128 root = 0, bit = static_cast<unsigned __int128>(1) << 126;
    while (bit > n) bit >>= 2;
    for (; bit; bit >>= 2) {
        if (n >= root + bit) {
            n -= root + bit;
            root = (root >> 1) + bit;
        } else {
            root >>= 1;
        }
    }
    return static_cast<uint64_t>(root);
}

namespace {

constexpr unsigned __int128 kLargest = ~static_cast<unsigned __int128>(0);

// The deviation of runs so long that their squares do not fit 128 bits
// (more than 2^64 ticks between them): two passes in extended precision,
// exact no longer but far within what such runs could show.
void DeviationOfHugeRuns(const RunRecord* records, uint32_t count, SeriesFigures* f) {
    const uint32_t n = f->countedRuns;
    const long double mean = static_cast<long double>(f->sumTicks / n) + static_cast<long double>(f->sumTicks % n) / n;
    long double squares = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (records[i].status != Counted) continue;
        const long double d = static_cast<long double>(records[i].elapsed) - mean;
        squares += d * d;
    }
    const long double sigma = std::sqrt(squares / (n - 1));
    f->stdDeviation = static_cast<double>(sigma);
    f->stdDeviationWholeTicks = sigma >= 18446744073709551615.0L ? UINT64_MAX : static_cast<uint64_t>(sigma);
}

}  // namespace

SeriesFigures CountSeries(const RunRecord* records, const RunRecord* sorted, uint32_t totalRuns, uint32_t errorCount) {
    SeriesFigures f{};
    f.totalRuns = totalRuns;
    f.errorCount = errorCount;
    f.fastestTicks = UINT64_MAX;
    unsigned __int128 squares = 0;
    bool squaresFit = true;
    for (uint32_t i = 0; i < totalRuns; ++i) {
        if (records[i].status != Counted) continue;
        const uint64_t elapsed = records[i].elapsed;
        ++f.countedRuns;
        f.sumTicks += elapsed;
        f.fastestTicks = std::min(f.fastestTicks, elapsed);
        f.slowestTicks = std::max(f.slowestTicks, elapsed);
        const unsigned __int128 square = static_cast<unsigned __int128>(elapsed) * elapsed;
        squaresFit = squaresFit && squares <= kLargest - square;
        squares += square;
    }
    const uint32_t n = f.countedRuns;
    if (n == 0) {
        f.fastestTicks = 0;
        return f;
    }
    f.totalTicks = static_cast<uint64_t>(f.sumTicks);
    f.averageTicks = static_cast<uint64_t>(f.sumTicks / n);
    f.medianTicks = MedianTicks(sorted, n);
    if (n < 2) return f;
    // n·Q − S² is never negative, and S² fits wherever n·Q does.
    if (!squaresFit || squares > kLargest / n) {
        DeviationOfHugeRuns(records, totalRuns, &f);
        return f;
    }
    const unsigned __int128 spread = squares * n - f.sumTicks * f.sumTicks;
    const unsigned __int128 pairs = static_cast<unsigned __int128>(n) * (n - 1);
    f.stdDeviation = std::sqrt(static_cast<double>(spread) / static_cast<double>(pairs));
    // ⌊√v⌋ = ⌊√⌊v⌋⌋, so the whole ticks come out exact where a double could not hold them.
    f.stdDeviationWholeTicks = SquareRoot(spread / pairs);
    return f;
}

uint64_t RelativeTenths(const SeriesFigures& figures) {
    if (figures.sumTicks == 0) return 0;
    const double mean = static_cast<double>(figures.sumTicks) / figures.countedRuns;
    return RoundHalfUp(figures.stdDeviation / mean * 1000.0);
}

uint64_t RoundHalfUp(double value) {
    const double rounded = std::floor(value + 0.5);
    return rounded >= 18446744073709551615.0 ? UINT64_MAX : static_cast<uint64_t>(rounded);
}

uint64_t TicksToNanoseconds(double ticks) {
    const long double ns =
        static_cast<long double>(ticks) * 1000000000.0L / static_cast<long double>(g_state.perfFrequency);
    return ns >= 18446744073709551615.0L ? UINT64_MAX : static_cast<uint64_t>(ns);
}
