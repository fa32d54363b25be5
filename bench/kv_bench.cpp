// Benchmark of KV under the stand-in host, in this process with the program
// itself attached as the plug-in: the measurement floor, the plug-in's own
// cost per run (and what looking for a Ctrl+C adds to it), the report's
// time after a million runs (plain, with /P /V and with /C /V), the memory
// of such a series, the cost of the call-chain walk each kv makes when it
// starts, and the focus change per run with the console window on another
// thread and the title per run, each the former way beside the current one,
// and the run file of /X after a million runs beside the same series without
// it. From the build directory:
//   ../cmake/wine-run.sh bin/kv_bench.exe
// Prints its figures; takes about half a minute.
#include <windows.h>
#include <psapi.h>
#include <algorithm>
#include <cwchar>
#include <cstdio>
#include <string>
#include <vector>
#include "console/console_env.h"
#include "console/focus_calls.h"
#include "frame/host_api.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_state.h"
#include "frame/sys_calls.h"
#include "host_control.h"
#include "lifetime/series_hold.h"
#include "trials/title_progress.h"

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

// Runs "kv options command" with every counter reading recorded by counter
// (which passes them to RecordingCounter); warmUps is the /W count among the
// options (each warm-up run reads the counter once).
Series RecordSeries(const std::wstring& options, uint32_t runs, uint32_t warmUps = 0, const wchar_t* command = L"rem",
                    BOOL(WINAPI* counter)(LARGE_INTEGER*) = RecordingCounter) {
    std::vector<uint64_t> readings(2 * static_cast<size_t>(runs) + 2 + warmUps);
    s_readings = readings.data();
    s_readingCapacity = readings.size();
    s_readingCount = 0;
    g_sys.queryPerformanceCounter = counter;
    const int result = RunQuietly(L"kv /N:" + std::to_wstring(runs) + L" " + options + L" " + command);
    ResetSysCalls();
    Series s{};
    if (result != 0 || s_readingCount != readings.size()) {
        std::printf("  kv %ls gave %d after %zu counter readings\n", options.c_str(), result, s_readingCount);
        return s;
    }
    const uint64_t* timed = readings.data() + warmUps;
    uint64_t measured = 0;
    for (uint32_t i = 0; i < runs; ++i) {
        s.elapsed.push_back(timed[2 + 2 * i] - timed[1 + 2 * i]);
        measured += s.elapsed.back();
    }
    // From the first run's start to the last run's end, less the runs themselves:
    // what the loop spends between two runs.
    const uint64_t wall = timed[2 * runs] - timed[1];
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

void PrintOverhead(const std::wstring& options, const char* label, uint32_t runs, uint32_t warmUps = 0) {
    Series s = RecordSeries(options, runs, warmUps);
    if (s.elapsed.empty()) return;
    std::printf("   %-28s %8.3f us per run (%u runs)\n", label, Microseconds(s.overheadTicks), runs);
}

// A million runs: the time from the end of the last run to the end of the
// report, and the memory the series takes above the idle host.
struct MillionRuns {
    double reportMs, statisticsMs, peakMiB;
};

MillionRuns MeasureMillionRuns(const std::wstring& options) {
    PROCESS_MEMORY_COUNTERS idle{}, after{};
    idle.cb = after.cb = sizeof idle;
    GetProcessMemoryInfo(GetCurrentProcess(), &idle, sizeof idle);
    g_sys.queryPerformanceCounter = LastTwoCounter;
    const int result = RunQuietly(L"kv /N:1000000 /Q /O:FJTR " + options + L" rem");
    const uint64_t end = Now();
    ResetSysCalls();
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    if (result != 0) std::printf("   kv %ls gave %d\n", options.c_str(), result);
    // The last reading is the report's wall time; the one before it ended the last run.
    return MillionRuns{Milliseconds(static_cast<double>(end - s_lastReadings[0])),
                       Milliseconds(static_cast<double>(s_lastReadings[1] - s_lastReadings[0])),
                       MiB(after.PeakWorkingSetSize - idle.WorkingSetSize)};
}

struct MillionRunSeries {
    MillionRuns plain, precise, compared;
};

// Measured first, while nothing larger than the host has been allocated yet,
// and printed in its place.
MillionRunSeries MeasureMillionRunSeries() {
    return MillionRunSeries{MeasureMillionRuns(L""), MeasureMillionRuns(L"/P /V"), MeasureMillionRuns(L"/C /V")};
}

void PrintMillionRuns(const MillionRunSeries& series) {
    const MillionRuns &plain = series.plain, &precise = series.precise, &compared = series.compared;
    std::printf("3. Last run to end of report, 1,000,000 runs with /O:R (target <= 150 ms):\n");
    std::printf("   plain report %.1f ms, with /P /V %.1f ms, with /C /V %.1f ms\n", plain.reportMs, precise.reportMs,
                compared.reportMs);
    std::printf("   of which sorting, drop marking, sums, median and deviation up to the wall-time reading:"
                " %.1f ms, %.1f ms, %.1f ms\n",
                plain.statisticsMs, precise.statisticsMs, compared.statisticsMs);
    // The peak working set; Wine's private-bytes counters leave the heap out.
    std::printf("4. Peak memory of the 1,000,000-run series above the idle host: %.1f MiB (target <= 64 MiB)\n",
                plain.peakMiB);
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

// GrabFocus as it was before it left a window in front alone and before it
// stopped asking for a broadcast with the foreground lock timeout, kept here
// to measure against: the whole sequence on every call.
void FormerGrabFocus(HWND window) {
    DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    DWORD currentThread = GetCurrentThreadId();
    ANIMATIONINFO savedAnimation{sizeof(ANIMATIONINFO), 0};
    bool haveAnimation = g_systemParameters(SPI_GETANIMATION, sizeof savedAnimation, &savedAnimation, 0) != 0;
    ANIMATIONINFO noAnimation{sizeof(ANIMATIONINFO), 0};
    if (haveAnimation) g_systemParameters(SPI_SETANIMATION, sizeof noAnimation, &noAnimation, 0);
    DWORD savedLockTimeout = 0;
    bool haveLockTimeout = g_systemParameters(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &savedLockTimeout, 0) != 0;
    int show = IsZoomed(window) ? SW_MAXIMIZE : SW_RESTORE;
    if (foregroundThread == currentThread) {
        BringWindowToTop(window);
        ShowWindow(window, show);
        SetForegroundWindow(window);
    } else {
        AttachThreadInput(foregroundThread, currentThread, TRUE);
        if (haveLockTimeout) g_systemParameters(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, nullptr, SPIF_SENDCHANGE);
        AllowSetForegroundWindow(GetCurrentProcessId());
        BringWindowToTop(window);
        ShowWindow(window, show);
        SetForegroundWindow(window);
        if (haveLockTimeout)
            g_systemParameters(SPI_SETFOREGROUNDLOCKTIMEOUT, 0,
                               reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(savedLockTimeout)), SPIF_SENDCHANGE);
        AttachThreadInput(foregroundThread, currentThread, FALSE);
    }
    if (haveAnimation) g_systemParameters(SPI_SETANIMATION, sizeof savedAnimation, &savedAnimation, 0);
}

HWND s_consoleWindow;       // the stand-in console window kv brings forward
bool s_formerFocus;         // the counter makes the former focus change before each run
uint32_t s_broadcasts;      // setting changes that asked for a broadcast to every window
uint32_t s_lostForeground;  // runs that started with the console window not in front

BOOL WINAPI CountBroadcasts(UINT action, UINT param, PVOID value, UINT flags) {
    if (flags & SPIF_SENDCHANGE) ++s_broadcasts;
    return SystemParametersInfoW(action, param, value, flags);
}

// Each run's first reading follows the focus change: with s_formerFocus the
// former one is made here (kv's own is off then), where kv made it. Whether
// the window is in front is looked at once the reading is taken, so the look
// falls inside the run, not between runs.
BOOL WINAPI FocusCounter(LARGE_INTEGER* count) {
    const bool beforeRun = s_readingCount % 2 == 1 && s_readingCount + 1 < s_readingCapacity;
    if (beforeRun && s_formerFocus) FormerGrabFocus(s_consoleWindow);
    const BOOL ok = RecordingCounter(count);
    if (beforeRun && GetForegroundWindow() != s_consoleWindow) ++s_lostForeground;
    return ok;
}

struct FocusFigures {
    double overheadTicks;
    uint32_t broadcasts, lostForeground;
};

FocusFigures RecordFocusSeries(bool former, const wchar_t* command, uint32_t runs) {
    s_formerFocus = former;
    s_broadcasts = s_lostForeground = 0;
    g_systemParameters = CountBroadcasts;
    const Series s = RecordSeries(former ? L"/Q /O:FJT" : L"/Q /O:JT", runs, 0, command, FocusCounter);
    ResetFocusCalls();
    return FocusFigures{s.elapsed.empty() ? 0 : s.overheadTicks, s_broadcasts, s_lostForeground};
}

void PrintFocus(uint32_t runs) {
    // Under Wine a window needs the X display that the prefix's Wine server
    // started with: a server started without one (by a program still running
    // under plain wine) opens no window for any later program either.
    HWND probe = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    const DWORD error = probe ? 0 : GetLastError();
    if (probe) DestroyWindow(probe);
    if (!probe) {
        std::printf("6. Focus per run: skipped, this process can open no window (Windows error %lu): under Wine\n"
                    "   that takes an X display, which the prefix's Wine server must have been started with; run\n"
                    "   it through cmake/wine-run.sh when no other Wine program of the prefix is running.\n",
                    error);
        return;
    }
    if (RunQuietly(L"conwindow") != 0) {
        std::printf("6. Focus per run: skipped, the stand-in host could not open its console window\n");
        return;
    }
    wchar_t request[] = L"HWND";
    wchar_t reply[64] = {};
    if (g_state.takeCommandIpc) g_state.takeCommandIpc(request, reply);
    s_consoleWindow = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(wcstoull(reply, nullptr, 10)));
    std::printf("6. Focus per run, the console window on a thread of its own (kvhost's conwindow), /Q /O:JT,\n"
                "   %u runs; before: the former sequence, after: the current one:\n", runs);
    const struct {
        const char* label;
        const wchar_t* before;  // host line before the series
        const wchar_t* timed;
    } scenes[] = {
        {"console window in front", L"conwindow", L"rem"},
        {"another window in front", L"conwindow /other", L"conwindow /other"},
    };
    for (const auto& scene : scenes) {
        RunQuietly(scene.before);
        const FocusFigures before = RecordFocusSeries(true, scene.timed, runs);
        RunQuietly(scene.before);
        const FocusFigures after = RecordFocusSeries(false, scene.timed, runs);
        std::printf("   %-24s before %9.3f us per run, after %9.3f us\n", scene.label,
                    Microseconds(before.overheadTicks), Microseconds(after.overheadTicks));
        std::printf("   %-24s broadcasts before %u, after %u; runs without it in front before %u, after %u\n", "",
                    before.broadcasts, after.broadcasts, before.lostForeground, after.lostForeground);
    }
    const Series off = RecordSeries(L"/Q /O:FJT", runs);
    std::printf("   %-24s %9.3f us per run\n", "focus off (/O:FJT):", Microseconds(off.overheadTicks));
    std::printf("   (Wine sends no WM_SETTINGCHANGE for these changes; Windows sends one to every top-level\n"
                "   window of the desktop per broadcast and waits for each.)\n");
    RunQuietly(L"conwindow /close");
}

