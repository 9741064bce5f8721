// The extraction and installation benchmark (scripts/bench).
//   mvpk_bench run PACKAGE WORKDIR [ROUNDS]
//       maps PACKAGE (made beforehand by mvpk pack, so that its bytes are not private
//       memory) and, in turns, times the extraction into a fresh folder, its serial baseline
//       (each block decompressed, then its bytes written, then hashed, as one thread would)
//       and each of the three stages alone; prints the times with their processor time, the
//       ratios to the baseline and to the bound, and the extraction's peak private memory.
//   mvpk_bench embed STUB METADATA-FILE PACKAGE OUTPUT
//       a copy of STUB carrying the metadata and the package as its resources, so that the
//       package made once per run makes the setup programs too
//   mvpk_bench install FOLDER | remove FOLDER
//       only in a copy that carries a package (embed with this program as STUB): installs
//       for the current user with the setup program's own routine and prints what each step
//       took; remove takes that installation off again.
#include "install/install.h"
#include "install/uninstaller_copy.h"
#include "package/compression_api.h"
#include "package/reader.h"
#include "package/sha256_hasher.h"
#include "setup/embedded_resource.h"
#include "setup/handles.h"
#include "setup/held_entries.h"
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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;

double Seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

PROCESS_MEMORY_COUNTERS MemoryCounters() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof(counters));
    return counters;
}

// A line of a Linux file seen through Wine's Z: drive ("" when it cannot be read).
std::string LinuxFile(const std::string& path) {
    std::ifstream in("Z:" + path);
    std::string line;
    std::getline(in, line);
    return line;
}

// This machine's load average over the last minute.
std::string Load() {
    const std::string line = LinuxFile("\\proc\\loadavg");
    return line.empty() ? "?" : line.substr(0, line.find(' '));
}

// The processor time of all the process's threads.
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

