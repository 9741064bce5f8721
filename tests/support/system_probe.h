// Reading back what an installation left in the registry and on disk, and taking it away.
#pragma once

#include "setup/metadata.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace testing_support {

bool KeyExists(HKEY hive, const std::wstring& subkey);
// A REG_SZ with its terminating null, as the program writes it; nothing otherwise.
std::optional<std::wstring> ReadStringValue(HKEY hive, const std::wstring& subkey,
                                            const wchar_t* name);
std::optional<DWORD> ReadDwordValue(HKEY hive, const std::wstring& subkey, const wchar_t* name);
void WriteStringValue(HKEY hive, const std::wstring& subkey, const wchar_t* name,
                      const std::wstring& text);
// Removes a key with everything below it; a missing key is fine.
void DeleteTree(HKEY hive, const std::wstring& subkey);

// The product a setup program describes in its METADATA resource.
ProductInfo ProductOf(const std::filesystem::path& setupProgram);
// Every trace an installation of the product can leave, in both scopes: registry keys (the
// file types and the maker's key included), shortcut, data directory, the default install
// folders, and the folder given.
void RemoveProduct(const ProductInfo& info, const std::filesystem::path& folder = {});

struct ShortcutFields {
    std::wstring target;
    std::wstring workingDirectory;
    std::wstring description;
    std::wstring iconPath;
    int iconIndex = -1;
};
// Loads a .lnk through IShellLinkW; needs a COM apartment on the calling thread.
std::optional<ShortcutFields> LoadShortcut(const std::filesystem::path& link);

} // namespace testing_support
