#include "setup/elevation.h"

#include "setup/handles.h"
#include "setup/own_program.h"
#include "setup/temporary_copy.h"

#include <shellapi.h>

#include <filesystem>

bool IsProcessElevated() {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD returned = 0;
    if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation),
                               &returned))
        return false;
    return elevation.TokenIsElevated != 0;
}

int StartElevatedAndWait(const std::filesystem::path& program, const std::wstring& parameters,
                         HWND owner, bool silent) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    // A silent run may be a deployment tool's, which nobody watches: a box saying the start
    // failed would hold it for ever. The elevation prompt itself still shows.
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | (silent ? SEE_MASK_FLAG_NO_UI : 0);
    info.hwnd = owner;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!::ShellExecuteExW(&info) || info.hProcess == nullptr)
        return ::GetLastError() == ERROR_CANCELLED ? ERROR_CANCELLED : 1603;

    UniqueHandle process(info.hProcess);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 1603;
    if (!::GetExitCodeProcess(process.get(), &code))
        code = 1603;
    return static_cast<int>(code);
}

namespace {

// The path that the system itself gives the held copy, after every junction, link and mount
// point on the way: the name under which it is started must not go through a link that the
// user who started the program may retarget meanwhile (their temporary folder, or a TMP of
// their choosing, may lie behind one). The folders left in it cannot be renamed or replaced
// while a file below them is held. The path as made when the system gives none.
std::filesystem::path FinalPath(HANDLE file, const std::filesystem::path& made) {
    std::wstring path(1040, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(
        file, path.data(), static_cast<DWORD>(path.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= path.size())
        return made;
    path.resize(length);
    // "\\?\C:\..." and "\\?\UNC\server\share\...", written as the shell expects them.
    if (path.starts_with(L"\\\\?\\UNC\\"))
        return L"\\\\" + path.substr(8);
    if (path.starts_with(L"\\\\?\\") && path.size() > 6 && path[5] == L':')
        return path.substr(4);
    return made;
}

} // namespace

int RelaunchElevated(const SetupOptions& options, HWND owner) {
    SetupOptions copy = options;
    copy.elevated = true;

    // Never by the program's own name: the folders above it may be a junction or a share that
    // the user who started it retargets at will (the held file pins only its last element).
    // The elevated process runs from a copy of the held file, in the caller's own temporary
    // folder, kept unchanged by its handle until that process has ended.
    const auto own = OwnProgramFile();
    if (!own)
        return 1603;
    wchar_t self[1040] = {};
    ::GetModuleFileNameW(nullptr, self, static_cast<DWORD>(std::size(self)));
    // Named after the program, for whoever reads the prompt's details; cut so that the
    // temporary folder's path stays well within the usual limit.
    const std::wstring stem = std::filesystem::path(self).stem().native().substr(0, 64);
    auto made = MakeTemporaryCopy(*own, (stem.empty() ? L"setup" : stem) + L"-elevated");
    if (!made)
        return 1603;
    const int code = StartElevatedAndWait(FinalPath(made->kept.get(), made->path),
                                          BuildCommandLine(copy), owner, options.silent);
    RemoveTemporaryCopy(std::move(*made));
    return code;
}
