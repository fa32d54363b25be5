// Window discovery internals: the process snapshot walk behind the ancestor
// list, the per-class window collection and the one search per kind of host
// (Windows Terminal, ConEmu, Console2, Take Command). State lives in g_state.
#pragma once
#include <windows.h>
#include <tlhelp32.h>
#include <cstdint>

// What EnumWindows hands to CollectClassWindows: the class to collect and the
// caller's two arrays (processIds may be null), both zeroed by the caller.
struct ClassWindowList {
    const wchar_t* className;
    uint32_t capacity;
    uint32_t count;
    HWND* windows;
    DWORD* processIds;
};
constexpr uint32_t kClassWindowCapacity = 32;
constexpr UINT kWindowCacheMs = 750;

// Number of records in a process snapshot; 0 for a null handle or an empty walk.
DWORD CountProcesses(HANDLE snapshot);
// The first record with that process id, or null (also for a null array, a
// length of 0 or an id of 0).
const PROCESSENTRY32W* FindProcessEntry(const PROCESSENTRY32W* records, DWORD count, DWORD processId);
// -1 for a null pointer; else the time is zeroed and 1 means it was read, 0 not.
int GetProcessCreationTime(DWORD processId, FILETIME* creationTime);

// Reads a process's creation time like GetProcessCreationTime.
using CreationTimeLookup = int (*)(DWORD processId, FILETIME* creationTime);
// The upward walk of the ancestor list over a snapshot's records: writes the
// chain from processId upwards into chain (room for count ids) and returns its
// length, 0 when processId has no record. BuildAncestorList passes the real
// creation-time lookup; it is a parameter only because Wine cannot hand a
// process id to a newer process on demand, so tests feed made-up records.
DWORD WalkAncestors(const PROCESSENTRY32W* records, DWORD count, DWORD processId, CreationTimeLookup creationTime,
                    DWORD* chain);
// Whether the process is this one or one of its ancestors (the list is rebuilt
// first when it is empty); 0 never is.
bool IsAncestorProcess(DWORD processId);

// EnumWindows callback; lParam points to a ClassWindowList.
BOOL CALLBACK CollectClassWindows(HWND window, LPARAM list);
// The searches of the cascade, one per kind of host; each gives a window or null.
HWND FindTerminalWindow();
HWND FindConEmuWindow();
HWND FindConsole2Window();
HWND FindTakeCommandWindow();
// The cache timer's callback: empties the window cache and stops its timer.
void CALLBACK ExpireWindowCache(HWND window, UINT message, UINT_PTR timerId, DWORD time);

// The console-window query of the plain-console and Windows Terminal steps.
// Wine's own console window is a hidden "WineConsoleClass" window, so neither
// step can meet its real host there; tests point this at a window of their
// own and put the system's query back with ResetConsoleWindowQuery.
using ConsoleWindowQuery = HWND(WINAPI*)();
extern ConsoleWindowQuery g_consoleWindow;
inline void ResetConsoleWindowQuery() { g_consoleWindow = GetConsoleWindow; }

// The ids of the processes attached to the console, read in full however
// many there are, starting with room for initialCapacity ids. A heap buffer to
// free() with the count in *count, or null (count 0) when there is none.
DWORD* ReadConsoleProcessList(DWORD initialCapacity, DWORD* count);
