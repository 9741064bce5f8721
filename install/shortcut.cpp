#include "install/shortcut.h"

#include "install/registry.h"
#include "setup/handles.h"
#include "setup/paths.h"

#include <windows.h>
#include <knownfolders.h>
#include <objbase.h>
#include <objidl.h>
#include <shlobj.h>

std::filesystem::path ShortcutPath(const ProductInfo& info, Scope scope) {
    const auto programs =
        KnownFolderPath(scope == Scope::Machine ? FOLDERID_CommonPrograms : FOLDERID_Programs);
    return JoinPath(programs, info.product + L".lnk");
}

std::expected<void, std::wstring> CreateShortcut(const std::filesystem::path& shortcut,
                                                 const std::filesystem::path& target,
                                                 const ProductInfo& info) {
    const std::wstring what = L"Création du raccourci " + shortcut.native();
    // An unresolved Programs folder leaves a bare file name; saving it would drop the link
    // into whatever the current folder happens to be.
    if (!shortcut.is_absolute())
        return std::unexpected(FormatWindowsError(what, ERROR_BAD_PATHNAME));

    ComPtr<IShellLinkW> link;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                    link.put_void());
    if (FAILED(hr))
        return std::unexpected(FormatWindowsError(what, static_cast<DWORD>(hr)));

    link->SetPath(target.c_str());
    link->SetWorkingDirectory(target.parent_path().c_str());
    link->SetDescription(info.product.c_str());
    link->SetIconLocation(target.c_str(), 0);

    ComPtr<IPersistFile> file;
    hr = link.As(file);
    if (SUCCEEDED(hr))
        hr = file->Save(shortcut.c_str(), TRUE);
    if (FAILED(hr))
        return std::unexpected(FormatWindowsError(what, static_cast<DWORD>(hr)));
    return {};
}
