// The highlight choice: the defaults derived from the current console colours,
// the user's choice from the environment and the registry, and every way a
// choice is refused. The current attribute is set on the real console.
#include <gtest/gtest.h>
#include <windows.h>
#include <string>
#include <vector>
#include "console/console_env.h"
#include "console_test_support.h"
#include "frame/plugin_state.h"
#include "test_support.h"

namespace {

const wchar_t kPluginKey[] = L"SOFTWARE\\Zemquart\\Kelvane";
const wchar_t kCompanyKey[] = L"SOFTWARE\\Zemquart";

// A registry key created for one test (with its Highlight value) and deleted
// again, together with the company key when the test created that too.
class ScopedHighlightValue {
public:
    ScopedHighlightValue(HKEY root, const wchar_t* path, DWORD type, const void* data, DWORD bytes) : root_(root) {
        if (wcscmp(path, kPluginKey) == 0) Create(kCompanyKey);
        HKEY key = Create(path);
        if (key) {
            ok_ = RegSetValueExW(key, L"Highlight", 0, type, static_cast<const BYTE*>(data), bytes) == ERROR_SUCCESS;
            RegCloseKey(key);
        }
        value_ = path;
    }
    ScopedHighlightValue(HKEY root, const wchar_t* path, const wchar_t* text)
        : ScopedHighlightValue(root, path, REG_SZ, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t))) {}
    ~ScopedHighlightValue() {
        HKEY key;
        if (RegOpenKeyExW(root_, value_.c_str(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, L"Highlight");
            RegCloseKey(key);
        }
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) RegDeleteKeyW(root_, it->c_str());
    }
    ScopedHighlightValue(const ScopedHighlightValue&) = delete;
    ScopedHighlightValue& operator=(const ScopedHighlightValue&) = delete;
    bool ok() const { return ok_; }

private:
    HKEY Create(const wchar_t* path) {
        HKEY key = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExW(root_, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition) != ERROR_SUCCESS)
            return nullptr;
        if (disposition == REG_CREATED_NEW_KEY) created_.push_back(path);
        return key;
    }
    HKEY root_;
    std::wstring value_;
    std::vector<std::wstring> created_;
    bool ok_ = false;
};

bool KeyExists(HKEY root, const wchar_t* path) {
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
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
        ResetPluginStateForTest();
    }
    void TearDown() override {
        SetConsoleTextAttribute(console_.handle(), savedAttribute_);
        ResetPluginStateForTest();
    }
    // PickHighlight with the console showing the given attribute.
    uint8_t PickWith(int current, int noHighlight = 0) {
        SetConsoleTextAttribute(console_.handle(), static_cast<WORD>(current));
        return PickHighlight(noHighlight);
    }
    // The highlight for one Highlight environment value; also checks that the
    // two fields agree with the result.
    uint8_t PickWithVariable(const wchar_t* value, int current) {
        ScopedEnvironmentVariable highlight(L"Highlight", value);
        uint8_t result = PickWith(current);
        EXPECT_EQ(g_state.highlightAttr, result);
        EXPECT_EQ(g_state.normalAttr, result ? static_cast<uint8_t>(current) : 0);
        return result;
    }

    ConsoleStdout console_;
    ScopedEnvironmentVariable noHighlightVariable_{L"Highlight", nullptr};
    ScopedEnvironmentVariable noNoColor_{L"NO_COLOR", nullptr};
    WORD savedAttribute_ = 0x07;
};

struct Expectation {
    int current;
    uint8_t highlight;
};

TEST_F(Highlight, DefaultsFollowTheCurrentColours) {
    const Expectation cases[] = {
        {0x07, 0x0F},  // brighter foreground
        {0x0F, 0x0E},  // the first table gives the current colours back
        {0x17, 0x1F}, {0x1F, 0x1B}, {0x70, 0x79},
        {0x77, 0x00},  // foreground equals background
        {0x00, 0x00},
    };
    for (const Expectation& c : cases) {
        EXPECT_EQ(PickWith(c.current), c.highlight) << std::hex << c.current;
        EXPECT_EQ(g_state.highlightAttr, c.highlight);
        EXPECT_EQ(g_state.normalAttr, c.highlight ? c.current : 0);
    }
}

