// The real setup program of a test product, operated through its page as a user would:
// mouse clicks, the progress bar and status line watched from outside, the result checked
// on disk and in the registry. Pictures of the page at each stage go to <build>/screenshots.
#include "tests/support/test_support.h"
#include "tests/ui/page_session.h"
#include "tests/ui/screenshot.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "res/resource_ids.h"
#include "setup/handles.h"
#include "setup/metadata.h"
#include "setup/paths.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::wstring kProduct = L"Orvalis Assistant";
const std::wstring kCaption = L"Installation de " + kProduct;

fs::path BuildDir() {
    return BinDir().parent_path();
}
fs::path StageDir() {
    return BuildDir() / L"tests" / L"ui" / L"wizard-stage";
}
fs::path ScreenshotDir() {
    return BuildDir() / L"screenshots";
}
std::wstring SetupCommand() {
    return Quoted(BinDir() / L"ui_wizard_setup.exe");
}

ProductInfo Info() {
    ProductInfo info;
    info.product = kProduct;
    info.exe = L"Orvalis.exe";
    info.version = L"2.5.0";
    info.registryKey = L"Software\\Orvalis Tests\\" + kProduct;
    return info;
}

// Removes every trace of an installation of the test product in a scope, before and after.
class CleanScope {
  public:
    CleanScope(Scope scope, fs::path folder) : scope_(scope), folder_(std::move(folder)) {
        Clean();
    }
    ~CleanScope() { Clean(); }

  private:
    void Clean() {
        const HKEY hive = HiveFor(scope_);
        ::RegDeleteTreeW(hive, UninstallKeyPath(kProduct).c_str());
        ::RegDeleteTreeW(hive, Info().registryKey.c_str());
        ::RegDeleteKeyW(hive, L"Software\\Orvalis Tests"); // only when nothing else is left
        std::error_code ignored;
        fs::remove(ShortcutPath(Info(), scope_), ignored);
        fs::remove_all(folder_, ignored);
    }
    Scope scope_;
    fs::path folder_;
};

std::wstring Text(HWND window) {
    wchar_t text[1024] = {};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_BLOCK,
                          5000, &ignored);
    return text;
}

int ProgressPos(HWND page) {
    DWORD_PTR pos = 0;
    ::SendMessageTimeoutW(::GetDlgItem(page, IDC_PROGRESS), PBM_GETPOS, 0, 0, SMTO_BLOCK, 5000,
                          &pos);
    return static_cast<int>(pos);
}

// A real left click in the middle of a control, through the system's input queue.
void ClickOn(HWND control) {
    RECT area{};
    ::GetWindowRect(control, &area);
    ::SetForegroundWindow(::GetAncestor(control, GA_ROOT));
    ::SetCursorPos((area.left + area.right) / 2, (area.top + area.bottom) / 2);
    INPUT clicks[2] = {};
    clicks[0].type = clicks[1].type = INPUT_MOUSE;
    clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    ::SendInput(2, clicks, sizeof(INPUT));
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        ::Sleep(5);
    }
    return true;
}

void ExpectInstalledFiles(const fs::path& folder) {
    std::size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(StageDir())) {
        if (!entry.is_regular_file())
            continue;
        ++count;
        const auto installed = folder / fs::relative(entry.path(), StageDir());
        ASSERT_TRUE(fs::exists(installed)) << installed.string();
        EXPECT_EQ(ReadFileBytes(installed), ReadFileBytes(entry.path())) << installed.string();
    }
    EXPECT_GT(count, 3u);
    EXPECT_TRUE(fs::exists(folder / L"Uninstall.exe"));
    EXPECT_TRUE(fs::exists(folder / L"Uninstall.files"));
}

void ExpectRegistered(Scope scope, const fs::path& folder) {
    const HKEY hive = HiveFor(scope);
    EXPECT_EQ(ReadRegistryString(hive, UninstallKeyPath(kProduct), L"DisplayVersion"), L"2.5.0");
    const auto location = ReadRegistryString(hive, UninstallKeyPath(kProduct), L"InstallLocation");
    ASSERT_TRUE(location);
    EXPECT_TRUE(fs::equivalent(*location, folder));
    EXPECT_TRUE(fs::exists(ShortcutPath(Info(), scope)));
}

struct Sample {
    int pos;
    std::wstring status;
    bool operator==(const Sample&) const = default;
};

