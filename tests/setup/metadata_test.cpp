#include "setup/metadata.h"
#include "setup/paths.h"

#include <gtest/gtest.h>

#include <knownfolders.h>

namespace {

ProductInfo InfoFrom(std::string_view text) {
    return LoadProductInfo(ParseMetadata(text));
}

TEST(ProductMetadata, EmptyTextGivesEveryDefault) {
    const ProductInfo info = InfoFrom("");
    EXPECT_EQ(info.product, L"Application");
    EXPECT_EQ(info.exe, L"Application.exe");
    EXPECT_EQ(info.registryKey, L"Software\\Morvanti\\Application");
    EXPECT_EQ(info.version, L"");
    EXPECT_FALSE(info.hasDataDir);
    EXPECT_TRUE(info.fileTypes.empty());
}

TEST(ProductMetadata, EmptyValueIsNotTheDefault) {
    const ProductInfo info = InfoFrom("Product=\n");
    EXPECT_EQ(info.product, L"");
    EXPECT_EQ(info.exe, L".exe");
    EXPECT_EQ(info.registryKey, L"Software\\Morvanti\\");
}

TEST(ProductMetadata, NothingIsTrimmedAndLastKeyWins) {
    const auto map = ParseMetadata("\xEF\xBB\xBFProduct=A\r\nVersion=1\r\nVersion=2\r\n"
                                   "no equals sign\n =x\n=empty key\nExe");
    EXPECT_EQ(map.at("\xEF\xBB\xBFProduct"), "A\r");
    EXPECT_EQ(map.at("Version"), "2\r");
    EXPECT_EQ(map.at(" "), "x");
    EXPECT_EQ(map.at(""), "empty key");
    EXPECT_FALSE(map.contains("Exe"));
    EXPECT_FALSE(map.contains("no equals sign"));
    // A byte-order mark keeps the key from matching.
    EXPECT_EQ(LoadProductInfo(map).product, L"Application");
    EXPECT_EQ(LoadProductInfo(map).version, L"2\r");
}

TEST(ProductMetadata, FullDescription) {
    const ProductInfo info = InfoFrom("Built=2026-01-01T00:00:00Z\nExe=Velmora.exe\n"
                                      "FileTypes=.velmora=Document Velmora;;=x;.vlm;.a=b=c\n"
                                      "Product=Velmora\nPublisher=\xC3\x89"
                                      "ditions Morvanti\n"
                                      "RegistryKey=Software\\Velmora\nUrl=https://x\n"
                                      "Version=3.0.0\nDataDir=yes\n");
    EXPECT_EQ(info.product, L"Velmora");
    EXPECT_EQ(info.publisher, L"\u00C9ditions Morvanti");
    EXPECT_EQ(info.registryKey, L"Software\\Velmora");
    EXPECT_EQ(info.url, L"https://x");
    EXPECT_TRUE(info.hasDataDir);
    const std::vector<FileType> expected{{L".velmora", L"Document Velmora"}, {L".a", L"b=c"}};
    EXPECT_EQ(info.fileTypes, expected);
}

TEST(ProductMetadata, DataDirMustBeExactlyYes) {
    EXPECT_FALSE(InfoFrom("DataDir=Yes").hasDataDir);
    EXPECT_FALSE(InfoFrom("DataDir=yes\r\n").hasDataDir);
    EXPECT_FALSE(InfoFrom("DataDir= yes").hasDataDir);
}

TEST(ProductMetadata, InvalidUtf8BecomesReplacementCharacter) {
    EXPECT_EQ(InfoFrom("Product=a\xFF"
                       "b")
                  .product,
              L"a\uFFFDb");
}

TEST(JoinPath, BackslashOnlyWhereNeeded) {
    EXPECT_EQ(JoinPath(L"C:\\Apps", L"Velmora").native(), L"C:\\Apps\\Velmora");
    EXPECT_EQ(JoinPath(L"C:\\Apps\\", L"Velmora").native(), L"C:\\Apps\\Velmora");
    EXPECT_EQ(JoinPath(L"C:/Apps/", L"Velmora").native(), L"C:/Apps/Velmora");
    EXPECT_EQ(JoinPath(L"", L"Velmora").native(), L"Velmora");
    // Unlike std::filesystem: no special meaning for a drive or an absolute right part.
    EXPECT_EQ(JoinPath(L"C:", L"Velmora").native(), L"C:\\Velmora");
    EXPECT_EQ(JoinPath(L"C:\\Apps", L"\\Velmora").native(), L"C:\\Apps\\\\Velmora");
}

TEST(KnownFolders, DataDirectoryAndDefaultFolders) {
    const auto programData = KnownFolderPath(FOLDERID_ProgramData);
    ASSERT_FALSE(programData.empty());
    EXPECT_EQ(DataDirectory(L"Velmora", Scope::Machine),
              JoinPath(JoinPath(programData, L"Velmora"), L"Data"));
    const auto local = KnownFolderPath(FOLDERID_LocalAppData);
    ASSERT_FALSE(local.empty());
    EXPECT_EQ(DataDirectory(L"Velmora", Scope::User),
              JoinPath(JoinPath(local, L"Velmora"), L"Data"));

    EXPECT_EQ(DefaultInstallFolder(L"Velmora", Scope::Machine),
              JoinPath(KnownFolderPath(FOLDERID_ProgramFiles), L"Velmora"));
    // Where the system knows no per-user program folder, the one Windows would use.
    const auto userPrograms = KnownFolderPath(FOLDERID_UserProgramFiles);
    const auto expectedBase = userPrograms.empty() ? JoinPath(local, L"Programs") : userPrograms;
    EXPECT_EQ(DefaultInstallFolder(L"Velmora", Scope::User), JoinPath(expectedBase, L"Velmora"));
}

} // namespace
