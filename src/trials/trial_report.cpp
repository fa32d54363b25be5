// The report of a finished KV series: sorts a copy of the run records, marks
// the dropped runs, and prints the recap and the summary, with /C the
// comparison with the previous series and the warnings. All times are
// counter ticks until printed. Owns the FormatTicks buffers.
#include "trials/trial_report.h"
#include <algorithm>
#include <cstring>
#include <cwchar>
#include "trials/report_warnings.h"
#include "trials/run_distribution.h"
#include "trials/series_comparison.h"
#include "trials/series_statistics.h"
#include "trials/tick_units.h"
#include "console/console_env.h"
#include "frame/host_api.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"

constexpr uint64_t kMsPerHour = 3600000;
constexpr int kTickTextChars = 64;

static wchar_t s_tickText[4][kTickTextChars];
static unsigned s_tickTextPos;

int CompareRuns(const RunRecord& a, const RunRecord& b) {
    if (a.elapsed != b.elapsed) return a.elapsed < b.elapsed ? -1 : 1;
    if (a.runIndex != b.runIndex) return a.runIndex < b.runIndex ? -1 : 1;
    return 0;
}

constexpr unsigned kDigitBits = 11;
constexpr unsigned kDigitValues = 1u << kDigitBits;
constexpr unsigned kMaxDigits = 3;

// One stable counting pass by the given digit of elapsed - base.
static void ScatterByDigit(const RunRecord* from, RunRecord* to, uint32_t count, uint64_t base, unsigned digit,
                           uint32_t* histogram) {
    uint32_t position = 0;
    for (unsigned d = 0; d < kDigitValues; ++d) {
        const uint32_t inBucket = histogram[d];
        histogram[d] = position;
        position += inBucket;
    }
    const unsigned shift = digit * kDigitBits;
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned d = static_cast<unsigned>((from[i].elapsed - base) >> shift) & (kDigitValues - 1);
        to[histogram[d]++] = from[i];
    }
}

void SortRuns(RunRecord* records, RunRecord* sorted, uint32_t count) {
    // Runs come in run order, so a stable sort by elapsed alone gives the
    // CompareRuns order. Times of a series lie close together, so a radix
    // sort on elapsed - fastest needs one to three passes where a comparison
    // sort of a million records takes several times as long.
    bool inRunOrder = true;
    uint64_t fastest = UINT64_MAX, slowest = 0;
    for (uint32_t i = 0; i < count; ++i) {
        inRunOrder = inRunOrder && records[i].runIndex == i;
        fastest = std::min(fastest, records[i].elapsed);
        slowest = std::max(slowest, records[i].elapsed);
    }
    unsigned digits = 1;
    while (digits <= kMaxDigits && ((slowest - fastest) >> (digits * kDigitBits)) != 0) ++digits;
    if (count == 0 || !inRunOrder || digits > kMaxDigits) {
        std::memcpy(sorted, records, sizeof(RunRecord) * count);
        std::sort(sorted, sorted + count,
                  [](const RunRecord& a, const RunRecord& b) { return CompareRuns(a, b) < 0; });
        return;
    }
    uint32_t histograms[kMaxDigits][kDigitValues] = {};
    for (uint32_t i = 0; i < count; ++i)
        for (unsigned digit = 0; digit < digits; ++digit)
            ++histograms[digit][((records[i].elapsed - fastest) >> (digit * kDigitBits)) & (kDigitValues - 1)];
    // The passes alternate between the two arrays, borrowing records as the
    // second buffer; every record carries its run index, so records is put
    // back in run order from the sorted result afterwards.
    RunRecord* from = records;
    RunRecord* to = sorted;
    for (unsigned digit = 0; digit < digits; ++digit) {
        ScatterByDigit(from, to, count, fastest, digit, histograms[digit]);
        std::swap(from, to);
    }
    if (digits == 1) return;
    if (from != sorted) std::memcpy(sorted, from, sizeof(RunRecord) * count);
    for (uint32_t j = 0; j < count; ++j) records[sorted[j].runIndex] = sorted[j];
}

