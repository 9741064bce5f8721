// Registry primitives shared by installation, removal and the wizard.
#pragma once

#include "setup/command_line.h"
#include "setup/handles.h"
#include "setup/metadata.h"

#include <windows.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

// HKEY_LOCAL_MACHINE for Scope::Machine, HKEY_CURRENT_USER for Scope::User.
HKEY HiveFor(Scope scope);
// "Software\Microsoft\Windows\CurrentVersion\Uninstall\" followed by the product name.
std::wstring UninstallKeyPath(const std::wstring& product);

// Opens (creating when missing, with its parents) a key for writing.
std::expected<KeyHandle, std::wstring> CreateRegistryKey(HKEY hive, const std::wstring& subkey);
// A null name writes the key's default value. Failures are ignored by design: every value is
// optional once its key exists.
void SetRegistryString(HKEY key, const wchar_t* name, const std::wstring& text);
void SetRegistryDword(HKEY key, const wchar_t* name, DWORD value);
// A REG_SZ value; nothing when the key or value is missing or of another type.
std::optional<std::wstring> ReadRegistryString(HKEY hive, const std::wstring& subkey,
                                               const wchar_t* name);

// The "InstallLocation" of an earlier installation of this scope; an empty value counts as
// none.
std::optional<std::filesystem::path> FindInstallLocation(const ProductInfo& info, Scope scope);

// The product name, ".", and the extension without one leading dot.
std::wstring MakeProgId(const std::wstring& product, const std::wstring& extension);

// what, " : " and the system's text for code (or "erreur " and the code), without the
// trailing line break.
std::wstring FormatWindowsError(std::wstring_view what, DWORD code);
// The same for a code of the standard library, whose own texts are English: the system's text
// for the matching Windows code. libstdc++ gives many file errors as errno values, which are
// not Windows codes; one it has no match for is written as "erreur " and the code.
std::wstring FormatErrorCode(std::wstring_view what, const std::error_code& code);
