// Benchmark of KV under the stand-in host, in this process with the program
// itself attached as the plug-in: the measurement floor, the plug-in's own
// cost per run (and what looking for a Ctrl+C adds to it), the report's
// time after a million runs, the memory of such a series, and the cost of
// the call-chain walk each kv makes when it starts. From the build directory:
//   ../cmake/wine-run.sh bin/kv_bench.exe
// Prints its figures; takes about half a minute.
#include <windows.h>
#include <psapi.h>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>
#include "console/console_env.h"
#include "frame/host_api.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "trials/series_hold.h"

namespace {

// Every counter reading of one KV command, in order: its start, then before
// and after each run, then the report's wall-time reading. Preallocated, so
// recording costs a store.
uint64_t* s_readings;
size_t s_readingCount, s_readingCapacity;

BOOL WINAPI RecordingCounter(LARGE_INTEGER* count) {
    const BOOL ok = QueryPerformanceCounter(count);
    if (s_readingCount < s_readingCapacity) s_readings[s_readingCount] = static_cast<uint64_t>(count->QuadPart);
    ++s_readingCount;
    return ok;
}

// Only the last two readings, for the series whose memory is measured.
uint64_t s_lastReadings[2];

BOOL WINAPI LastTwoCounter(LARGE_INTEGER* count) {
    const BOOL ok = QueryPerformanceCounter(count);
    s_lastReadings[0] = s_lastReadings[1];
    s_lastReadings[1] = static_cast<uint64_t>(count->QuadPart);
    return ok;
}

uint64_t Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart);
}

