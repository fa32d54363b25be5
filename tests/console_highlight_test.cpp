// The highlight choice: the defaults derived from the current console colours,
// the user's choice from the environment and the registry, and every way a
// choice is refused. The current attribute is set on the real console.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include "console/console_env.h"
#include "console_test_support.h"
#include "frame/plugin_state.h"
#include "test_support.h"

namespace {

const wchar_t kPluginKey[] = L"SOFTWARE\\Zemquart\\Kelvane";
const wchar_t kCompanyKey[] = L"SOFTWARE\\Zemquart";

bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Writes the Highlight value (creating the key); bytes 0 means the text with its terminator.
bool WriteHighlight(HKEY root, const wchar_t* path, const wchar_t* text, DWORD bytes = 0, DWORD type = REG_SZ) {
    if (bytes == 0) bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return RegSetKeyValueW(root, path, L"Highlight", type, text, bytes) == ERROR_SUCCESS;
}

class Highlight : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(console_.ok());
        CONSOLE_SCREEN_BUFFER_INFO info;
        ASSERT_TRUE(GetConsoleScreenBufferInfo(console_.handle(), &info));
        savedAttribute_ = info.wAttributes;
        // The tests own these keys while they run: a user's own setting would
        // change every answer, and would be lost by the clean-up.
        if (KeyExists(HKEY_CURRENT_USER, kCompanyKey) || KeyExists(HKEY_LOCAL_MACHINE, kCompanyKey))
            GTEST_SKIP() << "a Highlight registry key already exists";
        ownsKeys_ = true;
        ResetPluginStateForTest();
    }
    void TearDown() override {
        SetConsoleTextAttribute(console_.handle(), savedAttribute_);
        if (ownsKeys_) {
            RegDeleteTreeW(HKEY_CURRENT_USER, kCompanyKey);
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kCompanyKey);
            EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kCompanyKey) || KeyExists(HKEY_LOCAL_MACHINE, kCompanyKey));
        }
        ResetPluginStateForTest();
    }
    // PickHighlight with the console showing the given attribute and the
    // Highlight variable set to value (null: absent); also checks that the
    // two fields agree with the result.
    uint8_t Pick(const wchar_t* value, int current, int noHighlight = 0) {
        ScopedEnvironmentVariable highlight(L"Highlight", value);
        SetConsoleTextAttribute(console_.handle(), static_cast<WORD>(current));
        uint8_t result = PickHighlight(noHighlight);
        EXPECT_EQ(g_state.highlightAttr, result);
        EXPECT_EQ(g_state.normalAttr, result ? static_cast<uint8_t>(current) : 0);
        return result;
    }

    ConsoleStdout console_;
    ScopedEnvironmentVariable noHighlightVariable_{L"Highlight", nullptr};
    ScopedEnvironmentVariable noNoColor_{L"NO_COLOR", nullptr};
    WORD savedAttribute_ = 0x07;
    bool ownsKeys_ = false;
};

TEST_F(Highlight, DefaultsFollowTheCurrentColours) {
    const struct {
        int current;
        uint8_t highlight;
    } cases[] = {
        {0x07, 0x0F},  // brighter foreground
        {0x0F, 0x0E},  // the first table gives the current colours back
        {0x17, 0x1F}, {0x1F, 0x1B}, {0x70, 0x79},
        {0x77, 0x00},  // foreground equals background
        {0x00, 0x00},
    };
    for (const auto& c : cases) EXPECT_EQ(Pick(nullptr, c.current), c.highlight) << std::hex << c.current;

    // Every background of both tables: the first answers for a bright
    // foreground, the second when the first one's answer is already showing.
    const uint8_t first[16] = {0x0F, 0x1F, 0x2F, 0x3F, 0x4F, 0x5F, 0x6F, 0x70,
                               0x8F, 0x9F, 0xA0, 0xB0, 0xCF, 0xD0, 0xE0, 0xF2};
    const uint8_t second[16] = {0x0E, 0x1B, 0x2B, 0x3E, 0x4B, 0x5B, 0x6B, 0x79,
                                0x8B, 0x9B, 0xA9, 0xB9, 0xC0, 0xDE, 0xEC, 0xF0};
    for (int bg = 0; bg < 16; ++bg) {
        int fg = bg == 13 ? 0x0C : 0x0D;
        EXPECT_EQ(Pick(nullptr, (bg << 4) | fg), first[bg]) << "background " << bg;
        EXPECT_EQ(Pick(nullptr, first[bg]), second[bg]) << "background " << bg;
    }
}

