#include "package/hashing_thread.h"

#include <algorithm>
#include <stdexcept>
#include <system_error>

namespace mvpk {

namespace {

// Between two pieces the thread looks whether it must stop, so that a failure on the
// installing thread is not held up by the rest of a 32 MiB block.
constexpr std::size_t kPiece = 1 << 20;
// Digests computed but not yet taken: enough never to hold the thread back on small files,
// bounded for a block of a million empty ones.
constexpr std::size_t kMaxAhead = 4096;

} // namespace

HashingThread::HashingThread(const std::vector<PackageEntry>& entries) : entries_(entries) {
    try {
        thread_ = std::thread(&HashingThread::Run, this);
    } catch (const std::system_error&) {
        // No thread: the calls below do the hashing on the caller's thread instead.
    }
}

HashingThread::~HashingThread() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    workAvailable_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void HashingThread::Hash(std::span<const std::byte> block) {
    {
        const std::lock_guard lock(mutex_);
        block_ = block;
    }
    workAvailable_.notify_one();
}

void HashingThread::WaitForBlock() {
    std::unique_lock lock(mutex_);
    const auto blockDone = [&] {
        return block_.empty() || index_ == entries_.size();
    };
    if (thread_.joinable())
        progressMade_.wait(lock, [&] { return blockDone() || failure_; });
    else
        while (!blockDone() && Step(lock)) {
        }
    // A failure here is the hash of the file being written: every earlier one was judged.
    if (failure_)
        ThrowFailure();
}

std::array<std::uint8_t, 32> HashingThread::NextDigest() {
    std::unique_lock lock(mutex_);
    if (thread_.joinable())
        progressMade_.wait(lock, [&] { return !digests_.empty() || failure_; });
    else
        while (digests_.empty() && Step(lock)) {
        }
    if (digests_.empty())
        ThrowFailure();
    const bool wasFull = digests_.size() == kMaxAhead;
    const auto digest = digests_.front();
    digests_.pop_front();
    if (wasFull)
        workAvailable_.notify_one();
    return digest;
}

// One piece of work, under the lock, which it releases while it hashes. False when nothing
// can be done before a block is handed over or a digest taken.
bool HashingThread::Step(std::unique_lock<std::mutex>& lock) {
    if (index_ == entries_.size())
        return false;
    const std::uint64_t size = entries_[index_].size;
    if (consumed_ == size) {
        if (digests_.size() >= kMaxAhead)
            return false;
        lock.unlock();
        if (!hasher_) // an empty file
            hasher_.emplace();
        const auto digest = hasher_->Finish();
        hasher_.reset(); // its handles go before the next file's are opened
        lock.lock();
        digests_.push_back(digest);
        ++index_;
        consumed_ = 0;
        progressMade_.notify_one();
        return true;
    }
    if (block_.empty())
        return false;
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>({kPiece, size - consumed_, block_.size()}));
    const auto piece = block_.first(n);
    lock.unlock();
    if (!hasher_)
        hasher_.emplace();
    hasher_->Add(piece);
    lock.lock();
    block_ = block_.subspan(n);
    consumed_ += n;
    if (block_.empty())
        progressMade_.notify_one();
    return true;
}

void HashingThread::Run() {
    std::unique_lock lock(mutex_, std::defer_lock);
    try {
        lock.lock();
        while (!stop_)
            if (!Step(lock))
                workAvailable_.wait(lock);
    } catch (...) {
        // Kept for the installing thread, which throws it where it needs this digest.
        if (!lock.owns_lock())
            lock.lock();
        failure_ = std::current_exception();
        progressMade_.notify_one();
    }
}

void HashingThread::ThrowFailure() {
    if (failure_)
        std::rethrow_exception(failure_);
    throw std::logic_error("Empreinte demandée avant ses octets");
}

} // namespace mvpk
