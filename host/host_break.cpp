// Ctrl+C and Ctrl+Break in the stand-in host, handled the way a command
// processor handles them: the console's control handler only notes the break
// (it runs on a thread of its own); the host's thread acts on it at its next
// check, in the innermost line executor or, for a break that leaves the
// line, where the line began. Owns the pending break, the event that wakes
// waits, and the top-level run.
#include "host_engine.h"
#include "host_control.h"
#include <atomic>

namespace {

std::atomic<bool> s_breakPending{false};
// The pending break unwinds past every Command to where the line began.
std::atomic<bool> s_breakLeavesLine{false};
// Whether the next break the control handler notes leaves the line: set by
// ctrlc before it raises one through the console handlers. A Ctrl+C the user
// types lands in the innermost line executor.
std::atomic<bool> s_nextBreakLeaves{false};
// Manual reset; set while a break is pending. Null until the handler is installed.
HANDLE s_breakEvent = nullptr;
// Lines running under HostRunLine, which catches the unwinding. Outside one
// (the keystroke hook at the prompt restoring a title, a program driving the
// services directly) nothing would catch it, so a break is only noted.
int s_catchingRuns = 0;

// What a Ctrl+C or Ctrl+Break does, from whichever thread it comes.
void NoteBreak(bool leavesLine) {
    s_breakLeavesLine = leavesLine;
    s_breakPending = true;
    SetEvent(s_breakEvent);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    NoteBreak(s_nextBreakLeaves.exchange(false));
    return TRUE;
}

// "^C" on the console itself, where the user pressed it: standard output may
// be a file, or the nul device a broken-off command left behind.
void WriteBreakNotice() {
    HANDLE console = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (console == INVALID_HANDLE_VALUE) {
        WriteStderr(L"^C\r\n");
        return;
    }
    WriteText(console, L"^C\r\n");
    CloseHandle(console);
}

// The system's own dispatch of a console control event: the routine the
// console starts in a process for a typed Ctrl+C, which calls the process's
// control handlers, last registered first, until one returns TRUE. Run here
// in this process only: GenerateConsoleCtrlEvent would signal every process
// attached to the console, the shell that started this one included.
using ControlRoutine = DWORD(WINAPI*)(void*);
ControlRoutine ConsoleControlRoutine() {
    static const auto routine = reinterpret_cast<ControlRoutine>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    return routine;
}

// On a thread of its own, never the host's.
void DispatchBreak(BreakKind kind) {
    if (kind == BreakKind::HostOwn) {
        NoteBreak(true);
        return;
    }
    s_nextBreakLeaves = kind == BreakKind::TypedLeaving;
    // Without the routine only the host's own handler hears it.
    if (ControlRoutine routine = ConsoleControlRoutine())
        routine(reinterpret_cast<void*>(uintptr_t{CTRL_C_EVENT}));
    else
        OnConsoleControl(CTRL_C_EVENT);
}

struct DelayedBreakRequest {
    DWORD delayMs;
    BreakKind kind;
};

DWORD WINAPI DelayedBreak(void* parameter) {
    const DelayedBreakRequest request = *static_cast<DelayedBreakRequest*>(parameter);
    delete static_cast<DelayedBreakRequest*>(parameter);
    Sleep(request.delayMs);
    DispatchBreak(request.kind);
    return 0;
}

}  // namespace

void InstallBreakHandler() {
    if (s_breakEvent) return;
    s_breakEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // A parent may have started us with Ctrl+C ignored (the flag is
    // inherited); a command processor wants to see it.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

HANDLE BreakEvent() { return s_catchingRuns > 0 ? s_breakEvent : nullptr; }

void ClearBreak() {
    s_breakPending = false;
    if (s_breakEvent) ResetEvent(s_breakEvent);
}

void ThrowIfBreak() {
    if (s_breakPending && s_catchingRuns > 0) throw BreakUnwind{s_breakLeavesLine};
}

int RunLineForCaller(std::wstring_view line) {
    if (s_catchingRuns == 0) return RunCommandLine(line);
    try {
        ThrowIfBreak();
        return RunCommandLine(line);
    } catch (const BreakUnwind& unwind) {
        if (unwind.leavesLine) throw;
        return kBrokenOffExitCode;
    }
}

bool ContinueBatchAfterBreak() {
    std::wstring answer;
    return GetOption(L"BreakBatch", answer) && EqualsNoCase(answer, L"Continue");
}

void AbandonLine() {
    ClearBreak();
    WriteBreakNotice();
}

int RaiseBreak(DWORD delayMs, BreakKind kind) {
    if (s_catchingRuns == 0) {
        ReportError(L"ctrlc: Ctrl+C is handled only in a command line that kvhost runs");
        return 1;
    }
    auto* request = new DelayedBreakRequest{delayMs, kind};
    HANDLE thread = CreateThread(nullptr, 0, DelayedBreak, request, 0, nullptr);
    if (!thread) {
        delete request;
        ReportError(L"ctrlc: " + SystemMessage(GetLastError()));
        return 1;
    }
    // Without a delay the break falls inside this command: the handlers run
    // on a thread of their own, as the console runs them, and the break is
    // acted on here once they are done.
    if (delayMs == 0) WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    if (delayMs != 0) return 0;
    ThrowIfBreak();
    return 1;
}

extern "C" int HostRunLine(const wchar_t* line, int* broken) {
    if (broken) *broken = 0;
    if (!line) return ERROR_INVALID_PARAMETER;
    InstallBreakHandler();
    ClearBreak();
    struct Catching {
        Catching() { ++s_catchingRuns; }
        ~Catching() { --s_catchingRuns; }
    } catching;
    try {
        return RunCommandLine(line);
    } catch (const BreakUnwind&) {
        AbandonLine();
        if (broken) *broken = 1;
        return 1;
    }
}

extern "C" int HostWaitForBreak(DWORD milliseconds) {
    InstallBreakHandler();
    if (!s_breakPending) WaitForSingleObject(s_breakEvent, milliseconds);
    return s_breakPending ? 1 : 0;
}

extern "C" int HostTakeBreak(void) {
    InstallBreakHandler();
    const bool pending = s_breakPending;
    ClearBreak();
    return pending ? 1 : 0;
}
