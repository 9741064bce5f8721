#include "setup/command_line.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseCommandLine, ProgramNameAloneOrUnclosedQuoteGivesDefaults) {
    EXPECT_EQ(ParseCommandLineText(L""), SetupOptions{});
    EXPECT_EQ(ParseCommandLineText(L"setup.exe"), SetupOptions{});
    EXPECT_EQ(ParseCommandLineText(L"\"C:\\a b\\setup.exe /S"), SetupOptions{});
    EXPECT_EQ(ParseCommandLineText(L"\""), SetupOptions{});
}

TEST(ParseCommandLine, QuotedProgramThenLowerCaseSwitchesAndFolder) {
    const auto options = ParseCommandLineText(
        L"\"C:\\Program Files\\x\\setup.exe\" /s /d=C:\\Program Files\\Velmora  ");
    EXPECT_TRUE(options.silent);
    ASSERT_TRUE(options.installDir);
    EXPECT_EQ(*options.installDir, L"C:\\Program Files\\Velmora");
}

TEST(ParseCommandLine, NoSpaceNeededAfterClosingQuote) {
    EXPECT_TRUE(ParseCommandLineText(L"\"setup.exe\"/S").silent);
}

TEST(ParseCommandLine, FolderTakesTheRestOfTheLine) {
    auto options = ParseCommandLineText(L"setup.exe /D=\"C:\\My Apps\\Velmora\"");
    EXPECT_EQ(options.installDir, L"C:\\My Apps\\Velmora");

    options = ParseCommandLineText(L"setup.exe /D=C:\\Apps /S");
    EXPECT_EQ(options.installDir, L"C:\\Apps /S");
    EXPECT_FALSE(options.silent);

    options = ParseCommandLineText(L"setup.exe /D=");
    ASSERT_TRUE(options.installDir);
    EXPECT_TRUE(options.installDir->empty());

    // Leading spaces stay, and a lone quote is not a pair.
    EXPECT_EQ(ParseCommandLineText(L"setup.exe /D= x").installDir, L" x");
    EXPECT_EQ(ParseCommandLineText(L"setup.exe /D=\"").installDir, L"\"");
    EXPECT_EQ(ParseCommandLineText(L"setup.exe /D=\"\"").installDir, L"");
}

TEST(ParseCommandLine, SwitchesMatchWholeTokensOnly) {
    auto options = ParseCommandLineText(L"setup.exe /SILENT \"/S\" /S\t /nolaunch");
    EXPECT_FALSE(options.silent);
    EXPECT_TRUE(options.noLaunch);

    options = ParseCommandLineText(L"setup.exe /uninstall /removedata /elevated /fromtemp");
    EXPECT_TRUE(options.uninstall);
    EXPECT_TRUE(options.removeData);
    EXPECT_TRUE(options.elevated);
    EXPECT_TRUE(options.fromTemp);
    EXPECT_FALSE(options.scope);
}

TEST(ParseCommandLine, LaterScopeWins) {
    EXPECT_EQ(ParseCommandLineText(L"s.exe /CURRENTUSER /ALLUSERS").scope, Scope::Machine);
    EXPECT_EQ(ParseCommandLineText(L"s.exe /ALLUSERS /CurrentUser").scope, Scope::User);
}

TEST(BuildCommandLine, FixedOrderAndFolderLast) {
    SetupOptions options;
    options.silent = true;
    options.scope = Scope::Machine;
    options.elevated = true;
    options.installDir = L"C:\\Program Files\\Velmora";
    const std::wstring line = BuildCommandLine(options);
    EXPECT_EQ(line, L" /S /ALLUSERS /ELEVATED /D=C:\\Program Files\\Velmora");
    EXPECT_EQ(ParseCommandLineText(L"setup.exe" + line), options);

    SetupOptions all;
    all.silent = all.noLaunch = all.uninstall = all.removeData = all.elevated = all.fromTemp = true;
    all.scope = Scope::User;
    all.installDir = L"D:\\a b";
    EXPECT_EQ(BuildCommandLine(all),
              L" /S /CURRENTUSER /NOLAUNCH /UNINSTALL /REMOVEDATA /ELEVATED /FROMTEMP /D=D:\\a b");
    EXPECT_EQ(ParseCommandLineText(L"\"C:\\x y\\setup.exe\"" + BuildCommandLine(all)), all);
    EXPECT_EQ(BuildCommandLine(SetupOptions{}), L"");
}

} // namespace
