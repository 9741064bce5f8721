// Extraction: the blocks are decompressed in order, one block ahead, on a thread of their own,
// and the content stream is cut into the files of the table, each hashed on another thread
// while its bytes are written.
#include "package/compression_api.h"
#include "package/decompression_thread.h"
#include "package/hashing_thread.h"
#include "package/reader.h"
#include "package/windows_error.h"
#include "setup/handles.h"
#include "setup/held_entries.h"
#include "setup/text.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <system_error>

namespace mvpk {

namespace {

using Failure = std::unexpected<std::string>;

// The file being cut from the stream: its handle (when writing); the files' digests come from
// the hashing thread. Every folder and file is opened relative to the destination's handle,
// one element at a time, without following a link: whoever may write below the destination
// cannot send the files elsewhere by planting a junction or a link there.
class Extraction {
  public:
    Extraction(const Reader& reader, const std::filesystem::path& destination)
        : entries_(reader.entries()), write_(!destination.empty()),
          root_(write_ ? OpenFolder(destination) : UniqueHandle()),
          folders_(root_.get(), /*create=*/true), hashing_(entries_) {}

    bool done() const { return index_ >= entries_.size(); }

    // The block's bytes are hashed while Feed writes them; both are done with them when
    // WaitForBlock returns.
    void Hash(std::span<const std::byte> block) { hashing_.Hash(block); }
    void WaitForBlock() { hashing_.WaitForBlock(); }

    // Feeds bytes of the content stream; returns how many the current file took.
    std::expected<std::size_t, std::string> Feed(const std::byte* bytes, std::size_t available) {
        const PackageEntry& entry = entries_[index_];
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(entry.size - consumed_, available));
        if (write_)
            Write(bytes, n);
        consumed_ += n;
        if (consumed_ == entry.size) {
            if (auto finished = FinishFile(); !finished)
                return Failure(std::move(finished.error()));
            if (auto opened = OpenNextFile(); !opened)
                return Failure(std::move(opened.error()));
        }
        return n;
    }

    // Opens the file at the current index; files of size 0 are completed at once.
    std::expected<void, std::string> OpenNextFile() {
        while (index_ < entries_.size()) {
            const PackageEntry& entry = entries_[index_];
            if (write_) {
                // Missing folders are created on the way; the package's paths are safe ones.
                auto file = folders_.OpenFileToWrite(Utf8ToWide(entry.path));
                if (!file)
                    return Failure("Écriture impossible : " + entry.path);
                file_ = std::move(*file);
                writeFailed_ = false;
            }
            consumed_ = 0;
            if (entry.size > 0)
                return {};
            file_.reset(); // the empty file exists
            if (hashing_.NextDigest() != entry.sha256)
                return Failure("Fichier altéré : " + entry.path);
            ++index_;
        }
        return {};
    }

  private:
    void Write(const std::byte* bytes, std::size_t n) {
        // WriteFile takes a 32-bit length: large pieces go in parts of 1 GiB.
        for (std::size_t at = 0; at < n && !writeFailed_;) {
            const DWORD part = static_cast<DWORD>(std::min<std::size_t>(n - at, 1 << 30));
            DWORD written = 0;
            writeFailed_ =
                !::WriteFile(file_.get(), bytes + at, part, &written, nullptr) || written != part;
            at += part;
        }
    }

    std::expected<void, std::string> FinishFile() {
        const PackageEntry& entry = entries_[index_];
        // Before the write check: a failed hash is thrown where it happened, before the end.
        const auto digest = hashing_.NextDigest();
        const bool closed = CloseChecked(file_);
        if (write_ && (writeFailed_ || !closed))
            return Failure("Écriture impossible : " + entry.path);
        if (digest != entry.sha256)
            return Failure("Fichier altéré : " + entry.path);
        ++index_;
        return {};
    }

    const std::vector<PackageEntry>& entries_;
    const bool write_;
    std::size_t index_ = 0;
    std::uint64_t consumed_ = 0;
    const UniqueHandle root_; // the destination, opened by its name: the caller's to trust
    FolderWalk folders_;      // the folders of the file last opened, held
    UniqueHandle file_;
    bool writeFailed_ = false;
    HashingThread hashing_;
};

} // namespace

std::expected<void, std::string> Reader::Extract(const std::filesystem::path& destination,
                                                 const ByteProgressCallback& progress) const {
    if (!destination.empty()) {
        std::error_code ignored;
        std::filesystem::create_directories(destination, ignored);
    }

    const std::unique_ptr<CompressionApi> api = CompressionApi::LoadDecompressor();
    if (!api)
        return Failure(WithWindowsError("CreateDecompressor"));
    DECOMPRESSOR_HANDLE raw = nullptr;
    if (!api->createDecompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
        return Failure(WithWindowsError("CreateDecompressor"));
    // Declared first, so that its buffers outlive the hashing thread, which reads them until
    // joined.
    DecompressionThread decompressed(*api, Decompressor(raw, api->closeDecompressor), data_,
                                     blocks_);
    Extraction extraction(*this, destination);
    if (auto opened = extraction.OpenNextFile(); !opened)
        return Failure(std::move(opened.error()));

    std::uint64_t done = 0;
    for (const PackageBlock& block : blocks_) {
        // Asked for only once the block before is finished, its files judged and its progress
        // reported: a damaged block found early waits for its turn.
        auto bytes = decompressed.Next();
        if (!bytes)
            return Failure(std::move(bytes.error()));
        const std::byte* const decoded = bytes->data();
        const std::size_t length = static_cast<std::size_t>(block.size);
        extraction.Hash({decoded, length});
        std::size_t position = 0;
        while (position < length && !extraction.done()) {
            auto taken = extraction.Feed(decoded + position, length - position);
            if (!taken)
                return Failure(std::move(taken.error()));
            position += *taken;
        }
        extraction.WaitForBlock();
        done += block.size;
        if (progress)
            progress(done, totalSize_);
    }
    if (!extraction.done())
        return Failure("Paquet MVPK incomplet");
    return {};
}

} // namespace mvpk
