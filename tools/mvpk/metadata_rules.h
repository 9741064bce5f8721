// What a product's description must hold before mvpk makes a setup program of it. The
// setup program takes whatever it is given and fills in defaults, so a missing name or a
// program that is not in the package would be installed without a word: under another
// product's name and key, or with a dead shortcut.
#pragma once

#include "setup/metadata.h"
#include "tools/mvpk/pack.h"

#include <expected>
#include <span>
#include <string>

namespace mvpk_tool {

// Product, Version and Publisher given, Product usable as a folder's name, RegistryKey below
// Software\, DataDir yes or no, every non-empty FileTypes entry .ext=Description. The first
// fault is returned as a French message naming the value, or the file for a missing one.
std::expected<void, std::string> CheckMetadata(const MetadataMap& map, const std::string& fileName);

// The program the product starts (Exe, or Product followed by ".exe") must be one of the
// packed files, its name compared as Windows compares names: ignoring case, either slash.
std::expected<void, std::string> CheckExe(const MetadataMap& map,
                                          std::span<const SourceFile> files);

} // namespace mvpk_tool
