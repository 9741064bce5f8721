#include "install/file_removal.h"

#include "setup/paths.h"

namespace {

namespace fs = std::filesystem;

bool HasLinkAttribute(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

DWORD LastErrorUnlessMissing() {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : error;
}

// A link goes with the call that removes the link itself: RemoveDirectoryW for a folder
// link, DeleteFileW for a file link. A read-only file loses its attribute first.
DWORD RemoveWithAttributes(const fs::path& path, DWORD attributes) {
    BOOL removed;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        removed = ::RemoveDirectoryW(path.c_str());
    } else {
        if ((attributes & FILE_ATTRIBUTE_READONLY) && !HasLinkAttribute(attributes)) {
            const DWORD writable = attributes & ~FILE_ATTRIBUTE_READONLY;
            ::SetFileAttributesW(path.c_str(), writable != 0 ? writable : FILE_ATTRIBUTE_NORMAL);
        }
        removed = ::DeleteFileW(path.c_str());
    }
    return removed ? 0 : LastErrorUnlessMissing();
}

// The content of a folder that the caller holds pinned.
void RemoveContent(const fs::path& folder) {
    WIN32_FIND_DATAW found;
    FindHandle search(::FindFirstFileExW(JoinPath(folder, L"*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr, 0));
    if (!search)
        return;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const fs::path child = JoinPath(folder, name);
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            !HasLinkAttribute(found.dwFileAttributes))
            RemoveTree(child);
        else
            RemoveWithAttributes(child, found.dwFileAttributes);
    } while (::FindNextFileW(search.get(), &found));
}

} // namespace

bool IsLink(const fs::path& path) {
    return HasLinkAttribute(::GetFileAttributesW(path.c_str()));
}

UniqueHandle PinFolder(const fs::path& folder) {
    UniqueHandle handle(::CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    if (!handle)
        return {};
    // Windows shows a link on the handle itself; Wine resolves links on opening and shows
    // them only in the attributes of the path, so both are asked.
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle.get(), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        HasLinkAttribute(info.dwFileAttributes) || IsLink(folder))
        return {};
    return handle;
}

DWORD RemoveEntry(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return LastErrorUnlessMissing();
    return RemoveWithAttributes(path, attributes);
}

DWORD RemoveEmptyFolder(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return LastErrorUnlessMissing();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return ERROR_DIRECTORY;
    return RemoveWithAttributes(path, attributes);
}

void RemoveTree(const fs::path& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || HasLinkAttribute(attributes)) {
        RemoveWithAttributes(path, attributes);
        return;
    }
    if (const UniqueHandle held = PinFolder(path))
        RemoveContent(path);
    // Removed by path once it is let go: should it have become a link in between, the link
    // itself is what goes.
    RemoveEmptyFolder(path);
}

std::optional<PinnedFolders> PinnedFolders::Between(const fs::path& root, const fs::path& path) {
    const std::size_t rootLength = root.native().size();
    std::vector<fs::path> chain;
    for (auto folder = path.parent_path();
         folder != root && folder.native().size() > rootLength && folder != folder.parent_path();
         folder = folder.parent_path())
        chain.push_back(folder);

    PinnedFolders pinned;
    // From the top down: each folder is held before the path below it is resolved.
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        UniqueHandle folder = PinFolder(*it);
        if (!folder)
            return std::nullopt;
        pinned.folders_.push_back(std::move(folder));
    }
    return pinned;
}
