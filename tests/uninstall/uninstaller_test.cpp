// The real setup program installs the test product; the user answers its uninstaller's
// windows; and another user of the machine prepares the ground before an administrator
// installs or uninstalls: links in folders users may write to, programs planted under the
// names of the system's, a product running through a link, an uninstaller started from the
// wrong folder. Nothing of theirs may be deleted, granted or run, and everything of the
// product's must still go.
#include "tests/support/system_probe.h"
#include "tests/support/test_support.h"

#include "install/registry.h"
#include "install/running_instance.h"
#include "install/shortcut.h"
#include "setup/text.h"

#include <gtest/gtest.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class Uninstaller : public ::testing::Test {
  protected:
    const fs::path setup = BinDir() / L"uninstaller_setup.exe";
    const ProductInfo info = ProductOf(setup);
    const std::wstring caption = L"Désinstallation de " + info.product;
    TempDir temp{L"uninstaller"};
    fs::path folder = temp / L"Orvalis";
    // After temp: the links go before anything below them is cleaned up.
    std::vector<std::unique_ptr<FolderLink>> links;

    void SetUp() override { ASSERT_EQ(info.exe, L"Orvalis.exe") << "no product description"; }
    void TearDown() override {
        links.clear();
        RemoveProduct(info, folder);
    }
    void Plant(const fs::path& link, const fs::path& target) {
        links.push_back(std::make_unique<FolderLink>(link, target));
        ASSERT_TRUE(links.back()->planted()) << WideToUtf8(link.native());
    }
    static DWORD Run(const std::wstring& commandLine) {
        return RunProcess(commandLine, 240000).value_or(0xFFFFFFFF);
    }
    DWORD Setup(const std::wstring& switches) { return Run(Quoted(setup) + switches); }
    std::wstring Registered(Scope scope, const wchar_t* value) const {
        return ReadStringValue(HiveFor(scope), UninstallKeyPath(info.product), value).value_or(L"");
    }
    bool Installed() const {
        return fs::exists(folder / L"docs\\guide\\deep\\leaf.txt") &&
               fs::exists(folder / L"Uninstall.exe") &&
               fs::exists(ShortcutPath(info, Scope::User)) &&
               KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(info.product));
    }
    bool Gone(Scope scope) const {
        return Eventually([&] {
            return !fs::exists(folder) && !fs::exists(ShortcutPath(info, scope)) &&
                   !KeyExists(HiveFor(scope), UninstallKeyPath(info.product)) &&
                   !KeyExists(HiveFor(scope), info.registryKey);
        });
    }

    // The interactive uninstaller's first stage, which ends as soon as the second one, the
    // temporary copy that shows every window, has started.
    void StartUninstaller() { ASSERT_EQ(Run(Registered(Scope::User, L"UninstallString")), 0u); }
    // The second stage's next window: the confirmation, then message boxes, all with the
    // uninstaller's caption.
    HWND NextWindow(HWND previous = nullptr) {
        HWND found = nullptr;
        Eventually([&] { return previous == nullptr || !::IsWindow(previous); });
        // Shown only once its controls are in place.
        Eventually([&] {
            found = ::FindWindowW(nullptr, caption.c_str());
            return found != nullptr && ::IsWindowVisible(found);
        });
        if (found != nullptr && !secondStage) {
            DWORD id = 0;
            ::GetWindowThreadProcessId(found, &id);
            secondStage.reset(::OpenProcess(
                SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, id));
        }
        return found;
    }
    DWORD SecondStageExit() {
        DWORD code = 0xFFFFFFFF;
        ::WaitForSingleObject(secondStage.get(), 60000);
        ::GetExitCodeProcess(secondStage.get(), &code);
        secondStage.reset();
        return code;
    }
    UniqueHandle secondStage;
};

