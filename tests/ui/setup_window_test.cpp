// The real setup page, driven through its controls and messages.
#include "tests/ui/page_session.h"

#include "install/install.h"
#include "install/registry.h"
#include "ui/install_worker.h"
#include "res/resource_ids.h"
#include "setup/metadata.h"
#include "setup/paths.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <knownfolders.h>

#include <filesystem>
#include <system_error>

using namespace page_testing;
using namespace std::chrono_literals;
using testing_support::TempDir;

namespace {

const std::wstring kRefused =
    L"Installation pour tous les utilisateurs annulée (autorisation refusée).";

SetupOptions Options(std::optional<Scope> scope = std::nullopt) {
    SetupOptions options;
    options.scope = scope;
    return options;
}

std::wstring Default(const ProductInfo& info, Scope scope) {
    return DefaultInstallFolder(info.product, scope).native();
}

// Controls that are usable on the Ready page.
void ExpectReady(const PageSession& page) {
    for (int id : {IDC_ALL_USERS, IDC_CURRENT_USER, IDC_FOLDER, IDC_BROWSE, IDOK, IDCANCEL})
        EXPECT_TRUE(page.Enabled(id)) << id;
}

TEST(SetupPage, OpensForAllUsersByDefault) {
    const ProductInfo info = TestProduct(L"UiOpen");
    PageSession page(info, Options(), /*elevated=*/false);
    ASSERT_TRUE(page.opened());
    EXPECT_EQ(page.Caption(), L"Installation de " + info.product);
    EXPECT_EQ(page.Text(IDC_HEADER), info.product + L" 2.0 - Éditions Essai");
    EXPECT_EQ(page.Text(IDC_LAUNCH), L"Lancer " + info.product + L" à la fin de l'installation");
    EXPECT_TRUE(page.Checked(IDC_ALL_USERS));
    EXPECT_FALSE(page.Checked(IDC_CURRENT_USER));
    EXPECT_TRUE(page.Checked(IDC_LAUNCH));
    EXPECT_TRUE(page.Visible(IDC_LAUNCH));
    EXPECT_EQ(page.Text(IDC_FOLDER), Default(info, Scope::Machine));
    EXPECT_EQ(page.Text(IDC_FOLDER),
              JoinPath(KnownFolderPath(FOLDERID_ProgramFiles), info.product).native());
    EXPECT_EQ(page.Text(IDC_STATUS), L"");
    EXPECT_EQ(page.Text(IDOK), L"Installer");
    EXPECT_EQ(page.Shield(), 1) << "not elevated, all users: the start button needs the shield";
    PBRANGE range{};
    ::SendDlgItemMessageW(page.page(), IDC_PROGRESS, PBM_GETRANGE, FALSE,
                          reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 1000);
    ExpectReady(page);
    EXPECT_NE(::SendMessageW(page.page(), WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(::SendMessageW(page.page(), WM_GETICON, ICON_SMALL, 0), 0);

    page.Command(IDCANCEL);
    EXPECT_EQ(page.WaitForResult(), 1223);
}

TEST(SetupPage, SwitchesAndOptions) {
    const ProductInfo info = TestProduct(L"UiScope");
    {
        // Per user: never a shield, the user's own program folder.
        SetupOptions options = Options(Scope::User);
        options.noLaunch = true;
        PageSession page(info, options, /*elevated=*/false);
        ASSERT_TRUE(page.opened());
        EXPECT_TRUE(page.Checked(IDC_CURRENT_USER));
        EXPECT_FALSE(page.Checked(IDC_ALL_USERS));
        EXPECT_FALSE(page.Checked(IDC_LAUNCH));
        EXPECT_EQ(page.Text(IDC_FOLDER), Default(info, Scope::User));
        EXPECT_EQ(page.Shield(), 0);

        // Switching scope follows with the folder and the shield, until the user types one.
        page.Click(IDC_ALL_USERS);
        page.Sync();
        EXPECT_EQ(page.Text(IDC_FOLDER), Default(info, Scope::Machine));
        EXPECT_EQ(page.Shield(), 1);
        page.Click(IDC_CURRENT_USER);
        page.Sync();
        EXPECT_EQ(page.Text(IDC_FOLDER), Default(info, Scope::User));
        EXPECT_EQ(page.Shield(), 0);
        page.TypeFolder(L"E:\\Mine");
        page.Click(IDC_ALL_USERS);
        page.Sync();
        EXPECT_EQ(page.Text(IDC_FOLDER), L"E:\\Mine");
        EXPECT_EQ(page.Shield(), 1);
        page.Post(WM_CLOSE);
        EXPECT_EQ(page.WaitForResult(), 1223);
    }
    {
        // Elevated already: no shield for either scope. A /D= folder is never replaced.
        SetupOptions options = Options(Scope::Machine);
        options.installDir = L"F:\\Given folder";
        PageSession page(info, options, /*elevated=*/true);
        ASSERT_TRUE(page.opened());
        EXPECT_TRUE(page.Checked(IDC_ALL_USERS));
        EXPECT_TRUE(page.Checked(IDC_LAUNCH));
        EXPECT_EQ(page.Text(IDC_FOLDER), L"F:\\Given folder");
        EXPECT_EQ(page.Shield(), 0);
        page.Click(IDC_CURRENT_USER);
        page.Click(IDC_ALL_USERS);
        page.Sync();
        EXPECT_EQ(page.Text(IDC_FOLDER), L"F:\\Given folder");
        EXPECT_EQ(page.Shield(), 0);
    }
}

TEST(SetupPage, InstalledVersionRowsPerScope) {
    const ProductInfo info = TestProduct(L"UiRows");
    ScratchKey machine(HKEY_LOCAL_MACHINE, UninstallKeyPath(info.product));
    ScratchKey user(HKEY_CURRENT_USER, UninstallKeyPath(info.product));
    machine.SetString(L"DisplayVersion", L"1.9.9");
    machine.SetString(L"InstallLocation", L"C:\\Earlier\\" + info.product);
    user.SetString(L"DisplayVersion", L"2.0.0");
    // An empty recorded folder names no installation.
    user.SetString(L"InstallLocation", L"");

    PageSession page(info, Options(), /*elevated=*/true);
    ASSERT_TRUE(page.opened());
    EXPECT_EQ(page.Text(IDC_FOLDER), L"C:\\Earlier\\" + info.product);
    EXPECT_EQ(page.Text(IDC_STATUS),
              L"La version 1.9.9 est installée : elle sera remplacée par la version 2.0.");
    EXPECT_EQ(page.Text(IDOK), L"Mettre à jour");

    page.Click(IDC_CURRENT_USER);
    page.Sync();
    EXPECT_EQ(page.Text(IDC_FOLDER), Default(info, Scope::User));
    EXPECT_EQ(page.Text(IDC_STATUS),
              info.product +
                  L" 2.0.0 est déjà installé. « Réinstaller » remplace tous ses fichiers.");
    EXPECT_EQ(page.Text(IDOK), L"Réinstaller");

    user.SetString(L"DisplayVersion", L"2.10");
    page.Click(IDC_CURRENT_USER);
    page.Sync();
    EXPECT_EQ(page.Text(IDC_STATUS), L"Une version plus récente (2.10) est installée : elle sera "
                                     L"remplacée par la version 2.0.");
    EXPECT_EQ(page.Text(IDOK), L"Installer");

    ::RegDeleteTreeW(HKEY_CURRENT_USER, UninstallKeyPath(info.product).c_str());
    page.Click(IDC_CURRENT_USER);
    page.Sync();
    EXPECT_EQ(page.Text(IDC_STATUS), L"");
    EXPECT_EQ(page.Text(IDOK), L"Installer");
}

TEST(SetupPage, RefusedFolderWarnsAndChangesNothing) {
    const ProductInfo info = TestProduct(L"UiRefuse");
    ElevationStandIn prompt;
    PageSession page(info, Options(Scope::User), /*elevated=*/false, &prompt);
    ASSERT_TRUE(page.opened());
    const std::wstring expected =
        L"Indiquez un dossier d'installation complet (par exemple " +
        JoinPath(KnownFolderPath(FOLDERID_ProgramFiles), info.product).native() + L").";
    for (const wchar_t* folder : {L"relative\\folder", L"C:", L""}) {
        page.TypeFolder(folder);
        page.Command(IDOK);
        const HWND box = page.WaitForMessageBox();
        ASSERT_NE(box, nullptr) << "no warning for " << testing::PrintToString(folder);
        wchar_t text[1024] = {};
        ::GetDlgItemTextW(box, 0xFFFF, text, 1024);
        EXPECT_EQ(text, expected);
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(box); }));
        page.Sync();
        EXPECT_EQ(page.Text(IDC_FOLDER), folder);
        EXPECT_EQ(page.Text(IDC_STATUS), L"");
        ExpectReady(page);
    }
    // Not even the all-users path gets past the check.
    page.Click(IDC_ALL_USERS);
    page.Command(IDOK);
    const HWND box = page.WaitForMessageBox();
    ASSERT_NE(box, nullptr);
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(box); }));
    page.Sync();
    EXPECT_EQ(prompt.CallCount(), 0u);
    page.Command(IDCANCEL);
    EXPECT_EQ(page.WaitForResult(), 1223);
}

