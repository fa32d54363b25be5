// Case-insensitive comparison of option names, help names and colour keywords.
// Only ASCII letters fold, so the result never depends on the user's locale.
#pragma once

inline wchar_t FoldAscii(wchar_t c) { return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c; }

inline bool EqualsFoldingAscii(const wchar_t* a, const wchar_t* b) {
    for (; FoldAscii(*a) == FoldAscii(*b); ++a, ++b)
        if (*a == L'\0') return true;
    return false;
}

// True when text begins with prefix, letters compared without regard to case.
inline bool StartsWithFoldingAscii(const wchar_t* text, const wchar_t* prefix) {
    for (; *prefix; ++text, ++prefix)
        if (FoldAscii(*text) != FoldAscii(*prefix)) return false;
    return true;
}
