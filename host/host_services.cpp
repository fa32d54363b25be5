// The exports of TakeCmd.dll: the twelve host services a plug-in calls and
// the stand-in's control entry points. Owns the call trace and the IPC reply.
// Each service records itself in the trace, runs what "whencalled" left for
// it, then calls the engine; the engine never calls these exports, so its
// own work stays out of the record. The output and expansion services act
// on a pending break, as the real host's may: the unwinding leaves the
// plug-in's frames.
#include "frame/host_api.h"
#include "host_control.h"
#include "host_console.h"
#include <cwchar>
#include <cwctype>

namespace {

bool s_tracing = false;
unsigned s_traceGeneration = 0;  // changes when the record is restarted
std::wstring s_trace;
std::wstring s_ipcReply;

void AppendEscaped(std::wstring_view text) {
    for (wchar_t c : text) {
        if (c == L'\r') s_trace += L"\\r";
        else if (c == L'\n') s_trace += L"\\n";
        else s_trace += c;
    }
}

// Opens a trace line "Name: detail" and returns where a later part of the
// detail (a result) goes, so calls made meanwhile keep their order below it.
size_t TraceBegin(const wchar_t* name, std::wstring_view detail) {
    s_trace += name;
    s_trace += L": ";
    AppendEscaped(detail);
    size_t mark = s_trace.size();
    s_trace += L'\n';
    return mark;
}

void TraceLine(const wchar_t* name, std::wstring_view detail) {
    if (s_tracing) TraceBegin(name, detail);
}

void TraceEnd(size_t mark, unsigned generation, std::wstring_view tail) {
    if (generation != s_traceGeneration || mark > s_trace.size()) return;
    std::wstring saved;
    saved.swap(s_trace);
    s_trace.assign(saved, 0, mark);
    AppendEscaped(tail);
    s_trace.append(saved, mark, std::wstring::npos);
}

// TCC works on the text it is given where it lies (it may fold it or cut it
// into words); the stand-in folds it to upper case in place, so a caller that
// hands over read-only text faults here as it would there.
void FoldInPlace(wchar_t* text) {
    for (wchar_t* p = text; p && *p; ++p) *p = towupper(*p);
}

std::wstring Hex(unsigned value) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%02X", static_cast<unsigned>(value));
    return text;
}

int WriteFormatted(HANDLE handle, const wchar_t* service, const wchar_t* format, va_list args) {
    std::wstring text = FormatText(format, args);
    TraceLine(service, text);
    RunServiceTrigger(service);
    ThrowIfBreak();
    WriteText(handle, text);
    return static_cast<int>(text.size());
}

}  // namespace

void SetIpcReply(std::wstring_view reply) { s_ipcReply = reply; }

std::wstring IpcReply() { return s_ipcReply; }

extern "C" {

int Command(const wchar_t* line, int) {
    if (!line) return ERROR_INVALID_PARAMETER;
    const bool traced = s_tracing;
    unsigned generation = s_traceGeneration;
    size_t mark = traced ? TraceBegin(L"Command", line) : 0;
    RunServiceTrigger(L"Command");
    int rc = RunLineForCaller(line);
    if (traced) TraceEnd(mark, generation, L" -> " + std::to_wstring(rc));
    return rc;
}

// With recursion 0 the text is taken as the start of a command line: its
// first word is replaced by its alias first, as the host does for a line it
// runs. A non-zero counter says the caller wants variables only.
int ExpandVariables(wchar_t* buffer, int recursion) {
    if (!buffer) return ERROR_INVALID_PARAMETER;
    unsigned generation = s_traceGeneration;
    size_t mark = s_tracing ? TraceBegin(L"ExpandVariables", buffer) : 0;
    bool traced = s_tracing;
    RunServiceTrigger(L"ExpandVariables");
    ThrowIfBreak();
    std::wstring aliased;
    const bool hasAlias = recursion == 0 && ExpandAlias(buffer, aliased);
    std::wstring out;
    int rc = ExpandText(hasAlias ? std::wstring_view(aliased) : std::wstring_view(buffer), out);
    if (rc == 0) {
        // The caller's buffer holds 1024 characters: longer results are cut
        // there, never in the middle of a surrogate pair.
        size_t length = out.size() < 1023 ? out.size() : 1023;
        if (length == 1023 && IS_HIGH_SURROGATE(out[length - 1])) --length;
        wmemcpy(buffer, out.data(), length);
        buffer[length] = L'\0';
    }
    if (traced) TraceEnd(mark, generation, L" -> " + std::wstring(buffer));
    return rc;
}

int Printf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int written = WriteFormatted(GetStdHandle(STD_OUTPUT_HANDLE), L"Printf", format, args);
    va_end(args);
    return written;
}

int Qprintf(HANDLE handle, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int written = WriteFormatted(handle, L"Qprintf", format, args);
    va_end(args);
    return written;
}

