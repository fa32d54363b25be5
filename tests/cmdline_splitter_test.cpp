// Splitting the KV argument line into the process-wide argument list: the
// switches, quotes, the URL rule, the command that keeps the rest of the line,
// the buffer and count limits, and a randomised run that guards the memory
// around the list.
#include <gtest/gtest.h>
#include <cstring>
#include <cwctype>
#include <random>
#include <string>
#include <vector>
#include "cmdline/arg_splitter.h"
#include "cmdline/trial_options.h"
#include "frame/plugin_state.h"
#include "test_support.h"

namespace {

class SplitterTest : public ::testing::Test {
protected:
    void SetUp() override { ResetPluginStateForTest(); }
    void TearDown() override { ResetPluginStateForTest(); }
};

std::vector<std::wstring> SplitResult() {
    std::vector<std::wstring> args;
    for (int k = 0; k < g_state.argCount; ++k) args.emplace_back(g_state.argv[k], g_state.argLen[k]);
    return args;
}

std::wstring Show(const std::vector<std::wstring>& args) {
    std::wstring text;
    for (const std::wstring& a : args) text += L"[" + a + L"]";
    return text;
}

struct SplitCase {
    const wchar_t* line;
    std::vector<std::wstring> args;
};

TEST_F(SplitterTest, SplitsSwitchesOneByOneAndGivesTheCommandTheRestOfTheLine) {
    const SplitCase cases[] = {
        {L"/N:5 /D:2,3 echo \"a b\"", {L"/N:5", L"/D:2,3", L"echo \"a b\""}},
        {L"/n=3 /q dir /s", {L"/n=3", L"/q", L"dir /s"}},
        {L"/N:3/Q/M timer  ", {L"/N:3", L"/Q", L"/M", L"timer"}},
        {L"/S:\"c:\\my sounds\\done.wav\" cmd", {L"/S:c:\\my sounds\\done.wav", L"cmd"}},
        {L"\"c:\\program files\\x.exe\" -v", {L"\"c:\\program files\\x.exe\" -v"}},
        {L"/S:c:/snd/a.wav dir", {L"/S:c:", L"/snd", L"/a.wav", L"dir"}},
        {L"/S:file://d/a.wav dir", {L"/S:file://d/a.wav", L"dir"}},
        {L"/N:5,/M x", {L"/N:5,", L"/M", L"x"}},
        {L"/D:1!\tcmd", {L"/D:1!", L"cmd"}},
        {L"/Q \"dir\" /s", {L"/Q", L"\"dir\" /s"}},
        {L"/N:\"5\" x", {L"/N:5", L"x"}},
        {L"/N:3 `echo %_time` & ver", {L"/N:3", L"`echo %_time` & ver"}},
        {L"//x y", {L"//x", L"y"}},
        {L"/S:\"name \" x", {L"/S:name", L"x"}},
        {L"\"a b\" c", {L"\"a b\" c"}},
        {L"/Q \"", {L"/Q", L"\""}},
        {L"/Q\techo", {L"/Q", L"echo"}},
        {L"   /Q   /B   x  y  ", {L"/Q", L"/B", L"x  y"}},
        {L"/a;b=c,d cmd", {L"/a;b=c,d", L"cmd"}},
        // A blank inside quotes in a switch does not split; the quotes go.
        {L"/S:\"a b\"/Q x", {L"/S:a b", L"/Q", L"x"}},
        // Only a letter before "://" marks an address; after "1:" the slashes split,
        // and a slash as the second character of a switch does not.
        {L"/S:1://x y", {L"/S:1:", L"//x", L"y"}},
        // No-break space and the ideographic space are white space too.
        {L"/Q\u00a0/B\u3000cmd\u3000", {L"/Q", L"/B", L"cmd"}},
        // U+0085 is not white space here.
        {L"/Q\u0085 x", {L"/Q\u0085", L"x"}},
    };
    for (const SplitCase& c : cases) {
        int result = SplitArgs(c.line);
        EXPECT_EQ(result, static_cast<int>(c.args.size())) << c.line;
        EXPECT_EQ(Show(SplitResult()), Show(c.args)) << c.line;
    }
}

TEST_F(SplitterTest, EmptyAndBlankLinesHaveNoArguments) {
    for (const wchar_t* line : {L"", L"   ", L" \t\r\n\u00a0 "}) {
        SplitArgs(L"/Q earlier");
        EXPECT_EQ(SplitArgs(line), 0);
        EXPECT_EQ(g_state.argCount, 0);
        EXPECT_EQ(g_state.argv[0], nullptr);
        EXPECT_EQ(g_state.argv[1], nullptr);
        EXPECT_EQ(g_state.argLen[0], 0);
    }
}

TEST_F(SplitterTest, NullLineLeavesTheListAsItWas) {
    ASSERT_EQ(SplitArgs(L"/Q dir"), 2);
    EXPECT_EQ(SplitArgs(nullptr), -1);
    EXPECT_EQ(g_state.argCount, 2);
    EXPECT_EQ(Show(SplitResult()), L"[/Q][dir]");
}

TEST_F(SplitterTest, NewSplitClearsEveryEntryOfTheLastOne) {
    ASSERT_EQ(SplitArgs(L"/A /B /C /D /E cmd"), 6);
    ASSERT_EQ(SplitArgs(L"/Q x"), 2);
    for (int k = 2; k < kMaxArgs; ++k) {
        ASSERT_EQ(g_state.argv[k], nullptr) << k;
        ASSERT_EQ(g_state.argLen[k], 0) << k;
    }
}

TEST_F(SplitterTest, OneArgumentFillsTheBufferUpToItsLastCharacter) {
    std::wstring word(8191, L'w');
    ASSERT_EQ(SplitArgs(word.c_str()), 1);
    EXPECT_EQ(g_state.argLen[0], 8191);
    EXPECT_EQ(g_state.argv[0], g_state.argBuf);
    EXPECT_EQ(g_state.argBuf[8191], L'\0');
}

TEST_F(SplitterTest, OverflowReportsThePositionAndLeavesNoArguments) {
    CapturedOutput output;
    std::wstring word(8192, L'w');
    EXPECT_EQ(SplitArgs(word.c_str()), -1);
    EXPECT_EQ(g_state.argCount, 0);
    EXPECT_EQ(g_state.argv[0], nullptr);
    EXPECT_EQ(g_state.argLen[0], 0);
    EXPECT_EQ(output.Err(), L"Kelvane plugin: Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\n");
    EXPECT_EQ(output.Out(), L"");
}

TEST_F(SplitterTest, ArgumentEndingAtTheLastPlaceWritesNoTerminatorPastTheBuffer) {
    // A switch of 8191 characters fills the buffer; what ends it (a blank or the
    // next switch) moves the position past the end, where nothing may be written.
    static_assert(offsetof(PluginState, ancestorPids) == offsetof(PluginState, argBuf) + sizeof(PluginState::argBuf));
    const std::wstring full = L"/" + std::wstring(8190, L'x');
    for (const std::wstring& line : {full + L" cmd", full + L"/Q cmd", full + L"\t\t"}) {
        SplitArgs(L"/Q earlier");
        std::memset(&g_state.ancestorPids, 0xA5, sizeof g_state.ancestorPids);
        CapturedOutput output;
        int result = SplitArgs(line.c_str());
        EXPECT_EQ(reinterpret_cast<uintptr_t>(g_state.ancestorPids), ~uintptr_t{0} / 0xFF * 0xA5);
        g_state.ancestorPids = nullptr;
        if (line.back() == L'\t') {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(g_state.argLen[0], 8191);
            EXPECT_EQ(output.Err(), L"");
        } else {
            EXPECT_EQ(result, -1);
            EXPECT_EQ(g_state.argCount, 0);
            EXPECT_EQ(output.Err(), L"Kelvane plugin: Buffer overflow: b = 8192, MAX_ARG_LEN = 8192 \r\n");
        }
    }
}

TEST_F(SplitterTest, EveryFinishedArgumentCostsOnePositionForItsTerminator) {
    // Each "/Q" takes two positions and its terminator one, so 1000 of them end at
    // position 3000 and leave the command the places 3000 to 8190: 5191 characters.
    std::wstring line;
    for (int k = 0; k < 1000; ++k) line += L"/Q ";
    std::wstring fits = line + std::wstring(5191, L'c');
    ASSERT_EQ(SplitArgs(fits.c_str()), 1001);
    EXPECT_EQ(g_state.argLen[1000], 5191);

    CapturedOutput output;
    std::wstring tooLong = line + std::wstring(5192, L'c');
    EXPECT_EQ(SplitArgs(tooLong.c_str()), -1);
    EXPECT_EQ(output.Err(), L"Kelvane plugin: Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\n");
}

TEST_F(SplitterTest, ArgumentsPastTheLimitAreDroppedSilently) {
    CapturedOutput output;
    std::wstring line;
    for (int k = 0; k < 1100; ++k) line += L"/Q";
    line += L" echo lost";
    ASSERT_EQ(SplitArgs(line.c_str()), kMaxArgs);
    for (int k = 0; k < kMaxArgs; ++k) ASSERT_EQ(std::wstring(g_state.argv[k]), L"/Q") << k;
    EXPECT_EQ(output.Err(), L"");
}

// --- Randomised lines: the list stays consistent and nothing around it is touched.

constexpr unsigned char kGuard = 0xA5;
constexpr size_t kListBegin = offsetof(PluginState, argCount);
constexpr size_t kListEnd = offsetof(PluginState, argBuf) + sizeof(PluginState::argBuf);

// Every byte of the state outside the argument list holds the guard value.
void FillGuards() {
    auto* bytes = reinterpret_cast<unsigned char*>(&g_state);
    std::memset(bytes, kGuard, kListBegin);
    std::memset(bytes + kListEnd, kGuard, sizeof g_state - kListEnd);
}

bool GuardsIntact() {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&g_state);
    for (size_t i = 0; i < sizeof g_state; ++i)
        if ((i < kListBegin || i >= kListEnd) && bytes[i] != kGuard) return false;
    return true;
}

