// The removal engine against the real registry and file system.
#include "tests/support/test_support.h"
#include "tests/uninstall/uninstall_test_support.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/handles.h"
#include "uninstall/removal.h"

#include <gtest/gtest.h>

using namespace testing_support;
using namespace uninstall_testing;

namespace {

ProductInfo TestProduct(const std::wstring& name) {
    ProductInfo info;
    info.product = name;
    info.version = L"1.0";
    info.exe = name + L".exe";
    info.registryKey = L"Software\\LumenTest-" + name + L"\\" + name;
    info.fileTypes = {{L"." + name + L"a", L"Document A"}, {L"." + name + L"b", L"Document B"}};
    return info;
}

// Every removal test's product leaves nothing behind, whatever the test did.
class Removal : public ::testing::Test {
  protected:
    ProductInfo info = TestProduct(UniqueName(L"Rm"));
    TempDir scratch{L"removal"};
    std::filesystem::path installDir = scratch / L"Install dir";

    void TearDown() override {
        for (Scope scope : {Scope::User, Scope::Machine}) {
            DeleteRegistration(scope, info);
            DeleteTree(HiveFor(scope), info.registryKey.substr(0, info.registryKey.rfind(L'\\')));
        }
    }

    std::expected<void, std::wstring> Remove(Scope scope, bool removeData = false) {
        ComApartment apartment;
        return Uninstall(info, scope, installDir, removeData);
    }
};

TEST_F(Removal, RegistrationGoesWithItsEmptiedParentKeys) {
    WriteRegistration(Scope::User, info, installDir, std::nullopt);
    ASSERT_EQ(RemainingKeys(Scope::User, info).size(), 6u);

    ASSERT_TRUE(Remove(Scope::User));
    EXPECT_EQ(RemainingKeys(Scope::User, info), std::vector<std::wstring>{});
    // The maker's key went too, but never "Software" itself.
    const std::wstring maker = info.registryKey.substr(0, info.registryKey.rfind(L'\\'));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, maker));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Classes"));
}

TEST_F(Removal, KeysOthersStillUseStay) {
    WriteRegistration(Scope::User, info, installDir, std::nullopt);
    const HKEY hive = HKEY_CURRENT_USER;
    const std::wstring taken = L"Software\\Classes\\" + info.fileTypes[0].extension;
    const std::wstring shared = L"Software\\Classes\\" + info.fileTypes[1].extension;
    // Another program has since made the first extension its own ...
    WriteString(hive, taken, nullptr, L"Other.Program");
    // ... and also opens the second one.
    WriteString(hive, shared + L"\\OpenWithProgids", L"Other.Program", L"");
    // The product's own key holds a setting of the user's.
    WriteString(hive, info.registryKey, L"Theme", L"dark");

    ASSERT_TRUE(Remove(Scope::User));
    EXPECT_EQ(ReadRegistryString(hive, taken, nullptr), L"Other.Program");
    EXPECT_FALSE(ValueExists(hive, taken + L"\\OpenWithProgids",
                             MakeProgId(info.product, info.fileTypes[0].extension).c_str()));
    EXPECT_FALSE(ValueExists(hive, shared, nullptr));
    EXPECT_TRUE(ValueExists(hive, shared + L"\\OpenWithProgids", L"Other.Program"));
    EXPECT_FALSE(ValueExists(hive, shared + L"\\OpenWithProgids",
                             MakeProgId(info.product, info.fileTypes[1].extension).c_str()));
    EXPECT_FALSE(KeyExists(hive, L"Software\\Classes\\" +
                                     MakeProgId(info.product, info.fileTypes[1].extension)));
    EXPECT_FALSE(KeyExists(hive, info.registryKey + L"\\Install"));
    EXPECT_TRUE(ValueExists(hive, info.registryKey, L"Theme"));
}

TEST_F(Removal, AnEmptyProductNameNeverTakesTheExtensionKey) {
    // Not the fixture's product: with an empty name its clean-up would take every program's
    // uninstall entry.
    ProductInfo nameless = info;
    nameless.product = L"";
    const std::wstring extension = L"." + UniqueName(L"orvnameless");
    nameless.fileTypes = {{extension, L"Document"}};
    const HKEY hive = HKEY_CURRENT_USER;
    const std::wstring key = L"Software\\Classes\\" + extension;
    WriteString(hive, key, L"Content Type", L"text/plain");
    WriteString(hive, key + L"\\OpenWithProgids", L"Other.Program", L"");

    ComApartment apartment;
    ASSERT_TRUE(Uninstall(nameless, Scope::User, installDir, false));
    EXPECT_TRUE(ValueExists(hive, key, L"Content Type"));
    EXPECT_TRUE(ValueExists(hive, key + L"\\OpenWithProgids", L"Other.Program"));
    DeleteTree(hive, key);
}

TEST_F(Removal, KeyOutsideSoftwareIsWalkedToItsFirstElement) {
    const std::wstring root = L"LumenTest-" + info.product;
    info.registryKey = root + L"\\" + info.product;
    info.fileTypes.clear();
    WriteRegistration(Scope::User, info, installDir, std::nullopt);

    ASSERT_TRUE(Remove(Scope::User));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, info.registryKey));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, root));
}

