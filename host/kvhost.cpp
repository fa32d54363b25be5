// kvhost.exe: the console front end of the stand-in host. Reads its
// arguments, loads the plug-ins, then runs one command line (/c), a batch
// file, or an interactive prompt through TakeCmd.dll. Owns no engine state.
#include <windows.h>
#include <string>
#include <vector>
#include "frame/host_api.h"
#include "host_control.h"
#include "line_reader.h"
#include "module_file.h"

namespace {

const wchar_t kHelpText[] =
    L"kvhost - a small command host for running and demonstrating Kelvane without TCC\r\n"
    L"\r\n"
    L"Usage:\r\n"
    L"  kvhost [options]                          interactive prompt (type exit to leave)\r\n"
    L"  kvhost [options] /c command line          runs one command line, then ends\r\n"
    L"  kvhost [options] batchfile [arguments]    runs a batch file (.btm .bat .cmd)\r\n"
    L"\r\n"
    L"Options:\r\n"
    L"  --plugin file   also loads this plug-in DLL (may be given more than once)\r\n"
    L"  --no-plugin     loads neither the Plugins folder nor kelvane.dll\r\n"
    L"  --help          shows this text\r\n"
    L"\r\n"
    L"At start-up kvhost loads, as TCC does, every DLL in the Plugins folder beside\r\n"
    L"it (in name order), then kelvane.dll from its own directory, so the KV\r\n"
    L"command and the %_trialrun variable are ready. Try:\r\n"
    L"  kvhost /c kv /?\r\n"
    L"  kvhost /c kv /n:5 delay /m 20\r\n"
    L"  kvhost /c kv /n:3 `echo run %_trialrun`\r\n"
    L"\r\n"
    L"Commands at the prompt: echo, set, option //Name=Value, delay [/m] N,\r\n"
    L"exitcode N, if [not] a==b command, if [not] a gt b command (and eq, ne, ge,\r\n"
    L"lt, le; integers by value), type file, copy [/q] from to, ctrlc [/l|/h] [/m N],\r\n"
    L"rem, quit [N], exit [N], whenoption [/b] Name=Value command, whencalled\r\n"
    L"Service command, keyhook, alias [name=command], conwindow [/other | /min |\r\n"
    L"/close], call, cd, plugin [/l file | /u name], help; plug-in commands; and\r\n"
    L"programs or batch files found in the current directory or on PATH. Separate\r\n"
    L"commands with &. Variables: %NAME%, %_batch,\r\n"
    L"%_batchname, %_batchline, %_4ver, %_transient, %[name], %@option[Name],\r\n"
    L"%0-%9, %? (last exit code); %% is a percent sign; text in `backquotes` is\r\n"
    L"not expanded until it runs.\r\n"
    L"\r\n"
    L"As TCC may, option sets no exit code of its own: it returns the last\r\n"
    L"program's. Programs get the standard handles as they are, inherited; echo\r\n"
    L"fails with exit code 1 when its text cannot be written.\r\n"
    L"\r\n"
    L"Ctrl+C or Ctrl+Break abandons the running command line and goes back to the\r\n"
    L"prompt; with /c kvhost ends with exit code 1. A command line a plug-in runs\r\n"
    L"(each run of KV) ends with exit code 3 instead, and until the prompt every\r\n"
    L"further one is refused with 3. In a batch file a break cancels the batch\r\n"
    L"job, unless option //BreakBatch=Continue is set: then the batch file goes on\r\n"
    L"with its next line. \"ctrlc\" is a Ctrl+C as typed (the process's console\r\n"
    L"control handlers see it, nothing else on the console does); with /l kvhost\r\n"
    L"leaves the whole line at once, with /h it takes a break of its own that no\r\n"
    L"handler sees.\r\n"
    L"\r\n"
    L"\"whencalled\" runs a command once inside a plug-in's next call of a host\r\n"
    L"service, e.g. whencalled TakeCommandIPC ctrlc /h. \"conwindow\" opens a window\r\n"
    L"on a thread of its own, as a console window belongs to the console host, puts\r\n"
    L"it in front and names it as the host's window (TakeCommandIPC \"HWND\"); /other\r\n"
    L"puts a window of yet another thread in front of it, /min minimises it.\r\n"
    L"\r\n"
    L"The exit code of kvhost is that of the last command it ran.\r\n";

void Write(HANDLE handle, const std::wstring& text) { Qprintf(handle, L"%s", text.c_str()); }

struct Token {
    std::wstring text;  // quotes removed
    size_t end;         // offset just after the token in the raw command line
};

// Walks the raw command line the way the C runtime splits it (blanks outside
// double quotes end a token), keeping the offsets, so "/c" can pass the rest
// of the line on exactly as typed.
std::vector<Token> Tokenize(const std::wstring& line, size_t* afterProgram) {
    std::vector<Token> tokens;
    size_t i = 0;
    bool first = true;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == L' ' || line[i] == L'\t')) ++i;
        if (i >= line.size()) break;
        Token token;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != L' ' && line[i] != L'\t'))) {
            if (line[i] == L'"') quoted = !quoted;
            else token.text += line[i];
            ++i;
        }
        token.end = i;
        if (first) {
            *afterProgram = i;
            first = false;
            continue;
        }
        tokens.push_back(token);
    }
    return tokens;
}

std::wstring RestOfLine(const std::wstring& line, size_t offset) {
    while (offset < line.size() && (line[offset] == L' ' || line[offset] == L'\t')) ++offset;
    return line.substr(offset);
}

