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

// Takes a registry key away from its owner while it lives: what is there is
// copied to a key beside it and removed, so the test starts from nothing;
// Restore removes what the test left and puts the copy back. A copy left by a
// run that never restored it is refused rather than overwritten.
class BorrowedRegistryKey {
public:
    BorrowedRegistryKey(HKEY root, const wchar_t* path)
        : root_(root), path_(path), savedPath_(std::wstring(path) + L" (saved by the Kelvane tests)") {
        if (KeyExists(root_, savedPath_.c_str())) {
            error_ = "a saved copy from an earlier run is still there; restore it by hand";
            return;
        }
        HKEY key;
        if (RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            HKEY saved;
            LONG status = RegCreateKeyExW(root_, savedPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &saved,
                                          nullptr);
            if (status == ERROR_SUCCESS) {
                status = RegCopyTreeW(key, nullptr, saved);
                RegCloseKey(saved);
            }
            RegCloseKey(key);
            if (status != ERROR_SUCCESS) {
                RegDeleteTreeW(root_, savedPath_.c_str());
                error_ = "the key could not be copied aside";
                return;
            }
            saved_ = true;
        }
        if (RegDeleteTreeW(root_, path_.c_str()) != ERROR_SUCCESS && KeyExists(root_, path_.c_str())) {
            error_ = "the key could not be removed";
            return;
        }
        owned_ = true;
    }
    ~BorrowedRegistryKey() { Restore(); }
    BorrowedRegistryKey(const BorrowedRegistryKey&) = delete;
    BorrowedRegistryKey& operator=(const BorrowedRegistryKey&) = delete;

    bool owned() const { return owned_; }
    const std::string& error() const { return error_; }
    // True when the key is as it was found (nothing to do counts).
    bool Restore() {
        if (!owned_) return true;
        owned_ = false;
        RegDeleteTreeW(root_, path_.c_str());
        if (!saved_) return !KeyExists(root_, path_.c_str());
        HKEY saved, key;
        if (RegOpenKeyExW(root_, savedPath_.c_str(), 0, KEY_READ, &saved) != ERROR_SUCCESS) return false;
        LONG status = RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        if (status == ERROR_SUCCESS) {
            status = RegCopyTreeW(saved, nullptr, key);
            RegCloseKey(key);
        }
        RegCloseKey(saved);
        // The copy goes only once the key is back.
        return status == ERROR_SUCCESS && RegDeleteTreeW(root_, savedPath_.c_str()) == ERROR_SUCCESS;
    }

private:
    HKEY root_;
    std::wstring path_, savedPath_;
    bool saved_ = false, owned_ = false;
    std::string error_;
};

std::wstring ReadHighlightValue(HKEY root, const wchar_t* path) {
    wchar_t text[64] = {};
    DWORD bytes = sizeof text - sizeof(wchar_t);
    if (RegGetValueW(root, path, L"Highlight", RRF_RT_REG_SZ, nullptr, text, &bytes) != ERROR_SUCCESS) return L"(none)";
    return text;
}

TEST(RegistryForTests, BorrowedKeyIsEmptyMeanwhileAndComesBackWhole) {
    // The user's own key, if any, is kept out of the way first.
    BorrowedRegistryKey users(HKEY_CURRENT_USER, kCompanyKey);
    ASSERT_TRUE(users.owned()) << users.error();
    const std::wstring otherKey = std::wstring(kCompanyKey) + L"\\Other";
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kCompanyKey, L"0x1E"));
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, otherKey.c_str(), L"kept"));
    {
        BorrowedRegistryKey borrowed(HKEY_CURRENT_USER, kCompanyKey);
        ASSERT_TRUE(borrowed.owned()) << borrowed.error();
        EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kCompanyKey));
        ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kPluginKey, L"0x2F"));
        {
            // A second borrower finds the saved copy and refuses.
            BorrowedRegistryKey second(HKEY_CURRENT_USER, kCompanyKey);
            EXPECT_FALSE(second.owned());
            EXPECT_FALSE(second.error().empty());
        }
        EXPECT_EQ(ReadHighlightValue(HKEY_CURRENT_USER, kPluginKey), L"0x2F");
        EXPECT_TRUE(borrowed.Restore());
    }
    EXPECT_EQ(ReadHighlightValue(HKEY_CURRENT_USER, kCompanyKey), L"0x1E");
    EXPECT_EQ(ReadHighlightValue(HKEY_CURRENT_USER, otherKey.c_str()), L"kept");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kPluginKey));
    EXPECT_TRUE(users.Restore());
}

