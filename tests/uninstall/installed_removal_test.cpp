// The removal engine on installations made by the real Install.
#include "tests/support/test_support.h"
#include "tests/uninstall/installed_product.h"
#include "tests/uninstall/uninstall_test_support.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/handles.h"
#include "setup/text.h"
#include "uninstall/removal.h"

#include <gtest/gtest.h>

using namespace testing_support;
using namespace uninstall_testing;
namespace fs = std::filesystem;

namespace {

class InstalledRemoval : public ::testing::Test {
  protected:
    ComApartment apartment;
    const TestProductPackage& package = LoadedPackage(L"uninstall_engine_setup");
    const ProductInfo& info = package.info();
    TempDir scratch{L"installed-removal"};
    fs::path folder = scratch / L"Orvalis";
    fs::path machineFolder = scratch / L"Orvalis machine";

    void SetUp() override {
        ASSERT_EQ(info.exe, L"Orvalis.exe") << "test product metadata missing";
        ASSERT_TRUE(info.hasDataDir);
    }
    void TearDown() override {
        RemoveEverything(info, folder);
        RemoveEverything(info, machineFolder);
    }

    void InstallAt(Scope scope, const fs::path& where) {
        const auto installed = package.InstallTo(scope, where);
        ASSERT_TRUE(installed) << WideToUtf8(installed.error());
        ASSERT_TRUE(fs::exists(where / L"Uninstall.files"));
        ASSERT_TRUE(fs::exists(ShortcutPath(info, scope)));
        ASSERT_EQ(RemainingKeys(scope, info).size(), RegistrationKeyCount(info));
    }
};

TEST_F(InstalledRemoval, EverythingTheInstallationWroteIsGone) {
    ASSERT_NO_FATAL_FAILURE(InstallAt(Scope::User, folder));
    const fs::path dataDir = DataDirectory(info.product, Scope::User);
    WriteFileBytes(dataDir / L"downloads" / L"one.bin", "downloaded");

    ASSERT_TRUE(Uninstall(info, Scope::User, folder, true));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(fs::exists(ShortcutPath(info, Scope::User)));
    EXPECT_EQ(RemainingKeys(Scope::User, info), std::vector<std::wstring>{});
    EXPECT_FALSE(fs::exists(dataDir));
    EXPECT_FALSE(fs::exists(dataDir.parent_path()));
}

TEST_F(InstalledRemoval, DataStaysUnlessAskedFor) {
    ASSERT_NO_FATAL_FAILURE(InstallAt(Scope::Machine, machineFolder));
    const fs::path dataDir = DataDirectory(info.product, Scope::Machine);
    ASSERT_TRUE(fs::exists(dataDir));

    ASSERT_TRUE(Uninstall(info, Scope::Machine, machineFolder, false));
    EXPECT_FALSE(fs::exists(machineFolder));
    EXPECT_EQ(RemainingKeys(Scope::Machine, info), std::vector<std::wstring>{});
    EXPECT_TRUE(fs::exists(dataDir));
}

TEST_F(InstalledRemoval, UserFileKeepsItsFolderChain) {
    ASSERT_NO_FATAL_FAILURE(InstallAt(Scope::User, folder));
    const fs::path mine = folder / L"docs" / L"guide" / L"deep" / L"mine.txt";
    WriteFileBytes(mine, "the user's own notes");

    ASSERT_TRUE(Uninstall(info, Scope::User, folder, false));
    EXPECT_TRUE(fs::exists(mine));
    EXPECT_FALSE(fs::exists(folder / L"docs" / L"guide" / L"deep" / L"leaf.txt"));
    EXPECT_FALSE(fs::exists(folder / L"docs" / L"empty.txt"));
    EXPECT_FALSE(fs::exists(folder / L"assets"));
    EXPECT_FALSE(fs::exists(folder / L"Orvalis.exe"));
    EXPECT_FALSE(fs::exists(folder / L"Uninstall.exe"));
    EXPECT_FALSE(fs::exists(folder / L"Uninstall.files"));
    EXPECT_EQ(RemainingKeys(Scope::User, info), std::vector<std::wstring>{});
}

TEST_F(InstalledRemoval, OtherScopeIsUntouched) {
    ASSERT_NO_FATAL_FAILURE(InstallAt(Scope::User, folder));
    ASSERT_NO_FATAL_FAILURE(InstallAt(Scope::Machine, machineFolder));

    ASSERT_TRUE(Uninstall(info, Scope::User, folder, true));
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_TRUE(fs::exists(machineFolder / L"Orvalis.exe"));
    EXPECT_TRUE(fs::exists(machineFolder / L"Uninstall.files"));
    EXPECT_TRUE(fs::exists(ShortcutPath(info, Scope::Machine)));
    EXPECT_TRUE(fs::exists(DataDirectory(info.product, Scope::Machine)));
    EXPECT_EQ(RemainingKeys(Scope::Machine, info).size(), RegistrationKeyCount(info));
}

TEST_F(InstalledRemoval, ExtensionTakenOverByAnotherProgramKeepsIt) {
    ASSERT_NO_FATAL_FAILURE(InstallAt(Scope::User, folder));
    const std::wstring extension = L"Software\\Classes\\" + info.fileTypes[0].extension;
    WriteString(HKEY_CURRENT_USER, extension, nullptr, L"Other.Program");

    ASSERT_TRUE(Uninstall(info, Scope::User, folder, false));
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, extension, nullptr), L"Other.Program");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, extension + L"\\OpenWithProgids"));
    EXPECT_FALSE(
        KeyExists(HKEY_CURRENT_USER,
                  L"Software\\Classes\\" + MakeProgId(info.product, info.fileTypes[0].extension)));
    DeleteTree(HKEY_CURRENT_USER, extension);
}

