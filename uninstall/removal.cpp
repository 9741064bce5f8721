#include "uninstall/removal.h"

#include "install/file_removal.h"
#include "setup/held_entries.h"
#include "install/install.h"
#include "install/installed_files.h"
#include "install/previous_version.h"
#include "install/registry.h"
#include "install/running_instance.h"
#include "install/shortcut.h"
#include "setup/handles.h"
#include "setup/paths.h"

#include <shlobj.h>

#include <cwctype>

namespace {

namespace fs = std::filesystem;

// A path that came out relative (a known folder that could not be resolved, an empty
// record) would name something below whatever the current folder happens to be.
bool IsRemovable(const fs::path& path) {
    return path.is_absolute();
}

// A path ending in a separator names its parent key: with an empty product name the tree
// would be every program's uninstall entry.
void DeleteKeyTree(HKEY hive, const std::wstring& subKey) {
    if (subKey.empty() || IsPathSeparator(subKey.back()))
        return;
    ::RegDeleteTreeW(hive, subKey.c_str());
    ::RegDeleteKeyW(hive, subKey.c_str());
}

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return true;
}

void DeleteValue(HKEY hive, const std::wstring& subKey, const wchar_t* name) {
    KeyHandle key;
    if (::RegOpenKeyExW(hive, subKey.c_str(), 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
        ::RegDeleteValueW(key.get(), name);
}

// The application key, then each parent up to but not including "Software".
void DeleteApplicationKeys(HKEY hive, std::wstring key) {
    while (!key.empty() && !EqualsIgnoringCase(key, L"Software")) {
        DeleteKeyIfEmpty(hive, key);
        const size_t cut = key.rfind(L'\\');
        key.resize(cut == std::wstring::npos ? 0 : cut);
    }
}

void DeleteFileTypes(HKEY hive, const ProductInfo& info) {
    for (const FileType& type : info.fileTypes) {
        const std::wstring progId = MakeProgId(info.product, type.extension);
        const std::wstring extensionKey = L"Software\\Classes\\" + type.extension;
        const std::wstring openWith = extensionKey + L"\\OpenWithProgids";

        // With an empty product name the ProgID is the extension itself: that key is shared
        // with every program that opens the extension and is never deleted whole.
        if (!progId.starts_with(L'.'))
            DeleteKeyTree(hive, L"Software\\Classes\\" + progId);
        DeleteValue(hive, openWith, progId.c_str());
        DeleteKeyIfEmpty(hive, openWith);
        // The extension may since have been taken over by another program.
        if (ReadRegistryString(hive, extensionKey, nullptr) == progId)
            DeleteValue(hive, extensionKey, nullptr);
        DeleteKeyIfEmpty(hive, extensionKey);
    }
    if (!info.fileTypes.empty())
        ::SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

// Users may write below the data directory: whatever they put there goes with it, but a link
// of theirs is removed as a link and never followed. Only a folder that the plain removal
// found not empty is removed with its content; one that is missing or cannot be removed for
// another reason is left as it is. Users may also replace the product's own folder, by a link
// to a folder that has a "Data" of its own: Data is opened from the product's folder, held and
// checked, and never through a link.
void RemoveDataDirectory(const fs::path& dataDir) {
    if (!IsRemovable(dataDir))
        return;
    const auto product = OpenPath(dataDir.parent_path());
    if (!product)
        return;
    if (product->kind == EntryKind::Folder)
        if (const auto data = OpenEntry(product->handle.get(), dataDir.filename().native()))
            if (DeleteEntry(*data) == ERROR_DIR_NOT_EMPTY && data->kind == EntryKind::Folder) {
                RemoveContent(data->handle.get());
                DeleteEntry(*data);
            }
    // The product's own folder, only when nothing else is left in it (or as a link).
    if (product->kind != EntryKind::File)
        DeleteEntry(*product);
}

std::expected<void, std::wstring> UninstallSteps(const ProductInfo& info, Scope scope,
                                                 const fs::path& installDir, bool removeData) {
    if (!FindRunningInstance(info, installDir).empty())
        return std::unexpected(RunningInstanceMessage(info));

    const HKEY hive = HiveFor(scope);
    fs::path dataDir;
    if (info.hasDataDir)
        dataDir = RecordedDataDirectory(info, scope);

    if (IsRemovable(installDir)) {
        RemoveListedFiles(installDir, ReadInstalledFilesList(installDir));
        // What an upgrade kept of the version before, should it still be there.
        RemoveBackup(installDir);
        RemoveEmptyFolder(installDir);
    }

    if (const fs::path shortcut = ShortcutPath(info, scope); IsRemovable(shortcut))
        RemoveEntry(shortcut);

    DeleteKeyTree(hive, UninstallKeyPath(info.product));
    DeleteKeyTree(hive, info.registryKey + L"\\Install");
    DeleteApplicationKeys(hive, info.registryKey);
    DeleteFileTypes(hive, info);

    if (removeData && info.hasDataDir)
        RemoveDataDirectory(dataDir);
    return {};
}

} // namespace

fs::path RecordedDataDirectory(const ProductInfo& info, Scope scope) {
    if (auto recorded =
            ReadRegistryString(HiveFor(scope), info.registryKey + L"\\Install", L"DataDir"))
        return fs::path(std::move(*recorded));
    return DataDirectory(info.product, scope);
}

void DeleteKeyIfEmpty(HKEY hive, const std::wstring& subKey) {
    DWORD subKeys = 0;
    DWORD values = 0;
    {
        KeyHandle key;
        if (::RegOpenKeyExW(hive, subKey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
            return;
        ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr,
                           &values, nullptr, nullptr, nullptr, nullptr);
    }
    if (subKeys == 0 && values == 0)
        ::RegDeleteKeyW(hive, subKey.c_str());
}

std::expected<void, std::wstring> Uninstall(const ProductInfo& info, Scope scope,
                                            const fs::path& installDir, bool removeData) {
    // A folder that cannot be made canonical leaves the running check by exception; here it
    // becomes the failure, as nothing has been touched yet.
    try {
        return UninstallSteps(info, scope, installDir, removeData);
    } catch (...) {
        return std::unexpected(CurrentExceptionText());
    }
}
