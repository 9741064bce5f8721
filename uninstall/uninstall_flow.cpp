#include "uninstall/uninstall_flow.h"

#include "install/install.h"
#include "install/registry.h"
#include "install/running_instance.h"
#include "setup/elevation.h"
#include "setup/format.h"
#include "setup/handles.h"
#include "setup/own_program.h"
#include "setup/paths.h"
#include "setup/standard_error.h"
#include "setup/temporary_copy.h"
#include "uninstall/recorded_folder.h"
#include "uninstall/removal.h"
#include "uninstall/stage_commands.h"
#include "uninstall/stage_handover.h"

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
// How long the second stage waits for the first one to end before it tries anyway: the first
// stage ends as soon as it has started the second one, or once it has read its outcome.
constexpr DWORD kFirstStageWait = 30000;

static_assert(sizeof(TASKDIALOGCONFIG) == 160, "the task dialog reads a 160-byte configuration");

fs::path OwnPath() {
    wchar_t path[1040] = {};
    ::GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
    return fs::path(path);
}

fs::path SystemFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetSystemDirectoryW(path, static_cast<UINT>(std::size(path)));
    return fs::path(path);
}

// Every process is started by its full path and in the system folder: a program that is
// looked up by name, in the folder of the program that starts it or in the current folder,
// could be one that a user planted in the temporary folder, and it would run elevated. The
// current folder is never the install folder either, which it would keep from being removed.
// A child's standard handles are given here, never taken over implicitly (Wine would hand it
// this process's): the standard output and error handles passed on, if any, which are also the
// only handles it inherits (the list names them), or none.
UniqueHandle StartProcess(const fs::path& application, std::wstring commandLine, DWORD flags,
                          HANDLE standardOutput = nullptr, HANDLE standardError = nullptr) {
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup.StartupInfo);
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    HANDLE inherited[2] = {};
    DWORD count = 0;
    for (const HANDLE handle : {standardOutput, standardError})
        if (handle != nullptr)
            inherited[count++] = handle;
    const ProcessAttributeList attributes(1);
    const bool inherit =
        count != 0 && attributes.get() != nullptr &&
        ::UpdateProcThreadAttribute(attributes.get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                    inherited, count * sizeof(HANDLE), nullptr, nullptr);
    if (inherit) {
        startup.StartupInfo.cb = sizeof(startup);
        startup.StartupInfo.hStdOutput = standardOutput;
        startup.StartupInfo.hStdError = standardError;
        startup.lpAttributeList = attributes.get();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, inherit, flags,
                          nullptr, SystemFolder().c_str(), &startup.StartupInfo, &started))
        return UniqueHandle();
    return TakeStartedProcess(started);
}

// The recorded installation of the scope: an administrator may start a setup program with
// /UNINSTALL from any folder, and then that installation is the one to take off, not that
// folder. Without one, only a per-user run without administrator rights may take the
// program's own folder, and only when it holds this very program as its "Uninstall.exe": any
// other folder (a Downloads folder, a share) is nobody's installation, and a "Uninstall.files"
// there could have been planted by whoever may write there.
std::optional<fs::path> FolderToRemove(const ProductInfo& info, Scope scope, bool elevated) {
    const fs::path own = OwnPath().parent_path();
    if (const auto recorded = FindInstallLocation(info, scope))
        return IsSameFile(*recorded, own) ? own : *recorded;
    if (scope == Scope::User && !elevated && IsOwnProgram(JoinPath(own, L"Uninstall.exe")))
        return own;
    return std::nullopt;
}

// A silent run has no window to say why it failed.
int Failed(const SetupOptions& options, const std::wstring& reason) {
    if (options.silent)
        ReportOnStandardError(reason);
    return kFailed;
}

// A run that changes nothing says why where the caller can see it, not silently.
int Refused(const SetupOptions& options, const std::wstring& caption, const std::wstring& reason) {
    if (!options.silent)
        ::MessageBoxW(nullptr, reason.c_str(), caption.c_str(), MB_ICONERROR);
    return Failed(options, reason);
}

