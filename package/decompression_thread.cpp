#include "package/decompression_thread.h"

#include "package/windows_error.h"

#include <algorithm>
#include <new>
#include <stdexcept>
#include <system_error>

namespace mvpk {

namespace {

// The smallest page of x64 Windows: writing one byte in each commits the whole buffer.
constexpr std::uint64_t kPageSize = 4096;

// Writes a byte in each page of bytes [from, to) of the buffer, which holds at least to bytes.
void TouchPages(BlockBuffer& buffer, std::uint64_t from, std::uint64_t to) {
    for (std::uint64_t at = from; at < to; at += kPageSize)
        buffer.data()[at] = std::byte{0};
}

} // namespace

bool BlockBuffer::Reserve(std::uint64_t size) {
    if (size <= capacity_)
        return true;
    if (size > SIZE_MAX)
        return false;
    bytes_.reset();
    capacity_ = 0;
    bytes_.reset(new (std::nothrow) std::byte[static_cast<std::size_t>(size)]);
    if (!bytes_)
        return false;
    capacity_ = static_cast<std::size_t>(size);
    return true;
}

DecompressionThread::DecompressionThread(const CompressionApi& api, Decompressor decompressor,
                                         std::span<const std::byte> data,
                                         const std::vector<PackageBlock>& blocks)
    : api_(api), decompressor_(std::move(decompressor)), data_(data), blocks_(blocks) {
    // A fresh 32 MiB buffer costs thousands of first-touch page faults, which took about as
    // long as decompressing its block. Nothing can start before the first block is
    // decompressed, so the first buffer's pages are touched by this thread and the
    // decompression thread together, half each, before it decompresses; then the second
    // buffer's here, while the first block is decompressed, so that the second block is not
    // late either. A buffer that cannot be allocated is left for the thread to meet, and
    // report, in its turn.
    const bool first = !blocks_.empty() && slots_[0].buffer.Reserve(blocks_[0].size);
    try {
        thread_ = std::thread(&DecompressionThread::Run, this);
    } catch (const std::system_error&) {
        // No thread: Next decompresses each block on the caller's thread instead.
        return;
    }
    if (first)
        TouchPages(slots_[0].buffer, blocks_[0].size / 2, blocks_[0].size);
    Prepared(firstPrepared_);
    if (blocks_.size() > 1 && slots_[1].buffer.Reserve(blocks_[1].size))
        TouchPages(slots_[1].buffer, 0, blocks_[1].size);
    Prepared(secondPrepared_);
}

void DecompressionThread::Prepared(bool& flag) {
    {
        const std::lock_guard lock(mutex_);
        flag = true;
    }
    slotFree_.notify_one();
}

DecompressionThread::~DecompressionThread() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    slotFree_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

std::expected<std::span<const std::byte>, std::string> DecompressionThread::Next() {
    std::unique_lock lock(mutex_);
    const std::size_t index = given_++;
    // The block before is given back: its slot may take the block after this one.
    slotFree_.notify_one();
    if (thread_.joinable()) {
        blockReady_.wait(lock, [&] { return ready_ > index || ended_; });
        if (ready_ <= index) {
            if (exception_)
                std::rethrow_exception(exception_);
            throw std::logic_error("Bloc demandé après un échec");
        }
    } else {
        lock.unlock();
        slots_[index % 2].failure = Decompress(index);
    }
    Slot& slot = slots_[index % 2];
    if (!slot.failure.empty())
        return std::unexpected(slot.failure);
    return std::span<const std::byte>(slot.buffer.data(),
                                      static_cast<std::size_t>(blocks_[index].size));
}

void DecompressionThread::Run() {
    std::unique_lock lock(mutex_, std::defer_lock);
    // On every way out, so that no call waits for a block that will never come.
    const auto end = [&] {
        if (!lock.owns_lock())
            lock.lock();
        ended_ = true;
        blockReady_.notify_one();
    };
    try {
        // The first half of the first buffer, while the caller touches the second (the
        // buffer was allocated before the thread started).
        if (!blocks_.empty() && slots_[0].buffer.data())
            TouchPages(slots_[0].buffer, 0, blocks_[0].size / 2);
        for (std::size_t index = 0; index < blocks_.size(); ++index) {
            // Block index goes where block index - 2 was, once that one is given back (the
            // first two slots are free from the start).
            lock.lock();
            slotFree_.wait(lock, [&] {
                return stop_ || (index <= std::max<std::size_t>(given_, 1) &&
                                 (index != 0 || firstPrepared_) && (index != 1 || secondPrepared_));
            });
            if (stop_)
                break;
            lock.unlock();
            std::string failure = Decompress(index);
            const bool failed = !failure.empty();
            lock.lock();
            slots_[index % 2].failure = std::move(failure);
            ++ready_;
            lock.unlock();
            blockReady_.notify_one();
            if (failed)
                break;
        }
    } catch (...) {
        // Kept for the installing thread, which throws it where it asks for the next block.
        if (!lock.owns_lock())
            lock.lock();
        exception_ = std::current_exception();
    }
    end();
}

std::string DecompressionThread::Decompress(std::size_t index) {
    const PackageBlock& block = blocks_[index];
    BlockBuffer& buffer = slots_[index % 2].buffer;
    if (!buffer.Reserve(block.size))
        return "Mémoire insuffisante pour décompresser un bloc de " + std::to_string(block.size) +
               " octets";
    SIZE_T produced = 0;
    // The last error read by WithWindowsError is this thread's, set by this call.
    if (!api_.decompress(decompressor_.get(), data_.data() + block.dataOffset,
                         static_cast<SIZE_T>(block.compressedSize), buffer.data(),
                         static_cast<SIZE_T>(block.size), &produced) ||
        produced != block.size)
        return WithWindowsError("Décompression");
    return {};
}

} // namespace mvpk
