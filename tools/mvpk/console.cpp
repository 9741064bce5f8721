#include "tools/mvpk/console.h"

#include "install/registry.h"
#include "setup/text.h"

#include <windows.h>

#include <algorithm>
#include <new>
#include <system_error>

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

std::string ExceptionText(const std::exception& failure) {
    if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr)
        return "Mémoire insuffisante";
    const auto* system = dynamic_cast<const std::system_error*>(&failure);
    if (system == nullptr)
        return failure.what(); // this program's own exceptions carry French texts
    // The standard library's file operations report C library error numbers here, which
    // this turns into the system's text for the matching Windows code.
    std::string text = WideToUtf8(FormatErrorCode(L"Erreur système", system->code()));
    if (const auto* file = dynamic_cast<const std::filesystem::filesystem_error*>(system))
        if (!file->path1().empty())
            text += " : " + Display(file->path1());
    return text;
}
