// /C's comparison of two series: the ratio of their exact averages, and a
// 95% interval of it built from the standard errors of both averages, so it
// narrows as either series makes more runs. The interval is one of the
// logarithm of the ratio, so "faster" and "slower" mirror each other. Owns
// the text buffer of the "Compared" line.
#include "trials/series_comparison.h"
#include <cmath>
#include <cwchar>
#include "trials/series_statistics.h"

double StudentT975(uint32_t nu) {
    static const double kTable[30] = {12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
                                      2.201,  2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
                                      2.080,  2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042};
    if (nu < 1) nu = 1;
    if (nu <= 30) return kTable[nu - 1];
    // The Cornish-Fisher expansion of t around the normal quantile z.
    const double z = 1.959964, v = nu;
    const double z3 = z * z * z, z5 = z3 * z * z, z7 = z5 * z * z;
    return z + (z3 + z) / (4 * v) + (5 * z5 + 16 * z3 + 3 * z) / (96 * v * v) +
           (3 * z7 + 19 * z5 + 17 * z3 - 15 * z) / (384 * v * v * v);
}

namespace {

int AppendHundredths(wchar_t* text, int chars, double value) {
    const uint64_t r = RoundHalfUp(value * 100.0);
    return swprintf(text, chars, L"%llu.%02u", static_cast<unsigned long long>(r / 100),
                    static_cast<unsigned>(r % 100));
}

// The standard error of a series' average relative to the average: σ / (m·√n).
double RelativeError(const SeriesFigures& f) {
    const double n = f.countedRuns;
    return f.stdDeviation / (static_cast<double>(f.sumTicks) / n * std::sqrt(n));
}

// Half the width of the interval of the ratio's logarithm: Student's t for
// the Welch–Satterthwaite degrees of freedom times the combined relative
// error. Both series counted two runs or more.
double HalfWidth(const SeriesFigures& a, const SeriesFigures& b) {
    const double ra = RelativeError(a), rb = RelativeError(b);
    const double ra2 = ra * ra, rb2 = rb * rb;
    const double s2 = ra2 + rb2;
    if (s2 == 0) return 0;
    const double nu = s2 * s2 / (ra2 * ra2 / (a.countedRuns - 1) + rb2 * rb2 / (b.countedRuns - 1));
    // Rounded, not cut: equal series of three runs give exactly 4, which the
    // division may land just below. ν never exceeds the runs of both series.
    const double rounded = std::floor(nu + 0.5);
    return StudentT975(rounded < 1 ? 1u : static_cast<uint32_t>(rounded)) * std::sqrt(s2);
}

}  // namespace

const wchar_t* CompareWithPrevious(const SeriesFigures& now, const SeriesFigures& previous, SeriesRatio* ratio) {
    constexpr int kChars = 160;
    static wchar_t text[kChars];
    SeriesRatio figures{};
    if (ratio) *ratio = figures;
    if (now.countedRuns == 0 || previous.countedRuns == 0) return L"no counted runs to compare";
    if (now.averageTicks == 0 || previous.averageTicks == 0) return L"an average below one tick cannot be compared";
    // The exact averages compared as S_now·n_previous against S_previous·n_now.
    const unsigned __int128 a = now.sumTicks * previous.countedRuns, b = previous.sumTicks * now.countedRuns;
    const double q = a == b ? 1.0 : static_cast<double>(a) / static_cast<double>(b);
    const double r = a < b ? static_cast<double>(b) / static_cast<double>(a) : q;
    int length = 0;
    if (a != b) length = AppendHundredths(text, kChars, r);
    length += swprintf(text + length, kChars - length, L"%ls",
                       a == b  ? L"as fast as the previous"
                       : a < b ? L" times faster than the previous"
                               : L" times slower than the previous");
    figures.valid = true;
    figures.thousandths = RoundHalfUp(q * 1000.0);
    if (now.countedRuns < 2 || previous.countedRuns < 2) {
        swprintf(text + length, kChars - length, L" (too few runs for an interval)");
    } else {
        const double h = HalfWidth(now, previous);
        const double low = r * std::exp(-h);
        length += swprintf(text + length, kChars - length, L" (95%%: ");
        length += AppendHundredths(text + length, kChars - length, low);
        length += swprintf(text + length, kChars - length, L" to ");
        length += AppendHundredths(text + length, kChars - length, r * std::exp(h));
        swprintf(text + length, kChars - length, L"%ls", low > 1 ? L"), a real difference" : L"), could be chance");
        figures.haveInterval = true;
        figures.lowThousandths = RoundHalfUp(q * std::exp(-h) * 1000.0);
        figures.highThousandths = RoundHalfUp(q * std::exp(h) * 1000.0);
    }
    if (ratio) *ratio = figures;
    return text;
}
