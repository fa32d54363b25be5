// The KV command: parses its options, runs the command line the asked number
// of times, each run timed by two counter readings around the host's Command
// call, and hands the records to the report. Owns the buffers of one series;
// sets trialRun, and through the series hold the redirection, keep-awake
// timer and title state.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <windows.h>
#include <mmsystem.h>
#include "trials/kept_result.h"
#include "trials/series_hold.h"
#include "trials/title_progress.h"
#include "trials/trial_report.h"
#include "cmdline/arg_splitter.h"
#include "cmdline/trial_options.h"
#include "console/console_env.h"
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"

// Command may rewrite its line in place (aliases, expansion), so it gets a
// buffer far larger than any argument line.
constexpr size_t kWorkBufferChars = 32768;
// Room before the command for "\nWarm-up #4294967295 of 4294967295:  ".
constexpr size_t kHeaderRoom = 48;

// What one KV command holds from its start until it returns. What must be
// given back even if the host abandons kv lives in the heap hold.
struct Series {
    TrialSettings settings;
    HWND hostWindow;
    uint64_t startTicks;    // counter reading when the command started
    uint64_t latestTicks;   // the latest reading: start, then the end of each run
    // Where the title's estimate counts from: the start, or the end of the
    // last warm-up run, so untimed runs do not inflate it.
    uint64_t etaStartTicks;
    // When the title may be written next, for warm-up runs [1] and timed
    // runs [0]: 0 (the first run of each kind), then 100 ms after the reading
    // it was last written at. With the count of titles written then.
    uint64_t titleDueTicks[2];
    uint32_t titleWrites;
    uint32_t requestedRuns;
    uint32_t totalRuns;     // requested runs plus the drop runs
    // Arrays, texts, redirection, timer and title; until they are allocated,
    // the start hold with kv's reference to the DLL. The walk of the call
    // chain reads this slot to tell this call's frame from a dead one's.
    SeriesHold* hold;
    // Own copy of the command text: a KV inside the timed command splits its
    // line into the same process-wide argument list the settings point into.
    wchar_t* commandText;
    size_t commandChars;
    wchar_t* workBuffer;    // fresh copy of commandText before every run
    // The run header: room for its start, the command, then " \n". Each run
    // writes only the run number in front of the command.
    wchar_t* headerCommand;
    uint32_t errorCount;
    uint64_t allFastest, allSlowest;
    uint8_t normalAttr, highlightAttr;  // this command's colours; a KV inside it picks its own
    // kv's reference to the DLL (HoldDll) when no start hold took it over.
    HMODULE dll;
    // g_state.breaksNoted when kv started: a break since ends the series.
    LONG breaksAtStart;
    // The run number of the series this KV runs inside (-1 when none), given
    // back when this one ends.
    int32_t outerRun;
    // /C: the result the previous series left when this one began. A KV
    // inside the timed command replaces the kept one, not this copy.
    KeptResult previous;
};

// How the runs ended.
enum class SeriesEnd { Completed, UserAbort, ShutDown, Broken };

