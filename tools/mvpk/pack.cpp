#include "tools/mvpk/pack.h"

#include "package/compression_api.h"
#include "package/reader.h"
#include "package/sha256_hasher.h"
#include "package/windows_error.h"
#include "setup/text.h"
#include "tools/mvpk/console.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

namespace mvpk_tool {

namespace {

constexpr std::uint64_t kProgressThreshold = 64 << 20;

using Failure = std::unexpected<std::string>;

template <class T> void PutLe(std::string& out, T value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF));
}

struct Block {
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
};

// One block being filled or compressed, with the compressor that only its thread uses.
struct Slot {
    explicit Slot(mvpk::Compressor c) : compressor(std::move(c)) {}
    mvpk::Compressor compressor;
    std::vector<std::byte> input;
    std::size_t filled = 0;
    std::vector<std::byte> output;
    SIZE_T produced = 0;
    // Declared last, so destroyed first: a compression still running is waited for before
    // its buffers and compressor go.
    std::future<std::expected<void, std::string>> pending;
};

std::expected<void, std::string> CompressSlot(const mvpk::CompressionApi& api, Slot& slot) {
    // Above any LZMS buffer's largest size (every chunk stored) for blocks of any size; a
    // compressor that asks for more says so and gets it.
    if (slot.output.size() < slot.filled + slot.filled / 8 + 4096)
        slot.output.resize(slot.filled + slot.filled / 8 + 4096);
    slot.produced = 0;
    while (!api.compress(slot.compressor.get(), slot.input.data(), slot.filled, slot.output.data(),
                         slot.output.size(), &slot.produced)) {
        if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || slot.produced <= slot.output.size())
            return Failure(mvpk::WithWindowsError("Compress"));
        slot.output.resize(slot.produced);
    }
    return {};
}

// Cuts the content stream into blocks and compresses them on several threads, each block on
// the thread of its slot (block i in slot i modulo the count), and writes them in order. A
// block's bytes depend only on the block, so the package is the same whatever the count.
class BlockWriter {
  public:
    BlockWriter(const mvpk::CompressionApi& api, std::vector<mvpk::Compressor> compressors,
                std::ofstream& out, std::size_t blockSize, std::size_t blockCount,
                bool showProgress)
        : api_(api), out_(out), blockSize_(blockSize), blockCount_(blockCount),
          showProgress_(showProgress) {
        for (mvpk::Compressor& compressor : compressors)
            slots_.push_back(std::make_unique<Slot>(std::move(compressor)));
    }

    // Room in the block being filled, after the oldest compression is written out if its
    // slot is needed.
    std::expected<std::size_t, std::string> Reserve() {
        Slot& slot = Current();
        if (slot.pending.valid())
            if (auto written = WriteOldest(); !written)
                return Failure(written.error());
        if (slot.input.size() != blockSize_)
            slot.input.resize(blockSize_);
        return blockSize_ - slot.filled;
    }
    char* cursor() { return reinterpret_cast<char*>(Current().input.data()) + Current().filled; }

    // n bytes were placed at the cursor; a full block goes to its thread.
    void Added(std::size_t n) {
        Current().filled += n;
        if (Current().filled == blockSize_)
            Submit();
    }

    // The last, partial block, then every compression in order.
    std::expected<void, std::string> Finish() {
        if (!slots_.empty() && Current().filled > 0)
            Submit();
        while (written_ < submitted_)
            if (auto written = WriteOldest(); !written)
                return written;
        return {};
    }

    const std::vector<Block>& blocks() const { return blocks_; }

  private:
    Slot& Current() { return *slots_[submitted_ % slots_.size()]; }

    void Submit() {
        Slot& slot = Current();
        slot.pending =
            std::async(std::launch::async, [this, &slot] { return CompressSlot(api_, slot); });
        ++submitted_;
    }

    std::expected<void, std::string> WriteOldest() {
        Slot& slot = *slots_[written_ % slots_.size()];
        if (auto compressed = slot.pending.get(); !compressed)
            return compressed;
        out_.write(reinterpret_cast<const char*>(slot.output.data()),
                   static_cast<std::streamsize>(slot.produced));
        blocks_.push_back({slot.produced, slot.filled});
        slot.filled = 0;
        ++written_;
        if (showProgress_)
            Err("\rCompression : " + std::to_string(blocks_.size() * 100 / blockCount_) + " %" +
                (blocks_.size() == blockCount_ ? "\n" : ""));
        return {};
    }

