// The extraction and installation benchmark (scripts/bench).
//   mvpk_bench generate FOLDER
//       writes about 270 MiB of files of mixed sizes (a few larger than a 32 MiB block)
//   mvpk_bench run PACKAGE WORKDIR [ROUNDS]
//       maps PACKAGE (made beforehand by mvpk pack, so that its bytes are not private
//       memory), extracts it into a fresh folder, and measures a baseline: the same bytes
//       written to the same files and hashed with BCrypt one after the other, without any
//       package, and each half of that alone. Prints the times, the ratio and the
//       extraction's peak private memory.
//   mvpk_bench install FOLDER | remove FOLDER
//       only in a copy that mvpk build-setup made a setup program of (--stub), so that it
//       carries the package and copies itself as the uninstaller, as the setup program does:
//       installs for the current user with the setup program's own routine and prints what
//       each step took; remove takes that installation off again.
#include "install/install.h"
#include "install/uninstaller_copy.h"
#include "package/compression_api.h"
#include "package/reader.h"
#include "package/sha256_hasher.h"
#include "setup/embedded_resource.h"
#include "setup/handles.h"
#include "setup/metadata.h"
#include "setup/text.h"
#include "tools/mvpk/mapped_file.h"
#include "uninstall/removal.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
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

// The baseline: each file's bytes written to the same path and hashed one after the other,
// as extraction did on one thread (same stream buffer size), but taken from memory instead
// of from a package. Without a destination nothing is written, and without hash nothing is
// hashed: the two halves of the work measured alone. Returns the time spent in each block's
// stretch of the content stream.
std::vector<double> Baseline(const mvpk::Reader& reader, const std::vector<std::byte>& stream,
                             const fs::path& destination, bool hash) {
    auto buffer = std::make_unique<char[]>(256 * 1024);
    std::vector<double> blockSeconds;
    auto mark = std::chrono::steady_clock::now();
    std::uint64_t position = 0, blockEnd = 0;
    std::size_t block = 0;
    const auto nextBlock = [&] {
        blockEnd =
            block < reader.blocks().size() ? blockEnd + reader.blocks()[block++].size : UINT64_MAX;
    };
    nextBlock();
    for (const mvpk::PackageEntry& entry : reader.entries()) {
        std::ofstream out;
        if (!destination.empty()) {
            const fs::path full = destination / Utf8ToWide(entry.path);
            std::error_code ignored;
            fs::create_directories(full.parent_path(), ignored);
            out.rdbuf()->pubsetbuf(buffer.get(), 256 * 1024);
            out.open(full, std::ios::out | std::ios::trunc | std::ios::binary);
        }
        std::optional<mvpk::Sha256Hasher> hasher;
        if (hash)
            hasher.emplace();
        const std::byte* bytes = stream.data() + entry.offset;
        std::uint64_t left = entry.size;
        while (left > 0) { // cut where the extraction's blocks end
            const auto n = static_cast<std::size_t>(std::min(left, blockEnd - position));
            if (out.is_open())
                out.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
            if (hasher)
                hasher->Add({bytes, n});
            bytes += n;
            left -= n;
            position += n;
            if (position == blockEnd) {
                const auto now = std::chrono::steady_clock::now();
                blockSeconds.push_back(Seconds(now - std::exchange(mark, now)));
                nextBlock();
            }
        }
        if (out.is_open()) {
            out.close();
            if (!out)
                throw std::runtime_error("baseline failed to write " + entry.path);
        }
        if (hasher && hasher->Finish() != entry.sha256)
            throw std::runtime_error("baseline found another digest for " + entry.path);
    }
    return blockSeconds;
}

// This machine's load average over the last minute, as Linux gives it (Wine maps / to Z:).
std::string Load() {
    std::ifstream in("Z:\\proc\\loadavg");
    std::string first;
    in >> first;
    return first.empty() ? "?" : first;
}

