// The real setup program run silently, as an administrator's script would, and the result
// checked from outside: files, registry, file types, shortcut, data directory.
#include "tests/support/system_probe.h"
#include "tests/support/test_support.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "package/reader.h"
#include "setup/format.h"
#include "setup/handles.h"
#include "setup/metadata.h"
#include "setup/paths.h"
#include "setup/text.h"

#include <gtest/gtest.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::wstring kProduct = L"Orvalis Silencieux";
const std::wstring kRecordKey = L"Software\\Orvalis Tests\\" + kProduct;

fs::path SetupExe() {
    return BinDir() / L"silent_setup.exe";
}
fs::path BuildDir() {
    return BinDir().parent_path();
}
fs::path StageDir() {
    return BuildDir() / L"tests" / L"product" / L"stage";
}

ProductInfo Info() {
    ProductInfo info;
    info.product = kProduct;
    info.exe = L"Orvalis.exe";
    info.version = L"2.5.0";
    info.publisher = L"\u00C9ditions Orvalis";
    info.url = L"https://orvalis.example/";
    info.registryKey = kRecordKey;
    info.hasDataDir = true;
    info.fileTypes = {{L".orvsilent_setup", L"Document " + kProduct},
                      {L"orwsilent_setup", L"Mod\u00E8le " + kProduct}};
    return info;
}

// The UTC date, read otherwise than the program reads it.
std::wstring Today() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    wchar_t text[16];
    swprintf(text, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    return text;
}

// A time zone in which the local date is not the UTC date at this hour (two hours and more
// west before noon UTC, east after), so that a date taken from local time shows.
std::wstring ShiftedTimeZone() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return now.wHour < 12 ? txt::format(L"AAA{}", now.wHour + 2)
                          : txt::format(L"BBB-{}", 26 - now.wHour);
}

DWORD RunSetup(const std::wstring& switches, const fs::path& exe = SetupExe()) {
    EnvironmentOverride timeZone(L"TZ", ShiftedTimeZone());
    const auto code = RunProcess(Quoted(exe) + switches, 240000);
    EXPECT_TRUE(code) << "setup did not finish";
    return code.value_or(0xFFFFFFFF);
}

struct PackageIndex {
    std::string bytes;
    std::vector<mvpk::PackageEntry> entries;
    std::uint64_t totalSize = 0;
};

PackageIndex ReadPackage() {
    PackageIndex index;
    index.bytes = ResourceBytes(SetupExe(), L"PAYLOAD");
    auto reader = mvpk::Reader::Open(std::as_bytes(std::span(index.bytes)));
    EXPECT_TRUE(reader) << (reader ? "" : reader.error());
    if (reader) {
        index.entries = reader->entries();
        index.totalSize = reader->totalSize();
    }
    return index;
}

class SilentInstall : public ::testing::Test {
  protected:
    // Starts from a prefix without this product, whatever an earlier run left.
    void SetUp() override { RemoveEverything(); }
    void TearDown() override { RemoveEverything(); }

    static void RemoveEverything() {
        for (Scope scope : {Scope::Machine, Scope::User}) {
            const HKEY hive = HiveFor(scope);
            if (const auto location = FindInstallLocation(Info(), scope))
                RemoveFolder(*location);
            DeleteTree(hive, UninstallKeyPath(kProduct));
            DeleteTree(hive, kRecordKey);
            ::RegDeleteKeyW(hive, L"Software\\Orvalis Tests");
            for (const auto& type : Info().fileTypes) {
                DeleteTree(hive, L"Software\\Classes\\" + MakeProgId(kProduct, type.extension));
                DeleteTree(hive, L"Software\\Classes\\" + type.extension);
            }
            std::error_code ignored;
            fs::remove(ShortcutPath(Info(), scope), ignored);
            RemoveFolder(DataDirectory(kProduct, scope).parent_path());
            RemoveFolder(DefaultInstallFolder(kProduct, scope));
        }
    }

    static void RemoveFolder(const fs::path& folder) {
        std::error_code ignored;
        if (!folder.empty())
            fs::remove_all(folder, ignored);
    }

