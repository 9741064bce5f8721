#include "uninstall/uninstall_flow.h"

#include "install/install.h"
#include "setup/elevation.h"
#include "setup/format.h"
#include "setup/handles.h"
#include "setup/paths.h"
#include "uninstall/removal.h"
#include "uninstall/stage_commands.h"

#include <commctrl.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr int kFailed = 1603;
constexpr int kCancelled = 1223;
constexpr int kUninstallButton = 1;
constexpr int kCancelButton = 2;

static_assert(sizeof(TASKDIALOGCONFIG) == 160, "the task dialog reads a 160-byte configuration");

fs::path OwnPath() {
    wchar_t path[1040] = {};
    ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return fs::path(path);
}

fs::path TemporaryFolder() {
    wchar_t path[260] = {};
    ::GetTempPathW(static_cast<DWORD>(std::size(path)), path);
    return fs::path(path);
}

// Starts a process with its own current folder: one inherited from the caller could lie in
// the install folder and keep it from being removed.
UniqueHandle StartProcess(const wchar_t* application, std::wstring commandLine, DWORD flags,
                          const fs::path& currentFolder) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(application, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr,
                          currentFolder.empty() ? nullptr : currentFolder.c_str(), &startup,
                          &started))
        return UniqueHandle();
    UniqueHandle thread(started.hThread);
    return UniqueHandle(started.hProcess);
}

int FirstStage(const SetupOptions& options, const ProductInfo& info) {
    const fs::path temporary = TemporaryFolder();
    const fs::path copy =
        JoinPath(temporary, TemporaryCopyName(info.product, ::GetCurrentProcessId()));
    if (!::CopyFileW(OwnPath().c_str(), copy.c_str(), FALSE))
        return kFailed;

    const SetupOptions second = SecondStageOptions(options, OwnPath().parent_path());
    const UniqueHandle process =
        StartProcess(copy.c_str(), SecondStageCommandLine(copy, second), 0, temporary);
    if (!process)
        return kFailed;

    // Interactive runs report through the second stage's own windows; a silent caller can
    // only learn the outcome from the exit code.
    if (!options.silent)
        return 0;
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD code = kFailed;
    if (!::GetExitCodeProcess(process.get(), &code))
        code = kFailed;
    return static_cast<int>(code);
}

// Whether to go on, and whether to remove the data directory too; nothing when declined.
std::optional<bool> Confirm(const ProductInfo& info, Scope scope, const std::wstring& caption,
                            const fs::path& installDir) {
    const std::wstring instruction = L"Désinstaller " + info.product + L" ?";
    const std::wstring content =
        txt::format(L"{} sera supprimé de cet ordinateur ({}).", info.product, installDir.native());
    // The folder named is the one the removal will take: the installation's recorded one.
    const std::wstring verification = info.hasDataDir
                                          ? L"Supprimer aussi les données téléchargées (" +
                                                RecordedDataDirectory(info, scope).native() + L")"
                                          : std::wstring();
    const TASKDIALOG_BUTTON buttons[] = {{kUninstallButton, L"Désinstaller"},
                                         {kCancelButton, L"Annuler"}};

    TASKDIALOGCONFIG config{};
    config.cbSize = sizeof(config);
    config.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_POSITION_RELATIVE_TO_WINDOW;
    config.pszWindowTitle = caption.c_str();
    config.pszMainIcon = TD_WARNING_ICON;
    config.pszMainInstruction = instruction.c_str();
    config.pszContent = content.c_str();
    config.cButtons = static_cast<UINT>(std::size(buttons));
    config.pButtons = buttons;
    config.nDefaultButton = kCancelButton;
    config.pszVerificationText = info.hasDataDir ? verification.c_str() : nullptr;

    int pressed = kCancelButton;
    BOOL removeData = FALSE;
    if (FAILED(::TaskDialogIndirect(&config, &pressed, nullptr, &removeData)) ||
        pressed != kUninstallButton)
        return std::nullopt;
    return removeData != FALSE;
}

// Deletes the temporary copy once this process has ended, and after a removal whatever is
// left of the install folder.
void StartCleanup(const fs::path& installDir, bool removed) {
    StartProcess(nullptr, CleanupCommand(OwnPath(), installDir, removed), CREATE_NO_WINDOW,
                 TemporaryFolder());
}

int SecondStage(const SetupOptions& options, const ProductInfo& info, Scope scope,
                const std::wstring& caption) {
    if (!options.installDir)
        return kFailed;
    const fs::path installDir = *options.installDir;

    bool removeData = options.removeData;
    if (!options.silent) {
        const auto confirmed = Confirm(info, scope, caption, installDir);
        if (!confirmed)
            return kCancelled;
        removeData = *confirmed;
    }

    std::expected<void, std::wstring> removed;
    {
        ComApartment apartment;
        for (;;) {
            removed = Uninstall(info, scope, installDir, removeData);
            if (removed || options.silent)
                break;
            if (::MessageBoxW(nullptr, removed.error().c_str(), caption.c_str(),
                              MB_RETRYCANCEL | MB_ICONWARNING) != IDRETRY)
                break;
        }
    }

    if (!options.silent) {
        if (removed)
            ::MessageBoxW(nullptr, (info.product + L" a été désinstallé.").c_str(), caption.c_str(),
                          MB_ICONINFORMATION);
        else
            ::MessageBoxW(nullptr, removed.error().c_str(), caption.c_str(), MB_ICONERROR);
    }

    StartCleanup(installDir, removed.has_value());
    return removed ? 0 : kFailed;
}

} // namespace

int RunUninstall(const SetupOptions& options, const ProductInfo& info) {
    return RunUninstall(options, info, {IsProcessElevated, RelaunchElevated});
}

int RunUninstall(const SetupOptions& options, const ProductInfo& info,
                 const ElevationService& elevation) {
    const Scope scope = options.scope.value_or(Scope::Machine);
    const std::wstring caption = L"Désinstallation de " + info.product;

    // Per machine needs administrator rights, whatever /ELEVATED claims.
    if (scope == Scope::Machine && !elevation.isElevated())
        return elevation.relaunchElevated(options, nullptr);

    try {
        return options.fromTemp ? SecondStage(options, info, scope, caption)
                                : FirstStage(options, info);
    } catch (...) {
        // Nothing below throws by design; an exception here must still end as a failure
        // code rather than an abnormal end of the process.
        return kFailed;
    }
}