std::wstring OwnDirectory() {
    const std::wstring path = ModuleFileName(nullptr);
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

// A line typed at the prompt, given with /c, or a batch file: run as the
// top level, where Ctrl+C abandons it.
int RunLine(const std::wstring& line, bool* broken = nullptr) {
    int brokenOff = 0;
    int rc = HostRunLine(line.c_str(), &brokenOff);
    if (broken) *broken = brokenOff != 0;
    return rc;
}

bool TitleUpdatesOn() {
    wchar_t buffer[1024] = L"%@option[UpdateTitle]";
    ExpandVariables(buffer, 1);
    return buffer[0] == L'Y' || buffer[0] == L'y';
}

int Interactive() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    bool console = GetConsoleMode(input, &mode) != 0;
    LineReader reader;
    std::wstring line;
    int rc = 0;
    HostTakeBreak();  // from here on Ctrl+C is the host's, at the prompt too
    for (;;) {
        // What the real host does on its way back to the prompt: the keystroke
        // hooks see an all-zero record, and waiting messages are handled.
        HostReturnToPrompt();
        bool titles = console && TitleUpdatesOn();
        if (titles) SetConsoleTitleW(L"kvhost");
        if (console) {
            wchar_t directory[MAX_PATH];
            DWORD length = GetCurrentDirectoryW(MAX_PATH, directory);
            Write(GetStdHandle(STD_OUTPUT_HANDLE), (length && length < MAX_PATH ? directory : L"") + std::wstring(L"> "));
        }
        if (!reader.Read(line)) break;
        if (line.find_first_not_of(L" \t") == std::wstring::npos) continue;
        if (titles) SetConsoleTitleW((L"kvhost - " + line).c_str());
        rc = RunLine(line);
        if (HostExitRequested(&rc)) break;
    }
    return rc;
}

int BadArguments(const std::wstring& problem) {
    Write(GetStdHandle(STD_ERROR_HANDLE), L"kvhost: " + problem + L"\r\nTry kvhost --help.\r\n");
    return 2;
}

struct Arguments {
    std::vector<std::wstring> plugins;
    bool defaultPlugins = true;
    bool haveCommand = false;
    bool transient = false;
    std::wstring commandLine;
};

// The line after /c, exactly as typed; one quoted line is the line itself
// (kvhost /c "exitcode 5").
std::wstring OneLine(const std::wstring& raw, size_t offset) {
    std::wstring line = RestOfLine(raw, offset);
    if (line.size() >= 2 && line.front() == L'"' && line.back() == L'"' && line.find(L'"', 1) == line.size() - 1)
        return line.substr(1, line.size() - 2);
    return line;
}

// A batch file and its arguments; percent signs in its name are part of the
// name, not variables.
std::wstring BatchLine(const std::wstring& file, const std::wstring& raw, size_t offset) {
    std::wstring name;
    for (wchar_t c : file) name += c == L'%' ? std::wstring(L"%%") : std::wstring(1, c);
    return L"\"" + name + L"\" " + RestOfLine(raw, offset);
}

// -1 when the arguments were all read into *a; otherwise the exit code
// (help shown, or a bad argument reported).
int ReadArguments(Arguments* a) {
    const std::wstring raw = GetCommandLineW();
    size_t afterProgram = 0;
    const std::vector<Token> tokens = Tokenize(raw, &afterProgram);
    for (size_t i = 0; i < tokens.size() && !a->haveCommand; ++i) {
        const std::wstring& t = tokens[i].text;
        if (t == L"--help" || t == L"-h" || t == L"/?" || t == L"-?") {
            Write(GetStdHandle(STD_OUTPUT_HANDLE), kHelpText);
            return 0;
        }
        if (t == L"--plugin") {
            if (i + 1 >= tokens.size()) return BadArguments(L"--plugin needs a DLL file name");
            a->plugins.push_back(tokens[++i].text);
        } else if (t == L"--no-plugin") {
            a->defaultPlugins = false;
        } else if (t == L"/c" || t == L"/C") {
            a->haveCommand = a->transient = true;
            a->commandLine = OneLine(raw, tokens[i].end);
        } else if (t.size() > 1 && t[0] == L'-' && t[1] == L'-') {
            return BadArguments(L"unknown option \"" + t + L"\"");
        } else {
            a->haveCommand = true;
            a->commandLine = BatchLine(t, raw, tokens[i].end);
        }
    }
    return -1;
}

// As TCC does at start-up: the Plugins folder beside the program, then
// kelvane.dll beside it, then those named with --plugin, all loaded before
// any of them starts.
void LoadPlugins(const Arguments& a) {
    if (a.defaultPlugins) {
        std::wstring folder = OwnDirectory() + L"\\Plugins";
        std::wstring path = OwnDirectory() + L"\\kelvane.dll";
        int fromFolder = HostLoadPluginFolder(folder.c_str());
        if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) HostAddPlugin(path.c_str());
        else if (fromFolder == 0)
            Write(GetStdHandle(STD_ERROR_HANDLE),
                  L"kvhost: " + path + L" not found and no plug-in in " + folder + L"; running without them\r\n");
    }
    for (const auto& plugin : a.plugins) HostAddPlugin(plugin.c_str());
    HostStartPlugins();
}

}  // namespace

int wmain() {
    Arguments arguments;
    const int done = ReadArguments(&arguments);
    if (done >= 0) return done;
    // The plug-ins see at start-up whether this is a one-shot run.
    if (arguments.transient) HostSetInternalVariable(L"_transient", L"1");
    LoadPlugins(arguments);
    const int rc = arguments.haveCommand ? RunLine(arguments.commandLine) : Interactive();
    HostUnloadPlugins();
    return rc;
}