class Highlight : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(console_.ok());
        CONSOLE_SCREEN_BUFFER_INFO info;
        ASSERT_TRUE(GetConsoleScreenBufferInfo(console_.handle(), &info));
        savedAttribute_ = info.wAttributes;
        // The tests own these keys while they run: a setting already there
        // would change every answer, so it is put aside and back afterwards.
        ASSERT_TRUE(userKey_.owned()) << userKey_.error();
        ASSERT_TRUE(machineKey_.owned()) << machineKey_.error();
        ResetPluginStateForTest();
    }
    void TearDown() override {
        SetConsoleTextAttribute(console_.handle(), savedAttribute_);
        EXPECT_TRUE(userKey_.Restore());
        EXPECT_TRUE(machineKey_.Restore());
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

    // The colours a KV command of two runs switches to and back, as the host
    // sees them: around each run header and around the summary.
    std::vector<std::wstring> KvColourSwitches(const wchar_t* value, int current) {
        ScopedEnvironmentVariable highlight(L"Highlight", value);
        SetConsoleTextAttribute(console_.handle(), static_cast<WORD>(current));
        HANDLE screen = CreateConsoleScreenBuffer(GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  nullptr, CONSOLE_TEXTMODE_BUFFER, nullptr);
        EXPECT_NE(screen, INVALID_HANDLE_VALUE);
        HostCallTrace trace;
        EXPECT_EQ(KvThroughHost(L"/N:2 /O:FJTR rem", screen), 0);
        CloseHandle(screen);
        const std::wstring calls = trace.Text(), call = L"SetColors: ";
        std::vector<std::wstring> switches;
        for (size_t at = calls.find(call); at != std::wstring::npos; at = calls.find(call, at + 1))
            switches.push_back(calls.substr(at + call.size(), calls.find(L'\n', at) - at - call.size()));
        return switches;
    }
    // What KvColourSwitches gives for a highlight (0: none) on the current colours.
    static std::vector<std::wstring> ExpectedSwitches(int highlight, int current) {
        if (!highlight) return {};
        wchar_t on[8], off[8];
        swprintf(on, 8, L"0x%02X", highlight);
        swprintf(off, 8, L"0x%02X", current);
        return {on, off, on, off, on, off};
    }

    ConsoleStdout console_;
    ScopedEnvironmentVariable noHighlightVariable_{L"Highlight", nullptr};
    ScopedEnvironmentVariable noNoColor_{L"NO_COLOR", nullptr};
    WORD savedAttribute_ = 0x07;
    BorrowedRegistryKey userKey_{HKEY_CURRENT_USER, kCompanyKey};
    BorrowedRegistryKey machineKey_{HKEY_LOCAL_MACHINE, kCompanyKey};
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
        {L"0x111", 0x07, 0x00, "a wide background cut to the foreground's colour"},
        {L"0x1FF", 0x07, 0x00, "a wide background cut to white on white"},
        {L"0x-1", 0x07, 0x00, "a sign sets every bit: white on white"},
        {L"0x117", 0x17, 0x00, "a wide background cut to the current colours"},
        {L"0x123", 0x07, 0x23, "a wide background cut to readable colours"},
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

TEST_F(Highlight, KvShowsHeadersAndSummaryOnlyInAReadableChangedColour) {
    const struct {
        const wchar_t* text;
        int current;
        int highlight;
    } cases[] = {
        {L"0x111", 0x07, 0x00}, {L"0x1FF", 0x07, 0x00}, {L"0x-1", 0x07, 0x00},
        {L"0x117", 0x17, 0x00}, {L"0x1F", 0x07, 0x1F}, {L"0x123", 0x07, 0x23},
        {L"inv", 0x1E, 0x61},   {L"bright red on blue", 0x07, 0x1C},
        {nullptr, 0x07, 0x0F},  {nullptr, 0x70, 0x79},
    };
    for (const auto& c : cases)
        EXPECT_EQ(KvColourSwitches(c.text, c.current), ExpectedSwitches(c.highlight, c.current))
            << (c.text ? std::string(c.text, c.text + wcslen(c.text)) : "(default)") << " on " << std::hex
            << c.current;
}

TEST_F(Highlight, OnlyAReadableHighlightVariableOverridesNoColor) {
    ASSERT_TRUE(WriteHighlight(HKEY_CURRENT_USER, kCompanyKey, L"0x1C"));
    // 1023 characters fit the buffer with their terminator; 1024 do not.
    const std::wstring longest = L"0x" + std::wstring(1019, L'0') + L"1E";
    const std::wstring tooLong = L"0x" + std::wstring(1020, L'0') + L"1E";
    {
        ScopedEnvironmentVariable highlight(L"Highlight", tooLong.c_str());
        EXPECT_EQ(Pick(tooLong.c_str(), 0x07), 0x1C) << "passed over for the registry";
        ScopedEnvironmentVariable noColor(L"NO_COLOR", L"1");
        EXPECT_TRUE(NoColorRequested());
        EXPECT_EQ(Pick(tooLong.c_str(), 0x07), 0x00);
        EXPECT_EQ(KvColourSwitches(tooLong.c_str(), 0x07), ExpectedSwitches(0x00, 0x07));
    }
    ScopedEnvironmentVariable highlight(L"Highlight", longest.c_str());
    ScopedEnvironmentVariable noColor(L"NO_COLOR", L"1");
    EXPECT_FALSE(NoColorRequested());
    EXPECT_EQ(Pick(longest.c_str(), 0x07), 0x1E);
    EXPECT_EQ(KvColourSwitches(longest.c_str(), 0x07), ExpectedSwitches(0x1E, 0x07));
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
