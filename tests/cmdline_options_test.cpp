// The KV options: numbers in their three bases, every option and its checks,
// the error messages with the upper-cased argument, the sound file checks on
// real files, and bad lines through the host.
#include <gtest/gtest.h>
#include <cerrno>
#include <climits>
#include <string>
#include "cmdline/arg_splitter.h"
#include "cmdline/trial_options.h"
#include "frame/plugin_state.h"
#include "test_support.h"

namespace {

const std::wstring kPrefix = L"Kelvane plugin: ";

class OptionsTest : public ::testing::Test {
protected:
    void SetUp() override { ResetPluginStateForTest(); }
    void TearDown() override { ResetPluginStateForTest(); }

    // Splits and parses the line as the KV command does.
    int Parse(const std::wstring& line) {
        SplitArgs(line.c_str());
        SetDefaultTrialSettings(&settings);
        return ParseTrialOptions(&settings);
    }
    // Parses a line that must fail and gives what it wrote to standard error.
    std::wstring ErrorOf(const std::wstring& line) {
        CapturedOutput output;
        EXPECT_EQ(Parse(line), 1) << line;
        EXPECT_EQ(output.Out(), L"") << line;
        return output.Err();
    }

    TrialSettings settings{};
};

// --- Numbers

TEST(ParseNumberTest, ReadsDecimalHexadecimalAndOctalInWholeTextMode) {
    const struct {
        const wchar_t* text;
        int result;
        uint32_t value;
    } cases[] = {
        {L"0", 0, 0},          {L"010", 0, 10},        {L"0x10", 0, 16},     {L"0X1f", 0, 31},
        {L"0o17", 0, 15},      {L"0O7", 0, 7},         {L"4294967295", 0, UINT32_MAX},
        {L"0xFFFFFFFF", 0, UINT32_MAX},                {L"0o37777777777", 0, UINT32_MAX},
        {L"4294967296", ERANGE, 0},                    {L"0x100000000", ERANGE, 0},
        {L"99999999999999999999999", ERANGE, 0},       {L"0o40000000000", ERANGE, 0},
        {L"", -1, 0},          {L"x", -1, 0},          {L"-5", -1, 0},       {L"+5", -1, 0},
        {L" 5", -1, 0},        {L"5x", -1, 0},         {L"0o8", -1, 0},      {L"0x", -1, 0},
        {L"0xg", -1, 0},       {L"5 ", -1, 0},         {L"\uff15", -1, 0},
    };
    for (const auto& c : cases) {
        uint32_t value = 12345;
        EXPECT_EQ(ParseNumber(c.text, &value, nullptr), c.result) << c.text;
        EXPECT_EQ(value, c.result == 0 ? c.value : 12345u) << c.text << ": output written only on success";
    }
    uint32_t value = 0;
    EXPECT_EQ(ParseNumber(L"4", nullptr, nullptr), -1);
    EXPECT_EQ(ParseNumber(nullptr, &value, nullptr), -1);
}

TEST(ParseNumberTest, WithAnEndOutputStopsAfterTheLastDigit) {
    const struct {
        const wchar_t* text;
        uint32_t value;
        const wchar_t* rest;  // null: no number
    } cases[] = {{L"3!", 3, L"!"}, {L"0o8", 0, L"o8"}, {L"0x1fz", 31, L"z"}, {L"12,4", 12, L",4"}, {L"7", 7, L""},
                 {L",4", 0, nullptr}};
    for (const auto& c : cases) {
        uint32_t value = 0;
        const wchar_t* end = nullptr;
        EXPECT_EQ(ParseNumber(c.text, &value, &end), c.rest ? 0 : -1) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_EQ(end ? std::wstring(end) : L"(none)", c.rest ? c.rest : L"(none)") << c.text;
    }
}

TEST(ParseSignedNumberTest, ReadsSignedDecimalAndHexadecimalBitPatterns) {
    const struct {
        const wchar_t* text;
        int result;
        int32_t value;
    } cases[] = {
        {L"0", 0, 0},         {L"-1", 0, -1},        {L"+7", 0, 7},       {L"0xFFFFFFFF", 0, -1},
        {L"0x7fffffff", 0, INT32_MAX},               {L"0x80000000", 0, INT32_MIN},
        {L"2147483647", 0, INT32_MAX},               {L"-2147483648", 0, INT32_MIN},
        {L"2147483648", ERANGE, 0},                  {L"-2147483649", ERANGE, 0},
        {L"0x100000000", ERANGE, 0},                 {L"010", 0, 10},
        {L"0o7", -1, 0},      {L"", -1, 0},          {L"-", -1, 0},       {L"+-1", -1, 0},
        {L"-0x5", -1, 0},     {L"1 ", -1, 0},        {L"x1", -1, 0},
    };
    for (const auto& c : cases) {
        int32_t value = 12345;
        EXPECT_EQ(ParseSignedNumber(c.text, &value), c.result) << c.text;
        EXPECT_EQ(value, c.result == 0 ? c.value : 12345) << c.text;
    }
    EXPECT_EQ(ParseSignedNumber(L"5", nullptr), -1);
}

// --- Options that succeed

// The switches in effect, one letter each: the upper-case ones for features
// turned on, the lower-case ones for the defaults turned off by /O.
std::wstring Flags(const TrialSettings& s) {
    std::wstring flags;
    const std::pair<bool, wchar_t> all[] = {
        {s.bitBucket, L'B'},  {s.excludeErrors, L'E'}, {s.showHours, L'H'}, {s.milliseconds, L'M'},
        {s.quiet, L'Q'},      {s.dropTenPercent, L'%'}, {s.playSound, L'S'}, {s.noHighlight, L'c'},
        {!s.grabFocus, L'f'}, {!s.jiggle, L'j'},        {!s.recap, L'r'},    {!s.titleBar, L't'},
    };
    for (const auto& [on, letter] : all)
        if (on) flags += letter;
    return flags;
}

TEST_F(OptionsTest, EveryOptionSetsItsSettingAndLaterOnesOverrideEarlierOnes) {
    const struct {
        const wchar_t* line;
        uint32_t runCount, slowest, fastest;
        int32_t userAbort;
        const wchar_t* flags;
    } cases[] = {
        {L"x", 10, 0, 0, 0, L""},
        {L"/N:0x10 x", 16, 0, 0, 0, L""},   {L"/N:0o17 x", 15, 0, 0, 0, L""},   {L"/N:010 x", 10, 0, 0, 0, L""},
        {L"/n=5 x", 5, 0, 0, 0, L""},       {L"/N5 x", 5, 0, 0, 0, L""},        {L"/N:1 x", 1, 0, 0, 0, L""},
        {L"/N:1000000 x", 1000000, 0, 0, 0, L""},                              {L"/N:3 /N:4 x", 4, 0, 0, 0, L""},
        {L"/D x", 10, 1, 1, 0, L""},        {L"/d:3! x", 10, 3, 3, 0, L""},     {L"/D:,2 x", 10, 0, 2, 0, L""},
        {L"/D:2; x", 10, 2, 0, 0, L""},     {L"/D:2;3 x", 10, 2, 3, 0, L""},    {L"/D=4,5 x", 10, 4, 5, 0, L""},
        {L"/D:1000,1000 x", 10, 1000, 1000, 0, L""},
        {L"/D:5,6 /D:,2 x", 10, 5, 2, 0, L""},                                 {L"/D:5,6 /D:1 x", 10, 1, 6, 0, L""},
        {L"/DD /D:4 x", 10, 4, 0, 0, L"%"}, {L"/D:4 /dd x", 10, 4, 0, 0, L"%"},
        {L"/U:-1 x", 10, 0, 0, -1, L""},    {L"/U:0xFFFFFFFF x", 10, 0, 0, -1, L""},
        {L"/U:7 /U:0 x", 10, 0, 0, 0, L""}, {L"/u=-2147483648 x", 10, 0, 0, INT32_MIN, L""},
        {L"/b /e /h /m x", 10, 0, 0, 0, L"BEHM"},
        {L"/Q x", 10, 0, 0, 0, L"Q"},       {L"/qq x", 10, 0, 0, 0, L"BQ"},
        {L"/o:cf x", 10, 0, 0, 0, L"cf"},   {L"/OJRT x", 10, 0, 0, 0, L"jrt"},  {L"/O: x", 10, 0, 0, 0, L""},
        {L"/O:T /B /T x", 10, 0, 0, 0, L"B"},                                  {L"/T /O:T x", 10, 0, 0, 0, L"t"},
        {L"/S x", 10, 0, 0, 0, L"S"},
    };
    for (const auto& c : cases) {
        CapturedOutput output;
        ASSERT_EQ(Parse(c.line), kParseProceed) << c.line << ": " << output.Err();
        EXPECT_EQ(settings.runCount, c.runCount) << c.line;
        EXPECT_EQ(settings.nDropSlowest, c.slowest) << c.line;
        EXPECT_EQ(settings.nDropFastest, c.fastest) << c.line;
        EXPECT_EQ(settings.userAbort, c.userAbort) << c.line;
        EXPECT_EQ(Flags(settings), c.flags) << c.line;
        EXPECT_STREQ(settings.soundFile, L"") << c.line;
        EXPECT_EQ(settings.command, g_state.argv[g_state.argCount - 1]) << c.line;
        EXPECT_STREQ(settings.command, L"x") << c.line;
        EXPECT_EQ(output.Out() + output.Err(), L"") << c.line;
    }
}

// --- Errors

TEST_F(OptionsTest, EveryBadOptionEndsTheCommandWithItsMessage) {
    const struct {
        std::wstring line;
        const wchar_t* message;  // after the prefix
    } cases[] = {
        {L"", L"Missing command\r\n"},
        {L"/Q /B", L"Missing command\r\n"},
        {L"/N:5x cmd", L"Bad value: \"/N:5X\"\r\n"},
        {L"/n:0o8 cmd", L"Bad value: \"/N:0O8\"\r\n"},
        {L"/N:-5 cmd", L"Bad value: \"/N:-5\"\r\n"},
        {L"/n cmd", L"Bad value: \"/N\"\r\n"},
        {L"/N:4294967296 cmd", L"Bad value: \"/N:4294967296\"\r\n"},
        {L"/N:0 cmd", L"Number of runs must be 1 to 1000000: 0\r\n"},
        {L"/N:1000001 cmd", L"Number of runs must be 1 to 1000000: 1000001\r\n"},
        {L"/D: cmd", L"Must specify at least one value: \"/D:\"\r\n"},
        {L"/d, cmd", L"Must specify at least one value: \"/D,\"\r\n"},
        {L"/D:; cmd", L"Must specify at least one value: \"/D:;\"\r\n"},
        {L"/D:1001 cmd", L"nDropSlowest must be \u2264 1000: 1001\r\n"},
        {L"/D:1,1001 cmd", L"nDropFastest must be \u2264 1000: 1001\r\n"},
        {L"/D:1001! cmd", L"nDropSlowest must be \u2264 1000: 1001\r\n"},
        {L"/d:a cmd", L"Bad nDropSlowest value: \"/D:A\"\r\n"},
        {L"/DDx cmd", L"Bad nDropSlowest value: \"/DDX\"\r\n"},
        {L"/D:3!,2 cmd", L"Bad nDropFastest value: \"/D:3!,2\"\r\n"},
        {L"/d:,x cmd", L"Bad nDropFastest value: \"/D:,X\"\r\n"},
        {L"/D:1,,2 cmd", L"Bad nDropFastest value: \"/D:1,,2\"\r\n"},
        {L"/O:x cmd", L"Unknown suboption: \"/O:X\"\r\n"},
        {L"/o:cj\u00e9 cmd", L"Unknown suboption: \"/O:\u00c9\"\r\n"},
        {L"/U:0o7 cmd", L"Bad UserAbort value: \"/U:0O7\"\r\n"},
        {L"/u: cmd", L"Bad UserAbort value: \"/U:\"\r\n"},
        {L"/U:2147483648 cmd", L"Bad UserAbort value: \"/U:2147483648\"\r\n"},
        {L"/qqq cmd", L"Unknown option: \"/QQQ\"\r\n"},
        {L"/bx cmd", L"Unknown option: \"/BX\"\r\n"},
        {L"/t:1 cmd", L"Unknown option: \"/T:1\"\r\n"},
        {L"/z\u00e9 cmd", L"Unknown option: \"/Z\u00c9\"\r\n"},
        {L"//x cmd", L"Unknown option: \"//X\"\r\n"},
        // The first error wins; later arguments are not looked at.
        {L"/N:0 /?", L"Number of runs must be 1 to 1000000: 0\r\n"},
        {L"/Y /N:0 cmd", L"Unknown option: \"/Y\"\r\n"},
        {L"/X cmd", L"Bad value: \"/X\"\r\n"},
        {L"/x: cmd", L"Bad value: \"/X:\"\r\n"},
        {L"/s:a<b|c.wav x", L"Bad filename: \"/S:A<B|C.WAV\"\r\n"},
        // An overflowing line leaves no arguments, so the command is missing too.
        {L"/Q " + std::wstring(9000, L'c'), L"Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\nKelvane plugin: Missing command\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.line), kPrefix + c.message) << c.line.substr(0, 40);
    // The argument is upper-cased where it lies; the others stay as typed.
    ErrorOf(L"/q /n:5x echo");
    EXPECT_EQ(std::wstring(g_state.argv[0]) + L" " + g_state.argv[1] + L" " + g_state.argv[2], L"/q /N:5X echo");
}

TEST_F(OptionsTest, PreciseDeviationAndWarmUpRunsAreTakenOrRefusedLikeTheWrittenOptions) {
    const struct {
        const wchar_t* line;
        bool precise, deviation;
        uint32_t warmUps;
        const wchar_t* message;  // after the prefix; empty when the line is taken
    } cases[] = {
        {L"x", false, false, 0, L""},
        {L"/p /V x", true, true, 0, L""},
        {L"/W5 x", false, false, 5, L""},
        {L"/w:5 x", false, false, 5, L""},
        {L"/W=0x10 x", false, false, 16, L""},
        {L"/W:3 /W:0 x", false, false, 0, L""},
        {L"/W:1000000 /P x", true, false, 1000000, L""},
        {L"/W:1000001 x", false, false, 0, L"Number of warm-up runs must be 0 to 1000000: 1000001\r\n"},
        {L"/w x", false, false, 0, L"Bad value: \"/W\"\r\n"},
        {L"/w:-1 x", false, false, 0, L"Bad value: \"/W:-1\"\r\n"},
        {L"/W:2x x", false, false, 0, L"Bad value: \"/W:2X\"\r\n"},
        {L"/W:4294967296 x", false, false, 0, L"Bad value: \"/W:4294967296\"\r\n"},
        {L"/pp x", false, false, 0, L"Unknown option: \"/PP\"\r\n"},
        {L"/v:1 x", false, false, 0, L"Unknown option: \"/V:1\"\r\n"},
    };
    for (const auto& c : cases) {
        if (*c.message) {
            EXPECT_EQ(ErrorOf(c.line), kPrefix + c.message) << c.line;
            continue;
        }
        CapturedOutput output;
        ASSERT_EQ(Parse(c.line), kParseProceed) << c.line << ": " << output.Err();
        EXPECT_EQ(settings.precise, c.precise) << c.line;
        EXPECT_EQ(settings.stdDeviation, c.deviation) << c.line;
        EXPECT_EQ(settings.warmUpRuns, c.warmUps) << c.line;
        EXPECT_EQ(Flags(settings), L"") << c.line;
    }
}

TEST_F(OptionsTest, ASecondWordAfterTheCommandIsASyntaxError) {
    // The splitter never produces this (the command takes the rest of the
    // line), so the list is laid out by hand as another producer might.
    const wchar_t* words[] = {L"/Q", L"echo", L"stray"};
    wchar_t* at = g_state.argBuf;
    for (const wchar_t* word : words) {
        wcscpy(at, word);
        g_state.argv[g_state.argCount] = at;
        g_state.argLen[g_state.argCount++] = static_cast<int>(wcslen(word));
        at += wcslen(word) + 1;
    }
    SetDefaultTrialSettings(&settings);
    CapturedOutput output;
    EXPECT_EQ(ParseTrialOptions(&settings), 1);
    EXPECT_EQ(output.Err(), kPrefix + L"Syntax error: \"STRAY\"\r\n");
}

// --- Sound file, on real files

TEST_F(OptionsTest, SoundTakesTheFullNameOfAnExistingWaveFileOnly) {
    const std::wstring dir = MakeTempDir();
    ASSERT_FALSE(dir.empty());
    auto file = [&dir](const std::wstring& name) {
        WriteTextFile(dir + L"\\" + name, L"RIFF");
        return dir + L"\\" + name;
    };
    CreateDirectoryW((dir + L"\\folder.wav").c_str(), nullptr);
    CreateDirectoryW((dir + L"\\ends.in.dir").c_str(), nullptr);
    const std::wstring base = dir + L"\\";
    const std::wstring longest = file(std::wstring(255 - base.size() - 4, L'a') + L".wav");
    // The length is checked before the file is looked for, so this one need not exist.
    const std::wstring tooLong = base + std::wstring(256 - base.size() - 4, L'a') + L".wav";
    ASSERT_EQ(longest.size(), 255u);
    wchar_t device[MAX_PATH];
    GetFullPathNameW(L"nul", MAX_PATH, device, nullptr);
    auto notWave = [](const std::wstring& path) { return L"Not a .WAV file: \"" + path + L"\"\r\n"; };
    auto notFound = [](const std::wstring& path) { return L"File not found: \"" + path + L"\"\r\n"; };

    const struct {
        std::wstring line;
        std::wstring soundFile;  // when the line is taken
        std::wstring message;    // when it is refused, after the prefix
    } cases[] = {
        {L"/S:\"" + file(L"ding.wav") + L"\" x", dir + L"\\ding.wav", L""},
        {L"/S:\"" + file(L"DING2.WaV") + L"\" x", dir + L"\\DING2.WaV", L""},
        {L"/S:\"" + file(L"with blank.wav") + L"\" x", dir + L"\\with blank.wav", L""},
        {L"/S:rel.wav x", file(L"rel.wav"), L""},
        {L"/S:" + longest + L" x", longest, L""},
        // A later empty /S goes back to the system sound.
        {L"/S:" + dir + L"\\ding.wav /S: x", L"", L""},
        {L"/S:" + tooLong + L" x", L"", L"Sound filename too long: \"" + tooLong + L"\"\r\n  (Must be less than 256 characters)\r\n"},
        {L"/S:" + dir + L"\\folder.wav x", L"", notFound(dir + L"\\folder.wav")},
        {L"/S:" + dir + L"\\missing.wav x", L"", notFound(dir + L"\\missing.wav")},
        // A device answers to its name but is no file to play.
        {L"/S:nul x", L"", notFound(device)},
        {L"/S:" + file(L"ends.in.dir\\x") + L" x", L"", notWave(dir + L"\\ends.in.dir\\x")},
        {L"/S:" + file(L"noext") + L" x", L"", notWave(dir + L"\\noext")},
        {L"/S:" + file(L"tune.mp3") + L" x", L"", notWave(dir + L"\\tune.mp3")},
        {L"/S:" + file(L"tune.wav.txt") + L" x", L"", notWave(dir + L"\\tune.wav.txt")},
    };
    wchar_t savedDir[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, savedDir);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    for (const auto& c : cases) {
        if (!c.message.empty()) {
            EXPECT_EQ(ErrorOf(c.line), kPrefix + c.message) << c.line;
            continue;
        }
        CapturedOutput output;
        EXPECT_EQ(Parse(c.line), kParseProceed) << c.line << ": " << output.Err();
        EXPECT_TRUE(settings.playSound) << c.line;
        EXPECT_EQ(std::wstring(settings.soundFile), c.soundFile) << c.line;
    }
    SetCurrentDirectoryW(savedDir);
    RemoveTree(dir);
}

// --- Through the host

TEST(KvCommandLineTest, BadLinesEndWithTheirMessageAndTheNextCommandStillRuns) {
    const std::wstring input =
        L"kv /N:0 echo x\r\necho rc=%_?\r\n"
        L"kv /d:3!,2 echo x\r\necho rc=%_?\r\n"
        L"kv /Q\r\necho rc=%_?\r\n"
        L"kv /O:z /U: echo x\r\necho rc=%_?\r\n"
        L"kv /N:2 /Q /O:CFJT echo ran-ok\r\necho rc=%_?\r\n";
    HostRun run = RunKvHost(L"", input);
    EXPECT_EQ(run.err, kPrefix + L"Number of runs must be 1 to 1000000: 0\r\n" + kPrefix +
                           L"Bad nDropFastest value: \"/D:3!,2\"\r\n" + kPrefix + L"Missing command\r\n" + kPrefix +
                           L"Unknown suboption: \"/O:Z\"\r\n");
    size_t at = 0;
    for (const wchar_t* expected : {L"rc=1", L"rc=1", L"rc=1", L"rc=1", L"ran-ok", L"ran-ok", L"rc=0"}) {
        const size_t found = run.out.find(expected, at);
        ASSERT_NE(found, std::wstring::npos) << "missing " << expected << " in:\n" << run.out;
        at = found + 1;
    }
}

}  // namespace