    // Everything an installation writes, value by value, in the scope's hive (and, when
    // the other scope has no installation of its own, there only).
    void ExpectInstalled(Scope scope, const fs::path& folder, bool otherScopeInstalled = false) {
        SCOPED_TRACE(WideToUtf8(folder.native()));
        const ProductInfo info = Info();
        const PackageIndex package = ReadPackage();
        ASSERT_FALSE(package.entries.empty());

        std::string expectedList;
        for (const auto& entry : package.entries) {
            const fs::path installed = folder / Utf8ToWide(entry.path);
            const fs::path staged = StageDir() / Utf8ToWide(entry.path);
            ASSERT_TRUE(fs::exists(installed)) << entry.path;
            EXPECT_EQ(ReadFileBytes(installed), ReadFileBytes(staged)) << entry.path;
            expectedList += entry.path + "\r\n";
        }
        expectedList += "Uninstall.exe\r\nUninstall.files\r\n";
        EXPECT_TRUE(fs::exists(folder / L"Uninstall.exe"));
        EXPECT_EQ(ReadFileBytes(folder / L"Uninstall.files"), expectedList);

        const HKEY hive = HiveFor(scope);
        const HKEY other = HiveFor(scope == Scope::Machine ? Scope::User : Scope::Machine);
        const std::wstring entryKey = UninstallKeyPath(kProduct);
        const std::wstring exePath = JoinPath(folder, L"Orvalis.exe").native();
        const std::wstring command = L"\"" + JoinPath(folder, L"Uninstall.exe").native() +
                                     L"\" /UNINSTALL" +
                                     (scope == Scope::Machine ? L" /ALLUSERS" : L" /CURRENTUSER");
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"DisplayName"), kProduct);
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"DisplayVersion"), L"2.5.0");
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"Publisher"), info.publisher);
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"URLInfoAbout"), info.url);
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"DisplayIcon"), exePath + L",0");
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"InstallLocation"), folder.native());
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"UninstallString"), command);
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"QuietUninstallString"), command + L" /S");
        EXPECT_EQ(ReadDwordValue(hive, entryKey, L"NoModify"), 1u);
        EXPECT_EQ(ReadDwordValue(hive, entryKey, L"NoRepair"), 1u);
        EXPECT_EQ(ReadDwordValue(hive, entryKey, L"EstimatedSize"),
                  static_cast<DWORD>(package.totalSize / 1024));
        EXPECT_EQ(ReadStringValue(hive, entryKey, L"InstallDate"), Today());
        EXPECT_TRUE(otherScopeInstalled || !KeyExists(other, entryKey));

        const std::wstring record = kRecordKey + L"\\Install";
        const fs::path dataDir = DataDirectory(kProduct, scope);
        EXPECT_EQ(ReadStringValue(hive, record, L"InstallDir"), folder.native());
        EXPECT_EQ(ReadStringValue(hive, record, L"DataDir"), dataDir.native());
        EXPECT_EQ(ReadStringValue(hive, record, L"Scope"),
                  scope == Scope::Machine ? L"machine" : L"user");
        EXPECT_EQ(ReadStringValue(hive, record, L"Version"), L"2.5.0");
        EXPECT_TRUE(otherScopeInstalled || !KeyExists(other, record));

        for (const auto& type : info.fileTypes) {
            const std::wstring progId = MakeProgId(kProduct, type.extension);
            const std::wstring classes = L"Software\\Classes\\";
            EXPECT_EQ(ReadStringValue(hive, classes + progId, nullptr), type.description);
            EXPECT_EQ(ReadStringValue(hive, classes + progId + L"\\DefaultIcon", nullptr),
                      L"\"" + exePath + L"\",0");
            EXPECT_EQ(ReadStringValue(hive, classes + progId + L"\\shell\\open\\command", nullptr),
                      L"\"" + exePath + L"\" \"%1\"");
            EXPECT_EQ(ReadStringValue(hive, classes + type.extension, nullptr), progId);
            EXPECT_EQ(ReadStringValue(hive, classes + type.extension + L"\\OpenWithProgids",
                                      progId.c_str()),
                      L"");
            EXPECT_TRUE(otherScopeInstalled || !KeyExists(other, classes + progId));
        }

        ComApartment apartment;
        const auto shortcut = LoadShortcut(ShortcutPath(info, scope));
        ASSERT_TRUE(shortcut) << "no shortcut at "
                              << WideToUtf8(ShortcutPath(info, scope).native());
        EXPECT_EQ(shortcut->target, exePath);
        EXPECT_EQ(shortcut->workingDirectory, folder.native());
        EXPECT_EQ(shortcut->description, kProduct);
        EXPECT_EQ(shortcut->iconPath, exePath);
        EXPECT_EQ(shortcut->iconIndex, 0);

        EXPECT_TRUE(fs::is_directory(dataDir)) << WideToUtf8(dataDir.native());
        if (scope == Scope::Machine) {
            const auto grant = UsersGrant(dataDir.parent_path());
            if (grant) {
                EXPECT_EQ(grant->mask, 0x1301BFu);
                EXPECT_EQ(grant->inheritance, 3u);
            } else {
                // This Wine keeps no DACL on files, so the grant cannot be read back there.
                EXPECT_TRUE(RunningUnderWine()) << "no grant for the Users group";
            }
        }
    }
};

