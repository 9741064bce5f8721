// The running program's own file. A running program's file can be renamed and another put
// under its name: every copy of the program is made from a handle opened at the start of the
// run, checked to be the file the process runs from, and held until the process ends.
#pragma once

#include <windows.h>

#include <expected>
#include <filesystem>

// The program's own file, opened on the first call (the entry point's first) sharing only
// reading; or the Windows error why it is not held, ERROR_FILE_INVALID when the file under
// the program's name is no longer the one that runs.
std::expected<HANDLE, DWORD> OwnProgramFile();

// Whether the file at path is the program's own file itself, not a copy of it.
bool IsOwnProgram(const std::filesystem::path& file);

// Writes all of from's content to to, both read and written at explicit offsets from their
// start. 0 or the Windows error.
DWORD CopyContent(HANDLE from, HANDLE to);

// Whether the two files hold the same bytes.
bool SameContent(HANDLE a, HANDLE b);
