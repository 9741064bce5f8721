#include "tests/support/system_probe.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/handles.h"

#include <aclapi.h>
#include <shlobj.h>

#include <cstring>
#include <vector>

namespace testing_support {

bool KeyExists(HKEY hive, const std::wstring& subkey) {
    KeyHandle key;
    return ::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::optional<RegistryValue> ReadValue(HKEY hive, const std::wstring& subkey, const wchar_t* name) {
    KeyHandle key;
    if (::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return std::nullopt;
    RegistryValue value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    if (::RegQueryValueExW(key.get(), name, nullptr, &value.type,
                           reinterpret_cast<BYTE*>(value.bytes.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.bytes.resize(size);
    return value;
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
    if (!value || value->type != REG_DWORD || value->bytes.size() != 4)
        return std::nullopt;
    DWORD number = 0;
    std::memcpy(&number, value->bytes.data(), 4);
    return number;
}

void DeleteTree(HKEY hive, const std::wstring& subkey) {
    ::RegDeleteTreeW(hive, subkey.c_str());
    ::RegDeleteKeyW(hive, subkey.c_str());
}

void RemoveRegistration(const ProductInfo& info) {
    for (Scope scope : {Scope::Machine, Scope::User}) {
        DeleteTree(HiveFor(scope), UninstallKeyPath(info.product));
        DeleteTree(HiveFor(scope), info.registryKey);
        std::error_code ignored;
        std::filesystem::remove(ShortcutPath(info, scope), ignored);
    }
}

std::optional<ShortcutFields> LoadShortcut(const std::filesystem::path& link) {
    ComPtr<IShellLinkW> shellLink;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  shellLink.put_void())))
        return std::nullopt;
    ComPtr<IPersistFile> file;
    if (FAILED(shellLink.As(file)) || FAILED(file->Load(link.c_str(), STGM_READ)))
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
    int index = -1;
    if (SUCCEEDED(shellLink->GetIconLocation(buffer.data(), size, &index))) {
        fields.iconPath = buffer.data();
        fields.iconIndex = index;
    }
    return fields;
}

std::optional<AccessGrant> UsersGrant(const std::filesystem::path& folder) {
    BYTE sidBuffer[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(sidBuffer);
    if (!::CreateWellKnownSid(WinBuiltinUsersSid, nullptr, sidBuffer, &sidSize))
        return std::nullopt;
    PACL dacl = nullptr;
    LocalMemory descriptor;
    if (::GetNamedSecurityInfoW(
            folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
            nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put())) != ERROR_SUCCESS ||
        dacl == nullptr)
        return std::nullopt;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!::GetAce(dacl, i, &raw))
            continue;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (ace->Header.AceFlags & INHERITED_ACE) != 0)
            continue;
        if (::EqualSid(const_cast<DWORD*>(&ace->SidStart), sidBuffer))
            return AccessGrant{ace->Mask,
                               static_cast<DWORD>(ace->Header.AceFlags &
                                                  (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))};
    }
    return std::nullopt;
}

} // namespace testing_support
