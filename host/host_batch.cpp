// Batch files in the stand-in host: read whole (as ReadTextFile reads text),
// run line by line with their arguments, and cancelled or gone on with after
// a break. Owns the batch-file stack.
#include "host_engine.h"
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
// Deep enough for any real use, shallow enough that a batch file that runs
// itself ends with a message, not a stack overflow.
constexpr size_t kMaxBatchDepth = 32;

bool ReadBatchLines(const std::wstring& path, std::vector<std::wstring>& lines) {
    std::wstring text;
    if (!ReadTextFile(path, text)) return false;
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

}  // namespace

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
        if (ExitRequested(nullptr)) break;
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

void QuitBatch(int code) {
    if (s_batches.empty()) return;
    s_batches.back()->quit = true;
    s_batches.back()->quitCode = code;
}

bool BatchQuitting() { return !s_batches.empty() && s_batches.back()->quit; }