uint32_t MarkDroppedRuns(RunRecord* records, RunRecord* sorted, uint32_t count, uint32_t dropSlowest,
                         uint32_t dropFastest) {
    if (!records || !sorted || (dropSlowest == 0 && dropFastest == 0) || count < 2) return 0;
    uint32_t slow = 0, fast = 0;
    // Both ends move inwards one place per step; a run that is excluded or
    // already taken by the other end is passed over. The slow end goes first,
    // so where the two meet the run is dropped as slow.
    for (uint32_t s = 0; s < count; ++s) {
        RunRecord& slowest = sorted[count - 1 - s];
        if (slow < dropSlowest && slowest.status == Counted) {
            slowest.status = DroppedSlow;
            records[slowest.runIndex].status = DroppedSlow;
            ++slow;
        }
        RunRecord& fastest = sorted[s];
        if (fast < dropFastest && fastest.status == Counted) {
            fastest.status = DroppedFast;
            records[fastest.runIndex].status = DroppedFast;
            ++fast;
        }
        if (slow == dropSlowest && fast == dropFastest) break;
    }
    return slow + fast;
}

const wchar_t* FormatTicks(uint64_t ticks, bool milliseconds, bool hours, bool precise) {
    s_tickTextPos = (s_tickTextPos + 1) % 4;
    wchar_t* text = s_tickText[s_tickTextPos];
    // The fraction of a second: milliseconds, or with precise microseconds.
    const uint64_t units = precise ? TicksToMicroseconds(ticks) : TicksToMilliseconds(ticks);
    const uint64_t unitsPerMs = precise ? 1000 : 1;
    const uint64_t ms = units / unitsPerMs;
    const uint64_t seconds = ms / 1000;
    const unsigned fraction = static_cast<unsigned>(units % (1000 * unitsPerMs));
    const int digits = precise ? 6 : 3;
    if (milliseconds && precise)
        swprintf(text, kTickTextChars, L"%llu.%03u", static_cast<unsigned long long>(ms),
                 static_cast<unsigned>(units % 1000));
    else if (milliseconds)
        swprintf(text, kTickTextChars, L"%llu", static_cast<unsigned long long>(ms));
    else if (hours || ms >= kMsPerHour)
        swprintf(text, kTickTextChars, L"%llu:%02u:%02u.%0*u", static_cast<unsigned long long>(seconds / 3600),
                 static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60), digits, fraction);
    else
        swprintf(text, kTickTextChars, L"%02llu:%02u.%0*u", static_cast<unsigned long long>(seconds / 60),
                 static_cast<unsigned>(seconds % 60), digits, fraction);
    return text;
}

uint32_t DecimalWidth(uint32_t value) {
    uint32_t width = 1;
    for (; value >= 10; value /= 10) ++width;
    return width;
}

// How the report writes its times: the options, and the hours flag it decided.
struct TimeStyle {
    bool milliseconds, hours, precise;
};

static const wchar_t* TimeText(const TimeStyle& style, uint64_t ticks) {
    return FormatTicks(ticks, style.milliseconds, style.hours, style.precise);
}

// The average and the median (and the deviation) take hours only when they
// reach an hour themselves.
static const wchar_t* TimeTextWithoutHours(const TimeStyle& style, uint64_t ticks) {
    return FormatTicks(ticks, style.milliseconds, false, style.precise);
}

static void PrintRecap(const RunRecord* records, uint32_t totalRuns, uint32_t requestedRuns, const TimeStyle& style) {
    const uint32_t width = DecimalWidth(requestedRuns);
    CrLf();
    for (uint32_t i = 0; i < totalRuns; ++i) {
        const RunRecord& run = records[i];
        Printf(L"Run #%*u of %u:  Time = %s   rv = %d", width, i + 1, totalRuns, TimeText(style, run.elapsed),
               run.exitCode);
        switch (run.status) {
        case DroppedSlow: QPuts(L"   (dropped slow run)"); break;
        case DroppedFast: QPuts(L"   (dropped fast run)"); break;
        case Excluded: QPuts(L"   (excluded)"); break;
        case Counted: break;
        }
        CrLf();
    }
}

