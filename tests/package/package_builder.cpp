#include "tests/package/package_builder.h"

#include "package/compression_api.h"
#include "package/sha256_hasher.h"

#include <stdexcept>

namespace package_testing {

namespace {

void PutLe(std::string& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

} // namespace

std::string Layout::Bytes() const {
    std::string out = magic;
    PutLe(out, version, 4);
    PutLe(out, fileCount.value_or(static_cast<std::uint32_t>(files.size())), 4);
    PutLe(out, blockCount.value_or(static_cast<std::uint32_t>(blocks.size())), 4);
    PutLe(out, totalSize, 8);
    PutLe(out, metadataLength.value_or(static_cast<std::uint32_t>(metadata.size())), 4);
    PutLe(out, reserved, 4);
    out += metadata;
    for (const FileRecord& file : files) {
        PutLe(out, file.offset, 8);
        PutLe(out, file.size, 8);
        out.append(reinterpret_cast<const char*>(file.sha256.data()), 32);
        PutLe(out, file.pathLength.value_or(static_cast<std::uint16_t>(file.path.size())), 2);
        out += file.path;
    }
    for (const BlockRecord& block : blocks) {
        PutLe(out, block.compressedSize, 8);
        PutLe(out, block.size, 8);
    }
    out += data;
    return out;
}

std::string StoreAsIs(std::string_view block) {
    return std::string(block);
}

std::string CompressLzms(std::string_view block) {
    const auto api = mvpk::CompressionApi::LoadAll();
    if (!api)
        throw std::runtime_error("Compression API unavailable");
    COMPRESSOR_HANDLE raw = nullptr;
    if (!api->createCompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
        throw std::runtime_error("CreateCompressor failed");
    const mvpk::Compressor compressor(raw, api->closeCompressor);
    std::string out(block.size() + block.size() / 8 + 4096, '\0');
    SIZE_T produced = 0;
    while (!api->compress(compressor.get(), block.data(), block.size(), out.data(), out.size(),
                          &produced)) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || produced <= out.size())
            throw std::runtime_error("Compress failed");
        out.resize(produced);
    }
    out.resize(produced);
    return out;
}

Digest Sha256(std::string_view bytes) {
    mvpk::Sha256Hasher hasher;
    hasher.Add(AsBytes(bytes));
    return hasher.Finish();
}

Layout MakeLayout(const std::vector<SourceFile>& files, std::vector<std::uint64_t> blockSizes,
                  const BlockCompressor& compress, std::string metadata) {
    Layout layout;
    layout.metadata = std::move(metadata);
    std::string stream;
    for (const SourceFile& file : files) {
        FileRecord record;
        record.offset = stream.size();
        record.size = file.content.size();
        record.sha256 = Sha256(file.content);
        record.path = file.path;
        layout.files.push_back(record);
        stream += file.content;
    }
    layout.totalSize = stream.size();
    std::size_t position = 0;
    for (std::size_t i = 0; position < stream.size(); ++i) {
        const std::uint64_t wanted = blockSizes.empty()      ? stream.size()
                                     : i < blockSizes.size() ? blockSizes[i]
                                                             : blockSizes.back();
        const std::string_view piece =
            std::string_view(stream).substr(position, static_cast<std::size_t>(wanted));
        const std::string stored = compress(piece);
        layout.blocks.push_back({stored.size(), piece.size()});
        layout.data += stored;
        position += piece.size();
    }
    return layout;
}

} // namespace package_testing
