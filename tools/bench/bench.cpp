// The extraction benchmark (scripts/bench).
//   mvpk_bench generate FOLDER
//       writes about 270 MiB of files of mixed sizes (a few larger than a 32 MiB block)
//   mvpk_bench run PACKAGE WORKDIR [ROUNDS]
//       maps PACKAGE (made beforehand by mvpk pack, so that its bytes are not private
//       memory), extracts it into a fresh folder, and measures a baseline: the same bytes
//       written to the same files and hashed with BCrypt, without any package. Prints both
//       throughputs, their ratio and the extraction's peak private memory.
#include "package/compression_api.h"
#include "package/reader.h"
#include "package/sha256_hasher.h"
#include "setup/text.h"
#include "tools/mvpk/mapped_file.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

std::uint64_t Next(std::uint64_t& state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

void WriteRandomFile(const fs::path& file, std::uint64_t size, std::uint64_t seed) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::vector<std::uint64_t> chunk(kMiB / 8);
    std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    while (size > 0) {
        for (auto& word : chunk)
            word = Next(state);
        const std::uint64_t n = std::min<std::uint64_t>(size, kMiB);
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        size -= n;
    }
}

int Generate(const fs::path& folder) {
    std::uint64_t state = 42, total = 0, files = 0;
    auto add = [&](const fs::path& relative, std::uint64_t size) {
        WriteRandomFile(folder / relative, size, ++files);
        total += size;
    };
    // A few files larger than a block.
    add(L"large/a.bin", 40 * kMiB);
    add(L"large/b.bin", 48 * kMiB + 12345);
    add(L"large/c.bin", 70 * kMiB + 1);
    // Medium files, 256 KiB to 2 MiB.
    for (int i = 0; i < 60; ++i)
        add(L"medium/m" + std::to_wstring(i % 6) + L"/f" + std::to_wstring(i) + L".dat",
            256 * 1024 + Next(state) % (1792 * 1024));
    // Many small files, 0 to 32 KiB, some empty.
    for (int i = 0; i < 3000; ++i)
        add(L"small/s" + std::to_wstring(i % 40) + L"/f" + std::to_wstring(i) + L".txt",
            i % 97 == 0 ? 0 : Next(state) % (32 * 1024));
    // Up to at least 256 MiB.
    if (total < 260 * kMiB)
        add(L"filler.bin", 260 * kMiB - total);
    std::printf("%llu files, %llu bytes in %ls\n", static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(total), folder.c_str());
    return 0;
}

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

PROCESS_MEMORY_COUNTERS MemoryCounters() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return counters;
}

std::uint64_t PeakPrivateBytes() {
    return MemoryCounters().PeakPagefileUsage;
}

// The content stream, decompressed outside any measurement.
std::vector<std::byte> ContentStream(const mvpk::Reader& reader) {
    std::vector<std::byte> stream(static_cast<std::size_t>(reader.totalSize()));
    auto api = mvpk::CompressionApi::LoadDecompressor();
    DECOMPRESSOR_HANDLE raw = nullptr;
    if (!api || !api->createDecompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
        throw std::runtime_error("no Compression API");
    const mvpk::Decompressor decompressor(raw, api->closeDecompressor);
    std::size_t position = 0;
    for (const mvpk::PackageBlock& block : reader.blocks()) {
        SIZE_T produced = 0;
        if (!api->decompress(decompressor.get(), reader.data().data() + block.dataOffset,
                             block.compressedSize, stream.data() + position, block.size, &produced))
            throw std::runtime_error("Decompress failed");
        position += block.size;
    }
    return stream;
}

// The baseline: each file's bytes written to the same path and hashed, as extraction does
// (same stream buffer size), but taken from memory instead of from a package.
void Baseline(const mvpk::Reader& reader, const std::vector<std::byte>& stream,
              const fs::path& destination) {
    auto buffer = std::make_unique<char[]>(256 * 1024);
    for (const mvpk::PackageEntry& entry : reader.entries()) {
        const fs::path full = destination / Utf8ToWide(entry.path);
        std::error_code ignored;
        fs::create_directories(full.parent_path(), ignored);
        std::ofstream out;
        out.rdbuf()->pubsetbuf(buffer.get(), 256 * 1024);
        out.open(full, std::ios::out | std::ios::trunc | std::ios::binary);
        mvpk::Sha256Hasher hasher;
        const std::byte* bytes = stream.data() + entry.offset;
        std::uint64_t left = entry.size;
        while (left > 0) { // in block-sized pieces, like the extraction
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, 32 * kMiB));
            out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
            hasher.Add({bytes, n});
            bytes += n;
            left -= n;
        }
        out.close();
        if (!out || hasher.Finish() != entry.sha256)
            throw std::runtime_error("baseline failed for " + entry.path);
    }
}

