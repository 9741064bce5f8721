#include "setup/held_entries.h"

#include <winternl.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <optional>

// Exported by ntdll, a known DLL; the toolchain's headers do not declare it.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                               PVOID apcContext, PIO_STATUS_BLOCK io, PVOID buffer,
                                               ULONG length,
                                               FILE_INFORMATION_CLASS informationClass,
                                               BOOLEAN singleEntry, PUNICODE_STRING pattern,
                                               BOOLEAN restart);

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FileDispositionInfoEx, which the toolchain's headers leave out for this target version.
constexpr auto kDispositionEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
// What FileBasicInfo may set on a file.
constexpr DWORD kSettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                      FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                      FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

UNICODE_STRING Counted(std::wstring_view text) {
    const auto bytes = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    return {bytes, bytes, const_cast<wchar_t*>(text.data())};
}

// One open relative to a held folder, never following a reparse point; an empty name opens
// the folder's own file again, with other rights.
std::expected<UniqueHandle, DWORD> OpenRelative(HANDLE folder, std::wstring_view name,
                                                ACCESS_MASK rights, DWORD share, ULONG disposition,
                                                ULONG options) {
    if (name.size() > 32767 / sizeof(wchar_t))
        return std::unexpected(ERROR_FILENAME_EXCED_RANGE);
    UNICODE_STRING text = Counted(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    const NTSTATUS status = ::NtCreateFile(
        &handle, rights | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status))
        return std::unexpected(::RtlNtStatusToDosError(status));
    return UniqueHandle(handle);
}

struct Listed {
    DWORD attributes = 0;
    std::int64_t id = 0;
};

// The entry as its folder lists it. Wine opens a Unix symbolic link's target whatever it is
// asked, and shows the link only here.
std::optional<Listed> Lookup(HANDLE folder, std::wstring_view name) {
    // A handle's first query fixes its pattern for good: each lookup takes a fresh one.
    if (name.find_first_of(L"*?<>\"") != std::wstring_view::npos)
        return std::nullopt;
    const auto fresh =
        OpenRelative(folder, L"", FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!fresh)
        return std::nullopt;
    alignas(FILE_ID_BOTH_DIR_INFORMATION) std::array<std::byte, 4096> buffer;
    UNICODE_STRING pattern = Counted(name);
    IO_STATUS_BLOCK io{};
    if (!NT_SUCCESS(NtQueryDirectoryFile(fresh->get(), nullptr, nullptr, nullptr, &io,
                                         buffer.data(), buffer.size(),
                                         FileIdBothDirectoryInformation, TRUE, &pattern, TRUE)))
        return std::nullopt;
    const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(buffer.data());
    return Listed{entry->FileAttributes, entry->FileId.QuadPart};
}

// A link as either side shows it, or when the listed entry is not the one opened (a file
// system without identities in its listings gives 0 there).
EntryKind KindOf(const std::optional<Listed>& listed, HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION own{};
    if (!listed || !::GetFileInformationByHandle(handle, &own))
        return EntryKind::Link;
    const std::int64_t id = (std::int64_t{own.nFileIndexHigh} << 32) | own.nFileIndexLow;
    if (((own.dwFileAttributes | listed->attributes) & FILE_ATTRIBUTE_REPARSE_POINT) ||
        (listed->id != 0 && listed->id != id) ||
        ((own.dwFileAttributes ^ listed->attributes) & FILE_ATTRIBUTE_DIRECTORY))
        return EntryKind::Link;
    return own.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? EntryKind::Folder : EntryKind::File;
}

bool IsRealFolder(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsSingleElement(std::wstring_view name) {
    return !name.empty() && name != L"." && name != L".." &&
           name.find_first_of(L"\\/") == std::wstring_view::npos;
}

} // namespace

std::expected<HeldEntry, DWORD> OpenEntry(HANDLE folder, std::wstring_view name,
                                          const EntryAccess& access) {
    if (!IsSingleElement(name))
        return std::unexpected(ERROR_INVALID_NAME);
    // Looked up first, so that only a folder is opened for listing (which is reading a file's
    // data), and compared with what is opened after.
    auto listed = Lookup(folder, name);
    const bool asFolder = access.createFolder || (listed && IsRealFolder(listed->attributes));
    auto handle = OpenRelative(folder, name,
                               FILE_READ_ATTRIBUTES | access.rights |
                                   (asFolder ? FILE_LIST_DIRECTORY | FILE_TRAVERSE : 0),
                               access.share, access.createFolder ? FILE_OPEN_IF : FILE_OPEN,
                               access.createFolder ? FILE_DIRECTORY_FILE : 0);
    if (!handle)
        return std::unexpected(handle.error());
    if (!listed) // created just now
        listed = Lookup(folder, name);
    const EntryKind kind = KindOf(listed, handle->get());
    return HeldEntry{std::move(*handle), kind};
}

