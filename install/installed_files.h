// "Uninstall.files": the list of files an installation wrote, relative to its folder.
#pragma once

#include "package/reader.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Failures are ignored: the list is an optional side effect of an installation.
void WriteInstalledFilesList(const std::filesystem::path& installDir, const mvpk::Reader& reader);
// Empty when the list is missing or unreadable.
std::vector<std::wstring> ReadInstalledFilesList(const std::filesystem::path& installDir);
// Deletes the listed files (read-only ones too) and the folders they leave empty, deepest
// first. Entries that the package path rule refuses (empty, rooted, with a drive, a colon,
// "." or "..") are skipped, so an edited list never reaches outside the install folder; so
// are entries below a folder that has become a link, and a listed entry that is a link is
// removed as a link. An empty install folder, or one that is a link, removes nothing.
void RemoveListedFiles(const std::filesystem::path& installDir,
                       const std::vector<std::wstring>& files);
// The folders that the listed entries lie in, below the held install folder, removed when they
// are empty, deepest first.
void RemoveListedFolders(HANDLE installDir, const std::vector<std::wstring>& files);
// The elements of a listed entry that the package path rule accepts; nothing otherwise.
std::optional<std::vector<std::wstring>> ListedElements(const std::wstring& entry);
