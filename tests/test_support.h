// What the tests share: capturing standard output and error, giving this test
// program a console on standard output, registering it with the stand-in host
// as a plug-in, recording the host calls, and running kvhost.exe as a child.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// Directory of the test program (kvhost.exe, kelvane.dll and TakeCmd.dll lie beside it).
std::wstring ExeDir();
// A new empty directory under the temporary directory; removed by RemoveTree.
std::wstring MakeTempDir();
void RemoveTree(const std::wstring& dir);
// Writes text as UTF-8 (no BOM).
void WriteTextFile(const std::wstring& path, const std::wstring& text);
std::wstring ReadUtf8File(const std::wstring& path);

// Standard output and error go to temporary files while it lives; Out and Err
// read back what was written so far (the host writes UTF-8 to files).
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    std::wstring Out() const;
    std::wstring Err() const;

private:
    std::wstring dir_;
    HANDLE savedOut_, savedErr_, out_, err_;
};

// Standard output is the console ("conout$") while it lives, so that code
// which checks for a console on standard output finds one.
class ConsoleStdout {
public:
    ConsoleStdout();
    ~ConsoleStdout();
    ConsoleStdout(const ConsoleStdout&) = delete;
    ConsoleStdout& operator=(const ConsoleStdout&) = delete;
    bool ok() const { return console_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return console_; }

private:
    HANDLE saved_, console_;
};

// Records the host calls made while it lives (the stand-in host's trace).
class HostCallTrace {
public:
    HostCallTrace();
    ~HostCallTrace();
    HostCallTrace(const HostCallTrace&) = delete;
    HostCallTrace& operator=(const HostCallTrace&) = delete;
    std::wstring Text() const;
};

// Registers this test program with the stand-in host as a plug-in (without
// calling its InitializePlugin; nothing happens when it is registered already), so that "kv ..." lines and
// %_trialrun reach the plug-in code linked into the tests.
void AttachSelfToHost();
// Registers this test program with the host (as AttachSelfToHost) and puts
// the plug-in's state as start-up leaves it: fresh, with the counter
// frequency recorded and the host's TakeCommandIPC looked up.
void AttachFreshPluginToHost();

// Sets (or, with null, removes) one environment variable while it lives.
class ScopedEnvironmentVariable {
public:
    ScopedEnvironmentVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
        DWORD length = GetEnvironmentVariableW(name, nullptr, 0);
        existed_ = length > 0;
        std::vector<wchar_t> saved(length + 1);
        GetEnvironmentVariableW(name, saved.data(), length + 1);
        saved_ = saved.data();
        SetEnvironmentVariableW(name, value);
    }
    ~ScopedEnvironmentVariable() { SetEnvironmentVariableW(name_.c_str(), existed_ ? saved_.c_str() : nullptr); }
    ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
    ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

private:
    std::wstring name_, saved_;
    bool existed_ = false;
};

// How often what occurs in text, not overlapping.
size_t CountOccurrences(const std::wstring& text, const std::wstring& what);

struct HostRun {
    DWORD exitCode;
    std::wstring out;
    std::wstring err;
};
// Runs kvhost.exe from ExeDir with the given argument text, standard input
// from the given text, and captures its output. Detached: no console at all.
HostRun RunKvHost(const std::wstring& arguments, const std::wstring& input = L"", bool detached = false);
// The same with the kvhost.exe in another folder (which is also its working
// directory), for layouts other than the build's.
HostRun RunKvHostIn(const std::wstring& folder, const std::wstring& arguments, const std::wstring& input = L"",
                    bool detached = false);
// Runs kvhost.exe from ExeDir in a process group of its own on this console,
// and once its output holds breakAfter, a real Ctrl+C goes to that group and
// so to nothing else: kvhost turns Ctrl+C back on, which a new group starts
// with off. (Wine does not deliver a Ctrl+Break sent to a group.)
// *elapsedMs: start to end.
HostRun RunKvHostAndBreakIt(const std::wstring& arguments, const wchar_t* breakAfter, DWORD* elapsedMs);
