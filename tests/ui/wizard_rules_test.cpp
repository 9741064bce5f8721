// The page's rules that need no window.
#include "ui/version_compare.h"
#include "ui/wizard_rules.h"

#include <gtest/gtest.h>

namespace {

TEST(CompareVersions, MissingAndEmptyComponentsCountAsZero) {
    EXPECT_EQ(CompareVersions(L"3.0", L"3.0.0"), 0);
    EXPECT_EQ(CompareVersions(L"3.0.0", L"3"), 0);
    EXPECT_EQ(CompareVersions(L"", L"0.0"), 0);
    EXPECT_EQ(CompareVersions(L"1..2", L"1.0.2"), 0);
    EXPECT_EQ(CompareVersions(L"2.", L"2"), 0);
    EXPECT_EQ(CompareVersions(L"3.0.1", L"3"), 1);
    EXPECT_EQ(CompareVersions(L"", L"0.0.1"), -1);
}

TEST(CompareVersions, ComponentsAreNumbersNotText) {
    EXPECT_EQ(CompareVersions(L"3.10", L"3.9"), 1);
    EXPECT_EQ(CompareVersions(L"3.9", L"3.10"), -1);
    EXPECT_EQ(CompareVersions(L"10", L"9.99"), 1);
    EXPECT_EQ(CompareVersions(L"03.1", L"3.01"), 0);
    // The first difference decides, whatever follows.
    EXPECT_EQ(CompareVersions(L"2.0.99", L"2.1"), -1);
}

TEST(CompareVersions, LettersAreSkipped) {
    EXPECT_EQ(CompareVersions(L"2b", L"2"), 0);
    EXPECT_EQ(CompareVersions(L"v1.2-beta", L"1.2"), 0);
    EXPECT_EQ(CompareVersions(L"1.x", L"1.0"), 0);
    EXPECT_EQ(CompareVersions(L"1.2rc3", L"1.22"), 1); // digits 2 and 3 make 23
}

TEST(CompareVersions, ComparedAsUnsigned32BitNumbers) {
    EXPECT_EQ(CompareVersions(L"4294967295", L"1"), 1);
    // One more wraps around to 0, as unsigned arithmetic does.
    EXPECT_EQ(CompareVersions(L"4294967296", L"0"), 0);
}

TEST(InstallFolderCheck, AcceptsOnlyCompleteFolders) {
    for (const wchar_t* folder : {L"C:\\", L"C:\\Apps", L"d:/Apps", L"z:\\a b\\c",
                                  L"\\\\server\\share", L"//server/share", L"\\\\?\\C:\\Apps"})
        EXPECT_TRUE(IsCompleteInstallFolder(folder)) << folder;
    for (const wchar_t* folder :
         {L"", L"C:", L"C:Apps", L"Apps", L"Apps\\Velmora", L"\\Apps", L"/Apps", L".\\Apps",
          L"1:\\Apps", L"\u00C9:\\Apps", L" C:\\Apps"})
        EXPECT_FALSE(IsCompleteInstallFolder(folder)) << folder;
}

TEST(BrowsedFolder, GetsTheProductNameUnlessItEndsWithIt) {
    EXPECT_EQ(WithProductFolder(L"C:\\Apps", L"Velmora"), L"C:\\Apps\\Velmora");
    EXPECT_EQ(WithProductFolder(L"C:\\Apps\\velmora", L"Velmora"), L"C:\\Apps\\velmora");
    EXPECT_EQ(WithProductFolder(L"D:/x/VELMORA", L"Velmora"), L"D:/x/VELMORA");
    // A trailing separator leaves an empty last element.
    EXPECT_EQ(WithProductFolder(L"C:\\Apps\\", L"Velmora"), L"C:\\Apps\\Velmora");
    EXPECT_EQ(WithProductFolder(L"C:\\Velmora\\", L"Velmora"), L"C:\\Velmora\\Velmora");
    EXPECT_EQ(WithProductFolder(L"C:\\", L"Velmora"), L"C:\\Velmora");
    // Only the whole last element counts.
    EXPECT_EQ(WithProductFolder(L"C:\\Velmora2", L"Velmora"), L"C:\\Velmora2\\Velmora");
    EXPECT_EQ(WithProductFolder(L"C:\\Velmora\\Apps", L"Velmora"), L"C:\\Velmora\\Apps\\Velmora");
}

TEST(ProgressPosition, DropsTheFractionalPart) {
    EXPECT_EQ(ProgressPosition(0.0), 0u);
    EXPECT_EQ(ProgressPosition(0.4567), 456u);
    EXPECT_EQ(ProgressPosition(0.92), 920u);
    EXPECT_EQ(ProgressPosition(0.9999), 999u);
    EXPECT_EQ(ProgressPosition(1.0), 1000u);
    // Never reported by an installation, but must not become a wild position.
    EXPECT_EQ(ProgressPosition(-0.5), 0u);
    EXPECT_EQ(ProgressPosition(7.0), 1000u);
    EXPECT_EQ(ProgressPosition(std::numeric_limits<double>::quiet_NaN()), 0u);
}

} // namespace
