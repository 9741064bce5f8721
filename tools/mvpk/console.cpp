#include "tools/mvpk/console.h"

#include "install/registry.h"
#include "setup/text.h"

#include <windows.h>

#include <algorithm>
#include <cerrno>
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

// The standard library's file operations report C library error numbers here.
std::string ErrnoText(int code) {
    switch (code) {
    case ENOENT:
        return "fichier ou dossier introuvable";
    case EACCES:
        return "accès refusé";
    case ENOTDIR:
        return "ce n'est pas un dossier";
    case EISDIR:
        return "c'est un dossier";
    case EEXIST:
        return "existe déjà";
    case ENOTEMPTY:
        return "dossier non vide";
    case ENOSPC:
        return "disque plein";
    case ENAMETOOLONG:
        return "nom trop long";
    default:
        return "erreur " + std::to_string(code);
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
    const std::error_code code = system->code();
    std::string text =
        code.category() == std::generic_category()
            ? "Erreur système : " + ErrnoText(code.value())
            : WideToUtf8(FormatWindowsError(L"Erreur système", static_cast<DWORD>(code.value())));
    if (const auto* file = dynamic_cast<const std::filesystem::filesystem_error*>(system))
        if (!file->path1().empty())
            text += " : " + Display(file->path1());
    return text;
}
