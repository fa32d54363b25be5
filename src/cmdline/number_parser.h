// The number grammar of the KV options.
#pragma once
#include <cstdint>

// Unsigned 32-bit number: decimal, "0x" hexadecimal or "0o" octal. Without an
// end output the whole text must be the number. 0 on success, -1 when there is
// no number (or text follows it, or value is null), ERANGE when it overflows.
int ParseNumber(const wchar_t* text, uint32_t* value, const wchar_t** end);
// Signed 32-bit number: decimal with optional sign, or "0x" hexadecimal stored
// bit for bit. Same results as ParseNumber in whole-text mode.
int ParseSignedNumber(const wchar_t* text, int32_t* value);