    const mvpk::CompressionApi& api_;
    std::ofstream& out_;
    std::size_t blockSize_;
    std::size_t blockCount_;
    bool showProgress_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::size_t submitted_ = 0;
    std::size_t written_ = 0;
    std::vector<Block> blocks_;
};

// As many threads as cores (MVPK_THREADS sets another count), no more than there are
// blocks, and no more than the memory that is free can hold: LZMS compressors take about
// nine times their block, and each thread has its block and its output besides.
std::expected<std::size_t, std::string> CompressionThreads(std::uint64_t blockCount,
                                                           std::uint64_t blockSize) {
    std::uint64_t threads = std::max(1u, std::thread::hardware_concurrency());
    wchar_t text[32] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"MVPK_THREADS", text, std::size(text));
    if (length > 0) {
        const std::wstring value(text, std::min<DWORD>(length, std::size(text) - 1));
        std::uint64_t parsed = 0;
        bool valid = length < std::size(text) && value.size() <= 4;
        for (wchar_t c : value) {
            valid = valid && c >= L'0' && c <= L'9';
            parsed = parsed * 10 + static_cast<std::uint64_t>(c - L'0');
        }
        if (!valid || parsed == 0)
            return Failure("MVPK_THREADS invalide (nombre de 1 à 9999 attendu) : " +
                           WideToUtf8(value));
        threads = parsed;
    } else {
        MEMORYSTATUSEX memory{};
        memory.dwLength = sizeof(memory);
        if (::GlobalMemoryStatusEx(&memory))
            threads = std::min(
                threads, std::max<std::uint64_t>(1, memory.ullAvailPhys / (11 * blockSize + 1)));
    }
    return static_cast<std::size_t>(std::clamp<std::uint64_t>(blockCount, 1, threads));
}

std::string StoredPath(const std::filesystem::path& full, const std::filesystem::path& folder) {
    std::wstring relative = full.lexically_relative(folder).native();
    std::replace(relative.begin(), relative.end(), L'/', L'\\');
    return WideToUtf8(relative);
}

} // namespace

// A link (symbolic link or junction) is refused: this library's iterator would follow it out
// of the folder, or round in a loop, since it never recognises links on Windows.
std::expected<std::vector<SourceFile>, std::string>
ListFolder(const std::filesystem::path& folder) {
    std::vector<SourceFile> files;
    std::error_code error;
    const auto options = std::filesystem::directory_options::none;
    std::filesystem::recursive_directory_iterator it(folder, options, error), end;
    if (error)
        return Failure("Dossier illisible : " + Display(folder));
    for (; it != end; it.increment(error)) {
        if (error)
            return Failure("Dossier illisible : " + Display(it->path()));
        const DWORD attributes = ::GetFileAttributesW(it->path().c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return Failure("Lien refusé : " + StoredPath(it->path(), folder));
        // An entry whose type cannot be read would otherwise be left out without a word.
        const bool regular = it->is_regular_file(error);
        if (error)
            return Failure("Lecture impossible : " + Display(it->path()));
        if (!regular)
            continue;
        SourceFile file;
        file.full = it->path();
        file.path = StoredPath(file.full, folder);
        file.size = it->file_size(error);
        if (error)
            return Failure("Lecture impossible : " + Display(file.full));
        files.push_back(std::move(file));
    }
    if (error)
        return Failure("Dossier illisible : " + Display(folder));
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.path < b.path; });
    if (files.size() > UINT32_MAX)
        return Failure("Trop de fichiers pour un paquet MVPK");
    for (const SourceFile& file : files) {
        if (!mvpk::IsSafePackagePath(file.path))
            return Failure("Chemin refusé : " + file.path);
        if (file.path.size() > 65535)
            return Failure("Chemin trop long (" + std::to_string(file.path.size()) +
                           " octets, 65535 au plus) : " + file.path);
    }
    return files;
}

std::expected<std::string, std::string> ReadMetadataFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return Failure("Lecture impossible : " + Display(file));
    std::string metadata(std::istreambuf_iterator<char>(in), {});
    if (in.bad())
        return Failure("Lecture impossible : " + Display(file));
    if (metadata.size() > UINT32_MAX)
        return Failure("Métadonnées trop longues : " + Display(file));
    return metadata;
}

