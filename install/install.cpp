#include "install/install.h"

#include "setup/held_entries.h"
#include "install/installed_files.h"
#include "install/permissions.h"
#include "install/previous_version.h"
#include "install/registration.h"
#include "install/registry.h"
#include "install/running_instance.h"
#include "install/shortcut.h"
#include "install/uninstaller_copy.h"
#include "setup/paths.h"
#include "setup/text.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <new>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace {

using Result = std::expected<void, std::wstring>;

// Creates folder and the folders above it that are missing. The Windows code of the failure,
// ERROR_DIRECTORY when something that is not a folder stands in the way, or 0.
DWORD CreateFolders(const std::filesystem::path& folder) {
    if (::CreateDirectoryW(folder.c_str(), nullptr))
        return 0;
    DWORD error = ::GetLastError();
    if (const auto parent = folder.parent_path();
        error == ERROR_PATH_NOT_FOUND && !parent.empty() && parent != folder) {
        if (const DWORD above = CreateFolders(parent); above != 0)
            return above;
        if (::CreateDirectoryW(folder.c_str(), nullptr))
            return 0;
        error = ::GetLastError();
    }
    if (error == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = ::GetFileAttributesW(folder.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                   ? 0
                   : ERROR_DIRECTORY;
    }
    return error;
}

double ByteFraction(std::uint64_t done, std::uint64_t total) {
    return static_cast<double>(done) * 0.9 / static_cast<double>(std::max<std::uint64_t>(total, 1));
}

// The steps' exceptions as their failure text, so that what follows them still runs.
Result Guarded(const std::function<Result()>& steps) {
    try {
        return steps();
    } catch (...) {
        return std::unexpected(CurrentExceptionText());
    }
}

// The steps that make the new version complete: the files, the uninstaller, the list and the
// data folder. An upgrade can still go back to the previous version after any of them.
Result WriteNewVersion(const mvpk::Reader& reader, Scope scope, const std::filesystem::path& folder,
                       const ProgressCallback& progress,
                       const std::optional<std::filesystem::path>& dataDir, UniqueHandle& held) {
    progress(0.0, L"Copie des fichiers...");
    const auto extracted = reader.Extract(folder, [&](std::uint64_t done, std::uint64_t total) {
        progress(ByteFraction(done, total), L"Copie des fichiers...");
    });
    if (!extracted)
        return std::unexpected(Utf8ToWide(extracted.error()));

    progress(0.92, L"Enregistrement...");
    if (auto copied = CopyUninstaller(JoinPath(folder, L"Uninstall.exe")); !copied)
        return copied;

    WriteInstalledFilesList(folder, reader);

    if (dataDir) {
        if (scope == Scope::Machine) {
            // The product's own folder in ProgramData, held from the grant on (from the start
            // when it was there): Data is made in it afterwards, relative to that handle, and
            // inherits the grant.
            if (held) {
                if (auto granted = WriteUsersGrant(dataDir->parent_path(), held.get()); !granted)
                    return granted;
            } else {
                auto granted = GrantUsersWriteAccess(dataDir->parent_path());
                if (!granted)
                    return std::unexpected(granted.error());
                held = std::move(*granted);
            }
            // Users may have put a file or a link there beforehand: recorded as the data
            // folder, it would be what the product writes into and what a removal takes.
            const auto data =
                OpenEntry(held.get(), dataDir->filename().native(), {.createFolder = true});
            if (!data || data->kind != EntryKind::Folder)
                return std::unexpected(
                    FormatWindowsError(L"Création du dossier " + dataDir->native(),
                                       data ? kReparsePointEncountered : data.error()));
        } else {
            std::error_code ignored;
            std::filesystem::create_directories(*dataDir, ignored);
        }
    }
    return {};
}

// What an installation wrote into folder, as its list names it.
std::vector<std::wstring> WrittenFiles(const mvpk::Reader& reader) {
    std::vector<std::wstring> files;
    for (const mvpk::PackageEntry& entry : reader.entries())
        files.push_back(Utf8ToWide(entry.path));
    files.insert(files.end(), {L"Uninstall.exe", L"Uninstall.files"});
    return files;
}

Result InstallSteps(const mvpk::Reader& reader, const ProductInfo& info, Scope scope,
                    const std::filesystem::path& folder, const ProgressCallback& progress) {
    const std::wstring running = RunningInstanceMessage(info);

    // Everything that can refuse the installation comes before anything is changed.
    const auto previous = FindInstallLocation(info, scope);
    if (previous && !FindRunningInstance(info, *previous).empty())
        return std::unexpected(running);
    if (!FindRunningInstance(info, folder).empty())
        return std::unexpected(running);

    // Created with the system's calls: their codes have the system's texts, in the user's
    // language, where the standard library's are English.
    if (const DWORD failure = CreateFolders(folder); failure != 0)
        return std::unexpected(
            FormatWindowsError(L"Création du dossier " + folder.native(), failure));

    std::optional<std::filesystem::path> dataDir;
    if (info.hasDataDir) {
        dataDir = DataDirectory(info.product, scope);
        // An unresolvable known folder leaves a path below whatever the current folder is.
        if (!dataDir->is_absolute())
            dataDir.reset();
    }
    UniqueHandle held; // the product's folder in ProgramData, once it is held
    if (dataDir && scope == Scope::Machine) {
        auto found = HoldGrantedFolder(dataDir->parent_path(), false);
        if (!found)
            return std::unexpected(found.error());
        held = std::move(*found);
    }
    // The previous version's files are kept there while the new one is written.
    for (const mvpk::PackageEntry& entry : reader.entries())
        if (IsInBackupFolder(Utf8ToWide(entry.path)))
            return std::unexpected(L"Chemin réservé dans le paquet : " + Utf8ToWide(entry.path));

    // The previous version's files are moved aside, not deleted, and a run that was stopped
    // is settled first: both folders may hold its backup.
    std::optional<SetAsideFiles> aside;
    if (previous) {
        progress(0.0, L"Suppression de la version précédente...");
        if (auto settled = SettleBackup(*previous); !settled)
            return settled;
    }
    if (!previous || !IsSameFile(*previous, folder))
        if (auto settled = SettleBackup(folder); !settled)
            return settled;
    if (previous) {
        auto setAside = SetAside(*previous, ReadInstalledFilesList(*previous));
        if (!setAside)
            return std::unexpected(setAside.error());
        aside = std::move(*setAside);
    }

    const Result written =
        Guarded([&] { return WriteNewVersion(reader, scope, folder, progress, dataDir, held); });
    if (!written) {
        // Only an upgrade goes back: a first installation leaves what it wrote.
        if (aside) {
            RemoveListedFiles(folder, WrittenFiles(reader));
            PutBack(*aside);
        }
        return written;
    }
    if (aside)
        MarkReplaced(*aside);

    // From here on the new version stands whatever happens: the backup goes in any case.
    const Result done = Guarded([&]() -> Result {
        const auto exePath = JoinPath(folder, info.exe);
        const std::wstring uninstallCommand =
            L"\"" + JoinPath(folder, L"Uninstall.exe").native() + L"\" /UNINSTALL" +
            (scope == Scope::Machine ? L" /ALLUSERS" : L" /CURRENTUSER");
        if (auto registered = RegisterProduct(scope, info, folder, exePath, uninstallCommand,
                                              reader.totalSize(), dataDir);
            !registered)
            return registered;

        progress(0.97, L"Création du raccourci...");
        if (auto shortcut = CreateShortcut(ShortcutPath(info, scope), exePath, info); !shortcut)
            return shortcut;
        return {};
    });
    if (aside)
        DeleteBackup(*aside);
    if (done)
        progress(1.0, info.product + L" est installé.");
    return done;
}

} // namespace

std::wstring CurrentExceptionText() {
    try {
        throw;
    } catch (const std::filesystem::filesystem_error& e) {
        return FormatErrorCode(L"Chemin inutilisable : " + e.path1().native(), e.code());
    } catch (const std::system_error& e) {
        return FormatErrorCode(L"Erreur du système", e.code());
    } catch (const std::bad_alloc&) {
        return L"Mémoire insuffisante";
    } catch (const std::runtime_error& e) {
        // The program's own failures (the SHA-256 provider's) are written in French; the
        // library's other exceptions say in English what is only an internal fault.
        return Utf8ToWide(e.what());
    } catch (...) {
        return L"Erreur inattendue";
    }
}

Result Install(const mvpk::Reader& reader, const ProductInfo& info, Scope scope,
               const std::filesystem::path& folder, const ProgressCallback& progress) {
    // The SHA-256 provider and the canonical-path check leave by exception; on the thread
    // that installs they become the failure text instead of ending the process.
    try {
        return InstallSteps(reader, info, scope, folder, progress);
    } catch (...) {
        return std::unexpected(CurrentExceptionText());
    }
}
