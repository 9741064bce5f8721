// Ordering of product version texts such as "3.10.2".
#pragma once

#include <string_view>

// -1, 0 or 1 as a is older than, the same as or newer than b. Components are separated by
// full stops; only their decimal digits count (so "2b" is 2 and an empty component is 0),
// and a text that has run out counts as 0 for each further component: "3.0" equals "3.0.0".
int CompareVersions(std::wstring_view a, std::wstring_view b);
