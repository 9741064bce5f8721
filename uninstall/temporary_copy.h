// The uninstaller's copy of itself in the temporary folder, which the second stage runs from,
// elevated for a per-machine product. The temporary folder belongs to the user (to every user,
// when a deployment tool runs as SYSTEM without the system's protected temporary folder), and
// programs of theirs could swap the copy before it starts.
#pragma once

#include "setup/handles.h"

#include <filesystem>

// Writes the content of source into a new file at copy and returns a handle that keeps the
// copy as written: while it is held nobody can write, rename or delete the copy, and the
// system can still start a process from it. A file found at copy, planted or left over, is
// never reused. Empty when the copy cannot be made, or was changed by someone else while the
// handle that wrote it made way for the one that keeps it; what was written then goes again.
UniqueHandle CreateTemporaryCopy(HANDLE source, const std::filesystem::path& copy);

// Deletes the copy that kept holds, and only that file: a second stage that could not start
// from it leaves nothing behind.
void DiscardTemporaryCopy(UniqueHandle kept, const std::filesystem::path& copy);
