// Packages built from bytes for the tests: every field of the package layout can be set,
// including the wrong values that the reader must refuse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace package_testing {

using Digest = std::array<std::uint8_t, 32>;

struct FileRecord {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    Digest sha256{};
    std::string path;
    std::optional<std::uint16_t> pathLength; // when it should differ from path.size()
};

struct BlockRecord {
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
};

// The fields of a package, written out by Bytes() exactly as they are.
struct Layout {
    std::string magic = "MVPK";
    std::uint32_t version = 1;
    std::optional<std::uint32_t> fileCount;  // default: files.size()
    std::optional<std::uint32_t> blockCount; // default: blocks.size()
    std::uint64_t totalSize = 0;
    std::optional<std::uint32_t> metadataLength; // default: metadata.size()
    std::uint32_t reserved = 0;
    std::string metadata;
    std::vector<FileRecord> files;
    std::vector<BlockRecord> blocks;
    std::string data; // the compressed blocks, back to back, and anything after them

    std::string Bytes() const;
};

struct SourceFile {
    std::string path;
    std::string content;
};

// Turns one block of the content stream into its stored bytes.
using BlockCompressor = std::function<std::string(std::string_view)>;

// Identity: enough for the reader, which never decompresses.
std::string StoreAsIs(std::string_view block);
// The Compression API's LZMS buffer compressor, loaded like the extraction loads it.
std::string CompressLzms(std::string_view block);

// A consistent layout: contiguous offsets, real digests, the content stream cut into
// blocks of the given uncompressed sizes (the last size repeats as needed).
Layout MakeLayout(const std::vector<SourceFile>& files, std::vector<std::uint64_t> blockSizes,
                  const BlockCompressor& compress = CompressLzms,
                  std::string metadata = "product=Test\n");

Digest Sha256(std::string_view bytes);

inline std::span<const std::byte> AsBytes(std::string_view bytes) {
    return {reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()};
}

} // namespace package_testing
