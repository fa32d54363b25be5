// Turns the split argument list into the settings of one KV command, or ends
// the command with a help text or an error message. Reads g_state's argument
// list; upper-cases an argument in place before quoting it in an error.
#include "cmdline/trial_options.h"
#include <cwchar>
#include "frame/ascii_fold.h"
#include "cmdline/help_text.h"
#include "frame/host_api.h"
#include "frame/plugin_frame.h"
#include "frame/plugin_info.h"
#include "frame/plugin_state.h"

namespace {

constexpr int kTrueNameChars = 32768;  // the longest path the system can name

HANDLE StdErr() { return GetStdHandle(STD_ERROR_HANDLE); }

int ReportArgument(wchar_t* argument, const wchar_t* format) {
    CharUpperW(argument);
    PrintErrorPrefix();
    Qprintf(StdErr(), format, argument);
    return 1;
}

int ReportFullName(const wchar_t* format, const wchar_t* fullName) {
    PrintErrorPrefix();
    Qprintf(StdErr(), format, fullName);
    return 1;
}

int ReportLimit(const wchar_t* format, uint32_t limit, uint32_t value) {
    PrintErrorPrefix();
    Qprintf(StdErr(), format, limit, value);
    return 1;
}

int ReportMissingCommand() {
    PrintErrorPrefix();
    Qprintf(StdErr(), L"Missing command\r\n");
    return 1;
}

// The value of /D, /N, /O, /S, /U, /W and /X: after the letter and an optional ':' or '='.
const wchar_t* OptionValue(const wchar_t* argument) {
    const wchar_t* value = argument + 2;
    return (*value == L':' || *value == L'=') ? value + 1 : value;
}

// /N and /W: a whole number from lowest to highest, else limitFormat with
// highest and the value.
int ParseCount(wchar_t* argument, uint32_t lowest, uint32_t highest, const wchar_t* limitFormat, uint32_t* count) {
    uint32_t value;
    if (ParseNumber(OptionValue(argument), &value, nullptr) != 0)
        return ReportArgument(argument, L"Bad value: \"%s\"\r\n");
    if (value < lowest || value > highest) return ReportLimit(limitFormat, highest, value);
    *count = value;
    return kParseProceed;
}

// "m,n", "m;n", "m", ",n" or "m!" (both ends m). A count the value does not
// name keeps what an earlier option gave it.
int ParseDropCounts(wchar_t* argument, TrialSettings* settings) {
    const wchar_t* rest = OptionValue(argument);
    bool haveSlowest = false;
    if (*rest != L'\0' && *rest != L',' && *rest != L';') {
        uint32_t slowest;
        if (ParseNumber(rest, &slowest, &rest) != 0)
            return ReportArgument(argument, L"Bad nDropSlowest value: \"%s\"\r\n");
        if (slowest > kMaxDrops) return ReportLimit(L"nDropSlowest must be \u2264 %u: %u\r\n", kMaxDrops, slowest);
        settings->nDropSlowest = slowest;
        haveSlowest = true;
        if (rest[0] == L'!' && rest[1] == L'\0') {
            settings->nDropFastest = slowest;
            ++rest;
        }
    }
    if (*rest == L',' || *rest == L';') ++rest;
    if (*rest == L'\0') {
        if (haveSlowest) return kParseProceed;
        return ReportArgument(argument, L"Must specify at least one value: \"%s\"\r\n");
    }
    uint32_t fastest;
    if (ParseNumber(rest, &fastest, nullptr) != 0) return ReportArgument(argument, L"Bad nDropFastest value: \"%s\"\r\n");
    if (fastest > kMaxDrops) return ReportLimit(L"nDropFastest must be \u2264 %u: %u\r\n", kMaxDrops, fastest);
    settings->nDropFastest = fastest;
    return kParseProceed;
}

int ParseSuboptions(const wchar_t* argument, TrialSettings* settings) {
    const wchar_t* value = OptionValue(argument);
    if (std::wcschr(value, L'?')) {
        QPuts(OptionOHelpText);
        return 0;
    }
    for (; *value; ++value) {
        switch (FoldAscii(*value)) {
            case L'C': settings->noHighlight = true; break;
            case L'F': settings->grabFocus = false; break;
            case L'J': settings->jiggle = false; break;
            case L'R': settings->recap = false; break;
            case L'T': settings->titleBar = false; break;
            default: {
                // CharUpperW takes a single character in the low word of its pointer argument.
                wchar_t shown = static_cast<wchar_t>(
                    reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(*value)))));
                PrintErrorPrefix();
                Qprintf(StdErr(), L"Unknown suboption: \"/O:%c\"\r\n", static_cast<int>(shown));
                return 1;
            }
        }
    }
    return kParseProceed;
}

// The extension is what follows the last '.' of the final path component.
const wchar_t* FileExtension(const wchar_t* name) {
    const wchar_t* extension = L"";
    for (const wchar_t* p = name; *p; ++p) {
        if (*p == L'.')
            extension = p;
        else if (*p == L'/' || *p == L'\\' || *p == L':')
            extension = L"";
    }
    return extension;
}