TEST_F(SilentInstall, PerUserIntoTheDefaultFolder) {
    ASSERT_EQ(RunSetup(L" /S /CURRENTUSER"), 0u);
    ExpectInstalled(Scope::User, DefaultInstallFolder(kProduct, Scope::User));
}

TEST_F(SilentInstall, PerMachineIntoTheDefaultFolder) {
    // No scope switch: per machine, and this process is elevated under Wine.
    ASSERT_EQ(RunSetup(L" /S"), 0u);
    ExpectInstalled(Scope::Machine, DefaultInstallFolder(kProduct, Scope::Machine));
}

TEST_F(SilentInstall, IntoAFolderWithSpacesForEitherScope) {
    TempDir temp(L"orvalis silent");
    const fs::path userFolder = temp / L"Mes programmes\\Orvalis";
    ASSERT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + userFolder.native()), 0u);
    ExpectInstalled(Scope::User, userFolder);

    const fs::path machineFolder = temp / L"Tous les programmes\\Orvalis";
    ASSERT_EQ(RunSetup(L" /S /ALLUSERS /D=" + machineFolder.native()), 0u);
    ExpectInstalled(Scope::Machine, machineFolder, true);
    // The per-user installation is untouched by the per-machine one.
    ExpectInstalled(Scope::User, userFolder, true);
}

TEST_F(SilentInstall, AgainOverTheSameFolder) {
    TempDir temp(L"orvalis again");
    const fs::path folder = temp / L"Orvalis";
    ASSERT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + folder.native()), 0u);
    WriteFileBytes(folder / L"assets\\notes de l'utilisateur.txt", "mine");
    // Without /D= the recorded folder is used.
    ASSERT_EQ(RunSetup(L" /S /CURRENTUSER"), 0u);
    ExpectInstalled(Scope::User, folder);
    EXPECT_EQ(ReadFileBytes(folder / L"assets\\notes de l'utilisateur.txt"), "mine");
}

TEST_F(SilentInstall, UpgradeFromAnotherFolderRemovesOnlyRecordedFiles) {
    TempDir temp(L"orvalis upgrade");
    const fs::path oldFolder = temp / L"Ancien";
    const fs::path newFolder = temp / L"Nouveau";
    ASSERT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + oldFolder.native()), 0u);
    WriteFileBytes(oldFolder / L"assets\\images\\mine.txt", "user data");

    ASSERT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + newFolder.native()), 0u);
    ExpectInstalled(Scope::User, newFolder);
    EXPECT_EQ(ReadFileBytes(oldFolder / L"assets\\images\\mine.txt"), "user data");
    for (const auto& entry : ReadPackage().entries)
        EXPECT_FALSE(fs::exists(oldFolder / Utf8ToWide(entry.path))) << entry.path;
    EXPECT_FALSE(fs::exists(oldFolder / L"Uninstall.exe"));
    EXPECT_FALSE(fs::exists(oldFolder / L"Uninstall.files"));
    // Emptied folders go, the one holding the user's file stays.
    EXPECT_FALSE(fs::exists(oldFolder / L"docs"));
}

