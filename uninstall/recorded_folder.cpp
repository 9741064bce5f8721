#include "uninstall/recorded_folder.h"

#include "install/registry.h"
#include "setup/file_identity.h"
#include "setup/handles.h"
#include "setup/own_program.h"

#include <windows.h>

#include <optional>

namespace {

namespace fs = std::filesystem;

constexpr wchar_t kUninstaller[] = L"Uninstall.exe";
// About ten seconds of attempts, for a caller that has not yet seen its elevated copy end.
constexpr int kDeleteAttempts = 50;
constexpr DWORD kDeletePause = 200;

// The folder given names, as the system resolves it: links on the way, ".", ".." and case
// make no difference.
std::optional<FILE_ID_INFO> FolderIdentity(const fs::path& path) {
    const UniqueHandle handle(::CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return handle ? IdentityOf(handle.get()) : std::nullopt;
}

bool IsMissing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

std::wstring NotTheInstallation(const ProductInfo& info, const fs::path& given,
                                const fs::path& recorded) {
    return L"Le dossier " + given.native() + L" n'est pas celui de l'installation de " +
           info.product + L" (" + recorded.native() + L").";
}

// A per-user run's own folder, as the first stage took it: one whose "Uninstall.exe" holds
// this program's bytes.
bool HoldsThisUninstaller(const HeldEntry& folder) {
    const auto own = OwnProgramFile();
    const auto uninstaller = OpenEntry(folder.handle.get(), kUninstaller, {FILE_READ_DATA});
    return own && uninstaller && uninstaller->kind == EntryKind::File &&
           SameContent(uninstaller->handle.get(), *own);
}

} // namespace

std::wstring NothingRecordedMessage(const ProductInfo& info, Scope scope) {
    return L"Aucune installation de " + info.product +
           (scope == Scope::Machine ? L" n'est enregistrée pour tous les utilisateurs."
                                    : L" n'est enregistrée pour cet utilisateur.");
}

std::expected<InstallFolder, std::wstring>
RecordedInstallFolder(const ProductInfo& info, Scope scope, const fs::path& given, bool elevated) {
    const auto recorded = FindInstallLocation(info, scope);
    if (!recorded) {
        if (scope == Scope::User && !elevated)
            if (auto own = OpenPath(given);
                own && own->kind == EntryKind::Folder && HoldsThisUninstaller(*own))
                return InstallFolder{given, std::move(*own)};
        return std::unexpected(NothingRecordedMessage(info, scope));
    }
    auto held = OpenPath(*recorded);
    if (!held) {
        // A recorded folder that is gone leaves the registry and the shortcut to take off;
        // given must then name it as the record does, there being no folder to compare.
        if (IsMissing(held.error()) && given.native() == recorded->native() &&
            !FolderIdentity(given))
            return InstallFolder{*recorded, {}};
        return std::unexpected(NotTheInstallation(info, given, *recorded));
    }
    // A link in the recorded folder's place is nobody's installation to go through.
    if (held->kind != EntryKind::Folder ||
        !SameIdentity(IdentityOf(held->handle.get()), FolderIdentity(given)))
        return std::unexpected(NotTheInstallation(info, given, *recorded));
    return InstallFolder{*recorded, std::move(*held)};
}

void RemoveUninstallerAndFolder(const InstallFolder& folder) {
    if (!folder.held.handle)
        return;
    for (int attempt = 1; attempt <= kDeleteAttempts; ++attempt) {
        const auto uninstaller = OpenEntry(folder.held.handle.get(), kUninstaller);
        if (!uninstaller)
            break;
        // A link put in its place goes as a link.
        const DWORD error = DeleteEntry(*uninstaller);
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION)
            break;
        ::Sleep(kDeletePause);
    }
    DeleteEntry(folder.held);
}
