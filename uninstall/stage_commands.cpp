#include "uninstall/stage_commands.h"

#include "setup/paths.h"

SetupOptions SecondStageOptions(const SetupOptions& options,
                                const std::filesystem::path& installDir) {
    SetupOptions second = options;
    second.elevated = false;
    second.fromTemp = true;
    second.installDir = installDir.native();
    return second;
}

std::wstring SecondStageCommandLine(const std::filesystem::path& copyPath,
                                    const SetupOptions& secondStage) {
    return L"\"" + copyPath.native() + L"\"" + BuildCommandLine(secondStage);
}

std::wstring CleanupCommand(const std::filesystem::path& systemFolder,
                            const std::filesystem::path& copyPath) {
    return L"cmd.exe /D /C " + JoinPath(systemFolder, L"ping.exe").native() +
           L" 127.0.0.1 -n 3 > nul & del /F /Q \"" + copyPath.native() + L"\"";
}
