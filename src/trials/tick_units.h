// Durations stay performance-counter ticks until they are printed; this turns
// them into whole milliseconds, microseconds or nanoseconds.
#pragma once
#include <cstdint>
#include "frame/plugin_state.h"

// ticks × unitsPerSecond / perfFrequency, truncated. Split into whole seconds
// and the remainder so the product cannot overflow however long the series
// ran; the result is the same as the plain formula wherever that one fits.
// The remainder's product is taken in 128 bits where a counter frequency is
// so high that it could wrap in 64.
inline uint64_t TicksToUnits(uint64_t ticks, uint64_t unitsPerSecond) {
    const uint64_t f = g_state.perfFrequency;
    const uint64_t part = ticks % f;
    const uint64_t fraction = f <= UINT64_MAX / unitsPerSecond
                                  ? part * unitsPerSecond / f
                                  : static_cast<uint64_t>(static_cast<unsigned __int128>(part) * unitsPerSecond / f);
    return ticks / f * unitsPerSecond + fraction;
}
inline uint64_t TicksToMilliseconds(uint64_t ticks) { return TicksToUnits(ticks, 1000u); }
inline uint64_t TicksToMicroseconds(uint64_t ticks) { return TicksToUnits(ticks, 1000000u); }
