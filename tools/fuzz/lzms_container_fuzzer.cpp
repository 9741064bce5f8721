// libFuzzer target: the Compression API module's reading of a buffer's container (header,
// chunk records), built natively with AddressSanitizer and UndefinedBehaviorSanitizer by
// scripts/fuzz. An accepted layout is checked against what the module relies on when it
// copies and decodes chunks; a breach aborts like a sanitizer report.
#include "tools/cabinet/lzms_container.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto layout = lzms_container::Parse({data, size});
    if (!layout)
        return 0;
    // The header the module would write for the same sizes is the one read.
    const auto header = lzms_container::MakeHeader(layout->totalSize, layout->chunkSize);
    if (!std::equal(header.begin(), header.end(), data))
        std::abort();
    if (layout->chunkSize == 0 || layout->chunkSize > lzms_container::kMaxChunkSize)
        std::abort();
    std::uint64_t offset = lzms_container::kHeaderSize, output = 0;
    for (const lzms_container::Chunk& chunk : layout->chunks) {
        offset += lzms_container::kRecordSize;
        if (chunk.dataOffset != offset || chunk.outputOffset != output || chunk.storedSize == 0 ||
            chunk.storedSize > chunk.size || chunk.size > layout->chunkSize ||
            chunk.storedSize > size - offset)
            std::abort();
        // Touch the chunk's bytes: ASan reports any read outside the input.
        volatile std::uint8_t first = data[chunk.dataOffset];
        volatile std::uint8_t last = data[chunk.dataOffset + chunk.storedSize - 1];
        (void)first;
        (void)last;
        offset += chunk.storedSize;
        output += chunk.size;
    }
    if (offset != size || output != layout->totalSize)
        std::abort();
    const auto bound = lzms_container::MaxBufferSize(layout->totalSize, layout->chunkSize);
    if (!bound || *bound < size)
        std::abort();
    return 0;
}
