#include "setup/paths.h"

#include "package/windows_names.h"

#include <algorithm>
#include <string>

bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool HasOnlyNameCharacters(std::wstring_view name) {
    const auto allowed = [](wchar_t c) {
        return c >= 0x20 && std::wstring_view(L"\\/:*?\"<>|").find(c) == std::wstring_view::npos;
    };
    return std::ranges::all_of(name, allowed);
}

bool IsFolderName(std::wstring_view name) {
    return HasOnlyNameCharacters(name) && mvpk::IsKeptName(name);
}

std::filesystem::path JoinPath(const std::filesystem::path& left, std::wstring_view right) {
    std::wstring joined = left.native();
    if (!joined.empty() && !IsPathSeparator(joined.back()))
        joined += L'\\';
    joined += right;
    return std::filesystem::path(std::move(joined));
}
