// Splitting the KV argument line into the process-wide argument list: the
// switches, quotes, the URL rule, the command that keeps the rest of the line,
// the buffer and count limits, and a randomised run that guards the memory
// around the list.
#include <gtest/gtest.h>
#include <algorithm>
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

// The list as "[arg][arg]...".
std::wstring Shown() {
    std::wstring text;
    for (int k = 0; k < g_state.argCount; ++k) text += L"[" + std::wstring(g_state.argv[k], g_state.argLen[k]) + L"]";
    return text;
}

TEST_F(SplitterTest, SplitsSwitchesOneByOneAndGivesTheCommandTheRestOfTheLine) {
    const struct {
        const wchar_t* line;
        int count;
        const wchar_t* shown;
    } cases[] = {
        {L"/N:5 /D:2,3 echo \"a b\"", 3, L"[/N:5][/D:2,3][echo \"a b\"]"},
        {L"/n=3 /q dir /s", 3, L"[/n=3][/q][dir /s]"},
        {L"/N:3/Q/M timer  ", 4, L"[/N:3][/Q][/M][timer]"},
        {L"/S:\"c:\\my sounds\\done.wav\" cmd", 2, L"[/S:c:\\my sounds\\done.wav][cmd]"},
        {L"\"c:\\program files\\x.exe\" -v", 1, L"[\"c:\\program files\\x.exe\" -v]"},
        {L"/S:c:/snd/a.wav dir", 4, L"[/S:c:][/snd][/a.wav][dir]"},
        {L"/S:file://d/a.wav dir", 2, L"[/S:file://d/a.wav][dir]"},
        {L"/N:5,/M x", 3, L"[/N:5,][/M][x]"},
        {L"/D:1!\tcmd", 2, L"[/D:1!][cmd]"},
        {L"/Q \"dir\" /s", 2, L"[/Q][\"dir\" /s]"},
        {L"/N:\"5\" x", 2, L"[/N:5][x]"},
        {L"/N:3 `echo %_time` & ver", 2, L"[/N:3][`echo %_time` & ver]"},
        {L"//x y", 2, L"[//x][y]"},
        {L"/S:\"name \" x", 2, L"[/S:name][x]"},
        {L"\"a b\" c", 1, L"[\"a b\" c]"},
        {L"/Q \"", 2, L"[/Q][\"]"},
        {L"/Q\techo", 2, L"[/Q][echo]"},
        {L"   /Q   /B   x  y  ", 3, L"[/Q][/B][x  y]"},
        {L"/a;b=c,d cmd", 2, L"[/a;b=c,d][cmd]"},
        // A blank inside quotes in a switch does not split; the quotes go.
        {L"/S:\"a b\"/Q x", 3, L"[/S:a b][/Q][x]"},
        // Only a letter before "://" marks an address; after "1:" the slashes split,
        // and a slash as the second character of a switch does not.
        {L"/S:1://x y", 3, L"[/S:1:][//x][y]"},
        // No-break space and the ideographic space are white space too; U+0085 is not.
        {L"/Q\u00a0/B\u3000cmd\u3000", 3, L"[/Q][/B][cmd]"},
        {L"/Q\u0085 x", 2, L"[/Q\u0085][x]"},
        {L"", 0, L""},
        {L" \t\r\n\u00a0 ", 0, L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SplitArgs(c.line), c.count) << c.line;
        EXPECT_EQ(Shown(), c.shown) << c.line;
    }
}

TEST_F(SplitterTest, NullLineLeavesTheListAsItWas) {
    ASSERT_EQ(SplitArgs(L"/Q dir"), 2);
    EXPECT_EQ(SplitArgs(nullptr), -1);
    EXPECT_EQ(Shown(), L"[/Q][dir]");
}

TEST_F(SplitterTest, BufferHoldsEightThousandOneHundredNinetyOneCharactersAndNoMore) {
    // The pointer after the buffer is filled with a pattern: a terminator
    // written one place past the end would show there.
    static_assert(offsetof(PluginState, ancestorPids) == offsetof(PluginState, argBuf) + sizeof(PluginState::argBuf));
    const std::wstring fullSwitch = L"/" + std::wstring(8190, L'x');
    // Each "/Q " costs two places and one for its terminator: 1000 of them leave 5191.
    std::wstring thousandSwitches;
    for (int k = 0; k < 1000; ++k) thousandSwitches += L"/Q ";
    const struct {
        std::wstring line;
        int result;
        int lastLength;  // of the last argument when the split succeeds
        std::wstring err;
    } cases[] = {
        {std::wstring(8191, L'w'), 1, 8191, L""},
        {std::wstring(8192, L'w'), -1, 0, L"Kelvane plugin: Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\n"},
        {fullSwitch + L"\t\t", 1, 8191, L""},
        {fullSwitch + L" cmd", -1, 0, L"Kelvane plugin: Buffer overflow: b = 8192, MAX_ARG_LEN = 8192 \r\n"},
        {fullSwitch + L"/Q cmd", -1, 0, L"Kelvane plugin: Buffer overflow: b = 8192, MAX_ARG_LEN = 8192 \r\n"},
        {thousandSwitches + std::wstring(5191, L'c'), 1001, 5191, L""},
        {thousandSwitches + std::wstring(5192, L'c'), -1, 0,
         L"Kelvane plugin: Buffer overflow: b = 8191, MAX_ARG_LEN = 8192 \r\n"},
    };
    const uintptr_t pattern = ~uintptr_t{0} / 0xFF * 0xA5;
    for (const auto& c : cases) {
        const std::wstring label = c.line.substr(0, 8) + L"... of " + std::to_wstring(c.line.size());
        SplitArgs(L"/Q earlier");
        std::memset(&g_state.ancestorPids, 0xA5, sizeof g_state.ancestorPids);
        CapturedOutput output;
        EXPECT_EQ(SplitArgs(c.line.c_str()), c.result) << label;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(g_state.ancestorPids), pattern) << label;
        g_state.ancestorPids = nullptr;
        EXPECT_EQ(g_state.argCount, c.result < 0 ? 0 : c.result) << label;
        if (c.result > 0) {
            EXPECT_EQ(g_state.argLen[c.result - 1], c.lastLength) << label;
        }
        EXPECT_EQ(output.Err(), c.err) << label;
        EXPECT_EQ(output.Out(), L"") << label;
    }
}

