// The internal commands of the stand-in host, among them the ones that make
// a host's doings happen while a plug-in command runs (keyhook, whenoption,
// whencalled, ctrlc, plugin /u, conwindow). Owns the whenoption and
// whencalled triggers.
#include "host_engine.h"
#include "frame/ascii_fold.h"
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// "whenoption": a command line to run once, right after the option is next
// set to the value, or right before it is set (as an alias named "option"
// would run).
struct OptionTrigger {
    std::wstring name, value, line;
    bool before;
};
OptionTrigger s_trigger;

// "whencalled": a command line to run once, inside the next call of a host service.
struct ServiceTrigger {
    std::wstring service, line;
};
ServiceTrigger s_serviceTrigger;

const wchar_t* const kServiceNames[] = {L"Command",       L"ExpandVariables", L"Printf",       L"Qprintf",
                                        L"QPuts",         L"CrLf",            L"QueryTrueName", L"GetAttribute",
                                        L"ParseColors",   L"SetColors",       L"tty_yield",     L"TakeCommandIPC"};

int ParseCodeArgument(std::wstring_view args, const wchar_t* command, int* code) {
    long long value = 0;
    args = TrimBlanks(args);
    if (!args.empty() && !ParseInteger(args, &value)) {
        ReportError(std::wstring(L"Usage: ") + command + L" [exit code]  (not a number: \"" +
                    std::wstring(args) + L"\")");
        return 1;
    }
    *code = static_cast<int>(value);
    return 0;
}

int CmdEcho(std::wstring_view args) {
    // Batch files written for other hosts start with "@echo off"; the stand-in
    // never echoes commands, so the switch is accepted and does nothing.
    if (EqualsNoCase(args, L"off") || EqualsNoCase(args, L"on")) return 0;
    // A program that checks its writes: output that goes nowhere (a standard
    // handle that is no handle here) is an error, as it is for a shell's echo.
    if (WriteStdout(std::wstring(args) + L"\r\n")) return 0;
    ReportError(L"echo: cannot write the text: " + SystemMessage(GetLastError()));
    return 1;
}

int CmdRem(std::wstring_view) { return 0; }

int CmdSet(std::wstring_view args) {
    args = TrimBlanks(args);
    if (args.empty()) {
        wchar_t* block = GetEnvironmentStringsW();
        if (!block) return 1;
        std::wstring listing;
        for (const wchar_t* p = block; *p; p += wcslen(p) + 1)
            if (*p != L'=') listing += std::wstring(p) + L"\r\n";
        FreeEnvironmentStringsW(block);
        WriteStdout(listing);
        return 0;
    }
    size_t equals = args.find(L'=');
    std::wstring name(TrimBlanks(args.substr(0, equals)));
    if (name.empty()) {
        ReportError(L"Usage: set name=value  (set name= removes the variable)");
        return 1;
    }
    if (equals == std::wstring_view::npos) {
        std::wstring value;
        if (!LookupVariable(name, value) || name[0] == L'_') {
            ReportError(L"Variable \"" + name + L"\" is not defined");
            return 1;
        }
        WriteStdout(name + L"=" + value + L"\r\n");
        return 0;
    }
    std::wstring value(args.substr(equals + 1));
    while (!value.empty() && IsBlank(value.front())) value.erase(0, 1);
    if (!SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str()) && !value.empty()) {
        ReportError(L"Cannot set \"" + name + L"\": " + SystemMessage(GetLastError()));
        return 1;
    }
    return 0;
}