TEST(SetupPage, ElevatedCopyDeclinedThenFailed) {
    const ProductInfo info = TestProduct(L"UiRelaunch");
    ElevationStandIn prompt;
    SetupOptions options = Options();
    options.removeData = true; // passed on as received
    PageSession page(info, options, /*elevated=*/false, &prompt);
    ASSERT_TRUE(page.opened());
    page.TypeFolder(L"C:\\Chosen Folder\\" + info.product);
    page.Command(IDOK);
    ASSERT_TRUE(prompt.WaitForCalls(1, 20s));

    const auto call = prompt.LastCall();
    EXPECT_EQ(call.owner, page.page());
    EXPECT_FALSE(call.options.silent);
    EXPECT_EQ(call.options.scope, Scope::Machine);
    EXPECT_TRUE(call.options.noLaunch);
    EXPECT_TRUE(call.options.removeData);
    EXPECT_FALSE(call.options.elevated) << "the relaunch itself adds /ELEVATED";
    EXPECT_EQ(call.options.installDir, L"C:\\Chosen Folder\\" + info.product);

    // Busy: only the check box stays usable, and nothing closes the page.
    page.Sync();
    EXPECT_EQ(page.Text(IDC_STATUS), L"Autorisation demandée à Windows...");
    for (int id : {IDC_ALL_USERS, IDC_CURRENT_USER, IDC_FOLDER, IDC_BROWSE, IDOK, IDCANCEL})
        EXPECT_FALSE(page.Enabled(id)) << id;
    EXPECT_TRUE(page.Enabled(IDC_LAUNCH));
    page.Command(IDCANCEL);
    page.Post(WM_CLOSE);
    page.Command(IDOK);
    page.Post(WM_SYSCOMMAND, SC_CLOSE);
    page.Sync();
    EXPECT_FALSE(page.WaitForResult(300ms)) << "the page closed while busy";
    EXPECT_EQ(prompt.CallCount(), 1u);

    // Declined: Ready again, and it can be started again.
    prompt.Answer(1223);
    ASSERT_TRUE(WaitUntil([&] { return page.Text(IDC_STATUS) == kRefused; }));
    ExpectReady(page);
    EXPECT_EQ(page.Text(IDOK), L"Installer");

    page.Command(IDOK);
    ASSERT_TRUE(prompt.WaitForCalls(2, 20s));
    // Any code but 0 and 1223 is a failure, shown as a signed number.
    prompt.Answer(static_cast<int>(0xC0000005u));
    ASSERT_TRUE(WaitUntil([&] { return page.Text(IDOK) == L"Terminer"; }));
    EXPECT_EQ(page.Text(IDC_STATUS), L"L'installation a échoué (code -1073741819).");
    EXPECT_EQ(page.ProgressPos(), 0);
    EXPECT_EQ(page.Shield(), 0);
    EXPECT_TRUE(page.Enabled(IDOK));
    EXPECT_FALSE(page.Visible(IDCANCEL));
    EXPECT_FALSE(page.Enabled(IDC_LAUNCH));
    EXPECT_FALSE(page.Checked(IDC_LAUNCH));
    EXPECT_FALSE(page.Enabled(IDC_FOLDER));
    // Closing the finished page gives the outcome, not "cancelled".
    page.Post(WM_CLOSE);
    EXPECT_EQ(page.WaitForResult(), 1603);
}

