// Whether the product is running from a given folder.
#pragma once

#include "setup/metadata.h"

#include <filesystem>
#include <string>

// The full path of a running copy of the product's executable in directory, or empty.
// A path that cannot be made canonical throws std::filesystem::filesystem_error; the
// thread that installs or uninstalls turns it into its failure text.
std::wstring FindRunningInstance(const ProductInfo& info, const std::filesystem::path& directory);
bool IsSameFile(const std::filesystem::path& a, const std::filesystem::path& b);
// "<product> est en cours d'exécution : fermez-le puis recommencez."
std::wstring RunningInstanceMessage(const ProductInfo& info);
