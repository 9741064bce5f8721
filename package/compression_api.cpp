#include "package/compression_api.h"

namespace mvpk {

namespace {

template <class Fn> bool Resolve(HMODULE module, const char* name, Fn& out) {
    FARPROC proc = ::GetProcAddress(module, name);
    if (proc == nullptr)
        return false;
    out = reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
    return true;
}

} // namespace

std::unique_ptr<CompressionApi> CompressionApi::Load(bool withCompressor) {
    std::unique_ptr<CompressionApi> api(new CompressionApi());
    api->module_.reset(::LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    bool ok = static_cast<bool>(api->module_);
    if (ok) {
        const HMODULE m = api->module_.get();
        ok = Resolve(m, "CreateDecompressor", api->createDecompressor) &&
             Resolve(m, "Decompress", api->decompress) &&
             Resolve(m, "CloseDecompressor", api->closeDecompressor);
        if (ok && withCompressor)
            ok = Resolve(m, "CreateCompressor", api->createCompressor) &&
                 Resolve(m, "Compress", api->compress) &&
                 Resolve(m, "CloseCompressor", api->closeCompressor);
    }
    if (ok)
        return api;
    // FreeLibrary must not hide the reason from the caller's WithWindowsError.
    const DWORD error = ::GetLastError();
    api.reset();
    ::SetLastError(error);
    return nullptr;
}

std::unique_ptr<CompressionApi> CompressionApi::LoadDecompressor() {
    return Load(false);
}

std::unique_ptr<CompressionApi> CompressionApi::LoadAll() {
    return Load(true);
}

} // namespace mvpk
