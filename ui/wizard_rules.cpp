#include "ui/wizard_rules.h"

#include "setup/format.h"
#include "setup/paths.h"
#include "ui/version_compare.h"

#include <cwchar>

namespace {

bool IsDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

} // namespace

bool IsCompleteInstallFolder(std::wstring_view folder) {
    if (folder.size() >= 3 && IsDriveLetter(folder[0]) && folder[1] == L':' &&
        IsPathSeparator(folder[2]))
        return true;
    return folder.size() >= 2 && IsPathSeparator(folder[0]) && IsPathSeparator(folder[1]);
}

std::wstring WithProductFolder(std::wstring_view folder, std::wstring_view product) {
    std::size_t start = folder.size();
    while (start > 0 && !IsPathSeparator(folder[start - 1]))
        --start;
    const std::wstring last(folder.substr(start));
    const std::wstring name(product);
    if (::_wcsicmp(last.c_str(), name.c_str()) == 0)
        return std::wstring(folder);
    return JoinPath(std::wstring(folder), product).native();
}

ExistingInstallationTexts
DescribeExistingInstallation(std::wstring_view product, std::wstring_view version,
                             const std::optional<std::wstring>& installed) {
    if (!installed)
        return {L"", L"Installer"};
    const int order = CompareVersions(*installed, version);
    if (order == 0)
        return {txt::format(L"{} {} est déjà installé. « Réinstaller » remplace tous ses fichiers.",
                            product, *installed),
                L"Réinstaller"};
    if (order < 0)
        return {txt::format(L"La version {} est installée : elle sera remplacée par la version {}.",
                            *installed, version),
                L"Mettre à jour"};
    return {txt::format(L"Une version plus récente ({}) est installée : elle sera remplacée par "
                        L"la version {}.",
                        *installed, version),
            L"Installer"};
}

std::wstring IncompleteFolderText(std::wstring_view example) {
    return txt::format(L"Indiquez un dossier d'installation complet (par exemple {}).", example);
}

std::wstring ElevatedCopyFailureText(int code) {
    return code == 1223 ? L"Installation pour tous les utilisateurs annulée (autorisation refusée)."
                        : txt::format(L"L'installation a échoué (code {}).", code);
}

unsigned ProgressPosition(double fraction) {
    // Converting a negative or huge double to unsigned is undefined; Install never reports
    // one, but the bar must not depend on that.
    if (!(fraction > 0.0))
        return 0;
    if (fraction >= 1.0)
        return 1000;
    return static_cast<unsigned>(fraction * 1000.0);
}
