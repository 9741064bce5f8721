// How the two stages of an uninstallation wait for each other. The second stage removes the
// first stage's "Uninstall.exe", which it can only do once that process has ended; a silent
// first stage ends only once it knows the second stage's outcome, which it passes on as its
// own exit code. So the second stage gives its outcome first, through a pipe that the first
// stage made and gave it as its standard output, and then waits for the first stage to end.
#pragma once

#include "setup/handles.h"

#include <windows.h>

#include <optional>

// A pipe whose writing end a child inherits as its standard output; the reading end stays.
struct OutcomePipe {
    UniqueHandle read;
    UniqueHandle write;
};
// Empty handles when the pipe cannot be made.
OutcomePipe MakeOutcomePipe();

// The exit code the second stage wrote; nothing when it ended (or closed its end) without
// one. Waits as long as the second stage runs.
std::optional<DWORD> ReadOutcome(HANDLE read);

// Writes the exit code to the standard output when that is a pipe, as the first stage gives it.
void ReportOutcome(DWORD code);

// The process that started this one, with the right to wait for it: opened by its id, and
// only when it was created before this process (an id that has come back belongs to a later
// one). Empty when it has ended already.
UniqueHandle OpenStartingProcess();
