// Whether this process runs elevated, and the elevated copy of the program that does the
// work when it does not.
#pragma once

#include "setup/command_line.h"

#include <windows.h>

bool IsProcessElevated();

// Starts this executable again through the elevation prompt with the same switches plus
// /ELEVATED and waits for it. Returns its exit code; 1223 when the prompt was declined,
// 1603 when it could not be started or its code could not be read, or when the file under the
// program's name is not the one that runs.
int RelaunchElevated(const SetupOptions& options, HWND owner);
