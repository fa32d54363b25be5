// Text output of the stand-in host: the printf-style formatter behind Printf
// and Qprintf, writing to console or file handles, the error line, and small
// text helpers. Owns no state: every write looks up its handle afresh.
#include "host_engine.h"
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwctype>

namespace {

// Huge widths from a bad format must not exhaust memory.
constexpr int kMaxFieldWidth = 1 << 16;

void AppendPadded(std::wstring& out, const wchar_t* text, size_t length, int width, bool left) {
    size_t pad = width > 0 && static_cast<size_t>(width) > length ? width - length : 0;
    if (!left) out.append(pad, L' ');
    out.append(text, length);
    if (left) out.append(pad, L' ');
}

struct NumberSpec {
    bool left, zero, plus, space, alt;
    int width, precision;
};

void AppendNumber(std::wstring& out, unsigned long long magnitude, bool negative, unsigned base,
                  bool upper, const NumberSpec& spec) {
    wchar_t digits[72];
    int count = 0;
    const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    do {
        digits[count++] = set[magnitude % base];
        magnitude /= base;
    } while (magnitude);
    if (spec.precision == 0 && count == 1 && digits[0] == L'0') count = 0;

    std::wstring prefix;
    if (negative) prefix = L"-";
    else if (spec.plus && base == 10) prefix = L"+";
    else if (spec.space && base == 10) prefix = L" ";
    if (spec.alt && base == 16 && count) prefix += upper ? L"0X" : L"0x";
    if (spec.alt && base == 8) prefix += L"0";

    int zeros = spec.precision > count ? spec.precision - count : 0;
    int body = static_cast<int>(prefix.size()) + zeros + count;
    if (spec.zero && !spec.left && spec.precision < 0 && spec.width > body) {
        zeros += spec.width - body;
        body = spec.width;
    }
    int pad = spec.width > body ? spec.width - body : 0;
    if (!spec.left) out.append(pad, L' ');
    out += prefix;
    out.append(zeros, L'0');
    while (count) out += digits[--count];
    if (spec.left) out.append(pad, L' ');
}

int ReadCount(const wchar_t*& p, va_list& args, bool* fromArgs) {
    *fromArgs = false;
    if (*p == L'*') {
        ++p;
        *fromArgs = true;
        return va_arg(args, int);
    }
    int value = 0;
    while (*p >= L'0' && *p <= L'9') {
        if (value < kMaxFieldWidth) value = value * 10 + (*p - L'0');
        ++p;
    }
    return value < kMaxFieldWidth ? value : kMaxFieldWidth;
}

}  // namespace

std::wstring FormatText(const wchar_t* format, va_list incoming) {
    std::wstring out;
    if (!format) return out;
    va_list args;
    va_copy(args, incoming);
    const wchar_t* p = format;
    while (*p) {
        if (*p != L'%') {
            const wchar_t* run = p;
            while (*p && *p != L'%') ++p;
            out.append(run, p - run);
            continue;
        }
        const wchar_t* start = p++;
        if (*p == L'%') {
            out += L'%';
            ++p;
            continue;
        }
        NumberSpec spec{};
        for (;; ++p) {
            if (*p == L'-') spec.left = true;
            else if (*p == L'0') spec.zero = true;
            else if (*p == L'+') spec.plus = true;
            else if (*p == L' ') spec.space = true;
            else if (*p == L'#') spec.alt = true;
            else break;
        }
        bool fromArgs;
        spec.width = ReadCount(p, args, &fromArgs);
        if (spec.width < 0) {
            spec.left = true;
            spec.width = spec.width == INT_MIN ? kMaxFieldWidth : -spec.width;
        }
        if (spec.width > kMaxFieldWidth) spec.width = kMaxFieldWidth;
        spec.precision = -1;
        if (*p == L'.') {
            ++p;
            spec.precision = ReadCount(p, args, &fromArgs);
            if (spec.precision < 0) spec.precision = -1;
            if (spec.precision > kMaxFieldWidth) spec.precision = kMaxFieldWidth;
        }
        // Size: 64 for I64/ll/z/j/t/I, 'h' for short or narrow, 'l' for long or wide.
        int size = 0;
        if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') { size = 64; p += 3; }
        else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') { p += 3; }
        else if (p[0] == L'l' && p[1] == L'l') { size = 64; p += 2; }
        else if (*p == L'l' || *p == L'w') { size = 'l'; ++p; }
        else if (*p == L'h') { size = 'h'; ++p; if (*p == L'h') ++p; }
        else if (*p == L'z' || *p == L'j' || *p == L't' || *p == L'I') { size = 64; ++p; }
        wchar_t conversion = *p;
        if (!conversion) {
            out.append(start);  // an incomplete conversion at the end is text
            break;
        }
        ++p;
        switch (conversion) {
        case L'd':
        case L'i': {
            long long value = size == 64 ? va_arg(args, long long) : va_arg(args, int);
            if (size == 'h') value = static_cast<short>(value);
            unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                     : static_cast<unsigned long long>(value);
            AppendNumber(out, magnitude, value < 0, 10, false, spec);
            break;
        }
        case L'u':
        case L'x':
        case L'X':
        case L'o': {
            unsigned long long value = size == 64 ? va_arg(args, unsigned long long)
                                                  : va_arg(args, unsigned int);
            if (size == 'h') value = static_cast<unsigned short>(value);
            unsigned base = conversion == L'u' ? 10 : conversion == L'o' ? 8 : 16;
            AppendNumber(out, value, false, base, conversion == L'X', spec);
            break;
        }
        case L'p': {
            spec.precision = 16;
            AppendNumber(out, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, true, spec);
            break;
        }
        case L'c':
        case L'C': {
            wchar_t c = static_cast<wchar_t>(va_arg(args, int));
            AppendPadded(out, &c, 1, spec.width, spec.left);
            break;
        }
        case L's':
        case L'S': {
            bool narrow = (conversion == L's' && size == 'h') || (conversion == L'S' && size != 'l');
            if (narrow) {
                const char* text = va_arg(args, const char*);
                if (!text) text = "(null)";
                size_t length = strlen(text);
                if (spec.precision >= 0 && static_cast<size_t>(spec.precision) < length) length = spec.precision;
                std::wstring wide;
                if (length) {
                    int chars = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
                    wide.resize(chars);
                    MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide.data(), chars);
                }
                AppendPadded(out, wide.data(), wide.size(), spec.width, spec.left);
            } else {
                const wchar_t* text = va_arg(args, const wchar_t*);
                if (!text) text = L"(null)";
                size_t length = spec.precision >= 0 ? wcsnlen(text, spec.precision) : wcslen(text);
                AppendPadded(out, text, length, spec.width, spec.left);
            }
            break;
        }
        default:
            out.append(start, p - start);  // unknown conversion: shown as written
            break;
        }
    }
    va_end(args);
    return out;
}

