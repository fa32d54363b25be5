// Reads the numbers of the KV options: unsigned 32-bit in decimal, "0x"
// hexadecimal or "0o" octal, and the signed /U code. Owns no state; window
// discovery reads ConEmuHWND by the same grammar.
#include "cmdline/number_parser.h"
#include <cerrno>

namespace {

int DigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return 99;
}

bool IsDecimalDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

// Recognises "0x" + hex digit and, when allowed, "0o" + octal digit; moves p
// past the prefix and returns the base, or 0 when neither prefix is there.
unsigned PrefixedBase(const wchar_t*& p, bool allowOctal) {
    if (p[0] != L'0') return 0;
    if ((p[1] == L'x' || p[1] == L'X') && DigitValue(p[2]) < 16) {
        p += 2;
        return 16;
    }
    if (allowOctal && (p[1] == L'o' || p[1] == L'O') && DigitValue(p[2]) < 8) {
        p += 2;
        return 8;
    }
    return 0;
}

// Reads every digit of the base from p (there is at least one). Returns false
// when the value passes limit; *p is left after the last digit either way.
bool ReadDigits(const wchar_t*& p, unsigned base, uint64_t limit, uint64_t* value) {
    uint64_t v = 0;
    bool fits = true;
    for (int d; (d = DigitValue(*p)) < static_cast<int>(base); ++p) {
        if (fits) v = v * base + static_cast<unsigned>(d);
        if (v > limit) fits = false;
    }
    *value = v;
    return fits;
}
}  // namespace

int ParseNumber(const wchar_t* text, uint32_t* value, const wchar_t** end) {
    if (!text || !value) return -1;
    const wchar_t* p = text;
    unsigned base = PrefixedBase(p, true);
    if (base == 0) {
        if (!IsDecimalDigit(*p)) return -1;
        base = 10;
    }
    uint64_t v;
    if (!ReadDigits(p, base, UINT32_MAX, &v)) return ERANGE;
    if (!end && *p != L'\0') return -1;
    *value = static_cast<uint32_t>(v);
    if (end) *end = p;
    return 0;
}

int ParseSignedNumber(const wchar_t* text, int32_t* value) {
    if (!text || !value) return -1;
    const wchar_t* p = text;
    uint64_t v;
    if (PrefixedBase(p, false) == 16) {
        // Hexadecimal is a bit pattern: 0xFFFFFFFF is -1.
        if (!ReadDigits(p, 16, UINT32_MAX, &v)) return ERANGE;
        if (*p != L'\0') return -1;
        *value = static_cast<int32_t>(static_cast<uint32_t>(v));
        return 0;
    }
    bool negative = false;
    if ((*p == L'+' || *p == L'-') && IsDecimalDigit(p[1])) negative = *p++ == L'-';
    if (!IsDecimalDigit(*p)) return -1;
    if (!ReadDigits(p, 10, negative ? uint64_t{1} << 31 : INT32_MAX, &v)) return ERANGE;
    if (*p != L'\0') return -1;
    *value = negative ? static_cast<int32_t>(-static_cast<int64_t>(v)) : static_cast<int32_t>(v);
    return 0;
}