TEST_F(InstalledRemoval, RunningProductBlocksEverything) {
    ASSERT_NO_FATAL_FAILURE(InstallAt(Scope::User, folder));
    // The same program from another folder does not count.
    const fs::path elsewhere = scratch / L"Copy";
    fs::create_directories(elsewhere);
    fs::copy_file(folder / info.exe, elsewhere / info.exe);
    ChildProcess other(Quoted(elsewhere / info.exe));
    ASSERT_TRUE(other.started());
    {
        ChildProcess running(Quoted(folder / info.exe));
        ASSERT_TRUE(running.started());
        ::Sleep(500);

        const auto blocked = Uninstall(info, Scope::User, folder, true);
        ASSERT_FALSE(blocked);
        EXPECT_EQ(blocked.error(),
                  info.product + L" est en cours d'exécution : fermez-le puis recommencez.");
        EXPECT_TRUE(fs::exists(folder / L"Uninstall.exe"));
        EXPECT_TRUE(fs::exists(folder / L"readme.txt"));
        EXPECT_TRUE(fs::exists(ShortcutPath(info, Scope::User)));
        EXPECT_TRUE(fs::exists(DataDirectory(info.product, Scope::User)));
        EXPECT_EQ(RemainingKeys(Scope::User, info).size(), RegistrationKeyCount(info));
        running.Terminate();
    }
    EXPECT_TRUE(Uninstall(info, Scope::User, folder, false));
    EXPECT_FALSE(fs::exists(folder / L"readme.txt"));
    other.Terminate();
}

TEST_F(InstalledRemoval, MissingListStillRemovesRegistryShortcutAndData) {
    ASSERT_NO_FATAL_FAILURE(InstallAt(Scope::User, folder));
    fs::remove(folder / L"Uninstall.files");

    ASSERT_TRUE(Uninstall(info, Scope::User, folder, true));
    EXPECT_TRUE(fs::exists(folder / L"Orvalis.exe"));
    EXPECT_TRUE(fs::exists(folder / L"Uninstall.exe"));
    EXPECT_FALSE(fs::exists(ShortcutPath(info, Scope::User)));
    EXPECT_FALSE(fs::exists(DataDirectory(info.product, Scope::User)));
    EXPECT_EQ(RemainingKeys(Scope::User, info), std::vector<std::wstring>{});
}

} // namespace