bool IsBlankChar(wchar_t c) { return (c >= 9 && c <= 13) || c == 0x20 || c == 0xA0 || (c > 0xFF && iswspace(c)); }

// What the split must always leave behind; "" when it does.
std::wstring ListProblem(int result, const std::wstring& line) {
    const int count = g_state.argCount;
    if (result != -1 && result != count) return L"result differs from argCount";
    if (count < 0 || count > kMaxArgs) return L"argCount out of range";
    const wchar_t* bufEnd = g_state.argBuf + MAX_ARG_LEN;
    const wchar_t* previousEnd = g_state.argBuf;
    for (int k = 0; k < count; ++k) {
        const wchar_t* a = g_state.argv[k];
        const int len = g_state.argLen[k];
        if (!a || a < previousEnd || a >= bufEnd) return L"argv outside the buffer or out of order at " + std::to_wstring(k);
        if (len <= 0 || a + len >= bufEnd) return L"bad length at " + std::to_wstring(k);
        if (static_cast<int>(wcsnlen(a, static_cast<size_t>(bufEnd - a))) != len)
            return L"length does not match the text at " + std::to_wstring(k);
        if (IsBlankChar(a[len - 1]) || IsBlankChar(a[0])) return L"untrimmed blank at " + std::to_wstring(k);
        previousEnd = a + len + 1;
    }
    for (int k = count; k < kMaxArgs; ++k)
        if (g_state.argv[k] || g_state.argLen[k]) return L"stale entry at " + std::to_wstring(k);
    if (result == -1 && count != 0) return L"failed split left arguments";
    // A last argument that is not a switch is the command: the rest of the line as typed.
    if (result > 0 && result < kMaxArgs && g_state.argv[count - 1][0] != L'/') {
        std::wstring trimmed = line;
        while (!trimmed.empty() && IsBlankChar(trimmed.back())) trimmed.pop_back();
        std::wstring command(g_state.argv[count - 1]);
        if (trimmed.size() < command.size() || trimmed.compare(trimmed.size() - command.size(), command.size(), command) != 0)
            return L"command is not the rest of the line";
    }
    return L"";
}