int Run(const fs::path& package, const fs::path& work, int rounds) {
    const std::uint64_t peakAtStart = PeakPrivateBytes();
    auto mapped = MappedFile::Open(package);
    if (!mapped) {
        std::fprintf(stderr, "cannot map %ls\n", package.c_str());
        return 1;
    }
    auto reader = mvpk::Reader::Open(mapped->bytes());
    if (!reader) {
        std::fprintf(stderr, "%s\n", reader.error().c_str());
        return 1;
    }
    std::uint64_t largestBlock = 0;
    for (const auto& block : reader->blocks())
        largestBlock = std::max(largestBlock, block.size);
    const double megabytes = static_cast<double>(reader->totalSize()) / 1e6;
    std::printf(
        "package: %zu files, %.1f MB content, %zu blocks (largest %llu bytes), %.1f MB file\n",
        reader->entries().size(), megabytes, reader->blocks().size(),
        static_cast<unsigned long long>(largestBlock),
        static_cast<double>(mapped->bytes().size()) / 1e6);

    std::error_code ignored;
    double bestExtract = 0, bestBaseline = 0;
    std::uint64_t peakExtract = 0;
    std::vector<std::byte> stream;
    for (int round = 1; round <= rounds; ++round) {
        const fs::path extractDir = work / (L"extract-" + std::to_wstring(round));
        const fs::path baselineDir = work / (L"baseline-" + std::to_wstring(round));
        fs::remove_all(extractDir, ignored);
        fs::remove_all(baselineDir, ignored);

        // Wine fills PeakPagefileUsage from the current anonymous memory, not a true peak;
        // the private memory is therefore also sampled once per block, while the block
        // buffer is alive.
        std::uint64_t sampled = 0;
        auto sample = [&](std::uint64_t, std::uint64_t) {
            const auto counters = MemoryCounters();
            sampled = std::max<std::uint64_t>(
                sampled, std::max(counters.PagefileUsage, counters.PeakPagefileUsage));
        };
        double extractSeconds = 0, baselineSeconds = 0;
        auto extract = [&] {
            const auto start = std::chrono::steady_clock::now();
            auto result = reader->Extract(extractDir, sample);
            extractSeconds = Seconds(std::chrono::steady_clock::now() - start);
            if (!result)
                throw std::runtime_error("extraction failed: " + result.error());
        };
        auto baseline = [&] {
            const auto start = std::chrono::steady_clock::now();
            Baseline(*reader, stream, baselineDir);
            baselineSeconds = Seconds(std::chrono::steady_clock::now() - start);
        };
        if (round == 1) {
            extract();
            // Before the baseline allocates anything.
            peakExtract = std::max(sampled, PeakPrivateBytes());
            stream = ContentStream(*reader);
            baseline();
        } else if (round % 2 == 0) { // alternate the order: neither always runs first
            baseline();
            extract();
        } else {
            extract();
            baseline();
        }

        std::printf("round %d: extraction %.1f MB/s (%.2f s), baseline %.1f MB/s (%.2f s)\n", round,
                    megabytes / extractSeconds, extractSeconds, megabytes / baselineSeconds,
                    baselineSeconds);
        bestExtract = std::max(bestExtract, megabytes / extractSeconds);
        bestBaseline = std::max(bestBaseline, megabytes / baselineSeconds);
        fs::remove_all(extractDir, ignored);
        fs::remove_all(baselineDir, ignored);
    }
    const double ratio = bestExtract / bestBaseline;
    const std::uint64_t limit = largestBlock + 16 * kMiB;
    std::printf("extraction: %.1f MB/s (best of %d)\n", bestExtract, rounds);
    std::printf("baseline:   %.1f MB/s (best of %d)\n", bestBaseline, rounds);
    std::printf("ratio extraction/baseline: %.2f (target >= 0.90: %s)\n", ratio,
                ratio >= 0.9 ? "met" : "NOT met");
    std::printf("peak private memory of the extraction: %.1f MiB (process start %.1f MiB; "
                "target <= largest block + 16 MiB = %.1f MiB: %s)\n",
                static_cast<double>(peakExtract) / kMiB, static_cast<double>(peakAtStart) / kMiB,
                static_cast<double>(limit) / kMiB, peakExtract <= limit ? "met" : "NOT met");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 3 && std::wstring_view(argv[1]) == L"generate")
            return Generate(argv[2]);
        if ((argc == 4 || argc == 5) && std::wstring_view(argv[1]) == L"run")
            return Run(argv[2], argv[3], argc == 5 ? std::max(1, _wtoi(argv[4])) : 5);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: mvpk_bench generate FOLDER | run PACKAGE WORKDIR [ROUNDS]\n");
    return 2;
}
