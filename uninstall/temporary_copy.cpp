#include "uninstall/temporary_copy.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

std::optional<std::vector<char>> ReadAll(HANDLE file) {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart < 0 || size.QuadPart > 0x7FFFFFFF)
        return std::nullopt;
    std::vector<char> bytes(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!::ReadFile(file, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read,
                        nullptr) ||
            read == 0)
            return std::nullopt;
        done += read;
    }
    return bytes;
}

bool WriteAll(HANDLE file, const std::vector<char>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

UniqueHandle Open(const std::filesystem::path& path, DWORD access, DWORD share, DWORD creation) {
    return UniqueHandle(::CreateFileW(path.c_str(), access, share, nullptr, creation,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

UniqueHandle CreateTemporaryCopy(const std::filesystem::path& source,
                                 const std::filesystem::path& copy) {
    const UniqueHandle in =
        Open(source, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING);
    const auto bytes = in ? ReadAll(in.get()) : std::nullopt;
    if (!bytes)
        return {};

    // Only a new file, and while it is written nobody else may write, rename or delete it.
    UniqueHandle writer = Open(copy, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
    if (!writer || !WriteAll(writer.get(), *bytes))
        return {};
    // No process can start from a file open for writing, and no handle can give up a right
    // it was opened with: a reading handle takes over, then one that shares only reading,
    // which the system refuses while anybody else holds the file open for writing.
    UniqueHandle reader =
        Open(copy, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    if (!reader)
        return {};
    writer.reset();
    UniqueHandle keeper = Open(copy, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    reader.reset();
    // Between the two, another program could have written to it and let go again.
    if (!keeper || ReadAll(keeper.get()) != bytes)
        return {};
    return keeper;
}
