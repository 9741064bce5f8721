// The setup page. Its rules that need no window, one table each. The page in this process,
// with stand-ins for what Wine never gives since every process is elevated there: the
// elevation test, the elevation prompt with the elevated copy behind it, and the start of the
// background thread. And the real setup program of a test product, operated as a user would:
// mouse clicks, the folder picker, a refused folder, the installation watched from outside
// and its result on disk and in the registry, and the elevated copies that a page without
// administrator rights starts. Pictures of the page go to <build>/screenshots.
#include "install/registry.h"
#include "install/running_instance.h"
#include "res/resource_ids.h"
#include "tests/support/test_support.h"
#include "ui/setup_window.h"
#include "ui/version_compare.h"
#include "ui/wizard_rules.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <gdiplus.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <tuple>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TEST(WizardRules, Tables) {
    // Versions: missing and empty components are 0; only digits count, as unsigned 32-bit
    // numbers (one more than the largest wraps to 0); the first difference decides. Letters
    // and signs count for nothing, so a release candidate's number joins the digits before it.
    const std::tuple<const wchar_t*, const wchar_t*, int> versions[] = {
        {L"3.0", L"3.0.0", 0},           {L"3.0.1", L"3", 1},      {L"", L"0.0.1", -1},
        {L"1..2", L"1.0.2", 0},          {L"3.10", L"3.9", 1},     {L"2.0.99", L"2.1", -1},
        {L"2.0-beta", L"2.0", 0},        {L"3.0rc1", L"3.0", 1},   {L"1.9z", L"1.10", -1},
        {L"4.3.2+build7", L"4.3.27", 0}, {L"4294967295", L"1", 1}, {L"4294967296", L"0", 0}};
    for (const auto& [a, b, order] : versions)
        EXPECT_EQ(CompareVersions(a, b), order) << a << " against " << b;

    for (const wchar_t* folder : {L"C:\\", L"d:/Apps", L"\\\\server\\share", L"//server/share"})
        EXPECT_TRUE(IsCompleteInstallFolder(folder)) << folder;
    for (const wchar_t* folder : {L"", L"C:", L"C:Apps", L"Apps\\V", L"\\Apps", L"/Apps",
                                  L".\\Apps", L"1:\\Apps", L"\u00C9:\\Apps", L" C:\\Apps"})
        EXPECT_FALSE(IsCompleteInstallFolder(folder)) << folder;

    // A browsed folder gets the product's name unless its whole last element is the name, in
    // any case; a trailing separator leaves an empty last element.
    const std::pair<const wchar_t*, const wchar_t*> browsed[] = {
        {L"C:\\A", L"C:\\A\\Velmora"},  {L"C:\\velmora", L"C:\\velmora"},
        {L"D:/VELMORA", L"D:/VELMORA"}, {L"C:\\Velmora\\", L"C:\\Velmora\\Velmora"},
        {L"C:\\", L"C:\\Velmora"},      {L"C:\\Velmora2", L"C:\\Velmora2\\Velmora"}};
    for (const auto& [folder, withName] : browsed)
        EXPECT_EQ(WithProductFolder(folder, L"Velmora"), withName) << folder;

    // The installed version, then the button's text and the status line.
    const std::pair<std::optional<std::wstring>, std::wstring> installed[] = {
        {std::nullopt, L"Installer|"},
        {L"2.0.0", L"Réinstaller|Velmora 2.0.0 est déjà installé. « Réinstaller » remplace tous "
                   L"ses fichiers."},
        {L"1.9.9",
         L"Mettre à jour|La version 1.9.9 est installée : elle sera remplacée par la version 2.0."},
        {L"2.10", L"Installer|Une version plus récente (2.10) est installée : elle sera remplacée "
                  L"par la version 2.0."}};
    for (const auto& [version, texts] : installed) {
        const auto [status, button] = DescribeExistingInstallation(L"Velmora", L"2.0", version);
        EXPECT_EQ(button + L"|" + status, texts);
    }

    // Fractions outside 0 to 1 never come from an installation, but must not make a wild bar.
    const std::pair<double, unsigned> positions[] = {
        {0.4567, 456}, {0.92, 920}, {0.9999, 999}, {1.0, 1000}, {-0.5, 0}, {7.0, 1000}, {NAN, 0}};
    for (const auto& [fraction, position] : positions)
        EXPECT_EQ(ProgressPosition(fraction), position) << fraction;
}

