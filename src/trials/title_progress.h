// Run number and estimated time left in the console title while a series
// runs, with the host's own title updating switched off meanwhile.
#pragma once
#include <cstdint>

// Reads and switches off the host option UpdateTitle; returns the saved state (1 off, 2 on).
uint32_t SuspendTitleUpdates();
// Gives the host its title updating back and blanks the title; returns the
// restored state, or 0 when nothing was saved or the host, breaking, did not
// run the command (the state then stays saved for the next reset).
uint32_t RestoreTitleUpdates();
// Sets the title for the run g_state.trialRun of totalRuns, with an estimate
// from the ticks elapsed since the command started. Returns 0.
int SetProgressTitle(uint32_t totalRuns, uint64_t elapsedTicks);
// The title of an untimed warm-up run: "Warm-up #run of runs: ", no estimate.
void SetWarmUpTitle(uint32_t run, uint32_t runs);
// How many titles this file has written so far: a series that sees the count
// changed since its own last title knows someone else (a KV inside its
// command) wrote one over it.
uint32_t TitleWrites();
// The estimate text, rounded to the nearest second, in a static buffer.
const wchar_t* FormatEta(uint64_t ticks);