std::wstring RandomLine(std::mt19937& random) {
    static const wchar_t* const pieces[] = {
        L"/", L"//", L"://", L"\"", L"\"\"", L" ", L"  ", L"\t", L",", L";", L"=", L":", L"!", L"?", L"\\",
        L"/N:", L"/D:", L"/O:", L"/S:", L"/U:", L"/Q", L"/QQ", L"/B", L"/DD", L"/T", L"/?", L"/??", L"/O?",
        L"0x", L"0o", L"-", L"+", L"5", L"1001", L"4294967296", L"x", L"echo", L"file", L"\u00e9", L"\u00a0",
        L"\u3000", L"\u2264", L"\u0085", L"\xd83d\xde00", L"\xdc00", L"\u0130", L"%", L"`", L"&", L"\r\n",
    };
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<size_t> piece(0, std::size(pieces) - 1);
    std::wstring line;
    switch (kind(random)) {
        case 0: {  // one long word, around the buffer's size
            std::uniform_int_distribution<int> length(8000, 9000);
            line.assign(static_cast<size_t>(length(random)), L'z');
            break;
        }
        case 1: {  // more switches than the list holds
            std::uniform_int_distribution<int> count(1000, 1400);
            for (int n = count(random); n > 0; --n) line += (n % 3) ? L"/Q" : L"/a:b ";
            line += L" echo x";
            break;
        }
        case 2: {  // a long mixed line
            std::uniform_int_distribution<int> count(1500, 3000);
            for (int n = count(random); n > 0; --n) line += pieces[piece(random)];
            break;
        }
        default: {
            std::uniform_int_distribution<int> count(0, 40);
            for (int n = count(random); n > 0; --n) line += pieces[piece(random)];
            break;
        }
    }
    return line;
}

