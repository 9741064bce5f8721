// The Windows Compression API (cabinet.dll), resolved at run time from the system folder.
//
// The functions are never imported: a program that imported them would not start where
// the API is missing (Wine, Windows before 8), and cabinet.dll is only ever loaded from
// System32 (see system_library.h).
#pragma once

#include "setup/handles.h"

#include <windows.h>
#include <compressapi.h>

#include <memory>

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

using Decompressor = ResolvedHandle<DECOMPRESSOR_HANDLE, CompressionApi::CloseDecompressorFn>;
using Compressor = ResolvedHandle<COMPRESSOR_HANDLE, CompressionApi::CloseCompressorFn>;

} // namespace mvpk
