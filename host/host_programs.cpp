// Programs in the stand-in host: finding one in the current directory or on
// PATH, starting it with the standard handles of the moment, and the waits
// that keep the thread's messages flowing meanwhile. Owns the exit code of
// the last program.
#include "host_engine.h"
#include <mmsystem.h>
#include <algorithm>

namespace {

constexpr size_t kMaxProcessLine = 32767;

// The exit code of the last program that ran to its end.
int s_lastProgramExitCode = 0;

const wchar_t* const kProgramExtensions[] = {L".exe", L".com", L".bat", L".btm", L".cmd"};

bool HasExtension(std::wstring_view name, std::wstring_view extension) {
    return name.size() > extension.size() &&
           EqualsNoCase(name.substr(name.size() - extension.size()), extension);
}

bool HasProgramExtension(std::wstring_view name) {
    for (const wchar_t* extension : kProgramExtensions)
        if (HasExtension(name, extension)) return true;
    return false;
}

bool IsFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool TryProgramBase(const std::wstring& base, std::wstring& found) {
    if (HasProgramExtension(base)) {
        if (!IsFile(base)) return false;
        found = base;
        return true;
    }
    for (const wchar_t* extension : kProgramExtensions) {
        if (IsFile(base + extension)) {
            found = base + extension;
            return true;
        }
    }
    return false;
}

// The current directory first, then each PATH entry; extensions as listed.
bool FindProgram(const std::wstring& name, std::wstring& found) {
    if (name.find_first_of(L"\\/:") != std::wstring::npos) {
        if (!TryProgramBase(name, found)) return false;
        found = FullPath(found);
        return true;
    }
    if (TryProgramBase(name, found)) {
        found = FullPath(found);
        return true;
    }
    std::wstring path;
    if (!LookupVariable(L"PATH", path)) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos) end = path.size();
        std::wstring directory = path.substr(start, end - start);
        start = end + 1;
        directory.erase(std::remove(directory.begin(), directory.end(), L'"'), directory.end());
        if (directory.empty()) continue;
        if (directory.back() != L'\\' && directory.back() != L'/') directory += L'\\';
        if (TryProgramBase(directory + name, found)) {
            found = FullPath(found);
            return true;
        }
    }
    return false;
}

int RunProcess(const std::wstring& path, std::wstring_view args) {
    std::wstring line = L"\"" + path + L"\"";
    if (!args.empty()) {
        line += L' ';
        line += args;
    }
    if (line.size() > kMaxProcessLine) {
        ReportError(L"Command line too long for \"" + path + L"\"");
        return 1;
    }
    // The standard handles of the moment, passed as they are and inherited, as
    // a command processor starts its programs: one that was opened without
    // inheritance is no valid handle in the child.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    DWORD error = GetLastError();
    if (!started) {
        ReportError(L"Cannot run \"" + path + L"\": " + SystemMessage(error));
        return error ? static_cast<int>(error) : 1;
    }
    CloseHandle(process.hThread);
    PumpingWait(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    s_lastProgramExitCode = static_cast<int>(exitCode);
    return s_lastProgramExitCode;
}

}  // namespace

int LastProgramExitCode() { return s_lastProgramExitCode; }

bool IsBatchName(std::wstring_view name) {
    return HasExtension(name, L".bat") || HasExtension(name, L".btm") || HasExtension(name, L".cmd");
}

int RunProgram(const std::wstring& name, std::wstring_view args) {
    std::wstring path;
    if (!FindProgram(name, path)) {
        if (IsBatchName(name)) ReportError(L"Batch file \"" + name + L"\" not found");
        else if (name.find_first_of(L"\\/:") != std::wstring::npos)
            ReportError(L"File \"" + name + L"\" not found");
        else ReportError(L"Unknown command \"" + name + L"\"");
        return 2;
    }
    if (IsBatchName(path)) return RunBatchFile(path, name, args);
    return RunProcess(path, args);
}

void PumpMessages() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

void PumpingWait(HANDLE handle, DWORD milliseconds) {
    // The deadline is kept in performance-counter ticks: the tick count moves
    // in 15.6 ms steps on many systems, far too coarse for "delay /m 5".
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    long long deadline = now.QuadPart + static_cast<long long>(milliseconds) * frequency.QuadPart / 1000;
    bool timed = milliseconds != INFINITE;
    // Timed waits ask for the finest timer resolution while they last, so a
    // millisecond delay lasts about a millisecond.
    if (timed) timeBeginPeriod(1);
    for (;;) {
        DWORD wait = INFINITE;
        if (timed) {
            QueryPerformanceCounter(&now);
            if (now.QuadPart >= deadline) break;
            long long ticksLeft = deadline - now.QuadPart;
            wait = static_cast<DWORD>((ticksLeft * 1000 + frequency.QuadPart - 1) / frequency.QuadPart);
        }
        // A program gets the break itself and is waited for; a plain wait
        // ends at once on a break.
        HANDLE waitFor = handle ? handle : BreakEvent();
        DWORD count = waitFor ? 1 : 0;
        DWORD result = MsgWaitForMultipleObjects(count, waitFor ? &waitFor : nullptr, FALSE, wait, QS_ALLINPUT);
        if (waitFor && result == WAIT_OBJECT_0) break;
        if (result == WAIT_OBJECT_0 + count) PumpMessages();
        else if (result == WAIT_FAILED) break;
    }
    if (timed) timeEndPeriod(1);
    if (!handle) ThrowIfBreak();
}
