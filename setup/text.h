// Conversions between the UTF-8 of the metadata, the package and its messages, and the
// UTF-16 of everything else.
#pragma once

#include <string>
#include <string_view>

// Invalid sequences become the replacement character (system conversion, flags 0).
std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
