// Removal of files and folders that a user other than the administrator may have touched:
// the install folder's content, the data directory, the shortcut. Everything goes through
// handles (install/held_entries): a link is deleted as a link and never entered, so a planted
// link cannot lead a removal into another folder. Removal is forgiving: what cannot be
// deleted stays, and the rest still goes.
#pragma once

#include <windows.h>

#include "setup/held_entries.h"

#include <filesystem>
#include <functional>
#include <span>
#include <string>

// Removes the entry at path itself: a file (read-only ones too), a link, or a folder only
// when it is empty. A missing entry is no error.
void RemoveEntry(const std::filesystem::path& path);

// The same for a path that names a folder: a file found there stays.
void RemoveEmptyFolder(const std::filesystem::path& path);

// Removes everything below the held folder, whatever depth users gave it; what cannot be
// deleted stays, with the folders that hold it.
void RemoveContent(HANDLE folder);

// What VisitTree calls for each file or link: the names of the folders leading to it from the
// held folder, its name, and the entry.
using TreeVisitor = std::function<void(std::span<const std::wstring> folders,
                                       const std::wstring& name, const HeldEntry& entry)>;
// Calls visit for every file and link below the held folder, never entering a link, then
// deletes each folder below it once it is empty.
void VisitTree(HANDLE folder, const TreeVisitor& visit);