// Sets no exit code of its own: what it returns is the last program's (an
// error in its arguments aside), as the real host's option may.
int CmdOption(std::wstring_view args) {
    args = TrimBlanks(args);
    if (args.empty()) {
        ListOptions();
        return LastProgramExitCode();
    }
    for (auto& token : SplitBatchArgs(args)) {
        if (token.size() < 3 || token.compare(0, 2, L"//") != 0) {
            ReportError(L"Usage: option //Name=Value  (got \"" + token + L"\")");
            return 1;
        }
        size_t equals = token.find(L'=');
        std::wstring name = token.substr(2, equals == std::wstring::npos ? std::wstring::npos : equals - 2);
        if (equals == std::wstring::npos) {
            std::wstring value;
            if (!GetOption(name, value)) {
                ReportError(L"Option \"" + name + L"\" is not set");
                return 1;
            }
            WriteStdout(name + L"=" + value + L"\r\n");
            continue;
        }
        const std::wstring value = token.substr(equals + 1);
        const bool triggered =
            !s_trigger.line.empty() && EqualsNoCase(name, s_trigger.name) && EqualsNoCase(value, s_trigger.value);
        const OptionTrigger trigger = triggered ? std::exchange(s_trigger, {}) : OptionTrigger{};
        if (triggered && trigger.before) RunCommandLine(trigger.line);
        SetOption(name, value);
        if (triggered && !trigger.before) RunCommandLine(trigger.line);
    }
    return LastProgramExitCode();
}

// whenoption [/b] Name=Value command: what a real host may do inside any
// command a plug-in runs (call the keystroke hook, take a break, unload the
// plug-in) made to happen inside "option //Name=Value"; with /b before the
// option is set.
int CmdWhenOption(std::wstring_view args) {
    args = TrimBlanks(args);
    const bool before = StartsWithNoCase(args, L"/b") && args.size() > 2 && IsBlank(args[2]);
    if (before) args = TrimBlanks(args.substr(2));
    std::wstring_view name, rest;
    SplitName(args, name, rest);
    const size_t equals = name.find(L'=');
    if (equals == std::wstring_view::npos || equals == 0 || TrimBlanks(rest).empty()) {
        ReportError(L"Usage: whenoption [/b] Name=Value command");
        return 1;
    }
    s_trigger = {std::wstring(name.substr(0, equals)), std::wstring(name.substr(equals + 1)),
                 std::wstring(TrimBlanks(rest)), before};
    return 0;
}

// whencalled Service command: what a real host may do inside any service a
// plug-in calls (take a break, unload the plug-in, call the keystroke hook)
// made to happen inside the next call of that one, before it does its work.
int CmdWhenCalled(std::wstring_view args) {
    std::wstring_view name, rest;
    SplitName(TrimBlanks(args), name, rest);
    bool known = false;
    for (const wchar_t* service : kServiceNames) known = known || EqualsNoCase(name, service);
    if (!known || TrimBlanks(rest).empty()) {
        std::wstring names;
        for (const wchar_t* service : kServiceNames) (names += names.empty() ? L"" : L", ") += service;
        ReportError(L"Usage: whencalled Service command  (Service: " + names + L")");
        return 1;
    }
    s_serviceTrigger = {std::wstring(name), std::wstring(TrimBlanks(rest))};
    return 0;
}

int CmdAlias(std::wstring_view args) {
    args = TrimBlanks(args);
    if (args.empty()) {
        ListAliases();
        return 0;
    }
    const size_t equals = args.find(L'=');
    const std::wstring_view name = TrimBlanks(args.substr(0, equals));
    bool blank = false;
    for (wchar_t c : name) blank = blank || IsBlank(c);
    if (equals == std::wstring_view::npos || name.empty() || blank) {
        ReportError(L"Usage: alias name=command  (alias name= removes it; alias alone lists them)");
        return 1;
    }
    SetAlias(name, TrimBlanks(args.substr(equals + 1)));
    return 0;
}

// The hook call a real host makes wherever it reads a new command line.
int CmdKeyHook(std::wstring_view) {
    CallKeyHooks();
    return 0;
}

int CmdDelay(std::wstring_view args) {
    args = TrimBlanks(args);
    bool milliseconds = false;
    if (StartsWithNoCase(args, L"/m") && (args.size() == 2 || IsBlank(args[2]))) {
        milliseconds = true;
        args = TrimBlanks(args.substr(2));
    }
    long long amount = 1;
    if (!args.empty() && (!ParseInteger(args, &amount) || amount < 0)) {
        ReportError(L"Usage: delay [/m] N  (N seconds, or milliseconds with /m)");
        return 1;
    }
    unsigned long long ms = milliseconds ? amount : amount * 1000ULL;
    if (ms >= INFINITE) ms = INFINITE - 1;
    PumpingWait(nullptr, static_cast<DWORD>(ms));
    return 0;
}

