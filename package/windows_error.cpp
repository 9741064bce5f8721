#include "package/windows_error.h"

#include <windows.h>

namespace mvpk {

std::string WithWindowsError(std::string_view step) {
    const DWORD error = ::GetLastError();
    std::string text(step);
    text += " (erreur Windows ";
    text += std::to_string(error);
    text += ')';
    return text;
}

} // namespace mvpk
