// Console colours and full path names behind the host services of the same
// purpose (GetAttribute, SetColors, ParseColors, QueryTrueName).
#pragma once
#include "host_engine.h"

// Characters a caller of QueryTrueName provides for the full name.
constexpr DWORD kTrueNameChars = 32768;

// Current attribute of the console; 1 (outputs untouched) without a console.
int ConsoleAttribute(unsigned* normal, unsigned* inverse);
int SetConsoleColours(int attribute);
// "[bright] colour [on [bright] colour]": the outputs are set only when the
// whole text parsed; returns where parsing stopped (spec itself when it did not).
const wchar_t* ParseColourSpec(const wchar_t* spec, int* fg, int* bg);
// Full path into fullName (kTrueNameChars); empty and 1 for a bad name.
int TrueName(const wchar_t* name, wchar_t* fullName);
