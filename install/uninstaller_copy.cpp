#include "install/uninstaller_copy.h"

#include "install/registry.h"
#include "setup/handles.h"

#include <windows.h>

std::expected<void, std::wstring> CopyUninstaller(const std::filesystem::path& destination) {
    wchar_t self[1040];
    const DWORD length = ::GetModuleFileNameW(nullptr, self, 1040);
    // A cut path could name some other file; copying that would be worse than failing.
    if (length == 0 || length >= 1040) {
        const DWORD code = length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        return std::unexpected(FormatWindowsError(L"Copie du désinstalleur", code));
    }
    if (!::CopyFileW(self, destination.c_str(), FALSE))
        return std::unexpected(FormatWindowsError(L"Copie du désinstalleur", ::GetLastError()));

    const auto failed = [] {
        return std::unexpected(
            FormatWindowsError(L"Préparation du désinstalleur", ::GetLastError()));
    };
    // Until committed, the holder ends the update with discard, so a failed step leaves
    // the copy as it was instead of a half-rewritten file.
    ResourceUpdate update(::BeginUpdateResourceW(destination.c_str(), FALSE));
    if (!update)
        return failed();
    if (!::UpdateResourceW(update.get(), RT_RCDATA, L"PAYLOAD", 0, nullptr, 0))
        return failed();
    if (!update.Commit())
        return failed();
    return {};
}
