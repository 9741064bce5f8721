#include "install/registration.h"

#include "install/registry.h"
#include "setup/paths.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using testing_support::UniqueName;

struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> bytes;
};

std::optional<RawValue> ReadRaw(HKEY hive, const std::wstring& subkey, const wchar_t* name) {
    KeyHandle key;
    if (::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    RawValue value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, value.bytes.data(), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    return value;
}

bool KeyExists(HKEY hive, const std::wstring& subkey) {
    KeyHandle key;
    return ::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

// A REG_SZ holding exactly text and its terminating null.
void ExpectString(HKEY hive, const std::wstring& subkey, const wchar_t* name,
                  const std::wstring& text) {
    const auto value = ReadRaw(hive, subkey, name);
    ASSERT_TRUE(value.has_value()) << "missing value " << (name ? name : L"(default)");
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ));
    std::vector<BYTE> expected((text.size() + 1) * sizeof(wchar_t));
    std::memcpy(expected.data(), text.c_str(), expected.size());
    EXPECT_EQ(value->bytes, expected) << "value " << (name ? name : L"(default)");
}

void ExpectDword(HKEY hive, const std::wstring& subkey, const wchar_t* name, DWORD number) {
    const auto value = ReadRaw(hive, subkey, name);
    ASSERT_TRUE(value.has_value()) << "missing value " << name;
    EXPECT_EQ(value->type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(value->bytes.size(), 4u);
    DWORD stored = 0;
    std::memcpy(&stored, value->bytes.data(), 4);
    EXPECT_EQ(stored, number) << "value " << name;
}

std::wstring TodayUtc() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    wchar_t text[16];
    swprintf(text, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    return text;
}

// A product whose every key is unique to the test and removed from both hives at the end.
class Registration : public ::testing::Test {
  protected:
    Registration() {
        const std::wstring unique = UniqueName(L"LumenReg");
        info.product = unique;
        info.version = L"2.5.1";
        info.publisher = L"Éditions Morvanti";
        info.url = L"https://morvanti.example/velmora";
        info.exe = L"Lumen.exe";
        info.registryKey = L"Software\\LumenTests\\" + unique;
        installDir = L"C:\\Program Files\\" + unique;
        exePath = JoinPath(installDir, info.exe);
    }
    ~Registration() override {
        for (HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            ::RegDeleteTreeW(hive, UninstallKeyPath(info.product).c_str());
            ::RegDeleteTreeW(hive, info.registryKey.c_str());
            ::RegDeleteKeyW(hive, L"Software\\LumenTests");
            for (const std::wstring& key : extraKeys)
                ::RegDeleteTreeW(hive, key.c_str());
        }
    }
    std::wstring AddFileType(const std::wstring& extension, const std::wstring& description) {
        info.fileTypes.push_back({extension, description});
        const std::wstring progId = MakeProgId(info.product, extension);
        extraKeys.push_back(L"Software\\Classes\\" + progId);
        extraKeys.push_back(L"Software\\Classes\\" + extension);
        return progId;
    }
    std::wstring Command(Scope scope) const {
        return L"\"" + JoinPath(installDir, L"Uninstall.exe").native() + L"\" /UNINSTALL" +
               (scope == Scope::Machine ? L" /ALLUSERS" : L" /CURRENTUSER");
    }

    ProductInfo info;
    std::filesystem::path installDir;
    std::filesystem::path exePath;
    std::vector<std::wstring> extraKeys;
};

TEST_F(Registration, PerMachineLayoutValueByValueAndNothingInTheUserHive) {
    const std::wstring extension = L"." + info.product;
    const std::wstring progId = AddFileType(extension, L"Document Lumen");
    const std::filesystem::path dataDir = L"C:\\ProgramData\\" + info.product + L"\\Data";
    ASSERT_TRUE(RegisterProduct(Scope::Machine, info, installDir, exePath, Command(Scope::Machine),
                                1'049'599, dataDir));

    const HKEY hklm = HKEY_LOCAL_MACHINE;
    const std::wstring entry = UninstallKeyPath(info.product);
    const std::wstring exe = exePath.native();
    ExpectString(hklm, entry, L"DisplayName", info.product);
    ExpectString(hklm, entry, L"DisplayVersion", L"2.5.1");
    ExpectString(hklm, entry, L"Publisher", L"Éditions Morvanti");
    ExpectString(hklm, entry, L"URLInfoAbout", L"https://morvanti.example/velmora");
    ExpectString(hklm, entry, L"DisplayIcon", exe + L",0");
    ExpectString(hklm, entry, L"InstallLocation", installDir.native());
    ExpectString(hklm, entry, L"UninstallString",
                 L"\"C:\\Program Files\\" + info.product +
                     L"\\Uninstall.exe\" /UNINSTALL /ALLUSERS");
    ExpectString(hklm, entry, L"QuietUninstallString",
                 L"\"C:\\Program Files\\" + info.product +
                     L"\\Uninstall.exe\" /UNINSTALL /ALLUSERS /S");
    ExpectDword(hklm, entry, L"NoModify", 1);
    ExpectDword(hklm, entry, L"NoRepair", 1);
    ExpectDword(hklm, entry, L"EstimatedSize", 1024);
    ExpectString(hklm, entry, L"InstallDate", TodayUtc());

    const std::wstring record = info.registryKey + L"\\Install";
    ExpectString(hklm, record, L"InstallDir", installDir.native());
    ExpectString(hklm, record, L"DataDir", dataDir.native());
    ExpectString(hklm, record, L"Scope", L"machine");
    ExpectString(hklm, record, L"Version", L"2.5.1");

    const std::wstring classes = L"Software\\Classes\\";
    ExpectString(hklm, classes + progId, nullptr, L"Document Lumen");
    ExpectString(hklm, classes + progId + L"\\DefaultIcon", nullptr, L"\"" + exe + L"\",0");
    ExpectString(hklm, classes + progId + L"\\shell\\open\\command", nullptr,
                 L"\"" + exe + L"\" \"%1\"");
    ExpectString(hklm, classes + extension, nullptr, progId);
    ExpectString(hklm, classes + extension + L"\\OpenWithProgids", progId.c_str(), L"");

    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, entry));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, info.registryKey));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, classes + progId));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, classes + extension));
    EXPECT_EQ(FindInstallLocation(info, Scope::Machine), installDir);
    EXPECT_EQ(FindInstallLocation(info, Scope::User), std::nullopt);
}