std::expected<UniqueHandle, DWORD> OpenFileToWrite(HANDLE folder, std::wstring_view name) {
    if (!IsSingleElement(name))
        return std::unexpected(ERROR_INVALID_NAME);
    // A new file is the common case, and needs nothing else: nobody else had it before.
    constexpr ACCESS_MASK kWriting = FILE_WRITE_DATA | FILE_READ_ATTRIBUTES;
    auto created =
        OpenRelative(folder, name, kWriting, FILE_SHARE_READ, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    if (created ||
        (created.error() != ERROR_ALREADY_EXISTS && created.error() != ERROR_FILE_EXISTS))
        return created;
    auto existing = OpenEntry(folder, name, {.rights = FILE_WRITE_DATA, .share = FILE_SHARE_READ});
    if (!existing)
        return std::unexpected(existing.error());
    if (existing->kind == EntryKind::Link)
        return std::unexpected(kReparsePointEncountered);
    if (existing->kind == EntryKind::Folder)
        return std::unexpected(ERROR_DIRECTORY);
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(existing->handle.get(), &info))
        return std::unexpected(::GetLastError());
    if (info.nNumberOfLinks > 1)
        return std::unexpected(ERROR_TOO_MANY_LINKS);
    FILE_END_OF_FILE_INFO empty{};
    if (!::SetFileInformationByHandle(existing->handle.get(), FileEndOfFileInfo, &empty,
                                      sizeof(empty)))
        return std::unexpected(::GetLastError());
    return std::move(existing->handle);
}

