// The run file of /X: every run of a series as a CSV line or a JSON object,
// in UTF-8 without a byte-order mark and with CR LF line ends. Owns the
// buffer the file is written through; the handle belongs to the series.
#include "trials/run_file.h"
#include <cstring>
#include <cwchar>
#include "frame/ascii_fold.h"
#include "frame/host_api.h"
#include "frame/plugin_exports.h"
#include "frame/plugin_frame.h"
#include "frame/sys_calls.h"
#include "trials/tick_units.h"

namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000;
// A million runs make some 40 MB of text; pieces this large keep the number
// of writes small, and a static buffer cannot fail at the series' end.
constexpr size_t kBufferBytes = 1 << 18;
// More than the longest run: five numbers of at most 20 digits and the text around them.
constexpr size_t kRunBytes = 192;
char s_buffer[kBufferBytes];

struct Writer {
    HANDLE file;
    size_t used;
    DWORD error;  // the first failed write's error code, 0 while all went well
};

void Flush(Writer& w) {
    DWORD written = 0;
    if (!w.error && w.used && (!WriteFile(w.file, s_buffer, static_cast<DWORD>(w.used), &written, nullptr) ||
                               written != w.used)) {
        const DWORD error = GetLastError();
        w.error = error ? error : ERROR_WRITE_FAULT;
    }
    w.used = 0;
}

void Room(Writer& w, size_t bytes) {
    if (kBufferBytes - w.used < bytes) Flush(w);
}

void PutByte(Writer& w, char c) { s_buffer[w.used++] = c; }

// ASCII text shorter than a run's room.
void Put(Writer& w, const char* text) {
    const size_t bytes = std::strlen(text);
    Room(w, bytes);
    std::memcpy(s_buffer + w.used, text, bytes);
    w.used += bytes;
}

void PutUnsigned(Writer& w, uint64_t value) {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    Room(w, static_cast<size_t>(count));
    while (count) PutByte(w, digits[--count]);
}

void PutSigned(Writer& w, int32_t value) {
    if (value < 0) Put(w, "-");
    PutUnsigned(w, value < 0 ? 0 - static_cast<uint64_t>(static_cast<int64_t>(value)) : static_cast<uint64_t>(value));
}

