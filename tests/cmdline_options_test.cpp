// The KV options: numbers in their three bases, every option and its checks,
// the error messages with the upper-cased argument, the sound file checks on
// real files, the /O help and the version line.
#include <gtest/gtest.h>
#include <cerrno>
#include <climits>
#include <string>
#include "cmdline/arg_splitter.h"
#include "cmdline/help_text.h"
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
    int Parse(const wchar_t* line) {
        SplitArgs(line);
        SetDefaultTrialSettings(&settings);
        return ParseTrialOptions(&settings);
    }

    TrialSettings settings{};
};

// --- Numbers

struct NumberCase {
    const wchar_t* text;
    int result;
    uint32_t value;
};

TEST(ParseNumberTest, ReadsDecimalHexadecimalAndOctalInWholeTextMode) {
    const NumberCase cases[] = {
        {L"0", 0, 0},          {L"010", 0, 10},        {L"0x10", 0, 16},     {L"0X1f", 0, 31},
        {L"0o17", 0, 15},      {L"0O7", 0, 7},         {L"4294967295", 0, UINT32_MAX},
        {L"0xFFFFFFFF", 0, UINT32_MAX},                {L"0o37777777777", 0, UINT32_MAX},
        {L"4294967296", ERANGE, 0},                    {L"0x100000000", ERANGE, 0},
        {L"99999999999999999999999", ERANGE, 0},       {L"0o40000000000", ERANGE, 0},
        {L"", -1, 0},          {L"x", -1, 0},          {L"-5", -1, 0},       {L"+5", -1, 0},
        {L" 5", -1, 0},        {L"5x", -1, 0},         {L"0o8", -1, 0},      {L"0x", -1, 0},
        {L"0xg", -1, 0},       {L"5 ", -1, 0},         {L"\uff15", -1, 0},
    };
    for (const NumberCase& c : cases) {
        uint32_t value = 12345;
        EXPECT_EQ(ParseNumber(c.text, &value, nullptr), c.result) << c.text;
        EXPECT_EQ(value, c.result == 0 ? c.value : 12345u) << c.text << ": output written only on success";
    }
}

TEST(ParseNumberTest, WithAnEndOutputStopsAfterTheLastDigit) {
    struct {
        const wchar_t* text;
        uint32_t value;
        const wchar_t* rest;
    } cases[] = {{L"3!", 3, L"!"}, {L"0o8", 0, L"o8"}, {L"0x1fz", 31, L"z"}, {L"12,4", 12, L",4"}, {L"7", 7, L""}};
    for (const auto& c : cases) {
        uint32_t value = 0;
        const wchar_t* end = nullptr;
        ASSERT_EQ(ParseNumber(c.text, &value, &end), 0) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
        EXPECT_STREQ(end, c.rest) << c.text;
    }
    const wchar_t* end = nullptr;
    uint32_t value = 0;
    EXPECT_EQ(ParseNumber(L",4", &value, &end), -1);
    EXPECT_EQ(end, nullptr);
    EXPECT_EQ(ParseNumber(L"4", nullptr, &end), -1);
    EXPECT_EQ(ParseNumber(nullptr, &value, &end), -1);
}

