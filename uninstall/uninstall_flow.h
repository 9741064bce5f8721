// The two-stage uninstaller run by "Uninstall.exe /UNINSTALL".
#pragma once

#include "setup/command_line.h"
#include "setup/metadata.h"

// Returns the process exit code.
int RunUninstall(const SetupOptions& options, const ProductInfo& info);
