// Takes one installation of the product off the computer.
#pragma once

#include "setup/command_line.h"
#include "setup/metadata.h"

#include <windows.h>

#include <expected>
#include <filesystem>
#include <string>

// Removes what the installation of scope in installDir wrote: its recorded files and the
// folders they leave empty, the shortcut, the registry entries and file types, and with
// removeData the data directory. Forgiving: the only failure is the product running from
// installDir (or a folder that cannot be checked for it); nothing is changed then.
// Needs a COM apartment on the calling thread.
std::expected<void, std::wstring> Uninstall(const ProductInfo& info, Scope scope,
                                            const std::filesystem::path& installDir,
                                            bool removeData);

// The data directory of an installation: the folder its install record names, else the
// product's default one. Read before the record is deleted.
std::filesystem::path RecordedDataDirectory(const ProductInfo& info, Scope scope);

// Deletes the key only when it has neither subkeys nor values (a default value counts).
void DeleteKeyIfEmpty(HKEY hive, const std::wstring& subKey);
