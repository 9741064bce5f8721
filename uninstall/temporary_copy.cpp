#include "uninstall/temporary_copy.h"

#include "setup/own_program.h"

#include <windows.h>

namespace {

UniqueHandle Open(const std::filesystem::path& path, DWORD access, DWORD share, DWORD creation) {
    return UniqueHandle(::CreateFileW(path.c_str(), access, share, nullptr, creation,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

UniqueHandle CreateTemporaryCopy(HANDLE source, const std::filesystem::path& copy) {
    // Only a new file, and while it is written nobody else may write, rename or delete it.
    UniqueHandle writer = Open(copy, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
    if (!writer || CopyContent(source, writer.get()) != 0)
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
    if (!keeper || !SameContent(keeper.get(), source))
        return {};
    return keeper;
}
