#include "install/previous_version.h"

#include "install/file_removal.h"
#include "install/installed_files.h"
#include "install/registry.h"
#include "setup/paths.h"

#include <windows.h>

#include <utility>

namespace {

constexpr std::wstring_view kFilesName = L"files";
constexpr std::wstring_view kReplacedName = L"replaced";

bool SameName(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring Joined(const std::vector<std::wstring>& elements) {
    std::wstring path;
    for (const std::wstring& element : elements)
        path += (path.empty() ? L"" : L"\\") + element;
    return path;
}

std::wstring MoveFailure(const std::filesystem::path& installDir,
                         const std::vector<std::wstring>& elements, DWORD code) {
    return FormatWindowsError(L"Déplacement de l'ancien fichier " +
                                  JoinPath(installDir, Joined(elements)).native(),
                              code);
}

// A folder of the backup, which only this program makes: anything else there is not entered.
std::expected<HeldEntry, DWORD> OpenFolder(HANDLE parent, std::wstring_view name, bool create) {
    auto folder = OpenEntry(parent, name, {.createFolder = create});
    if (folder && folder->kind != EntryKind::Folder)
        return std::unexpected(ERROR_DIRECTORY);
    return folder;
}

// The backup folder that a run left in installDir, if any. A link in its place is not this
// program's: it is removed as a link.
std::optional<SetAsideFiles> FindBackup(const std::filesystem::path& installDir) {
    if (installDir.empty())
        return std::nullopt;
    auto root = OpenPath(installDir);
    if (!root || root->kind != EntryKind::Folder)
        return std::nullopt;
    auto backup = OpenEntry(root->handle.get(), kBackupFolderName);
    if (backup && backup->kind == EntryKind::Link)
        DeleteEntry(*backup);
    if (!backup || backup->kind != EntryKind::Folder)
        return std::nullopt;
    auto files = OpenFolder(backup->handle.get(), kFilesName, false);
    return SetAsideFiles{installDir, std::move(*root), std::move(*backup),
                         files ? std::move(*files) : HeldEntry{}};
}

// Moves the listed files into the backup's "files"; the elements of the first file that cannot
// be moved, and the Windows error. The folders walked are closed on return: a folder that is
// deleted goes only once no handle is open on it.
std::optional<std::pair<std::vector<std::wstring>, DWORD>>
MoveListedFiles(const SetAsideFiles& aside, const std::vector<std::wstring>& files) {
    FolderWalk from(aside.root.handle.get()), to(aside.files.handle.get(), true);
    for (const std::wstring& entry : files) {
        auto elements = ListedElements(entry);
        if (!elements || IsInBackupFolder(entry))
            continue;
        const std::span<const std::wstring> folders(elements->data(), elements->size() - 1);
        // What lies below a folder that is gone or has become a link is not the product's.
        const HANDLE parent = from.Reach(folders);
        if (!parent)
            continue;
        const auto file = OpenEntry(parent, elements->back());
        DWORD code = file ? 0 : file.error();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
            (file && file->kind == EntryKind::Folder))
            continue;
        if (code == 0) {
            const HANDLE target = to.Reach(folders);
            code = target ? MoveEntry(*file, target, elements->back(), false) : ERROR_DIRECTORY;
        }
        if (code != 0)
            return std::pair{std::move(*elements), code};
    }
    return std::nullopt;
}

} // namespace

bool IsInBackupFolder(std::wstring_view relativePath) {
    return SameName(relativePath.substr(0, relativePath.find_first_of(L"\\/")), kBackupFolderName);
}

std::expected<std::optional<SetAsideFiles>, std::wstring>
SetAside(const std::filesystem::path& installDir, const std::vector<std::wstring>& files) {
    if (files.empty() || installDir.empty())
        return std::nullopt;
    auto root = OpenPath(installDir);
    if (!root || root->kind != EntryKind::Folder)
        return std::nullopt;
    auto backup = OpenFolder(root->handle.get(), kBackupFolderName, true);
    auto inside = backup ? OpenFolder(backup->handle.get(), kFilesName, true)
                         : std::unexpected(backup.error());
    if (!inside)
        return std::unexpected(FormatWindowsError(
            L"Création du dossier " + JoinPath(installDir, kBackupFolderName).native(),
            inside.error()));
    SetAsideFiles aside{installDir, std::move(*root), std::move(*backup), std::move(*inside)};

    if (const auto failed = MoveListedFiles(aside, files)) {
        PutBack(aside);
        return std::unexpected(MoveFailure(installDir, failed->first, failed->second));
    }
    RemoveListedFolders(aside.root.handle.get(), files);
    return aside;
}

std::expected<void, std::wstring> PutBack(SetAsideFiles& aside) {
    std::expected<void, std::wstring> result;
    FolderWalk to(aside.root.handle.get(), true);
    // Over whatever the new version put there. A file or link of the previous version goes
    // back as itself.
    if (aside.files.handle)
        VisitTree(aside.files.handle.get(), [&](std::span<const std::wstring> folders,
                                                const std::wstring& name, const HeldEntry& entry) {
            const HANDLE target = to.Reach(folders);
            const DWORD code = target ? MoveEntry(entry, target, name, true) : ERROR_DIRECTORY;
            if (code != 0 && result) {
                std::vector<std::wstring> elements(folders.begin(), folders.end());
                elements.push_back(name);
                result = std::unexpected(MoveFailure(aside.installDir, elements, code));
            }
        });
    if (result)
        DeleteBackup(aside);
    return result;
}

void MarkReplaced(const SetAsideFiles& aside) {
    OpenEntry(aside.backup.handle.get(), kReplacedName, {.createFolder = true});
}

void DeleteBackup(SetAsideFiles& aside) {
    // The files first: as long as one of them stays, so does the mark that says what they are.
    if (aside.files.handle) {
        RemoveContent(aside.files.handle.get());
        const DWORD code = DeleteEntry(aside.files);
        aside.files = {}; // a folder deleted goes once no handle is open on it
        if (code != 0 && code != ERROR_FILE_NOT_FOUND)
            return;
    }
    RemoveContent(aside.backup.handle.get());
    DeleteEntry(aside.backup);
    aside.backup = {};
}

std::expected<void, std::wstring> SettleBackup(const std::filesystem::path& installDir) {
    auto aside = FindBackup(installDir);
    if (!aside)
        return {};
    if (OpenFolder(aside->backup.handle.get(), kReplacedName, false)) {
        DeleteBackup(*aside);
        return {};
    }
    return PutBack(*aside);
}

void RemoveBackup(const std::filesystem::path& installDir) {
    if (auto aside = FindBackup(installDir))
        DeleteBackup(*aside);
}
