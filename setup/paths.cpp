#include "setup/paths.h"

#include <algorithm>
#include <string>

bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool IsFolderName(std::wstring_view name) {
    const auto allowed = [](wchar_t c) {
        return c >= 0x20 && std::wstring_view(L"\\/:*?\"<>|").find(c) == std::wstring_view::npos;
    };
    return !name.empty() && std::ranges::all_of(name, allowed) && !name.ends_with(L' ') &&
           !name.ends_with(L'.');
}

std::filesystem::path JoinPath(const std::filesystem::path& left, std::wstring_view right) {
    std::wstring joined = left.native();
    if (!joined.empty() && !IsPathSeparator(joined.back()))
        joined += L'\\';
    joined += right;
    return std::filesystem::path(std::move(joined));
}
