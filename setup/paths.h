// Path rules shared by the whole program. Pure logic, no system calls.
#pragma once

#include <filesystem>
#include <string_view>

// Joins two path elements: a backslash goes between them unless the left part is empty or
// already ends with a separator. Unlike std::filesystem's operator/, "C:" on the left or an
// absolute right part is not treated specially.
std::filesystem::path JoinPath(const std::filesystem::path& left, std::wstring_view right);

bool IsPathSeparator(wchar_t c);

// No control character and none of \ / : * ? " < > |.
bool HasOnlyNameCharacters(std::wstring_view name);

// A name that one folder keeps as written: not empty, only name characters, no final space
// or dot (Windows drops them; "." and ".." name other folders) and no device's name.
bool IsFolderName(std::wstring_view name);