// The finished page starts the product only after a success, from its folder.
TEST(SetupPage, TerminerStartsTheProductOnlyAfterSuccess) {
    TempDir folder(L"ui-launch");
    std::filesystem::copy_file(testing_support::BinDir() / L"ui_launch_probe.exe",
                               folder / L"probe.exe");
    const auto marker = folder / L"launched.txt";
    const ProductInfo info = TestProduct(L"UiLaunch");

    for (const bool success : {false, true}) {
        ElevationStandIn prompt;
        PageSession page(info, Options(), /*elevated=*/false, &prompt);
        ASSERT_TRUE(page.opened());
        page.TypeFolder(folder.path().native());
        page.Command(IDOK);
        ASSERT_TRUE(prompt.WaitForCalls(1, 20s));
        prompt.Answer(success ? 0 : 1603);
        ASSERT_TRUE(WaitUntil([&] { return page.Text(IDOK) == L"Terminer"; }));
        if (success) {
            EXPECT_EQ(page.Text(IDC_STATUS), info.product + L" est installé.");
            EXPECT_EQ(page.ProgressPos(), 1000);
            EXPECT_TRUE(page.Enabled(IDC_LAUNCH));
            EXPECT_TRUE(page.Checked(IDC_LAUNCH));
        }
        // Whatever the box shows after a failure, nothing is started.
        ::SendDlgItemMessageW(page.page(), IDC_LAUNCH, BM_SETCHECK, BST_CHECKED, 0);
        page.Command(IDOK);
        EXPECT_EQ(page.WaitForResult(), success ? 0 : 1603);
        if (!success) {
            ::Sleep(1500);
            EXPECT_FALSE(std::filesystem::exists(marker)) << "started after a failure";
        } else {
            ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(marker); }))
                << "the product was not started";
            EXPECT_TRUE(std::filesystem::equivalent(
                std::filesystem::path(testing_support::ReadFileBytes(marker)), folder.path()))
                << "not started in its folder";
        }
    }
}

