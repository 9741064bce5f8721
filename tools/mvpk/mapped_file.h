// A file mapped read-only into memory: its bytes are shared with the file cache and are
// not private memory of the process.
#pragma once

#include "setup/handles.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>

class MappedFile {
  public:
    // Nothing when the file cannot be opened or mapped (an empty file maps to no bytes).
    static std::optional<MappedFile> Open(const std::filesystem::path& file);
    MappedFile(MappedFile&& other) noexcept
        : view_(std::exchange(other.view_, nullptr)), size_(other.size_) {}
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (view_ != nullptr)
            ::UnmapViewOfFile(view_);
    }
    std::span<const std::byte> bytes() const {
        return {static_cast<const std::byte*>(view_), size_};
    }

  private:
    MappedFile(const void* view, std::size_t size) : view_(view), size_(size) {}
    const void* view_ = nullptr;
    std::size_t size_ = 0;
};

inline std::optional<MappedFile> MappedFile::Open(const std::filesystem::path& file) {
    UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle)
        return std::nullopt;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle.get(), &size))
        return std::nullopt;
    if (size.QuadPart == 0)
        return MappedFile(nullptr, 0);
    // The view stays valid after both handles are closed.
    UniqueHandle mapping(::CreateFileMappingW(handle.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping)
        return std::nullopt;
    const void* view = ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr)
        return std::nullopt;
    return MappedFile(view, static_cast<std::size_t>(size.QuadPart));
}
