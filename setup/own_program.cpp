#include "setup/own_program.h"

#include "setup/file_identity.h"
#include "setup/handles.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

// Exported by ntdll, a known DLL: whether two mapped views show the same file, whatever its
// name has become.
extern "C" NTSTATUS NTAPI NtAreMappedFilesTheSame(PVOID image, PVOID view);

namespace {

// Large enough that the copy of a setup program of a few hundred megabytes runs at the disk's
// pace, as CopyFileW does.
constexpr std::size_t kChunk = 4 << 20;

std::expected<UniqueHandle, DWORD> OpenOwnFile() {
    wchar_t path[1040];
    const DWORD length = ::GetModuleFileNameW(nullptr, path, 1040);
    // A cut path could name some other file.
    if (length == 0 || length >= 1040)
        return std::unexpected(length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER);
    UniqueHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return std::unexpected(::GetLastError());
    // The name may have been given to another file before it was opened here.
    const UniqueHandle mapping(
        ::CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    const MappedView view(mapping ? ::MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 1)
                                  : nullptr);
    if (!view || !NT_SUCCESS(NtAreMappedFilesTheSame(::GetModuleHandleW(nullptr), view.get())))
        return std::unexpected(ERROR_FILE_INVALID);
    return file;
}

bool ReadAt(HANDLE file, std::uint64_t offset, std::byte* buffer, DWORD length, DWORD& read) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return ::ReadFile(file, buffer, length, &read, &at) != FALSE;
}

std::optional<std::uint64_t> SizeOf(HANDLE file) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size))
        return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

} // namespace

std::expected<HANDLE, DWORD> OwnProgramFile() {
    static const std::expected<UniqueHandle, DWORD> held = OpenOwnFile();
    if (!held)
        return std::unexpected(held.error());
    return held->get();
}

bool IsOwnProgram(const std::filesystem::path& file) {
    const auto own = OwnProgramFile();
    const UniqueHandle other(::CreateFileW(file.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    return own && other && SameIdentity(IdentityOf(*own), IdentityOf(other.get()));
}

DWORD CopyContent(HANDLE from, HANDLE to) {
    const auto known = SizeOf(from);
    if (!known)
        return ::GetLastError();
    const std::uint64_t size = *known;
    std::vector<std::byte> buffer(kChunk);
    for (std::uint64_t done = 0; done < size;) {
        DWORD read = 0;
        if (!ReadAt(from, done, buffer.data(),
                    static_cast<DWORD>(std::min<std::uint64_t>(kChunk, size - done)), read))
            return ::GetLastError();
        if (read == 0)
            return ERROR_HANDLE_EOF;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(done);
        at.OffsetHigh = static_cast<DWORD>(done >> 32);
        DWORD written = 0;
        if (!::WriteFile(to, buffer.data(), read, &written, &at))
            return ::GetLastError();
        if (written != read)
            return ERROR_WRITE_FAULT;
        done += read;
    }
    return 0;
}

bool SameContent(HANDLE a, HANDLE b) {
    const auto known = SizeOf(a);
    if (!known || known != SizeOf(b))
        return false;
    const std::uint64_t size = *known;
    std::vector<std::byte> left(kChunk), right(kChunk);
    for (std::uint64_t done = 0; done < size;) {
        const auto length = static_cast<DWORD>(std::min<std::uint64_t>(kChunk, size - done));
        DWORD readLeft = 0, readRight = 0;
        if (!ReadAt(a, done, left.data(), length, readLeft) ||
            !ReadAt(b, done, right.data(), length, readRight) || readLeft != length ||
            readRight != length || std::memcmp(left.data(), right.data(), length) != 0)
            return false;
        done += length;
    }
    return true;
}