int QPuts(const wchar_t* text) {
    if (!text) return 0;
    TraceLine(L"QPuts", text);
    RunServiceTrigger(L"QPuts");
    ThrowIfBreak();
    WriteStdout(text);
    return static_cast<int>(wcslen(text));
}

void CrLf(void) {
    TraceLine(L"CrLf", L"");
    RunServiceTrigger(L"CrLf");
    ThrowIfBreak();
    WriteStdout(L"\r\n");
}

// fullName, or null for a bad name (its text is then empty).
wchar_t* QueryTrueName(const wchar_t* name, wchar_t* fullName) {
    RunServiceTrigger(L"QueryTrueName");
    int rc = TrueName(name, fullName);
    if (s_tracing) TraceLine(L"QueryTrueName", std::wstring(name ? name : L"") + L" -> " + (fullName ? fullName : L""));
    return rc == 0 ? fullName : nullptr;
}

void GetAttribute(unsigned int* normal, unsigned int* inverse) {
    RunServiceTrigger(L"GetAttribute");
    int rc = ConsoleAttribute(normal, inverse);
    if (s_tracing) TraceLine(L"GetAttribute", rc == 0 && normal ? Hex(*normal) : std::wstring(L"none"));
}

wchar_t* ParseColors(wchar_t* spec, int* fg, int* bg) {
    std::wstring given = spec ? spec : L"";
    RunServiceTrigger(L"ParseColors");
    FoldInPlace(spec);
    // Where parsing stopped, as a pointer into the caller's own text.
    auto* stop = const_cast<wchar_t*>(ParseColourSpec(spec, fg, bg));
    if (s_tracing)
        TraceLine(L"ParseColors", given + L" -> " + (fg ? std::to_wstring(*fg) : L"") + L"," +
                                      (bg ? std::to_wstring(*bg) : L""));
    return stop;
}

void SetColors(int attribute) {
    if (s_tracing) TraceLine(L"SetColors", Hex(attribute));
    RunServiceTrigger(L"SetColors");
    SetConsoleColours(attribute);
}

// What waits is handled, as the real host handles its console and window
// messages here: a plug-in's thread timers may fire inside the call.
void tty_yield(int wait) {
    if (s_tracing) TraceLine(L"tty_yield", std::to_wstring(wait));
    RunServiceTrigger(L"tty_yield");
    if (wait) WaitMessage();
    PumpMessages();
}

// Exported only under its C++ decorated name, as TCC's TakeCmd.dll exports it
// (takecmd.def names this function for it); no caller can import it plainly.
extern "C" int TakeCommandIPC(wchar_t* request, wchar_t* reply) {
    if (s_tracing) TraceLine(L"TakeCommandIPC", request ? request : L"");
    RunServiceTrigger(L"TakeCommandIPC");
    if (reply) reply[0] = L'\0';
    FoldInPlace(request);
    if (!request || !reply || wcscmp(request, L"HWND") != 0) return 1;
    size_t length = s_ipcReply.size() < 1023 ? s_ipcReply.size() : 1023;
    wmemcpy(reply, s_ipcReply.data(), length);
    reply[length] = L'\0';
    return 0;
}

// ---- Control entry points ----

int HostLoadPlugin(const wchar_t* path) { return path ? LoadPluginFile(path) : 1; }

int HostLoadPluginFolder(const wchar_t* folder) { return folder ? LoadPluginFolder(folder) : 0; }

int HostAddPlugin(const wchar_t* path) { return path ? LoadPluginFile(path, false) : 1; }

int HostStartPlugins(void) { return StartPlugins(); }

int HostAttachPlugin(HMODULE module, int initialize) { return AttachPluginModule(module, initialize != 0); }

int HostUnloadPlugins(void) { return UnloadAllPlugins(); }

int HostReturnToPrompt(void) {
    CallKeyHooks();
    PumpMessages();
    return 0;
}

int HostSetInternalVariable(const wchar_t* name, const wchar_t* value) {
    if (!name || !*name) return 1;
    SetInternalOverride(name, value);
    return 0;
}

int HostSetIpcReply(const wchar_t* reply) {
    SetIpcReply(reply ? reply : L"");
    return 0;
}

int HostTrace(int enable) {
    if (enable) {
        s_trace.clear();
        ++s_traceGeneration;
    }
    s_tracing = enable != 0;
    return 0;
}

int HostTraceText(wchar_t* buffer, int capacity) {
    if (buffer && capacity > 0) {
        size_t length = s_trace.size() < static_cast<size_t>(capacity - 1) ? s_trace.size() : capacity - 1;
        wmemcpy(buffer, s_trace.data(), length);
        buffer[length] = L'\0';
    }
    return static_cast<int>(s_trace.size());
}

int HostExitRequested(int* code) { return ExitRequested(code) ? 1 : 0; }

}  // extern "C"
