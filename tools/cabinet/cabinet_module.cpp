// The Windows Compression API for Wine, which has none: a Wine builtin module (built with
// wineg++, copied into a prefix's System32 as cabinet.dll by scripts/wine) whose buffers
// are those of Windows' own Compress and Decompress for COMPRESS_ALGORITHM_LZMS, with the
// LZMS streams made and read by Debian's wimlib. It is a build and test tool: nothing of it
// is ever placed in a setup program.
#include "tools/cabinet/lzms_container.h"

#define NOMINMAX
#include <windef.h>
#include <winbase.h>
#include <winerror.h>

#include <wimlib.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

namespace {

// <compressapi.h> is not among Wine's headers.
constexpr DWORD kAlgorithmLzms = 5;
constexpr DWORD kInformationBlockSize = 1; // COMPRESS_INFORMATION_CLASS_BLOCK_SIZE
constexpr DWORD kErrorBadCompressionBuffer = 605;

// One chunk per package block of up to 64 MiB, like Microsoft's WIM tools: bigger chunks
// compress better, and the package's 32 MiB blocks come out as one chunk each.
constexpr std::uint64_t kDefaultChunkSize = lzms_container::kMaxChunkSize;

constexpr std::uint32_t kCompressorTag = 0x504D4F43;   // "COMP"
constexpr std::uint32_t kDecompressorTag = 0x504D4344; // "DCMP"

struct Handle {
    std::uint32_t tag = 0;
    std::uint64_t chunkSize = kDefaultChunkSize;
    // wimlib's coders, kept for the next call of the same chunk size. A compressor is made
    // for exactly the chunk it compresses, so its output never depends on what it compressed
    // before: the same chunk gives the same bytes whatever the order of calls.
    wimlib_compressor* compressor = nullptr;
    std::uint64_t compressorSize = 0;
    wimlib_decompressor* decompressor = nullptr;
    std::uint64_t decompressorSize = 0;
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

Handle* AsHandle(void* handle, std::uint32_t tag) {
    auto* h = static_cast<Handle*>(handle);
    return h != nullptr && h->tag == tag ? h : nullptr;
}

BOOL Create(DWORD algorithm, std::uint32_t tag, void** out) {
    if (out == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *out = nullptr;
    // COMPRESS_RAW and every other algorithm are refused.
    if (algorithm != kAlgorithmLzms)
        return Fail(ERROR_NOT_SUPPORTED);
    auto* h = new (std::nothrow) Handle;
    if (h == nullptr)
        return Fail(ERROR_OUTOFMEMORY);
    h->tag = tag;
    *out = h;
    return TRUE;
}

BOOL Close(void* handle, std::uint32_t tag) {
    Handle* h = AsHandle(handle, tag);
    if (h == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    wimlib_free_compressor(h->compressor);
    wimlib_free_decompressor(h->decompressor);
    h->tag = 0;
    delete h;
    return TRUE;
}

wimlib_compressor* CompressorFor(Handle& h, std::uint64_t size) {
    if (h.compressor == nullptr || h.compressorSize != size) {
        wimlib_free_compressor(h.compressor);
        h.compressor = nullptr;
        if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, static_cast<size_t>(size), 0,
                                     &h.compressor) != 0)
            return nullptr;
        h.compressorSize = size;
    }
    return h.compressor;
}

wimlib_decompressor* DecompressorFor(Handle& h, std::uint64_t size) {
    if (h.decompressor == nullptr || h.decompressorSize != size) {
        wimlib_free_decompressor(h.decompressor);
        h.decompressor = nullptr;
        if (wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, static_cast<size_t>(size),
                                       &h.decompressor) != 0)
            return nullptr;
        h.decompressorSize = size;
    }
    return h.decompressor;
}

void PutU32(unsigned char* p, std::uint64_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The compressor whose chunk size is set or read, or null with the error set: only
// COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, a DWORD, is known.
Handle* ChunkSizeTarget(void* handle, DWORD infoClass, void* info, SIZE_T size) {
    Handle* h = AsHandle(handle, kCompressorTag);
    if (h == nullptr)
        Fail(ERROR_INVALID_HANDLE);
    else if (infoClass != kInformationBlockSize)
        Fail(ERROR_NOT_SUPPORTED);
    else if (info == nullptr || size < sizeof(DWORD))
        Fail(ERROR_INVALID_PARAMETER);
    else
        return h;
    return nullptr;
}

} // namespace

extern "C" {

BOOL WINAPI CreateCompressor(DWORD algorithm, void*, void** handle) {
    return Create(algorithm, kCompressorTag, handle);
}

BOOL WINAPI CloseCompressor(void* handle) {
    return Close(handle, kCompressorTag);
}

BOOL WINAPI SetCompressorInformation(void* handle, DWORD infoClass, void* info, SIZE_T size) {
    Handle* h = ChunkSizeTarget(handle, infoClass, info, size);
    if (h == nullptr)
        return FALSE;
    DWORD value = 0;
    std::memcpy(&value, info, sizeof value);
    if (value < lzms_container::kMinChunkSize || value > lzms_container::kMaxChunkSize)
        return Fail(ERROR_INVALID_PARAMETER);
    h->chunkSize = value;
    return TRUE;
}

BOOL WINAPI QueryCompressorInformation(void* handle, DWORD infoClass, void* info, SIZE_T size) {
    Handle* h = ChunkSizeTarget(handle, infoClass, info, size);
    if (h == nullptr)
        return FALSE;
    const auto value = static_cast<DWORD>(h->chunkSize);
    std::memcpy(info, &value, sizeof value);
    return TRUE;
}

// A null or short output buffer is a size query, answered with the most the buffer can
// take (every chunk stored), as the buffer's size must be known before anything is made.
BOOL WINAPI Compress(void* handle, const void* uncompressed, SIZE_T uncompressedSize,
                     void* compressed, SIZE_T compressedBufferSize, SIZE_T* compressedSize) {
    Handle* h = AsHandle(handle, kCompressorTag);
    if (h == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (compressedSize == nullptr || (uncompressed == nullptr && uncompressedSize > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    const std::uint64_t total = uncompressedSize;
    const std::uint64_t chunkSize = lzms_container::ChunkSizeFor(total, h->chunkSize);
    const auto bound = lzms_container::MaxBufferSize(total, chunkSize);
    if (!bound || *bound > SIZE_MAX)
        return Fail(ERROR_INVALID_PARAMETER);
    *compressedSize = static_cast<SIZE_T>(*bound);
    if (compressed == nullptr || compressedBufferSize < *bound)
        return Fail(ERROR_INSUFFICIENT_BUFFER);

    auto* out = static_cast<unsigned char*>(compressed);
    const auto* in = static_cast<const unsigned char*>(uncompressed);
    const auto header = lzms_container::MakeHeader(total, chunkSize);
    std::memcpy(out, header.data(), header.size());
    std::uint64_t written = header.size();
    for (std::uint64_t done = 0; done < total;) {
        const std::uint64_t size = std::min(chunkSize, total - done);
        wimlib_compressor* compressor = CompressorFor(*h, size);
        if (compressor == nullptr)
            return Fail(ERROR_OUTOFMEMORY);
        unsigned char* record = out + written;
        unsigned char* data = record + lzms_container::kRecordSize;
        // LZMS only when strictly smaller; otherwise the chunk's bytes as they are.
        std::size_t produced =
            size > 1 ? wimlib_compress(in + done, size, data, size - 1, compressor) : 0;
        if (produced == 0) {
            std::memcpy(data, in + done, size);
            produced = size;
        }
        PutU32(record, produced);
        written += lzms_container::kRecordSize + produced;
        done += size;
    }
    *compressedSize = static_cast<SIZE_T>(written);
    return TRUE;
}

BOOL WINAPI CreateDecompressor(DWORD algorithm, void*, void** handle) {
    return Create(algorithm, kDecompressorTag, handle);
}

BOOL WINAPI CloseDecompressor(void* handle) {
    return Close(handle, kDecompressorTag);
}

// The whole buffer is checked before anything is written; a damaged LZMS stream found while
// decoding leaves the output written only within its first `total` bytes.
BOOL WINAPI Decompress(void* handle, const void* compressed, SIZE_T compressedSize,
                       void* uncompressed, SIZE_T uncompressedBufferSize,
                       SIZE_T* uncompressedSize) {
    Handle* h = AsHandle(handle, kDecompressorTag);
    if (h == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    if (compressed == nullptr && compressedSize > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    const auto* in = static_cast<const std::uint8_t*>(compressed);
    std::optional<lzms_container::Layout> layout;
    try {
        layout = lzms_container::Parse({in, compressedSize});
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_OUTOFMEMORY); // no exception may reach the caller's frames
    }
    if (!layout || layout->totalSize > SIZE_MAX)
        return Fail(kErrorBadCompressionBuffer);
    if (uncompressedSize != nullptr)
        *uncompressedSize = static_cast<SIZE_T>(layout->totalSize);
    if (uncompressedBufferSize < layout->totalSize ||
        (uncompressed == nullptr && layout->totalSize > 0))
        return Fail(ERROR_INSUFFICIENT_BUFFER);

    auto* out = static_cast<unsigned char*>(uncompressed);
    for (const lzms_container::Chunk& chunk : layout->chunks) {
        if (chunk.stored()) {
            std::memcpy(out + chunk.outputOffset, in + chunk.dataOffset, chunk.size);
            continue;
        }
        wimlib_decompressor* decompressor = DecompressorFor(*h, layout->chunkSize);
        if (decompressor == nullptr)
            return Fail(ERROR_OUTOFMEMORY);
        if (wimlib_decompress(in + chunk.dataOffset, chunk.storedSize, out + chunk.outputOffset,
                              chunk.size, decompressor) != 0)
            return Fail(kErrorBadCompressionBuffer);
    }
    return TRUE;
}

} // extern "C"
