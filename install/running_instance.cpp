#include "install/running_instance.h"

#include "setup/handles.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cwchar>
#include <optional>

namespace {

struct FileIdentity {
    DWORD volume = 0;
    std::uint64_t index = 0;
    bool operator==(const FileIdentity&) const = default;
};

// Which file or folder a path names, as the system resolves it: links and junctions on the
// way, ".", ".." and case make no difference. Nothing when it cannot be opened.
std::optional<FileIdentity> IdentityOf(const std::filesystem::path& path) {
    UniqueHandle handle(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!handle || !::GetFileInformationByHandle(handle.get(), &info))
        return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber,
                        (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

// The Win32 image path of a process, or empty when it cannot be read.
std::wstring ImagePath(DWORD processId) {
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process)
        return {};
    wchar_t buffer[1040];
    DWORD size = 1040;
    if (!::QueryFullProcessImageNameW(process.get(), 0, buffer, &size))
        return {};
    return std::wstring(buffer, size);
}

} // namespace

bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto first = IdentityOf(a);
    return first && first == IdentityOf(b);
}

std::wstring FindRunningInstance(const ProductInfo& info, const std::filesystem::path& directory) {
    // No file there, nothing can be running from it.
    const auto target = IdentityOf(directory / info.exe);
    if (!target)
        return {};
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return {};
    // A process entry names its program's file alone; Exe may name it in a subfolder.
    const std::wstring name = std::filesystem::path(info.exe).filename().native();
    static_assert(sizeof(PROCESSENTRY32W) == 568);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, name.c_str()) != 0)
            continue;
        std::wstring image = ImagePath(entry.th32ProcessID);
        if (!image.empty() && IdentityOf(image) == target)
            return image;
    }
    return {};
}

std::wstring RunningInstanceMessage(const ProductInfo& info) {
    return info.product + L" est en cours d'exécution : fermez-le puis recommencez.";
}