int ParseSound(wchar_t* argument, TrialSettings* settings) {
    settings->playSound = true;
    settings->soundFile[0] = L'\0';
    const wchar_t* value = OptionValue(argument);
    if (*value == L'\0') return kParseProceed;  // the system sound

    // Static: too large for the host's stack, and used only within this call.
    static wchar_t fullName[kTrueNameChars];
    fullName[0] = L'\0';
    QueryTrueName(value, fullName);
    fullName[kTrueNameChars - 1] = L'\0';
    if (fullName[0] == L'\0') return ReportArgument(argument, L"Bad filename: \"%s\"\r\n");
    if (std::wcslen(fullName) >= static_cast<size_t>(kSoundFileChars)) {
        ReportFullName(L"Sound filename too long: \"%s\"\r\n", fullName);
        Qprintf(StdErr(), L"  (Must be less than 256 characters)\r\n");
        return 1;
    }
    DWORD attributes = GetFileAttributesW(fullName);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)))
        return ReportFullName(L"File not found: \"%s\"\r\n", fullName);
    if (!EqualsFoldingAscii(FileExtension(fullName), L".wav"))
        return ReportFullName(L"Not a .WAV file: \"%s\"\r\n", fullName);
    std::wcscpy(settings->soundFile, fullName);
    return kParseProceed;
}

int ParseUserAbort(wchar_t* argument, TrialSettings* settings) {
    int32_t code;
    if (ParseSignedNumber(OptionValue(argument), &code) != 0)
        return ReportArgument(argument, L"Bad UserAbort value: \"%s\"\r\n");
    settings->userAbort = code;
    return kParseProceed;
}

void PrintVersionLine() {
    Printf(L"\r\n\t\t\t\t%s  %u.%u.%u.%u (%s)\r\n", KV_PLUGIN_NAME, kVersionMajor, kVersionMinor, kVersionBuild,
           kVersionRevision, L"x64");
}

// One argument, matched against the options in a fixed order (whole names
// before the prefixes they share, "/DD" before "/D..."). kParseProceed to go on.
int ApplyArgument(wchar_t* argument, TrialSettings* settings) {
    if (argument[0] == L'/' && argument[1] == L'?') {
        ShowHelpText();
        if (argument[2] == L'?') PrintVersionLine();
        return 0;
    }
    if (argument[0] != L'/') {
        if (settings->command) return ReportArgument(argument, L"Syntax error: \"%s\"\r\n");
        settings->command = argument;
        return kParseProceed;
    }
    const wchar_t letter = FoldAscii(argument[1]);
    auto is = [argument](const wchar_t* name) { return EqualsFoldingAscii(argument, name); };

    if (is(L"/B")) {
        settings->bitBucket = true;
    } else if (is(L"/D")) {
        settings->nDropSlowest = 1;
        settings->nDropFastest = 1;
    } else if (is(L"/DD")) {
        settings->dropTenPercent = true;
    } else if (letter == L'D') {
        return ParseDropCounts(argument, settings);
    } else if (is(L"/E")) {
        settings->excludeErrors = true;
    } else if (is(L"/H")) {
        settings->showHours = true;
    } else if (is(L"/M")) {
        settings->milliseconds = true;
    } else if (letter == L'N') {
        return ParseCount(argument, 1, kMaxRuns, L"Number of runs must be 1 to %u: %u\r\n", &settings->runCount);
    } else if (letter == L'O') {
        return ParseSuboptions(argument, settings);
    } else if (is(L"/Q")) {
        settings->quiet = true;
    } else if (is(L"/QQ")) {
        settings->quiet = true;
        settings->bitBucket = true;
    } else if (letter == L'S') {
        return ParseSound(argument, settings);
    } else if (is(L"/T")) {
        settings->titleBar = true;
    } else if (letter == L'U') {
        return ParseUserAbort(argument, settings);
    } else if (is(L"/P")) {
        settings->precise = true;
    } else if (is(L"/V")) {
        settings->stdDeviation = true;
    } else if (is(L"/C")) {
        settings->compare = true;
    } else if (is(L"/G")) {
        settings->distribution = true;
    } else if (letter == L'X') {
        // Quotes around a name with blanks are gone already, as for /S.
        const wchar_t* name = OptionValue(argument);
        if (*name == L'\0') return ReportArgument(argument, L"Bad value: \"%s\"\r\n");
        settings->runFileName = name;
    } else if (letter == L'W') {
        return ParseCount(argument, 0, kMaxWarmUpRuns, L"Number of warm-up runs must be 0 to %u: %u\r\n",
                          &settings->warmUpRuns);
    } else {
        return ReportArgument(argument, L"Unknown option: \"%s\"\r\n");
    }
    return kParseProceed;
}

}  // namespace

void SetDefaultTrialSettings(TrialSettings* settings) {
    *settings = TrialSettings{};
    settings->runCount = 10;
    settings->recap = true;
    settings->grabFocus = true;
    settings->jiggle = true;
    settings->titleBar = true;
}

int ParseTrialOptions(TrialSettings* settings) {
    if (g_state.argCount < 1) return ReportMissingCommand();
    for (int k = 0; k < g_state.argCount; ++k) {
        if (g_state.argLen[k] == 0) continue;
        int result = ApplyArgument(g_state.argv[k], settings);
        if (result != kParseProceed) return result;
    }
    if (!settings->command) return ReportMissingCommand();
    return kParseProceed;
}
