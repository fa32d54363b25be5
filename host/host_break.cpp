// Ctrl+C and Ctrl+Break in the stand-in host, handled the way a command
// processor handles them: the console's control handler only notes the break
// (it runs on a thread of its own); the host's thread notices it at its next
// command, or at once while it waits in "delay", and abandons the whole line.
// Owns the pending flag, the event that wakes waits, and the top-level run.
#include "host_engine.h"
#include "host_control.h"
#include <atomic>

namespace {

std::atomic<bool> s_breakPending{false};
// Manual reset; set while a break is pending. Null until the handler is installed.
HANDLE s_breakEvent = nullptr;
// Lines running under HostRunLine, which catches the unwinding. Outside one
// (the keystroke hook at the prompt restoring a title, a program driving the
// services directly) nothing would catch it, so a break is only noted.
int s_catchingRuns = 0;

// What a Ctrl+C or Ctrl+Break does, from whichever thread it comes.
void NoteBreak() {
    s_breakPending = true;
    SetEvent(s_breakEvent);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    NoteBreak();
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

// On a thread of its own, as the console runs its control handler.
DWORD WINAPI DelayedBreak(void* parameter) {
    Sleep(static_cast<DWORD>(reinterpret_cast<uintptr_t>(parameter)));
    NoteBreak();
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
    if (s_breakPending && s_catchingRuns > 0) throw BreakUnwind{};
}

bool ContinueBatchAfterBreak() {
    std::wstring answer;
    return GetOption(L"BreakBatch", answer) && EqualsNoCase(answer, L"Continue");
}

void AbandonLine() {
    ClearBreak();
    WriteBreakNotice();
}

int RaiseBreak(DWORD delayMs) {
    if (s_catchingRuns == 0) {
        ReportError(L"ctrlc: Ctrl+C is handled only in a command line that kvhost runs");
        return 1;
    }
    if (delayMs) {
        HANDLE thread = CreateThread(nullptr, 0, DelayedBreak, reinterpret_cast<void*>(uintptr_t{delayMs}), 0, nullptr);
        if (!thread) {
            ReportError(L"ctrlc: " + SystemMessage(GetLastError()));
            return 1;
        }
        CloseHandle(thread);
        return 0;
    }
    // Raised here, never sent to the console: that would break every
    // process attached to it, the shell that started this one included.
    NoteBreak();
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
