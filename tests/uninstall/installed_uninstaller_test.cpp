// The real setup program installs the test product silently; its registered uninstall
// commands then take it off again, run exactly as stored.
#include "tests/support/test_support.h"
#include "tests/uninstall/installed_product.h"
#include "tests/uninstall/uninstall_test_support.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/handles.h"

#include <gtest/gtest.h>

using namespace testing_support;
using namespace uninstall_testing;
namespace fs = std::filesystem;

namespace {

const TestProductPackage& Package() {
    static const TestProductPackage package(L"uninstall_flow_setup");
    return package;
}

class InstalledUninstaller : public ::testing::Test {
  protected:
    const ProductInfo& info = Package().info();
    TempDir scratch{L"installed-uninstaller"};
    fs::path folder = scratch / L"Orvalis dossier";
    std::vector<fs::path> copies;

    void SetUp() override {
        ASSERT_EQ(info.exe, L"Orvalis.exe") << "test product metadata missing";
    }
    void TearDown() override {
        RemoveEverything(info, folder);
        std::error_code ignored;
        for (const auto& copy : copies)
            fs::remove(copy, ignored);
    }

    void InstallSilently(Scope scope) {
        const auto code = RunProcess(
            Quoted(Package().SetupExe()) +
                (scope == Scope::Machine ? L" /S /ALLUSERS /D=" : L" /S /CURRENTUSER /D=") +
                folder.native(),
            240000);
        ASSERT_EQ(code, 0u);
        ASSERT_TRUE(fs::exists(folder / L"Uninstall.exe"));
    }

    std::wstring Registered(Scope scope, const wchar_t* value) {
        return ReadRegistryString(HiveFor(scope), UninstallKeyPath(info.product), value)
            .value_or(L"");
    }

    std::unique_ptr<ChildProcess> Start(const std::wstring& commandLine) {
        auto first = std::make_unique<ChildProcess>(commandLine);
        if (first->started())
            copies.push_back(fs::temp_directory_path() / (info.product + L"-uninstall-" +
                                                          std::to_wstring(first->id()) + L".exe"));
        return first;
    }

    bool NothingLeft(Scope scope) {
        return Eventually([&] {
            return !fs::exists(copies.back()) && !fs::exists(folder) &&
                   !fs::exists(ShortcutPath(info, scope)) && RemainingKeys(scope, info).empty();
        });
    }

    void ExpectInstallationComplete(Scope scope) {
        EXPECT_TRUE(fs::exists(folder / L"Uninstall.exe"));
        EXPECT_TRUE(fs::exists(folder / L"Uninstall.files"));
        EXPECT_TRUE(fs::exists(folder / L"docs" / L"guide" / L"deep" / L"leaf.txt"));
        EXPECT_TRUE(fs::exists(ShortcutPath(info, scope)));
        EXPECT_EQ(RemainingKeys(scope, info).size(), 2 + 2 * info.fileTypes.size());
    }
};

TEST_F(InstalledUninstaller, QuietUninstallLeavesNothingButTheData) {
    for (Scope scope : {Scope::Machine, Scope::User}) {
        ASSERT_NO_FATAL_FAILURE(InstallSilently(scope));
        auto first = Start(Registered(scope, L"QuietUninstallString"));
        ASSERT_TRUE(first->started());
        EXPECT_EQ(first->Wait(120000), 0u);
        EXPECT_TRUE(NothingLeft(scope))
            << "copy " << fs::exists(copies.back()) << " folder " << fs::exists(folder);
        EXPECT_TRUE(fs::exists(DataDirectory(info.product, scope)));
    }
}

TEST_F(InstalledUninstaller, RemoveDataSwitchTakesTheDataToo) {
    ASSERT_NO_FATAL_FAILURE(InstallSilently(Scope::User));
    const fs::path data = DataDirectory(info.product, Scope::User);
    WriteFileBytes(data / L"downloads" / L"one.bin", "downloaded");
    auto first = Start(Registered(Scope::User, L"QuietUninstallString") + L" /REMOVEDATA");
    EXPECT_EQ(first->Wait(120000), 0u);
    EXPECT_TRUE(NothingLeft(Scope::User));
    EXPECT_FALSE(fs::exists(data));
    EXPECT_FALSE(fs::exists(data.parent_path()));
}

TEST_F(InstalledUninstaller, SilentRunWhileTheProductRunsFailsAndKeepsEverything) {
    ASSERT_NO_FATAL_FAILURE(InstallSilently(Scope::User));
    ChildProcess product(Quoted(folder / info.exe));
    ASSERT_TRUE(product.started());
    ::Sleep(500);
    auto first = Start(Registered(Scope::User, L"QuietUninstallString"));
    EXPECT_EQ(first->Wait(120000), 1603u);
    ExpectInstallationComplete(Scope::User);
    // The clean-up still takes the temporary copy.
    EXPECT_TRUE(Eventually([&] { return !fs::exists(copies.back()); }));
}

UniqueHandle OpenSecondStage(const fs::path& copy) {
    const auto id = WaitForProcessNamed(copy.filename().native());
    if (!id)
        return UniqueHandle();
    return UniqueHandle(::OpenProcess(
        SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, *id));
}

std::optional<DWORD> WaitForExit(HANDLE process, DWORD timeoutMs = 60000) {
    DWORD code = 0;
    if (::WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process, &code))
        return std::nullopt;
    return code;
}

