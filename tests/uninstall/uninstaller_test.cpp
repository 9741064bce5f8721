// The real uninstaller started through the registered commands of a prepared installation:
// the first stage's own folder wins over /D=, and the confirmation dialog's texts and answers.
#include "tests/support/test_support.h"
#include "tests/uninstall/uninstall_test_support.h"

#include "install/registry.h"
#include "setup/handles.h"
#include "setup/metadata.h"

#include <gtest/gtest.h>

using namespace testing_support;
using namespace uninstall_testing;
namespace fs = std::filesystem;

namespace {

const auto kSetup = L"uninstall_e2e_setup.exe";

// The product as the setup program itself describes it.
ProductInfo SetupProduct() {
    ModuleHandle module(
        ::LoadLibraryExW((BinDir() / kSetup).c_str(), nullptr,
                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    HRSRC found = module ? ::FindResourceW(module.get(), L"METADATA", RT_RCDATA) : nullptr;
    if (found == nullptr)
        return {};
    const auto* bytes =
        static_cast<const char*>(::LockResource(::LoadResource(module.get(), found)));
    return LoadProductInfo(
        ParseMetadata(std::string_view(bytes, ::SizeofResource(module.get(), found))));
}

class Uninstaller : public ::testing::Test {
  protected:
    ProductInfo info = SetupProduct();
    TempDir scratch{L"uninstaller"};
    fs::path folder = scratch / L"Program folder";
    fs::path dataDir = scratch / L"Data parent" / L"Data";
    FirstStages firstStages{info.product};
    const std::wstring caption = L"Désinstallation de " + info.product;
    std::unique_ptr<SecondStage> second;
    HWND dialog = nullptr;

    void SetUp() override { ASSERT_TRUE(info.hasDataDir) << "metadata missing"; }

    void TearDown() override {
        second.reset();
        for (Scope scope : {Scope::User, Scope::Machine}) {
            DeleteRegistration(scope, info);
            DeleteTree(HiveFor(scope), L"Software\\LumenTest");
        }
    }

    // What an installation leaves for the uninstaller to find.
    void Install(Scope scope) {
        fs::create_directories(folder);
        ASSERT_TRUE(
            ::CopyFileW((BinDir() / kSetup).c_str(), (folder / L"Uninstall.exe").c_str(), FALSE));
        WriteFileBytes(dataDir / L"cache" / L"downloaded.bin", "data");
        WriteRegistration(scope, info, folder, dataDir);
    }

    // Installs for the user, starts the registered command and waits for the confirmation.
    void OpenTheDialog() {
        Install(Scope::User);
        auto first = firstStages.Start(Registered(Scope::User, info, L"UninstallString"));
        // The first stage does not wait for the user's answer.
        EXPECT_EQ(first->Wait(30000), 0u);
        second = std::make_unique<SecondStage>(firstStages.LastCopy());
        ASSERT_TRUE(*second);
        dialog = second->WaitForWindow(caption);
        ASSERT_NE(dialog, nullptr) << "no confirmation";
    }

    bool AllGone(Scope scope) {
        return Eventually([&] {
            return !fs::exists(firstStages.LastCopy()) && !fs::exists(folder) &&
                   RemainingKeys(scope, info).empty();
        });
    }
};

TEST_F(Uninstaller, FirstStageIgnoresAGivenFolder) {
    Install(Scope::User);
    const fs::path elsewhere = scratch / L"Elsewhere";
    WriteFileBytes(elsewhere / L"Uninstall.exe", "not this one");
    auto first = firstStages.Start(Registered(Scope::User, info, L"QuietUninstallString") +
                                   L" /D=" + elsewhere.native());
    EXPECT_EQ(first->Wait(60000), 0u);
    EXPECT_TRUE(AllGone(Scope::User));
    EXPECT_TRUE(fs::exists(elsewhere / L"Uninstall.exe"));
}

TEST_F(Uninstaller, CancelKeepsTheInstallationAndTheCopy) {
    ASSERT_NO_FATAL_FAILURE(OpenTheDialog());
    const auto texts = ChildTexts(dialog);
    const auto has = [&](const std::wstring& text) {
        return std::find(texts.begin(), texts.end(), text) != texts.end();
    };
    EXPECT_TRUE(has(L"Désinstaller " + info.product + L" ?"));
    EXPECT_TRUE(
        has(info.product + L" sera supprimé de cet ordinateur (" + folder.native() + L")."));
    EXPECT_TRUE(has(L"Supprimer aussi les données téléchargées (" + dataDir.native() + L")"));
    HWND cancel = ChildWithText(dialog, L"Annuler");
    ASSERT_NE(cancel, nullptr);
    ::PostMessageW(cancel, BM_CLICK, 0, 0);

    EXPECT_EQ(second->WaitForExit(30000), 1223u);
    ::Sleep(3000);
    EXPECT_TRUE(fs::exists(folder / L"Uninstall.exe"));
    EXPECT_EQ(RemainingKeys(Scope::User, info).size(), 4u);
    EXPECT_TRUE(fs::exists(firstStages.LastCopy()));
}

TEST_F(Uninstaller, ConfirmedWithDataRemovesAndReports) {
    ASSERT_NO_FATAL_FAILURE(OpenTheDialog());
    HWND check = ChildWithText(dialog, L"Supprimer aussi les données téléchargées (" +
                                           dataDir.native() + L")");
    HWND confirm = ChildWithText(dialog, L"Désinstaller");
    ASSERT_NE(check, nullptr);
    ASSERT_NE(confirm, nullptr);
    ::SendMessageW(check, BM_CLICK, 0, 0);
    ::PostMessageW(confirm, BM_CLICK, 0, 0);
    ASSERT_TRUE(WaitForWindowGone(dialog));

    HWND box = second->WaitForWindow(caption);
    ASSERT_NE(box, nullptr) << "no outcome message";
    EXPECT_EQ(MessageText(box), info.product + L" a été désinstallé.");
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(second->WaitForExit(30000), 0u);
    EXPECT_FALSE(fs::exists(dataDir));
    EXPECT_TRUE(AllGone(Scope::User));
}

} // namespace
