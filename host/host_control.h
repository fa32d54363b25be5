// Control entry points of the stand-in host. TakeCmd.dll exports them by
// ordinal only (no names), so its named exports stay exactly the services of
// the real host; kvhost.exe and the tests reach them through the import
// library. Plain C interface, UTF-16 text.
#pragma once
#include <windows.h>
// The services come with the control API: a program driving the host calls both.
#include "frame/host_api.h"

#ifdef TAKECMD_BUILDING_HOST
#define HOST_CONTROL_API __declspec(dllexport)
#else
#define HOST_CONTROL_API __declspec(dllimport)
#endif

extern "C" {
// Loads a plug-in DLL the way the real host does (feature list, then
// InitializePlugin); the same as the internal command "plugin /l path".
// 0 when it is in service, else non-zero (a message has been written).
HOST_CONTROL_API int HostLoadPlugin(const wchar_t* path);
// Start-up as the real host does it: every plug-in is loaded (the DLLs of
// its Plugins folder in name order, then others one by one) before any is
// started. HostLoadPluginFolder and HostAddPlugin load and register without
// starting; one that is refused writes its message and the rest still load.
// They return the number taken as plug-ins (0 when the folder does not
// exist) and 0 when the file was taken. HostStartPlugins then calls
// InitializePlugin of each in load order and returns how many started.
HOST_CONTROL_API int HostLoadPluginFolder(const wchar_t* folder);
HOST_CONTROL_API int HostAddPlugin(const wchar_t* path);
HOST_CONTROL_API int HostStartPlugins(void);
// Registers a module that is already loaded and exports the plug-in entry
// points (a test program linking the plug-in's library registers itself).
// Calls InitializePlugin unless initialize is 0. 0 on success.
HOST_CONTROL_API int HostAttachPlugin(HMODULE module, int initialize);
// What the host does when it ends: ShutdownPlugin(1) for every started
// plug-in, then unloads the ones it loaded ("plugin /u" gives ShutdownPlugin(0)).
HOST_CONTROL_API int HostUnloadPlugins(void);
// What the host does each time it returns to its prompt: every keystroke hook
// is called with an all-zero record, then the thread's waiting messages are handled.
HOST_CONTROL_API int HostReturnToPrompt(void);
// Overrides an internal variable (_4ver, _transient, _pipe, ...) so a test can
// make the host look like another version or context; a null value removes
// the override.
HOST_CONTROL_API int HostSetInternalVariable(const wchar_t* name, const wchar_t* value);
// What TakeCommandIPC answers for "HWND"; null (the default) answers no digits.
HOST_CONTROL_API int HostSetIpcReply(const wchar_t* reply);
// Starts (clearing what was there) or stops recording the host calls the
// plug-in makes: one line per call, "Name: detail", with \r and \n in the
// detail written as the two characters \r and \n.
HOST_CONTROL_API int HostTrace(int enable);
// Copies the recorded calls into buffer (always terminated); returns the full
// length of the record, which may exceed capacity.
HOST_CONTROL_API int HostTraceText(wchar_t* buffer, int capacity);
// Non-zero when the last top-level command ran "exit"; *code (if given)
// receives the exit code it asked for. kvhost ends its prompt on it.
HOST_CONTROL_API int HostExitRequested(int* code);
// Runs a command line as the host's own top level does: with the console's
// Ctrl+C and Ctrl+Break handler installed, and any earlier break forgotten.
// A break abandons the line wherever it is (inside plug-in commands too),
// "^C" is written to the console, *broken (if given) becomes 1 and the
// result is 1; otherwise the result is the line's exit code.
HOST_CONTROL_API int HostRunLine(const wchar_t* line, int* broken);
// Installs that handler when it is not yet installed, then answers whether a
// break arrived since the last line began (1) or not (0), and forgets it. A
// prompt calls it after each read: Ctrl+C there cancels the typed line.
HOST_CONTROL_API int HostTakeBreak(void);
// Waits up to the given milliseconds for a break to arrive (the control
// handler runs on a thread of its own); 1 when one is pending, which stays
// pending for HostTakeBreak.
HOST_CONTROL_API int HostWaitForBreak(DWORD milliseconds);
}
