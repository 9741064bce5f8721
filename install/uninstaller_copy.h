// "Uninstall.exe": this program copied without its package.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

// Copies the running executable (the file it runs from, whatever its name has become) to
// destination, replacing a plain file there (a link, a folder or a file with other names is
// refused, and left as it is), and removes the neutral RT_RCDATA "PAYLOAD" resource
// from the copy. A failed resource step discards the update; the copy then stays as copied,
// payload included.
std::expected<void, std::wstring> CopyUninstaller(const std::filesystem::path& destination);
