#include "install/installed_files.h"

#include "install/file_removal.h"
#include "setup/paths.h"
#include "setup/text.h"

#include <algorithm>
#include <fstream>
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
    std::ofstream out(JoinPath(installDir, kListName),
                      std::ios::out | std::ios::trunc | std::ios::binary);
    for (const mvpk::PackageEntry& entry : reader.entries())
        out << entry.path << "\r\n";
    out << WideToUtf8(L"Uninstall.exe") << "\r\n";
    out << WideToUtf8(kListName) << "\r\n";
    // The stream's state is not examined: the list is an optional side effect.
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

void RemoveListedFiles(const std::filesystem::path& installDir,
                       const std::vector<std::wstring>& files) {
    // Without a folder every entry would be taken relative to the current folder. The folder
    // itself is held for the whole removal; one that is a link is not entered at all.
    if (installDir.empty())
        return;
    const UniqueHandle root = PinFolder(installDir);
    if (!root)
        return;
    const std::size_t rootLength = installDir.native().size();
    std::set<std::filesystem::path> folders;
    for (const std::wstring& entry : files) {
        if (!StaysInside(entry))
            continue;
        const std::filesystem::path file = JoinPath(installDir, entry);
        // A folder on the way that has become a link leads somewhere else: not ours.
        const auto pinned = PinnedFolders::Between(installDir, file);
        if (!pinned)
            continue;
        RemoveEntry(file);
        for (auto folder = file.parent_path();
             folder != installDir && folder.native().size() > rootLength;
             folder = folder.parent_path())
            folders.insert(folder);
    }

    // Longest paths first, so that subfolders go before the folders holding them. Only
    // empty folders go.
    std::vector<std::filesystem::path> ordered(folders.begin(), folders.end());
    std::ranges::stable_sort(ordered, [](const auto& a, const auto& b) {
        return a.native().size() > b.native().size();
    });
    for (const auto& folder : ordered)
        if (const auto pinned = PinnedFolders::Between(installDir, folder))
            RemoveEmptyFolder(folder);
}
