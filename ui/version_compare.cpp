#include "ui/version_compare.h"

#include <cstddef>
#include <cstdint>

namespace {

// The value of the component starting at pos; pos moves past its full stop. Overflow wraps
// around like any unsigned 32-bit arithmetic.
std::uint32_t NextComponent(std::wstring_view text, std::size_t& pos) {
    std::uint32_t value = 0;
    while (pos < text.size() && text[pos] != L'.') {
        const wchar_t c = text[pos++];
        if (c >= L'0' && c <= L'9')
            value = value * 10u + static_cast<std::uint32_t>(c - L'0');
    }
    if (pos < text.size())
        ++pos;
    return value;
}

} // namespace

int CompareVersions(std::wstring_view a, std::wstring_view b) {
    std::size_t posA = 0;
    std::size_t posB = 0;
    while (posA < a.size() || posB < b.size()) {
        const std::uint32_t componentA = NextComponent(a, posA);
        const std::uint32_t componentB = NextComponent(b, posB);
        if (componentA != componentB)
            return componentA > componentB ? 1 : -1;
    }
    return 0;
}
