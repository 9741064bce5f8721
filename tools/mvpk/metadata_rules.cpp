#include "tools/mvpk/metadata_rules.h"

#include "setup/paths.h"
#include "setup/text.h"

#include <windows.h>

#include <algorithm>

namespace mvpk_tool {

namespace {

using Failure = std::unexpected<std::string>;

const std::string* Value(const MetadataMap& map, const char* key) {
    const auto found = map.find(key);
    return found == map.end() ? nullptr : &found->second;
}

// Kept as written by a folder, a shortcut and a registry key, and no device's name.
bool IsFileName(std::string_view name) {
    return IsFolderName(Utf8ToWide(name));
}

// Software\ in any case, as the registry compares names, then keys none of which is empty.
bool IsApplicationKey(std::string_view key) {
    constexpr std::string_view root = "software\\";
    if (key.size() <= root.size() ||
        !std::ranges::equal(key.substr(0, root.size()), root,
                            [](char a, char b) { return (a | 0x20) == b || a == b; }))
        return false;
    const std::string_view below = key.substr(root.size());
    return !below.starts_with('\\') && !below.ends_with('\\') &&
           below.find("\\\\") == std::string_view::npos;
}

// A dot, a name without dot or space, an equals sign and a description.
bool IsFileType(std::string_view entry) {
    const std::size_t equals = entry.find('=');
    if (equals == std::string_view::npos || equals + 1 == entry.size() || !entry.starts_with('.'))
        return false;
    // Only ever the end of a file's name and of a ProgID: ".aux" or ".nul" are fine.
    const std::string_view name = entry.substr(1, equals - 1);
    return !name.empty() && HasOnlyNameCharacters(Utf8ToWide(name)) &&
           name.find_first_of(". ") == std::string_view::npos;
}

} // namespace

std::expected<void, std::string> CheckMetadata(const MetadataMap& map,
                                               const std::string& fileName) {
    for (const char* key : {"Product", "Version", "Publisher"}) {
        const std::string* value = Value(map, key);
        if (value == nullptr || value->empty())
            return Failure(std::string("Métadonnées sans ") + key + " : " + fileName);
    }
    if (const std::string& product = *Value(map, "Product"); !IsFileName(product))
        return Failure("Product inutilisable comme nom de dossier : " + product);
    if (const std::string* key = Value(map, "RegistryKey"); key && !IsApplicationKey(*key))
        return Failure("RegistryKey invalide (Software\\Nom attendu) : " + *key);
    if (const std::string* data = Value(map, "DataDir"); data && *data != "yes" && *data != "no")
        return Failure("DataDir invalide (yes ou no attendu) : " + *data);
    // Empty entries are skipped by the setup program, and harmless.
    const std::string* listed = Value(map, "FileTypes");
    std::string_view types = listed ? std::string_view(*listed) : std::string_view();
    while (!types.empty()) {
        const std::string_view entry = types.substr(0, types.find(';'));
        if (!entry.empty() && !IsFileType(entry))
            return Failure("Entrée FileTypes invalide (.ext=Description attendu) : " +
                           std::string(entry));
        types.remove_prefix(std::min(types.size(), entry.size() + 1));
    }
    return {};
}

std::expected<void, std::string> CheckExe(const MetadataMap& map,
                                          std::span<const SourceFile> files) {
    const std::wstring given = LoadProductInfo(map).exe;
    std::wstring exe = given;
    std::ranges::replace(exe, L'/', L'\\');
    for (const SourceFile& file : files) {
        const std::wstring path = Utf8ToWide(file.path);
        if (::CompareStringOrdinal(path.data(), static_cast<int>(path.size()), exe.data(),
                                   static_cast<int>(exe.size()), TRUE) == CSTR_EQUAL)
            return {};
    }
    return Failure("Exe absent du dossier : " + WideToUtf8(given));
}

} // namespace mvpk_tool
