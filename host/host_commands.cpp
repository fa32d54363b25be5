// The command engine of the stand-in host: splitting a line at &, expansion,
// plug-in and internal commands, external programs and batch files. Owns the
// batch-file stack, the last exit code and the exit request.
#include "host_engine.h"
#include <mmsystem.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct BatchFrame {
    std::wstring path;               // full path, for %_batchname
    std::vector<std::wstring> args;  // %0 (as invoked) to the last argument
    std::wstring argText;            // %*: the argument text as given
    int line = 0;                    // the line being run, 1 for the first
    bool quit = false;
    int quitCode = 0;
};

std::vector<BatchFrame*> s_batches;
int s_depth = 0;
int s_lastExitCode = 0;
bool s_exitRequested = false;
int s_exitCode = 0;

// "whenoption": a command line to run once, right after the option is next
// set to the value.
struct OptionTrigger {
    std::wstring name, value, line;
};
OptionTrigger s_trigger;

// Deep enough for any real use, shallow enough that a batch file that runs
// itself, or a command that runs itself, ends with a message, not a stack overflow.
constexpr int kMaxCommandDepth = 100;
constexpr size_t kMaxBatchDepth = 32;
constexpr size_t kMaxProcessLine = 32767;

const wchar_t* const kProgramExtensions[] = {L".exe", L".com", L".bat", L".btm", L".cmd"};

bool HasExtension(std::wstring_view name, std::wstring_view extension) {
    return name.size() > extension.size() &&
           EqualsNoCase(name.substr(name.size() - extension.size()), extension);
}

bool IsBatchName(std::wstring_view name) {
    return HasExtension(name, L".bat") || HasExtension(name, L".btm") || HasExtension(name, L".cmd");
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

// Splits a command's text into its name (quotes removed) and the rest, whose
// leading blanks are skipped.
void SplitName(std::wstring_view text, std::wstring_view& name, std::wstring_view& rest) {
    size_t end;
    if (!text.empty() && text[0] == L'"') {
        size_t close = text.find(L'"', 1);
        if (close == std::wstring_view::npos) close = text.size();
        name = text.substr(1, close - 1);
        end = close < text.size() ? close + 1 : close;
    } else {
        end = 0;
        while (end < text.size() && !IsBlank(text[end])) ++end;
        name = text.substr(0, end);
    }
    rest = text.substr(end);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
}

std::vector<std::wstring> SplitBatchArgs(std::wstring_view text) {
    std::vector<std::wstring> args;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && IsBlank(text[i])) ++i;
        if (i >= text.size()) break;
        size_t start = i;
        bool quoted = false;
        while (i < text.size() && (quoted || !IsBlank(text[i]))) {
            if (text[i] == L'"') quoted = !quoted;
            ++i;
        }
        args.emplace_back(text.substr(start, i - start));
    }
    return args;
}

bool ReadBatchLines(const std::wstring& path, std::vector<std::wstring>& lines) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr)) && got) bytes.append(chunk, got);
    CloseHandle(file);
    if (!ok) return false;

    std::wstring text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    } else {
        size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
        const char* data = bytes.data() + skip;
        int size = static_cast<int>(bytes.size() - skip);
        // UTF-8 when the file is valid UTF-8, else the ANSI code page of older editors.
        UINT codePage = CP_UTF8;
        int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, size, nullptr, 0);
        if (chars == 0 && size > 0) {
            codePage = CP_ACP;
            chars = MultiByteToWideChar(CP_ACP, 0, data, size, nullptr, 0);
        }
        text.resize(chars);
        if (chars) MultiByteToWideChar(codePage, 0, data, size, text.data(), chars);
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        lines.push_back(std::move(line));
        start = end + 1;
    }
    return true;
}

