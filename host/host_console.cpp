// Console colours and file names for the host services: the current
// attribute, setting it, the colour-name syntax, and full path names.
// Owns no state; the console is looked up afresh at each call.
#include "host_console.h"
#include <cwctype>

namespace {

// Standard output when it is a console, else the console device itself (the
// output may be redirected while a console is still there).
template <typename Action>
bool WithConsole(Action action) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (out && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) return action(out);
    HANDLE device = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return false;
    bool done = action(device);
    CloseHandle(device);
    return done;
}

struct ColourName {
    const wchar_t* name;
    int value;
};

const ColourName kColours[] = {
    {L"black", 0}, {L"blue", 1},    {L"green", 2},  {L"cyan", 3}, {L"red", 4},
    {L"magenta", 5}, {L"yellow", 6}, {L"white", 7}, {L"grey", 7}, {L"gray", 7},
};

// One word of the colour text; false at the end of the text.
bool NextWord(std::wstring_view& text, std::wstring_view& word) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    if (text.empty()) return false;
    size_t end = 0;
    while (end < text.size() && !IsBlank(text[end])) ++end;
    word = text.substr(0, end);
    text.remove_prefix(end);
    return true;
}

// [bright] colour
bool ParseColour(std::wstring_view& text, int* colour) {
    std::wstring_view word;
    if (!NextWord(text, word)) return false;
    int bright = 0;
    if (EqualsNoCase(word, L"bright") || EqualsNoCase(word, L"bri")) {
        bright = 8;
        if (!NextWord(text, word)) return false;
    }
    for (const auto& colourName : kColours) {
        if (EqualsNoCase(word, colourName.name)) {
            *colour = colourName.value + bright;
            return true;
        }
    }
    return false;
}

}  // namespace

int ConsoleAttribute(unsigned* normal, unsigned* inverse) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    bool found = WithConsole([&](HANDLE console) { return GetConsoleScreenBufferInfo(console, &info) != 0; });
    if (!found) return 1;
    unsigned attribute = info.wAttributes & 0xFFu;
    if (normal) *normal = attribute;
    if (inverse) *inverse = ((attribute & 0x0F) << 4) | ((attribute >> 4) & 0x0F);
    return 0;
}

int SetConsoleColours(int attribute) {
    bool done = WithConsole([&](HANDLE console) {
        return SetConsoleTextAttribute(console, static_cast<WORD>(attribute & 0xFF)) != 0;
    });
    return done ? 0 : 1;
}

const wchar_t* ParseColourSpec(const wchar_t* spec, int* fg, int* bg) {
    if (!spec) return spec;
    std::wstring_view text = spec;
    int foreground, background = -1;
    if (!ParseColour(text, &foreground)) return spec;
    std::wstring_view rest = text, word;
    if (NextWord(rest, word)) {
        if (!EqualsNoCase(word, L"on") || !ParseColour(rest, &background)) return spec;
        text = rest;
        if (NextWord(rest, word)) return spec;  // trailing words: not a colour spec
    }
    // Only a spec that parses completely is stored: a half-read one would
    // give colours the user did not ask for.
    if (fg) *fg = foreground;
    if (bg && background >= 0) *bg = background;
    return text.data();
}

int TrueName(const wchar_t* name, wchar_t* fullName) {
    if (!fullName) return 1;
    fullName[0] = L'\0';
    if (!name || !*name) return 1;
    std::wstring_view text = name;
    // The long-path prefix is the one place a question mark belongs in a name.
    if (text.substr(0, 4) == L"\\\\?\\") text.remove_prefix(4);
    for (wchar_t c : text)
        if (c < 32 || wcschr(L"<>|\"?*", c)) return 1;
    DWORD length = GetFullPathNameW(name, kTrueNameChars, fullName, nullptr);
    if (length == 0 || length >= kTrueNameChars) {
        fullName[0] = L'\0';
        return 1;
    }
    return 0;
}
