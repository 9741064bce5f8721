// libFuzzer target: Reader::Open and IsSafePackagePath on arbitrary bytes, built natively
// with AddressSanitizer and UndefinedBehaviorSanitizer by scripts/fuzz. An opened reader's
// index is checked against the reader's guarantees; a breach aborts like a sanitizer report.
#include "package/reader.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
    (void)mvpk::IsSafePackagePath(std::string_view(reinterpret_cast<const char*>(data), size));

    auto reader = mvpk::Reader::Open(bytes);
    if (!reader)
        return 0;
    if (reader->data().data() != bytes.data() || reader->data().size() != size)
        std::abort();
    std::uint64_t offset = 0;
    for (const mvpk::PackageEntry& entry : reader->entries()) {
        if (entry.offset != offset || !mvpk::IsSafePackagePath(entry.path))
            std::abort();
        offset += entry.size;
    }
    if (offset != reader->totalSize())
        std::abort();
    std::uint64_t blockSum = 0;
    std::uint64_t end = 0;
    for (const mvpk::PackageBlock& block : reader->blocks()) {
        if (block.dataOffset < end || block.dataOffset > size ||
            block.compressedSize > size - block.dataOffset)
            std::abort();
        end = block.dataOffset + block.compressedSize;
        blockSum += block.size;
        // Touch the block's bytes: ASan reports any read outside the input.
        if (block.compressedSize > 0) {
            volatile std::byte first = bytes[block.dataOffset];
            volatile std::byte last = bytes[block.dataOffset + block.compressedSize - 1];
            (void)first;
            (void)last;
        }
    }
    if (blockSum != reader->totalSize())
        std::abort();
    return 0;
}