int RunBatchFile(const std::wstring& path, std::wstring_view invokedAs, std::wstring_view argText) {
    if (s_batches.size() >= kMaxBatchDepth) {
        ReportError(L"Batch files nested too deeply (more than " + std::to_wstring(kMaxBatchDepth) +
                    L" levels)");
        return 1;
    }
    std::vector<std::wstring> lines;
    if (!ReadBatchLines(path, lines)) {
        DWORD error = GetLastError();
        ReportError(L"Cannot read batch file \"" + path + L"\": " + SystemMessage(error));
        return 2;
    }
    BatchFrame frame;
    frame.path = path;
    frame.args.emplace_back(invokedAs);
    for (auto& arg : SplitBatchArgs(argText)) frame.args.push_back(std::move(arg));
    frame.argText = std::wstring(TrimBlanks(argText));
    s_batches.push_back(&frame);
    // Popped however the file ends, a break unwinding through it included.
    struct Pop {
        ~Pop() { s_batches.pop_back(); }
    } pop;
    int rc = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
        frame.line = static_cast<int>(i + 1);
        if (TrimBlanks(lines[i]).empty()) continue;
        try {
            rc = RunCommandLine(lines[i]);
        } catch (const BreakUnwind&) {
            // A command processor asks whether to cancel the batch job; here
            // the host option BreakBatch answers. Cancel ends every batch file
            // up to the command line that started them.
            if (!ContinueBatchAfterBreak()) throw;
            AbandonLine();
            rc = 1;
        }
        if (frame.quit) {
            rc = frame.quitCode;
            break;
        }
        if (s_exitRequested) break;
    }
    return rc;
}