// The run file of /X after a million runs: the time from the end of the last
// run to the end of kv, with the file and without it, in the same process.
void PrintRunFile() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::printf("7. Run file of 1,000,000 runs (/X), last run to end of kv (target: well under 1 s more):\n");
    const MillionRuns without = MeasureMillionRuns(L"");
    std::printf("   without /X %8.1f ms\n", without.reportMs);
    for (const wchar_t* name : {L"kv_bench_runs.csv", L"kv_bench_runs.json"}) {
        const std::wstring path = std::wstring(temp) + name;
        const MillionRuns with = MeasureMillionRuns(L"/X:" + path);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
        const uint64_t bytes = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        std::printf("   with /X %-19ls %8.1f ms, %.1f MB written\n", name, with.reportMs,
                    static_cast<double>(bytes) / 1e6);
        DeleteFileW(path.c_str());
    }
}

// The title as it was written before it was held to ten a second: before
// every run, here just before the counter reading that starts each run.
uint32_t s_titleRuns;
BOOL WINAPI EveryRunTitleCounter(LARGE_INTEGER* count) {
    if (s_readingCount % 2 == 1 && s_readingCount + 1 < s_readingCapacity) SetProgressTitle(s_titleRuns, 0);
    return RecordingCounter(count);
}

// The title alone, and a quiet series with everything else the defaults do.
void PrintTitle(uint32_t runs) {
    s_titleRuns = runs;
    const Series everyRun = RecordSeries(L"/Q /O:FJT", runs, 0, L"rem", EveryRunTitleCounter);
    const Series titleOnly = RecordSeries(L"/Q /O:FJ", runs);
    const Series quiet = RecordSeries(L"/Q", runs);
    std::printf("   %-28s %8.3f us per run (%u runs); written before every run: %.3f us%s\n", "  title only:",
                Microseconds(titleOnly.overheadTicks), runs, Microseconds(everyRun.overheadTicks),
                GetConsoleWindow() ? "" : " (no console, so no title)");
    std::printf("   %-28s %8.3f us per run (%u runs, target <= 20 us in a console)\n", "  a quiet series (/Q):",
                Microseconds(quiet.overheadTicks), runs);
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
    const MillionRunSeries millionRuns = MeasureMillionRunSeries();
    PrintFloor(100000);
    std::printf("2. Plug-in cost per run outside the measured interval (target <= 1 us with /Q /O:FJT):\n");
    PrintOverhead(L"/Q /O:FJTR", "/Q /O:FJT (recap off too):", 100000);
    PrintOverhead(L"/W:1000 /Q /O:FJTR", "  the same after 1000 warm-ups:", 100000, 1000);
    PrintBreakCheck();
    PrintOverhead(L"", "defaults:", 2000);
    // Where the defaults' cost lies, one feature at a time.
    PrintOverhead(L"/O:FJT", "  run header only:", 2000);
    PrintTitle(20000);
    PrintOverhead(L"/Q /O:JT", FindHostWindow() ? "  focus only:" : "  focus only (no host window):", 2000);
    PrintMillionRuns(millionRuns);
    PrintWalk();
    PrintFocus(2000);
    PrintRunFile();
    HostUnloadPlugins();
    return 0;
}
