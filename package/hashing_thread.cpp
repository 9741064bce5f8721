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
        block_ = wholeBlock_ = block;
    }
    workAvailable_.notify_one();
}

void HashingThread::WaitForBlock() {
    std::unique_lock lock(mutex_);
    WorkUntil(lock, [&] { return block_.empty() || index_ == entries_.size(); });
    // A failure here is the hash of the file being written: every earlier one was judged.
    if (failure_)
        ThrowFailure();
    // Its bytes may be reused from now on: the files the caller may still hash are the empty
    // ones at the block's end.
    blockStart_ += wholeBlock_.size();
    wholeBlock_ = {};
}

std::array<std::uint8_t, 32> HashingThread::NextDigest() {
    std::unique_lock lock(mutex_);
    const auto ready = [&] {
        return !results_.empty() && results_.front().ready;
    };
    // The thread's failure is that of the file it is at, which is then the next one: the
    // caller's own files before it are finished, since it hashed them itself.
    WorkUntil(lock, ready);
    if (!ready())
        ThrowFailure();
    const Result result = std::move(results_.front());
    results_.pop_front();
    const bool wasFull = index_ >= taken_ + kMaxAhead; // the thread waits for room
    ++taken_;
    if (wasFull)
        workAvailable_.notify_one();
    if (result.failure)
        std::rethrow_exception(result.failure);
    return result.digest;
}

void HashingThread::WorkUntil(std::unique_lock<std::mutex>& lock,
                              const std::function<bool()>& done) {
    if (thread_.joinable()) {
        while (!done() && !failure_)
            if (!Help(lock))
                progressMade_.wait(lock);
    } else {
        while (!done() && Step(lock)) {
        }
    }
}

HashingThread::Result& HashingThread::ResultOf(std::size_t file) {
    while (results_.size() <= file - taken_)
        results_.emplace_back();
    return results_[file - taken_];
}

// One piece of the thread's work, under the lock, which it releases while it hashes. False
// when nothing can be done before a block is handed over or a digest taken.
bool HashingThread::Step(std::unique_lock<std::mutex>& lock) {
    if (index_ == entries_.size())
        return false;
    const std::uint64_t size = entries_[index_].size;
    if (index_ >= claimedBegin_ && index_ < claimedEnd_) {
        // The caller's file, wholly in what is left of the block: its bytes are skipped.
        block_ = block_.subspan(static_cast<std::size_t>(size));
        ++index_;
        if (block_.empty())
            progressMade_.notify_one();
        return true;
    }
    if (consumed_ == size) {
        if (index_ - taken_ >= kMaxAhead)
            return false;
        lock.unlock();
        if (!hasher_) // an empty file
            hasher_.emplace();
        const auto digest = hasher_->Finish();
        hasher_.reset(); // its handles go before the next file's are opened
        lock.lock();
        Result& result = ResultOf(index_);
        result.digest = digest;
        result.ready = true;
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

// Hashes on the caller's thread, which would otherwise wait, the first file after the one the
// thread is at and after those the caller has claimed already, when it lies wholly in the
// current block (a file that goes on into the next one is left to the thread). False when
// there is none.
bool HashingThread::Help(std::unique_lock<std::mutex>& lock) {
    const std::size_t file = std::max(index_ + 1, claimedEnd_);
    if (index_ >= entries_.size() || file >= entries_.size() || file - taken_ >= kMaxAhead)
        return false;
    const PackageEntry& entry = entries_[file];
    // The reader has checked that each file begins where the one before it ends.
    if (entry.offset < blockStart_ || entry.offset + entry.size > blockStart_ + wholeBlock_.size())
        return false;
    if (file != claimedEnd_)
        claimedBegin_ = file; // the thread is past every file claimed before
    claimedEnd_ = file + 1;
    const auto bytes = wholeBlock_.subspan(static_cast<std::size_t>(entry.offset - blockStart_),
                                           static_cast<std::size_t>(entry.size));
    lock.unlock();
    Result result;
    try {
        Sha256Hasher hasher;
        hasher.Add(bytes);
        result.digest = hasher.Finish();
    } catch (...) {
        // Thrown again when this file's digest is asked for, after every earlier file's.
        result.failure = std::current_exception();
    }
    result.ready = true;
    lock.lock();
    ResultOf(file) = std::move(result);
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
