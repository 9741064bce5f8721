// Another user of the machine prepares the ground before an administrator installs or
// uninstalls the test product with the real setup program: links in folders that users may
// write to, programs planted under the names of the system's, a product running through a
// link, an uninstaller started from the wrong folder. Nothing of theirs may be deleted,
// granted or run, and everything of the product's must still go.
#include "tests/support/test_support.h"
#include "tests/uninstall/installed_product.h"
#include "tests/uninstall/uninstall_test_support.h"

#include "install/shortcut.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testing_support;
using namespace uninstall_testing;
namespace fs = std::filesystem;

namespace {

class HostileUser : public ::testing::Test {
  protected:
    const TestProductPackage& package = LoadedPackage(L"hostile_setup");
    const ProductInfo& info = package.info();
    TempDir scratch{L"hostile"};
    fs::path folder = scratch / L"Orvalis";
    // After scratch: the links go before anything below them is cleaned up.
    std::vector<std::unique_ptr<FolderLink>> links;

    void SetUp() override {
        ASSERT_EQ(info.exe, L"Orvalis.exe") << "test product metadata missing";
    }
    void TearDown() override {
        links.clear();
        RemoveEverything(info, folder);
    }

    void Plant(const fs::path& link, const fs::path& target) {
        links.push_back(std::make_unique<FolderLink>(link, target));
        ASSERT_TRUE(links.back()->planted()) << link;
    }

    static DWORD Run(const std::wstring& commandLine) {
        return RunProcess(commandLine, 240000).value_or(0xFFFFFFFF);
    }
    DWORD Setup(const std::wstring& switches) { return Run(Quoted(package.SetupExe()) + switches); }
};

TEST_F(HostileUser, UninstallPassesLinksByAndRunsNothingPlanted) {
    ASSERT_EQ(Setup(L" /S /ALLUSERS /D=" + folder.native()), 0u);

    // Users may write to the data directory: a link there leads to another user's folder.
    const fs::path theirs = scratch / L"theirs";
    WriteFileBytes(theirs / L"keep.txt", "theirs");
    Plant(DataDirectory(info.product, Scope::Machine) / L"link", theirs);
    // A listed folder replaced by a link to a folder holding files of the same names.
    const fs::path lookalike = scratch / L"lookalike";
    WriteFileBytes(lookalike / L"deep" / L"leaf.txt", "theirs");
    fs::remove_all(folder / L"docs" / L"guide");
    Plant(folder / L"docs" / L"guide", lookalike);
    // Programs named like the ones the clean-up runs, in the uninstaller's temporary folder.
    const fs::path temp = scratch / L"temp";
    fs::create_directories(temp);
    for (const wchar_t* name : {L"cmd.exe", L"ping.exe"})
        fs::copy_file(BinDir() / L"ui_launch_probe.exe", temp / name);

    {
        EnvironmentOverride tmp(L"TMP", temp.native());
        EnvironmentOverride tempVariable(L"TEMP", temp.native());
        EXPECT_EQ(Run(Registered(Scope::Machine, info, L"QuietUninstallString") + L" /REMOVEDATA"),
                  0u);
    }
    // The system's command interpreter deletes the temporary copy once the copy has ended.
    EXPECT_TRUE(Eventually([&] {
        return std::distance(fs::directory_iterator(temp), fs::directory_iterator()) == 2;
    }));
    EXPECT_FALSE(fs::exists(temp / L"launched.txt")) << "a planted program ran";
    EXPECT_EQ(ReadFileBytes(theirs / L"keep.txt"), "theirs");
    EXPECT_EQ(ReadFileBytes(lookalike / L"deep" / L"leaf.txt"), "theirs");

    for (const wchar_t* file : {L"Orvalis.exe", L"Uninstall.exe", L"Uninstall.files", L"readme.txt",
                                L"docs\\empty.txt", L"assets"})
        EXPECT_FALSE(fs::exists(folder / file)) << file;
    EXPECT_FALSE(fs::exists(ShortcutPath(info, Scope::Machine)));
    EXPECT_TRUE(RemainingKeys(Scope::Machine, info).empty());
}

TEST_F(HostileUser, APlantedDataFolderLinkIsNeitherGrantedNorWrittenThrough) {
    const fs::path productData = DataDirectory(info.product, Scope::Machine).parent_path();
    ASSERT_FALSE(fs::exists(productData));
    const fs::path theirs = scratch / L"theirs";
    fs::create_directories(theirs);
    Plant(productData, theirs);

    EXPECT_EQ(Setup(L" /S /ALLUSERS /D=" + folder.native()), 1603u);
    EXPECT_FALSE(fs::exists(theirs / L"Data"));
}

TEST_F(HostileUser, TheRunningCheckSeesThroughALink) {
    // Installed through a link, running from the folder the link leads to.
    const fs::path real = scratch / L"real";
    fs::create_directories(real);
    Plant(scratch / L"alias", real);
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + (scratch / L"alias" / L"Orvalis").native()), 0u);
    folder = real / L"Orvalis";
    ChildProcess product(Quoted(folder / info.exe));
    ASSERT_TRUE(product.started());
    ::Sleep(500);

    // The previous version is not removed while it runs, whichever path names it.
    EXPECT_EQ(Setup(L" /S /CURRENTUSER /D=" + (scratch / L"other").native()), 1603u);
    EXPECT_TRUE(fs::exists(folder / L"readme.txt"));
    EXPECT_FALSE(fs::exists(scratch / L"other"));
}

TEST_F(HostileUser, AnUninstallerStartedElsewhereRemovesTheRecordedInstallation) {
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + folder.native()), 0u);
    const fs::path downloads = scratch / L"Downloads";
    fs::create_directories(downloads);
    fs::copy_file(package.SetupExe(), downloads / L"ProductSetup.exe");
    WriteFileBytes(downloads / L"Uninstall.exe", "someone else's");

    EXPECT_EQ(Run(Quoted(downloads / L"ProductSetup.exe") + L" /UNINSTALL /S /CURRENTUSER"), 0u);
    EXPECT_TRUE(Eventually([&] { return !fs::exists(folder); }));
    EXPECT_TRUE(RemainingKeys(Scope::User, info).empty());
    ::Sleep(3000); // the clean-up's own delay, after which it would have struck
    EXPECT_EQ(ReadFileBytes(downloads / L"Uninstall.exe"), "someone else's");
}

} // namespace