// The page operated from outside its thread, in this process or in the setup program's.
struct PageView {
    HWND hwnd = nullptr;

    // Sent, not read from the window's record: a control of another process answers only so.
    std::wstring Text(int id) const { return WindowText(::GetDlgItem(hwnd, id)); }
    bool Enabled(int id) const { return ::IsWindowEnabled(::GetDlgItem(hwnd, id)) != FALSE; }
    bool Visible(int id) const { return ::IsWindowVisible(::GetDlgItem(hwnd, id)) != FALSE; }
    bool Checked(int id) const { return ::IsDlgButtonChecked(hwnd, id) == BST_CHECKED; }
    LRESULT Position() const { return ::SendDlgItemMessageW(hwnd, IDC_PROGRESS, PBM_GETPOS, 0, 0); }
    // Every control but the launch box: usable when ready, not while busy.
    void ExpectUsable(bool usable) const {
        for (int id : {IDC_ALL_USERS, IDC_CURRENT_USER, IDC_FOLDER, IDC_BROWSE, IDOK, IDCANCEL})
            EXPECT_EQ(Enabled(id), usable) << "control " << id;
    }
    // Sent, so handled by the time they return.
    void Send(int id) const { ::SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }
    void Choose(int radio) const { ::SendDlgItemMessageW(hwnd, radio, BM_CLICK, 0, 0); }
};

std::atomic<int> shieldSent = -1; // the last state sent to "Installer" in this process

LRESULT CALLBACK WatchShield(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && sent->message == BCM_SETSHIELD)
        shieldSent = sent->lParam != 0 ? 1 : 0;
    return ::CallNextHookEx(nullptr, code, wParam, lParam);
}