TEST_F(SplitterTest, RandomLinesKeepTheListConsistentAndTouchNothingAroundIt) {
    std::mt19937 random(20261207);  // fixed: a failure reproduces
    CapturedOutput output;
    int overflows = 0, fullLists = 0, proceeded = 0, refused = 0;
    for (int round = 0; round < 5000; ++round) {
        std::wstring line = RandomLine(random);
        FillGuards();
        int result = SplitArgs(line.c_str());
        overflows += result == -1;
        fullLists += result == kMaxArgs;
        std::wstring problem = ListProblem(result, line);
        ASSERT_EQ(problem, L"") << "round " << round << ", line of " << line.size() << " characters";
        ASSERT_TRUE(GuardsIntact()) << "split, round " << round;

        TrialSettings settings;
        SetDefaultTrialSettings(&settings);
        int parsed = ParseTrialOptions(&settings);
        ASSERT_TRUE(parsed == kParseProceed || parsed == 0 || parsed == 1) << "round " << round << ": " << parsed;
        proceeded += parsed == kParseProceed;
        refused += parsed == 1;
        if (parsed == kParseProceed) {
            ASSERT_NE(settings.command, nullptr);
            ASSERT_GE(settings.command, g_state.argBuf);
            ASSERT_LT(settings.command, g_state.argBuf + MAX_ARG_LEN);
            ASSERT_GE(settings.runCount, 1u);
            ASSERT_LE(settings.runCount, kMaxRuns);
            ASSERT_LE(settings.nDropSlowest, kMaxDrops);
            ASSERT_LE(settings.nDropFastest, kMaxDrops);
        }
        ASSERT_TRUE(GuardsIntact()) << "parse, round " << round;
    }
    // The lines must have reached every outcome for the run to mean anything.
    EXPECT_GT(overflows, 50);
    EXPECT_GT(fullLists, 50);
    EXPECT_GT(proceeded, 50);
    EXPECT_GT(refused, 50);
    ResetPluginStateForTest();
    // The plug-in still takes an ordinary line after all of that.
    ASSERT_EQ(SplitArgs(L"/N:3 echo hi"), 2);
    TrialSettings settings;
    SetDefaultTrialSettings(&settings);
    EXPECT_EQ(ParseTrialOptions(&settings), kParseProceed);
    EXPECT_EQ(settings.runCount, 3u);
    EXPECT_STREQ(settings.command, L"echo hi");
}

}  // namespace
