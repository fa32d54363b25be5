// Text output of the stand-in host: the printf-style formatter behind Printf
// and Qprintf, writing to console or file handles, the error line, and small
// text helpers. Owns no state: every write looks up its handle afresh.
#include "host_engine.h"
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include "frame/ascii_fold.h"

namespace {

// Huge widths from a bad format must not exhaust memory.
constexpr int kMaxFieldWidth = 1 << 16;

// One conversion as written: flags, width and precision (taken from the
// arguments where they are *), size and letter.
struct Conversion {
    std::wstring flags;
    int width = 0, precision = -1;
    int size = 0;  // 64, 'h' for short or narrow, 'l' for long or wide, 0
    wchar_t letter = 0;
};

int ReadCount(const wchar_t*& p, va_list& args) {
    if (*p == L'*') {
        ++p;
        return va_arg(args, int);
    }
    int value = 0;
    for (; *p >= L'0' && *p <= L'9'; ++p)
        if (value < kMaxFieldWidth) value = value * 10 + (*p - L'0');
    return value;
}

// What follows a '%'; false for a conversion cut off by the end of the format.
bool ReadConversion(const wchar_t*& p, va_list& args, Conversion* c) {
    while (*p && std::wcschr(L"-0+ #", *p)) c->flags += *p++;
    c->width = ReadCount(p, args);
    if (c->width < 0) {
        c->flags += L'-';
        c->width = c->width == INT_MIN ? kMaxFieldWidth : -c->width;
    }
    c->width = std::min(c->width, kMaxFieldWidth);
    if (*p == L'.') {
        c->precision = ReadCount(++p, args);
        c->precision = c->precision < 0 ? -1 : std::min(c->precision, kMaxFieldWidth);
    }
    if (std::wcsncmp(p, L"I64", 3) == 0) { c->size = 64; p += 3; }
    else if (std::wcsncmp(p, L"I32", 3) == 0) { p += 3; }
    else if (std::wcsncmp(p, L"ll", 2) == 0) { c->size = 64; p += 2; }
    else if (*p == L'l' || *p == L'w') { c->size = 'l'; ++p; }
    else if (*p == L'h') { c->size = 'h'; p += p[1] == L'h' ? 2 : 1; }
    else if (*p && std::wcschr(L"zjtI", *p)) { c->size = 64; ++p; }
    c->letter = *p;
    if (!*p) return false;
    ++p;
    return true;
}

bool HasFlag(const Conversion& c, wchar_t flag) { return c.flags.find(flag) != std::wstring::npos; }

// Blank padding to the width; text is never padded with zeros.
void AppendPadded(std::wstring& out, const wchar_t* text, size_t length, const Conversion& c) {
    const size_t pad = static_cast<size_t>(c.width) > length ? c.width - length : 0;
    const bool left = HasFlag(c, L'-');
    if (!left) out.append(pad, L' ');
    out.append(text, length);
    if (left) out.append(pad, L' ');
}

// A number as printf writes it: sign or blank (base 10), 0x or 0 for #,
// zeros up to the precision, or up to the width for the 0 flag when there is
// no precision. Done here rather than by the C runtime: Wine's msvcrt
// overruns a buffer on "%#025x" and zero-fills despite a precision.
void AppendNumber(std::wstring& out, unsigned long long magnitude, bool negative, unsigned base, bool upper,
                  const Conversion& c) {
    wchar_t digits[72];
    int count = 0;
    const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    do {
        digits[count++] = set[magnitude % base];
        magnitude /= base;
    } while (magnitude);
    if (c.precision == 0 && count == 1 && digits[0] == L'0') count = 0;
    std::wstring text = negative                          ? L"-"
                        : HasFlag(c, L'+') && base == 10 ? L"+"
                        : HasFlag(c, L' ') && base == 10 ? L" "
                                                          : L"";
    if (HasFlag(c, L'#') && base == 16 && count) text += upper ? L"0X" : L"0x";
    if (HasFlag(c, L'#') && base == 8) text += L'0';
    int zeros = c.precision > count ? c.precision - count : 0;
    const int body = static_cast<int>(text.size()) + zeros + count;
    if (HasFlag(c, L'0') && !HasFlag(c, L'-') && c.precision < 0 && c.width > body) zeros += c.width - body;
    text.append(zeros, L'0');
    while (count) text += digits[--count];
    AppendPadded(out, text.data(), text.size(), c);
}

// %s and %S: wide text, or narrow text in the ANSI code page, the precision
// counting the characters as given.
void AppendString(std::wstring& out, const Conversion& c, va_list& args) {
    if ((c.letter == L's' && c.size == 'h') || (c.letter == L'S' && c.size != 'l')) {
        const char* text = va_arg(args, const char*);
        if (!text) text = "(null)";
        const int bytes = static_cast<int>(c.precision >= 0 ? strnlen(text, c.precision) : strlen(text));
        const int chars = bytes ? MultiByteToWideChar(CP_ACP, 0, text, bytes, nullptr, 0) : 0;
        std::wstring wide(chars > 0 ? chars : 0, L'\0');
        if (chars > 0) MultiByteToWideChar(CP_ACP, 0, text, bytes, wide.data(), chars);
        AppendPadded(out, wide.data(), wide.size(), c);
        return;
    }
    const wchar_t* text = va_arg(args, const wchar_t*);
    if (!text) text = L"(null)";
    AppendPadded(out, text, c.precision >= 0 ? wcsnlen(text, c.precision) : wcslen(text), c);
}

// One conversion with its argument; false for a letter the host does not know.
bool AppendConversion(std::wstring& out, Conversion c, va_list& args) {
    switch (c.letter) {
    case L'd':
    case L'i': {
        long long value = c.size == 64 ? va_arg(args, long long) : va_arg(args, int);
        if (c.size == 'h') value = static_cast<short>(value);
        const unsigned long long magnitude = static_cast<unsigned long long>(value);
        AppendNumber(out, value < 0 ? 0ULL - magnitude : magnitude, value < 0, 10, false, c);
        return true;
    }
    case L'u':
    case L'x':
    case L'X':
    case L'o': {
        unsigned long long value = c.size == 64 ? va_arg(args, unsigned long long) : va_arg(args, unsigned);
        if (c.size == 'h') value = static_cast<unsigned short>(value);
        AppendNumber(out, value, false, c.letter == L'u' ? 10 : c.letter == L'o' ? 8 : 16, c.letter == L'X', c);
        return true;
    }
    case L'p':
        c.precision = 16;
        AppendNumber(out, reinterpret_cast<uintptr_t>(va_arg(args, void*)), false, 16, true, c);
        return true;
    case L'c':
    case L'C': {
        const wchar_t ch = static_cast<wchar_t>(va_arg(args, int));
        AppendPadded(out, &ch, 1, c);
        return true;
    }
    case L's':
    case L'S':
        AppendString(out, c, args);
        return true;
    default:
        return false;
    }
}

}  // namespace