UniqueHandle OpenFolder(const std::filesystem::path& path) {
    return UniqueHandle(::CreateFileW(path.c_str(),
                                      FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

std::expected<HeldEntry, DWORD> OpenPath(const std::filesystem::path& path,
                                         const EntryAccess& access) {
    const std::filesystem::path entry = path.has_filename() ? path : path.parent_path();
    if (!entry.has_filename())
        return std::unexpected(ERROR_INVALID_NAME);
    const UniqueHandle folder = OpenFolder(entry.parent_path());
    if (!folder)
        return std::unexpected(::GetLastError());
    return OpenEntry(folder.get(), entry.filename().native(), access);
}

std::vector<std::wstring> ListFolder(HANDLE folder) {
    std::vector<std::wstring> names;
    const auto fresh =
        OpenRelative(folder, L"", FILE_LIST_DIRECTORY, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE);
    if (!fresh)
        return names;
    std::vector<std::int64_t> buffer(8192); // aligned for the records
    IO_STATUS_BLOCK io{};
    for (BOOLEAN restart = TRUE;
         NT_SUCCESS(NtQueryDirectoryFile(fresh->get(), nullptr, nullptr, nullptr, &io,
                                         buffer.data(), buffer.size() * sizeof(buffer[0]),
                                         FileIdBothDirectoryInformation, FALSE, nullptr, restart));
         restart = FALSE) {
        const auto* bytes = reinterpret_cast<const std::byte*>(buffer.data());
        for (ULONG at = 0, next = 1; next != 0; at += next) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFORMATION*>(bytes + at);
            const std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                names.emplace_back(name);
            next = entry->NextEntryOffset;
        }
    }
    return names;
}

DWORD DeleteEntry(const HeldEntry& entry) {
    // A handle of its own with the right to delete, on the same file: no name is involved.
    // That right alone: the entry's own rights may refuse it everything else while its
    // folder's let whoever may delete children delete it.
    const auto held = OpenRelative(entry.handle.get(), L"", DELETE, kShareAll, FILE_OPEN, 0);
    if (!held)
        return held.error();
    const HANDLE handle = held->get();
    FILE_DISPOSITION_INFO_EX posix{FILE_DISPOSITION_FLAG_DELETE |
                                   FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                   FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (::SetFileInformationByHandle(handle, kDispositionEx, &posix, sizeof(posix)))
        return 0;
    if (::GetLastError() == ERROR_DIR_NOT_EMPTY)
        return ERROR_DIR_NOT_EMPTY;

    // Before Windows 10 1809 (and under Wine) only the plain disposition is there, which a
    // read-only file refuses: the attribute goes first, through a handle on the same file
    // that may write attributes, asked for only then, unless the file has other names (hard
    // links), whose file it is too. It comes back if the file stays after all.
    BY_HANDLE_FILE_INFORMATION info{};
    ::GetFileInformationByHandle(entry.handle.get(), &info);
    const bool readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) &&
                          !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
                          info.nNumberOfLinks <= 1;
    std::expected<UniqueHandle, DWORD> writer = std::unexpected(DWORD{ERROR_ACCESS_DENIED});
    if (readOnly)
        writer =
            OpenRelative(entry.handle.get(), L"", FILE_WRITE_ATTRIBUTES, kShareAll, FILE_OPEN, 0);
    FILE_BASIC_INFO basic{}; // times left as they are
    const auto setAttributes = [&](DWORD attributes) {
        basic.FileAttributes = attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(writer->get(), FileBasicInfo, &basic, sizeof(basic));
    };
    if (writer)
        setAttributes(info.dwFileAttributes & kSettableAttributes & ~FILE_ATTRIBUTE_READONLY);
    FILE_DISPOSITION_INFO plain{TRUE};
    if (::SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof(plain)))
        return 0;
    const DWORD error = ::GetLastError();
    if (writer)
        setAttributes(info.dwFileAttributes & kSettableAttributes);
    return error;
}

DWORD MoveEntry(const HeldEntry& entry, HANDLE folder, std::wstring_view name, bool replace) {
    if (!IsSingleElement(name))
        return ERROR_INVALID_NAME;
    const auto held = OpenRelative(entry.handle.get(), L"", DELETE | FILE_READ_ATTRIBUTES,
                                   kShareAll, FILE_OPEN, 0);
    if (!held)
        return held.error();
    // The new name is taken relative to the folder's handle, never looked up by path.
    const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(wchar_t));
    // Never shorter than the structure itself, which the system checks first.
    std::vector<std::byte> buffer(std::max(offsetof(FILE_RENAME_INFORMATION, FileName) + nameBytes,
                                           sizeof(FILE_RENAME_INFORMATION)));
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = replace;
    rename->RootDirectory = folder;
    rename->FileNameLength = nameBytes;
    std::memcpy(rename->FileName, name.data(), nameBytes);
    IO_STATUS_BLOCK io{};
    const NTSTATUS status = ::NtSetInformationFile(
        held->get(), &io, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation);
    return NT_SUCCESS(status) ? 0 : ::RtlNtStatusToDosError(status);
}

std::vector<std::wstring> PathElements(std::wstring_view path) {
    std::vector<std::wstring> elements;
    for (size_t start = 0;;) {
        const size_t end = path.find_first_of(L"\\/", start);
        elements.emplace_back(path.substr(start, end - start));
        if (end == std::wstring_view::npos)
            return elements;
        start = end + 1;
    }
}

HANDLE FolderWalk::Reach(std::span<const std::wstring> folders) {
    if (!KernelHandleTraits::IsValid(root_)) // a root that could not be opened holds nothing
        return nullptr;
    size_t kept = 0;
    while (kept < chain_.size() && kept < folders.size() && chain_[kept].first == folders[kept])
        ++kept;
    chain_.erase(chain_.begin() + static_cast<std::ptrdiff_t>(kept), chain_.end());
    for (; kept < folders.size(); ++kept) {
        auto folder = OpenEntry(Top(), folders[kept], {.createFolder = create_});
        if (!folder || folder->kind != EntryKind::Folder)
            return nullptr;
        chain_.emplace_back(folders[kept], std::move(*folder));
    }
    return Top();
}

std::expected<UniqueHandle, DWORD> FolderWalk::OpenFileToWrite(std::wstring_view path) {
    const std::vector<std::wstring> elements = PathElements(path);
    const HANDLE folder = Reach(std::span(elements).first(elements.size() - 1));
    if (!folder)
        return std::unexpected(DWORD{ERROR_PATH_NOT_FOUND});
    return ::OpenFileToWrite(folder, elements.back());
}
