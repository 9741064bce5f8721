#include "tests/support/system_probe.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/handles.h"
#include "tests/support/test_support.h"

#include <shlobj.h>

#include <cstring>
#include <vector>

namespace testing_support {

bool KeyExists(HKEY hive, const std::wstring& subkey) {
    KeyHandle key;
    return ::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

namespace {

// A value's type and bytes as stored, without the fix-ups RegGetValueW makes.
std::optional<std::pair<DWORD, std::string>> RawValue(HKEY hive, const std::wstring& subkey,
                                                      const wchar_t* name) {
    KeyHandle key;
    DWORD type = 0;
    char data[4096];
    DWORD size = sizeof(data);
    if (::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS)
        return std::nullopt;
    return std::pair{type, std::string(data, size)};
}

} // namespace

std::optional<std::wstring> ReadStringValue(HKEY hive, const std::wstring& subkey,
                                            const wchar_t* name) {
    const auto value = RawValue(hive, subkey, name);
    // Written with the terminator: anything else is a fault the caller should see.
    if (!value || value->first != REG_SZ || value->second.size() % 2 != 0 ||
        value->second.size() < 2 ||
        value->second.substr(value->second.size() - 2) != std::string(2, '\0'))
        return std::nullopt;
    std::wstring text(value->second.size() / 2 - 1, L'\0');
    std::memcpy(text.data(), value->second.data(), text.size() * 2);
    return text;
}

std::optional<DWORD> ReadDwordValue(HKEY hive, const std::wstring& subkey, const wchar_t* name) {
    const auto value = RawValue(hive, subkey, name);
    DWORD number = 0;
    if (!value || value->first != REG_DWORD || value->second.size() != 4)
        return std::nullopt;
    std::memcpy(&number, value->second.data(), 4);
    return number;
}

void WriteStringValue(HKEY hive, const std::wstring& subkey, const wchar_t* name,
                      const std::wstring& text) {
    KeyHandle key;
    if (::RegCreateKeyExW(hive, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                          nullptr) == ERROR_SUCCESS)
        ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void DeleteTree(HKEY hive, const std::wstring& subkey) {
    ::RegDeleteTreeW(hive, subkey.c_str());
    ::RegDeleteKeyW(hive, subkey.c_str());
}

ProductInfo ProductOf(const std::filesystem::path& setupProgram) {
    return LoadProductInfo(ParseMetadata(ResourceBytes(setupProgram, L"METADATA")));
}

void RemoveProduct(const ProductInfo& info, const std::filesystem::path& folder) {
    // Without a name its folders would be the known folders themselves.
    if (info.product.empty())
        return;
    std::error_code ignored;
    for (Scope scope : {Scope::User, Scope::Machine}) {
        const HKEY hive = HiveFor(scope);
        DeleteTree(hive, UninstallKeyPath(info.product));
        DeleteTree(hive, info.registryKey);
        // The maker's key, only when nothing else is left in it.
        ::RegDeleteKeyW(hive, info.registryKey.substr(0, info.registryKey.rfind(L'\\')).c_str());
        for (const FileType& type : info.fileTypes) {
            DeleteTree(hive, L"Software\\Classes\\" + MakeProgId(info.product, type.extension));
            DeleteTree(hive, L"Software\\Classes\\" + type.extension);
        }
        std::filesystem::remove(ShortcutPath(info, scope), ignored);
        if (const auto data = DataDirectory(info.product, scope).parent_path(); data.is_absolute())
            std::filesystem::remove_all(data, ignored);
        std::filesystem::remove_all(DefaultInstallFolder(info.product, scope), ignored);
    }
    if (!folder.empty())
        std::filesystem::remove_all(folder, ignored);
}

std::optional<ShortcutFields> LoadShortcut(const std::filesystem::path& link) {
    ComPtr<IShellLinkW> shellLink;
    ComPtr<IPersistFile> file;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  shellLink.put_void())) ||
        FAILED(shellLink.As(file)) || FAILED(file->Load(link.c_str(), STGM_READ)))
        return std::nullopt;
    ShortcutFields fields;
    std::vector<wchar_t> buffer(MAX_PATH * 4);
    const int size = static_cast<int>(buffer.size());
    if (SUCCEEDED(shellLink->GetPath(buffer.data(), size, nullptr, 0)))
        fields.target = buffer.data();
    if (SUCCEEDED(shellLink->GetWorkingDirectory(buffer.data(), size)))
        fields.workingDirectory = buffer.data();
    if (SUCCEEDED(shellLink->GetDescription(buffer.data(), size)))
        fields.description = buffer.data();
    if (SUCCEEDED(shellLink->GetIconLocation(buffer.data(), size, &fields.iconIndex)))
        fields.iconPath = buffer.data();
    return fields;
}

} // namespace testing_support