TEST_F(Highlight, DefaultTablesCoverEveryBackground) {
    const uint8_t first[16] = {0x0F, 0x1F, 0x2F, 0x3F, 0x4F, 0x5F, 0x6F, 0x70,
                               0x8F, 0x9F, 0xA0, 0xB0, 0xCF, 0xD0, 0xE0, 0xF2};
    const uint8_t second[16] = {0x0E, 0x1B, 0x2B, 0x3E, 0x4B, 0x5B, 0x6B, 0x79,
                                0x8B, 0x9B, 0xA9, 0xB9, 0xC0, 0xDE, 0xEC, 0xF0};
    for (int bg = 0; bg < 16; ++bg) {
        // A bright foreground keeps the brighter-foreground rule out of the way.
        int fg = bg == 13 ? 0x0C : 0x0D;
        EXPECT_EQ(PickWith((bg << 4) | fg), first[bg]) << "background " << bg;
        EXPECT_EQ(PickWith(first[bg]), second[bg]) << "background " << bg;
    }
}

TEST_F(Highlight, InverseSwapsTheCurrentColours) {
    EXPECT_EQ(PickWithVariable(L"inv", 0x1E), 0x61);
    EXPECT_EQ(PickWithVariable(L"INVERSE", 0x1E), 0x61);
    EXPECT_EQ(PickWithVariable(L"Inv", 0x07), 0x70);
    // The intensity of the old foreground is not carried to the background.
    EXPECT_EQ(PickWithVariable(L"inv", 0x4F), 0x74);
}

TEST_F(Highlight, ReadsHexadecimalAttributes) {
    EXPECT_EQ(PickWithVariable(L"0x1F", 0x07), 0x1F);
    EXPECT_EQ(PickWithVariable(L"0X1f", 0x07), 0x1F);
    EXPECT_EQ(PickWithVariable(L"0x1F", 0x1F), 0x00);  // the current colours
    EXPECT_EQ(PickWithVariable(L"0x400", 0x17), 0x10);  // background 64 keeps the current one
    EXPECT_EQ(PickWithVariable(L"0x44", 0x07), 0x00);   // invisible text
}

TEST_F(Highlight, RefusesMalformedHexadecimalWithoutFallingBack) {
    // A good registry value is not used once the environment gave a text.
    ScopedHighlightValue registry(HKEY_CURRENT_USER, kPluginKey, L"0x2E");
    ASSERT_TRUE(registry.ok());
    for (const wchar_t* text : {L"0x1F more", L"0x1F ", L"0xZZ", L"0x100000000", L"0x"}) {
        EXPECT_EQ(PickWithVariable(text, 0x07), 0x00) << std::string(text, text + wcslen(text));
    }
    EXPECT_EQ(PickWithVariable(nullptr, 0x07), 0x2E);
}

TEST_F(Highlight, ColourNamesGoThroughTheHost) {
    EXPECT_EQ(PickWithVariable(L"bright red on blue", 0x07), 0x1C);
    EXPECT_EQ(PickWithVariable(L"red", 0x17), 0x14);   // the current background stays
    EXPECT_EQ(PickWithVariable(L"blue", 0x17), 0x00);  // foreground-only equal to the background
    EXPECT_EQ(PickWithVariable(L"in", 0x07), 0x00);    // not "inv", and no colour
}

TEST_F(Highlight, NoColorTurnsTheDefaultAndTheRegistryOff) {
    ScopedHighlightValue registry(HKEY_CURRENT_USER, kCompanyKey, L"0x1F");
    ASSERT_TRUE(registry.ok());
    ScopedEnvironmentVariable noColor(L"NO_COLOR", L"1");
    EXPECT_TRUE(NoColorRequested());
    EXPECT_EQ(PickWith(0x07), 0x00);
    EXPECT_EQ(g_state.highlightAttr, 0);
    EXPECT_EQ(g_state.normalAttr, 0);

    // The user's own Highlight variable wins over NO_COLOR.
    ScopedEnvironmentVariable highlight(L"Highlight", L"inv");
    EXPECT_FALSE(NoColorRequested());
    EXPECT_EQ(PickWith(0x1E), 0x61);
}