TEST(SetupPage, WorkerThatCannotStartLeavesThePageReady) {
    const ProductInfo info = TestProduct(L"UiNoThread");
    SetupWindowCalls calls;
    calls.startThread = [](std::move_only_function<void()>) -> std::jthread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    PageSession page(info, Options(Scope::User), /*elevated=*/true, nullptr, EmptyPackage(),
                     std::move(calls));
    ASSERT_TRUE(page.opened());
    page.TypeFolder(L"C:\\Anywhere");
    page.Command(IDOK);
    page.Sync();
    EXPECT_NE(page.Text(IDC_STATUS), L"");
    EXPECT_NE(page.Text(IDC_STATUS).find(L"n'a pas pu démarrer"), std::wstring::npos);
    ExpectReady(page);
    page.Command(IDCANCEL);
    EXPECT_EQ(page.WaitForResult(), 1223);
}

// A folder below a plain file cannot be created: a real failure of the installation.
struct BlockedFolder {
    TempDir temp{L"ui-blocked"};
    std::filesystem::path folder;
    BlockedFolder() {
        testing_support::WriteFileBytes(temp / L"file", "x");
        folder = temp / L"file\\sub";
    }
};

// The elevated copy installs at once on its own thread; a failure shows the very text
// that the installation returned and waits for the user.
TEST(SetupPage, ElevatedCopyInstallsAtOnceAndStaysOpenAfterFailure) {
    const ProductInfo info = TestProduct(L"UiElevFail");
    BlockedFolder blocked;
    const auto direct = Install(EmptyPackage(), info, Scope::User, blocked.folder,
                                [](double, const std::wstring&) {});
    ASSERT_FALSE(direct);
    SetupOptions options = Options(Scope::User);
    options.elevated = true;
    options.noLaunch = true;
    options.installDir = blocked.folder.native();
    PageSession page(info, options, /*elevated=*/true);
    ASSERT_TRUE(page.opened());
    EXPECT_FALSE(page.Visible(IDC_LAUNCH));
    ASSERT_TRUE(WaitUntil([&] { return page.Text(IDOK) == L"Terminer"; }));
    EXPECT_EQ(page.Text(IDC_STATUS), direct.error());
    EXPECT_EQ(page.ProgressPos(), 0);
    EXPECT_FALSE(page.Visible(IDCANCEL));
    EXPECT_FALSE(page.WaitForResult(500ms)) << "a failed copy must wait for the user";
    page.Command(IDOK);
    EXPECT_EQ(page.WaitForResult(), 1603);
}

