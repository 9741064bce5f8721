#include "setup/elevation.h"

#include "setup/handles.h"
#include "setup/own_program.h"

#include <shellapi.h>

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

int RelaunchElevated(const SetupOptions& options, HWND owner) {
    SetupOptions copy = options;
    copy.elevated = true;
    const std::wstring parameters = BuildCommandLine(copy);

    // Started by its name: while the program's own file is held, nobody can rename it or put
    // another under that name, but before it was held someone may have.
    if (!OwnProgramFile())
        return 1603;
    wchar_t self[1040] = {};
    ::GetModuleFileNameW(nullptr, self, static_cast<DWORD>(std::size(self)));

    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
    info.hwnd = owner;
    info.lpVerb = L"runas";
    info.lpFile = self;
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