TEST_F(Registration, PerUserLayoutWithEmptyTextsAndAnExtensionWithoutItsDot) {
    info.publisher.clear();
    info.url.clear();
    const std::wstring bare = L"lt" + info.product;
    const std::wstring progId = AddFileType(bare, L"Document sans point");
    ASSERT_EQ(progId, MakeProgId(info.product, L"." + bare));
    ASSERT_TRUE(RegisterProduct(Scope::User, info, installDir, exePath, Command(Scope::User), 1023,
                                std::nullopt));

    const HKEY hkcu = HKEY_CURRENT_USER;
    const std::wstring entry = UninstallKeyPath(info.product);
    ExpectString(hkcu, entry, L"Publisher", L"");
    ExpectString(hkcu, entry, L"URLInfoAbout", L"");
    ExpectString(hkcu, entry, L"UninstallString",
                 L"\"C:\\Program Files\\" + info.product +
                     L"\\Uninstall.exe\" /UNINSTALL /CURRENTUSER");
    ExpectDword(hkcu, entry, L"EstimatedSize", 0);

    const std::wstring record = info.registryKey + L"\\Install";
    ExpectString(hkcu, record, L"Scope", L"user");
    EXPECT_FALSE(ReadRaw(hkcu, record, L"DataDir").has_value());

    // The extension key is the extension as written.
    ExpectString(hkcu, L"Software\\Classes\\" + bare, nullptr, progId);
    ExpectString(hkcu, L"Software\\Classes\\" + bare + L"\\OpenWithProgids", progId.c_str(), L"");
    EXPECT_FALSE(KeyExists(hkcu, L"Software\\Classes\\." + bare));

    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, entry));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, info.registryKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + progId));
    EXPECT_EQ(FindInstallLocation(info, Scope::Machine), std::nullopt);
}

TEST_F(Registration, EstimatedSizeIsWholeKibibytesInThirtyTwoBits) {
    const std::wstring entry = UninstallKeyPath(info.product);
    const struct {
        std::uint64_t bytes;
        DWORD kib;
    } cases[] = {{1023, 0},
                 {1'048'576, 1024},
                 {1'049'599, 1024},
                 {(std::uint64_t{1} << 42) + 5 * 1024 + 1023, 5},
                 {(std::uint64_t{1} << 42) - 1, 0xFFFFFFFF}};
    for (const auto& c : cases) {
        ASSERT_TRUE(RegisterProduct(Scope::User, info, installDir, exePath, Command(Scope::User),
                                    c.bytes, std::nullopt));
        ExpectDword(HKEY_CURRENT_USER, entry, L"EstimatedSize", c.kib);
    }
}

TEST_F(Registration, ProgIdThatCannotBeCreatedEndsTheRegistrationWithItsText) {
    const std::wstring first = AddFileType(L".a" + info.product, L"Premier");
    // The second type's ProgID lies below a volatile key, where a lasting key cannot be made.
    const std::wstring broken = AddFileType(L".b" + info.product + L"\\enfant", L"Second");
    const std::wstring third = AddFileType(L".c" + info.product, L"Troisième");
    const std::wstring volatileKey = L"Software\\Classes\\" + info.product + L".b" + info.product;
    extraKeys.push_back(volatileKey);
    {
        KeyHandle key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, volatileKey.c_str(), 0, nullptr,
                                    REG_OPTION_VOLATILE, KEY_WRITE, nullptr, key.put(), nullptr),
                  ERROR_SUCCESS);
    }

    const auto result = RegisterProduct(Scope::User, info, installDir, exePath,
                                        Command(Scope::User), 0, std::nullopt);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(),
              FormatWindowsError(L"Création de la clé de registre Software\\Classes\\" + broken,
                                 ERROR_CHILD_MUST_BE_VOLATILE));
    EXPECT_TRUE(result.error().starts_with(L"Création de la clé de registre Software\\Classes\\" +
                                           info.product + L".b" + info.product + L"\\enfant : "));

    // Written before the failure: the entry, the record and the first type; nothing after.
    EXPECT_EQ(FindInstallLocation(info, Scope::User), installDir);
    ExpectString(HKEY_CURRENT_USER, info.registryKey + L"\\Install", L"Scope", L"user");
    ExpectString(HKEY_CURRENT_USER, L"Software\\Classes\\.a" + info.product, nullptr, first);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Classes\\" + third));
}

} // namespace