TEST_F(Uninstaller, ConfirmationAnsweredWithCancel) {
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + folder.native()), 0u);
    ASSERT_NO_FATAL_FAILURE(StartUninstaller());
    const HWND dialog = NextWindow();
    ASSERT_NE(dialog, nullptr) << "no confirmation";
    for (const std::wstring& text :
         {L"Désinstaller " + info.product + L" ?",
          info.product + L" sera supprimé de cet ordinateur (" + folder.native() + L").",
          L"Supprimer aussi les données téléchargées (" +
              DataDirectory(info.product, Scope::User).native() + L")",
          std::wstring(L"Désinstaller")})
        EXPECT_NE(ChildWithText(dialog, text), nullptr) << WideToUtf8(text);
    ::PostMessageW(ChildWithText(dialog, L"Annuler"), BM_CLICK, 0, 0);
    EXPECT_EQ(SecondStageExit(), 1223u);
    ::Sleep(3000); // the clean-up's delay, after which it would have struck
    EXPECT_TRUE(Installed());
}

TEST_F(Uninstaller, RunningProductRetriedThenRemovedWithItsData) {
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + folder.native()), 0u);
    auto product = std::make_unique<ChildProcess>(Quoted(folder / info.exe));
    ASSERT_TRUE(Eventually([&] { return !FindRunningInstance(info, folder).empty(); }));
    const std::wstring running =
        info.product + L" est en cours d'exécution : fermez-le puis recommencez.";
    // Cancelled: the same text once more as the outcome, 1603, the installation complete.
    ASSERT_NO_FATAL_FAILURE(StartUninstaller());
    HWND window = NextWindow();
    ASSERT_NE(window, nullptr);
    ::PostMessageW(ChildWithText(window, L"Désinstaller"), BM_CLICK, 0, 0);
    window = NextWindow(window);
    ASSERT_NE(window, nullptr) << "no retry box";
    EXPECT_EQ(MessageText(window), running);
    ::PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    window = NextWindow(window);
    ASSERT_NE(window, nullptr) << "no outcome box";
    EXPECT_EQ(MessageText(window), running);
    ::PostMessageW(window, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(SecondStageExit(), 1603u);
    EXPECT_TRUE(Installed());

    // Retried once the product is closed, with the data box ticked: all gone.
    ASSERT_NO_FATAL_FAILURE(StartUninstaller());
    window = NextWindow();
    ASSERT_NE(window, nullptr);
    ::SendMessageW(ChildWithText(window, L"Supprimer aussi les données téléchargées (" +
                                             DataDirectory(info.product, Scope::User).native() +
                                             L")"),
                   BM_CLICK, 0, 0);
    ::PostMessageW(ChildWithText(window, L"Désinstaller"), BM_CLICK, 0, 0);
    window = NextWindow(window);
    ASSERT_NE(window, nullptr) << "no retry box";
    product.reset();
    ::PostMessageW(window, WM_COMMAND, IDRETRY, 0);
    window = NextWindow(window);
    ASSERT_NE(window, nullptr) << "no outcome box";
    EXPECT_EQ(MessageText(window), info.product + L" a été désinstallé.");
    ::PostMessageW(window, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(SecondStageExit(), 0u);
    EXPECT_TRUE(Gone(Scope::User));
    EXPECT_FALSE(fs::exists(DataDirectory(info.product, Scope::User).parent_path()));
}

TEST_F(Uninstaller, HostileUserLinksArePassedByAndPlantedProgramsNeverRun) {
    ASSERT_EQ(Setup(L" /S /ALLUSERS /D=" + folder.native()), 0u);
    // Users may write to the data directory: a link there leads to another user's folder.
    const fs::path theirs = temp / L"theirs";
    WriteFileBytes(theirs / L"keep.txt", "theirs");
    Plant(DataDirectory(info.product, Scope::Machine) / L"link", theirs);
    // A listed folder replaced by a link to a folder holding files of the same names.
    WriteFileBytes(temp / L"lookalike\\deep\\leaf.txt", "theirs");
    fs::remove_all(folder / L"docs\\guide");
    Plant(folder / L"docs\\guide", temp / L"lookalike");
    // Programs named like the ones the clean-up runs, in the uninstaller's temporary folder.
    const fs::path tmp = temp / L"tmp";
    fs::create_directories(tmp);
    for (const wchar_t* name : {L"cmd.exe", L"ping.exe"})
        fs::copy_file(BinDir() / L"ui_launch_probe.exe", tmp / name);
    {
        EnvironmentOverride tmpVariable(L"TMP", tmp.native()), tempVariable(L"TEMP", tmp.native());
        EXPECT_EQ(Run(Registered(Scope::Machine, L"QuietUninstallString") + L" /REMOVEDATA"), 0u);
    }
    // The system's command interpreter deletes the temporary copy once it has ended.
    EXPECT_TRUE(Eventually(
        [&] { return std::distance(fs::directory_iterator(tmp), fs::directory_iterator()) == 2; }));
    EXPECT_FALSE(fs::exists(tmp / L"launched.txt")) << "a planted program ran";
    EXPECT_EQ(ReadFileBytes(theirs / L"keep.txt"), "theirs");
    EXPECT_EQ(ReadFileBytes(temp / L"lookalike\\deep\\leaf.txt"), "theirs");
    for (const wchar_t* file : {L"Orvalis.exe", L"Uninstall.exe", L"Uninstall.files", L"readme.txt",
                                L"docs\\empty.txt", L"assets"})
        EXPECT_FALSE(fs::exists(folder / file)) << WideToUtf8(file);
    EXPECT_FALSE(fs::exists(ShortcutPath(info, Scope::Machine)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKeyPath(info.product)));
}

TEST_F(Uninstaller, HostileUserDataFolderLinkIsNeitherGrantedNorWrittenThrough) {
    const fs::path productData = DataDirectory(info.product, Scope::Machine).parent_path();
    ASSERT_FALSE(fs::exists(productData));
    fs::create_directories(temp / L"theirs");
    Plant(productData, temp / L"theirs");
    EXPECT_EQ(Setup(L" /S /ALLUSERS /D=" + folder.native()), 1603u);
    EXPECT_FALSE(fs::exists(temp / L"theirs\\Data"));
}

TEST_F(Uninstaller, HostileUserCannotHideARunningProductBehindALink) {
    // Installed through a link, running from the folder the link leads to.
    fs::create_directories(temp / L"real");
    Plant(temp / L"alias", temp / L"real");
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + (temp / L"alias\\Orvalis").native()), 0u);
    folder = temp / L"real\\Orvalis";
    ChildProcess product(Quoted(folder / info.exe));
    ASSERT_TRUE(Eventually([&] { return !FindRunningInstance(info, folder).empty(); }));
    // The previous version is not removed while it runs, whichever path names it.
    EXPECT_EQ(Setup(L" /S /CURRENTUSER /D=" + (temp / L"other").native()), 1603u);
    EXPECT_TRUE(fs::exists(folder / L"readme.txt"));
    EXPECT_FALSE(fs::exists(temp / L"other"));
}

TEST_F(Uninstaller, StartedElsewhereItRemovesTheRecordedInstallation) {
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + folder.native()), 0u);
    const fs::path downloads = temp / L"Downloads";
    fs::create_directories(downloads);
    fs::copy_file(setup, downloads / L"ProductSetup.exe");
    WriteFileBytes(downloads / L"Uninstall.exe", "someone else's");
    EXPECT_EQ(Run(Quoted(downloads / L"ProductSetup.exe") + L" /UNINSTALL /S /CURRENTUSER"), 0u);
    EXPECT_TRUE(Gone(Scope::User));
    ::Sleep(3000); // the clean-up's delay, after which it would have struck
    EXPECT_EQ(ReadFileBytes(downloads / L"Uninstall.exe"), "someone else's");
}

} // namespace
