// Names that Windows does not keep as written. A path element ending in a dot or a space
// loses them (another file's name then, or one nothing can remove again), and a device's name
// (CON, NUL, COM1, LPT1.txt...) opens the device instead of a file. The one rule for the
// package's stored paths, the product's folder name and the tool that makes both. Pure C++,
// for UTF-8 and UTF-16 text alike: the reader also builds natively for the fuzzer.
#pragma once

#include <cstddef>
#include <string_view>

namespace mvpk {

// Whether a single path element names a device: CON, PRN, AUX, NUL, COM0 to COM9 or LPT0 to
// LPT9 (with ¹, ² or ³ too, as Windows' list of reserved names has them), in any case, alone or
// followed by an extension; spaces before the dot do not change that.
template <class Char> constexpr bool IsDeviceName(std::basic_string_view<Char> element) {
    std::basic_string_view<Char> base = element.substr(0, element.find(Char('.')));
    while (!base.empty() && base.back() == Char(' '))
        base.remove_suffix(1);
    if (base.size() < 3)
        return false;
    const auto startsAs = [&](const char* name) {
        for (int i = 0; i < 3; ++i) {
            const Char c = base[static_cast<std::size_t>(i)];
            const Char upper =
                c >= Char('a') && c <= Char('z') ? Char(c - Char('a') + Char('A')) : c;
            if (upper != Char(name[i]))
                return false;
        }
        return true;
    };
    const std::basic_string_view<Char> rest = base.substr(3);
    if (rest.empty())
        return startsAs("CON") || startsAs("PRN") || startsAs("AUX") || startsAs("NUL");
    if (!startsAs("COM") && !startsAs("LPT"))
        return false;
    if (rest.size() == 1 && rest[0] >= Char('0') && rest[0] <= Char('9'))
        return true;
    // Superscript one, two and three: U+00B9, U+00B2, U+00B3.
    if constexpr (sizeof(Char) == 1)
        return rest.size() == 2 && static_cast<unsigned char>(rest[0]) == 0xC2 &&
               (static_cast<unsigned char>(rest[1]) == 0xB9 ||
                static_cast<unsigned char>(rest[1]) == 0xB2 ||
                static_cast<unsigned char>(rest[1]) == 0xB3);
    else
        return rest.size() == 1 &&
               (rest[0] == Char(0xB9) || rest[0] == Char(0xB2) || rest[0] == Char(0xB3));
}

// Whether Windows keeps a single, non-empty path element as written: no final dot or space
// ("." and ".." included) and no device's name.
template <class Char> constexpr bool IsKeptName(std::basic_string_view<Char> element) {
    return !element.empty() && element.back() != Char('.') && element.back() != Char(' ') &&
           !IsDeviceName(element);
}

} // namespace mvpk
