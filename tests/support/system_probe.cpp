#include "tests/support/system_probe.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/handles.h"
#include "tests/support/test_support.h"

#include <shlobj.h>

#include <cstring>
#include <vector>

namespace testing_support {

namespace {

struct RegistryValue {
    DWORD type = 0;
    std::string bytes;
};

std::optional<RegistryValue> ReadValue(HKEY hive, const std::wstring& subkey, const wchar_t* name) {
    KeyHandle key;
    DWORD size = 0;
    RegistryValue value;
    if (::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type,
                           reinterpret_cast<BYTE*>(value.bytes.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    return value;
}

} // namespace

bool KeyExists(HKEY hive, const std::wstring& subkey) {
    KeyHandle key;
    return ::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::optional<std::wstring> ReadStringValue(HKEY hive, const std::wstring& subkey,
                                            const wchar_t* name) {
    const auto value = ReadValue(hive, subkey, name);
    if (!value || value->type != REG_SZ || value->bytes.size() % 2 != 0 || value->bytes.size() < 2)
        return std::nullopt;
    std::wstring text(value->bytes.size() / 2, L'\0');
    std::memcpy(text.data(), value->bytes.data(), value->bytes.size());
    // Written with the terminator: anything else is a fault the caller should see.
    if (text.back() != L'\0')
        return std::nullopt;
    text.pop_back();
    return text;
}

std::optional<DWORD> ReadDwordValue(HKEY hive, const std::wstring& subkey, const wchar_t* name) {
    const auto value = ReadValue(hive, subkey, name);
    DWORD number = 0;
    if (!value || value->type != REG_DWORD || value->bytes.size() != 4)
        return std::nullopt;
    std::memcpy(&number, value->bytes.data(), 4);
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
