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
// What one series took to keep the machine awake: the keep-awake timer
// (g_state.jiggleTimer) and the hold on the thread's execution state
// (g_state.awakeHold), each 0 when it did not take it.
struct KeepAwake {
    UINT_PTR timer;
    uint32_t hold;
};
// Takes the timer and the hold, each unless one is in force already: a KV
// run as the timed command of another finds the outer's, which serve both.
void StartKeepAwake(KeepAwake* own);
// Gives back what own took, as far as it is still what is in force.
void StopKeepAwake(KeepAwake* own);
// Gives back whatever is in force that kept did not take.
void StopKeepAwakeOtherThan(const KeepAwake& kept);
