// The program's one way to format text. GCC 12's library has no <format>, so {fmt} stands
// in behind the name txt::format; switching to std::format later touches only this file.
#pragma once

#ifndef FMT_HEADER_ONLY
#define FMT_HEADER_ONLY
#endif
#include <fmt/chrono.h>
#include <fmt/format.h>
#include <fmt/xchar.h>

namespace txt {
using fmt::format;
} // namespace txt
