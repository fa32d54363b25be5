// The settings of one KV command and the parser that fills them from the
// split argument list.
#pragma once
#include <cstdint>
#include "cmdline/number_parser.h"

constexpr uint32_t kMaxRuns = 1000000;   // largest /N value
constexpr uint32_t kMaxDrops = 1000;     // largest drop count at either end
constexpr uint32_t kMaxWarmUpRuns = 1000000;  // largest /W value
constexpr int kSoundFileChars = 256;     // soundFile holds at most 255 characters

struct TrialSettings {
    uint32_t runCount;        // counted runs asked for (/N), default 10
    uint32_t nDropSlowest;    // slowest runs dropped (/D)
    uint32_t nDropFastest;    // fastest runs dropped (/D)
    bool dropTenPercent;      // /DD: both drop counts become runCount / 10, 1 to 1000
    bool bitBucket;           // /B, /QQ: output and errors to nul during the runs
    bool quiet;               // /Q, /QQ: no run header
    bool showHours;           // /H
    bool milliseconds;        // /M
    bool excludeErrors;       // /E
    bool recap;               // on; /O:R turns it off
    bool grabFocus;           // on; /O:F turns it off
    bool jiggle;              // on; /O:J turns it off
    bool noHighlight;         // /O:C
    bool titleBar;            // on; /O:T turns it off, /T on
    bool playSound;           // /S
    wchar_t soundFile[kSoundFileChars];  // full path of the .wav file; empty = system sound
    int32_t userAbort;        // /U: exit code that stops the series; 0 = none
    bool precise;             // /P: every time of the report to the microsecond
    bool stdDeviation;        // /V: the standard deviation line
    uint32_t warmUpRuns;      // /W: untimed runs before the series, default 0
    bool compare;             // /C: compare with the result the previous series left
    bool distribution;        // /G: the distribution of the counted runs after the report
    // /X: the file every run is written to, as typed (pointing into the
    // argument list); null without /X.
    const wchar_t* runFileName;
    const wchar_t* command;   // the command text, pointing into the argument list
};

// What ParseTrialOptions returns when the trials should run; any other value
// is the exit value of the KV command (0 after help, 1 after an error).
constexpr int kParseProceed = -1;

void SetDefaultTrialSettings(TrialSettings* settings);
int ParseTrialOptions(TrialSettings* settings);
