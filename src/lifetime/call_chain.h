// The walk of the host thread's call chain with the system's own unwinder:
// which calls are still on it. Owns no state.
#pragma once
#include <windows.h>
#include <cstdint>

// One frame of the chain, as the unwinder reports it.
struct ChainFrame {
    uintptr_t frame;     // establisher frame
    uintptr_t function;  // start of the function, its first part when split
    uintptr_t low, high; // the stack the frame occupies
};

// Walks this thread's call chain from the caller outwards and hands each
// frame to visit. True when the chain was walked to its end; false when a
// frame could not be unwound (code without unwind tables), *reached then
// being the stack address the walk got to: whatever lies beyond it is unknown.
using ChainVisit = void (*)(const ChainFrame& frame, void* context);
bool WalkCallChain(ChainVisit visit, void* context, uintptr_t* reached);

inline bool FrameHolds(const ChainFrame& f, const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    return at >= f.low && at < f.high;
}

// Where a call lies on this thread's call chain: the call's establisher
// frame and its function's start.
struct CallPlace {
    uintptr_t frame;
    uintptr_t function;
};

// One walk of the call chain from the caller outwards: returns the place of
// the call whose frame holds `local`, and tells whether another call is still
// at `earlier` (a place found this way before; all zero for none). The call
// that holds `local` does not count: standing in that place, it proves the
// earlier one gone. Beyond where the walk had to stop, `earlier` counts as
// still there.
CallPlace FindCallPlace(const void* local, const CallPlace& earlier, bool* earlierStillThere);
