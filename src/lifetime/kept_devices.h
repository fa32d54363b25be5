// The nul device of a /B series: standard output and errors sent there, put
// back, and kept open after the series is gone while the host may still
// hold a copy of it.
#pragma once
#include <windows.h>

struct SeriesHold;

void RedirectToNul(SeriesHold* hold);
// kv's own end: the runs' lines are over, so the host holds no copy of the
// nul device's handle any more, and it is closed.
void RestoreStdHandles(SeriesHold* hold);

// For the release of a dead series: puts back the standard handles that are
// still its device and keeps the device open (closing the oldest kept one
// past the limit).
void KeepStdHandles(SeriesHold* hold);
// A live series' device, put back where it is still a standard handle, but
// left open: shut-down, while the host may still use it.
void PutBackStdHandles(const SeriesHold* hold);
// Wherever a standard handle is a kept device again, the handle it replaced.
void PutBackKeptDevices();
// Shut-down: every kept device, after putting its handles back.
void CloseKeptDevices();