void WriteText(HANDLE handle, std::wstring_view text) {
    if (text.empty() || handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode;
    if (GetConsoleMode(handle, &mode)) {
        const wchar_t* p = text.data();
        size_t left = text.size();
        while (left) {
            DWORD chunk = left > 16384 ? 16384 : static_cast<DWORD>(left);
            DWORD written = 0;
            if (!WriteConsoleW(handle, p, chunk, &written, nullptr) || written == 0) return;
            p += written;
            left -= written;
        }
        return;
    }
    // Files and pipes get UTF-8, without a byte-order mark, so the output of a
    // run can be compared and read with ordinary tools.
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
    if (bytes <= 0) return;
    std::string utf8(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes,
                        nullptr, nullptr);
    const char* p = utf8.data();
    DWORD left = static_cast<DWORD>(bytes);
    while (left) {
        DWORD written = 0;
        if (!WriteFile(handle, p, left, &written, nullptr) || written == 0) return;
        p += written;
        left -= written;
    }
}

void WriteStdout(std::wstring_view text) { WriteText(GetStdHandle(STD_OUTPUT_HANDLE), text); }
void WriteStderr(std::wstring_view text) { WriteText(GetStdHandle(STD_ERROR_HANDLE), text); }

void ReportError(std::wstring_view message) {
    std::wstring line = L"kvhost: ";
    std::wstring batchPath;
    int batchLine;
    if (CurrentBatch(&batchPath, &batchLine)) {
        line += batchPath;
        line += L" [" + std::to_wstring(batchLine) + L"]  ";
    }
    line += message;
    line += L"\r\n";
    WriteStderr(line);
}

std::wstring SystemMessage(DWORD error) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message;
    if (length && text) message.assign(text, length);
    if (text) LocalFree(text);
    while (!message.empty() && (IsBlank(message.back()) || message.back() == L'.')) message.pop_back();
    if (message.empty()) message = L"error " + std::to_wstring(error);
    return message;
}

std::wstring FullPath(const std::wstring& path) {
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (!length) return path;
    std::wstring full(length, L'\0');
    full.resize(GetFullPathNameW(path.c_str(), length, full.data(), nullptr));
    return full;
}

static wchar_t FoldAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + 32) : c; }

bool EqualsNoCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

bool StartsWithNoCase(std::wstring_view text, std::wstring_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::wstring_view TrimBlanks(std::wstring_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

bool ParseInteger(std::wstring_view text, long long* value) {
    text = TrimBlanks(text);
    bool negative = false;
    if (!text.empty() && (text[0] == L'-' || text[0] == L'+')) {
        negative = text[0] == L'-';
        text.remove_prefix(1);
    }
    unsigned base = 10;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return false;
    unsigned long long result = 0;
    for (wchar_t c : text) {
        unsigned digit;
        if (c >= L'0' && c <= L'9') digit = c - L'0';
        else if (base == 16 && c >= L'a' && c <= L'f') digit = c - L'a' + 10;
        else if (base == 16 && c >= L'A' && c <= L'F') digit = c - L'A' + 10;
        else return false;
        result = result * base + digit;
        if (result > 0xFFFFFFFFULL) return false;
    }
    *value = negative ? -static_cast<long long>(result) : static_cast<long long>(result);
    return true;
}