// ctrlc [/l | /h] [/m N]: a Ctrl+C as typed into the console, now or in N
// milliseconds; /l makes the host leave the whole line, /h is a break the
// host takes by itself, without a console event.
int CmdCtrlC(std::wstring_view args) {
    args = TrimBlanks(args);
    BreakKind kind = BreakKind::Typed;
    long long delay = 0;
    bool good = true;
    while (good && args.size() >= 2 && args[0] == L'/' && (args.size() == 2 || IsBlank(args[2]))) {
        const wchar_t option = FoldAscii(args[1]);
        args = TrimBlanks(args.substr(2));
        if (option == L'L') kind = BreakKind::TypedLeaving;
        else if (option == L'H') kind = BreakKind::HostOwn;
        else good = option == L'M';
    }
    if (!good || (!args.empty() && (!ParseInteger(args, &delay) || delay < 0 || delay >= INFINITE))) {
        ReportError(L"Usage: ctrlc [/l | /h] [/m N]  (Ctrl+C now, or in N milliseconds)");
        return 1;
    }
    return RaiseBreak(static_cast<DWORD>(delay), kind);
}

int CmdExitcode(std::wstring_view args) {
    int code = 0;
    if (int rc = ParseCodeArgument(args, L"exitcode", &code)) return rc;
    return code;
}

int CmdQuit(std::wstring_view args) {
    int code = 0;
    if (int rc = ParseCodeArgument(args, L"quit", &code)) return rc;
    QuitBatch(code);
    return code;
}

int CmdExit(std::wstring_view args) {
    int code = 0;
    if (int rc = ParseCodeArgument(args, L"exit", &code)) return rc;
    RequestExit(code);
    return code;
}

// A host goes on with the line after unloading a plug-in, and uses memory as
// it likes meanwhile; so does this one: memory of many sizes is handed out,
// overwritten and freed again, so that whatever the plug-in freed and the
// host still reads (the line it gave Command) is garbage by then.
void ReuseFreedMemory() {
    std::vector<void*> blocks;
    for (size_t size = 16; size <= (1u << 20); size += size / 4 + 8)
        for (int copies = 0; copies < 4; ++copies)
            if (void* block = std::malloc(size)) {
                std::memset(block, 0x5A, size);
                blocks.push_back(block);
            }
    for (void* block : blocks) std::free(block);
}

int CmdPlugin(std::wstring_view args) {
    args = TrimBlanks(args);
    if (args.empty()) {
        ListPlugins();
        return 0;
    }
    if (StartsWithNoCase(args, L"/l") && args.size() > 2 && IsBlank(args[2]))
        return LoadPluginFile(Unquoted(args.substr(2)));
    if (StartsWithNoCase(args, L"/u") && args.size() > 2 && IsBlank(args[2])) {
        const int rc = UnloadPluginByName(Unquoted(args.substr(2)));
        ReuseFreedMemory();
        return rc;
    }
    ReportError(L"Usage: plugin [/l file | /u name]  (no argument lists the loaded plug-ins)");
    return 1;
}

int CmdCall(std::wstring_view args) {
    std::wstring_view name, rest;
    SplitName(TrimBlanks(args), name, rest);
    if (name.empty()) {
        ReportError(L"Usage: call batchfile [arguments]");
        return 1;
    }
    return RunProgram(std::wstring(name), rest);
}

int CmdCd(std::wstring_view args) {
    std::wstring directory = Unquoted(args);
    if (directory.empty()) {
        std::wstring current;
        LookupVariable(L"_cwd", current);
        WriteStdout(current + L"\r\n");
        return 0;
    }
    if (!SetCurrentDirectoryW(directory.c_str())) {
        ReportError(L"Cannot change to \"" + directory + L"\": " + SystemMessage(GetLastError()));
        return 1;
    }
    return 0;
}

