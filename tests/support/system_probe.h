// Reading back what an installation left in the registry and on disk, for assertions.
#pragma once

#include "setup/metadata.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>

namespace testing_support {

bool KeyExists(HKEY hive, const std::wstring& subkey);
// Type and raw bytes of a value, or nothing when the key or value is missing.
struct RegistryValue {
    DWORD type = 0;
    std::string bytes;
};
std::optional<RegistryValue> ReadValue(HKEY hive, const std::wstring& subkey, const wchar_t* name);
// A REG_SZ with its terminating null, as the program writes it; nothing otherwise.
std::optional<std::wstring> ReadStringValue(HKEY hive, const std::wstring& subkey,
                                            const wchar_t* name);
std::optional<DWORD> ReadDwordValue(HKEY hive, const std::wstring& subkey, const wchar_t* name);
// Removes a key with everything below it; a missing key is fine.
void DeleteTree(HKEY hive, const std::wstring& subkey);
// Removes what registering a product without file types writes, in both scopes: the
// uninstall entry, the install record and the shortcut.
void RemoveRegistration(const ProductInfo& info);

struct ShortcutFields {
    std::wstring target;
    std::wstring workingDirectory;
    std::wstring description;
    std::wstring iconPath;
    int iconIndex = -1;
};
// Loads a .lnk through IShellLinkW; needs a COM apartment on the calling thread.
std::optional<ShortcutFields> LoadShortcut(const std::filesystem::path& link);

// The explicit entry granting BUILTIN\Users access on a folder: mask and inheritance flags.
struct AccessGrant {
    DWORD mask = 0;
    DWORD inheritance = 0;
};
std::optional<AccessGrant> UsersGrant(const std::filesystem::path& folder);

} // namespace testing_support
