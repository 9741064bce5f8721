// Removal of files and folders that a user other than the administrator may have touched:
// the install folder's content, the data directory, the shortcut. Everything goes through
// handles (install/held_entries): a link is deleted as a link and never entered, so a planted
// link cannot lead a removal into another folder. Removal is forgiving: what cannot be
// deleted stays, and the rest still goes.
#pragma once

#include <windows.h>

#include <filesystem>

// Removes the entry at path itself: a file (read-only ones too), a link, or a folder only
// when it is empty. A missing entry is no error.
void RemoveEntry(const std::filesystem::path& path);

// The same for a path that names a folder: a file found there stays.
void RemoveEmptyFolder(const std::filesystem::path& path);

// Removes everything below the held folder, whatever depth users gave it; what cannot be
// deleted stays, with the folders that hold it.
void RemoveContent(HANDLE folder);
