// Start-up probes and the two small routines every other part of the plug-in
// shares: the error prefix and the reset of what a broken-off series left.
#pragma once
#include <windows.h>
#include <cstdint>
#include "frame/host_api.h"
#include "frame/plugin_state.h"

// Writes "Kelvane plugin: " (and, inside a batch file, its name and line) to
// standard error, without a line end. Returns 0.
int PrintErrorPrefix();
// Gives back what broken-off series hold (standard handles, nul device,
// memory, keep-awake, title updating); then, unless a series is still
// running, the keep-awake and title updating left over and the run number.
// Returns 0.
int ResetTrialState();
// Fills g_state.osVersion; 1 when a version was obtained.
int QueryOsVersion();
// The host's major version from "%_4ver"; 0 when it does not start with a digit.
uint32_t QueryHostVersion();
// TakeCommandIPC in the given TakeCmd.dll: under its decorated name, else its
// plain one; null when the module exports neither (or is null).
TakeCommandIpcFn LookUpTakeCommandIPC(HMODULE takeCmd);
// True when the console window is a pseudo-console window.
BOOL DetectPseudoConsole();

// The host's exit code for a command broken off by Ctrl+C; kv returns it for
// a series a break ended, and Command returns it for a line it broke off or
// refused while a break was pending.
constexpr int kBreakExitCode = 3;
// True when a Ctrl+C or Ctrl+Break arrived since the count was taken.
inline bool BreakNotedSince(LONG breaks) { return g_state.breaksNoted != breaks; }
// The host is at its prompt, or runs a line that calls the plug-in: it is
// done with every break noted so far.
inline void NoteHostNotBreaking() { g_state.breaksOver = g_state.breaksNoted; }
// A break was noted that the host may still be acting on: until it is back at
// its prompt it refuses every line (Command returns 3 without running it) and
// may break off whatever else the plug-in asks of it.
inline bool BreakPending() { return BreakNotedSince(g_state.breaksOver); }
