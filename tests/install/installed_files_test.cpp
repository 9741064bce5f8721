#include "install/file_removal.h"
#include "install/installed_files.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
namespace fs = std::filesystem;

void PutLe(std::string& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A package of empty files with the given stored paths: no blocks, total size 0.
std::string EmptyFilesPackage(const std::vector<std::string>& paths) {
    std::string bytes = "MVPK";
    PutLe(bytes, 1, 4);
    PutLe(bytes, paths.size(), 4);
    PutLe(bytes, 0, 4);
    PutLe(bytes, 0, 8);
    PutLe(bytes, 0, 4);
    PutLe(bytes, 0, 4);
    for (const std::string& path : paths) {
        PutLe(bytes, 0, 8);
        PutLe(bytes, 0, 8);
        bytes.append(32, '\0');
        PutLe(bytes, path.size(), 2);
        bytes += path;
    }
    return bytes;
}

mvpk::Reader OpenPackage(const std::string& bytes) {
    auto reader = mvpk::Reader::Open(
        std::span(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()));
    if (!reader)
        throw std::runtime_error(reader.error());
    return std::move(*reader);
}

TEST(InstalledFilesList, WrittenByteForByteAndReadBack) {
    TempDir dir;
    const std::string package = EmptyFilesPackage({"A.dll", "Assets\\Logo.png",
                                                   "Donn\xC3\xA9"
                                                   "es\\\xC3\xA9t\xC3\xA9.txt"});
    const mvpk::Reader reader = OpenPackage(package);
    WriteInstalledFilesList(dir.path(), reader);
    EXPECT_EQ(ReadFileBytes(dir / L"Uninstall.files"), "A.dll\r\nAssets\\Logo.png\r\nDonn\xC3\xA9"
                                                       "es\\\xC3\xA9t\xC3\xA9.txt\r\n"
                                                       "Uninstall.exe\r\nUninstall.files\r\n");
    EXPECT_EQ(ReadInstalledFilesList(dir.path()),
              (std::vector<std::wstring>{L"A.dll", L"Assets\\Logo.png", L"Données\\été.txt",
                                         L"Uninstall.exe", L"Uninstall.files"}));

    // Writing again replaces the list instead of adding to it.
    WriteInstalledFilesList(dir.path(), OpenPackage(EmptyFilesPackage({"B.dll"})));
    EXPECT_EQ(ReadFileBytes(dir / L"Uninstall.files"),
              "B.dll\r\nUninstall.exe\r\nUninstall.files\r\n");
}

TEST(InstalledFilesList, ReaderLineEndings) {
    TempDir dir;
    const auto read = [&](std::string_view bytes) {
        WriteFileBytes(dir / L"Uninstall.files", bytes);
        return ReadInstalledFilesList(dir.path());
    };
    using List = std::vector<std::wstring>;
    EXPECT_EQ(read("a\nb\n"), (List{L"a", L"b"}));
    EXPECT_EQ(read("a\r\nb"), (List{L"a", L"b"}));
    EXPECT_EQ(read("\r\n\n\r\na\r\n\r\n"), (List{L"a"}));
    EXPECT_EQ(read("a\r\r\n"), (List{L"a\r"}));
    EXPECT_EQ(read(" a b \r\n"), (List{L" a b "}));
    EXPECT_EQ(read("\xFF"
                   "x\r\n"),
              (List{L"\xFFFDx"}));
    EXPECT_EQ(read(""), List{});
    fs::remove(dir / L"Uninstall.files");
    EXPECT_EQ(ReadInstalledFilesList(dir.path()), List{});
}

TEST(RemoveListedFiles, RemovesFilesAndTheFoldersTheyLeaveEmptyDeepestFirst) {
    TempDir dir;
    const fs::path root = dir / L"Produit";
    WriteFileBytes(root / L"a\\b\\c\\file.txt", "1");
    WriteFileBytes(root / L"a\\readme.txt", "2");
    WriteFileBytes(root / L"x\\y\\z\\listed.txt", "3");
    WriteFileBytes(root / L"x\\y\\kept.txt", "4");
    WriteFileBytes(root / L"ro.txt", "5");
    ::SetFileAttributesW((root / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    RemoveListedFiles(root, {L"a\\b\\c\\file.txt", L"a\\readme.txt", L"x\\y\\z\\listed.txt",
                             L"ro.txt", L"missing\\gone.txt"});

    EXPECT_FALSE(fs::exists(root / L"a"));
    EXPECT_FALSE(fs::exists(root / L"x\\y\\z"));
    EXPECT_FALSE(fs::exists(root / L"ro.txt"));
    EXPECT_TRUE(fs::exists(root / L"x\\y\\kept.txt"));
    // The install folder itself is left to the caller, even when empty of listed files.
    EXPECT_TRUE(fs::exists(root));
}

TEST(RemoveListedFiles, ListWithATrailingSeparatorInTheFolder) {
    TempDir dir;
    WriteFileBytes(dir / L"p\\q\\f.txt", "1");
    RemoveListedFiles(dir.path().native() + L"\\", {L"p\\q\\f.txt"});
    EXPECT_FALSE(fs::exists(dir / L"p"));
    EXPECT_TRUE(fs::exists(dir.path()));
}

TEST(RemoveListedFiles, EntriesLeavingTheFolderAreNeverDeleted) {
    TempDir dir;
    const fs::path root = dir / L"Produit";
    const fs::path victim = dir / L"victim.txt";
    WriteFileBytes(victim, "keep");
    WriteFileBytes(root / L"sub\\inside.txt", "x");
    const std::wstring absolute = victim.native();
    const std::wstring drive = absolute.substr(0, 2); // "C:"
    RemoveListedFiles(root, {L"..\\victim.txt", L"sub\\..\\..\\victim.txt", L"../victim.txt",
                             absolute, L"\\" + absolute.substr(3), drive + L"victim.txt",
                             L"sub\\.\\..\\..\\victim.txt", L"", L"sub\\\\inside.txt",
                             std::wstring(L"..\0x", 4), L".", L".."});
    EXPECT_TRUE(fs::exists(victim));
    // Refused entries are skipped, not stopping the removal: the doubled separator is refused
    // too, so the file it names stays.
    EXPECT_TRUE(fs::exists(root / L"sub\\inside.txt"));
    EXPECT_TRUE(fs::exists(root));
}

TEST(RemoveListedFiles, EmptyFolderRemovesNothingFromTheCurrentFolder) {
    TempDir dir;
    WriteFileBytes(dir / L"f.txt", "1");
    const fs::path previous = fs::current_path();
    fs::current_path(dir.path());
    RemoveListedFiles(L"", {L"f.txt"});
    fs::current_path(previous);
    EXPECT_TRUE(fs::exists(dir / L"f.txt"));
}

TEST(RemovalOverLinks, LinksGoAsLinksAndLeadNowhere) {
    TempDir dir;
    // Another user's folder, and the links they planted into what an installation owns.
    const fs::path theirs = dir / L"theirs";
    WriteFileBytes(theirs / L"deep\\leaf.txt", "theirs");
    WriteFileBytes(theirs / L"file.txt", "theirs");
    const fs::path root = dir / L"Produit";
    WriteFileBytes(root / L"own.txt", "1");
    fs::create_directories(root / L"docs");
    const fs::path data = dir / L"Data";
    WriteFileBytes(data / L"a\\b\\ro.txt", "2");
    ::SetFileAttributesW((data / L"a\\b\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    using testing_support::FolderLink;
    const FolderLink listedFolder(root / L"docs\\guide", theirs);
    const FolderLink listedFile(root / L"file.txt", theirs);
    const FolderLink inData(data / L"a\\link", theirs);
    const FolderLink wholeFolder(dir / L"Elsewhere", theirs);
    ASSERT_TRUE(listedFolder.planted() && listedFile.planted() && inData.planted() &&
                wholeFolder.planted());

    RemoveListedFiles(
        root, {L"own.txt", L"docs\\guide\\deep\\leaf.txt", L"docs\\guide\\file.txt", L"file.txt"});
    RemoveListedFiles(dir / L"Elsewhere", {L"file.txt", L"deep\\leaf.txt"});
    RemoveTree(data);

    // Wine cannot remove a link at all; Windows removes it as a link.
    const bool linksGo = !testing_support::RunningUnderWine();
    const std::pair<fs::path, bool> expected[] = {
        {theirs / L"deep\\leaf.txt", true}, {theirs / L"file.txt", true},
        {root / L"own.txt", false},         {root / L"docs\\guide", !linksGo},
        {root / L"file.txt", !linksGo},     {data / L"a\\b", false},
        {data / L"a\\link", !linksGo},      {data, !linksGo},
    };
    for (const auto& [path, exists] : expected)
        EXPECT_EQ(::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES, exists) << path;
}

} // namespace
