#include "package/compression_api.h"

#include "package/system_library.h"

namespace mvpk {

std::unique_ptr<CompressionApi> CompressionApi::Load(bool withCompressor) {
    std::unique_ptr<CompressionApi> api(new CompressionApi());
    api->module_ = LoadSystemLibrary(L"cabinet.dll");
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
