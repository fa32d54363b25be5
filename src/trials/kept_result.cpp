// The kept result of the latest series that wrote its report, and the eight
// variables that hand it to batch files: counts as plain numbers, times as
// whole nanoseconds, so IF and @EVAL compare them in every locale. Owns
// nothing beyond g_state.kept, which kv replaces and ShutdownPlugin clears.
#include "trials/kept_result.h"
#include <cwchar>
#include "frame/plugin_exports.h"
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
int WriteTime(wchar_t* buffer, uint32_t runsNeeded, uint64_t ticks) {
    const bool have = Kept().valid && Kept().figures.countedRuns >= runsNeeded;
    return WriteValue(buffer, have, have ? TicksToUnits(ticks, kNanosecondsPerSecond) : 0);
}

}  // namespace

int _kvruns(wchar_t* buffer) { return WriteValue(buffer, Kept().valid, Kept().figures.countedRuns); }
int _kverrors(wchar_t* buffer) { return WriteValue(buffer, Kept().valid, Kept().figures.errorCount); }
int _kvavg(wchar_t* buffer) { return WriteTime(buffer, 1, Kept().figures.averageTicks); }
int _kvmedian(wchar_t* buffer) { return WriteTime(buffer, 1, Kept().figures.medianTicks); }
int _kvmin(wchar_t* buffer) { return WriteTime(buffer, 1, Kept().figures.fastestTicks); }
int _kvmax(wchar_t* buffer) { return WriteTime(buffer, 1, Kept().figures.slowestTicks); }
int _kvstddev(wchar_t* buffer) { return WriteTime(buffer, 2, Kept().figures.stdDeviationTicks); }
int _kvtotal(wchar_t* buffer) { return WriteTime(buffer, 1, Kept().figures.totalTicks); }
