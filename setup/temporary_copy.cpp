#include "setup/temporary_copy.h"

#include "setup/file_identity.h"
#include "setup/format.h"
#include "setup/own_program.h"
#include "setup/paths.h"

namespace {

// Names tried before giving up.
constexpr int kCopyAttempts = 10;

UniqueHandle Open(const std::filesystem::path& path, DWORD access, DWORD share, DWORD creation,
                  DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return UniqueHandle(
        ::CreateFileW(path.c_str(), access, share, nullptr, creation, flags, nullptr));
}

void Discard(HANDLE file) {
    FILE_DISPOSITION_INFO dispose{TRUE};
    ::SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof(dispose));
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
    if (!keeper)
        return {};
    // Between the two, another program could have written to it and let go again.
    if (!SameContent(keeper.get(), source)) {
        RemoveTemporaryCopy({copy, std::move(keeper)});
        return {};
    }
    return keeper;
}

std::filesystem::path TemporaryFolder() {
    using GetTempPath2 = DWORD(WINAPI*)(DWORD, LPWSTR);
    const auto protectedFolder = reinterpret_cast<GetTempPath2>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTempPath2W")));
    wchar_t path[260] = {};
    (protectedFolder != nullptr ? protectedFolder
                                : ::GetTempPathW)(static_cast<DWORD>(std::size(path)), path);
    return std::filesystem::path(path);
}

std::wstring TemporaryCopyName(std::wstring_view stem, DWORD processId, int attempt) {
    return attempt == 1 ? txt::format(L"{}-{}.exe", stem, processId)
                        : txt::format(L"{}-{}-{}.exe", stem, processId, attempt);
}

std::optional<TemporaryCopy> MakeTemporaryCopy(HANDLE source, std::wstring_view stem) {
    const std::filesystem::path folder = TemporaryFolder();
    for (int attempt = 1; attempt <= kCopyAttempts; ++attempt) {
        std::filesystem::path path =
            JoinPath(folder, TemporaryCopyName(stem, ::GetCurrentProcessId(), attempt));
        if (UniqueHandle kept = CreateTemporaryCopy(source, path))
            return TemporaryCopy{std::move(path), std::move(kept)};
    }
    return std::nullopt;
}

void RemoveTemporaryCopy(TemporaryCopy copy) {
    const auto kept = IdentityOf(copy.kept.get());
    // The keeping handle shares no deleting: it goes first.
    copy.kept.reset();
    if (!kept)
        return;
    const UniqueHandle file = Open(copy.path, DELETE | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!file || !SameIdentity(IdentityOf(file.get()), kept))
        return;
    Discard(file.get());
}
