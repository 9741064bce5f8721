#include "install/install.h"

#include "install/held_entries.h"
#include "install/installed_files.h"
#include "install/permissions.h"
#include "install/registration.h"
#include "install/registry.h"
#include "install/running_instance.h"
#include "install/shortcut.h"
#include "install/uninstaller_copy.h"
#include "setup/paths.h"
#include "setup/text.h"

#include <algorithm>
#include <filesystem>
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

Result InstallSteps(const mvpk::Reader& reader, const ProductInfo& info, Scope scope,
                    const std::filesystem::path& folder, const ProgressCallback& progress) {
    const std::wstring running = RunningInstanceMessage(info);

    const auto previous = FindInstallLocation(info, scope);
    if (previous) {
        if (!FindRunningInstance(info, *previous).empty())
            return std::unexpected(running);
        progress(0.0, L"Suppression de la version précédente...");
        RemoveListedFiles(*previous, ReadInstalledFilesList(*previous));
    }

    if (!FindRunningInstance(info, folder).empty())
        return std::unexpected(running);

    // Created with the system's calls: their codes have the system's texts, in the user's
    // language, where the standard library's are English.
    if (const DWORD failure = CreateFolders(folder); failure != 0)
        return std::unexpected(
            FormatWindowsError(L"Création du dossier " + folder.native(), failure));

    std::error_code error;

    progress(0.0, L"Copie des fichiers...");
    const auto extracted = reader.Extract(folder, [&](std::uint64_t done, std::uint64_t total) {
        progress(ByteFraction(done, total), L"Copie des fichiers...");
    });
    if (!extracted)
        return std::unexpected(Utf8ToWide(extracted.error()));

    progress(0.92, L"Enregistrement...");
    const auto uninstaller = JoinPath(folder, L"Uninstall.exe");
    if (auto copied = CopyUninstaller(uninstaller); !copied)
        return copied;

    WriteInstalledFilesList(folder, reader);

    std::optional<std::filesystem::path> dataDir;
    if (info.hasDataDir) {
        dataDir = DataDirectory(info.product, scope);
        // An unresolvable known folder leaves a path below whatever the current folder is.
        if (!dataDir->is_absolute())
            dataDir.reset();
    }
    if (dataDir) {
        if (scope == Scope::Machine) {
            // The product's own folder in ProgramData, held from the grant on: Data is made
            // in it afterwards, relative to that handle, and inherits the grant.
            auto granted = GrantUsersWriteAccess(dataDir->parent_path());
            if (!granted)
                return std::unexpected(granted.error());
            // Users may have put a file or a link there beforehand: recorded as the data
            // folder, it would be what the product writes into and what a removal takes.
            const auto data =
                OpenEntry(granted->get(), dataDir->filename().native(), {.createFolder = true});
            if (!data || data->kind != EntryKind::Folder)
                return std::unexpected(
                    FormatWindowsError(L"Création du dossier " + dataDir->native(),
                                       data ? kReparsePointEncountered : data.error()));
        } else {
            std::filesystem::create_directories(*dataDir, error);
        }
    }

    const auto exePath = JoinPath(folder, info.exe);
    const std::wstring uninstallCommand =
        L"\"" + uninstaller.native() + L"\" /UNINSTALL" +
        (scope == Scope::Machine ? L" /ALLUSERS" : L" /CURRENTUSER");
    if (auto registered = RegisterProduct(scope, info, folder, exePath, uninstallCommand,
                                          reader.totalSize(), dataDir);
        !registered)
        return registered;

    progress(0.97, L"Création du raccourci...");
    if (auto shortcut = CreateShortcut(ShortcutPath(info, scope), exePath, info); !shortcut)
        return shortcut;

    progress(1.0, info.product + L" est installé.");
    return {};
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
