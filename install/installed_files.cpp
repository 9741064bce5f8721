#include "install/installed_files.h"

#include "setup/held_entries.h"
#include "setup/paths.h"
#include "setup/text.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <string_view>

namespace {

constexpr std::wstring_view kListName = L"Uninstall.files";

// The list is plain text in the install folder and anyone with write access there can edit
// it: an entry is deleted only when the package's own rule would have let it be installed.
// A null character would cut the path the system sees behind the rule's back.
bool StaysInside(const std::wstring& entry) {
    return entry.find(L'\0') == std::wstring::npos && mvpk::IsSafePackagePath(WideToUtf8(entry));
}

} // namespace

void WriteInstalledFilesList(const std::filesystem::path& installDir, const mvpk::Reader& reader) {
    std::string text;
    for (const mvpk::PackageEntry& entry : reader.entries())
        text += entry.path + "\r\n";
    text += WideToUtf8(L"Uninstall.exe") + "\r\n" + WideToUtf8(kListName) + "\r\n";
    // Relative to the folder's handle, as the extraction writes: never through a link or a
    // second name that another user put there. Failures are not examined: the list is an
    // optional side effect.
    const UniqueHandle folder = OpenFolder(installDir);
    if (!folder)
        return;
    const auto list = OpenFileToWrite(folder.get(), kListName);
    DWORD written = 0;
    if (list)
        ::WriteFile(list->get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::vector<std::wstring> ReadInstalledFilesList(const std::filesystem::path& installDir) {
    std::vector<std::wstring> files;
    std::ifstream in(JoinPath(installDir, kListName), std::ios::in | std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        files.push_back(Utf8ToWide(line));
    }
    return files;
}

std::optional<std::vector<std::wstring>> ListedElements(const std::wstring& entry) {
    if (!StaysInside(entry))
        return std::nullopt;
    return PathElements(entry);
}

void RemoveListedFiles(const std::filesystem::path& installDir,
                       const std::vector<std::wstring>& files) {
    // Without a folder every entry would be taken relative to the current folder. The folder
    // itself is held for the whole removal; one that is a link is not entered at all.
    if (installDir.empty())
        return;
    const auto root = OpenPath(installDir);
    if (!root || root->kind != EntryKind::Folder)
        return;
    FolderWalk walk(root->handle.get());
    for (const std::wstring& entry : files) {
        const auto elements = ListedElements(entry);
        if (!elements)
            continue;
        if (const HANDLE folder = walk.Reach({elements->data(), elements->size() - 1}))
            if (const auto file = OpenEntry(folder, elements->back()))
                DeleteEntry(*file);
    }
    RemoveListedFolders(root->handle.get(), files);
}

void RemoveListedFolders(HANDLE installDir, const std::vector<std::wstring>& files) {
    std::set<std::vector<std::wstring>> folders;
    for (const std::wstring& entry : files)
        if (const auto elements = ListedElements(entry))
            for (size_t length = 1; length < elements->size(); ++length)
                folders.emplace(elements->begin(), elements->begin() + length);

    // The deepest first, so that subfolders go before the folders holding them. Only empty
    // folders go, and a link in a folder's place goes as a link.
    FolderWalk walk(installDir);
    std::vector<std::vector<std::wstring>> ordered(folders.begin(), folders.end());
    std::ranges::stable_sort(ordered, std::ranges::greater{}, &std::vector<std::wstring>::size);
    for (const auto& folder : ordered)
        if (const HANDLE parent = walk.Reach({folder.data(), folder.size() - 1}))
            if (const auto held = OpenEntry(parent, folder.back());
                held && held->kind != EntryKind::File)
                DeleteEntry(*held);
}
