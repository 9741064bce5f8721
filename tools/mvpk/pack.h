// Packing a folder into an MVPK package: every regular file below it, by the byte order of
// its path, in blocks compressed with the Compression API's LZMS.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace mvpk_tool {

constexpr std::uint64_t kDefaultBlockSize = 33554432;
constexpr std::uint64_t kMaxBlockSize = 0x40000000; // 1 GiB

struct PackSummary {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
    std::uint64_t packageSize = 0;
};

struct SourceFile {
    std::filesystem::path full;
    std::string path; // as stored: UTF-8, relative, backslashes
    std::uint64_t size = 0;
    std::array<std::uint8_t, 32> sha256{};
};

// The metadata file's bytes, unchanged.
std::expected<std::string, std::string> ReadMetadataFile(const std::filesystem::path& file);

// Every regular file below the folder, by the byte order of its stored path; a link, an
// unreadable entry or a path the package format refuses is a failure.
std::expected<std::vector<SourceFile>, std::string> ListFolder(const std::filesystem::path& folder);

// Writes the package of the listed files to the file `package`; messages about that file
// name it as `packageName`. Long runs show their progress on standard error. On failure the
// package file is removed and the French message returned.
std::expected<PackSummary, std::string> PackFiles(std::vector<SourceFile> files,
                                                  std::string_view metadata,
                                                  const std::filesystem::path& package,
                                                  const std::string& packageName,
                                                  std::uint64_t blockSize);

} // namespace mvpk_tool