TEST_F(Highlight, ReadsTheChoiceFromTheEnvironment) {
    // A good registry value is never used once the environment gave a text,
    // not even when that text is refused.
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kPluginKey, L"0x2E"));
    const struct {
        const wchar_t* text;
        int current;
        uint8_t highlight;
        const char* why;
    } cases[] = {
        {L"inv", 0x1E, 0x61, "inverse swaps the colours"},
        {L"INVERSE", 0x1E, 0x61, "any case, any ending"},
        {L"inv", 0x4F, 0x74, "intensity is not carried to the background"},
        {L"0x1F", 0x07, 0x1F, "hexadecimal"},
        {L"0X1f", 0x07, 0x1F, "hexadecimal in any case"},
        {L"0x1F", 0x1F, 0x00, "the current colours"},
        {L"0x400", 0x17, 0x10, "background 64 keeps the current one"},
        {L"0x44", 0x07, 0x00, "invisible text"},
        {L"0x1F more", 0x07, 0x00, "trailing text"},
        {L"0x1F ", 0x07, 0x00, "trailing space"},
        {L"0xZZ", 0x07, 0x00, "no digits"},
        {L"0x", 0x07, 0x00, "nothing after the prefix"},
        {L"0x100000000", 0x07, 0x00, "out of range"},
        {L"bright red on blue", 0x07, 0x1C, "colour names go through the host"},
        {L"red", 0x17, 0x14, "a foreground alone keeps the background"},
        {L"blue", 0x17, 0x00, "a foreground alone equal to the background"},
        {L"in", 0x07, 0x00, "neither inverse nor a colour"},
    };
    for (const auto& c : cases) EXPECT_EQ(Pick(c.text, c.current), c.highlight) << c.why;
    EXPECT_EQ(Pick(nullptr, 0x07), 0x2E);
}

TEST_F(Highlight, NoColorTurnsTheDefaultAndTheRegistryOff) {
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kCompanyKey, L"0x1F"));
    ScopedEnvironmentVariable noColor(L"NO_COLOR", L"1");
    EXPECT_TRUE(NoColorRequested());
    EXPECT_EQ(Pick(nullptr, 0x07), 0x00);
    // The user's own Highlight variable wins over NO_COLOR.
    ScopedEnvironmentVariable highlight(L"Highlight", L"inv");
    EXPECT_FALSE(NoColorRequested());
    EXPECT_EQ(Pick(L"inv", 0x1E), 0x61);
}

TEST_F(Highlight, NoHighlightOptionClearsBothFields) {
    g_state.highlightAttr = 0x5A;
    g_state.normalAttr = 0x5A;
    EXPECT_EQ(Pick(L"0x1F", 0x07, 1), 0x00);
}

TEST_F(Highlight, NoneWhenStandardOutputIsAFile) {
    SetConsoleTextAttribute(console_.handle(), 0x07);
    ScopedEnvironmentVariable highlight(L"Highlight", L"0x1F");
    g_state.highlightAttr = 0x5A;
    CapturedOutput captured;
    EXPECT_EQ(PickHighlight(0), 0x00);
    EXPECT_EQ(g_state.highlightAttr, 0);
}

TEST_F(Highlight, RegistrySourcesAreTriedInOrder) {
    // Written from the last source tried to the first, each takes over; removed
    // again from the first, each hands back to the one after it.
    const struct {
        HKEY root;
        const wchar_t* path;
        const wchar_t* text;
        uint8_t highlight;
    } sources[] = {{HKEY_LOCAL_MACHINE, kCompanyKey, L"0x1B", 0x1B},
                   {HKEY_CURRENT_USER, kCompanyKey, L"0x1C", 0x1C},
                   {HKEY_LOCAL_MACHINE, kPluginKey, L"0x1D", 0x1D},
                   {HKEY_CURRENT_USER, kPluginKey, L"0x1E", 0x1E}};
    for (const auto& s : sources) {
        ASSERT_TRUE(WriteHighlight(s.root, s.path, s.text));
        EXPECT_EQ(Pick(nullptr, 0x07), s.highlight);
    }
    EXPECT_EQ(Pick(L"0x2F", 0x07), 0x2F);
    for (int i = 3; i > 0; --i) {
        ASSERT_EQ(RegDeleteKeyValueW(sources[i].root, sources[i].path, L"Highlight"), ERROR_SUCCESS);
        EXPECT_EQ(Pick(nullptr, 0x07), sources[i - 1].highlight);
    }
}

TEST_F(Highlight, PassesOverValuesThatAreNotPlainText) {
    const wchar_t expandable[] = L"0x1E";
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kPluginKey, expandable, sizeof expandable, REG_EXPAND_SZ));
    ASSERT_TRUE(WriteHighlight(HKEY_LOCAL_MACHINE, kPluginKey, L""));
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kCompanyKey, L"0x1C"));
    EXPECT_EQ(Pick(nullptr, 0x07), 0x1C);
}

TEST_F(Highlight, RefusesAValueThatFillsTheBufferUnterminated) {
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kCompanyKey, L"0x1C"));
    // 1024 characters with no terminator: exactly the 2048 bytes offered.
    std::wstring full = L"0x" + std::wstring(1020, L'0') + L"1E";
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kPluginKey, full.c_str(), 2048));
    EXPECT_EQ(Pick(nullptr, 0x07), 0x1C);
    // One character less leaves room for the terminator: accepted.
    full.erase(2, 1);
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kPluginKey, full.c_str()));
    EXPECT_EQ(Pick(nullptr, 0x07), 0x1E);
}

}  // namespace