TEST_F(Removal, RecordedDataDirectoryWinsAndGoesOnlyOnRequest) {
    info.hasDataDir = true;
    const auto parent = scratch / L"Recorded";
    const auto dataDir = parent / L"Data";
    WriteFileBytes(dataDir / L"cache" / L"a.bin", "downloaded");
    WriteFileBytes(dataDir / L"b.bin", "downloaded");
    // The folder that the product would use today, had nothing been recorded.
    const auto defaultDir = DataDirectory(info.product, Scope::User);
    WriteFileBytes(defaultDir / L"keep.bin", "not the recorded one");

    WriteRegistration(Scope::User, info, installDir, dataDir);
    EXPECT_EQ(RecordedDataDirectory(info, Scope::User), dataDir);
    ASSERT_TRUE(Remove(Scope::User, false));
    EXPECT_TRUE(std::filesystem::exists(dataDir / L"b.bin"));

    WriteRegistration(Scope::User, info, installDir, dataDir);
    ASSERT_TRUE(Remove(Scope::User, true));
    EXPECT_FALSE(std::filesystem::exists(dataDir));
    EXPECT_FALSE(std::filesystem::exists(parent));
    EXPECT_TRUE(std::filesystem::exists(defaultDir / L"keep.bin"));
    std::filesystem::remove_all(defaultDir.parent_path());
}

TEST_F(Removal, DataDirectoryParentStaysWhenNotEmpty) {
    info.hasDataDir = true;
    const auto dataDir = scratch / L"Shared" / L"Data";
    WriteFileBytes(dataDir / L"a.bin", "x");
    WriteFileBytes(scratch / L"Shared" / L"other.txt", "someone else's");
    WriteRegistration(Scope::User, info, installDir, dataDir);

    ASSERT_TRUE(Remove(Scope::User, true));
    EXPECT_FALSE(std::filesystem::exists(dataDir));
    EXPECT_TRUE(std::filesystem::exists(scratch / L"Shared" / L"other.txt"));
}

TEST_F(Removal, DataDirectoryIsNeverRemovedThroughALinkedProductFolder) {
    info.hasDataDir = true;
    // The product's own folder replaced by a link to a folder with a "Data" of its own.
    const auto theirs = scratch / L"theirs";
    WriteFileBytes(theirs / L"Data" / L"keep.txt", "theirs");
    const FolderLink product(scratch / L"product", theirs);
    ASSERT_TRUE(product.planted());
    WriteRegistration(Scope::User, info, installDir, scratch / L"product" / L"Data");

    ASSERT_TRUE(Remove(Scope::User, true));
    EXPECT_EQ(ReadFileBytes(theirs / L"Data" / L"keep.txt"), "theirs");
}

TEST_F(Removal, NoDataDirectoryMeansNothingToRemove) {
    info.hasDataDir = false;
    const auto dataDir = scratch / L"Data";
    WriteFileBytes(dataDir / L"a.bin", "x");
    // A record left by an earlier version that had a data directory.
    WriteRegistration(Scope::User, info, installDir, dataDir);

    ASSERT_TRUE(Remove(Scope::User, true));
    EXPECT_TRUE(std::filesystem::exists(dataDir / L"a.bin"));
}

TEST_F(Removal, RelativeDataDirectoryIsNotResolvedAgainstTheCurrentFolder) {
    info.hasDataDir = true;
    WriteRegistration(Scope::User, info, installDir, std::filesystem::path(L"Data"));
    WriteFileBytes(scratch / L"Data" / L"a.bin", "x");
    WCHAR previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ::SetCurrentDirectoryW(scratch.path().c_str());
    const auto removed = Remove(Scope::User, true);
    ::SetCurrentDirectoryW(previous);

    ASSERT_TRUE(removed);
    EXPECT_TRUE(std::filesystem::exists(scratch / L"Data" / L"a.bin"));
}

TEST(DeleteKeyIfEmpty, OnlyAKeyWithNothingInItGoes) {
    const std::wstring root = L"Software\\" + UniqueName(L"LumenTest-Empty");
    const HKEY hive = HKEY_CURRENT_USER;
    WriteString(hive, root + L"\\Default", nullptr, L"only a default value");
    WriteString(hive, root + L"\\Parent\\Child", L"v", L"x");
    ASSERT_TRUE(CreateRegistryKey(hive, root + L"\\Empty"));

    DeleteKeyIfEmpty(hive, root + L"\\Default");
    DeleteKeyIfEmpty(hive, root + L"\\Parent");
    DeleteKeyIfEmpty(hive, root + L"\\Empty");
    DeleteKeyIfEmpty(hive, root + L"\\Missing");
    EXPECT_TRUE(KeyExists(hive, root + L"\\Default"));
    EXPECT_TRUE(KeyExists(hive, root + L"\\Parent\\Child"));
    EXPECT_FALSE(KeyExists(hive, root + L"\\Empty"));
    DeleteTree(hive, root);
}

} // namespace
