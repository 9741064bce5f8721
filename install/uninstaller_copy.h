// "Uninstall.exe": this program copied without its package.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

std::expected<void, std::wstring> CopyUninstaller(const std::filesystem::path& destination);