// One code point as UTF-8.
void PutCodePoint(Writer& w, uint32_t c) {
    Room(w, 4);
    if (c < 0x80) {
        PutByte(w, static_cast<char>(c));
    } else if (c < 0x800) {
        PutByte(w, static_cast<char>(0xC0 | c >> 6));
        PutByte(w, static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        PutByte(w, static_cast<char>(0xE0 | c >> 12));
        PutByte(w, static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        PutByte(w, static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        PutByte(w, static_cast<char>(0xF0 | c >> 18));
        PutByte(w, static_cast<char>(0x80 | (c >> 12 & 0x3F)));
        PutByte(w, static_cast<char>(0x80 | (c >> 6 & 0x3F)));
        PutByte(w, static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// A JSON string: quote and backslash escaped, every control character (C0,
// DEL and C1) as \u00XX, the rest raw UTF-8. A surrogate pair is one
// character; a lone surrogate has no UTF-8 form and becomes U+FFFD.
void PutJsonString(Writer& w, const wchar_t* text) {
    static const char kHex[] = "0123456789ABCDEF";
    Put(w, "\"");
    for (const wchar_t* p = text; *p; ++p) {
        const wchar_t c = *p;
        if (c == L'"' || c == L'\\') {
            Room(w, 2);
            PutByte(w, '\\');
            PutByte(w, static_cast<char>(c));
        } else if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
            Put(w, "\\u00");
            Room(w, 2);
            PutByte(w, kHex[c >> 4]);
            PutByte(w, kHex[c & 0xF]);
        } else if (IsHighSurrogate(c) && IsLowSurrogate(p[1])) {
            PutCodePoint(w, 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (p[1] - 0xDC00));
            ++p;
        } else {
            PutCodePoint(w, IsHighSurrogate(c) || IsLowSurrogate(c) ? 0xFFFD : c);
        }
    }
    Put(w, "\"");
}

const char* StatusName(const RunRecord& run, bool interrupted) {
    if (interrupted) return "made";  // the report never marked them
    switch (run.status) {
    case DroppedSlow: return "slow";
    case DroppedFast: return "fast";
    case Excluded: return "excluded";
    case Counted: break;
    }
    return "counted";
}

// One run: its five fields, each after its text of the format; the last text
// closes the run.
using RunTexts = const char* const[6];
constexpr RunTexts kCsvRun = {"", ",", ",", ",", ",", "\r\n"};
constexpr RunTexts kJsonRun = {"{\"run\": ", ", \"ticks\": ", ", \"ns\": ", ", \"rv\": ", ", \"status\": \"", "\"}"};

void PutRun(Writer& w, const RunRecord& run, bool interrupted, RunTexts& texts) {
    Room(w, kRunBytes);
    Put(w, texts[0]);
    PutUnsigned(w, run.runIndex + 1ull);
    Put(w, texts[1]);
    PutUnsigned(w, run.elapsed);
    Put(w, texts[2]);
    PutUnsigned(w, TicksToUnits(run.elapsed, kNanosecondsPerSecond));
    Put(w, texts[3]);
    PutSigned(w, run.exitCode);
    Put(w, texts[4]);
    Put(w, StatusName(run, interrupted));
    Put(w, texts[5]);
}

// The figures as the _KV variables give them, in the same order; null where
// a variable is empty, and all of them for an interrupted series.
void PutJsonFigures(Writer& w, bool interrupted) {
    static const struct {
        const char* name;
        int (*variable)(wchar_t*);
    } kFigures[] = {{"counted", _kvruns}, {"errors", _kverrors},     {"avg_ns", _kvavg},
                    {"median_ns", _kvmedian}, {"min_ns", _kvmin},    {"max_ns", _kvmax},
                    {"stddev_ns", _kvstddev}, {"total_ns", _kvtotal}};
    bool first = true;
    for (const auto& figure : kFigures) {
        Put(w, first ? "\"" : ",\r\n\"");
        first = false;
        Put(w, figure.name);
        Put(w, "\": ");
        wchar_t value[32] = L"";
        if (!interrupted) figure.variable(value);
        if (!value[0]) Put(w, "null");
        for (const wchar_t* digit = value; *digit; ++digit) PutCodePoint(w, *digit);
    }
    Put(w, "\r\n}\r\n");
}

void PutJson(Writer& w, const RunFileSeries& series) {
    Put(w, "{\r\n\"command\": ");
    PutJsonString(w, series.command);
    Put(w, ",\r\n\"frequency\": ");
    PutUnsigned(w, g_state.perfFrequency);
    Put(w, ",\r\n\"requested\": ");
    PutUnsigned(w, series.requestedRuns);
    Put(w, series.interrupted ? ",\r\n\"interrupted\": true" : ",\r\n\"interrupted\": false");
    Put(w, ",\r\n\"runs\": [\r\n");
    for (uint32_t i = 0; i < series.madeRuns; ++i) {
        PutRun(w, series.records[i], series.interrupted, kJsonRun);
        Put(w, i + 1 == series.madeRuns ? "\r\n" : ",\r\n");
    }
    Put(w, "],\r\n");
    PutJsonFigures(w, series.interrupted);
}

void PutCsv(Writer& w, const RunFileSeries& series) {
    Put(w, "run,ticks,nanoseconds,exit_code,status\r\n");
    for (uint32_t i = 0; i < series.madeRuns; ++i) PutRun(w, series.records[i], series.interrupted, kCsvRun);
}

}  // namespace

bool CreateRunFile(const wchar_t* name, RunFile* file) {
    *file = RunFile{};
    if (!name) return true;
    // Not shared for writing: a second KV naming the same file while this
    // series runs gets a clear error instead of mixing its runs into it.
    HANDLE handle = g_sys.createFileW(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();  // before any host call can change it
        PrintErrorPrefix();
        Qprintf(GetStdHandle(STD_ERROR_HANDLE), L"Cannot create the run file \"%s\": Windows error %u\r\n", name,
                static_cast<unsigned>(error));
        return false;
    }
    const size_t chars = std::wcslen(name);
    file->handle = handle;
    file->json = chars >= 5 && EqualsFoldingAscii(name + chars - 5, L".json");
    return true;
}

void KeepRunFile(const RunFile& file, const RunFileSeries& series, bool mayCallHost) {
    if (!file.handle) return;
    Writer w{file.handle, 0, 0};
    if (file.json)
        PutJson(w, series);
    else
        PutCsv(w, series);
    Flush(w);
    if (!w.error || !mayCallHost) return;
    PrintErrorPrefix();
    Qprintf(GetStdHandle(STD_ERROR_HANDLE), L"Cannot write the run file: Windows error %u\r\n",
            static_cast<unsigned>(w.error));
}
