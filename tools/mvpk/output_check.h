// Where mvpk may write what it makes: never over one of its inputs, and never below the
// folder it packs, or every rebuild would pack the previous output into the next one.
#pragma once

#include "tools/mvpk/pack.h"

#include <expected>
#include <filesystem>
#include <span>
#include <string>

namespace mvpk_tool {

// Compared by the identity the system gives files and folders (volume serial and file
// index), so that case, "..", short names, drive letters and links make no difference: the
// output itself when it exists against the inputs and the listed files of the folder, and
// the output and each folder above it against the folder. A French message on refusal.
std::expected<void, std::string> CheckOutput(const std::filesystem::path& output,
                                             const std::filesystem::path& folder,
                                             std::span<const std::filesystem::path> inputs,
                                             std::span<const SourceFile> files);

} // namespace mvpk_tool