TEST_F(SplitterTest, ArgumentsPastTheLimitAreDroppedSilently) {
    CapturedOutput output;
    std::wstring line, kept;
    for (int k = 0; k < 1100; ++k) line += L"/Q";
    for (int k = 0; k < 1024; ++k) kept += L"[/Q]";
    ASSERT_EQ(SplitArgs((line + L" echo lost").c_str()), 1024);
    EXPECT_EQ(Shown(), kept);
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
    if (result == -1 && count != 0) return L"failed split left arguments";
    const wchar_t* bufEnd = g_state.argBuf + MAX_ARG_LEN;
    const wchar_t* previousEnd = g_state.argBuf;
    for (int k = 0; k < count; ++k) {
        const wchar_t* a = g_state.argv[k];
        const int len = g_state.argLen[k];
        const std::wstring at = L" at " + std::to_wstring(k);
        if (!a || a < previousEnd || a >= bufEnd) return L"argv outside the buffer or out of order" + at;
        if (len <= 0 || a + len >= bufEnd) return L"bad length" + at;
        if (static_cast<int>(wcsnlen(a, static_cast<size_t>(bufEnd - a))) != len) return L"length is not the text's" + at;
        if (IsBlankChar(a[len - 1]) || IsBlankChar(a[0])) return L"untrimmed blank" + at;
        previousEnd = a + len + 1;
    }
    for (int k = count; k < kMaxArgs; ++k)
        if (g_state.argv[k] || g_state.argLen[k]) return L"stale entry at " + std::to_wstring(k);
    // A last argument that is not a switch is the command: the rest of the line as typed.
    if (result > 0 && result < kMaxArgs && g_state.argv[count - 1][0] != L'/') {
        std::wstring trimmed = line;
        while (!trimmed.empty() && IsBlankChar(trimmed.back())) trimmed.pop_back();
        const std::wstring command(g_state.argv[count - 1]);
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
    auto between = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    std::wstring line;
    const int kind = between(0, 9);
    if (kind == 0) return std::wstring(static_cast<size_t>(between(8000, 9000)), L'z');  // around the buffer's size
    if (kind == 1) {  // more switches than the list holds
        for (int n = between(1000, 1400); n > 0; --n) line += (n % 3) ? L"/Q" : L"/a:b ";
        return line + L" echo x";
    }
    for (int n = kind == 2 ? between(1500, 3000) : between(0, 40); n > 0; --n)
        line += pieces[between(0, static_cast<int>(std::size(pieces)) - 1)];
    return line;
}

TEST_F(SplitterTest, RandomLinesKeepTheListConsistentAndTouchNothingAroundIt) {
    std::mt19937 random(20261207);  // fixed: a failure reproduces
    CapturedOutput output;
    int overflows = 0, fullLists = 0, proceeded = 0, refused = 0;
    for (int round = 0; round < 5000; ++round) {
        const std::wstring line = RandomLine(random);
        FillGuards();
        const int result = SplitArgs(line.c_str());
        overflows += result == -1;
        fullLists += result == kMaxArgs;
        ASSERT_EQ(ListProblem(result, line), L"") << "round " << round << ", line of " << line.size() << " characters";
        ASSERT_TRUE(GuardsIntact()) << "split, round " << round;

        TrialSettings settings;
        SetDefaultTrialSettings(&settings);
        const int parsed = ParseTrialOptions(&settings);
        ASSERT_TRUE(parsed == kParseProceed || parsed == 0 || parsed == 1) << "round " << round << ": " << parsed;
        proceeded += parsed == kParseProceed;
        refused += parsed == 1;
        if (parsed == kParseProceed) {
            ASSERT_TRUE(settings.command >= g_state.argBuf && settings.command < g_state.argBuf + MAX_ARG_LEN);
            ASSERT_TRUE(settings.runCount >= 1 && settings.runCount <= kMaxRuns) << settings.runCount;
            ASSERT_LE(std::max(settings.nDropSlowest, settings.nDropFastest), kMaxDrops);
        }
        ASSERT_TRUE(GuardsIntact()) << "parse, round " << round;
    }
    // The lines must have reached every outcome for the run to mean anything.
    EXPECT_GT(overflows, 50);
    EXPECT_GT(fullLists, 50);
    EXPECT_GT(proceeded, 50);
    EXPECT_GT(refused, 50);
    // The plug-in still takes an ordinary line after all of that.
    ResetPluginStateForTest();
    ASSERT_EQ(SplitArgs(L"/N:3 echo hi"), 2);
    TrialSettings settings;
    SetDefaultTrialSettings(&settings);
    EXPECT_EQ(ParseTrialOptions(&settings), kParseProceed);
    EXPECT_EQ(settings.runCount, 3u);
    EXPECT_STREQ(settings.command, L"echo hi");
}

}  // namespace