// Duplicates a standard handle as inheritable for the child; the plug-in may
// have replaced it with a handle it opened without inheritance.
HANDLE InheritableCopy(DWORD which) {
    HANDLE original = GetStdHandle(which);
    if (original == nullptr || original == INVALID_HANDLE_VALUE) return nullptr;
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
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
    HANDLE handles[3] = {InheritableCopy(STD_INPUT_HANDLE), InheritableCopy(STD_OUTPUT_HANDLE),
                         InheritableCopy(STD_ERROR_HANDLE)};
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = handles[0];
    startup.hStdOutput = handles[1];
    startup.hStdError = handles[2];
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                  &startup, &process);
    DWORD error = GetLastError();
    for (HANDLE handle : handles)
        if (handle) CloseHandle(handle);
    if (!started) {
        ReportError(L"Cannot run \"" + path + L"\": " + SystemMessage(error));
        return error ? static_cast<int>(error) : 1;
    }
    CloseHandle(process.hThread);
    PumpingWait(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
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

// ---- Internal commands ----

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
    WriteStdout(std::wstring(args) + L"\r\n");
    return 0;
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

int CmdOption(std::wstring_view args) {
    args = TrimBlanks(args);
    if (args.empty()) {
        ListOptions();
        return 0;
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
        SetOption(name, value);
        if (!s_trigger.line.empty() && EqualsNoCase(name, s_trigger.name) && EqualsNoCase(value, s_trigger.value)) {
            const std::wstring line = std::move(s_trigger.line);
            s_trigger = {};
            RunCommandLine(line);
        }
    }
    return 0;
}

// whenoption Name=Value command: what a real host may do inside any command a
// plug-in runs (call the keystroke hook, take a break) made to happen inside
// "option //Name=Value".
int CmdWhenOption(std::wstring_view args) {
    std::wstring_view name, rest;
    SplitName(TrimBlanks(args), name, rest);
    const size_t equals = name.find(L'=');
    if (equals == std::wstring_view::npos || equals == 0 || TrimBlanks(rest).empty()) {
        ReportError(L"Usage: whenoption Name=Value command");
        return 1;
    }
    s_trigger = {std::wstring(name.substr(0, equals)), std::wstring(name.substr(equals + 1)),
                 std::wstring(TrimBlanks(rest))};
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

int CmdCtrlC(std::wstring_view args) {
    args = TrimBlanks(args);
    long long delay = 0;
    if (StartsWithNoCase(args, L"/m") && (args.size() == 2 || IsBlank(args[2]))) args = TrimBlanks(args.substr(2));
    if (!args.empty() && (!ParseInteger(args, &delay) || delay < 0 || delay >= INFINITE)) {
        ReportError(L"Usage: ctrlc [/m N]  (Ctrl+C now, or in N milliseconds)");
        return 1;
    }
    return RaiseBreak(static_cast<DWORD>(delay));
}

int RunSingle(std::wstring_view text);

// if [not] text1==text2 command: the texts are compared without regard to case.
int CmdIf(std::wstring_view args) {
    args = TrimBlanks(args);
    bool negate = StartsWithNoCase(args, L"not") && args.size() > 3 && IsBlank(args[3]);
    if (negate) args = TrimBlanks(args.substr(3));
    size_t equals = args.find(L"==");
    size_t end = equals == std::wstring_view::npos ? equals : args.find_first_of(L" \t", equals + 2);
    if (equals == std::wstring_view::npos || end == std::wstring_view::npos) {
        ReportError(L"Usage: if [not] text1==text2 command");
        return 1;
    }
    bool same = EqualsNoCase(TrimBlanks(args.substr(0, equals)), args.substr(equals + 2, end - equals - 2));
    return same != negate ? RunSingle(args.substr(end)) : 0;
}

int CmdExitcode(std::wstring_view args) {
    int code = 0;
    if (int rc = ParseCodeArgument(args, L"exitcode", &code)) return rc;
    return code;
}

int CmdQuit(std::wstring_view args) {
    int code = 0;
    if (int rc = ParseCodeArgument(args, L"quit", &code)) return rc;
    if (!s_batches.empty()) {
        s_batches.back()->quit = true;
        s_batches.back()->quitCode = code;
    }
    return code;
}

int CmdExit(std::wstring_view args) {
    int code = 0;
    if (int rc = ParseCodeArgument(args, L"exit", &code)) return rc;
    s_exitRequested = true;
    s_exitCode = code;
    return code;
}

std::wstring Unquoted(std::wstring_view text) {
    text = TrimBlanks(text);
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') text = text.substr(1, text.size() - 2);
    return std::wstring(text);
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
    {L"if", CmdIf, L"if [not] a==b command runs the command when the texts match (case ignored)"},
    {L"keyhook", CmdKeyHook, L"keyhook               calls the keystroke hooks as before a new command line"},
    {L"whenoption", CmdWhenOption, L"whenoption N=V cmd    runs cmd once, inside the next option //N=V"},
    {L"ctrlc", CmdCtrlC, L"ctrlc [/m N]          presses Ctrl+C in this console, now or in N milliseconds"},
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

const InternalCommand* FindInternal(std::wstring_view name) {
    for (const auto& command : kInternalCommands)
        if (EqualsNoCase(name, command.name)) return &command;
    return nullptr;
}

bool IsComment(std::wstring_view text) {
    if (text.size() >= 2 && text[0] == L':' && text[1] == L':') return true;
    return StartsWithNoCase(text, L"rem") && (text.size() == 3 || IsBlank(text[3]));
}

std::wstring WithoutBackquotes(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text)
        if (c != L'`') out += c;
    return out;
}

// "command > file" and "command >> file", the first '>' outside quotes and
// backquotes: the command's standard output goes to the file. The host puts
// its own handle back and closes the file when the command ends, however it
// ends: a break unwinding through it included, before the next line is read.
class OutputRedirection {
public:
    OutputRedirection() = default;
    OutputRedirection(const OutputRedirection&) = delete;
    OutputRedirection& operator=(const OutputRedirection&) = delete;
    ~OutputRedirection() {
        if (!file_) return;
        SetStdHandle(STD_OUTPUT_HANDLE, saved_);
        CloseHandle(file_);
    }
    // Takes the redirection off the text; false after an error message.
    bool Take(std::wstring_view& text) {
        bool inQuotes = false, inBackquotes = false;
        size_t at = 0;
        for (; at < text.size(); ++at) {
            if (text[at] == L'"' && !inBackquotes) inQuotes = !inQuotes;
            else if (text[at] == L'`' && !inQuotes) inBackquotes = !inBackquotes;
            else if (text[at] == L'>' && !inQuotes && !inBackquotes) break;
        }
        if (at == text.size()) return true;
        const bool append = at + 1 < text.size() && text[at + 1] == L'>';
        const std::wstring path = Unquoted(text.substr(at + (append ? 2 : 1)));
        text = TrimBlanks(text.substr(0, at));
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (path.empty() || file == INVALID_HANDLE_VALUE) {
            ReportError(L"Cannot write to \"" + path + L"\": " + SystemMessage(GetLastError()));
            return false;
        }
        if (append) SetFilePointer(file, 0, nullptr, FILE_END);
        saved_ = GetStdHandle(STD_OUTPUT_HANDLE);
        file_ = file;
        SetStdHandle(STD_OUTPUT_HANDLE, file);
        return true;
    }

private:
    HANDLE file_ = nullptr, saved_ = nullptr;
};

int RunSingle(std::wstring_view text) {
    text = TrimBlanks(text);
    if (!text.empty() && text[0] == L'@') text = TrimBlanks(text.substr(1));
    if (text.empty() || IsComment(text)) return 0;
    // One backquoted string: its text runs now, expanded at this moment.
    if (text.size() >= 2 && text[0] == L'`' && text.find(L'`', 1) == text.size() - 1)
        return RunCommandLine(text.substr(1, text.size() - 2));
    std::wstring expanded;
    if (text.find(L'%') != std::wstring_view::npos) {
        if (int rc = ExpandText(text, expanded)) return rc;
        text = TrimBlanks(expanded);
        if (text.empty()) return 0;
    }
    OutputRedirection redirection;
    if (!redirection.Take(text)) return 1;
    std::wstring_view name, rest;
    SplitName(text, name, rest);
    rest = TrimBlanks(rest);

    if (PluginTextFn command = FindPluginCommand(name)) {
        // The plug-in may write into its argument; it gets its own copy with
        // room to spare, backquotes kept for it to pass back later.
        std::vector<wchar_t> arguments(rest.begin(), rest.end());
        arguments.resize(rest.size() + 8192, L'\0');
        return command(arguments.data());
    }

    std::wstring plainName, plainRest;
    if (name.find(L'`') != std::wstring_view::npos) name = plainName = WithoutBackquotes(name);
    if (rest.find(L'`') != std::wstring_view::npos) rest = plainRest = WithoutBackquotes(rest);

    if (const InternalCommand* command = FindInternal(name)) return command->run(rest);
    if (StartsWithNoCase(name, L"echo.")) {
        std::wstring line(name.substr(5));
        if (!rest.empty()) (line += L' ') += rest;
        return CmdEcho(line);
    }
    return RunProgram(std::wstring(name), rest);
}

}  // namespace

int RunCommandLine(std::wstring_view line) {
    if (s_depth >= kMaxCommandDepth) {
        ReportError(L"Commands nested too deeply");
        return 1;
    }
    if (s_depth == 0) s_exitRequested = false;
    // Counted back however the line ends, a break unwinding through it included.
    struct Depth {
        Depth() { ++s_depth; }
        ~Depth() { --s_depth; }
    } depth;
    std::wstring_view trimmed = TrimBlanks(line);
    if (!trimmed.empty() && trimmed[0] == L'@') trimmed = TrimBlanks(trimmed.substr(1));
    int rc = 0;
    if (IsComment(trimmed)) {
        // A comment takes the whole line, & and % included.
        rc = 0;
    } else {
        bool inQuotes = false, inBackquotes = false;
        size_t start = 0;
        for (size_t i = 0; i <= line.size(); ++i) {
            wchar_t c = i < line.size() ? line[i] : L'&';
            if (c == L'"' && !inBackquotes) inQuotes = !inQuotes;
            else if (c == L'`' && !inQuotes) inBackquotes = !inBackquotes;
            else if (c == L'&' && ((!inQuotes && !inBackquotes) || i == line.size())) {
                // A break abandons the rest of the line: noticed before each
                // command, and after one (a program that got the break itself).
                ThrowIfBreak();
                rc = RunSingle(line.substr(start, i - start));
                ThrowIfBreak();
                s_lastExitCode = rc;
                start = i + 1;
                if (s_exitRequested || (!s_batches.empty() && s_batches.back()->quit)) break;
            }
        }
    }
    return rc;
}

int BatchDepth() { return static_cast<int>(s_batches.size()); }

bool CurrentBatch(std::wstring* path, int* line) {
    if (s_batches.empty()) return false;
    if (path) *path = s_batches.back()->path;
    if (line) *line = s_batches.back()->line;
    return true;
}

bool BatchArgument(int n, std::wstring& value) {
    if (s_batches.empty()) return false;
    const BatchFrame& frame = *s_batches.back();
    if (n < 0) {
        value = frame.argText;
        return true;
    }
    if (static_cast<size_t>(n) >= frame.args.size()) return false;
    value = frame.args[n];
    return true;
}

int LastExitCode() { return s_lastExitCode; }

bool ExitRequested(int* code) {
    if (s_exitRequested && code) *code = s_exitCode;
    return s_exitRequested;
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
