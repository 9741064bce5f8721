// mvpk: makes, checks and lists MVPK packages (the package layout the setup program reads).
//   mvpk pack FOLDER METADATA-FILE OUTPUT [--block-size N]
//   mvpk verify PACKAGE
//   mvpk list PACKAGE
// Messages are UTF-8 on the standard streams, written as bytes.
#include "package/compression_api.h"
#include "package/reader.h"
#include "package/sha256_hasher.h"
#include "package/windows_error.h"
#include "setup/text.h"
#include "tools/mvpk/mapped_file.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

constexpr std::uint64_t kDefaultBlockSize = 33554432;
constexpr std::uint64_t kMaxBlockSize = 0x40000000; // 1 GiB
constexpr std::uint64_t kProgressThreshold = 64 << 20;

void WriteBytes(DWORD which, std::string_view text) {
    const HANDLE out = ::GetStdHandle(which);
    while (!text.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1 << 20));
        if (!::WriteFile(out, text.data(), chunk, &written, nullptr) || written == 0)
            return;
        text.remove_prefix(written);
    }
}
void Out(std::string_view text) {
    WriteBytes(STD_OUTPUT_HANDLE, text);
}
void Err(std::string_view text) {
    WriteBytes(STD_ERROR_HANDLE, text);
}

// A failure of the tool: its message on standard error and exit code 1.
int Fail(const std::string& message) {
    Err(message + "\n");
    return 1;
}

int Usage() {
    Err("usage : mvpk pack DOSSIER FICHIER-METADONNEES SORTIE [--block-size N]\n"
        "        mvpk verify PAQUET\n"
        "        mvpk list PAQUET\n");
    return 2;
}

std::string Display(const std::filesystem::path& path) {
    return WideToUtf8(path.native());
}

template <class T> void PutLe(std::string& out, T value, int width) {
    for (int i = 0; i < width; ++i)
        out.push_back(static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF));
}

struct SourceFile {
    std::filesystem::path full;
    std::string path; // UTF-8, backslashes
    std::uint64_t size = 0;
    std::array<std::uint8_t, 32> sha256{};
};

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
                return std::unexpected(mvpk::WithWindowsError("Compress"));
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

int Pack(const std::filesystem::path& folder, const std::filesystem::path& metadataFile,
         const std::filesystem::path& output, std::uint64_t blockSize) {
    // Every regular file below the folder, by the byte order of its stored path.
    std::vector<SourceFile> files;
    std::error_code error;
    const auto options = std::filesystem::directory_options::none;
    std::filesystem::recursive_directory_iterator it(folder, options, error), end;
    if (error)
        return Fail("Dossier illisible : " + Display(folder));
    for (; it != end; it.increment(error)) {
        if (error)
            return Fail("Dossier illisible : " + Display(it->path()));
        if (!it->is_regular_file(error))
            continue;
        SourceFile file;
        file.full = it->path();
        std::wstring relative = file.full.lexically_relative(folder).native();
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        file.path = WideToUtf8(relative);
        file.size = it->file_size(error);
        if (error)
            return Fail("Lecture impossible : " + Display(file.full));
        files.push_back(std::move(file));
    }
    if (error)
        return Fail("Dossier illisible : " + Display(folder));
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.path < b.path; });
    if (files.size() > UINT32_MAX)
        return Fail("Trop de fichiers pour un paquet MVPK");

    std::uint64_t total = 0;
    std::uint64_t tableSize = 0;
    for (const SourceFile& file : files) {
        if (!mvpk::IsSafePackagePath(file.path))
            return Fail("Chemin refusé : " + file.path);
        if (file.path.size() > 65535)
            return Fail("Chemin trop long (" + std::to_string(file.path.size()) +
                        " octets, 65535 au plus) : " + file.path);
        total += file.size;
        tableSize += 50 + file.path.size();
    }

    std::ifstream metadataIn(metadataFile, std::ios::binary);
    if (!metadataIn)
        return Fail("Lecture impossible : " + Display(metadataFile));
    const std::string metadata(std::istreambuf_iterator<char>(metadataIn), {});
    if (metadataIn.bad())
        return Fail("Lecture impossible : " + Display(metadataFile));
    if (metadata.size() > UINT32_MAX)
        return Fail("Métadonnées trop longues : " + Display(metadataFile));

    const std::uint64_t blockCount = (total + blockSize - 1) / blockSize;
    if (blockCount > UINT32_MAX)
        return Fail("Trop de blocs pour un paquet MVPK");
    const std::uint64_t dataOffset =
        mvpk::kHeaderSize + metadata.size() + tableSize + 16 * blockCount;

    const auto api = mvpk::CompressionApi::LoadAll();
    if (!api)
        return Fail(mvpk::WithWindowsError("CreateCompressor"));
    COMPRESSOR_HANDLE raw = nullptr;
    if (!api->createCompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
        return Fail(mvpk::WithWindowsError("CreateCompressor"));
    const mvpk::Compressor compressor(raw, api->closeCompressor);

    std::ofstream out(output, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!out)
        return Fail("Écriture impossible : " + Display(output));
    auto failed = [&](const std::string& message) {
        out.close();
        std::error_code ignored;
        std::filesystem::remove(output, ignored);
        return Fail(message);
    };
    // The tables are written last, when the digests and compressed sizes are known.
    out.seekp(static_cast<std::streamoff>(dataOffset));

    // Progress on standard error for long runs only.
    BlockWriter writer(*api, compressor.get(), out, static_cast<std::size_t>(blockSize),
                       static_cast<std::size_t>(blockCount),
                       total >= kProgressThreshold && blockCount > 1);
    for (SourceFile& file : files) {
        std::ifstream in(file.full, std::ios::binary);
        if (!in)
            return failed("Lecture impossible : " + Display(file.full));
        mvpk::Sha256Hasher hasher;
        std::uint64_t read = 0;
        while (true) {
            const std::size_t want = writer.free();
            in.read(writer.cursor(), static_cast<std::streamsize>(want));
            const auto got = static_cast<std::size_t>(in.gcount());
            if (in.bad())
                return failed("Lecture impossible : " + Display(file.full));
            read += got;
            if (read > file.size)
                return failed("Fichier modifié pendant la lecture : " + Display(file.full));
            hasher.Add(std::span<const std::byte>(
                reinterpret_cast<const std::byte*>(writer.cursor()), got));
            if (auto added = writer.Added(got); !added)
                return failed(added.error());
            if (got < want)
                break;
        }
        if (read != file.size)
            return failed("Fichier modifié pendant la lecture : " + Display(file.full));
        file.sha256 = hasher.Finish();
    }
    if (auto flushed = writer.Flush(); !flushed)
        return failed(flushed.error());

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
        return failed("Écriture impossible : " + Display(output));

    Out(std::to_string(files.size()) + " fichiers, " + std::to_string(total) + " octets, " +
        std::to_string(writer.blocks().size()) + " blocs, paquet de " + std::to_string(packed) +
        " octets : " + Display(output) + "\n");
    return 0;
}

