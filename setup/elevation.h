// Whether this process runs elevated, and the elevated copy of the program that does the
// work when it does not.
#pragma once

#include "setup/command_line.h"

#include <windows.h>

#include <filesystem>
#include <string>

bool IsProcessElevated();

// Starts a copy of this executable, made from the file the process runs from, through the
// elevation prompt with the same switches plus /ELEVATED and waits for it; the copy is
// deleted afterwards. Returns its exit code; 1223 when the prompt was declined, 1603 when it
// could not be started or its code could not be read. A silent run shows no box of its own.
int RelaunchElevated(const SetupOptions& options, HWND owner);

// The start itself: program through the elevation prompt with parameters, then the wait.
// silent keeps the shell from showing a box when the start fails.
int StartElevatedAndWait(const std::filesystem::path& program, const std::wstring& parameters,
                         HWND owner, bool silent);
