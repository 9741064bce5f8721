// Whether the product is running from a given folder.
#pragma once

#include "setup/metadata.h"

#include <filesystem>
#include <string>

// The full path of a running copy of the product's executable in directory, or empty.
std::wstring FindRunningInstance(const ProductInfo& info, const std::filesystem::path& directory);
// Whether two paths name the same existing file or folder, compared by the identity the system
// gives it, so that a path through a link or junction matches the path it leads to. False when
// either cannot be opened.
bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b);
// "<product> est en cours d'exécution : fermez-le puis recommencez."
std::wstring RunningInstanceMessage(const ProductInfo& info);