TEST(ParseSignedNumberTest, ReadsSignedDecimalAndHexadecimalBitPatterns) {
    struct {
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

TEST_F(OptionsTest, DefaultsRunTenTimesWithEveryFeatureOn) {
    CapturedOutput output;
    ASSERT_EQ(Parse(L"echo hi"), kParseProceed);
    EXPECT_EQ(settings.runCount, 10u);
    EXPECT_EQ(settings.nDropSlowest, 0u);
    EXPECT_EQ(settings.nDropFastest, 0u);
    EXPECT_FALSE(settings.dropTenPercent || settings.bitBucket || settings.quiet || settings.showHours ||
                 settings.milliseconds || settings.excludeErrors || settings.noHighlight || settings.playSound);
    EXPECT_TRUE(settings.recap && settings.grabFocus && settings.jiggle && settings.titleBar);
    EXPECT_STREQ(settings.soundFile, L"");
    EXPECT_EQ(settings.userAbort, 0);
    EXPECT_EQ(settings.command, g_state.argv[0]);
    EXPECT_STREQ(settings.command, L"echo hi");
    EXPECT_EQ(output.Out() + output.Err(), L"");
}

struct SettingsCase {
    const wchar_t* line;
    uint32_t runCount, slowest, fastest;
    int32_t userAbort;
};

TEST_F(OptionsTest, NumbersOfRunsDropsAndAbortCodeComeFromTheValues) {
    const SettingsCase cases[] = {
        {L"/N:0x10 x", 16, 0, 0, 0},   {L"/N:0o17 x", 15, 0, 0, 0},   {L"/N:010 x", 10, 0, 0, 0},
        {L"/n=5 x", 5, 0, 0, 0},       {L"/N5 x", 5, 0, 0, 0},        {L"/N:1000000 x", 1000000, 0, 0, 0},
        {L"/N:1 x", 1, 0, 0, 0},       {L"/N:3 /N:4 x", 4, 0, 0, 0},
        {L"/D x", 10, 1, 1, 0},        {L"/d:3! x", 10, 3, 3, 0},     {L"/D:,2 x", 10, 0, 2, 0},
        {L"/D:2; x", 10, 2, 0, 0},     {L"/D:2;3 x", 10, 2, 3, 0},    {L"/D=4,5 x", 10, 4, 5, 0},
        {L"/D:1000,1000 x", 10, 1000, 1000, 0},
        {L"/D:5,6 /D:,2 x", 10, 5, 2, 0},                            {L"/D:5,6 /D:1 x", 10, 1, 6, 0},
        {L"/U:-1 x", 10, 0, 0, -1},    {L"/U:0xFFFFFFFF x", 10, 0, 0, -1},
        {L"/U:7 /U:0 x", 10, 0, 0, 0}, {L"/u=-2147483648 x", 10, 0, 0, INT32_MIN},
    };
    for (const SettingsCase& c : cases) {
        CapturedOutput output;
        ASSERT_EQ(Parse(c.line), kParseProceed) << c.line << ": " << output.Err();
        EXPECT_EQ(settings.runCount, c.runCount) << c.line;
        EXPECT_EQ(settings.nDropSlowest, c.slowest) << c.line;
        EXPECT_EQ(settings.nDropFastest, c.fastest) << c.line;
        EXPECT_EQ(settings.userAbort, c.userAbort) << c.line;
        EXPECT_STREQ(settings.command, L"x") << c.line;
    }
}

TEST_F(OptionsTest, SwitchesSetTheirFlagsAndLaterOnesOverrideEarlierOnes) {
    CapturedOutput output;
    ASSERT_EQ(Parse(L"/b /e /h /m x"), kParseProceed);
    EXPECT_TRUE(settings.bitBucket && settings.excludeErrors && settings.showHours && settings.milliseconds);
    EXPECT_FALSE(settings.quiet);

    ASSERT_EQ(Parse(L"/Q x"), kParseProceed);
    EXPECT_TRUE(settings.quiet);
    EXPECT_FALSE(settings.bitBucket);
    ASSERT_EQ(Parse(L"/qq x"), kParseProceed);
    EXPECT_TRUE(settings.quiet && settings.bitBucket);

    ASSERT_EQ(Parse(L"/o:cf x"), kParseProceed);
    EXPECT_TRUE(settings.noHighlight);
    EXPECT_FALSE(settings.grabFocus);
    EXPECT_TRUE(settings.jiggle && settings.recap && settings.titleBar);
    ASSERT_EQ(Parse(L"/OJRT x"), kParseProceed);
    EXPECT_FALSE(settings.jiggle || settings.recap || settings.titleBar);
    EXPECT_TRUE(settings.grabFocus);
    EXPECT_FALSE(settings.noHighlight);
    ASSERT_EQ(Parse(L"/O: x"), kParseProceed);
    EXPECT_TRUE(settings.jiggle && settings.recap && settings.titleBar && settings.grabFocus);

    ASSERT_EQ(Parse(L"/O:T /B /T x"), kParseProceed);
    EXPECT_TRUE(settings.titleBar);
    ASSERT_EQ(Parse(L"/T /O:T x"), kParseProceed);
    EXPECT_FALSE(settings.titleBar);

    for (const wchar_t* line : {L"/DD /D:4 x", L"/D:4 /dd x"}) {
        ASSERT_EQ(Parse(line), kParseProceed) << line;
        EXPECT_TRUE(settings.dropTenPercent) << line;
        EXPECT_EQ(settings.nDropSlowest, 4u) << line;
    }
    EXPECT_EQ(output.Out() + output.Err(), L"");
}

// --- Errors

struct ErrorCase {
    const wchar_t* line;
    const wchar_t* message;  // after the prefix
};

TEST_F(OptionsTest, EveryBadOptionEndsTheCommandWithItsMessage) {
    const ErrorCase cases[] = {
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
        {L"/X /N:0 cmd", L"Unknown option: \"/X\"\r\n"},
    };
    for (const ErrorCase& c : cases) {
        CapturedOutput output;
        EXPECT_EQ(Parse(c.line), 1) << c.line;
        EXPECT_EQ(output.Err(), kPrefix + c.message) << c.line;
        EXPECT_EQ(output.Out(), L"") << c.line;
    }
}

TEST_F(OptionsTest, QuotedArgumentIsUpperCasedInPlace) {
    CapturedOutput output;
    ASSERT_EQ(Parse(L"/q /n:5x echo"), 1);
    EXPECT_STREQ(g_state.argv[0], L"/q");
    EXPECT_STREQ(g_state.argv[1], L"/N:5X");
    EXPECT_STREQ(g_state.argv[2], L"echo");
}

TEST_F(OptionsTest, ASecondWordAfterTheCommandIsASyntaxError) {
    // The splitter never produces this (the command takes the rest of the
    // line), so the list is laid out by hand as another producer might.
    wchar_t* buf = g_state.argBuf;
    wcscpy(buf, L"/Q");
    wcscpy(buf + 3, L"echo");
    wcscpy(buf + 8, L"stray");
    g_state.argv[0] = buf;
    g_state.argv[1] = buf + 3;
    g_state.argv[2] = buf + 8;
    g_state.argLen[0] = 2;
    g_state.argLen[1] = 4;
    g_state.argLen[2] = 5;
    g_state.argCount = 3;
    SetDefaultTrialSettings(&settings);
    CapturedOutput output;
    EXPECT_EQ(ParseTrialOptions(&settings), 1);
    EXPECT_EQ(output.Err(), kPrefix + L"Syntax error: \"STRAY\"\r\n");
}

TEST_F(OptionsTest, OverflowedLineIsReportedAsAMissingCommandToo) {
    CapturedOutput output;
    std::wstring line = L"/Q " + std::wstring(9000, L'c');
    EXPECT_EQ(Parse(line.c_str()), 1);
    EXPECT_EQ(output.Err(), kPrefix + L"Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\n" + kPrefix +
                                L"Missing command\r\n");
}

TEST_F(OptionsTest, AfterABadLineTheNextCommandParsesNormally) {
    CapturedOutput output;
    for (const wchar_t* bad : {L"/N:0 x", L"/D:3!,2 x", L"/Q", L"/O:z x", L"/U: x"}) {
        ASSERT_EQ(Parse(bad), 1) << bad;
        ASSERT_EQ(Parse(L"/N:2 /D:1 echo ok"), kParseProceed) << "after " << bad;
        EXPECT_EQ(settings.runCount, 2u);
        EXPECT_EQ(settings.nDropSlowest, 1u);
        EXPECT_STREQ(settings.command, L"echo ok");
    }
}

// --- Help and version

TEST_F(OptionsTest, HelpOptionWritesTheHelpAndEndsTheCommandWithZero) {
    {
        CapturedOutput output;
        EXPECT_EQ(Parse(L"/? x"), 0);
        std::wstring out = output.Out();
        EXPECT_EQ(out.size(), 649u);
        EXPECT_EQ(out.substr(0, 35), L"Run and time a command repeatedly.\n");
        EXPECT_EQ(output.Err(), L"");
    }
    {
        CapturedOutput output;
        EXPECT_EQ(Parse(L"/?? x"), 0);
        const std::wstring version = L"\r\n\t\t\t\tKelvane  0.99.1.0 (x64)\r\n";
        std::wstring out = output.Out();
        ASSERT_EQ(out.size(), 649u + version.size());
        EXPECT_EQ(out.substr(649), version);
    }
    {
        // Help comes first and nothing after it is checked.
        CapturedOutput output;
        EXPECT_EQ(Parse(L"/? /N:0"), 0);
        EXPECT_EQ(output.Out().size(), 649u);
        EXPECT_EQ(output.Err(), L"");
    }
}

TEST_F(OptionsTest, SuboptionQuestionMarkWritesTheSuboptionHelp) {
    for (const wchar_t* line : {L"/O? x", L"/O:C? x", L"/o=?z x"}) {
        CapturedOutput output;
        EXPECT_EQ(Parse(line), 0) << line;
        EXPECT_EQ(output.Out(), OptionOHelpText) << line;
        EXPECT_EQ(output.Err(), L"") << line;
    }
}

// --- Sound file

class SoundOptionTest : public OptionsTest {
protected:
    void SetUp() override {
        OptionsTest::SetUp();
        dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
    }
    void TearDown() override {
        RemoveTree(dir);
        OptionsTest::TearDown();
    }
    std::wstring File(const std::wstring& name) {
        std::wstring path = dir + L"\\" + name;
        WriteTextFile(path, L"RIFF");
        return path;
    }
    int ParseSound(const std::wstring& name) { return Parse((L"/S:\"" + name + L"\" x").c_str()); }

    std::wstring dir;
};

TEST_F(SoundOptionTest, AcceptsAnExistingWaveFileByItsFullName) {
    CapturedOutput output;
    for (const wchar_t* name : {L"ding.wav", L"DING2.WaV", L"with blank.wav"}) {
        std::wstring path = File(name);
        ASSERT_EQ(ParseSound(path), kParseProceed) << output.Err();
        EXPECT_TRUE(settings.playSound);
        EXPECT_EQ(std::wstring(settings.soundFile), path);
    }
    EXPECT_EQ(output.Err(), L"");
}

TEST_F(SoundOptionTest, RelativeNameBecomesTheFullName) {
    std::wstring path = File(L"rel.wav");
    wchar_t saved[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, saved);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    CapturedOutput output;
    int result = Parse(L"/S:rel.wav x");
    SetCurrentDirectoryW(saved);
    ASSERT_EQ(result, kParseProceed) << output.Err();
    EXPECT_EQ(std::wstring(settings.soundFile), path);
}

TEST_F(SoundOptionTest, EmptyValueMeansTheSystemSoundAndASecondSoundStartsAgain) {
    CapturedOutput output;
    ASSERT_EQ(Parse(L"/S x"), kParseProceed);
    EXPECT_TRUE(settings.playSound);
    EXPECT_STREQ(settings.soundFile, L"");

    std::wstring path = File(L"a.wav");
    ASSERT_EQ(Parse((L"/S:" + path + L" /S: x").c_str()), kParseProceed) << output.Err();
    EXPECT_TRUE(settings.playSound);
    EXPECT_STREQ(settings.soundFile, L"");
}

TEST_F(SoundOptionTest, RejectsDirectoriesMissingFilesAndOtherExtensions) {
    CreateDirectoryW((dir + L"\\folder.wav").c_str(), nullptr);
    CreateDirectoryW((dir + L"\\ends.in.dir").c_str(), nullptr);
    const std::wstring inDottedDir = File(L"ends.in.dir\\x");
    const std::wstring noExtension = File(L"noext");
    const std::wstring mp3 = File(L"tune.mp3");
    const std::wstring doubled = File(L"tune.wav.txt");
    const struct {
        std::wstring name;
        std::wstring message;
    } cases[] = {
        {dir + L"\\folder.wav", L"File not found: \"" + dir + L"\\folder.wav\"\r\n"},
        {dir + L"\\missing.wav", L"File not found: \"" + dir + L"\\missing.wav\"\r\n"},
        {inDottedDir, L"Not a .WAV file: \"" + inDottedDir + L"\"\r\n"},
        {noExtension, L"Not a .WAV file: \"" + noExtension + L"\"\r\n"},
        {mp3, L"Not a .WAV file: \"" + mp3 + L"\"\r\n"},
        {doubled, L"Not a .WAV file: \"" + doubled + L"\"\r\n"},
    };
    for (const auto& c : cases) {
        CapturedOutput output;
        EXPECT_EQ(ParseSound(c.name), 1) << c.name;
        EXPECT_EQ(output.Err(), kPrefix + c.message) << c.name;
    }
}

TEST_F(SoundOptionTest, RejectsDevicesAndNamesTheHostCannotResolve) {
    {
        // A device answers to its name but is no file to play.
        wchar_t device[MAX_PATH];
        GetFullPathNameW(L"nul", MAX_PATH, device, nullptr);
        CapturedOutput output;
        EXPECT_EQ(Parse(L"/S:nul x"), 1);
        EXPECT_EQ(output.Err(), kPrefix + L"File not found: \"" + device + L"\"\r\n");
    }
    {
        CapturedOutput output;
        EXPECT_EQ(Parse(L"/s:a<b|c.wav x"), 1);
        EXPECT_EQ(output.Err(), kPrefix + L"Bad filename: \"/S:A<B|C.WAV\"\r\n");
    }
}

TEST_F(SoundOptionTest, FullNameOfTwoHundredFiftySixCharactersIsTooLong) {
    std::wstring base = dir + L"\\";
    std::wstring fits = File(std::wstring(255 - base.size() - 4, L'a') + L".wav");
    ASSERT_EQ(fits.size(), 255u);
    // The length is checked before the file is looked for, so this one need not exist.
    std::wstring tooLong = base + std::wstring(256 - base.size() - 4, L'a') + L".wav";
    {
        CapturedOutput output;
        EXPECT_EQ(ParseSound(fits), kParseProceed) << output.Err();
        EXPECT_EQ(std::wstring(settings.soundFile), fits);
    }
    {
        CapturedOutput output;
        EXPECT_EQ(ParseSound(tooLong), 1);
        EXPECT_EQ(output.Err(), kPrefix + L"Sound filename too long: \"" + tooLong + L"\"\r\n" +
                                    L"  (Must be less than 256 characters)\r\n");
    }
}

// --- Through the host

TEST(KvCommandLineTest, BadLinesEndWithTheirMessageAndTheNextCommandStillRuns) {
    const std::wstring input =
        L"kv /N:0 echo x\r\necho rc=%_?\r\n"
        L"kv /d:3!,2 echo x\r\necho rc=%_?\r\n"
        L"kv /Q\r\necho rc=%_?\r\n"
        L"kv /N:2 /Q /O:CFJT echo ran-ok\r\necho rc=%_?\r\n";
    HostRun run = RunKvHost(L"", input);
    EXPECT_EQ(run.err, kPrefix + L"Number of runs must be 1 to 1000000: 0\r\n" + kPrefix +
                           L"Bad nDropFastest value: \"/D:3!,2\"\r\n" + kPrefix + L"Missing command\r\n");
    std::wstring out = run.out;
    size_t at = 0;
    for (const wchar_t* expected : {L"rc=1", L"rc=1", L"rc=1", L"ran-ok", L"ran-ok", L"rc=0"}) {
        size_t found = out.find(expected, at);
        ASSERT_NE(found, std::wstring::npos) << "missing " << expected << " in:\n" << out;
        at = found + 1;
    }
}

}  // namespace