struct Stopper {
    HANDLE process;
    ~Stopper() {
        if (::WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            ::TerminateProcess(process, 9999);
    }
};

std::wstring MessageText(HWND box) {
    wchar_t text[1024] = {};
    ::GetDlgItemTextW(box, 0xFFFF, text, 1024);
    return text;
}

// Confirms the removal in the second stage's dialog and returns the next window it shows.
HWND ConfirmAndWaitForMessage(HANDLE second, const std::wstring& caption) {
    HWND dialog = WaitForProcessWindow(::GetProcessId(second), caption);
    if (dialog == nullptr)
        return nullptr;
    HWND confirm = ChildWithText(dialog, L"Désinstaller");
    if (confirm == nullptr)
        return nullptr;
    ::PostMessageW(confirm, BM_CLICK, 0, 0);
    if (!WaitForWindowGone(dialog))
        return nullptr;
    return WaitForProcessWindow(::GetProcessId(second), caption);
}

TEST_F(InstalledUninstaller, RunningProductOffersRetryAndCancelKeepsEverything) {
    ASSERT_NO_FATAL_FAILURE(InstallSilently(Scope::User));
    ChildProcess product(Quoted(folder / info.exe));
    ASSERT_TRUE(product.started());
    ::Sleep(500);

    auto first = Start(Registered(Scope::User, L"UninstallString"));
    EXPECT_EQ(first->Wait(30000), 0u);
    const UniqueHandle second = OpenSecondStage(copies.back());
    ASSERT_TRUE(second);
    Stopper stopper{second.get()};
    const std::wstring caption = L"Désinstallation de " + info.product;
    const std::wstring running =
        info.product + L" est en cours d'exécution : fermez-le puis recommencez.";

    HWND retry = ConfirmAndWaitForMessage(second.get(), caption);
    ASSERT_NE(retry, nullptr) << "no retry box";
    EXPECT_EQ(MessageText(retry), running);
    ::PostMessageW(retry, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(WaitForWindowGone(retry));

    // The same text once more, now as the outcome.
    HWND outcome = WaitForProcessWindow(::GetProcessId(second.get()), caption);
    ASSERT_NE(outcome, nullptr) << "no outcome box";
    EXPECT_EQ(MessageText(outcome), running);
    ::PostMessageW(outcome, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(WaitForExit(second.get()), 1603u);
    ExpectInstallationComplete(Scope::User);
    EXPECT_TRUE(Eventually([&] { return !fs::exists(copies.back()); }));
}

TEST_F(InstalledUninstaller, RetryAfterClosingTheProductCompletesTheRemoval) {
    ASSERT_NO_FATAL_FAILURE(InstallSilently(Scope::User));
    ChildProcess product(Quoted(folder / info.exe));
    ASSERT_TRUE(product.started());
    ::Sleep(500);

    auto first = Start(Registered(Scope::User, L"UninstallString"));
    EXPECT_EQ(first->Wait(30000), 0u);
    const UniqueHandle second = OpenSecondStage(copies.back());
    ASSERT_TRUE(second);
    Stopper stopper{second.get()};
    const std::wstring caption = L"Désinstallation de " + info.product;

    HWND retry = ConfirmAndWaitForMessage(second.get(), caption);
    ASSERT_NE(retry, nullptr) << "no retry box";
    product.Terminate();
    ::PostMessageW(retry, WM_COMMAND, IDRETRY, 0);
    ASSERT_TRUE(WaitForWindowGone(retry));

    HWND outcome = WaitForProcessWindow(::GetProcessId(second.get()), caption);
    ASSERT_NE(outcome, nullptr) << "no outcome box";
    EXPECT_EQ(MessageText(outcome), info.product + L" a été désinstallé.");
    ::PostMessageW(outcome, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(WaitForExit(second.get()), 0u);
    EXPECT_TRUE(NothingLeft(Scope::User));
}

} // namespace
