// Extraction: the blocks are decompressed in order, one block ahead, on a thread of their own,
// and the content stream is cut into the files of the table, each hashed on another thread
// while its bytes are written.
#include "package/compression_api.h"
#include "package/decompression_thread.h"
#include "package/hashing_thread.h"
#include "package/reader.h"
#include "package/windows_error.h"
#include "setup/text.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <memory>
#include <system_error>

namespace mvpk {

namespace {

using Failure = std::unexpected<std::string>;

// The file being cut from the stream: its output stream (when writing); the files' digests
// come from the hashing thread.
class Extraction {
  public:
    Extraction(const Reader& reader, const std::filesystem::path& destination)
        : entries_(reader.entries()), destination_(destination), write_(!destination.empty()),
          hashing_(entries_) {
        // Larger than the default, so that many small files cost few write calls.
        stream_.rdbuf()->pubsetbuf(streamBuffer_.get(), kStreamBufferSize);
    }

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
            stream_.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(n));
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
                const std::filesystem::path full = destination_ / Utf8ToWide(entry.path);
                // Files come in path order: most share their folder with the file before.
                if (full.parent_path() != folder_) {
                    folder_ = full.parent_path();
                    std::error_code ignored;
                    std::filesystem::create_directories(folder_, ignored);
                }
                if (stream_.is_open())
                    stream_.close();
                stream_.clear();
                stream_.open(full, std::ios::out | std::ios::trunc | std::ios::binary);
                if (!stream_.is_open())
                    return Failure("Écriture impossible : " + entry.path);
            }
            consumed_ = 0;
            if (entry.size > 0)
                return {};
            if (write_)
                stream_.close(); // the empty file exists; a failure here is not reported
            if (hashing_.NextDigest() != entry.sha256)
                return Failure("Fichier altéré : " + entry.path);
            ++index_;
        }
        return {};
    }

  private:
    std::expected<void, std::string> FinishFile() {
        const PackageEntry& entry = entries_[index_];
        // Before the write check: a failed hash is thrown where it happened, before the end.
        const auto digest = hashing_.NextDigest();
        if (write_) {
            const bool wroteAll = stream_.good();
            stream_.close();
            if (!wroteAll || stream_.fail())
                return Failure("Écriture impossible : " + entry.path);
        }
        if (digest != entry.sha256)
            return Failure("Fichier altéré : " + entry.path);
        ++index_;
        return {};
    }

    static constexpr std::size_t kStreamBufferSize = 256 * 1024;

    const std::vector<PackageEntry>& entries_;
    const std::filesystem::path& destination_;
    const bool write_;
    std::size_t index_ = 0;
    std::uint64_t consumed_ = 0;
    std::filesystem::path folder_; // the last one created
    std::unique_ptr<char[]> streamBuffer_ = std::make_unique<char[]>(kStreamBufferSize);
    std::ofstream stream_;
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
