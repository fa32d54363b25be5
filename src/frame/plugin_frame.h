// Start-up probes and the two small routines every other part of the plug-in
// shares: the error prefix and the reset of what a broken-off series left.
#pragma once
#include <windows.h>
#include <cstdint>
#include "frame/host_api.h"

// Writes "Kelvane plugin: " (and, inside a batch file, its name and line) to
// standard error, without a line end. Returns 0.
int PrintErrorPrefix();
// Gives back what broken-off series hold (standard handles, nul device,
// memory), stops the keep-awake timer, gives the host its title updating back
// and clears the run number. Returns 0.
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