int CmdHelp(std::wstring_view);

struct InternalCommand {
    const wchar_t* name;
    int (*run)(std::wstring_view args);
    const wchar_t* summary;
};

const InternalCommand kInternalCommands[] = {
    {L"rem", CmdRem, L"rem [text]            a comment; does nothing"},
    {L"echo", CmdEcho, L"echo text             writes the text (echo. writes an empty line)"},
    {L"set", CmdSet, L"set [name[=value]]    shows or sets environment variables (set name= removes)"},
    {L"option", CmdOption, L"option //Name=Value   sets a host option, e.g. option //UpdateTitle=No"},
    {L"delay", CmdDelay, L"delay [/m] N          waits N seconds (milliseconds with /m)"},
    {L"exitcode", CmdExitcode, L"exitcode N            returns exit code N without starting a program"},
    {L"if", CmdIf,
     L"if [not] a==b command runs the command when the texts match (case ignored)\r\n"
     L"  if [not] a gt b cmd   likewise eq ne ge lt le: integers by value, other texts as texts"},
    {L"type", CmdType, L"type file...          writes the text files to standard output"},
    {L"copy", CmdCopy, L"copy [/q] from to     copies a file (to nul too); /q: no message"},
    {L"keyhook", CmdKeyHook, L"keyhook               calls the keystroke hooks as before a new command line"},
    {L"whenoption", CmdWhenOption, L"whenoption [/b] N=V c runs c once, inside the next option //N=V"},
    {L"whencalled", CmdWhenCalled, L"whencalled Service c  runs c once, inside a plug-in's next call of Service"},
    {L"alias", CmdAlias, L"alias [name=command]  replaces the first word name of a command (lists them)"},
    {L"conwindow", CmdConWindow, L"conwindow [/other|/min|/close]  a console window of another thread, in front"},
    {L"ctrlc", CmdCtrlC, L"ctrlc [/l|/h] [/m N]  raises Ctrl+C in kvhost, now or in N milliseconds"},
    {L"quit", CmdQuit, L"quit [N]              ends the current batch file with exit code N"},
    {L"exit", CmdExit, L"exit [N]              ends kvhost with exit code N"},
    {L"call", CmdCall, L"call file [args]      runs a batch file or program"},
    {L"plugin", CmdPlugin, L"plugin [/l file|/u name]  loads or unloads a plug-in; lists them"},
    {L"cd", CmdCd, L"cd [directory]        shows or changes the current directory"},
    {L"help", CmdHelp, L"help                  this list"},
};

int CmdHelp(std::wstring_view) {
    std::wstring text = L"Internal commands of kvhost:\r\n";
    for (const auto& command : kInternalCommands) text += L"  " + std::wstring(command.summary) + L"\r\n";
    text += L"Anything else runs a plug-in command, a batch file (.btm .bat .cmd) or a program\r\n"
            L"(.exe .com) from the current directory or PATH. Separate commands with &;\r\n"
            L"`backquotes` keep text unexpanded.\r\n";
    WriteStdout(text);
    return 0;
}

}  // namespace

void RunServiceTrigger(const wchar_t* service) {
    if (s_serviceTrigger.line.empty() || !EqualsNoCase(s_serviceTrigger.service, service)) return;
    const ServiceTrigger trigger = std::exchange(s_serviceTrigger, {});
    RunCommandLine(trigger.line);
}

bool RunInternalCommand(std::wstring_view name, std::wstring_view args, int* rc) {
    for (const auto& command : kInternalCommands)
        if (EqualsNoCase(name, command.name)) {
            *rc = command.run(args);
            return true;
        }
    if (!StartsWithNoCase(name, L"echo.")) return false;
    std::wstring line(name.substr(5));
    if (!args.empty()) (line += L' ') += args;
    *rc = CmdEcho(line);
    return true;
}

