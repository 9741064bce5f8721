#include "install/file_removal.h"

#include "setup/held_entries.h"

#include <span>
#include <string>
#include <vector>

namespace {

void Remove(const std::filesystem::path& path, bool folderOnly) {
    const auto entry = OpenPath(path);
    if (entry && !(folderOnly && entry->kind == EntryKind::File))
        DeleteEntry(*entry);
}

} // namespace

void RemoveEntry(const std::filesystem::path& path) {
    Remove(path, false);
}

void RemoveEmptyFolder(const std::filesystem::path& path) {
    Remove(path, true);
}

void VisitTree(HANDLE folder, const TreeVisitor& visit) {
    // Relative opens know no length limit, so a tree may be deeper than any stack: the folders
    // on the way down are kept here, each with the names it has left.
    struct Level {
        HeldEntry folder; // empty for the folder the caller holds
        std::vector<std::wstring> names;
    };
    std::vector<Level> levels;
    std::vector<std::wstring> path; // the names of the folders below the caller's
    levels.push_back({HeldEntry{}, ListFolder(folder)});
    while (!levels.empty()) {
        if (levels.back().names.empty()) {
            const HeldEntry done = std::move(levels.back().folder);
            levels.pop_back();
            if (!levels.empty()) {
                DeleteEntry(done); // stays when something below it stayed
                path.pop_back();
            }
            continue;
        }
        const HANDLE parent = levels.size() == 1 ? folder : levels.back().folder.handle.get();
        std::wstring name = std::move(levels.back().names.back());
        levels.back().names.pop_back();
        auto entry = OpenEntry(parent, name);
        if (!entry)
            continue;
        if (entry->kind == EntryKind::Folder) {
            auto names = ListFolder(entry->handle.get());
            levels.push_back({std::move(*entry), std::move(names)});
            path.push_back(std::move(name));
        } else {
            visit(path, name, *entry);
        }
    }
}

void RemoveContent(HANDLE folder) {
    VisitTree(folder, [](auto, auto&, const HeldEntry& entry) { DeleteEntry(entry); });
}
