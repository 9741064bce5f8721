// Removal of files and folders that a user other than the administrator may have touched:
// the install folder's content, the data directory, the shortcut. A link (any entry with
// FILE_ATTRIBUTE_REPARSE_POINT: a junction, a symbolic link) is removed as a link and is
// never entered or followed, so a planted link cannot lead a removal into another folder.
// Removal is forgiving: what cannot be deleted stays, and the rest still goes.
#pragma once

#include "setup/handles.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <vector>

// Whether the entry at path is a link; false when it is missing.
bool IsLink(const std::filesystem::path& path);

// Holds a folder open without sharing the right to delete it, so that nobody can rename,
// delete or replace it while the handle is held. Empty when it is a link, is missing or
// cannot be opened.
UniqueHandle PinFolder(const std::filesystem::path& folder);

// Removes one file (read-only ones too), one empty folder, or one link as a link. Returns 0
// when the entry is gone (or was missing), otherwise the Windows error, such as
// ERROR_DIR_NOT_EMPTY for a folder that still has content.
DWORD RemoveEntry(const std::filesystem::path& path);

// Removes a folder only when it is empty (or a folder link as a link); anything else there,
// a file included, stays.
DWORD RemoveEmptyFolder(const std::filesystem::path& path);

// Removes a folder and everything below it.
void RemoveTree(const std::filesystem::path& path);

// The folders between root (not included) and path (not included either), held open so that
// none of them can be renamed, deleted or replaced by a link while the holder lives. Empty
// when one of them is a link, is missing or cannot be opened: whatever lies below it is then
// not the installation's to remove.
class PinnedFolders {
  public:
    static std::optional<PinnedFolders> Between(const std::filesystem::path& root,
                                                const std::filesystem::path& path);

  private:
    std::vector<UniqueHandle> folders_;
};
