// The product's registration: uninstall entry, install record and file types.
#pragma once

#include "setup/command_line.h"
#include "setup/metadata.h"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>

// Writes everything below the scope's hive only. Returns the text of the first required key
// that could not be created; what was written before it stays. dataDir is given only for a
// product with a data directory; the DataDir value is written only then.
std::expected<void, std::wstring>
RegisterProduct(Scope scope, const ProductInfo& info, const std::filesystem::path& installDir,
                const std::filesystem::path& exePath, const std::wstring& uninstallCommand,
                std::uint64_t totalSize, const std::optional<std::filesystem::path>& dataDir);