std::expected<PackSummary, std::string> PackFiles(std::vector<SourceFile> files,
                                                  std::string_view metadata,
                                                  const std::filesystem::path& package,
                                                  const std::string& packageName,
                                                  std::uint64_t blockSize) {
    std::uint64_t total = 0;
    std::uint64_t tableSize = 0;
    for (const SourceFile& file : files) {
        total += file.size;
        tableSize += 50 + file.path.size();
    }

    const std::uint64_t blockCount = (total + blockSize - 1) / blockSize;
    if (blockCount > UINT32_MAX)
        return Failure("Trop de blocs pour un paquet MVPK");
    const std::uint64_t dataOffset =
        mvpk::kHeaderSize + metadata.size() + tableSize + 16 * blockCount;

    const auto threads = CompressionThreads(blockCount, blockSize);
    if (!threads)
        return Failure(threads.error());
    const auto api = mvpk::CompressionApi::LoadAll();
    if (!api)
        return Failure(mvpk::WithWindowsError("CreateCompressor"));
    std::vector<mvpk::Compressor> compressors;
    for (std::size_t i = 0; i < *threads; ++i) {
        COMPRESSOR_HANDLE raw = nullptr;
        if (!api->createCompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
            return Failure(mvpk::WithWindowsError("CreateCompressor"));
        compressors.emplace_back(raw, api->closeCompressor);
    }

    std::ofstream out(package, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out)
        return Failure("Écriture impossible : " + packageName);
    // From here on, every way out but the end, a thrown exception included, takes the
    // partial package away.
    struct PartialPackage {
        std::ofstream& out;
        const std::filesystem::path& path;
        bool complete = false;
        ~PartialPackage() {
            if (complete)
                return;
            out.close();
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    } partial{out, package};
    // The tables are written last, when the digests and compressed sizes are known.
    out.seekp(static_cast<std::streamoff>(dataOffset));

    // Progress on standard error for long runs only.
    BlockWriter writer(*api, std::move(compressors), out, static_cast<std::size_t>(blockSize),
                       static_cast<std::size_t>(blockCount),
                       total >= kProgressThreshold && blockCount > 1);
    for (SourceFile& file : files) {
        std::ifstream in(file.full, std::ios::binary);
        if (!in)
            return Failure("Lecture impossible : " + Display(file.full));
        mvpk::Sha256Hasher hasher;
        std::uint64_t read = 0;
        while (true) {
            const auto room = writer.Reserve();
            if (!room)
                return Failure(room.error());
            const std::size_t want = *room;
            in.read(writer.cursor(), static_cast<std::streamsize>(want));
            const auto got = static_cast<std::size_t>(in.gcount());
            if (in.bad())
                return Failure("Lecture impossible : " + Display(file.full));
            read += got;
            if (read > file.size)
                return Failure("Fichier modifié pendant la lecture : " + Display(file.full));
            hasher.Add(std::span<const std::byte>(
                reinterpret_cast<const std::byte*>(writer.cursor()), got));
            writer.Added(got);
            if (got < want)
                break;
        }
        if (read != file.size)
            return Failure("Fichier modifié pendant la lecture : " + Display(file.full));
        file.sha256 = hasher.Finish();
    }
    if (auto finished = writer.Finish(); !finished)
        return Failure(finished.error());

    std::string head;
    head.reserve(static_cast<std::size_t>(dataOffset));
    head += "MVPK";
    PutLe(head, 1, 4);
    PutLe(head, files.size(), 4);
    PutLe(head, writer.blocks().size(), 4);
    PutLe(head, total, 8);
    PutLe(head, metadata.size(), 4);
    PutLe(head, 0, 4);
    head += metadata;
    std::uint64_t offset = 0;
    for (const SourceFile& file : files) {
        PutLe(head, offset, 8);
        PutLe(head, file.size, 8);
        head.append(reinterpret_cast<const char*>(file.sha256.data()), 32);
        PutLe(head, file.path.size(), 2);
        head += file.path;
        offset += file.size;
    }
    std::uint64_t packed = dataOffset;
    for (const Block& block : writer.blocks()) {
        PutLe(head, block.compressedSize, 8);
        PutLe(head, block.size, 8);
        packed += block.compressedSize;
    }
    out.seekp(0);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    out.close();
    if (!out)
        return Failure("Écriture impossible : " + packageName);
    partial.complete = true;
    return PackSummary{files.size(), total, writer.blocks().size(), packed};
}

} // namespace mvpk_tool