TEST(WizardEndToEnd, UserInstallsWithTheMouse) {
    const fs::path folder = DefaultInstallFolder(kProduct, Scope::Machine);
    CleanScope clean(Scope::Machine, folder);
    ComApartment apartment; // for the picture encoder

    ChildProcess setup(SetupCommand());
    ASSERT_TRUE(setup.started());
    const HWND page = WaitForProcessWindow(setup.id(), kCaption);
    ASSERT_NE(page, nullptr) << "the page did not appear";
    ASSERT_TRUE(
        WaitFor([&] { return ::IsWindowVisible(page) != FALSE; }, std::chrono::seconds(10)));
    // Above anything else on the shared display, for the pictures.
    ::SetWindowPos(page, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ::Sleep(500); // let it paint
    EXPECT_EQ(Text(::GetDlgItem(page, IDC_FOLDER)), folder.native());
    EXPECT_TRUE(SaveWindowPng(page, ScreenshotDir() / L"wizard-1-ready.png"));

    // Nothing to start afterwards: the test product would keep running from the folder.
    ClickOn(::GetDlgItem(page, IDC_LAUNCH));
    ASSERT_TRUE(WaitFor([&] { return ::IsDlgButtonChecked(page, IDC_LAUNCH) == BST_UNCHECKED; },
                        std::chrono::seconds(5)))
        << "the click on the check box did not arrive";

    ClickOn(::GetDlgItem(page, IDOK));
    std::vector<Sample> seen;
    bool busyShot = false;
    const bool ended = WaitFor(
        [&] {
            const Sample now{ProgressPos(page), Text(::GetDlgItem(page, IDC_STATUS))};
            if (seen.empty() || !(seen.back() == now))
                seen.push_back(now);
            // Well inside the copying, so that the picture shows the bar partly filled.
            if (!busyShot && now.pos >= 250 && now.pos <= 850) {
                busyShot = true;
                ::Sleep(150); // let it paint
                EXPECT_TRUE(SaveWindowPng(page, ScreenshotDir() / L"wizard-2-busy.png"));
            }
            return Text(::GetDlgItem(page, IDOK)) == L"Terminer";
        },
        std::chrono::seconds(180));
    ASSERT_TRUE(ended) << "no outcome";
    ::Sleep(300);
    EXPECT_TRUE(SaveWindowPng(page, ScreenshotDir() / L"wizard-3-finished.png"));

    EXPECT_EQ(Text(::GetDlgItem(page, IDC_STATUS)), kProduct + L" est installé.");
    EXPECT_EQ(ProgressPos(page), 1000);
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(page, IDCANCEL)));
    EXPECT_TRUE(busyShot) << "the page was never seen busy";

    // The bar only moves forward, and the status line shows the installation's own steps.
    int intermediate = 0;
    for (std::size_t i = 0; i < seen.size(); ++i) {
        if (i > 0) {
            EXPECT_GE(seen[i].pos, seen[i - 1].pos) << "the bar went back";
        }
        if (seen[i].pos > 0 && seen[i].pos < 1000)
            ++intermediate;
        EXPECT_TRUE(seen[i].status == L"" || seen[i].status == L"Copie des fichiers..." ||
                    seen[i].status == L"Enregistrement..." ||
                    seen[i].status == L"Création du raccourci..." ||
                    seen[i].status == kProduct + L" est installé.")
            << testing::PrintToString(seen[i].status);
    }
    EXPECT_GE(intermediate, 3) << "the progress bar was not seen moving";

    ClickOn(::GetDlgItem(page, IDOK));
    EXPECT_EQ(setup.Wait(30000), 0u);
    ExpectInstalledFiles(folder);
    ExpectRegistered(Scope::Machine, folder);
    EXPECT_FALSE(fs::exists(folder / L"launched.txt"));
}

// What the program's own relaunch does, aimed at the test product's setup program rather
// than at this test: the elevation verb, the switches plus /ELEVATED, and the wait.
int RelaunchSetup(const SetupOptions& options, HWND owner) {
    SetupOptions copy = options;
    copy.elevated = true;
    const std::wstring parameters = BuildCommandLine(copy);
    const std::wstring file = (BinDir() / L"ui_wizard_setup.exe").native();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.hwnd = owner;
    info.lpVerb = L"runas";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&info) || info.hProcess == nullptr)
        return 1603;
    UniqueHandle process(info.hProcess);
    ::WaitForSingleObject(process.get(), 180000);
    DWORD code = 1603;
    ::GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

// A page that believes it is not elevated hands the installation to an elevated copy of
// the real setup program, which installs on its own page and closes itself.
TEST(WizardEndToEnd, AllUsersThroughTheElevatedCopy) {
    TempDir temp(L"ui-relaunch");
    const fs::path folder = temp / L"Dossier avec espaces" / kProduct;
    CleanScope clean(Scope::Machine, folder);

    SetupWindowCalls calls;
    calls.relaunchElevated = RelaunchSetup;
    page_testing::PageSession page(Info(), SetupOptions{}, /*elevated=*/false, nullptr,
                                   page_testing::EmptyPackage(), std::move(calls));
    ASSERT_TRUE(page.opened());
    EXPECT_EQ(page.Shield(), 1);
    page.TypeFolder(folder.native());
    page.Command(IDOK);
    ASSERT_TRUE(page_testing::WaitUntil([&] { return page.Text(IDOK) == L"Terminer"; },
                                        std::chrono::seconds(180)));
    EXPECT_EQ(page.Text(IDC_STATUS), kProduct + L" est installé.");
    EXPECT_EQ(page.ProgressPos(), 1000);
    ::SendDlgItemMessageW(page.page(), IDC_LAUNCH, BM_SETCHECK, BST_UNCHECKED, 0);
    page.Command(IDOK);
    EXPECT_EQ(page.WaitForResult(), 0);
    ExpectInstalledFiles(folder);
    ExpectRegistered(Scope::Machine, folder);
}

} // namespace