std::wstring FormatText(const wchar_t* format, va_list incoming) {
    std::wstring out;
    if (!format) return out;
    va_list args;
    va_copy(args, incoming);
    for (const wchar_t* p = format; *p;) {
        const wchar_t* start = p;
        if (*p != L'%') {
            while (*p && *p != L'%') ++p;
            out.append(start, p - start);
        } else if (*++p == L'%') {
            out += L'%';
            ++p;
        } else {
            Conversion c;
            if (!ReadConversion(p, args, &c)) {
                out.append(start);  // an incomplete conversion at the end is text
                break;
            }
            if (!AppendConversion(out, c, args)) out.append(start, p - start);  // shown as written
        }
    }
    va_end(args);
    return out;
}

bool WriteText(HANDLE handle, std::wstring_view text) {
    if (text.empty()) return true;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    DWORD mode;
    if (GetConsoleMode(handle, &mode)) {
        const wchar_t* p = text.data();
        size_t left = text.size();
        while (left) {
            DWORD chunk = left > 16384 ? 16384 : static_cast<DWORD>(left);
            DWORD written = 0;
            if (!WriteConsoleW(handle, p, chunk, &written, nullptr) || written == 0) return false;
            p += written;
            left -= written;
        }
        return true;
    }
    // Files and pipes get UTF-8, without a byte-order mark, so the output of a
    // run can be compared and read with ordinary tools.
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
    if (bytes <= 0) return false;
    std::string utf8(bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), bytes,
                        nullptr, nullptr);
    const char* p = utf8.data();
    DWORD left = static_cast<DWORD>(bytes);
    while (left) {
        DWORD written = 0;
        if (!WriteFile(handle, p, left, &written, nullptr) || written == 0) return false;
        p += written;
        left -= written;
    }
    return true;
}

bool WriteStdout(std::wstring_view text) { return WriteText(GetStdHandle(STD_OUTPUT_HANDLE), text); }
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
