// Picks the highlight attribute for KV's run headers and summary: the user's
// choice from the environment or the registry, else one derived from the
// current colours. Owns g_state.normalAttr and g_state.highlightAttr.
#include "console/highlight_colors.h"
#include <cerrno>
#include <cstdio>
#include <cwchar>
#include "console/console_env.h"
#include "frame/ascii_fold.h"
#include "frame/host_api.h"
#include "frame/plugin_info.h"
#include "frame/plugin_state.h"

// Indexed by the current background; each keeps that background. The second
// table is for when the first one's entry is the current attribute itself.
static const uint8_t kFirstDefault[16] = {0x0F, 0x1F, 0x2F, 0x3F, 0x4F, 0x5F, 0x6F, 0x70,
                                          0x8F, 0x9F, 0xA0, 0xB0, 0xCF, 0xD0, 0xE0, 0xF2};
static const uint8_t kSecondDefault[16] = {0x0E, 0x1B, 0x2B, 0x3E, 0x4B, 0x5B, 0x6B, 0x79,
                                           0x8B, 0x9B, 0xA9, 0xB9, 0xC0, 0xDE, 0xEC, 0xF0};

static const wchar_t kHighlightName[] = L"Highlight";
static const wchar_t kCompanyKey[] = L"SOFTWARE\\Zemquart";

// Length of the variable's value, 0 when absent or empty; the value is in text
// only when the result is below kWorkChars.
static DWORD ReadEnvironmentText(const wchar_t* name, wchar_t* text) {
    text[0] = L'\0';
    return GetEnvironmentVariableW(name, text, kWorkChars);
}

// The Highlight environment variable, when it holds a text that fits the
// buffer; a longer one is passed over as if it were absent.
static bool ReadHighlightVariable(wchar_t* text) {
    DWORD length = ReadEnvironmentText(kHighlightName, text);
    return length > 0 && length < kWorkChars;
}

bool NoColorRequested() {
    wchar_t text[kWorkChars];
    if (ReadEnvironmentText(L"NO_COLOR", text) == 0) return false;
    // Only a Highlight the plug-in can read overrides NO_COLOR.
    return !ReadHighlightVariable(text);
}

// One registry source: the Highlight value of the key, REG_SZ and non-empty.
static bool ReadRegistryText(HKEY root, const wchar_t* path, wchar_t* text) {
    // Emptied first, so a refused value never leaks into the next source.
    wmemset(text, L'\0', kWorkChars);
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD bytes = kWorkChars * sizeof(wchar_t);
    LONG status = RegQueryValueExW(key, kHighlightName, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
    RegCloseKey(key);
    // A value that fills the buffer without a terminator is refused like a
    // longer one, so the text always ends inside the buffer.
    bool usable = status == ERROR_SUCCESS && type == REG_SZ && wcsnlen(text, kWorkChars) < kWorkChars &&
                  text[0] != L'\0';
    if (!usable) text[0] = L'\0';
    return usable;
}

bool ReadHighlightChoice(wchar_t* text) {
    if (ReadHighlightVariable(text)) return true;

    wchar_t pluginKey[256];
    int written = _snwprintf(pluginKey, 256, L"%s\\%s", kCompanyKey, KV_PLUGIN_NAME);
    bool havePluginKey = written > 0 && written < 256;
    if (havePluginKey && ReadRegistryText(HKEY_CURRENT_USER, pluginKey, text)) return true;
    if (havePluginKey && ReadRegistryText(HKEY_LOCAL_MACHINE, pluginKey, text)) return true;
    if (ReadRegistryText(HKEY_CURRENT_USER, kCompanyKey, text)) return true;
    if (ReadRegistryText(HKEY_LOCAL_MACHINE, kCompanyKey, text)) return true;
    text[0] = L'\0';
    return false;
}

uint8_t HighlightFromChoice(wchar_t* text, int current) {
    const int fg = current & 0x0F;
    const int bg = (current >> 4) & 0x0F;
    int f = -1;
    int b = -1;
    if (StartsWithFoldingAscii(text, L"inv")) {
        f = bg;
        b = fg & 7;
    } else if (StartsWithFoldingAscii(text, L"0x")) {
        const wchar_t* digits = text + 2;
        wchar_t* end = nullptr;
        errno = 0;
        unsigned long value = wcstoul(digits, &end, 16);
        if (errno != ERANGE && *end == L'\0') {
            f = static_cast<int>(value & 15);
            b = static_cast<int>(value >> 4);
        }
    } else {
        ParseColors(text, &f, &b);
    }

    if (b == kBackgroundKeep) {
        if (f < 0) return 0;
        if (f <= 15) b = -1;
    }
    if (f < 0) return 0;
    // Unsigned arithmetic: b may be any non-negative int here.
    uint32_t attribute;
    if (b >= 0 && f != b && (f != fg || b != bg))
        attribute = (static_cast<uint32_t>(b) << 4) | static_cast<uint32_t>(f);
    else if (b == -1 && f != fg && f != bg)
        attribute = (static_cast<uint32_t>(bg) << 4) | static_cast<uint32_t>(f);
    else
        return 0;
    // A number wider than a colour is cut to the attribute's eight bits, and
    // the colours that are left may be the current ones or a foreground on the
    // same background (0x111 is blue on blue): the checks above hold for what
    // is actually shown only after the cut.
    const uint8_t highlight = static_cast<uint8_t>(attribute);
    if ((highlight & 0x0F) == (highlight >> 4) || highlight == static_cast<uint8_t>(current)) return 0;
    return highlight;
}

uint8_t DefaultHighlight(int current) {
    const int fg = current & 0x0F;
    const int bg = (current >> 4) & 0x0F;
    if (fg != 0 && (current & FOREGROUND_INTENSITY) == 0 && (current & BACKGROUND_INTENSITY) == 0)
        return static_cast<uint8_t>(current | FOREGROUND_INTENSITY);
    uint8_t highlight = kFirstDefault[bg];
    if (highlight == static_cast<uint8_t>(current)) highlight = kSecondDefault[bg];
    return highlight;
}

uint8_t PickHighlight(int noHighlight) {
    g_state.normalAttr = 0;
    g_state.highlightAttr = 0;

    // Highlighting is for a console only; a mode word left untouched means the
    // call did not really answer.
    DWORD mode = 0xFFFFFFFF;
    if (!GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) || mode == 0xFFFFFFFF) return 0;
    if (noHighlight) return 0;
    if (NoColorRequested()) return 0;

    // The colour byte only: the attribute may carry the console's line and
    // grid bits above it.
    unsigned int attribute = 0, inverse = 0;
    GetAttribute(&attribute, &inverse);
    const int normal = static_cast<int>(attribute & 0xFF);
    if ((normal & 0x0F) == ((normal >> 4) & 0x0F)) return 0;

    wchar_t text[kWorkChars];
    uint8_t highlight = ReadHighlightChoice(text) ? HighlightFromChoice(text, normal) : DefaultHighlight(normal);
    // An attribute of 0 is how "no highlight" is stored, so it never acts as one.
    if (highlight == 0) return 0;
    g_state.highlightAttr = highlight;
    g_state.normalAttr = static_cast<uint8_t>(normal);
    return highlight;
}
