// The Start-menu shortcut of the product.
#pragma once

#include "setup/command_line.h"
#include "setup/metadata.h"

#include <expected>
#include <filesystem>
#include <string>

// The scope's Programs folder joined with the product name and ".lnk".
std::filesystem::path ShortcutPath(const ProductInfo& info, Scope scope);
// Needs a COM apartment on the calling thread.
std::expected<void, std::wstring> CreateShortcut(const std::filesystem::path& shortcut,
                                                 const std::filesystem::path& target,
                                                 const ProductInfo& info);
