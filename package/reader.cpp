#include "package/reader.h"

#include "package/windows_names.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace mvpk {

namespace {

// Little-endian reads; the caller has checked the bounds.
std::uint64_t ReadLe(const std::byte* p, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | static_cast<std::uint8_t>(p[i]);
    return value;
}

// True when [pos, pos + length) lies within a package of size total, without wrap-around.
bool Fits(std::uint64_t pos, std::uint64_t length, std::uint64_t total) {
    return pos <= total && length <= total - pos;
}

} // namespace

bool IsSafePackagePath(std::string_view path) {
    if (path.empty())
        return false;
    if (path.find(':') != std::string_view::npos)
        return false;
    if (path.front() == '\\' || path.front() == '/')
        return false;
    size_t start = 0;
    while (true) {
        const size_t end = path.find_first_of("\\/", start);
        const std::string_view component = path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        // "." and ".." end in a dot too.
        if (!IsKeptName(component))
            return false;
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

std::expected<Reader, std::string> Reader::Open(std::span<const std::byte> data) {
    const std::uint64_t total = data.size();
    const std::byte* bytes = data.data();
    if (total < kHeaderSize || std::memcmp(bytes, "MVPK", 4) != 0)
        return std::unexpected("Paquet MVPK invalide (signature)");
    const auto version = static_cast<std::uint32_t>(ReadLe(bytes + 4, 4));
    if (version != 1)
        return std::unexpected("Version de paquet MVPK non prise en charge : " +
                               std::to_string(version));
    const auto fileCount = static_cast<std::uint32_t>(ReadLe(bytes + 8, 4));
    const auto blockCount = static_cast<std::uint32_t>(ReadLe(bytes + 12, 4));
    const std::uint64_t totalSize = ReadLe(bytes + 16, 8);
    const auto metadataLength = static_cast<std::uint32_t>(ReadLe(bytes + 24, 4));

    std::uint64_t pos = kHeaderSize + std::uint64_t{metadataLength};
    if (pos > total)
        return std::unexpected("Paquet MVPK tronqué (métadonnées)");

    Reader reader;
    // Counts come from the file: reserve only what the package could possibly hold.
    reader.entries_.reserve(std::min<std::uint64_t>(fileCount, (total - pos) / 50));
    std::uint64_t sum = 0;
    for (std::uint32_t i = 0; i < fileCount; ++i) {
        if (!Fits(pos, 50, total))
            return std::unexpected("Paquet MVPK tronqué (table des fichiers)");
        const std::byte* record = bytes + pos;
        const auto pathLength = static_cast<std::uint16_t>(ReadLe(record + 48, 2));
        if (!Fits(pos + 50, pathLength, total))
            return std::unexpected("Paquet MVPK tronqué (table des fichiers)");
        PackageEntry entry;
        entry.offset = ReadLe(record, 8);
        entry.size = ReadLe(record + 8, 8);
        std::memcpy(entry.sha256.data(), record + 16, 32);
        entry.path.assign(reinterpret_cast<const char*>(record + 50), pathLength);
        pos += 50 + std::uint64_t{pathLength};
        if (!IsSafePackagePath(entry.path))
            return std::unexpected("Chemin refusé dans le paquet : " + entry.path);
        if (entry.offset != sum)
            return std::unexpected("Paquet MVPK incohérent (fichiers non contigus)");
        // Sizes that wrap the running sum around could otherwise match any total.
        if (entry.size > UINT64_MAX - sum)
            return std::unexpected("Paquet MVPK incohérent (taille totale)");
        sum += entry.size;
        reader.entries_.push_back(std::move(entry));
    }
    if (sum != totalSize)
        return std::unexpected("Paquet MVPK incohérent (taille totale)");

    reader.blocks_.reserve(std::min<std::uint64_t>(blockCount, (total - pos) / 16));
    std::uint64_t blockSum = 0;
    for (std::uint32_t i = 0; i < blockCount; ++i) {
        if (!Fits(pos, 16, total))
            return std::unexpected("Paquet MVPK tronqué (table des blocs)");
        PackageBlock block;
        block.compressedSize = ReadLe(bytes + pos, 8);
        block.size = ReadLe(bytes + pos + 8, 8);
        pos += 16;
        if (block.size > UINT64_MAX - blockSum)
            return std::unexpected("Paquet MVPK incohérent (blocs)");
        blockSum += block.size;
        reader.blocks_.push_back(block);
    }
    if (blockSum != totalSize)
        return std::unexpected("Paquet MVPK incohérent (blocs)");

    for (PackageBlock& block : reader.blocks_) {
        if (!Fits(pos, block.compressedSize, total))
            return std::unexpected("Paquet MVPK tronqué (données)");
        block.dataOffset = pos;
        pos += block.compressedSize;
    }

    reader.data_ = data;
    reader.totalSize_ = totalSize;
    return reader;
}

} // namespace mvpk
