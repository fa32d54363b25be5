// Durations stay performance-counter ticks until they are printed; this turns
// them into whole milliseconds.
#pragma once
#include <cstdint>
#include "frame/plugin_state.h"

// ticks × 1000 / perfFrequency, truncated. Split into whole seconds and the
// remainder so the product cannot overflow 64 bits however long the series
// ran; the result is the same as the plain formula wherever that one fits.
inline uint64_t TicksToMilliseconds(uint64_t ticks) {
    const uint64_t f = g_state.perfFrequency;
    return ticks / f * 1000u + ticks % f * 1000u / f;
}
