// Packages built from bytes for the tests: every record can be set, including the wrong
// values that the reader must refuse.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace package_testing {

struct FileRecord {
    std::uint64_t offset = 0, size = 0;
    std::array<std::uint8_t, 32> sha256{};
    std::string path;
};

struct BlockRecord {
    std::uint64_t compressedSize = 0, size = 0;
};

// Written out by Bytes() as they are, after the header: "MVPK", version 1, the counts of the
// vectors, the total, the metadata's length and the reserved word 0.
struct Layout {
    std::uint64_t totalSize = 0;
    std::string metadata;
    std::vector<FileRecord> files;
    std::vector<BlockRecord> blocks;
    std::string data; // the compressed blocks, back to back, and anything after them

    std::string Bytes() const;
};

struct SourceFile {
    std::string path, content;
};

// A consistent layout: contiguous offsets, real digests, the content stream cut into
// blocks of the given uncompressed sizes (the last size repeats as needed), each compressed
// with the Compression API's LZMS buffer compressor, loaded as the extraction loads it.
Layout MakeLayout(const std::vector<SourceFile>& files, std::vector<std::uint64_t> blockSizes);

// The bytes with value written little-endian over width bytes at offset.
std::string Patched(std::string bytes, std::size_t offset, std::uint64_t value, int width);

// A stored path as a path below a folder, its UTF-8 converted by the standard library.
inline std::filesystem::path StoredPath(std::string_view stored) {
    return std::u8string(stored.begin(), stored.end());
}

inline std::span<const std::byte> AsBytes(std::string_view bytes) {
    return {reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()};
}

} // namespace package_testing
