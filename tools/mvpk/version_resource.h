// The version resource that Windows shows in a setup program's properties, made from the
// product's description.
#pragma once

#include "setup/metadata.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace mvpk_tool {

// Up to four dotted numbers from the start of a version text ("3.0.1-beta" gives 3, 0, 1,
// 0); what is missing, not a number or above 65535 counts as 0, and ends the reading.
std::array<std::uint16_t, 4> NumericVersion(std::wstring_view version);

// A VS_VERSIONINFO block: the numeric file and product version, and French strings
// (language 040C, UTF-16) for the product name, its version, the publisher and the file
// description "Installation de " followed by the product name. Empty values are left out.
std::string VersionResource(const ProductInfo& info);

} // namespace mvpk_tool
