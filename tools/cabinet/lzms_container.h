// The buffer format of the Windows Compression API's LZMS buffer mode, as Windows' own
// Compress writes it (tests/package/lzms-fixtures holds such buffers):
//   0   u32 0xC0E5510A
//   4   u16 header size, 24
//   6   u8  check: low byte of the CRC-32 of bytes 0-5 followed by bytes 7-23
//   7   u8  algorithm, 5 (LZMS)
//   8   u64 uncompressed size of the whole buffer
//   16  u64 chunk size: the uncompressed size of every chunk but the last
//   24  chunks back to back: u32 stored size, then that many bytes. A chunk whose stored
//       size equals its uncompressed size holds its bytes as they are; any other is one
//       LZMS stream, strictly smaller than the chunk.
// All integers little-endian. Plain C++ with no system dependency, so that the Wine module
// and a native fuzzer share it; the LZMS streams themselves are left to the caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace lzms_container {

inline constexpr std::size_t kHeaderSize = 24;
inline constexpr std::size_t kRecordSize = 4;
inline constexpr std::uint8_t kAlgorithmLzms = 5;
// The range the API documents for COMPRESS_INFORMATION_CLASS_BLOCK_SIZE.
inline constexpr std::uint64_t kMinChunkSize = 65536;
inline constexpr std::uint64_t kMaxChunkSize = 67108864;

struct Chunk {
    std::uint64_t dataOffset = 0;   // of its stored bytes, in the buffer
    std::uint64_t storedSize = 0;   // bytes in the buffer
    std::uint64_t outputOffset = 0; // of its uncompressed bytes, in the output
    std::uint64_t size = 0;         // uncompressed bytes
    bool stored() const { return storedSize == size; }
};

struct Layout {
    std::uint64_t totalSize = 0;
    std::uint64_t chunkSize = 0;
    std::vector<Chunk> chunks;
};

// The chunk size a compressor configured for `configured` writes for `total` bytes: one
// chunk holds a buffer smaller than that, as Windows does. An empty buffer keeps the
// configured size, since a zero chunk size is never valid.
std::uint64_t ChunkSizeFor(std::uint64_t total, std::uint64_t configured);

// Number of chunks of `total` bytes cut in `chunkSize` pieces (chunkSize > 0).
std::uint64_t ChunkCount(std::uint64_t total, std::uint64_t chunkSize);

// The largest buffer the compressor can write for `total` bytes: every chunk stored. Empty
// when that does not fit in 64 bits.
std::optional<std::uint64_t> MaxBufferSize(std::uint64_t total, std::uint64_t chunkSize);

// The 24 header bytes, check byte included.
std::array<std::uint8_t, kHeaderSize> MakeHeader(std::uint64_t total, std::uint64_t chunkSize);

// The buffer's layout once every field and record has been checked: the header (size,
// check byte, algorithm, a chunk size the API can have written), every record and every
// chunk inside the buffer, no chunk stored larger than its share, nothing after the last
// chunk. Empty for any damage. The chunks' contents are not looked at.
std::optional<Layout> Parse(std::span<const std::uint8_t> buffer);

} // namespace lzms_container
