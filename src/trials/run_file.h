// The file /X writes every run of a series to, as CSV or, for a name ending
// in ".json", as JSON: created before anything of the series is set up,
// written once when the series is over.
#pragma once
#include <windows.h>
#include <cstdint>
#include "trials/trial_report.h"

struct RunFile {
    HANDLE handle;  // null without /X
    bool json;
};

// Creates the named file, or empties it; a relative name is relative to the
// current directory. No name: nothing to do. When the file cannot be made,
// the error message is written and the result is false.
bool CreateRunFile(const wchar_t* name, RunFile* file);

// A series as the file shows it. An interrupted series (/U, Ctrl+C) marks
// every run "made" and has no figures; a finished one takes its figures from
// the _KV variables, which it has just set.
struct RunFileSeries {
    const wchar_t* command;
    const RunRecord* records;  // run order
    uint32_t madeRuns;
    uint32_t requestedRuns;
    bool interrupted;
};

// Writes the whole file, when there is one, with Windows file calls only.
// A failed write is reported through the host only when mayCallHost (not
// while a break is pending). The handle stays open for its owner to close.
void KeepRunFile(const RunFile& file, const RunFileSeries& series, bool mayCallHost);