TEST_F(SilentInstall, RefusedWhileTheProductRuns) {
    TempDir temp(L"orvalis running");
    const fs::path folder = temp / L"Orvalis";
    ASSERT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + folder.native()), 0u);
    const std::string listBefore = ReadFileBytes(folder / L"Uninstall.files");

    ChildProcess product(Quoted(folder / L"Orvalis.exe"), folder);
    ASSERT_TRUE(product.started());
    // Running from the install folder.
    EXPECT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + folder.native()), 1603u);
    // Running from the previous folder, installing elsewhere: refused before removing.
    const fs::path other = temp / L"Ailleurs";
    EXPECT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + other.native()), 1603u);
    EXPECT_FALSE(fs::exists(other));
    EXPECT_EQ(ReadFileBytes(folder / L"Uninstall.files"), listBefore);
    EXPECT_EQ(ReadStringValue(HKEY_CURRENT_USER, UninstallKeyPath(kProduct), L"InstallLocation"),
              folder.native());
    product.Terminate();
    ExpectInstalled(Scope::User, folder);
}

TEST_F(SilentInstall, DamagedFileFailsBeforeRegistration) {
    TempDir temp(L"orvalis damaged");
    // The test prefix's compression stand-in stores blocks as they are, so a file's bytes
    // can be found in the executable and one of them flipped.
    std::string exe = ReadFileBytes(SetupExe());
    const std::string pattern = ReadFileBytes(StageDir() / L"assets\\images\\pattern.bin");
    const size_t at = exe.find(pattern.substr(0, 4096));
    ASSERT_NE(at, std::string::npos);
    exe[at + 1000] = static_cast<char>(exe[at + 1000] ^ 0x20);
    const fs::path damaged = temp / L"damaged setup.exe";
    WriteFileBytes(damaged, exe);

    EXPECT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + (temp / L"Orvalis").native(), damaged), 1603u);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(kProduct)));
    EXPECT_FALSE(fs::exists(temp / L"Orvalis\\Uninstall.exe"));
}

TEST_F(SilentInstall, RelativeFolderIsRefused) {
    TempDir temp(L"orvalis relative");
    const auto code =
        RunProcess(Quoted(SetupExe()) + L" /S /CURRENTUSER /D=Orvalis", 120000, temp.path());
    EXPECT_EQ(code, 1603u);
    EXPECT_FALSE(fs::exists(temp / L"Orvalis"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(kProduct)));
}

TEST(SilentInstallWithoutMetadata, InstallsAProductNamedApplication) {
    TempDir temp(L"application");
    const fs::path folder = temp / L"Application";
    // The same package in a setup program that carries no product description.
    CopyStubWith(temp / L"bare.exe", L"PAYLOAD", ResourceBytes(SetupExe(), L"PAYLOAD"));
    ASSERT_EQ(RunSetup(L" /S /CURRENTUSER /D=" + folder.native(), temp / L"bare.exe"), 0u);
    EXPECT_EQ(ReadStringValue(HKEY_CURRENT_USER, UninstallKeyPath(L"Application"), L"DisplayName"),
              L"Application");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Morvanti\\Application\\Install"));
    EXPECT_TRUE(fs::exists(folder / L"Orvalis.exe"));

    ProductInfo info;
    DeleteTree(HKEY_CURRENT_USER, UninstallKeyPath(L"Application"));
    DeleteTree(HKEY_CURRENT_USER, L"Software\\Morvanti\\Application");
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Morvanti");
    std::error_code ignored;
    fs::remove(ShortcutPath(info, Scope::User), ignored);
}

} // namespace
