// Failure texts of the package layer that carry the thread's last Windows error.
#pragma once

#include <string>
#include <string_view>

namespace mvpk {

// step + " (erreur Windows " + GetLastError() in decimal + ")". The last error is read
// before anything else can change it.
std::string WithWindowsError(std::string_view step);

} // namespace mvpk
