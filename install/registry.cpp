#include "install/registry.h"

#include "setup/format.h"

#include <utility>

HKEY HiveFor(Scope scope) {
    return scope == Scope::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::wstring UninstallKeyPath(const std::wstring& product) {
    return L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product;
}

std::expected<KeyHandle, std::wstring> CreateRegistryKey(HKEY hive, const std::wstring& subkey) {
    KeyHandle key;
    const LSTATUS status = ::RegCreateKeyExW(hive, subkey.c_str(), 0, nullptr, 0, KEY_WRITE,
                                             nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS)
        return std::unexpected(FormatWindowsError(L"Création de la clé de registre " + subkey,
                                                  static_cast<DWORD>(status)));
    return key;
}

void SetRegistryString(HKEY key, const wchar_t* name, const std::wstring& text) {
    const auto bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()), bytes);
}

void SetRegistryDword(HKEY key, const wchar_t* name, DWORD value) {
    ::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

std::optional<std::wstring> ReadRegistryString(HKEY hive, const std::wstring& subkey,
                                               const wchar_t* name) {
    DWORD size = 0;
    if (::RegGetValueW(hive, subkey.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    // Round up: a damaged value may have an odd byte count, and the buffer must hold all of it.
    std::wstring text((size + sizeof(wchar_t) - 1) / sizeof(wchar_t), L'\0');
    if (::RegGetValueW(hive, subkey.c_str(), name, RRF_RT_REG_SZ, nullptr, text.data(), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    // The size counts the terminator, and the value may have grown shorter in between.
    if (const size_t end = text.find(L'\0'); end != std::wstring::npos)
        text.resize(end);
    return text;
}

std::optional<std::filesystem::path> FindInstallLocation(const ProductInfo& info, Scope scope) {
    auto location =
        ReadRegistryString(HiveFor(scope), UninstallKeyPath(info.product), L"InstallLocation");
    // An empty value names no folder; taken as one, it would mean the current folder.
    if (!location || location->empty())
        return std::nullopt;
    return std::filesystem::path(std::move(*location));
}

std::wstring MakeProgId(const std::wstring& product, const std::wstring& extension) {
    const std::wstring_view bare = extension.starts_with(L'.')
                                       ? std::wstring_view(extension).substr(1)
                                       : std::wstring_view(extension);
    return product + L"." + std::wstring(bare);
}

std::wstring FormatWindowsError(std::wstring_view what, DWORD code) {
    LocalMemory buffer;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
    std::wstring text = (length > 0 && buffer)
                            ? std::wstring(static_cast<const wchar_t*>(buffer.get()), length)
                            : txt::format(L"erreur {}", code);
    std::wstring result = std::wstring(what) + L" : " + text;
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r'))
        result.pop_back();
    return result;
}

std::wstring FormatErrorCode(std::wstring_view what, const std::error_code& code) {
    if (code.category() == std::system_category())
        return FormatWindowsError(what, static_cast<DWORD>(code.value()));
    static constexpr std::pair<std::errc, DWORD> kWindowsCodes[] = {
        {std::errc::no_such_file_or_directory, ERROR_PATH_NOT_FOUND},
        {std::errc::not_a_directory, ERROR_DIRECTORY},
        {std::errc::permission_denied, ERROR_ACCESS_DENIED},
        {std::errc::operation_not_permitted, ERROR_ACCESS_DENIED},
        {std::errc::file_exists, ERROR_ALREADY_EXISTS},
        {std::errc::directory_not_empty, ERROR_DIR_NOT_EMPTY},
        {std::errc::no_space_on_device, ERROR_DISK_FULL},
        {std::errc::read_only_file_system, ERROR_WRITE_PROTECT},
        {std::errc::filename_too_long, ERROR_FILENAME_EXCED_RANGE},
        {std::errc::invalid_argument, ERROR_INVALID_PARAMETER},
        {std::errc::illegal_byte_sequence, ERROR_NO_UNICODE_TRANSLATION},
        {std::errc::not_enough_memory, ERROR_NOT_ENOUGH_MEMORY},
        {std::errc::device_or_resource_busy, ERROR_BUSY},
    };
    for (const auto& [condition, windows] : kWindowsCodes)
        if (code == condition)
            return FormatWindowsError(what, windows);
    return txt::format(L"{} : erreur {}", what, code.value());
}
