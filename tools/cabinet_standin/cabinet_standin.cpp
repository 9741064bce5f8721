// A stand-in for the Windows Compression API, for Wine only (Wine's cabinet.dll has only
// the cabinet-file functions). It is copied into the test prefix's System32 by
// scripts/wine and is never placed in a setup program.
//
// Only COMPRESS_ALGORITHM_LZMS in buffer mode is accepted. The real API's buffer header is
// not public, so the blocks have a format of their own that shares only the first four
// bytes with it:
//   0-3   0A 51 E5 C0
//   4     algorithm, 5
//   5     method: 0 = stored
//   6-7   0
//   8-15  uncompressed length, u64 little-endian
//   16-   method 0: the uncompressed bytes as they are
#include <windows.h>
#include <compressapi.h>

#include <cstdint>
#include <cstring>

// MinGW's headers lack it (and declare the data arguments as PVOID, where the Windows SDK
// has LPCVOID: the same ABI).
#ifndef ERROR_BAD_COMPRESSION_BUFFER
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace {

constexpr unsigned char kMagic[4] = {0x0A, 0x51, 0xE5, 0xC0};
constexpr std::size_t kHeaderSize = 16;
constexpr std::uint32_t kCompressorTag = 0x504D4F43;   // "COMP"
constexpr std::uint32_t kDecompressorTag = 0x504D4344; // "DCMP"

struct StandinHandle {
    std::uint32_t tag;
};

bool Fail(DWORD error) {
    ::SetLastError(error);
    return false;
}

BOOL Create(DWORD algorithm, std::uint32_t tag, void** handle) {
    if (handle == nullptr)
        return Fail(ERROR_INVALID_PARAMETER);
    *handle = nullptr;
    // COMPRESS_RAW and every other algorithm are refused.
    if (algorithm != COMPRESS_ALGORITHM_LZMS)
        return Fail(ERROR_NOT_SUPPORTED);
    auto* h =
        static_cast<StandinHandle*>(::HeapAlloc(::GetProcessHeap(), 0, sizeof(StandinHandle)));
    if (h == nullptr)
        return Fail(ERROR_OUTOFMEMORY);
    h->tag = tag;
    *handle = h;
    return TRUE;
}

bool IsHandle(void* handle, std::uint32_t tag) {
    return handle != nullptr && static_cast<StandinHandle*>(handle)->tag == tag;
}

BOOL Close(void* handle, std::uint32_t tag) {
    if (!IsHandle(handle, tag))
        return Fail(ERROR_INVALID_HANDLE);
    static_cast<StandinHandle*>(handle)->tag = 0;
    ::HeapFree(::GetProcessHeap(), 0, handle);
    return TRUE;
}

} // namespace

extern "C" {

BOOL WINAPI CreateCompressor(DWORD algorithm, PCOMPRESS_ALLOCATION_ROUTINES,
                             PCOMPRESSOR_HANDLE handle) {
    return Create(algorithm, kCompressorTag, reinterpret_cast<void**>(handle));
}

BOOL WINAPI CloseCompressor(COMPRESSOR_HANDLE handle) {
    return Close(handle, kCompressorTag);
}

BOOL WINAPI Compress(COMPRESSOR_HANDLE handle, PVOID uncompressed, SIZE_T uncompressedSize,
                     PVOID compressed, SIZE_T compressedBufferSize, PSIZE_T compressedSize) {
    if (!IsHandle(handle, kCompressorTag))
        return Fail(ERROR_INVALID_HANDLE);
    if (compressedSize == nullptr || (uncompressed == nullptr && uncompressedSize > 0))
        return Fail(ERROR_INVALID_PARAMETER);
    if (uncompressedSize > SIZE_MAX - kHeaderSize)
        return Fail(ERROR_INVALID_PARAMETER);
    const SIZE_T needed = kHeaderSize + uncompressedSize;
    *compressedSize = needed;
    // As the real buffer compressor: a null or small output buffer is a size query.
    if (compressed == nullptr || compressedBufferSize < needed)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto* out = static_cast<unsigned char*>(compressed);
    std::memcpy(out, kMagic, 4);
    out[4] = COMPRESS_ALGORITHM_LZMS;
    out[5] = 0; // stored
    out[6] = out[7] = 0;
    std::uint64_t length = uncompressedSize;
    for (int i = 0; i < 8; ++i)
        out[8 + i] = static_cast<unsigned char>(length >> (8 * i));
    if (uncompressedSize > 0)
        std::memcpy(out + kHeaderSize, uncompressed, uncompressedSize);
    return TRUE;
}

BOOL WINAPI CreateDecompressor(DWORD algorithm, PCOMPRESS_ALLOCATION_ROUTINES,
                               PDECOMPRESSOR_HANDLE handle) {
    return Create(algorithm, kDecompressorTag, reinterpret_cast<void**>(handle));
}

BOOL WINAPI CloseDecompressor(DECOMPRESSOR_HANDLE handle) {
    return Close(handle, kDecompressorTag);
}

BOOL WINAPI Decompress(DECOMPRESSOR_HANDLE handle, PVOID compressed, SIZE_T compressedSize,
                       PVOID uncompressed, SIZE_T uncompressedBufferSize,
                       PSIZE_T uncompressedSize) {
    if (!IsHandle(handle, kDecompressorTag))
        return Fail(ERROR_INVALID_HANDLE);
    if (compressed == nullptr && compressedSize > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    const auto* in = static_cast<const unsigned char*>(compressed);
    if (compressedSize < kHeaderSize || std::memcmp(in, kMagic, 4) != 0 ||
        in[4] != COMPRESS_ALGORITHM_LZMS || in[5] != 0 || in[6] != 0 || in[7] != 0)
        return Fail(ERROR_BAD_COMPRESSION_BUFFER);
    std::uint64_t length = 0;
    for (int i = 7; i >= 0; --i)
        length = (length << 8) | in[8 + i];
    // Stored data must fill the rest of the buffer exactly: a truncated or padded block
    // is damaged.
    if (length != compressedSize - kHeaderSize)
        return Fail(ERROR_BAD_COMPRESSION_BUFFER);
    if (uncompressedSize != nullptr)
        *uncompressedSize = static_cast<SIZE_T>(length);
    if (uncompressedBufferSize < length || (uncompressed == nullptr && length > 0))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (length > 0)
        std::memcpy(uncompressed, in + kHeaderSize, static_cast<std::size_t>(length));
    return TRUE;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) {
    return TRUE;
}

} // extern "C"
