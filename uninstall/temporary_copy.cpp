#include "uninstall/temporary_copy.h"

#include "setup/own_program.h"

#include <windows.h>

#include <cstring>

namespace {

UniqueHandle Open(const std::filesystem::path& path, DWORD access, DWORD share, DWORD creation) {
    return UniqueHandle(::CreateFileW(path.c_str(), access, share, nullptr, creation,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

void Discard(HANDLE file) {
    FILE_DISPOSITION_INFO discard{TRUE};
    ::SetFileInformationByHandle(file, FileDispositionInfo, &discard, sizeof(discard));
}

} // namespace

UniqueHandle CreateTemporaryCopy(HANDLE source, const std::filesystem::path& copy) {
    // Only a new file, and while it is written nobody else may write, rename or delete it. The
    // right to delete lets a copy that went wrong go through the handle that wrote it.
    UniqueHandle writer = Open(copy, GENERIC_WRITE | DELETE, FILE_SHARE_READ, CREATE_NEW);
    if (!writer)
        return {};
    if (CopyContent(source, writer.get()) != 0) {
        Discard(writer.get());
        return {};
    }
    // No process can start from a file open for writing, and no handle can give up a right
    // it was opened with: a reading handle takes over, then one that shares only reading,
    // which the system refuses while anybody else holds the file open for writing.
    UniqueHandle reader = Open(
        copy, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING);
    if (!reader) {
        Discard(writer.get());
        return {};
    }
    writer.reset();
    UniqueHandle keeper = Open(copy, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    reader.reset();
    // Between the two, another program could have written to it and let go again.
    if (!keeper)
        return {};
    if (!SameContent(keeper.get(), source)) {
        DiscardTemporaryCopy(std::move(keeper), copy);
        return {};
    }
    return keeper;
}

void DiscardTemporaryCopy(UniqueHandle kept, const std::filesystem::path& copy) {
    FILE_ID_INFO made{}, found{};
    if (!::GetFileInformationByHandleEx(kept.get(), FileIdInfo, &made, sizeof(made)))
        return;
    // The keeper shares no deletion: it makes way for a handle that may delete, on the same
    // file only (whatever has its name by then is left alone).
    kept.reset();
    const UniqueHandle deleter(::CreateFileW(copy.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (deleter &&
        ::GetFileInformationByHandleEx(deleter.get(), FileIdInfo, &found, sizeof(found)) &&
        made.VolumeSerialNumber == found.VolumeSerialNumber &&
        std::memcmp(&made.FileId, &found.FileId, sizeof(made.FileId)) == 0)
        Discard(deleter.get());
}
