#include "tools/mvpk/version_resource.h"

#include <windows.h>

#include <functional>

namespace mvpk_tool {

namespace {

// French (040C) in UTF-16 (code page 1200, 04B0): the string table's name and its
// translation entry say the same.
constexpr std::uint16_t kFrench = 0x040C;
constexpr std::uint16_t kUtf16CodePage = 1200;
constexpr wchar_t kStringTable[] = L"040C04B0";
// The block's lengths are 16-bit: a longer value is cut for the properties dialog only.
constexpr std::size_t kMaxValue = 1024;

void PutWord(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

void PutText(std::string& out, std::wstring_view text) {
    for (wchar_t c : text)
        PutWord(out, static_cast<std::uint16_t>(c));
    PutWord(out, 0);
}

void Align(std::string& out) {
    out.resize((out.size() + 3) & ~std::size_t{3}, '\0');
}

// One node of the block: length, value length, type, key, value, children, each on a
// 32-bit boundary. The length covers everything up to the end of the last child.
void PutNode(std::string& out, std::wstring_view key, std::uint16_t valueLength, bool text,
             const std::function<void(std::string&)>& value,
             const std::function<void(std::string&)>& children = {}) {
    Align(out);
    const std::size_t start = out.size();
    PutWord(out, 0);
    PutWord(out, valueLength);
    PutWord(out, text ? 1 : 0);
    PutText(out, key);
    Align(out);
    if (value)
        value(out);
    if (children)
        children(out);
    const auto length = static_cast<std::uint16_t>(out.size() - start);
    out[start] = static_cast<char>(length & 0xFF);
    out[start + 1] = static_cast<char>(length >> 8);
}

} // namespace

std::array<std::uint16_t, 4> NumericVersion(std::wstring_view version) {
    std::array<std::uint16_t, 4> parts{};
    for (std::uint16_t& part : parts) {
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (digits < version.size() && version[digits] >= L'0' && version[digits] <= L'9' &&
               value <= 65535)
            value = value * 10 + static_cast<std::uint32_t>(version[digits++] - L'0');
        if (digits == 0 || value > 65535)
            break;
        part = static_cast<std::uint16_t>(value);
        if (digits == version.size() || version[digits] != L'.')
            break;
        version.remove_prefix(digits + 1);
    }
    return parts;
}

std::string VersionResource(const ProductInfo& info) {
    const auto number = NumericVersion(info.version);
    VS_FIXEDFILEINFO fixed{};
    fixed.dwSignature = VS_FFI_SIGNATURE;
    fixed.dwStrucVersion = VS_FFI_STRUCVERSION;
    fixed.dwFileVersionMS = fixed.dwProductVersionMS = (DWORD{number[0]} << 16) | number[1];
    fixed.dwFileVersionLS = fixed.dwProductVersionLS = (DWORD{number[2]} << 16) | number[3];
    fixed.dwFileFlagsMask = VS_FFI_FILEFLAGSMASK;
    fixed.dwFileOS = VOS_NT_WINDOWS32;
    fixed.dwFileType = VFT_APP;

    const std::pair<const wchar_t*, std::wstring> strings[] = {
        {L"CompanyName", info.publisher},  {L"FileDescription", L"Installation de " + info.product},
        {L"FileVersion", info.version},    {L"ProductName", info.product},
        {L"ProductVersion", info.version},
    };
    std::string out;
    PutNode(
        out, L"VS_VERSION_INFO", sizeof(fixed), false,
        [&](std::string& o) { o.append(reinterpret_cast<const char*>(&fixed), sizeof(fixed)); },
        [&](std::string& o) {
            PutNode(o, L"StringFileInfo", 0, true, {}, [&](std::string& o2) {
                PutNode(o2, kStringTable, 0, true, {}, [&](std::string& o3) {
                    for (const auto& [key, full] : strings) {
                        if (full.empty())
                            continue;
                        const std::wstring_view value =
                            std::wstring_view(full).substr(0, kMaxValue);
                        // The value length of a string counts its characters and its null.
                        PutNode(o3, key, static_cast<std::uint16_t>(value.size() + 1), true,
                                [&](std::string& o4) { PutText(o4, value); });
                    }
                });
            });
            PutNode(o, L"VarFileInfo", 0, true, {}, [&](std::string& o2) {
                PutNode(o2, L"Translation", 4, false, [&](std::string& o3) {
                    PutWord(o3, kFrench);
                    PutWord(o3, kUtf16CodePage);
                });
            });
        });
    return out;
}

} // namespace mvpk_tool
