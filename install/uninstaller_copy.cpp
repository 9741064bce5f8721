#include "install/uninstaller_copy.h"

#include "install/registry.h"
#include "setup/handles.h"
#include "setup/held_entries.h"
#include "setup/own_program.h"

#include <windows.h>

std::expected<void, std::wstring> CopyUninstaller(const std::filesystem::path& destination) {
    const auto copyFailed = [](DWORD code) {
        return std::unexpected(FormatWindowsError(L"Copie du désinstalleur", code));
    };
    // From the file the process runs from, held since the start: the name it was started by
    // may have been given to another file since.
    const auto own = OwnProgramFile();
    if (!own)
        return copyFailed(own.error());
    {
        // Below the folder's handle, as the extraction writes: a link or a second name (hard
        // link) that another user put there is refused, never written through.
        const UniqueHandle folder = OpenFolder(destination.parent_path());
        if (!folder)
            return copyFailed(::GetLastError());
        const auto copy = OpenFileToWrite(folder.get(), destination.filename().native());
        if (!copy)
            return copyFailed(copy.error());
        if (const DWORD code = CopyContent(*own, copy->get()); code != 0)
            return copyFailed(code);
    }

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
