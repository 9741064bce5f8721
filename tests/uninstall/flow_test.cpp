// The uninstaller's decisions that need no second process: the hand-over to an elevated
// copy (which Wine, where every process is elevated, never asks for) and the command lines
// that tie the stages together.
#include "setup/command_line.h"
#include "uninstall/stage_commands.h"
#include "uninstall/temporary_copy.h"
#include "tests/support/test_support.h"
#include "uninstall/uninstall_flow.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Records every hand-over instead of showing the elevation prompt.
struct FakeElevation {
    bool elevated = false;
    int relaunchResult = 1223;
    std::vector<SetupOptions> relaunched;

    ElevationService Service() {
        return {[this] { return elevated; },
                [this](const SetupOptions& options, HWND) {
                    relaunched.push_back(options);
                    return relaunchResult;
                }};
    }
};

ProductInfo Product() {
    ProductInfo info;
    info.product = L"Velmora";
    return info;
}

TEST(UninstallElevation, PerMachineWithoutRightsHandsOverUnchanged) {
    // No scope switch counts as per machine; /ELEVATED claims nothing the token does not.
    for (const wchar_t* line : {L"u.exe /UNINSTALL", L"u.exe /ALLUSERS /UNINSTALL /S",
                                L"u.exe /UNINSTALL /ELEVATED /FROMTEMP /D=C:\\Program Files\\V"}) {
        FakeElevation elevation;
        elevation.relaunchResult = 42;
        const SetupOptions options = ParseCommandLineText(line);
        EXPECT_EQ(RunUninstall(options, Product(), elevation.Service()), 42) << line;
        ASSERT_EQ(elevation.relaunched.size(), 1u) << line;
        EXPECT_EQ(elevation.relaunched[0], options) << line;
    }
}

TEST(UninstallElevation, PerUserOrElevatedRunsHere) {
    // A second stage without its folder fails at once, before any window or deletion.
    FakeElevation notElevated;
    EXPECT_EQ(RunUninstall(ParseCommandLineText(L"u.exe /UNINSTALL /CURRENTUSER /FROMTEMP"),
                           Product(), notElevated.Service()),
              1603);
    EXPECT_TRUE(notElevated.relaunched.empty());

    FakeElevation elevated;
    elevated.elevated = true;
    EXPECT_EQ(RunUninstall(ParseCommandLineText(L"u.exe /UNINSTALL /FROMTEMP"), Product(),
                           elevated.Service()),
              1603);
    EXPECT_TRUE(elevated.relaunched.empty());
}

TEST(UninstallStages, SecondStageGetsTheRunningFolderAndDropsElevated) {
    EXPECT_EQ(TemporaryCopyName(L"Velmora", 812), L"Velmora-uninstall-812.exe");

    const SetupOptions first =
        ParseCommandLineText(L"\"C:\\Program Files\\Velmora\\Uninstall.exe\" /UNINSTALL "
                             L"/ALLUSERS /ELEVATED /D=C:\\Somewhere else");
    const SetupOptions second = SecondStageOptions(first, L"C:\\Program Files\\Velmora");
    const std::wstring line =
        SecondStageCommandLine(L"C:\\Temp\\Velmora-uninstall-812.exe", second);
    EXPECT_EQ(line, L"\"C:\\Temp\\Velmora-uninstall-812.exe\" /ALLUSERS /UNINSTALL /FROMTEMP "
                    L"/D=C:\\Program Files\\Velmora");

    // What the second stage reads back is the first stage's choice, folder spaces included.
    SetupOptions expected = first;
    expected.elevated = false;
    expected.fromTemp = true;
    expected.installDir = L"C:\\Program Files\\Velmora";
    EXPECT_EQ(ParseCommandLineText(line), expected);
}

TEST(UninstallStages, CleanupTakesTheInstallFolderOnlyAfterARemoval) {
    const std::wstring copy = L"C:\\Temp\\Velmora-uninstall-812.exe";
    EXPECT_EQ(CleanupCommand(copy, L"C:\\Program Files\\Velmora", false),
              L"cmd.exe /C ping 127.0.0.1 -n 3 > nul & del /F /Q "
              L"\"C:\\Temp\\Velmora-uninstall-812.exe\"");
    EXPECT_EQ(CleanupCommand(copy, L"C:\\Program Files\\Velmora", true),
              L"cmd.exe /C ping 127.0.0.1 -n 3 > nul & del /F /Q "
              L"\"C:\\Temp\\Velmora-uninstall-812.exe\" & del /F /Q "
              L"\"C:\\Program Files\\Velmora\\Uninstall.exe\" & rmdir "
              L"\"C:\\Program Files\\Velmora\"");
}

TEST(TemporaryCopy, MadeAfreshAndKeptAsWritten) {
    using namespace testing_support;
    TempDir dir;
    const auto source = BinDir() / L"ui_launch_probe.exe";

    // A file already there, planted or left over, is never reused.
    WriteFileBytes(dir / L"planted.exe", "theirs");
    EXPECT_FALSE(CreateTemporaryCopy(source, dir / L"planted.exe"));
    EXPECT_EQ(ReadFileBytes(dir / L"planted.exe"), "theirs");

    const auto copy = dir / L"copy.exe";
    UniqueHandle kept = CreateTemporaryCopy(source, copy);
    ASSERT_TRUE(kept);
    EXPECT_EQ(ReadFileBytes(copy), ReadFileBytes(source));
    // While it is kept, nobody can write, rename or delete it, and it still starts.
    EXPECT_FALSE(UniqueHandle(::CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr)));
    EXPECT_FALSE(::MoveFileW(copy.c_str(), (dir / L"moved.exe").c_str()));
    EXPECT_FALSE(::DeleteFileW(copy.c_str()));
    EXPECT_EQ(RunProcess(Quoted(copy)), 0u);
}

} // namespace
