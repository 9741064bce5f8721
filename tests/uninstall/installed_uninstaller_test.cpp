// The real setup program installs the test product silently; its registered uninstall
// commands then take it off again, run exactly as stored.
#include "tests/support/test_support.h"
#include "tests/uninstall/installed_product.h"
#include "tests/uninstall/uninstall_test_support.h"

#include "install/registry.h"
#include "install/shortcut.h"

#include <gtest/gtest.h>

using namespace testing_support;
using namespace uninstall_testing;
namespace fs = std::filesystem;

namespace {

class InstalledUninstaller : public ::testing::Test {
  protected:
    const TestProductPackage& package = LoadedPackage(L"uninstall_flow_setup");
    const ProductInfo& info = package.info();
    TempDir scratch{L"installed-uninstaller"};
    fs::path folder = scratch / L"Orvalis dossier";
    FirstStages firstStages{info.product};
    const std::wstring caption = L"Désinstallation de " + info.product;
    std::unique_ptr<ChildProcess> product;
    std::unique_ptr<SecondStage> second;

    void SetUp() override {
        ASSERT_EQ(info.exe, L"Orvalis.exe") << "test product metadata missing";
    }
    void TearDown() override {
        // Both keep files of the installation open.
        second.reset();
        product.reset();
        RemoveEverything(info, folder);
    }

    void InstallSilently(Scope scope) {
        const auto code = RunProcess(
            Quoted(package.SetupExe()) +
                (scope == Scope::Machine ? L" /S /ALLUSERS /D=" : L" /S /CURRENTUSER /D=") +
                folder.native(),
            240000);
        ASSERT_EQ(code, 0u);
        ASSERT_TRUE(fs::exists(folder / L"Uninstall.exe"));
    }

    void InstallAndStartTheProduct() {
        ASSERT_NO_FATAL_FAILURE(InstallSilently(Scope::User));
        product = std::make_unique<ChildProcess>(Quoted(folder / info.exe));
        ASSERT_TRUE(product->started());
        ::Sleep(500);
    }

    // Up to the second stage of the uninstaller that the user starts.
    void StartUninstallerWhileTheProductRuns() {
        ASSERT_NO_FATAL_FAILURE(InstallAndStartTheProduct());
        auto first = firstStages.Start(Registered(Scope::User, info, L"UninstallString"));
        EXPECT_EQ(first->Wait(30000), 0u);
        second = std::make_unique<SecondStage>(firstStages.LastCopy());
        ASSERT_TRUE(*second);
    }

    bool NothingLeft(Scope scope) {
        return Eventually([&] {
            return !fs::exists(firstStages.LastCopy()) && !fs::exists(folder) &&
                   !fs::exists(ShortcutPath(info, scope)) && RemainingKeys(scope, info).empty();
        });
    }

