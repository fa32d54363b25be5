// The kept result of the latest series that wrote its report, and the eleven
// variables that hand it to batch files: counts as plain numbers, times as
// whole nanoseconds, so IF and @EVAL compare them in every locale. Owns
// nothing beyond g_state.kept, which kv replaces and ShutdownPlugin clears.
#include "trials/kept_result.h"
#include <cwchar>
#include "frame/plugin_exports.h"
#include "trials/series_statistics.h"
#include "trials/tick_units.h"

void KeepSeriesResult(const SeriesFigures& figures, const wchar_t* command) {
    KeptResult& kept = g_state.kept;
    kept.valid = true;
    kept.figures = figures;
    const size_t chars = wcslen(command);
    if (chars > static_cast<size_t>(kKeptCommandChars)) {
        wmemcpy(kept.command, command, kKeptCommandChars);
        wcscpy(kept.command + kKeptCommandChars, L"...");
    } else {
        wcscpy(kept.command, command);
    }
}

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000;

// The host's variable contract: the value over the buffer, result 0; a null
// buffer gives 87 and nothing is written. Without a value the text is empty.
int WriteValue(wchar_t* buffer, bool have, uint64_t value) {
    if (!buffer) return ERROR_INVALID_PARAMETER;
    if (have)
        swprintf(buffer, 32, L"%llu", static_cast<unsigned long long>(value));
    else
        buffer[0] = L'\0';
    return 0;
}

const KeptResult& Kept() { return g_state.kept; }

// A time of the counted runs, which exist only when some run was counted.
int WriteTime(wchar_t* buffer, uint64_t ticks) {
    const bool have = Kept().valid && Kept().figures.countedRuns > 0;
    return WriteValue(buffer, have, have ? TicksToUnits(ticks, kNanosecondsPerSecond) : 0);
}

const SeriesRatio& Ratio() { return Kept().figures.ratio; }

}  // namespace

int _kvruns(wchar_t* buffer) { return WriteValue(buffer, Kept().valid, Kept().figures.countedRuns); }
int _kverrors(wchar_t* buffer) { return WriteValue(buffer, Kept().valid, Kept().figures.errorCount); }
int _kvavg(wchar_t* buffer) { return WriteTime(buffer, Kept().figures.averageTicks); }
int _kvmedian(wchar_t* buffer) { return WriteTime(buffer, Kept().figures.medianTicks); }
int _kvmin(wchar_t* buffer) { return WriteTime(buffer, Kept().figures.fastestTicks); }
int _kvmax(wchar_t* buffer) { return WriteTime(buffer, Kept().figures.slowestTicks); }
int _kvtotal(wchar_t* buffer) { return WriteTime(buffer, Kept().figures.totalTicks); }
// The unrounded deviation goes into nanoseconds, so a fraction of a tick still counts.
int _kvstddev(wchar_t* buffer) {
    const bool have = Kept().valid && Kept().figures.countedRuns >= 2;
    return WriteValue(buffer, have, have ? TicksToNanoseconds(Kept().figures.stdDeviation) : 0);
}
// /C's ratio and its interval in thousandths: empty after a series that wrote
// its report without them.
int _kvratio(wchar_t* buffer) { return WriteValue(buffer, Kept().valid && Ratio().valid, Ratio().thousandths); }
int _kvratiolow(wchar_t* buffer) {
    return WriteValue(buffer, Kept().valid && Ratio().haveInterval, Ratio().lowThousandths);
}
int _kvratiohigh(wchar_t* buffer) {
    return WriteValue(buffer, Kept().valid && Ratio().haveInterval, Ratio().highThousandths);
}
