// Copies of the program in the temporary folder, which a process of the program then runs
// from: the uninstaller's second stage, and the elevated copy that a program without
// administrator rights starts. The temporary folder belongs to the user (to every user, when
// a deployment tool runs as SYSTEM without the system's protected temporary folder), and
// programs of theirs could swap a copy before it starts.
#pragma once

#include "setup/handles.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// Writes the content of source into a new file at copy and returns a handle that keeps the
// copy as written: while it is held nobody can write, rename or delete the copy, and the
// system can still start a process from it. A file found at copy, planted or left over, is
// never reused. Empty when the copy cannot be made, or was changed by someone else while the
// handle that wrote it made way for the one that keeps it; what was written then goes again.
UniqueHandle CreateTemporaryCopy(HANDLE source, const std::filesystem::path& copy);

// The account's own temporary folder: GetTempPath2W where the system has it, so that SYSTEM
// gets its protected one rather than the Windows folder's Temp that every user may write to.
std::filesystem::path TemporaryFolder();

// "<stem>-<process id>.exe", then "<stem>-<process id>-<attempt>.exe" for later attempts:
// process identifiers come back, and a file left under a name is never reused.
std::wstring TemporaryCopyName(std::wstring_view stem, DWORD processId, int attempt);

struct TemporaryCopy {
    std::filesystem::path path;
    UniqueHandle kept; // as CreateTemporaryCopy returns it
};

// A copy of source in the temporary folder under the first name of TemporaryCopyName that
// is free, trying a few; nothing when none could be made.
std::optional<TemporaryCopy> MakeTemporaryCopy(HANDLE source, std::wstring_view stem);

// Deletes the copy once no process runs from it any more: through a handle of its own, and
// only while the name still gives the file that was kept (another file under it stays).
void RemoveTemporaryCopy(TemporaryCopy copy);
