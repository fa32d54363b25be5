// The console's surroundings: the highlight colour, the window that shows this
// console, bringing it to the front and keeping the machine awake.
#pragma once
#include <windows.h>
#include <cstdint>

// Sets g_state.normalAttr and highlightAttr; returns the highlight, 0 for none.
uint8_t PickHighlight(int noHighlight);
// NO_COLOR is set and non-empty and the Highlight environment variable is not.
bool NoColorRequested();

// The top-level window that shows this console, or null.
HWND FindHostWindow();
// Rebuilds g_state.ancestorPids for the process (0 = this one); returns its length,
// 0 when none could be built, -1 when the id is 0 and this process reads as 0.
int BuildAncestorList(DWORD processId);

// Brings the window to the front, unless it is there already and not
// minimised; -1 for a null window, else 0.
int GrabFocus(HWND window);
// Keep-awake timer callback: a zero-distance mouse move.
void CALLBACK JiggleMouse(HWND window, UINT message, UINT_PTR timerId, DWORD time);
constexpr UINT kJiggleIntervalMs = 29000;
// Holds the system and display awake through the thread's execution state,
// which needs no message dispatching: the keep-awake timer fires only while
// the host dispatches messages, and a host waiting for a long program may
// not. Returns the hold's number (also in g_state.awakeHold), 0 when the
// system refused it.
uint32_t HoldSystemAwake();
// Gives the hold back, if there is one.
void ReleaseSystemAwake();