// The page without elevation: the proposed folders, the shield, a typed folder, a background
// thread that cannot start, the hand-over to the elevated copy, and the page after its exit
// code: declined, failed or succeeded. "Terminer" starts the product, from its folder, only
// after a success, whatever the launch box shows.
TEST(SetupPage, HandsOverToTheElevatedCopy) {
    ProductInfo info;
    info.product = UniqueName(L"UiRelaunch");
    const TempDir failed(L"ui-failed"), succeeded(L"ui-succeeded");
    for (const TempDir* folder : {&failed, &succeeded})
        fs::copy_file(BinDir() / L"ui_launch_probe.exe", *folder / info.exe);
    // The page runs on this thread, as on the program's main thread; this watches it.
    const WindowsHook hook(
        ::SetWindowsHookExW(WH_CALLWNDPROC, WatchShield, nullptr, ::GetCurrentThreadId()));
    // The elevated copy's exit code, then the status line and the dialog's result; only a
    // success fills the bar, and starts the product from the folder it was installed to.
    const std::tuple<int, std::wstring, int> rows[] = {
        {1223, L"Installation pour tous les utilisateurs annulée (autorisation refusée).", 1223},
        {static_cast<int>(0xC0000005u), L"L'installation a échoué (code -1073741819).", 1603},
        {0, info.product + L" est installé.", 0}};
    for (const auto& [code, status, outcome] : rows) {
        const std::wstring dir = (outcome == 0 ? succeeded : failed).path().native();
        const bool finished = outcome != 1223;
        std::atomic<bool> elevated = false, refuseThread = false;
        std::atomic<int> relaunches = 0; // "Installer" while busy must start nothing
        const SetupWindowCalls calls{
            [&] { return elevated.load(); },
            // On the page's background thread, while the page waits. The relaunch itself adds
            // /ELEVATED.
            [&](const SetupOptions& given, HWND owner) {
                EXPECT_EQ(++relaunches, 1);
                EXPECT_EQ(BuildCommandLine(given), L" /ALLUSERS /NOLAUNCH /REMOVEDATA /D=" + dir);
                // The owner is the page, busy: only its launch box stays usable, and nothing
                // closes it or starts again.
                const PageView page{owner};
                EXPECT_EQ(page.Text(IDC_STATUS), L"Autorisation demandée à Windows...");
                page.ExpectUsable(false);
                EXPECT_TRUE(page.Enabled(IDC_LAUNCH));
                page.Send(IDCANCEL);
                ::PostMessageW(owner, WM_COMMAND, IDOK, 0); // a second start would wait
                return code;
            },
            [&](std::move_only_function<void()> body) {
                if (refuseThread)
                    throw std::system_error(EAGAIN, std::generic_category());
                return std::jthread(std::move(body));
            }};
        // The launch box starts unticked on the first row; /REMOVEDATA is passed on as received.
        const SetupOptions options{false, {}, outcome == 1223, false, true, false, false, {}};
        // Operates the page from another thread; closes it if left open.
        std::jthread driver([&] {
            const PageView page{
                WaitForProcessWindow(::GetCurrentProcessId(), L"Installation de " + info.product)};
            EXPECT_EQ(shieldSent.load(), 1) << "all users without elevation: the button needs it";
            for (const WPARAM size : {ICON_BIG, ICON_SMALL})
                EXPECT_NE(::SendMessageW(page.hwnd, WM_GETICON, size, 0), 0);
            page.Choose(IDC_CURRENT_USER);
            EXPECT_EQ(page.Text(IDC_FOLDER),
                      DefaultInstallFolder(info.product, Scope::User).native());
            EXPECT_EQ(shieldSent.load(), 0);
            elevated = true;
            page.Choose(IDC_ALL_USERS);
            EXPECT_EQ(shieldSent.load(), 0) << "an elevated process needs no shield";
            elevated = false;
            ::SetDlgItemTextW(page.hwnd, IDC_FOLDER, dir.c_str());
            page.Choose(IDC_CURRENT_USER);
            page.Choose(IDC_ALL_USERS);
            EXPECT_EQ(page.Text(IDC_FOLDER), dir) << "a typed folder stays";
            EXPECT_EQ(shieldSent.load(), 1);
            refuseThread = true;
            page.Send(IDOK);
            EXPECT_EQ(page.Text(IDC_STATUS), L"L'installation n'a pas pu démarrer : le système "
                                             L"refuse de créer une tâche de fond. Réessayez.");
            page.ExpectUsable(true);
            refuseThread = false;
            page.Send(IDOK);
            EXPECT_TRUE(Eventually([&] { return page.Text(IDC_STATUS) == status; }))
                << "the page closed, or never came back";
            EXPECT_EQ(page.Position(), outcome == 0 ? 1000 : 0);
            EXPECT_EQ(shieldSent.load(), finished ? 0 : 1);
            EXPECT_EQ(page.Visible(IDCANCEL), !finished);
            EXPECT_EQ(page.Enabled(IDC_FOLDER), !finished);
            EXPECT_EQ(page.Enabled(IDC_LAUNCH), outcome != 1603);
            EXPECT_EQ(page.Checked(IDC_LAUNCH), outcome == 0);
            ::CheckDlgButton(page.hwnd, IDC_LAUNCH, BST_CHECKED);
            while (::IsWindowVisible(page.hwnd))
                page.Send(finished ? IDOK : IDCANCEL);
        });
        // No package: nothing here gets as far as installing.
        EXPECT_EQ(SetupWindow(nullptr, info, options, calls).Run(::GetModuleHandleW(nullptr)),
                  outcome);
    }
    // The product notes, beside itself, the folder it was started in.
    const fs::path launched = succeeded / L"launched.txt";
    EXPECT_TRUE(Eventually([&] {
        return fs::exists(launched) && ReadFileBytes(launched) == succeeded.path().string();
    })) << "not started, or not from its folder";
    EXPECT_FALSE(fs::exists(failed / L"launched.txt")) << "started after a failure";
}

