// The files' digests, computed on a thread of their own while the installing thread writes the
// same bytes: both read the same block buffer, so that extraction takes about as long as the
// slower of writing and hashing instead of their sum. When writing is the faster, the
// installing thread, instead of waiting for a digest, hashes files of the block itself.
#pragma once

#include "package/reader.h"
#include "package/sha256_hasher.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace mvpk {

// Hashes the content stream file by file, in table order. A caller that would wait for a
// digest hashes, on its own thread, the next file the thread has not reached when that file
// lies wholly in the current block: the thread then skips it. Digests are still taken in table
// order. No exception leaves the thread: a failure of CNG (Sha256Hasher's runtime error) is
// kept as that file's and thrown again on the caller's thread by the call that needs that
// file's digest. When no thread can be started, the same work runs on the caller's thread,
// inside those calls.
class HashingThread {
  public:
    explicit HashingThread(const std::vector<PackageEntry>& entries);
    // Stops the thread between two pieces of at most 1 MiB and joins it; the hasher's
    // handles go with the object.
    ~HashingThread();
    HashingThread(const HashingThread&) = delete;
    HashingThread& operator=(const HashingThread&) = delete;

    // The next block of the content stream, once WaitForBlock has returned for the one before.
    // Its bytes must stay as they are until WaitForBlock returns.
    void Hash(std::span<const std::byte> block);
    // Returns once the block's bytes are no longer needed.
    void WaitForBlock();
    // The digest of the next file in table order, once all its bytes have been handed over.
    std::array<std::uint8_t, 32> NextDigest();

  private:
    // A file's digest, or what kept it from being computed.
    struct Result {
        std::array<std::uint8_t, 32> digest{};
        std::exception_ptr failure;
        bool ready = false;
    };

    bool Step(std::unique_lock<std::mutex>& lock);
    bool Help(std::unique_lock<std::mutex>& lock);
    // Returns once done holds, or the thread has failed, or (without a thread) no work is
    // left that could make it hold: the caller helps, or does the work itself, meanwhile.
    void WorkUntil(std::unique_lock<std::mutex>& lock, const std::function<bool()>& done);
    Result& ResultOf(std::size_t file);
    void Run();
    void ThrowFailure();

    const std::vector<PackageEntry>& entries_;
    // Driven by one thread only: the hashing thread, or the caller's when there is none.
    std::optional<Sha256Hasher> hasher_;

    std::mutex mutex_;
    std::condition_variable workAvailable_; // a block, room for a digest, or the stop
    std::condition_variable progressMade_;  // a digest, the block's end, or a failure
    std::size_t index_ = 0;                 // the file the thread is at
    std::uint64_t consumed_ = 0;            // its bytes hashed so far
    std::span<const std::byte> block_;      // what the thread has left of the block
    std::span<const std::byte> wholeBlock_; // the block as it was handed over
    std::uint64_t blockStart_ = 0;          // its offset in the content stream
    // The files the caller hashes itself, each after the one the thread was at when the caller
    // claimed it: the thread skips them.
    std::size_t claimedBegin_ = 0;
    std::size_t claimedEnd_ = 0;
    std::size_t taken_ = 0;      // digests taken by NextDigest
    std::deque<Result> results_; // of the files from taken_ on, in table order
    std::exception_ptr failure_; // the thread's own, of file index_
    bool stop_ = false;
    std::thread thread_; // last: started once everything above exists
};

} // namespace mvpk
