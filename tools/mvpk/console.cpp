#include "tools/mvpk/console.h"

#include "setup/text.h"

#include <windows.h>

#include <algorithm>

namespace {

void WriteBytes(DWORD which, std::string_view text) {
    const HANDLE out = ::GetStdHandle(which);
    while (!text.empty()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1 << 20));
        if (!::WriteFile(out, text.data(), chunk, &written, nullptr) || written == 0)
            return;
        text.remove_prefix(written);
    }
}

} // namespace

void Out(std::string_view text) {
    WriteBytes(STD_OUTPUT_HANDLE, text);
}

void Err(std::string_view text) {
    WriteBytes(STD_ERROR_HANDLE, text);
}

int Fail(const std::string& message) {
    Err(message + "\n");
    return 1;
}

std::string Display(const std::filesystem::path& path) {
    return WideToUtf8(path.native());
}