// format takes the fastest, the slowest and the spread, in this order.
static void PrintSpread(const wchar_t* format, uint64_t fastest, uint64_t slowest, const TimeStyle& style) {
    Printf(format, TimeText(style, fastest), TimeText(style, slowest), TimeText(style, slowest - fastest));
}

SeriesFigures ReportTrials(RunRecord* records, RunRecord* sorted, uint32_t totalRuns, uint32_t requestedRuns,
                           uint32_t errorCount, uint64_t allFastest, uint64_t allSlowest, const TrialSettings& settings,
                           uint64_t startTicks, HWND hostWindow, const KeptResult* previous) {
    SortRuns(records, sorted, totalRuns);
    // Marks nothing and gives 0 when no drops were asked for.
    const uint32_t dropped = MarkDroppedRuns(records, sorted, totalRuns, settings.nDropSlowest, settings.nDropFastest);

    SeriesFigures figures = CountSeries(records, sorted, totalRuns, errorCount);
    const uint32_t countedRuns = figures.countedRuns;
    // One hour of counted time switches every time but the average and the
    // median to the hours form, so the columns of the summary stay alike;
    // those two take it only when they reach an hour themselves.
    const TimeStyle style{settings.milliseconds,
                          settings.showHours || figures.totalTicks >= g_state.perfFrequency * 3600, settings.precise};

    if (settings.recap) PrintRecap(records, totalRuns, requestedRuns, style);
    if (settings.grabFocus) GrabFocus(hostWindow);
    if (g_state.highlightAttr) SetColors(g_state.highlightAttr);

    Printf(L"\r\nCommand   :  %s\r\n", settings.command);
    Printf(L"Total runs:  %u    Errors:  %u    Dropped:  %u   Runs counted:  %u\r\n", totalRuns, errorCount, dropped,
           countedRuns);
    if (countedRuns > 0) {
        const bool someLeftOut = countedRuns < totalRuns;
        if (someLeftOut) QPuts(L"(All runs)  ");
        PrintSpread(L"Fastest:  %s    Slowest:  %s    Spread:  %s\r\n", allFastest, allSlowest, style);
        if (someLeftOut)
            PrintSpread(L"(Counted)   Fastest:  %s    Slowest:  %s    Spread:  %s\r\n", figures.fastestTicks,
                        figures.slowestTicks, style);
        Printf(L"Average time:  %s", TimeTextWithoutHours(style, figures.averageTicks));
        Printf(L"    Median time:  %s", TimeTextWithoutHours(style, figures.medianTicks));
        if (settings.stdDeviation && countedRuns >= 2) {
            const uint64_t relative = RelativeTenths(figures);
            Printf(L"\r\nStd deviation:  %s    Relative:  %I64u.%u%%",
                   TimeTextWithoutHours(style, figures.stdDeviationWholeTicks), relative / 10,
                   static_cast<unsigned>(relative % 10));
        }
        Printf(L"\r\nTotal time:  %s    ", TimeText(style, figures.totalTicks));
    }
    LARGE_INTEGER now;
    if (g_sys.queryPerformanceCounter(&now))
        Printf(L"Wall time:  %s", TimeText(style, static_cast<uint64_t>(now.QuadPart) - startTicks));
    if (previous) {
        Printf(L"\r\nPrevious  :  %s", previous->valid ? previous->command : L"none");
        if (previous->valid)
            Printf(L"\r\nCompared  :  %s", CompareWithPrevious(figures, previous->figures, &figures.ratio));
    }
    if (g_state.highlightAttr) SetColors(g_state.normalAttr);
    CrLf();
    if (settings.distribution) PrintDistribution(records, totalRuns, figures);
    if (settings.stdDeviation || previous) PrintReportWarnings(records, sorted, totalRuns, figures, settings);
    return figures;
}
