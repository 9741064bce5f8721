#include "install/registry.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing_support::UniqueName;

// A scratch key below HKEY_CURRENT_USER, removed with everything in it at the end.
class ScratchKey {
  public:
    ScratchKey() : path_(L"Software\\LumenTests\\" + UniqueName(L"registry")) {}
    ~ScratchKey() {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
        ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\LumenTests"); // only when empty
    }
    const std::wstring& path() const { return path_; }
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size) const {
        auto key = CreateRegistryKey(HKEY_CURRENT_USER, path_);
        ASSERT_TRUE(key.has_value());
        ASSERT_EQ(::RegSetValueExW(key->get(), name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
    }

  private:
    std::wstring path_;
};

TEST(FormatWindowsError, KnownCodeEndsWithTheSystemTextWithoutLineBreak) {
    const std::wstring text = FormatWindowsError(L"Lecture de X", ERROR_ACCESS_DENIED);
    ASSERT_TRUE(text.starts_with(L"Lecture de X : "));
    EXPECT_GT(text.size(), std::wstring(L"Lecture de X : ").size());
    EXPECT_NE(text.back(), L'\n');
    EXPECT_NE(text.back(), L'\r');
    EXPECT_EQ(text.find(L"erreur"), std::wstring::npos);
}

TEST(FormatWindowsError, UnknownCodeShowsItsUnsignedNumber) {
    EXPECT_EQ(FormatWindowsError(L"X", 0x2A00BEEF), L"X : erreur 704691951");
    // An HRESULT failure code never shows a minus sign.
    EXPECT_EQ(FormatWindowsError(L"Y", 0xDEADBEEF), L"Y : erreur 3735928559");
}

TEST(RegistryPaths, UninstallKeyAndProgId) {
    EXPECT_EQ(UninstallKeyPath(L"Velmora"),
              L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velmora");
    EXPECT_EQ(MakeProgId(L"Velmora", L".velmora"), L"Velmora.velmora");
    EXPECT_EQ(MakeProgId(L"Velmora", L"velmora"), L"Velmora.velmora");
    EXPECT_EQ(MakeProgId(L"Velmora", L".."), L"Velmora..");
    EXPECT_EQ(MakeProgId(L"Velmora", L"."), L"Velmora.");
    EXPECT_EQ(MakeProgId(L"Velmora", L""), L"Velmora.");
}

TEST(ReadRegistryString, DistinguishesEmptyMissingAndOtherTypes) {
    ScratchKey scratch;
    scratch.SetRaw(L"Empty", REG_SZ, L"", sizeof(wchar_t));
    const DWORD number = 7;
    scratch.SetRaw(L"Number", REG_DWORD, &number, sizeof(number));
    scratch.SetRaw(L"Text", REG_SZ, L"Bonjour été", 12 * sizeof(wchar_t));
    scratch.SetRaw(nullptr, REG_SZ, L"défaut", 7 * sizeof(wchar_t));

    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, scratch.path(), L"Empty"), std::wstring());
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, scratch.path(), L"Number"), std::nullopt);
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, scratch.path(), L"Text"), L"Bonjour été");
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, scratch.path(), nullptr), L"défaut");
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, scratch.path(), L"Missing"), std::nullopt);
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, scratch.path() + L"\\Missing", L"Text"),
              std::nullopt);
}

TEST(ReadRegistryString, DamagedValuesAreReadWithinTheirSize) {
    ScratchKey scratch;
    // Three bytes: an odd size that does not fill whole characters.
    scratch.SetRaw(L"Odd", REG_SZ, "A\0B", 3);
    // No terminating null stored.
    scratch.SetRaw(L"Unterminated", REG_SZ, L"abc", 3 * sizeof(wchar_t));
    const auto odd = ReadRegistryString(HKEY_CURRENT_USER, scratch.path(), L"Odd");
    if (odd) {
        EXPECT_TRUE(odd->starts_with(L"A"));
    }
    const auto unterminated =
        ReadRegistryString(HKEY_CURRENT_USER, scratch.path(), L"Unterminated");
    if (unterminated) {
        EXPECT_EQ(*unterminated, L"abc");
    }
}

TEST(CreateRegistryKey, FailureNamesTheSubkeyAndTheSystemText) {
    ScratchKey scratch;
    // A non-volatile key cannot be created below a volatile one.
    KeyHandle parent;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, scratch.path().c_str(), 0, nullptr,
                                REG_OPTION_VOLATILE, KEY_WRITE, nullptr, parent.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring child = scratch.path() + L"\\Enfant";
    const auto key = CreateRegistryKey(HKEY_CURRENT_USER, child);
    ASSERT_FALSE(key.has_value());
    EXPECT_EQ(key.error(), FormatWindowsError(L"Création de la clé de registre " + child,
                                              ERROR_CHILD_MUST_BE_VOLATILE));
}

TEST(FindInstallLocation, ReadsTheScopesUninstallEntryOnly) {
    ProductInfo info;
    info.product = UniqueName(L"LumenFind");
    const std::wstring key = UninstallKeyPath(info.product);
    {
        auto k = CreateRegistryKey(HKEY_CURRENT_USER, key);
        ASSERT_TRUE(k.has_value());
        SetRegistryString(k->get(), L"InstallLocation", L"C:\\Programmes\\Lumen");
    }
    EXPECT_EQ(FindInstallLocation(info, Scope::User),
              std::filesystem::path(L"C:\\Programmes\\Lumen"));
    EXPECT_EQ(FindInstallLocation(info, Scope::Machine), std::nullopt);

    // An empty value names no folder at all, not the current one.
    {
        auto k = CreateRegistryKey(HKEY_CURRENT_USER, key);
        ASSERT_TRUE(k.has_value());
        SetRegistryString(k->get(), L"InstallLocation", L"");
    }
    EXPECT_EQ(FindInstallLocation(info, Scope::User), std::nullopt);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
}

} // namespace
