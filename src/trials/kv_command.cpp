// The KV command: parses its options, runs the command line the asked number
// of times, each run timed by two counter readings around the host's Command
// call, and hands the records to the report. Owns the buffers of one series;
// sets trialRun, and has the series hold its redirection, keep-awake and title.
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <windows.h>
#include <mmsystem.h>
#include "trials/kept_result.h"
#include "trials/kv_series.h"
#include "trials/run_file.h"
#include "trials/title_progress.h"
#include "trials/trial_report.h"
#include "lifetime/break_watch.h"
#include "lifetime/dll_reference.h"
#include "lifetime/kept_devices.h"
#include "lifetime/series_hold.h"
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
    const size_t recordBytes = sizeof(RunRecord) * (s.totalRuns ? s.totalRuns : 1u);
    SeriesHold* hold = HoldSeries(recordBytes, textChars, call, s.hold, s.dll, s.outerRun);
    if (!hold) return false;
    s.hold = hold;
    s.dll = nullptr;
    s.hold->runFile = s.runFile.handle;
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
        // Recorded even when the series ends with it: the run file keeps
        // every run made, the aborting one too.
        RecordRun(s, i, after - before, exitCode);
        s.madeRuns = i + 1;
        if (!RunReturned(s, exitCode, &end, abortCode)) return end;
        s.latestTicks = after;
        ++i;
        // Set again after every run: a KV inside the command, or a reset,
        // may have changed it meanwhile.
        g_state.trialRun = static_cast<int32_t>(i);
    }
    return SeriesEnd::Completed;
}

// Interrupted series mark their runs made; after a break or shut-down the
// host is not called, not even for a failed write.
static void KeepRuns(const Series& s, SeriesEnd end) {
    const RunFileSeries runs{s.commandText, s.hold->records, s.madeRuns, s.requestedRuns, end != SeriesEnd::Completed};
    KeepRunFile(s.runFile, runs, end == SeriesEnd::Completed || end == SeriesEnd::UserAbort);
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
    if (s.hold)
        EndSeries(s.hold);
    else if (s.runFile.handle)
        CloseHandle(s.runFile.handle);
    StopWatchingBreaksIfIdle();
    ReleaseDll(s.dll);
    return result;
}

// Output to nul, keep-awake and title, as asked. Not for a series the plug-in
// was shut down under while kv started: its runs end before the first.
static void SetUpSeries(Series& s) {
    if (s.hold->shutDown) return;
    if (s.settings.bitBucket) RedirectToNul(s.hold);
    if (s.settings.jiggle) StartKeepAwake(&s.hold->awake);
    if (s.settings.titleBar && TakeTitleUpdating(s.hold)) SuspendTitleUpdates();
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
    s.outerRun = ReleaseDeadSeriesAtStart(&s.hold, &s.dll, &call);
    WatchForBreaks();
    s.breaksAtStart = g_state.breaksNoted;
    SetDefaultTrialSettings(&s.settings);
    s.hostWindow = FindHostWindow();
    s.startTicks = s.latestTicks = s.etaStartTicks = ReadCounter();
    g_state.trialRun = -1;

    SplitArgs(arguments);
    const int parsed = ParseTrialOptions(&s.settings);
    if (parsed != kParseProceed) return EndCommand(s, parsed);
    if (!CreateRunFile(s.settings.runFileName, &s.runFile)) return EndCommand(s, 1);
    if (s.hold) s.hold->runFile = s.runFile.handle;
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
        KeepRuns(s, end);
        RestoreStdHandles(s.hold);
        EndSeries(s.hold);
        return 1;
    }
    g_state.trialRun = -1;
    if (end == SeriesEnd::Broken) {
        KeepRuns(s, end);
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
    KeepRuns(s, end);
    EndSeries(s.hold);
    g_state.trialRun = s.outerRun;
    return end == SeriesEnd::Completed ? 0 : 3;
}
