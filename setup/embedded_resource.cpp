#include "setup/embedded_resource.h"

#include <windows.h>

std::span<const std::byte> EmbeddedResource(const wchar_t* name) {
    HRSRC info = ::FindResourceW(nullptr, name, RT_RCDATA);
    if (info == nullptr)
        return {};
    HGLOBAL loaded = ::LoadResource(nullptr, info);
    const DWORD size = ::SizeofResource(nullptr, info);
    if (loaded == nullptr || size == 0)
        return {};
    const void* bytes = ::LockResource(loaded);
    if (bytes == nullptr)
        return {};
    return {static_cast<const std::byte*>(bytes), size};
}
