// The package's blocks, decompressed in order on a thread of their own one block ahead of the
// installing thread: while it writes (and the hashing thread hashes) one block, the next one
// is decompressed into a second buffer, so that extraction takes about as long as its slowest
// stage instead of decompression plus the slower of the other two.
#pragma once

#include "package/compression_api.h"
#include "package/reader.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace mvpk {

// A block's decompressed bytes: grows to the largest block it receives and never shrinks
// during the extraction; not zero-filled (the decompressor writes every byte that is read).
class BlockBuffer {
  public:
    // False when size bytes cannot be allocated. The previous bytes go first, so that a
    // buffer never holds two blocks.
    bool Reserve(std::uint64_t size);
    std::byte* data() { return bytes_.get(); }

  private:
    std::unique_ptr<std::byte[]> bytes_;
    std::size_t capacity_ = 0;
};

// Hands out the blocks in order, each block's failure in its turn: a damaged block found
// early is reported only when the installing thread asks for that block, after it has
// finished and judged the files of the blocks before it. The thread stops after a failure.
// When no thread can be started, each block is decompressed inside the call that asks for it.
class DecompressionThread {
  public:
    // The decompressor is used by this object's thread only (or by the caller's when there is
    // none); data and blocks must outlive the object.
    DecompressionThread(const CompressionApi& api, Decompressor decompressor,
                        std::span<const std::byte> data, const std::vector<PackageBlock>& blocks);
    // Stops the thread after the block it is decompressing, if any, and joins it.
    ~DecompressionThread();
    DecompressionThread(const DecompressionThread&) = delete;
    DecompressionThread& operator=(const DecompressionThread&) = delete;

    // The next block's bytes, or its failure message ("Décompression (erreur Windows N)",
    // "Mémoire insuffisante pour décompresser un bloc de N octets"). The bytes returned
    // before are given back by this call: they must no longer be read. An exception of the
    // thread is thrown again here.
    std::expected<std::span<const std::byte>, std::string> Next();

  private:
    struct Slot {
        BlockBuffer buffer;
        std::string failure; // empty once the block is decompressed
    };

    // Sets one of the flags below and wakes the thread.
    void Prepared(bool& flag);
    void Run();
    // Decompresses block index into its slot; the failure's text when it fails.
    std::string Decompress(std::size_t index);

    const CompressionApi& api_;
    const Decompressor decompressor_;
    const std::span<const std::byte> data_;
    const std::vector<PackageBlock>& blocks_;
    Slot slots_[2]; // block i in slots_[i % 2]

    std::mutex mutex_;
    std::condition_variable slotFree_;   // a block given back, or the stop
    std::condition_variable blockReady_; // a block decompressed or failed, or an exception
    std::size_t ready_ = 0;              // blocks decompressed (or failed) by the thread
    std::size_t given_ = 0;              // blocks handed out by Next
    std::exception_ptr exception_;
    bool ended_ = false; // the thread has left its loop
    bool stop_ = false;
    // The caller is done with the first, and the second, slot's buffer.
    bool firstPrepared_ = false;
    bool secondPrepared_ = false;
    std::thread thread_; // last: started once everything above exists
};

} // namespace mvpk
