#include "setup/paths.h"

#include <string>

bool IsPathSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

std::filesystem::path JoinPath(const std::filesystem::path& left, std::wstring_view right) {
    std::wstring joined = left.native();
    if (!joined.empty() && !IsPathSeparator(joined.back()))
        joined += L'\\';
    joined += right;
    return std::filesystem::path(std::move(joined));
}