TEST(InstallWorker, OutcomeForAVanishedPageIsDropped) {
    // A window that existed once and is gone: the post fails at once rather than retrying.
    HWND gone =
        ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(gone, nullptr);
    ::DestroyWindow(gone);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(PostOutcome(gone, true, L"perdu"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

} // namespace

namespace {

BOOL CALLBACK FindEdit(HWND child, LPARAM found) {
    wchar_t name[32] = {};
    ::GetClassNameW(child, name, 32);
    if (std::wstring_view(name) == L"Edit" && ::IsWindowVisible(child) &&
        ::IsWindowEnabled(child)) {
        *reinterpret_cast<HWND*>(found) = child;
        return FALSE;
    }
    return TRUE;
}

// The folder picker: a folder typed into it comes back with the product's name appended;
// cancelling it changes nothing.
TEST(SetupPage, BrowsingForAFolder) {
    TempDir apps(L"ui-browse");
    const ProductInfo info = TestProduct(L"UiBrowse");
    PageSession page(info, Options(Scope::User), /*elevated=*/true);
    ASSERT_TRUE(page.opened());
    const std::wstring before = page.Text(IDC_FOLDER);

    page.Click(IDC_BROWSE);
    HWND picker = page.WaitForWindow(L"Dossier d'installation");
    ASSERT_NE(picker, nullptr) << "no folder picker";
    ::PostMessageW(picker, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(picker); }));
    page.Sync();
    EXPECT_EQ(page.Text(IDC_FOLDER), before);

    page.Click(IDC_BROWSE);
    picker = page.WaitForWindow(L"Dossier d'installation");
    ASSERT_NE(picker, nullptr);
    HWND edit = nullptr;
    ASSERT_TRUE(WaitUntil([&] {
        ::EnumChildWindows(picker, FindEdit, reinterpret_cast<LPARAM>(&edit));
        return edit != nullptr;
    }));
    ::SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(apps.path().c_str()));
    ::PostMessageW(picker, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(WaitUntil([&] { return !::IsWindow(picker); }));
    page.Sync();
    EXPECT_EQ(page.Text(IDC_FOLDER), JoinPath(apps.path(), info.product).native());
    // A chosen folder stays when the scope changes.
    page.Click(IDC_ALL_USERS);
    page.Sync();
    EXPECT_EQ(page.Text(IDC_FOLDER), JoinPath(apps.path(), info.product).native());
}

} // namespace
