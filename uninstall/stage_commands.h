// The names and command lines that tie the uninstaller's processes together. Pure text.
#pragma once

#include "setup/command_line.h"

#include <windows.h>

#include <filesystem>
#include <string>

// The first stage's switches for the second stage: not elevated, from the temporary folder,
// and the folder of the running "Uninstall.exe" in place of any /D= it was given.
SetupOptions SecondStageOptions(const SetupOptions& options,
                                const std::filesystem::path& installDir);

// The quoted copy path followed by the switches.
std::wstring SecondStageCommandLine(const std::filesystem::path& copyPath,
                                    const SetupOptions& secondStage);

// cmd.exe waits about two seconds for the second stage to end, then deletes its file, the
// temporary copy, and nothing else: the install folder's last remains are the second stage's
// to remove, through handles. It reads nothing of the user's: /D leaves out the AutoRun
// commands of the registry, and ping is named by its full path in systemFolder, not looked up
// through PATH and PATHEXT.
std::wstring CleanupCommand(const std::filesystem::path& systemFolder,
                            const std::filesystem::path& copyPath);
