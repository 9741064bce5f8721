// The files' digests, computed on a thread of their own while the installing thread writes the
// same bytes: both read the same block buffer, so that extraction takes about as long as the
// slower of writing and hashing instead of their sum.
#pragma once

#include "package/reader.h"
#include "package/sha256_hasher.h"

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace mvpk {

// Hashes the content stream file by file, in table order. No exception leaves the thread: a
// failure of CNG (Sha256Hasher's runtime error) is kept and thrown again on the caller's
// thread by the call that needs that file's digest. When no thread can be started, the same
// work runs on the caller's thread, inside those calls.
class HashingThread {
  public:
    explicit HashingThread(const std::vector<PackageEntry>& entries);
    // Stops the thread between two pieces of at most 1 MiB and joins it; the hasher's
    // handles go with the object.
    ~HashingThread();
    HashingThread(const HashingThread&) = delete;
    HashingThread& operator=(const HashingThread&) = delete;

    // The next block of the content stream. Its bytes must stay as they are until
    // WaitForBlock returns.
    void Hash(std::span<const std::byte> block);
    // Returns once the block's bytes are no longer needed.
    void WaitForBlock();
    // The digest of the next file in table order, once all its bytes have been handed over.
    std::array<std::uint8_t, 32> NextDigest();

  private:
    bool Step(std::unique_lock<std::mutex>& lock);
    void Run();
    void ThrowFailure();

    const std::vector<PackageEntry>& entries_;
    // Driven by one thread only: the hashing thread, or the caller's when there is none.
    std::optional<Sha256Hasher> hasher_;

    std::mutex mutex_;
    std::condition_variable workAvailable_;            // a block, room for a digest, or the stop
    std::condition_variable progressMade_;             // a digest, the block's end, or a failure
    std::size_t index_ = 0;                            // the file being hashed
    std::uint64_t consumed_ = 0;                       // its bytes hashed so far
    std::span<const std::byte> block_;                 // what is left of the block
    std::deque<std::array<std::uint8_t, 32>> digests_; // not yet taken, in table order
    std::exception_ptr failure_;
    bool stop_ = false;
    std::thread thread_; // last: started once everything above exists
};

} // namespace mvpk