int FirstStage(const SetupOptions& options, const ProductInfo& info, Scope scope,
               const std::wstring& caption, bool elevated) {
    const auto folder = FolderToRemove(info, scope, elevated);
    if (!folder)
        return Refused(options, caption, NothingRecordedMessage(info, scope));
    // The copy is made from the file this process runs from, held since the start.
    const auto own = OwnProgramFile();
    if (!own)
        return Failed(options, FormatWindowsError(L"Copie du désinstalleur", own.error()));
    const SetupOptions second = SecondStageOptions(options, *folder);
    // A silent second stage says why it failed where this stage was asked to, and gives its
    // outcome through the pipe before it removes this stage's file.
    const UniqueHandle standardError = options.silent ? InheritableStandardError() : UniqueHandle();
    OutcomePipe outcome = options.silent ? MakeOutcomePipe() : OutcomePipe();
    // Held until the second stage has started from it.
    auto copy = MakeTemporaryCopy(*own, info.product + L"-uninstall");
    if (!copy)
        return Failed(options,
                      L"Copie du désinstalleur impossible dans " + TemporaryFolder().native());
    const UniqueHandle process =
        StartProcess(copy->path, SecondStageCommandLine(copy->path, second), 0, outcome.write.get(),
                     standardError.get());
    if (!process) {
        // A second stage that cannot start leaves no copy behind.
        const DWORD error = ::GetLastError();
        const std::wstring message =
            FormatWindowsError(L"Démarrage du désinstalleur " + copy->path.native(), error);
        RemoveTemporaryCopy(std::move(*copy));
        return Failed(options, message);
    }

    // Interactive runs report through the second stage's own windows; a silent caller can
    // only learn the outcome from the exit code.
    if (!options.silent)
        return 0;
    // Only the second stage's end may close the pipe now, when it gave no outcome.
    outcome.write.reset();
    if (outcome.read)
        if (const auto code = ReadOutcome(outcome.read.get()))
            return static_cast<int>(*code);
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

// Deletes the temporary copy once this process has ended. Only a copy that a first stage made
// in the temporary folder: a program started from anywhere else with /FROMTEMP stays.
void StartCleanup() {
    const fs::path own = OwnPath();
    if (IsSameFile(own.parent_path(), TemporaryFolder()))
        StartProcess(JoinPath(SystemFolder(), L"cmd.exe"), CleanupCommand(SystemFolder(), own),
                     CREATE_NO_WINDOW);
}

int RemoveInstallation(const SetupOptions& options, const ProductInfo& info, Scope scope,
                       const std::wstring& caption, bool elevated, HANDLE firstStage) {
    if (!options.installDir)
        return kFailed;
    const auto folder = RecordedInstallFolder(info, scope, *options.installDir, elevated);
    if (!folder)
        return Refused(options, caption, folder.error());
    const fs::path& installDir = folder->path;

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

    const int code = removed ? 0 : Failed(options, removed.error());
    if (options.silent)
        ReportOutcome(static_cast<DWORD>(code));
    if (removed) {
        if (firstStage != nullptr)
            ::WaitForSingleObject(firstStage, kFirstStageWait);
        RemoveUninstallerAndFolder(*folder);
    }
    return code;
}

int SecondStage(const SetupOptions& options, const ProductInfo& info, Scope scope,
                const std::wstring& caption, bool elevated) {
    // Opened first, while the id can only be the first stage's.
    const UniqueHandle firstStage = OpenStartingProcess();
    const int code = RemoveInstallation(options, info, scope, caption, elevated, firstStage.get());
    StartCleanup();
    return code;
}

} // namespace

int RunUninstall(const SetupOptions& options, const ProductInfo& info) {
    return RunUninstall(options, info, {IsProcessElevated, RelaunchElevated});
}

int RunUninstall(const SetupOptions& options, const ProductInfo& info,
                 const ElevationService& elevation) {
    const Scope scope = options.scope.value_or(Scope::Machine);
    const std::wstring caption = L"Désinstallation de " + info.product;

    // Per machine needs administrator rights, whatever /ELEVATED claims. The elevated copy
    // cannot be given this process's standard error: only its exit code comes back.
    const bool elevated = elevation.isElevated();
    if (scope == Scope::Machine && !elevated) {
        const int code = elevation.relaunchElevated(options, nullptr);
        if (code != 0 && options.silent)
            ReportOnStandardError(
                code == kCancelled ? L"Désinstallation annulée (autorisation refusée)."
                                   : txt::format(L"La désinstallation a échoué (code {}).", code));
        return code;
    }

    try {
        return options.fromTemp ? SecondStage(options, info, scope, caption, elevated)
                                : FirstStage(options, info, scope, caption, elevated);
    } catch (...) {
        // Nothing below throws by design; an exception here must still end as a failure
        // code rather than an abnormal end of the process.
        return Failed(options, CurrentExceptionText());
    }
}
