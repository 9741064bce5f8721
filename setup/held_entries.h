// Files and folders reached from a folder already held open. Each entry is opened by one name
// relative to its folder's handle, never through a link, and is deleted through a handle of
// its own. Nothing is looked up again by path: a folder that another user turns into a
// junction where it stands, or whose name they give to another folder, leads nowhere, because
// what is opened below it is opened from the folder that was checked.
#pragma once

#include "setup/handles.h"

#include <windows.h>

#include <expected>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A link is any reparse point (junction, symbolic link, mount point) as the entry's own handle
// or its folder's listing shows it, or an entry that changed between the two: never entered.
enum class EntryKind { File, Folder, Link };

// ERROR_REPARSE_POINT_ENCOUNTERED, which the toolchain's headers lack: the failure of an entry
// that had to be a real folder and is a link.
inline constexpr DWORD kReparsePointEncountered = 4395;

struct HeldEntry {
    UniqueHandle handle;
    EntryKind kind = EntryKind::File;
};

// The rights wanted beyond reading attributes (and listing, for a folder), the sharing left to
// others, and whether a missing folder is created.
struct EntryAccess {
    ACCESS_MASK rights = 0;
    DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    bool createFolder = false;
};

// Opens name, a single element, inside the held folder; the Windows error otherwise.
std::expected<HeldEntry, DWORD> OpenEntry(HANDLE folder, std::wstring_view name,
                                          const EntryAccess& access = {});

// Opens name, a single element, inside the held folder as a file to write from its first
// byte: created when missing, else the plain file there, emptied through its own handle. An
// existing link, folder, or file with other names (hard links: their file is not only ours)
// is refused with kReparsePointEncountered, ERROR_DIRECTORY or
// ERROR_TOO_MANY_LINKS, and left as it is.
std::expected<UniqueHandle, DWORD> OpenFileToWrite(HANDLE folder, std::wstring_view name);

// A folder opened by its path, to open entries relative to it: what the path names is the
// caller's to trust. Invalid (INVALID_HANDLE_VALUE) when it cannot be opened.
UniqueHandle OpenFolder(const std::filesystem::path& path);

// Opens the entry at path: its parent folder by name (what lies above it is the caller's to
// trust), the entry itself relative to that, as OpenEntry does.
std::expected<HeldEntry, DWORD> OpenPath(const std::filesystem::path& path,
                                         const EntryAccess& access = {});

// The names in a held folder, without "." and "..".
std::vector<std::wstring> ListFolder(HANDLE folder);

// Deletes the entry itself: a file (read-only ones too), a link as a link, a folder only when
// it is empty (ERROR_DIR_NOT_EMPTY otherwise). 0 once it is deleted, else the Windows error.
DWORD DeleteEntry(const HeldEntry& entry);

// Gives the entry another name: name, a single element, inside the held folder, which may be
// another folder of the same volume. The entry is renamed through a handle of its own, so a
// link goes as a link. With replace, a file already under that name is replaced. 0 once it is
// renamed, else the Windows error: ERROR_SHARING_VIOLATION when another program holds the
// entry without sharing the right to delete it.
DWORD MoveEntry(const HeldEntry& entry, HANDLE folder, std::wstring_view name, bool replace);

// The elements of a relative path, split at \ and /.
std::vector<std::wstring> PathElements(std::wstring_view path);

// Folders below a held folder, reached one element at a time. The chain reached last is kept:
// the entries of one folder follow each other in a list, and each is opened only once.
class FolderWalk {
  public:
    // With create, missing folders are created on the way.
    explicit FolderWalk(HANDLE root, bool create = false) : root_(root), create_(create) {}

    // The held folder that the elements name, or null when one of them is missing, is not a
    // folder or is a link: what lies below it is not the walk's.
    HANDLE Reach(std::span<const std::wstring> folders);

    // The file at a relative path below the root, as OpenFileToWrite opens it, its folders
    // reached on the way; ERROR_PATH_NOT_FOUND when they cannot be.
    std::expected<UniqueHandle, DWORD> OpenFileToWrite(std::wstring_view path);

  private:
    HANDLE Top() const { return chain_.empty() ? root_ : chain_.back().second.handle.get(); }

    HANDLE root_;
    bool create_;
    std::vector<std::pair<std::wstring, HeldEntry>> chain_;
};
