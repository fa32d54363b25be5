// The process-wide plug-in state and the table of system calls that tests
// can make fail.
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include <mmsystem.h>
#include <cstdlib>

PluginState g_state = [] {
    PluginState s{};
    s.trialRun = -1;
    return s;
}();

void ResetPluginStateForTest() {
    g_state = PluginState{};
    g_state.trialRun = -1;
}

static void* AllocateFromHeap(size_t bytes) { return std::malloc(bytes); }

static const SysCalls kRealSysCalls = {QueryPerformanceFrequency, QueryPerformanceCounter, CreateFileW,
                                       AllocateFromHeap,          PlaySoundW,              SetTimer,
                                       SetThreadExecutionState};

SysCalls g_sys = kRealSysCalls;

void ResetSysCalls() { g_sys = kRealSysCalls; }