// Keeps in least the smaller of each of its elements and the same one of times.
void KeepLeast(std::vector<double>& least, const std::vector<double>& times) {
    least.resize(times.size(), 1e300);
    for (std::size_t i = 0; i < times.size(); ++i)
        least[i] = std::min(least[i], times[i]);
}

struct Measured {
    const char* name;
    std::function<void(const fs::path&)> run;
    double best = 1e300;
    double bestCpu = 1e300;
};

// The processor time of all the process's threads (the Wine server's work for it, such as
// creating files, is not in it). Unlike the elapsed time it hardly depends on the load.
double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    ::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto seconds = [](FILETIME t) {
        return static_cast<double>((static_cast<std::uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               1e7;
    };
    return seconds(kernel) + seconds(user);
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

    // Wine fills PeakPagefileUsage from the current anonymous memory, not a true peak; the
    // private memory is therefore also sampled once per block, while the block buffer is
    // alive, and on the first run only, before the baseline holds the whole stream.
    std::uint64_t peakExtract = 0;
    bool sampling = true;
    auto sample = [&](std::uint64_t, std::uint64_t) {
        if (!sampling)
            return;
        const auto counters = MemoryCounters();
        peakExtract = std::max<std::uint64_t>(
            peakExtract, std::max(counters.PagefileUsage, counters.PeakPagefileUsage));
    };
    std::vector<std::byte> stream;
    // Each block's least time, writing alone and hashing alone.
    std::vector<double> writeBlocks, hashBlocks;
    std::vector<Measured> measured = {
        {"extraction",
         [&](const fs::path& to) {
             auto result = reader->Extract(to, sample);
             if (!result)
                 throw std::runtime_error("extraction failed: " + result.error());
             if (sampling) {
                 peakExtract = std::max(peakExtract, PeakPrivateBytes());
                 sampling = false;
                 stream = ContentStream(*reader);
             }
         }},
        {"baseline",
         [&](const fs::path& to) {
             Baseline(*reader, stream, to, true);
         }},
        {"write only",
         [&](const fs::path& to) {
             KeepLeast(writeBlocks, Baseline(*reader, stream, to, false));
         }},
        {"hash only",
         [&](const fs::path&) {
             KeepLeast(hashBlocks, Baseline(*reader, stream, {}, true));
         }},
    };
    std::error_code ignored;
    for (int round = 1; round <= rounds; ++round) {
        // Each round starts with another of them, so that none always runs first; the
        // extraction starts the first round, before anything else has allocated memory.
        std::printf("round %d (load %s):", round, Load().c_str());
        for (std::size_t i = 0; i < measured.size(); ++i) {
            Measured& m = measured[(i + static_cast<std::size_t>(round) - 1) % measured.size()];
            const fs::path to = work / (std::string(m.name).substr(0, 1) + std::to_string(round));
            fs::remove_all(to, ignored);
            const double cpuStart = CpuSeconds();
            const auto start = std::chrono::steady_clock::now();
            m.run(to);
            const double seconds = Seconds(std::chrono::steady_clock::now() - start);
            const double cpu = CpuSeconds() - cpuStart;
            m.best = std::min(m.best, seconds);
            m.bestCpu = std::min(m.bestCpu, cpu);
            std::printf(" %s %.2f s (cpu %.2f s)%s", m.name, seconds, cpu,
                        i + 1 < measured.size() ? "," : "\n");
            std::fflush(stdout);
            fs::remove_all(to, ignored);
        }
    }
    const auto best = [&](std::size_t i) {
        return measured[i].best;
    };
    std::printf("best of %d rounds:\n", rounds);
    for (const Measured& m : measured)
        std::printf("  %-11s %.2f s  %6.1f MB/s  (least processor time %.2f s)\n", m.name, m.best,
                    megabytes / m.best, m.bestCpu);
    const double ratio = best(1) / best(0);
    std::printf("extraction against the sequential baseline: %.2f times as fast (target >= 1.30: "
                "%s)\n",
                ratio, ratio >= 1.3 ? "met" : "NOT met");
    // With one block buffer, a block's writing and hashing overlap, but the next block waits
    // for both: each block costs the slower of the two, whichever it is.
    double perBlock = 0;
    for (std::size_t i = 0; i < std::min(writeBlocks.size(), hashBlocks.size()); ++i)
        perBlock += std::max(writeBlocks[i], hashBlocks[i]);
    std::printf(
        "bound: the slower of writing and hashing %.2f s; block by block, the slower of the "
        "two summed %.2f s (decompression not included); their sum %.2f s\n",
        std::max(best(2), best(3)), perBlock, best(2) + best(3));
    const std::uint64_t limit = largestBlock + 16 * kMiB;
    std::printf("peak private memory of the extraction: %.1f MiB (process start %.1f MiB; "
                "target <= largest block + 16 MiB = %.1f MiB: %s)\n",
                static_cast<double>(peakExtract) / kMiB, static_cast<double>(peakAtStart) / kMiB,
                static_cast<double>(limit) / kMiB, peakExtract <= limit ? "met" : "NOT met");
    return 0;
}

ProductInfo OwnProduct() {
    const auto bytes = EmbeddedResource(L"METADATA");
    if (bytes.empty())
        throw std::runtime_error("no METADATA: make a setup program of this one with --stub");
    return LoadProductInfo(
        ParseMetadata(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
}

// The installation's steps, timed where Install reports them: before the extraction, after
// it, before the shortcut and at the end. The uninstaller copy, which shares its interval
// with the files list and the registration, is timed once more alone beforehand.
int InstallTimed(const fs::path& folder) {
    const ProductInfo info = OwnProduct();
    const auto reader = mvpk::Reader::Open(EmbeddedResource(L"PAYLOAD"));
    if (!reader)
        throw std::runtime_error(reader.error());
    using Clock = std::chrono::steady_clock;
    fs::create_directories(folder);
    const auto copyStart = Clock::now();
    if (!CopyUninstaller(folder / L"Uninstall-alone.exe"))
        throw std::runtime_error("uninstaller copy failed");
    const double copy = Seconds(Clock::now() - copyStart);
    fs::remove(folder / L"Uninstall-alone.exe");

    const ComApartment apartment;
    std::vector<std::pair<std::wstring, Clock::time_point>> marks = {{L"", Clock::now()}};
    const auto result =
        Install(*reader, info, Scope::User, folder, [&](double, const std::wstring& status) {
            if (status != marks.back().first)
                marks.emplace_back(status, Clock::now());
        });
    const auto end = Clock::now();
    if (!result || marks.size() != 5)
        throw std::runtime_error("installation failed: " + WideToUtf8(result.error()));
    std::printf("steps: checks and folder %.2f s, extraction %.2f s, uninstaller copy with files "
                "list and registration %.2f s, shortcut %.2f s, total %.2f s, uninstaller copy "
                "alone %.2f s\n",
                Seconds(marks[1].second - marks[0].second),
                Seconds(marks[2].second - marks[1].second),
                Seconds(marks[3].second - marks[2].second), Seconds(end - marks[3].second),
                Seconds(end - marks[0].second), copy);
    return 0;
}

int Remove(const fs::path& folder) {
    const ComApartment apartment;
    return Uninstall(OwnProduct(), Scope::User, folder, true) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 3 && std::wstring_view(argv[1]) == L"generate")
            return Generate(argv[2]);
        if ((argc == 4 || argc == 5) && std::wstring_view(argv[1]) == L"run")
            return Run(argv[2], argv[3], argc == 5 ? std::max(1, _wtoi(argv[4])) : 5);
        if (argc == 3 && std::wstring_view(argv[1]) == L"install")
            return InstallTimed(argv[2]);
        if (argc == 3 && std::wstring_view(argv[1]) == L"remove")
            return Remove(argv[2]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    std::fprintf(stderr, "usage: mvpk_bench generate FOLDER | run PACKAGE WORKDIR [ROUNDS] | "
                         "install FOLDER | remove FOLDER\n");
    return 2;
}