// The processor time of the Wine server, which does part of every file's creation and
// writing in a process of its own: its Linux process id comes from scripts/bench
// (MVPK_BENCH_SERVER), its time from /proc (user and system, in clock ticks of 1/100 s).
// Zero when it is not known.
double ServerCpuSeconds() {
    const char* pid = std::getenv("MVPK_BENCH_SERVER");
    if (pid == nullptr || *pid == '\0')
        return 0;
    const std::string stat = LinuxFile("\\proc\\" + std::string(pid) + "\\stat");
    const std::size_t name = stat.rfind(')'); // the command name may hold spaces
    if (name == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(name + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) // utime, stime
            ticks += std::stod(field);
    return ticks / 100;
}

// Walks the content stream file by file, in table order, one block's bytes at a time, as
// the extraction does: a file is opened when the one before it ends, empty files at once.
class StreamWalk {
  public:
    struct Steps {
        std::function<void(const mvpk::PackageEntry&)> open;
        std::function<void(const std::byte*, std::size_t)> add;
        std::function<void(const mvpk::PackageEntry&)> close;
    };

    StreamWalk(const std::vector<mvpk::PackageEntry>& entries, Steps steps)
        : entries_(entries), steps_(std::move(steps)) {}

    void Feed(const std::byte* bytes, std::size_t size) {
        std::size_t position = 0;
        while (index_ < entries_.size()) {
            const mvpk::PackageEntry& entry = entries_[index_];
            if (!opened_) {
                steps_.open(entry);
                opened_ = true;
            }
            const auto n = static_cast<std::size_t>(
                std::min<std::uint64_t>(entry.size - consumed_, size - position));
            if (n > 0)
                steps_.add(bytes + position, n);
            position += n;
            consumed_ += n;
            if (consumed_ < entry.size)
                return; // the block ends inside this file
            steps_.close(entry);
            ++index_;
            consumed_ = 0;
            opened_ = false;
        }
    }

  private:
    const std::vector<mvpk::PackageEntry>& entries_;
    Steps steps_;
    std::size_t index_ = 0;
    std::uint64_t consumed_ = 0;
    bool opened_ = false;
};

// The extraction's way of writing: below the destination's handle, one element at a time,
// each file through its own handle.
struct HeldWriting {
    explicit HeldWriting(const fs::path& destination)
        : root(OpenFolder(destination)), folders(root.get(), /*create=*/true) {}
    UniqueHandle root;
    FolderWalk folders;
    UniqueHandle file;
};

// Writes the files below a folder as the extraction does.
StreamWalk Writer(const mvpk::Reader& reader, HeldWriting& held) {
    return StreamWalk(
        reader.entries(),
        {[&held](const mvpk::PackageEntry& entry) {
             auto file = held.folders.OpenFileToWrite(Utf8ToWide(entry.path));
             if (!file)
                 throw std::runtime_error("cannot open " + entry.path);
             held.file = std::move(*file);
         },
         [&held](const std::byte* bytes, std::size_t n) {
             DWORD written = 0;
             if (!::WriteFile(held.file.get(), bytes, static_cast<DWORD>(n), &written, nullptr) ||
                 written != n)
                 throw std::runtime_error("cannot write");
         },
         [&held](const mvpk::PackageEntry&) {
             held.file.reset();
         }});
}

// Hashes each file with BCrypt and checks its digest.
StreamWalk Hasher(const mvpk::Reader& reader, std::optional<mvpk::Sha256Hasher>& hasher) {
    return StreamWalk(reader.entries(),
                      {[&hasher](const mvpk::PackageEntry&) { hasher.emplace(); },
                       [&hasher](const std::byte* bytes, std::size_t n) {
                           hasher->Add({bytes, n});
                       },
                       [&hasher](const mvpk::PackageEntry& entry) {
                           if (hasher->Finish() != entry.sha256)
                               throw std::runtime_error("another digest for " + entry.path);
                           hasher.reset();
                       }});
}

// One decompressor and one block buffer, as one thread would use them.
class BlockDecoder {
  public:
    explicit BlockDecoder(const mvpk::Reader& reader) : reader_(reader) {
        std::uint64_t largest = 0;
        for (const mvpk::PackageBlock& block : reader.blocks())
            largest = std::max(largest, block.size);
        buffer_.resize(static_cast<std::size_t>(largest));
        DECOMPRESSOR_HANDLE raw = nullptr;
        if (!api_ || !api_->createDecompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
            throw std::runtime_error("no Compression API");
        decompressor_ = mvpk::Decompressor(raw, api_->closeDecompressor);
    }
    const std::byte* Decode(const mvpk::PackageBlock& block) {
        SIZE_T produced = 0;
        if (!api_->decompress(decompressor_.get(), reader_.data().data() + block.dataOffset,
                              block.compressedSize, buffer_.data(), block.size, &produced) ||
            produced != block.size)
            throw std::runtime_error("Decompress failed");
        return buffer_.data();
    }

  private:
    const mvpk::Reader& reader_;
    std::unique_ptr<mvpk::CompressionApi> api_ = mvpk::CompressionApi::LoadDecompressor();
    mvpk::Decompressor decompressor_;
    std::vector<std::byte> buffer_;
};

// The content stream, decompressed outside any measurement, for the stages measured alone.
std::vector<std::byte> ContentStream(const mvpk::Reader& reader) {
    std::vector<std::byte> stream;
    stream.reserve(static_cast<std::size_t>(reader.totalSize()));
    BlockDecoder decoder(reader);
    for (const mvpk::PackageBlock& block : reader.blocks()) {
        const std::byte* bytes = decoder.Decode(block);
        stream.insert(stream.end(), bytes, bytes + block.size);
    }
    return stream;
}

enum Stage { kDecompress = 1, kWrite = 2, kHash = 4 };

// The stages of each block in turn on this one thread: the block decompressed (or taken
// from the stream decompressed beforehand), then its bytes written, then hashed. Each block's
// time goes to perBlock, which keeps the least of every run.
void InTurn(const mvpk::Reader& reader, const std::vector<std::byte>& stream,
            const fs::path& destination, int stages, std::vector<double>& perBlock) {
    std::optional<BlockDecoder> decoder;
    if (stages & kDecompress)
        decoder.emplace(reader);
    std::optional<HeldWriting> held;
    if (stages & kWrite) {
        fs::create_directories(destination);
        held.emplace(destination);
    }
    StreamWalk writer = held ? Writer(reader, *held) : StreamWalk(reader.entries(), {});
    std::optional<mvpk::Sha256Hasher> hasher;
    StreamWalk hashing = Hasher(reader, hasher);
    std::uint64_t position = 0;
    perBlock.resize(reader.blocks().size(), 1e300);
    for (std::size_t b = 0; b < reader.blocks().size(); ++b) {
        const mvpk::PackageBlock& block = reader.blocks()[b];
        const auto start = std::chrono::steady_clock::now();
        const std::byte* bytes = decoder ? decoder->Decode(block) : stream.data() + position;
        position += block.size;
        const auto size = static_cast<std::size_t>(block.size);
        if (stages & kWrite)
            writer.Feed(bytes, size);
        if (stages & kHash)
            hashing.Feed(bytes, size);
        perBlock[b] = std::min(perBlock[b], Seconds(std::chrono::steady_clock::now() - start));
    }
}

struct Measured {
    const char* name;
    std::function<void(const fs::path&)> run;
    double best = 1e300;
    double bestCpu = 1e300;       // this process
    double bestServer = 1e300;    // the Wine server while it ran
    std::vector<double> blocks{}; // each block's least time, for the stages alone
};

int Run(const fs::path& package, const fs::path& work, int rounds) {
    const std::uint64_t atStart = MemoryCounters().PagefileUsage;
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
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::printf("package: %zu files, %.1f MB content, %zu blocks (largest %llu bytes), %.1f MB "
                "file, on %u cores\n",
                reader->entries().size(), megabytes, reader->blocks().size(),
                static_cast<unsigned long long>(largestBlock),
                static_cast<double>(mapped->bytes().size()) / 1e6, cores);

    // Wine fills PeakPagefileUsage from the current anonymous memory, not a true peak: the
    // private memory is sampled at every block, when both block buffers are alive, on the
    // first run only, before the stream below is held.
    std::uint64_t peak = 0;
    bool sampling = true;
    auto sample = [&](std::uint64_t, std::uint64_t) {
        if (!sampling)
            return;
        const auto counters = MemoryCounters();
        peak = std::max<std::uint64_t>(
            peak, std::max(counters.PagefileUsage, counters.PeakPagefileUsage));
    };
    std::vector<std::byte> stream;
    std::vector<double> serialBlocks;
    std::vector<Measured> measured;
    measured = {
        {"extraction",
         [&](const fs::path& to) {
             auto result = reader->Extract(to, sample);
             if (!result)
                 throw std::runtime_error("extraction failed: " + result.error());
             if (sampling) {
                 peak = std::max<std::uint64_t>(peak, MemoryCounters().PeakPagefileUsage);
                 sampling = false;
                 stream = ContentStream(*reader);
             }
         }},
        {"serial",
         [&](const fs::path& to) {
             InTurn(*reader, stream, to, kDecompress | kWrite | kHash, serialBlocks);
         }},
        {"decompress",
         [&](const fs::path& to) {
             InTurn(*reader, stream, to, kDecompress, measured[2].blocks);
         }},
        {"write",
         [&](const fs::path& to) {
             InTurn(*reader, stream, to, kWrite, measured[3].blocks);
         }},
        {"hash",
         [&](const fs::path& to) {
             InTurn(*reader, stream, to, kHash, measured[4].blocks);
         }},
    };
    std::error_code ignored;
    for (int round = 1; round <= rounds; ++round) {
        // Each round starts with another of them, so that none always runs first; the
        // extraction starts the first round, before anything else has allocated memory.
        std::printf("round %d (load %s):", round, Load().c_str());
        for (std::size_t i = 0; i < measured.size(); ++i) {
            Measured& m = measured[(i + static_cast<std::size_t>(round) - 1) % measured.size()];
            const fs::path to = work / (std::string(m.name) + std::to_string(round));
            fs::remove_all(to, ignored);
            const double cpuStart = CpuSeconds(), serverStart = ServerCpuSeconds();
            const auto start = std::chrono::steady_clock::now();
            m.run(to);
            const double seconds = Seconds(std::chrono::steady_clock::now() - start);
            const double cpu = CpuSeconds() - cpuStart;
            const double server = ServerCpuSeconds() - serverStart;
            m.best = std::min(m.best, seconds);
            m.bestCpu = std::min(m.bestCpu, cpu);
            m.bestServer = std::min(m.bestServer, server);
            std::printf(" %s %.2f s (cpu %.2f + server %.2f)%s", m.name, seconds, cpu, server,
                        i + 1 < measured.size() ? "," : "\n");
            std::fflush(stdout);
            fs::remove_all(to, ignored);
        }
    }
    std::printf("best of %d rounds (processor time: least of this process, least of the Wine "
                "server):\n",
                rounds);
    for (const Measured& m : measured)
        std::printf("  %-10s %.2f s  %6.1f MB/s  (cpu %.2f s + server %.2f s)\n", m.name, m.best,
                    megabytes / m.best, m.bestCpu, m.bestServer);
    const Measured &extraction = measured[0], &serial = measured[1];
    const double ratio = serial.best / extraction.best;
    std::printf("extraction against its serial baseline: %.2f times as fast (target >= 1.50: "
                "%s)\n",
                ratio, ratio >= 1.5 ? "met" : "NOT met");
    // No schedule beats the slowest stage alone, nor the stages' processor time spread over
    // every core.
    double slowest = 0, processor = 0;
    for (std::size_t i = 2; i < measured.size(); ++i) {
        slowest = std::max(slowest, measured[i].best);
        processor += measured[i].bestCpu + measured[i].bestServer;
    }
    const double bound = std::max(slowest, processor / cores);
    std::printf("bound: the larger of the slowest stage alone %.2f s and the stages' processor "
                "time over %u cores %.2f s / %u = %.2f s; extraction %.2f times the bound "
                "(target <= 1.25: %s)\n",
                slowest, cores, processor, cores, processor / cores, extraction.best / bound,
                extraction.best <= 1.25 * bound ? "met" : "NOT met");
    // For information, the bound of the order the extraction keeps: a file is opened only once
    // the one before it is judged, so a block's files are written one after another once the
    // block before is done (at least its writing alone), and the block's writing and hashing
    // and the next block's decompression share the cores (at least their time over the
    // cores); nothing starts before the first block is decompressed.
    const auto& decompressed = measured[2].blocks;
    const auto& written = measured[3].blocks;
    const auto& hashed = measured[4].blocks;
    std::printf("each block alone (decompress, write, hash):");
    double ordered = decompressed.empty() ? 0 : decompressed[0];
    for (std::size_t b = 0; b < written.size(); ++b) {
        const double next = b + 1 < decompressed.size() ? decompressed[b + 1] : 0;
        ordered += std::max(written[b], (written[b] + hashed[b] + next) / cores);
        std::printf(" %zu: %.3f %.3f %.3f;", b, decompressed[b], written[b], hashed[b]);
    }
    std::printf("\nbound of the order kept (for information): the first block's decompression, "
                "then each block's writing alone or its writing, hashing and the next block's "
                "decompression over %u cores, whichever is longer: %.2f s; extraction %.2f "
                "times it\n",
                cores, ordered, extraction.best / ordered);
    const std::uint64_t limit = 2 * largestBlock + 16 * kMiB;
    std::printf("peak private memory of the extraction: %.1f MiB (process before it %.1f MiB; "
                "target <= two largest blocks + 16 MiB = %.1f MiB: %s)\n",
                static_cast<double>(peak) / kMiB, static_cast<double>(atStart) / kMiB,
                static_cast<double>(limit) / kMiB, peak <= limit ? "met" : "NOT met");
    return 0;
}

// A copy of the stub with the two resources that make it a product's setup program.
int Embed(const fs::path& stub, const fs::path& metadataFile, const fs::path& package,
          const fs::path& output) {
    std::ifstream in(metadataFile, std::ios::binary);
    const std::string metadata{std::istreambuf_iterator<char>(in), {}};
    const auto mapped = MappedFile::Open(package);
    if (!in || !mapped || !::CopyFileW(stub.c_str(), output.c_str(), FALSE))
        throw std::runtime_error("cannot read the inputs or write the output");
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    ResourceUpdate update(::BeginUpdateResourceW(output.c_str(), FALSE));
    if (!update ||
        !::UpdateResourceW(update.get(), RT_RCDATA, L"METADATA", neutral,
                           const_cast<char*>(metadata.data()),
                           static_cast<DWORD>(metadata.size())) ||
        !::UpdateResourceW(update.get(), RT_RCDATA, L"PAYLOAD", neutral,
                           const_cast<std::byte*>(mapped->bytes().data()),
                           static_cast<DWORD>(mapped->bytes().size())) ||
        !update.Commit())
        throw std::runtime_error("cannot update the resources");
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
    const double extraction = Seconds(marks[2].second - marks[1].second);
    const double total = Seconds(end - marks[0].second);
    std::printf("steps: checks and folder %.2f s, extraction %.2f s, uninstaller copy with files "
                "list and registration %.2f s, shortcut %.2f s, steps other than the extraction "
                "%.2f s, total %.2f s, uninstaller copy alone %.2f s\n",
                Seconds(marks[1].second - marks[0].second), extraction,
                Seconds(marks[3].second - marks[2].second), Seconds(end - marks[3].second),
                total - extraction, total, copy);
    return 0;
}

int Remove(const fs::path& folder) {
    const ComApartment apartment;
    return Uninstall(OwnProduct(), Scope::User, folder, true) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        if (argc == 6 && std::wstring_view(argv[1]) == L"embed")
            return Embed(argv[2], argv[3], argv[4], argv[5]);
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
    std::fprintf(stderr, "usage: mvpk_bench run PACKAGE WORKDIR [ROUNDS] | embed STUB "
                         "METADATA-FILE PACKAGE OUTPUT | install FOLDER | remove FOLDER\n");
    return 2;
}
