// The previous version's files during an upgrade: moved aside into a backup folder inside
// their own install folder, so that a failed upgrade can put them back, and deleted once the
// new version is complete. Everything goes through handles (install/held_entries): each file
// is renamed through a handle of its own into a folder held open, and a link is never entered.
//
// The backup folder holds "files", the previous version's files at their relative paths, and,
// once the new version is complete, the empty folder "replaced". A run that was stopped
// leaves the backup folder behind; the next one settles it: without "replaced" the files go
// back where they were, with it they are deleted.
#pragma once

#include "setup/held_entries.h"

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The backup folder's name, inside an install folder. A package path in it is refused, and
// the uninstaller removes it with the installation.
inline constexpr std::wstring_view kBackupFolderName = L"Uninstall.backup";

// Whether a relative path lies in the backup folder (compared as Windows compares names).
bool IsInBackupFolder(std::wstring_view relativePath);

// The previous version's files, set aside in the backup folder of their install folder.
struct SetAsideFiles {
    std::filesystem::path installDir; // for messages
    HeldEntry root;                   // the install folder
    HeldEntry backup;                 // its backup folder
    HeldEntry files;                  // the backup folder's "files"
};

// Moves the listed files of installDir into its backup folder and removes the folders they
// leave empty. A file that cannot be moved (another program holds it without sharing the right
// to delete it) puts back what was moved and ends with "Déplacement de l'ancien fichier <path>"
// and the system's text. Nothing is set aside without a list, or when the folder is missing or
// is a link.
std::expected<std::optional<SetAsideFiles>, std::wstring>
SetAside(const std::filesystem::path& installDir, const std::vector<std::wstring>& files);

// Puts every file back at its place, over whatever stands there, and removes the backup folder.
// What cannot go back stays in the backup folder, for the next run to settle; the first such
// file is named in the result as SetAside names it.
std::expected<void, std::wstring> PutBack(SetAsideFiles& files);

// The new version is complete: from now on the backup is deleted, never put back.
void MarkReplaced(const SetAsideFiles& files);

// Deletes the backup folder and everything in it, "replaced" last. What cannot go stays.
void DeleteBackup(SetAsideFiles& files);

// The backup folder that a stopped run left in installDir: put back, or deleted once marked.
// Fails, as PutBack does, when a file cannot go back.
std::expected<void, std::wstring> SettleBackup(const std::filesystem::path& installDir);

// The backup folder of an installation that is being removed, deleted with all it holds.
void RemoveBackup(const std::filesystem::path& installDir);