static uint64_t ReadCounter() {
    LARGE_INTEGER now{};
    g_sys.queryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

static void CompleteDropCounts(TrialSettings* settings) {
    if (!settings->dropTenPercent) return;
    const uint32_t drops = std::clamp(settings->runCount / 10, 1u, kMaxDrops);
    settings->nDropSlowest = drops;
    settings->nDropFastest = drops;
}

// Everything the runs and the report need is allocated here, before the
// first run, so no allocation can fall inside a measured interval.
static bool AllocateSeries(Series& s, const SeriesFrame& call) {
    s.commandChars = std::min(wcslen(s.settings.command), kWorkBufferChars - 1);
    const size_t textChars = (s.commandChars + 1) + (kHeaderRoom + s.commandChars + 2) + kWorkBufferChars;
    SeriesHold* hold = HoldSeries(s.totalRuns, textChars, call, s.hold, s.dll);
    if (!hold) return false;
    s.hold = hold;
    s.dll = nullptr;
    s.commandText = SeriesText(s.hold);
    std::memcpy(s.commandText, s.settings.command, sizeof(wchar_t) * s.commandChars);
    s.commandText[s.commandChars] = L'\0';
    s.headerCommand = s.commandText + s.commandChars + 1 + kHeaderRoom;
    std::memcpy(s.headerCommand, s.commandText, sizeof(wchar_t) * s.commandChars);
    std::memcpy(s.headerCommand + s.commandChars, L" \n", sizeof(wchar_t) * 2);
    s.workBuffer = s.headerCommand + s.commandChars + 2;
    s.workBuffer[0] = L'\0';
    s.settings.command = s.commandText;
    return true;
}

static void WriteConsoleText(const wchar_t* text, size_t chars) {
    DWORD written;
    WriteConsoleW(g_state.conOut, text, static_cast<DWORD>(chars), &written, nullptr);
}

// Straight to the console device, so neither /B nor a redirection of the
// KV command hides it. Without a highlight it is a single write, since every
// console write costs a round trip to the console; the command may be 8191
// characters, so it is never formatted through a fixed-size routine. format
// takes the run's number and the count of its kind of runs.
static void WriteRunHeader(const Series& s, const wchar_t* format, uint32_t run, uint32_t runs) {
    if (!g_state.conOut) return;
    wchar_t number[kHeaderRoom];
    const int numberChars = swprintf(number, kHeaderRoom, format, run, runs);
    if (numberChars <= 0) return;
    wchar_t* line = s.headerCommand - numberChars;
    std::memcpy(line, number, sizeof(wchar_t) * static_cast<size_t>(numberChars));
    const size_t lineChars = static_cast<size_t>(numberChars) + s.commandChars;
    if (!g_state.highlightAttr) {
        line[-1] = L'\n';
        WriteConsoleText(line - 1, lineChars + 3);
        return;
    }
    WriteConsoleText(L"\n", 1);
    SetColors(g_state.highlightAttr);
    WriteConsoleText(line, lineChars);
    SetColors(g_state.normalAttr);
    WriteConsoleText(L" \n", 2);
}

static void RecordRun(Series& s, uint32_t i, uint64_t elapsed, int exitCode) {
    RunRecord& run = s.hold->records[i];
    run.elapsed = elapsed;
    run.exitCode = exitCode;
    run.status = Counted;
    run.runIndex = i;
    if (i == 0) {
        s.allFastest = s.allSlowest = elapsed;
    } else {
        if (elapsed > s.allSlowest) s.allSlowest = elapsed;
        if (elapsed < s.allFastest) s.allFastest = elapsed;
    }
    if (exitCode != 0) {
        ++s.errorCount;
        if (s.settings.excludeErrors) run.status = Excluded;
    }
}

// The plug-in was shut down under the series, or a Ctrl+C arrived: after a
// break the host refuses every line until it is back at its prompt and may
// act on the break in any other service, so no further run is made and the
// host is not called again.
static bool SeriesCutShort(const Series& s, SeriesEnd* end) {
    if (s.hold->shutDown)
        *end = SeriesEnd::ShutDown;
    else if (BreakNotedSince(s.breaksAtStart))
        *end = SeriesEnd::Broken;
    else
        return false;
    return true;
}

// What every run, timed or warm-up, does before its command: a fresh copy of
// the command text, the title, the header and the focus change.
static void PrepareRun(Series& s, uint32_t run, bool warmUp) {
    const TrialSettings& t = s.settings;
    std::memcpy(s.workBuffer, s.commandText, sizeof(wchar_t) * (s.commandChars + 1));
    // The title is the series' only while the host's updating is off: a
    // reset during the series gives it back to the host. Nobody reads a
    // title that changes faster than ten times a second, and each one costs
    // a round trip to the console, so it waits for the latest reading to be
    // 100 ms on; a title someone else wrote meanwhile is replaced at once.
    uint64_t& due = s.titleDueTicks[warmUp];
    if (t.titleBar && g_state.titleSaved && (s.latestTicks >= due || TitleWrites() != s.titleWrites)) {
        due = s.latestTicks + (g_state.perfFrequency + 9) / 10;
        if (warmUp)
            SetWarmUpTitle(run, t.warmUpRuns);
        else
            SetProgressTitle(s.totalRuns, s.latestTicks - s.etaStartTicks);
        s.titleWrites = TitleWrites();
    }
    if (!t.quiet)
        WriteRunHeader(s, warmUp ? L"Warm-up #%u of %u:  " : L"Run #%u of %u:  ", run,
                       warmUp ? t.warmUpRuns : s.totalRuns);
    if (t.grabFocus) GrabFocus(s.hostWindow);
}

// What every run does once its command returned. False when the series is
// over (*end says why): shut-down or a break came, or the run returned the
// user-abort code (then in *abortCode).
static bool RunReturned(Series& s, int exitCode, SeriesEnd* end, int* abortCode) {
    // The hold is this call's until kv frees it, whatever the command did.
    if (SeriesCutShort(s, end)) return false;
    if (g_state.liveSeries != s.hold) ReleaseSeriesInside(s.hold);
    if (s.settings.userAbort != 0 && exitCode == s.settings.userAbort) {
        *abortCode = exitCode;
        *end = SeriesEnd::UserAbort;
        return false;
    }
    // A KV inside the command picks colours of its own.
    g_state.normalAttr = s.normalAttr;
    g_state.highlightAttr = s.highlightAttr;
    return true;
}

// The untimed runs before the series, made like timed ones but neither
// recorded nor counted; only the user-abort code, a break or shut-down in
// one of them ends the command. Every counter reading here lies outside the
// timed loop.
static SeriesEnd RunWarmUps(Series& s, int* abortCode) {
    SeriesEnd end = SeriesEnd::Completed;
    for (uint32_t i = 0; i < s.settings.warmUpRuns; ++i) {
        g_state.trialRun = kWarmUpRun;
        if (SeriesCutShort(s, &end)) return end;
        PrepareRun(s, i + 1, true);
        const int exitCode = Command(s.workBuffer, 0);
        s.latestTicks = s.etaStartTicks = ReadCounter();
        if (!RunReturned(s, exitCode, &end, abortCode)) return end;
    }
    return end;
}

// Runs the series until every run was made, a run returned the user-abort
// code (then in *abortCode, and the run not recorded), the plug-in was shut
// down under it or a break arrived.
static SeriesEnd RunTrials(Series& s, int* abortCode) {
    SeriesEnd end;
    g_state.trialRun = 0;
    for (uint32_t i = 0; i < s.totalRuns;) {
        if (SeriesCutShort(s, &end)) return end;
        PrepareRun(s, i + 1, false);
        // Nothing but the command between the two readings.
        const uint64_t before = ReadCounter();
        const int exitCode = Command(s.workBuffer, 0);
        const uint64_t after = ReadCounter();
        if (!RunReturned(s, exitCode, &end, abortCode)) return end;
        s.latestTicks = after;
        RecordRun(s, i, after - before, exitCode);
        ++i;
        // Set again after every run: a KV inside the command, or a reset,
        // may have changed it meanwhile.
        g_state.trialRun = static_cast<int32_t>(i);
    }
    return SeriesEnd::Completed;
}

static void PlayCompletionSound(const TrialSettings& t) {
    if (!t.playSound) return;
    // Asynchronous: the call returns at once and its result does not matter.
    if (t.soundFile[0])
        g_sys.playSoundW(t.soundFile, nullptr, SND_FILENAME | SND_ASYNC);
    else
        g_sys.playSoundW(reinterpret_cast<LPCWSTR>(static_cast<uintptr_t>(SND_ALIAS_SYSTEMASTERISK)), nullptr,
                         SND_ALIAS_ID | SND_ASYNC);
}

// kv's end before it held a series: help, an option error, no memory. The
// start hold gives back kv's reference to the DLL.
static int EndCommand(Series& s, int result) {
    g_state.trialRun = s.outerRun;
    if (s.hold) EndSeries(s.hold);
    StopWatchingBreaksIfIdle();
    ReleaseDll(s.dll);
    return result;
}

// Output to nul, keep-awake and title, as asked. Not for a series the plug-in
// was shut down under while kv started: its runs end before the first.
static void SetUpSeries(Series& s) {
    if (s.hold->shutDown) return;
    if (s.settings.bitBucket) RedirectToNul(s.hold);
    if (s.settings.jiggle) StartKeepAwake(s.hold);
    if (s.settings.titleBar) SuspendTitle(s.hold);
}

int kv(wchar_t* arguments) {
    if (!arguments) return ERROR_INVALID_PARAMETER;
    Series s{};
    // Held until kv's last call into the host, which may unload the plug-in
    // inside any of them; the start hold, then the series hold own it, so
    // that it is given back even if the host leaves kv.
    s.dll = HoldDll();
    // What series the host broke off left behind goes first, so their
    // redirection, timer and title state cannot leak into this one.
    SeriesFrame call;
    // The host runs the line that called kv, so it is not breaking.
    NoteHostNotBreaking();
    ReleaseDeadSeriesAtStart(&s.hold, &s.dll, &call);
    // Every other series still listed is live: this KV runs inside its command.
    s.outerRun = (s.hold ? s.hold->outer : g_state.liveSeries) ? g_state.trialRun : -1;
    WatchForBreaks();
    s.breaksAtStart = g_state.breaksNoted;
    SetDefaultTrialSettings(&s.settings);
    s.hostWindow = FindHostWindow();
    s.startTicks = s.latestTicks = s.etaStartTicks = ReadCounter();
    g_state.trialRun = -1;

    SplitArgs(arguments);
    const int parsed = ParseTrialOptions(&s.settings);
    if (parsed != kParseProceed) return EndCommand(s, parsed);
    if (s.settings.compare) s.previous = g_state.kept;
    CompleteDropCounts(&s.settings);
    s.requestedRuns = s.settings.runCount;
    PickHighlight(s.settings.noHighlight);
    s.normalAttr = g_state.normalAttr;
    s.highlightAttr = g_state.highlightAttr;
    s.totalRuns = s.settings.runCount + s.settings.nDropSlowest + s.settings.nDropFastest;
    if (!AllocateSeries(s, call)) {
        PrintErrorPrefix();
        Qprintf(GetStdHandle(STD_ERROR_HANDLE), L"Error allocating data array\r\n");
        return EndCommand(s, 2);
    }

    SetUpSeries(s);
    int abortCode = 0;
    SeriesEnd end = RunWarmUps(s, &abortCode);
    if (end == SeriesEnd::Completed) end = RunTrials(s, &abortCode);
    // Shut down under the run: everything else the series held has been
    // given back already, and the host may be using the plug-in anew. The
    // run is over, so the host holds no copy of the nul device any more.
    if (end == SeriesEnd::ShutDown) {
        RestoreStdHandles(s.hold);
        EndSeries(s.hold);
        return 1;
    }
    g_state.trialRun = -1;
    if (end == SeriesEnd::Broken) {
        EndBrokenSeries(s.hold);
        return kBreakExitCode;
    }
    RestoreStdHandles(s.hold);
    if (end == SeriesEnd::Completed) {
        const SeriesFigures figures = ReportTrials(s.hold->records, s.hold->sorted, s.totalRuns, s.requestedRuns,
                                                   s.errorCount, s.allFastest, s.allSlowest, s.settings, s.startTicks,
                                                   s.hostWindow, s.settings.compare ? &s.previous : nullptr);
        KeepSeriesResult(figures, s.commandText);
        PlayCompletionSound(s.settings);
    } else {
        Printf(L"   *  User Abort:  rv = %d\r\n", abortCode);
    }
    EndSeries(s.hold);
    g_state.trialRun = s.outerRun;
    return end == SeriesEnd::Completed ? 0 : 3;
}
