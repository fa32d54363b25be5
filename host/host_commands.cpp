// The command engine of the stand-in host: a line split at & outside quotes
// and backquotes, each command's first word replaced by its alias, then the
// command expanded, redirected and run as a plug-in command, an internal
// command, a batch file or a program. Owns the aliases, the nesting depth,
// the last exit code and the exit request.
#include "host_engine.h"
#include <utility>
#include <vector>

namespace {

// Name and value; names compare without regard to case.
std::vector<std::pair<std::wstring, std::wstring>> s_aliases;

int s_depth = 0;
int s_lastExitCode = 0;
bool s_exitRequested = false;
int s_exitCode = 0;

// Deep enough for any real use, shallow enough that a command that runs
// itself ends with a message, not a stack overflow.
constexpr int kMaxCommandDepth = 100;

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
        // Inheritable, so the programs the command starts can write there.
        SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
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

}  // namespace

bool ExpandAlias(std::wstring_view text, std::wstring& out) {
    size_t end = 0;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    const std::wstring_view word = text.substr(0, end);
    for (const auto& alias : s_aliases) {
        if (!EqualsNoCase(alias.first, word)) continue;
        // Once: an alias whose value starts with its own name runs the command of that name.
        out = alias.second;
        out.append(text.substr(end));
        return true;
    }
    return false;
}

void SetAlias(std::wstring_view name, std::wstring_view value) {
    for (auto it = s_aliases.begin(); it != s_aliases.end(); ++it) {
        if (!EqualsNoCase(it->first, name)) continue;
        if (value.empty()) s_aliases.erase(it);
        else it->second = value;
        return;
    }
    if (!value.empty()) s_aliases.emplace_back(std::wstring(name), std::wstring(value));
}

void ListAliases() {
    for (const auto& alias : s_aliases) WriteStdout(alias.first + L"=" + alias.second + L"\r\n");
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

std::wstring Unquoted(std::wstring_view text) {
    text = TrimBlanks(text);
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"') text = text.substr(1, text.size() - 2);
    return std::wstring(text);
}

int RunSingle(std::wstring_view text) {
    text = TrimBlanks(text);
    if (!text.empty() && text[0] == L'@') text = TrimBlanks(text.substr(1));
    if (text.empty() || IsComment(text)) return 0;
    std::wstring aliased;
    if (ExpandAlias(text, aliased)) text = TrimBlanks(aliased);
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

    int rc = 0;
    if (RunInternalCommand(name, rest, &rc)) return rc;
    return RunProgram(std::wstring(name), rest);
}


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
                // A command that returned has its exit code, also when the
                // break it returned on abandons the rest of the line.
                s_lastExitCode = rc;
                ThrowIfBreak();
                start = i + 1;
                if (s_exitRequested || BatchQuitting()) break;
            }
        }
    }
    return rc;
}

int LastExitCode() { return s_lastExitCode; }

bool ExitRequested(int* code) {
    if (s_exitRequested && code) *code = s_exitCode;
    return s_exitRequested;
}

void RequestExit(int code) {
    s_exitRequested = true;
    s_exitCode = code;
}