TEST_F(Highlight, NoHighlightOptionClearsBothFields) {
    g_state.highlightAttr = 0x5A;
    g_state.normalAttr = 0x5A;
    EXPECT_EQ(PickWith(0x07, 1), 0x00);
    EXPECT_EQ(g_state.highlightAttr, 0);
    EXPECT_EQ(g_state.normalAttr, 0);
}

TEST_F(Highlight, NoneWhenStandardOutputIsAFile) {
    SetConsoleTextAttribute(console_.handle(), 0x07);
    ScopedEnvironmentVariable highlight(L"Highlight", L"0x1F");
    CapturedOutput captured;
    EXPECT_EQ(PickHighlight(0), 0x00);
    EXPECT_EQ(g_state.highlightAttr, 0);
}

TEST_F(Highlight, RegistrySourcesAreTriedInOrder) {
    ScopedHighlightValue machineCompany(HKEY_LOCAL_MACHINE, kCompanyKey, L"0x1B");
    ASSERT_TRUE(machineCompany.ok());
    EXPECT_EQ(PickWith(0x07), 0x1B);
    {
        ScopedHighlightValue userCompany(HKEY_CURRENT_USER, kCompanyKey, L"0x1C");
        EXPECT_EQ(PickWith(0x07), 0x1C);
        {
            ScopedHighlightValue machinePlugin(HKEY_LOCAL_MACHINE, kPluginKey, L"0x1D");
            EXPECT_EQ(PickWith(0x07), 0x1D);
            {
                ScopedHighlightValue userPlugin(HKEY_CURRENT_USER, kPluginKey, L"0x1E");
                EXPECT_EQ(PickWith(0x07), 0x1E);
                EXPECT_EQ(PickWithVariable(L"0x2F", 0x07), 0x2F);
            }
        }
    }
    EXPECT_EQ(PickWith(0x07), 0x1B);
}

TEST_F(Highlight, PassesOverValuesThatAreNotPlainText) {
    const wchar_t expandable[] = L"0x1E";
    ScopedHighlightValue userPlugin(HKEY_CURRENT_USER, kPluginKey, REG_EXPAND_SZ, expandable, sizeof expandable);
    ScopedHighlightValue machinePlugin(HKEY_LOCAL_MACHINE, kPluginKey, L"");
    ScopedHighlightValue userCompany(HKEY_CURRENT_USER, kCompanyKey, L"0x1C");
    ASSERT_TRUE(userPlugin.ok() && machinePlugin.ok() && userCompany.ok());
    EXPECT_EQ(PickWith(0x07), 0x1C);
}

TEST_F(Highlight, RefusesAValueThatFillsTheBufferUnterminated) {
    // 1024 characters with no terminator: exactly the 2048 bytes offered.
    std::wstring full = L"0x" + std::wstring(1020, L'0') + L"1E";
    ASSERT_EQ(full.size(), 1024u);
    ScopedHighlightValue userPlugin(HKEY_CURRENT_USER, kPluginKey, REG_SZ, full.data(), 2048);
    ScopedHighlightValue userCompany(HKEY_CURRENT_USER, kCompanyKey, L"0x1C");
    ASSERT_TRUE(userPlugin.ok() && userCompany.ok());
    EXPECT_EQ(PickWith(0x07), 0x1C);

    // One character less leaves room for the terminator: accepted.
    std::wstring fits = L"0x" + std::wstring(1019, L'0') + L"1E";
    ScopedHighlightValue userPluginFits(HKEY_CURRENT_USER, kPluginKey, fits.c_str());
    ASSERT_TRUE(userPluginFits.ok());
    EXPECT_EQ(PickWith(0x07), 0x1E);
}

}  // namespace
