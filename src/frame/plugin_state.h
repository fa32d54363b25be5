// The plug-in's process-wide state: one record, zero at load except trialRun.
// Each field says who sets it and who reads it. Everything runs on the host's
// thread (timer callbacks included), so nothing here is locked.
#pragma once
#include <windows.h>
#include <cstdint>
#include "frame/host_api.h"

constexpr int kMaxArgs = 1024;        // arguments one split can hold
constexpr int MAX_ARG_LEN = 8192;     // characters of the argument buffer
constexpr int kWorkChars = 1024;      // the usual size of a working text buffer

struct SeriesHold;

// With /C: this series' average over the previous one's, and the bounds of
// its 95% interval, in thousandths rounded half up.
struct SeriesRatio {
    bool valid;          // the averages could be compared
    bool haveInterval;   // both series counted two runs or more
    uint64_t thousandths, lowThousandths, highThousandths;
};

// What the report found for a finished series. The times are those of the
// Counted runs, 0 when there is none; the deviation needs two of them.
struct SeriesFigures {
    uint32_t totalRuns, errorCount, countedRuns;
    uint64_t averageTicks, medianTicks, fastestTicks, slowestTicks, totalTicks;  // cut off to whole ticks
    double stdDeviation;            // sample standard deviation in ticks, unrounded
    uint64_t stdDeviationWholeTicks = 0;  // the same, cut off exactly
    unsigned __int128 sumTicks = 0;       // exact sum of the counted runs' ticks
    SeriesRatio ratio = {};               // filled in by /C's comparison only
};

// The result the latest series that wrote its report leaves behind.
constexpr int kKeptCommandChars = 60;  // longer commands are cut there and "..." follows
struct KeptResult {
    bool valid;  // a series has written its report since start-up
    SeriesFigures figures;
    wchar_t command[kKeptCommandChars + 4];
};

// g_state.trialRun while an untimed warm-up run is in progress: _TRIALRUN reads 0.
constexpr int32_t kWarmUpRun = -2;

struct PluginState {
    // Counter ticks per second. Set by InitializePlugin; read by the report and the title.
    uint64_t perfFrequency;
    // Operating system version (size field 284). Set by QueryOsVersion; window discovery reads dwMajorVersion.
    OSVERSIONINFOEXW osVersion;
    // Host's major version. Set by QueryHostVersion; read by the key hook.
    uint32_t hostMajor;
    // The host's TakeCommandIPC, null when its TakeCmd.dll exports it under neither
    // name. Set by InitializePlugin, cleared by ShutdownPlugin; read by FindHostWindow.
    TakeCommandIpcFn takeCommandIpc;
    // The console window is a pseudo-console window. Set by DetectPseudoConsole; read by ShowHelpText.
    BOOL pseudoConsole;
    // Console output device or null. Opened by InitializePlugin, closed by ShutdownPlugin;
    // written by run headers, help and the Take Command search.
    HANDLE conOut;
    // -1 idle, kWarmUpRun during a warm-up run, else the 0-based index of the
    // current run. Set by kv, ResetTrialState, ShutdownPlugin; read by
    // _trialrun, kv and the title.
    int32_t trialRun;
    // 0 nothing saved, 1 host title updating was off, 2 it was on. Set by the title
    // code; read by ResetTrialState, ShutdownPlugin and kv.
    uint32_t titleSaved;
    // Keep-awake thread timer, 0 = none. Set by the keep-awake for a series;
    // cleared by it, ResetTrialState and ShutdownPlugin.
    UINT_PTR jiggleTimer;
    // Number of the hold that keeps the system and display awake while a series
    // runs, 0 = none. Taken by the keep-awake with its timer; given back
    // wherever that timer is stopped: at a series' end, ResetTrialState and
    // ShutdownPlugin.
    uint32_t awakeHold;
    // The KV series that have not given back what they hold, innermost first.
    // Linked by kv before its first run and unlinked when it ends; one whose kv
    // the host left is released by the next kv, the keystroke hook's reset,
    // ShutdownPlugin or InitializePlugin, or by the series around it once its
    // run returns.
    SeriesHold* liveSeries;
    // Ctrl+C and Ctrl+Break events seen since load. Counted by the plug-in's
    // console control handler, on the thread the console runs it on; read by
    // kv, which ends its series when the count moved since it started.
    volatile LONG breaksNoted;
    // breaksNoted when the host was last known not to be breaking: at its
    // prompt (the keystroke hook's reset) or running a line that called kv,
    // start-up or shut-down. Set by those; read by the title restore.
    LONG breaksOver;
    // That handler is registered. Set by kv when it starts and by the title
    // restore around its host command; cleared once no series is left and by
    // ShutdownPlugin.
    bool breakWatch;
    // The host holds its own reference to the DLL: set by InitializePlugin,
    // cleared at the end of ShutdownPlugin. Read when the plug-in gives back
    // a reference of its own, which could otherwise be the last one.
    bool inService;
    // The latest finished series. Replaced by kv whenever it writes its report,
    // cleared by ShutdownPlugin; read by the _KV variables and by KV /C.
    KeptResult kept;
    // Console attributes; highlightAttr 0 = no highlight. Set by PickHighlight; read by kv and the report.
    uint8_t normalAttr;
    uint8_t highlightAttr;
    // The argument list of the latest KV command. Set by SplitArgs; read by the option parser and kv.
    int32_t argCount;
    wchar_t* argv[kMaxArgs];
    int32_t argLen[kMaxArgs];
    wchar_t argBuf[MAX_ARG_LEN];
    // Process ids from this process upwards. Built by BuildAncestorList; freed by ShutdownPlugin.
    DWORD* ancestorPids;
    uint32_t ancestorCount;
    // Window cache of FindHostWindow and the timer that expires it. Set by window
    // discovery; cleared by InitializePlugin and ShutdownPlugin.
    BOOL windowCacheValid;
    HWND cachedWindow;
    UINT_PTR windowCacheTimer;
};

extern PluginState g_state;

// Puts every field back to its load-time value (trialRun -1, the rest zero)
// without releasing anything; for tests that need a freshly loaded plug-in.
void ResetPluginStateForTest();
