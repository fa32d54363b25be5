// Services of the command processor, exported by TakeCmd.dll. These
// declarations are the binary boundary with the host: on x64 Windows there is
// one calling convention and extern "C" names are not decorated. Every name
// declared here is imported, so it must be one TakeCmd.dll exports under
// exactly that name: Windows refuses to load a DLL that imports a name its
// host lacks.
#pragma once
#include <windows.h>

#ifdef TAKECMD_BUILDING_HOST
#define TAKECMD_API __declspec(dllexport)
#else
#define TAKECMD_API __declspec(dllimport)
#endif

extern "C" {
// Runs the line as if typed and returns its exit code; reserved is always 0.
TAKECMD_API int Command(const wchar_t* line, int reserved);
// Expands variables and %@ functions in place; the buffer holds at least 1024
// characters. A non-zero recursion counter means no alias expansion.
TAKECMD_API int ExpandVariables(wchar_t* buffer, int recursion);
// Formatted text to standard output; returns the number of characters written.
TAKECMD_API int Printf(const wchar_t* format, ...);
// Formatted text to the given handle.
TAKECMD_API int Qprintf(HANDLE handle, const wchar_t* format, ...);
// Text to standard output, no line end added.
TAKECMD_API int QPuts(const wchar_t* text);
// A line end to standard output.
TAKECMD_API void CrLf(void);
// Full path of name into fullName; empty output for a bad name.
TAKECMD_API wchar_t* QueryTrueName(const wchar_t* name, wchar_t* fullName);
// *normal receives the console attribute at the cursor.
TAKECMD_API void GetAttribute(unsigned int* normal, unsigned int* inverse);
// Colour names into colour numbers; the outputs stay untouched when nothing
// parses. Returns where parsing stopped. The host may write into spec.
TAKECMD_API wchar_t* ParseColors(wchar_t* spec, int* fg, int* bg);
// Console colours for the output that follows.
TAKECMD_API void SetColors(int attribute);
// Lets the host process pending console work; non-zero waits for a message first.
TAKECMD_API void tty_yield(int wait);
}

// TakeCommandIPC is not imported but looked up at start-up: TCC's TakeCmd.dll
// exports it only under its C++ decorated name, which an extern "C"
// declaration cannot import, and another host may export it plainly. Where
// neither name exists the plug-in does without it.
// For "HWND": the decimal handle of the windowed host's main window, or no
// digits. The host may write into request.
using TakeCommandIpcFn = int (*)(wchar_t* request, wchar_t* reply);
constexpr char kTakeCommandIpcDecorated[] = "?TakeCommandIPC@@YAHPEA_W0@Z";
constexpr char kTakeCommandIpcPlain[] = "TakeCommandIPC";
