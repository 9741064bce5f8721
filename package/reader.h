// The MVPK package: a validated, immutable index over package bytes held elsewhere.
// This header and the reader's parsing use no Windows header, so they also build natively.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mvpk {

struct PackageEntry {
    std::string path; // UTF-8 bytes exactly as stored
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::array<std::uint8_t, 32> sha256{};
};

struct PackageBlock {
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;       // once decompressed
    std::uint64_t dataOffset = 0; // from the start of the package, computed by the reader
};

// (bytes done, bytes total), once per decompressed block. May be empty.
using ByteProgressCallback = std::function<void(std::uint64_t, std::uint64_t)>;

inline constexpr std::size_t kHeaderSize = 32;

class Reader {
  public:
    // Validates the whole index; the bytes must outlive the reader and never change.
    static std::expected<Reader, std::string> Open(std::span<const std::byte> data);

    std::span<const std::byte> data() const { return data_; }
    const std::vector<PackageEntry>& entries() const { return entries_; }
    const std::vector<PackageBlock>& blocks() const { return blocks_; }
    std::uint64_t totalSize() const { return totalSize_; }

    // Writes every file below destination, verifying each digest; with an empty
    // destination only verifies. Messages are UTF-8 French text.
    std::expected<void, std::string> Extract(const std::filesystem::path& destination,
                                             const ByteProgressCallback& progress) const;

  private:
    Reader() = default;

    std::span<const std::byte> data_;
    std::vector<PackageEntry> entries_;
    std::vector<PackageBlock> blocks_;
    std::uint64_t totalSize_ = 0;
};

// A stored path may be installed only when it stays below the install folder and names there
// what Windows writes under that very name: no element ending in a dot or a space, no device.
bool IsSafePackagePath(std::string_view path);

} // namespace mvpk
