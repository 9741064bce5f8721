#include "tests/package/package_builder.h"

#include "package/compression_api.h"
#include "package/sha256_hasher.h"

#include <stdexcept>

namespace package_testing {

// value as width bytes, little-endian.
static std::string Le(std::uint64_t value, int width) {
    std::string bytes;
    for (int i = 0; i < width; ++i)
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return bytes;
}

std::string Layout::Bytes() const {
    // The metadata's length is followed by the reserved word 0.
    std::string out = "MVPK" + Le(1, 4) + Le(files.size(), 4) + Le(blocks.size(), 4) +
                      Le(totalSize, 8) + Le(metadata.size(), 8) + metadata;
    for (const FileRecord& file : files)
        out += Le(file.offset, 8) + Le(file.size, 8) +
               std::string(reinterpret_cast<const char*>(file.sha256.data()), 32) +
               Le(file.path.size(), 2) + file.path;
    for (const BlockRecord& block : blocks)
        out += Le(block.compressedSize, 8) + Le(block.size, 8);
    return out + data;
}

std::string Patched(std::string bytes, std::size_t offset, std::uint64_t value, int width) {
    return bytes.replace(offset, width, Le(value, width));
}

Layout MakeLayout(const std::vector<SourceFile>& files, std::vector<std::uint64_t> blockSizes) {
    Layout layout{0, "product=Test\n", {}, {}, ""};
    std::string stream;
    for (const SourceFile& file : files) {
        mvpk::Sha256Hasher hasher;
        hasher.Add(AsBytes(file.content));
        layout.files.push_back({stream.size(), file.content.size(), hasher.Finish(), file.path});
        stream += file.content;
    }
    layout.totalSize = stream.size();
    const auto api = mvpk::CompressionApi::LoadAll();
    COMPRESSOR_HANDLE raw = nullptr;
    if (!api || !api->createCompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
        throw std::runtime_error("no LZMS compressor");
    const mvpk::Compressor compressor(raw, api->closeCompressor);
    for (std::size_t i = 0, position = 0; position < stream.size(); ++i) {
        const std::size_t size = static_cast<std::size_t>(
            blockSizes.empty() ? stream.size() : blockSizes[std::min(i, blockSizes.size() - 1)]);
        const std::string_view piece = std::string_view(stream).substr(position, size);
        std::string stored(piece.size() + piece.size() / 8 + 4096, '\0');
        SIZE_T produced = 0;
        if (!api->compress(compressor.get(), piece.data(), piece.size(), stored.data(),
                           stored.size(), &produced))
            throw std::runtime_error("Compress failed");
        layout.blocks.push_back({produced, piece.size()});
        layout.data.append(stored, 0, produced);
        position += piece.size();
    }
    return layout;
}

} // namespace package_testing
