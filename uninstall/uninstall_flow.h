// The two-stage uninstaller run by "Uninstall.exe /UNINSTALL".
#pragma once

#include "setup/command_line.h"
#include "setup/metadata.h"

#include <windows.h>

#include <functional>

// How the flow learns whether it has administrator rights and hands over when it has not.
// The program always uses the system's; tests pass their own to reach the hand-over, which
// Wine (where every process is elevated) never takes.
struct ElevationService {
    std::function<bool()> isElevated;
    std::function<int(const SetupOptions&, HWND)> relaunchElevated;
};

// Returns the process exit code.
int RunUninstall(const SetupOptions& options, const ProductInfo& info);
int RunUninstall(const SetupOptions& options, const ProductInfo& info,
                 const ElevationService& elevation);