std::expected<MappedFile, int> OpenPackageFile(const std::filesystem::path& file) {
    auto mapped = MappedFile::Open(file);
    if (!mapped)
        return std::unexpected(Fail("Lecture impossible : " + Display(file)));
    return std::move(*mapped);
}

// Opens and validates a package, then hands the reader to use while the file stays mapped.
int WithPackage(const std::filesystem::path& file,
                const std::function<int(const mvpk::Reader&)>& use) {
    auto mapped = OpenPackageFile(file);
    if (!mapped)
        return mapped.error();
    auto reader = mvpk::Reader::Open(mapped->bytes());
    if (!reader)
        return Fail(reader.error());
    return use(*reader);
}

int Verify(const std::filesystem::path& file) {
    return WithPackage(file, [](const mvpk::Reader& reader) {
        // The SHA-256 provider and memory leave by exception; both are failures to report.
        try {
            if (auto extracted = reader.Extract({}, {}); !extracted)
                return Fail(extracted.error());
        } catch (const std::exception& e) {
            return Fail(e.what());
        }
        Out("Paquet intact : " + std::to_string(reader.entries().size()) + " fichiers, " +
            std::to_string(reader.totalSize()) + " octets, " +
            std::to_string(reader.blocks().size()) + " blocs\n");
        return 0;
    });
}

int List(const std::filesystem::path& file) {
    return WithPackage(file, [](const mvpk::Reader& reader) {
        std::string text;
        for (const mvpk::PackageEntry& entry : reader.entries()) {
            static constexpr char kHex[] = "0123456789abcdef";
            text += std::to_string(entry.size);
            text += ' ';
            for (std::uint8_t byte : entry.sha256) {
                text += kHex[byte >> 4];
                text += kHex[byte & 15];
            }
            text += ' ';
            text += entry.path;
            text += '\n';
        }
        Out(text);
        return 0;
    });
}

bool ParseSize(std::wstring_view text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    ::SetConsoleOutputCP(CP_UTF8);
    std::vector<std::wstring_view> args(argv + 1, argv + argc);
    if (args.empty())
        return Usage();
    const std::wstring_view command = args[0];
    if (command == L"pack" && (args.size() == 4 || args.size() == 6)) {
        std::uint64_t blockSize = kDefaultBlockSize;
        if (args.size() == 6 && (args[4] != L"--block-size" || !ParseSize(args[5], blockSize) ||
                                 blockSize == 0 || blockSize > kMaxBlockSize)) {
            Err("Taille de bloc invalide (de 1 à " + std::to_string(kMaxBlockSize) + " octets)\n");
            return 2;
        }
        try {
            return Pack(args[1], args[2], args[3], blockSize);
        } catch (const std::exception& e) {
            return Fail(e.what());
        }
    }
    if (command == L"verify" && args.size() == 2)
        return Verify(args[1]);
    if (command == L"list" && args.size() == 2)
        return List(args[1]);
    return Usage();
}