// A real left click in the middle of a control, through the system's input queue. The
// position goes with the click: a pointer motion reported meanwhile cannot move it.
void ClickOn(HWND window, int id) {
    RECT area{};
    ::GetWindowRect(::GetDlgItem(window, id), &area);
    ::SetForegroundWindow(window);
    const DWORD x = (area.left + area.right) * 32768 / ::GetSystemMetrics(SM_CXSCREEN);
    const DWORD y = (area.top + area.bottom) * 32768 / ::GetSystemMetrics(SM_CYSCREEN);
    for (const DWORD button : {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP})
        ::mouse_event(button | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE, x, y, 0, 0);
}

// The window as the display shows it, in a PNG file for a person to look at.
bool SaveWindowPng(HWND window, const wchar_t* name) {
    ::RedrawWindow(window, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT area{};
    ::GetWindowRect(window, &area);
    Gdiplus::Bitmap picture(area.right - area.left, area.bottom - area.top);
    Gdiplus::Graphics canvas(&picture);
    const HDC target = canvas.GetHDC();
    ::BitBlt(target, 0, 0, area.right - area.left, area.bottom - area.top,
             ScreenDc(::GetDC(nullptr)).get(), area.left, area.top, SRCCOPY);
    canvas.ReleaseHDC(target);
    const CLSID png{0x557cf406, 0x1a04, 0x11d3, {0x9a, 0x73, 0, 0, 0xf8, 0x1e, 0xf3, 0x2e}};
    const fs::path file = BinDir().parent_path() / L"screenshots" / name;
    return picture.Save(file.c_str(), &png, nullptr) == Gdiplus::Ok;
}

TEST(WizardEndToEnd, UserInstallsWithTheMouse) {
    const fs::path program = BinDir() / L"ui_wizard_setup.exe";
    const ProductInfo info = ProductOf(program);
    const std::wstring exe = Quoted(program);
    RemoveProduct(info);
    const std::shared_ptr<void> cleanUp(nullptr, [&](void*) { RemoveProduct(info); });
    const TempDir temp(L"ui-wizard");
    const fs::path perUser = temp / L"Dossier avec espaces" / info.product;
    const fs::path chosen = temp / info.product;
    const Gdiplus::GdiplusStartupInput pictures;
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartup(&token, &pictures, nullptr);

    // The elevated copy that a page without administrator rights starts: it installs at once
    // and closes itself after a success.
    EXPECT_EQ(RunProcess(exe + L" /ELEVATED /CURRENTUSER /NOLAUNCH /D=" + perUser.native()), 0u);

    ChildProcess setup(exe);
    const PageView page{WaitForProcessWindow(setup.id(), L"Installation de " + info.product)};
    const std::wstring programFiles = L"C:\\Program Files\\Orvalis Assistant";
    EXPECT_EQ(page.Text(IDC_HEADER), L"Orvalis Assistant 2.5.0 - Éditions Orvalis");
    EXPECT_EQ(page.Text(IDC_ALL_USERS), L"Tous les utilisateurs de cet ordinateur (recommandé)");
    EXPECT_EQ(page.Text(IDC_LAUNCH), L"Lancer Orvalis Assistant à la fin de l'installation");
    EXPECT_EQ(page.Text(IDC_FOLDER), programFiles);
    EXPECT_TRUE(SaveWindowPng(page.hwnd, L"wizard-1-ready.png"));

    // Each scope shows its own installation, and proposes its folder.
    ClickOn(page.hwnd, IDC_CURRENT_USER);
    ASSERT_TRUE(Eventually([&] { return page.Text(IDOK) == L"Réinstaller"; }));
    EXPECT_EQ(page.Text(IDC_FOLDER), perUser.native());

    // A folder chosen in the picker gets the product's name, and stays whatever the scope.
    ClickOn(page.hwnd, IDC_BROWSE);
    const HWND picker = WaitForProcessWindow(setup.id(), L"Dossier d'installation");
    ::SendMessageW(::FindWindowExW(picker, nullptr, L"Edit", nullptr), WM_SETTEXT, 0,
                   reinterpret_cast<LPARAM>(temp.path().c_str()));
    ::PostMessageW(picker, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(Eventually([&] { return page.Text(IDC_FOLDER) == chosen.native(); }));
    ClickOn(page.hwnd, IDC_ALL_USERS);
    ASSERT_TRUE(Eventually([&] { return page.Text(IDOK) == L"Installer"; }));
    EXPECT_EQ(page.Text(IDC_FOLDER), chosen.native());

    // A folder that is not complete is refused with a warning. Had anything started, it would
    // be recorded at another place than the one checked below.
    ::SetDlgItemTextW(page.hwnd, IDC_FOLDER, L"Orvalis");
    ClickOn(page.hwnd, IDOK);
    const HWND box = WaitForProcessWindow(setup.id(), L"Installation");
    EXPECT_EQ(MessageText(box),
              L"Indiquez un dossier d'installation complet (par exemple " + programFiles + L").");
    ClickOn(box, IDOK);
    ASSERT_TRUE(Eventually([&] { return !::IsWindow(box); }));
    ::SetDlgItemTextW(page.hwnd, IDC_FOLDER, chosen.c_str());

    // Elevated, as every process is under Wine ("Run as administrator" on Windows): the page
    // offers no start of the product, and starts none even with its box ticked behind its back.
    EXPECT_FALSE(page.Visible(IDC_LAUNCH));
    EXPECT_FALSE(page.Checked(IDC_LAUNCH));
    ::SendDlgItemMessageW(page.hwnd, IDC_LAUNCH, BM_SETCHECK, BST_CHECKED, 0);

    // The installation, watched: the bar only moves forward, with the installation's steps.
    ClickOn(page.hwnd, IDOK);
    ASSERT_TRUE(Eventually([&] {
        return page.Position() > 100 && page.Text(IDC_STATUS) == L"Copie des fichiers...";
    })) << "the bar did not move, or no status from the installation";
    EXPECT_TRUE(SaveWindowPng(page.hwnd, L"wizard-2-busy.png"));
    std::vector<LRESULT> positions;
    for (int i = 0; i < 30000 && page.Text(IDOK) != L"Terminer"; ++i, ::Sleep(5))
        positions.push_back(page.Position());
    EXPECT_TRUE(SaveWindowPng(page.hwnd, L"wizard-3-finished.png"));
    EXPECT_EQ(page.Text(IDC_STATUS), info.product + L" est installé.");
    EXPECT_TRUE(std::ranges::is_sorted(positions)) << "the bar went back";
    ClickOn(page.hwnd, IDOK);
    EXPECT_EQ(setup.Wait(30000), 0u);
    // Started, the product would be running by the time the program has ended.
    const bool launched = !FindRunningInstance(info, chosen).empty();
    EXPECT_FALSE(launched) << "the product started from an elevated page";
    if (launched)
        EndStartedProcesses();
    // What an installation writes is read back by the end-to-end program; here, only where.
    const std::wstring key = UninstallKeyPath(info.product);
    EXPECT_EQ(ReadStringValue(HKEY_LOCAL_MACHINE, key, L"InstallLocation"), chosen.native());

    // An elevated copy whose installation fails shows the installation's own text and waits
    // for the user. A folder below a file cannot be made.
    const fs::path blocked = program / info.product;
    ChildProcess copy(exe + L" /ELEVATED /ALLUSERS /NOLAUNCH /D=" + blocked.native());
    const PageView copyPage{WaitForProcessWindow(copy.id(), L"Installation de " + info.product)};
    ASSERT_TRUE(Eventually([&] { return copyPage.Text(IDOK) == L"Terminer"; }));
    EXPECT_TRUE(copyPage.Text(IDC_STATUS).starts_with(L"Création du dossier " + blocked.native()));
    // It waits for the user; the first page decides about starting the product. The rest of a
    // failed page is shown by the page test.
    EXPECT_TRUE(::IsWindowVisible(copyPage.hwnd) && !copyPage.Visible(IDC_LAUNCH));
    ::PostMessageW(copyPage.hwnd, WM_CLOSE, 0, 0);
    EXPECT_EQ(copy.Wait(30000), 1603u);
}

} // namespace
