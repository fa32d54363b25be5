// Inner interface of the stand-in host: output, variable expansion, the
// command engine and the plug-in registry, shared by the files of TakeCmd.dll.
// Everything runs on the one thread that calls the host; nothing is locked.
#pragma once
#include <windows.h>
#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

// ---- Output (host_output.cpp) ----
// Formats like the host's Printf: %s %c %d %i %u %x %X %o %p %%, flags - 0 + space #,
// width and precision (digits or *), sizes I64 I32 ll l h z. No length limit.
std::wstring FormatText(const wchar_t* format, va_list args);
// Writes to the handle: WriteConsoleW on a console, else UTF-8 without BOM.
// False when not all of it could be written (the system's error code is set).
bool WriteText(HANDLE handle, std::wstring_view text);
// The standard handles as they are at the moment of the call.
bool WriteStdout(std::wstring_view text);
void WriteStderr(std::wstring_view text);
// "kvhost: " (with the batch file's name and line inside one), the message
// and a line end, on standard error.
void ReportError(std::wstring_view message);
// The system's text for an error code, without the trailing line end.
std::wstring SystemMessage(DWORD error);

// ---- Variables (host_variables.cpp) ----
// Expands %-variables outside backquotes. 0 on success; otherwise a message
// has been written to standard error and out is unspecified.
int ExpandText(std::wstring_view in, std::wstring& out);
// Value of a variable by name (internal, plug-in, environment), case-insensitive.
bool LookupVariable(std::wstring_view name, std::wstring& value);
void SetInternalOverride(std::wstring_view name, const wchar_t* value);
// Host options ("option //Name=Value"); UpdateTitle starts as Yes.
bool GetOption(std::wstring_view name, std::wstring& value);
void SetOption(std::wstring_view name, std::wstring_view value);
void ListOptions();

// ---- Command engine (host_commands.cpp) ----
// Runs a line as if typed: commands separated by & in turn. Returns the exit
// code of the last command run.
int RunCommandLine(std::wstring_view line);
// One command of a line: expanded, redirected, then run.
int RunSingle(std::wstring_view text);
// A command's name (quotes removed) and the rest, leading blanks skipped.
void SplitName(std::wstring_view text, std::wstring_view& name, std::wstring_view& rest);
std::wstring Unquoted(std::wstring_view text);
int LastExitCode();
// The text with its first word (up to the first blank) replaced by that
// word's alias; false, and out untouched, when the word has none.
bool ExpandAlias(std::wstring_view text, std::wstring& out);
// Defines an alias, or removes it when the value is empty.
void SetAlias(std::wstring_view name, std::wstring_view value);
void ListAliases();
// Set by "exit"; cleared when a new top-level command starts.
bool ExitRequested(int* code);
void RequestExit(int code);

// ---- Batch files (host_batch.cpp) ----
int RunBatchFile(const std::wstring& path, std::wstring_view invokedAs, std::wstring_view argText);
// Blank-separated words, quoted ones whole (quotes kept).
std::vector<std::wstring> SplitBatchArgs(std::wstring_view text);
// Batch context for the variables and the error prefix.
int BatchDepth();
bool CurrentBatch(std::wstring* path, int* line);
// Argument n (0-9) of the current batch file; n < 0 gives all arguments.
bool BatchArgument(int n, std::wstring& value);
// "quit": the innermost batch file ends after its current line.
void QuitBatch(int code);
bool BatchQuitting();

// ---- Internal commands (host_internal.cpp) ----
// Runs the internal command of that name (echo. included); false when there is none.
bool RunInternalCommand(std::wstring_view name, std::wstring_view args, int* rc);
// Called by each service a plug-in calls, with its name, before it does its
// work: runs the line "whencalled" left for that service, once.
void RunServiceTrigger(const wchar_t* service);

// ---- Conditions and files (host_if.cpp, host_files.cpp) ----
// if [not] a==b command, if [not] a op b command (op: eq ne gt ge lt le).
int CmdIf(std::wstring_view args);
// type file...: the files' text to standard output. copy [/q] from to.
int CmdType(std::wstring_view args);
int CmdCopy(std::wstring_view args);
// A text file whole: UTF-16 with its byte-order mark, UTF-8 (with or without
// one) or, when it is not valid UTF-8, the ANSI code page. False when it
// cannot be read (the system's error code is set).
bool ReadTextFile(const std::wstring& path, std::wstring& text);

// ---- The stand-in console window (host_window.cpp) ----
// conwindow [/other | /min | /close]: opens, when none is open, a window on
// a thread of its own and puts it in front; /other puts a window of a third
// thread in front of it, /min minimises it, /close closes both.
int CmdConWindow(std::wstring_view args);