    void ExpectInstallationComplete(Scope scope) {
        EXPECT_TRUE(fs::exists(folder / L"Uninstall.exe"));
        EXPECT_TRUE(fs::exists(folder / L"Uninstall.files"));
        EXPECT_TRUE(fs::exists(folder / L"docs" / L"guide" / L"deep" / L"leaf.txt"));
        EXPECT_TRUE(fs::exists(ShortcutPath(info, scope)));
        EXPECT_EQ(RemainingKeys(scope, info).size(), RegistrationKeyCount(info));
    }
};

TEST_F(InstalledUninstaller, QuietUninstallLeavesNothingButTheData) {
    for (Scope scope : {Scope::Machine, Scope::User}) {
        ASSERT_NO_FATAL_FAILURE(InstallSilently(scope));
        auto first = firstStages.Start(Registered(scope, info, L"QuietUninstallString"));
        ASSERT_TRUE(first->started());
        EXPECT_EQ(first->Wait(120000), 0u);
        EXPECT_TRUE(NothingLeft(scope))
            << "copy " << fs::exists(firstStages.LastCopy()) << " folder " << fs::exists(folder);
        EXPECT_TRUE(fs::exists(DataDirectory(info.product, scope)));
    }
}

TEST_F(InstalledUninstaller, RemoveDataSwitchTakesTheDataToo) {
    ASSERT_NO_FATAL_FAILURE(InstallSilently(Scope::User));
    const fs::path data = DataDirectory(info.product, Scope::User);
    WriteFileBytes(data / L"downloads" / L"one.bin", "downloaded");
    auto first =
        firstStages.Start(Registered(Scope::User, info, L"QuietUninstallString") + L" /REMOVEDATA");
    EXPECT_EQ(first->Wait(120000), 0u);
    EXPECT_TRUE(NothingLeft(Scope::User));
    EXPECT_FALSE(fs::exists(data));
    EXPECT_FALSE(fs::exists(data.parent_path()));
}

TEST_F(InstalledUninstaller, SilentRunWhileTheProductRunsFailsAndKeepsEverything) {
    ASSERT_NO_FATAL_FAILURE(InstallAndStartTheProduct());
    auto first = firstStages.Start(Registered(Scope::User, info, L"QuietUninstallString"));
    EXPECT_EQ(first->Wait(120000), 1603u);
    ExpectInstallationComplete(Scope::User);
    // The clean-up still takes the temporary copy.
    EXPECT_TRUE(Eventually([&] { return !fs::exists(firstStages.LastCopy()); }));
}

// Confirms the removal in the second stage's dialog and returns the next window it shows.
HWND ConfirmAndWaitForMessage(const SecondStage& second, const std::wstring& caption) {
    HWND dialog = second.WaitForWindow(caption);
    if (dialog == nullptr)
        return nullptr;
    HWND confirm = ChildWithText(dialog, L"Désinstaller");
    if (confirm == nullptr)
        return nullptr;
    ::PostMessageW(confirm, BM_CLICK, 0, 0);
    if (!WaitForWindowGone(dialog))
        return nullptr;
    return second.WaitForWindow(caption);
}

TEST_F(InstalledUninstaller, RunningProductOffersRetryAndCancelKeepsEverything) {
    ASSERT_NO_FATAL_FAILURE(StartUninstallerWhileTheProductRuns());
    const std::wstring running =
        info.product + L" est en cours d'exécution : fermez-le puis recommencez.";

    HWND retry = ConfirmAndWaitForMessage(*second, caption);
    ASSERT_NE(retry, nullptr) << "no retry box";
    EXPECT_EQ(MessageText(retry), running);
    ::PostMessageW(retry, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(WaitForWindowGone(retry));

    // The same text once more, now as the outcome.
    HWND outcome = second->WaitForWindow(caption);
    ASSERT_NE(outcome, nullptr) << "no outcome box";
    EXPECT_EQ(MessageText(outcome), running);
    ::PostMessageW(outcome, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(second->WaitForExit(60000), 1603u);
    ExpectInstallationComplete(Scope::User);
    EXPECT_TRUE(Eventually([&] { return !fs::exists(firstStages.LastCopy()); }));
}

TEST_F(InstalledUninstaller, RetryAfterClosingTheProductCompletesTheRemoval) {
    ASSERT_NO_FATAL_FAILURE(StartUninstallerWhileTheProductRuns());

    HWND retry = ConfirmAndWaitForMessage(*second, caption);
    ASSERT_NE(retry, nullptr) << "no retry box";
    product->Terminate();
    ::PostMessageW(retry, WM_COMMAND, IDRETRY, 0);
    ASSERT_TRUE(WaitForWindowGone(retry));

    HWND outcome = second->WaitForWindow(caption);
    ASSERT_NE(outcome, nullptr) << "no outcome box";
    EXPECT_EQ(MessageText(outcome), info.product + L" a été désinstallé.");
    ::PostMessageW(outcome, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(second->WaitForExit(60000), 0u);
    EXPECT_TRUE(NothingLeft(Scope::User));
}

} // namespace
