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
#include <iterator>
#include <system_error>
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

// Cuts the content stream into blocks and writes each one compressed.
class BlockWriter {
  public:
    BlockWriter(const mvpk::CompressionApi& api, COMPRESSOR_HANDLE compressor, std::ofstream& out,
                std::size_t blockSize, std::size_t blockCount, bool showProgress)
        : api_(api), compressor_(compressor), out_(out), blockSize_(blockSize),
          blockCount_(blockCount), showProgress_(showProgress), input_(blockSize) {}

    std::size_t free() const { return blockSize_ - filled_; }
    char* cursor() { return reinterpret_cast<char*>(input_.data()) + filled_; }

    // n bytes were placed at the cursor; a full block is compressed and written.
    std::expected<void, std::string> Added(std::size_t n) {
        filled_ += n;
        if (filled_ == blockSize_)
            return Flush();
        return {};
    }

    std::expected<void, std::string> Flush() {
        if (filled_ == 0)
            return {};
        if (output_.size() < filled_ + filled_ / 8 + 4096)
            output_.resize(filled_ + filled_ / 8 + 4096);
        SIZE_T produced = 0;
        while (!api_.compress(compressor_, input_.data(), filled_, output_.data(), output_.size(),
                              &produced)) {
            if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER || produced <= output_.size())
                return Failure(mvpk::WithWindowsError("Compress"));
            output_.resize(produced);
        }
        out_.write(reinterpret_cast<const char*>(output_.data()),
                   static_cast<std::streamsize>(produced));
        blocks_.push_back({produced, filled_});
        filled_ = 0;
        if (showProgress_)
            Err("\rCompression : " + std::to_string(blocks_.size() * 100 / blockCount_) + " %" +
                (blocks_.size() == blockCount_ ? "\n" : ""));
        return {};
    }

    const std::vector<Block>& blocks() const { return blocks_; }

  private:
    const mvpk::CompressionApi& api_;
    COMPRESSOR_HANDLE compressor_;
    std::ofstream& out_;
    std::size_t blockSize_;
    std::size_t blockCount_;
    bool showProgress_;
    std::vector<std::byte> input_;
    std::vector<std::byte> output_;
    std::size_t filled_ = 0;
    std::vector<Block> blocks_;
};

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
        // Before the entry is read by its name: Windows would read another file, or a device,
        // under a name it does not keep as written, and leave the entry out or fail otherwise.
        if (const std::string stored = StoredPath(it->path(), folder);
            !mvpk::IsSafePackagePath(stored))
            return Failure("Chemin refusé : " + stored);
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

    const auto api = mvpk::CompressionApi::LoadAll();
    if (!api)
        return Failure(mvpk::WithWindowsError("CreateCompressor"));
    COMPRESSOR_HANDLE raw = nullptr;
    if (!api->createCompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
        return Failure(mvpk::WithWindowsError("CreateCompressor"));
    const mvpk::Compressor compressor(raw, api->closeCompressor);

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
    BlockWriter writer(*api, compressor.get(), out, static_cast<std::size_t>(blockSize),
                       static_cast<std::size_t>(blockCount),
                       total >= kProgressThreshold && blockCount > 1);
    for (SourceFile& file : files) {
        std::ifstream in(file.full, std::ios::binary);
        if (!in)
            return Failure("Lecture impossible : " + Display(file.full));
        mvpk::Sha256Hasher hasher;
        std::uint64_t read = 0;
        while (true) {
            const std::size_t want = writer.free();
            in.read(writer.cursor(), static_cast<std::streamsize>(want));
            const auto got = static_cast<std::size_t>(in.gcount());
            if (in.bad())
                return Failure("Lecture impossible : " + Display(file.full));
            read += got;
            if (read > file.size)
                return Failure("Fichier modifié pendant la lecture : " + Display(file.full));
            hasher.Add(std::span<const std::byte>(
                reinterpret_cast<const std::byte*>(writer.cursor()), got));
            if (auto added = writer.Added(got); !added)
                return Failure(added.error());
            if (got < want)
                break;
        }
        if (read != file.size)
            return Failure("Fichier modifié pendant la lecture : " + Display(file.full));
        file.sha256 = hasher.Finish();
    }
    if (auto flushed = writer.Flush(); !flushed)
        return Failure(flushed.error());

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
