// Rights on the product's data directory.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

// Lets the Users group modify the folder and everything created below it.
std::expected<void, std::wstring> GrantUsersWriteAccess(const std::filesystem::path& folder);
