// References to this DLL held by whoever calls into the host with no call of
// the host's to return to: the host may unload the plug-in inside that call.
#pragma once
#include <windows.h>

// A reference to this DLL, or null when none could be had. Whoever calls
// into the host while it has no call of the host's to return to (a series
// being started or released) holds one: the host may unload the plug-in
// inside that call.
HMODULE HoldDll();
// Gives a reference back. Out of service (shut down) the host may have given
// back its own, so this one could be the last while code of the DLL is still
// to run: it is then kept until the plug-in is in service and called again.
void ReleaseDll(HMODULE module);
// Drops the references kept that way, when the host holds its own again.
void DropLeftReferences();
