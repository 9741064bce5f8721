#include "install/running_instance.h"

#include "setup/handles.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>
#include <cwctype>

namespace {

std::wstring CanonicalLowerCase(const std::filesystem::path& path) {
    std::wstring text = std::filesystem::weakly_canonical(path).native();
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
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
    const std::wstring first = CanonicalLowerCase(a);
    return first == CanonicalLowerCase(b);
}

std::wstring FindRunningInstance(const ProductInfo& info, const std::filesystem::path& directory) {
    const std::filesystem::path target = directory / info.exe;
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return {};
    static_assert(sizeof(PROCESSENTRY32W) == 568);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, info.exe.c_str()) != 0)
            continue;
        std::wstring image = ImagePath(entry.th32ProcessID);
        if (!image.empty() && IsSameFile(image, target))
            return image;
    }
    return {};
}

std::wstring RunningInstanceMessage(const ProductInfo& info) {
    return info.product + L" est en cours d'exécution : fermez-le puis recommencez.";
}