// ---- Services (host_services.cpp) ----
// What TakeCommandIPC answers for "HWND" (HostSetIpcReply).
void SetIpcReply(std::wstring_view reply);
std::wstring IpcReply();

// ---- Programs (host_programs.cpp) ----
bool IsBatchName(std::wstring_view name);
// A batch file or program by name, from the current directory or PATH.
int RunProgram(const std::wstring& name, std::wstring_view args);
// The exit code of the last program that ran (0 before the first): what the
// internal commands that set no exit code of their own return, as a real
// host's may.
int LastProgramExitCode();
// Waits the given milliseconds while dispatching the thread's messages, so the
// plug-in's thread timers fire as they would in the real host.
void PumpingWait(HANDLE handle, DWORD milliseconds);
void PumpMessages();

// ---- Breaks (host_break.cpp) ----
// A break is noted by the console's control handler (on a thread of its
// own) and acted on by the host's thread at its next check: before and after
// each command of a line, in a wait, after a program, and in the output and
// expansion services a plug-in calls. Acting on it throws BreakUnwind, which
// lands in the innermost line executor, as a host's longjmp to the setjmp
// its line executor takes for every line does: a line run through Command
// (Command then returns kBrokenOffExitCode to its caller, the break still
// pending, and refuses every further line the same way), a batch file's
// line (cancel or go on), or the top level (HostRunLine). A break that
// leaves the line unwinds past every Command to a batch file's line or the
// top level instead, as a host that unwinds to its own loop does. On x64
// every function carries unwind tables, so the system unwinder walks over
// any plug-in frames in between (kv waiting in its Command call) without
// running a single instruction of them, while the host's own frames run
// their destructors and so leak nothing.
struct BreakUnwind {
    bool leavesLine;
};
// The host's exit code for a command broken off by Ctrl+C.
constexpr int kBrokenOffExitCode = 3;
void InstallBreakHandler();
// What a wait also ends on: set while a break is pending. Null when no
// HostRunLine would catch the break, so that a wait is not cut short then.
HANDLE BreakEvent();
void ClearBreak();
// Throws BreakUnwind when a break is pending and a HostRunLine is there to
// catch it; otherwise the break stays pending.
void ThrowIfBreak();
// Command's line executor: the line's result, or kBrokenOffExitCode when a
// break landed in it or was pending already.
int RunLineForCaller(std::wstring_view line);
// The host option BreakBatch: Continue goes on with a batch file's next line
// after a break; anything else (the default) cancels the batch job.
bool ContinueBatchAfterBreak();
// Clears the break and tells the user, on the console, that the line was abandoned.
void AbandonLine();
// How a break comes about. Typed: as a Ctrl+C typed into the console, through
// every console control handler of the process (a plug-in's too), landing
// in the innermost line executor. TypedLeaving: the same, but the host
// leaves the whole line. HostOwn: the host breaks off by itself, without a
// console event, and leaves the whole line.
enum class BreakKind { Typed, TypedLeaving, HostOwn };
// Raises a break now (so it falls inside the calling command) or after
// delayMs milliseconds from a thread of its own. Nothing is sent to the
// console, so no other process is hit.
int RaiseBreak(DWORD delayMs, BreakKind kind);

// ---- Plug-ins (host_plugins.cpp) ----
using PluginTextFn = int (*)(wchar_t*);
PluginTextFn FindPluginCommand(std::wstring_view name);
PluginTextFn FindPluginVariable(std::wstring_view name);
// Loads and registers the DLL, then starts it (InitializePlugin) unless start
// is false: start-up loads every plug-in first and then starts them all.
int LoadPluginFile(std::wstring_view path, bool start = true);
// Every DLL in the folder, in name order (case-insensitive), not yet started;
// returns how many were taken as plug-ins (0 for a missing folder).
int LoadPluginFolder(std::wstring_view folder);
// Starts every plug-in not yet started, in load order; returns how many did.
int StartPlugins();
int UnloadPluginByName(std::wstring_view name);
int UnloadAllPlugins();
int AttachPluginModule(HMODULE module, bool initialize);
int CallKeyHooks();
void ListPlugins();

// ---- Small text helpers (host_output.cpp) ----
bool EqualsNoCase(std::wstring_view a, std::wstring_view b);
bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix);
inline bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
std::wstring_view TrimBlanks(std::wstring_view text);
// The full path of a file name (the name itself when it cannot be resolved).
std::wstring FullPath(const std::wstring& path);
// A 32-bit number in decimal (optional sign) or 0x hexadecimal; false when
// the whole text is not one number.
bool ParseInteger(std::wstring_view text, long long* value);