double s_ticksPerSecond;
double Microseconds(double ticks) { return ticks * 1e6 / s_ticksPerSecond; }
double Milliseconds(double ticks) { return ticks * 1e3 / s_ticksPerSecond; }
double MiB(SIZE_T bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// One command line through the host, as typed, with standard output on nul
// so the report's lines cost what they cost but do not flood the terminal.
int RunQuietly(const std::wstring& line) {
    HANDLE nul = CreateFileW(L"nul", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, nul);
    std::wstring buffer = line;
    buffer.resize(32768, L'\0');
    const int result = Command(buffer.data(), 0);
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    CloseHandle(nul);
    return result;
}

struct Series {
    std::vector<uint64_t> elapsed;  // per run, ticks
    double overheadTicks;           // per run, outside the measured intervals
};

// Runs "kv options rem" with every counter reading recorded.
Series RecordSeries(const std::wstring& options, uint32_t runs) {
    std::vector<uint64_t> readings(2 * static_cast<size_t>(runs) + 2);
    s_readings = readings.data();
    s_readingCapacity = readings.size();
    s_readingCount = 0;
    g_sys.queryPerformanceCounter = RecordingCounter;
    const int result = RunQuietly(L"kv /N:" + std::to_wstring(runs) + L" " + options + L" rem");
    ResetSysCalls();
    Series s{};
    if (result != 0 || s_readingCount != readings.size()) {
        std::printf("  kv %ls gave %d after %zu counter readings\n", options.c_str(), result, s_readingCount);
        return s;
    }
    uint64_t measured = 0;
    for (uint32_t i = 0; i < runs; ++i) {
        s.elapsed.push_back(readings[2 + 2 * i] - readings[1 + 2 * i]);
        measured += s.elapsed.back();
    }
    // From the first run's start to the last run's end, less the runs themselves:
    // what the loop spends between two runs.
    const uint64_t wall = readings[2 * runs] - readings[1];
    s.overheadTicks = runs > 1 ? static_cast<double>(wall - measured) / (runs - 1) : 0;
    return s;
}

void PrintFloor(uint32_t runs) {
    Series s = RecordSeries(L"/Q /O:FJTR", runs);
    if (s.elapsed.empty()) return;
    std::sort(s.elapsed.begin(), s.elapsed.end());
    const size_t n = s.elapsed.size();
    const double median = n % 2 ? s.elapsed[n / 2] : (s.elapsed[n / 2 - 1] + s.elapsed[n / 2]) / 2.0;
    std::printf("1. Measurement floor, \"rem\" x %u:\n", runs);
    std::printf("   median %.3f us, minimum %.3f us, 99th percentile %.3f us (target: median <= 2 us)\n",
                Microseconds(median), Microseconds(static_cast<double>(s.elapsed.front())),
                Microseconds(static_cast<double>(s.elapsed[n * 99 / 100])));
}

void PrintOverhead(const std::wstring& options, const char* label, uint32_t runs) {
    Series s = RecordSeries(options, runs);
    if (s.elapsed.empty()) return;
    std::printf("   %-28s %8.3f us per run (%u runs)\n", label, Microseconds(s.overheadTicks), runs);
}

// A million runs: the time from the end of the last run to the end of the
// report, and the memory the series takes above the idle host.
void PrintMillionRuns() {
    PROCESS_MEMORY_COUNTERS idle{}, after{};
    idle.cb = after.cb = sizeof idle;
    GetProcessMemoryInfo(GetCurrentProcess(), &idle, sizeof idle);
    g_sys.queryPerformanceCounter = LastTwoCounter;
    const int result = RunQuietly(L"kv /N:1000000 /Q /O:FJTR rem");
    const uint64_t end = Now();
    ResetSysCalls();
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    if (result != 0) {
        std::printf("   kv gave %d\n", result);
        return;
    }
    // The last reading is the report's wall time; the one before it ended the last run.
    std::printf("3. Last run to end of report, 1,000,000 runs with /O:R: %.1f ms (target <= 150 ms)\n",
                Milliseconds(static_cast<double>(end - s_lastReadings[0])));
    std::printf("   of which sorting, drop marking, sums and median up to the wall-time reading: %.1f ms\n",
                Milliseconds(static_cast<double>(s_lastReadings[1] - s_lastReadings[0])));
    // The peak working set; Wine's private-bytes counters leave the heap out.
    std::printf("4. Peak memory of the 1,000,000-run series above the idle host: %.1f MiB (target <= 64 MiB)\n",
                MiB(after.PeakWorkingSetSize - idle.WorkingSetSize));
}

// The walk kv makes when it starts, from depth frames below the caller: it
// unwinds every frame up to the thread's start, so its cost grows with the
// depth the host calls kv from.
__attribute__((noinline)) double WalkTicks(int depth, int calls) {
    if (depth > 0) {
        volatile double ticks = WalkTicks(depth - 1, calls);
        return ticks;
    }
    SeriesHold* slot = nullptr;
    HMODULE noReference = nullptr;
    SeriesFrame frame{};
    const uint64_t start = Now();
    for (int i = 0; i < calls; ++i) ReleaseDeadSeriesAtStart(&slot, &noReference, &frame);
    return static_cast<double>(Now() - start) / calls;
}

void PrintWalk() {
    std::printf("5. Call-chain walk at kv start:\n");
    for (int depth : {0, 20, 100})
        std::printf("   %3d frames deeper than main: %8.3f us per walk\n", depth,
                    Microseconds(WalkTicks(depth, 10000)));
    const int commands = 2000;
    const uint64_t start = Now();
    for (int i = 0; i < commands; ++i) RunQuietly(L"kv /N:1 /Q /O:FJTR rem");
    std::printf("   a whole \"kv /N:1 /Q /O:FJTR rem\" through the host, walk included: %.3f us\n",
                Microseconds(static_cast<double>(Now() - start) / commands));
}

// What looking for a Ctrl+C adds to each run: the loop reads the break
// count before the run and after its Command, timed over ten million runs'
// worth (the count is volatile, so every read is made).
void PrintBreakCheck() {
    constexpr uint32_t kRuns = 10000000;
    const LONG atStart = g_state.breaksNoted;
    uint32_t seen = 0;
    const uint64_t begin = Now();
    for (uint32_t i = 0; i < kRuns; ++i) seen += BreakNotedSince(atStart) + BreakNotedSince(atStart);
    const uint64_t ticks = Now() - begin;
    std::printf("   %-28s %8.4f us per run (%u runs, %u breaks seen)\n", "  of which the break checks:",
                Microseconds(static_cast<double>(ticks)) / kRuns, kRuns, seen);
}

}  // namespace

int main() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    s_ticksPerSecond = static_cast<double>(frequency.QuadPart);
    if (HostAttachPlugin(GetModuleHandleW(nullptr), 1) != 0) {
        std::printf("The stand-in host did not take this program as a plug-in.\n");
        return 1;
    }
    std::printf("KV benchmark, stand-in host in process, counter %.0f Hz\n", s_ticksPerSecond);
    // First, while nothing larger than the host has been allocated yet.
    PrintMillionRuns();
    PrintFloor(100000);
    std::printf("2. Plug-in cost per run outside the measured interval (target <= 1 us with /Q /O:FJT):\n");
    PrintOverhead(L"/Q /O:FJTR", "/Q /O:FJT (recap off too):", 100000);
    PrintBreakCheck();
    PrintOverhead(L"", "defaults:", 2000);
    // Where the defaults' cost lies, one feature at a time.
    PrintOverhead(L"/O:FJT", "  run header only:", 2000);
    PrintOverhead(L"/Q /O:FJ", "  title only:", 2000);
    PrintOverhead(L"/Q /O:JT", FindHostWindow() ? "  focus only:" : "  focus only (no host window):", 2000);
    PrintWalk();
    HostUnloadPlugins();
    return 0;
}
