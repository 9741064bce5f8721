// The Windows Compression API (cabinet.dll), resolved at run time from the system folder.
//
// The functions are never imported: a program that imported them would not start where
// the API is missing (Wine, Windows before 8), and loading cabinet.dll by the ordinary
// search order could pick up a planted copy beside the program (a Downloads folder)
// in a process that may run elevated. LOAD_LIBRARY_SEARCH_SYSTEM32 looks only in System32.
#pragma once

#include "setup/handles.h"

#include <windows.h>
#include <compressapi.h>

#include <cstddef>
#include <memory>
#include <utility>

namespace mvpk {

class CompressionApi {
  public:
    using CreateCompressorFn = BOOL(WINAPI*)(DWORD, PCOMPRESS_ALLOCATION_ROUTINES,
                                             PCOMPRESSOR_HANDLE);
    using CompressFn = BOOL(WINAPI*)(COMPRESSOR_HANDLE, LPCVOID, SIZE_T, PVOID, SIZE_T, PSIZE_T);
    using CloseCompressorFn = BOOL(WINAPI*)(COMPRESSOR_HANDLE);
    using CreateDecompressorFn = BOOL(WINAPI*)(DWORD, PCOMPRESS_ALLOCATION_ROUTINES,
                                               PDECOMPRESSOR_HANDLE);
    using DecompressFn = BOOL(WINAPI*)(DECOMPRESSOR_HANDLE, LPCVOID, SIZE_T, PVOID, SIZE_T,
                                       PSIZE_T);
    using CloseDecompressorFn = BOOL(WINAPI*)(DECOMPRESSOR_HANDLE);

    // The decompression functions, or null with the thread's last error set (126 when
    // cabinet.dll is missing, 127 when it lacks a function, as under Wine).
    static std::unique_ptr<CompressionApi> LoadDecompressor();
    // The decompression and compression functions (for the package tool and the tests).
    static std::unique_ptr<CompressionApi> LoadAll();

    CreateCompressorFn createCompressor = nullptr;
    CompressFn compress = nullptr;
    CloseCompressorFn closeCompressor = nullptr;
    CreateDecompressorFn createDecompressor = nullptr;
    DecompressFn decompress = nullptr;
    CloseDecompressorFn closeDecompressor = nullptr;

  private:
    CompressionApi() = default;
    static std::unique_ptr<CompressionApi> Load(bool withCompressor);

    ModuleHandle module_;
};

// Owner of a decompressor or compressor handle, closed with the resolved function.
template <class Handle, class CloseFn> class CompressionHandle {
  public:
    CompressionHandle() = default;
    CompressionHandle(Handle handle, CloseFn close) : handle_(handle), close_(close) {}
    CompressionHandle(const CompressionHandle&) = delete;
    CompressionHandle& operator=(const CompressionHandle&) = delete;
    ~CompressionHandle() {
        if (handle_ != nullptr && close_ != nullptr)
            close_(handle_);
    }
    Handle get() const { return handle_; }

  private:
    Handle handle_ = nullptr;
    CloseFn close_ = nullptr;
};
using Decompressor = CompressionHandle<DECOMPRESSOR_HANDLE, CompressionApi::CloseDecompressorFn>;
using Compressor = CompressionHandle<COMPRESSOR_HANDLE, CompressionApi::CloseCompressorFn>;

} // namespace mvpk
