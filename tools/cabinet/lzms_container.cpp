#include "tools/cabinet/lzms_container.h"

#include <zlib.h>

#include <algorithm>
#include <limits>

namespace lzms_container {

namespace {

constexpr std::uint8_t kMagic[4] = {0x0A, 0x51, 0xE5, 0xC0};

std::uint64_t GetLe(const std::uint8_t* p, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | p[i];
    return value;
}

void PutLe(std::uint8_t* p, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The check byte covers every header byte but itself.
std::uint8_t CheckByte(const std::uint8_t* header) {
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, header, 6);
    crc = crc32(crc, header + 7, kHeaderSize - 7);
    return static_cast<std::uint8_t>(crc & 0xFF);
}

// What Windows writes: a size in the documented range, or, for a buffer smaller than the
// smallest, the buffer's own size (its only chunk).
bool IsValidChunkSize(std::uint64_t chunkSize, std::uint64_t total) {
    if (chunkSize == 0 || chunkSize > kMaxChunkSize)
        return false;
    return chunkSize >= kMinChunkSize || chunkSize == total;
}

} // namespace

std::uint64_t ChunkSizeFor(std::uint64_t total, std::uint64_t configured) {
    return total == 0 ? configured : std::min(total, configured);
}

std::uint64_t ChunkCount(std::uint64_t total, std::uint64_t chunkSize) {
    return total / chunkSize + (total % chunkSize != 0 ? 1 : 0);
}

std::optional<std::uint64_t> MaxBufferSize(std::uint64_t total, std::uint64_t chunkSize) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t records = ChunkCount(total, chunkSize);
    if (records > (kMax - kHeaderSize) / kRecordSize)
        return std::nullopt;
    const std::uint64_t framing = kHeaderSize + records * kRecordSize;
    if (total > kMax - framing)
        return std::nullopt;
    return framing + total;
}

std::array<std::uint8_t, kHeaderSize> MakeHeader(std::uint64_t total, std::uint64_t chunkSize) {
    std::array<std::uint8_t, kHeaderSize> header{};
    std::copy(std::begin(kMagic), std::end(kMagic), header.begin());
    PutLe(&header[4], kHeaderSize, 2);
    header[7] = kAlgorithmLzms;
    PutLe(&header[8], total, 8);
    PutLe(&header[16], chunkSize, 8);
    header[6] = CheckByte(header.data());
    return header;
}

std::optional<Layout> Parse(std::span<const std::uint8_t> buffer) {
    if (buffer.size() < kHeaderSize)
        return std::nullopt;
    const std::uint8_t* header = buffer.data();
    if (!std::equal(std::begin(kMagic), std::end(kMagic), header) ||
        GetLe(&header[4], 2) != kHeaderSize || header[7] != kAlgorithmLzms ||
        header[6] != CheckByte(header))
        return std::nullopt;
    Layout layout;
    layout.totalSize = GetLe(&header[8], 8);
    layout.chunkSize = GetLe(&header[16], 8);
    if (!IsValidChunkSize(layout.chunkSize, layout.totalSize))
        return std::nullopt;

    // Every chunk takes at least its record and one byte: a count the buffer cannot hold is
    // refused before anything is reserved for it.
    const std::uint64_t count = ChunkCount(layout.totalSize, layout.chunkSize);
    std::uint64_t left = buffer.size() - kHeaderSize;
    if (count > left / (kRecordSize + 1))
        return std::nullopt;
    layout.chunks.reserve(static_cast<std::size_t>(count));

    std::uint64_t offset = kHeaderSize;
    for (std::uint64_t i = 0; i < count; ++i) {
        Chunk chunk;
        chunk.outputOffset = i * layout.chunkSize;
        chunk.size = std::min(layout.chunkSize, layout.totalSize - chunk.outputOffset);
        if (left < kRecordSize)
            return std::nullopt;
        chunk.storedSize = GetLe(buffer.data() + offset, kRecordSize);
        offset += kRecordSize;
        left -= kRecordSize;
        // An LZMS stream is never empty and never larger than the chunk: a larger one is
        // not something the compressor writes.
        if (chunk.storedSize == 0 || chunk.storedSize > chunk.size || chunk.storedSize > left)
            return std::nullopt;
        chunk.dataOffset = offset;
        offset += chunk.storedSize;
        left -= chunk.storedSize;
        layout.chunks.push_back(chunk);
    }
    if (left != 0)
        return std::nullopt;
    return layout;
}

} // namespace lzms_container
