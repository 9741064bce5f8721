// mvpk build-setup: a folder made into a product's setup program, which describes itself in
// its version resource and installs and uninstalls silently; bad input ends with its
// message, exit code 1 and no file left behind. (A folder holding a link, and signing with
// a Linux tool, need the Unix side: signed_setup.sh.)
#include "install/registry.h"
#include "setup/metadata.h"
#include "setup/text.h"
#include "tests/package/mvpk_run.h"
#include "tests/support/system_probe.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace package_testing;
using namespace testing_support;
namespace fs = std::filesystem;

std::wstring BuildSetupLine(const fs::path& folder, const fs::path& metadata,
                            const fs::path& output, const std::wstring& options = {}) {
    return L"build-setup " + Quoted(folder) + L" " + Quoted(metadata) + L" " + Quoted(output) +
           options;
}

// A string of the French string table, read back the way Windows reads it for the file's
// properties.
std::wstring VersionString(std::string& block, const std::wstring& name) {
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), (L"\\StringFileInfo\\040C04B0\\" + name).c_str(), &value,
                          &length))
        return L"(absent)";
    return static_cast<const wchar_t*>(value);
}

TEST(BuildSetup, MakesADescribedProgramThatInstallsAndUninstallsSilently) {
    TempDir dir(L"build-setup");
    const std::wstring product = UniqueName(L"Orvalis Compil\u00E9");
    const std::vector<std::pair<std::wstring, std::string>> files = {
        {L"Orvalis.exe", "not run"},
        {L"docs/guide \u00E9t\u00E9.txt", "guide"},
        {L"docs/vide", ""}};
    for (const auto& [path, content] : files)
        WriteFileBytes(dir / L"src" / path, content);
    const std::string metadata = "Exe=Orvalis.exe\nProduct=" + WideToUtf8(product) +
                                 "\nPublisher=\xC3\x89"
                                 "ditions Orvalis\nRegistryKey=Software\\"
                                 "Orvalis Tests\\" +
                                 WideToUtf8(product) + "\nVersion=4.3.2.1-rc1\n";
    WriteFileBytes(dir / L"meta.txt", metadata);
    struct Registration {
        ProductInfo info;
        ~Registration() { RemoveProduct(info); }
    } registration{LoadProductInfo(ParseMetadata(metadata))};

    // The signing hook runs on the finished program before it takes its place; here it
    // appends a line, the way a signature is appended.
    const fs::path setup = dir / L"out" / L"Setup.exe";
    fs::create_directories(setup.parent_path());
    const ToolRun run = RunMvpk(BuildSetupLine(dir / L"src", dir / L"meta.txt", setup,
                                               L" --sign-command \"cmd /c echo signed>>\""));
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    EXPECT_EQ(run.out, "3 fichiers, 12 octets, 1 blocs, programme d'installation de " +
                           std::to_string(fs::file_size(setup)) +
                           " octets : " + WideToUtf8(setup.native()) + "\n");
    EXPECT_TRUE(ReadFileBytes(setup).ends_with("signed\r\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(setup.parent_path()), {}), 1);

    DWORD handle = 0;
    std::string block(::GetFileVersionInfoSizeW(setup.c_str(), &handle), '\0');
    ASSERT_TRUE(
        ::GetFileVersionInfoW(setup.c_str(), 0, static_cast<DWORD>(block.size()), block.data()));
    EXPECT_EQ(VersionString(block, L"ProductName"), product);
    EXPECT_EQ(VersionString(block, L"FileDescription"), L"Installation de " + product);
    EXPECT_EQ(VersionString(block, L"CompanyName"), L"\u00C9ditions Orvalis");
    EXPECT_EQ(VersionString(block, L"ProductVersion"), L"4.3.2.1-rc1");
    EXPECT_EQ(VersionString(block, L"FileVersion"), L"4.3.2.1-rc1");
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00040003u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00020001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00040003u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00020001u);

    const fs::path folder = dir / L"install\u00E9";
    ASSERT_EQ(RunProcess(Quoted(setup) + L" /S /CURRENTUSER /D=" + folder.native(), 240000), 0u);
    for (const auto& [path, content] : files)
        EXPECT_EQ(ReadFileBytes(folder / path), content) << WideToUtf8(path);
    const std::wstring entry = UninstallKeyPath(product);
    EXPECT_EQ(ReadStringValue(HKEY_CURRENT_USER, entry, L"DisplayName"), product);
    EXPECT_EQ(ReadStringValue(HKEY_CURRENT_USER, entry, L"DisplayVersion"), L"4.3.2.1-rc1");
    EXPECT_EQ(ReadStringValue(HKEY_CURRENT_USER, entry, L"Publisher"), L"\u00C9ditions Orvalis");

    const auto quiet = ReadStringValue(HKEY_CURRENT_USER, entry, L"QuietUninstallString");
    ASSERT_TRUE(quiet);
    EXPECT_EQ(RunProcess(*quiet, 120000), 0u);
    EXPECT_TRUE(
        Eventually([&] { return !fs::exists(folder) && !KeyExists(HKEY_CURRENT_USER, entry); }));
}

TEST(BuildSetup, BadInputEndsWithItsMessageAndLeavesNoFile) {
    TempDir dir(L"build-setup-errors");
    WriteFileBytes(dir / L"good" / L"a.txt", "a");
    WriteFileBytes(dir / L"locked" / L"held.txt", "held");
    WriteFileBytes(dir / L"meta.txt", "Product=Orvalis\n");
    WriteFileBytes(dir / L"latin1.txt", "Publisher=\xC9"
                                        "ditions\n");
    WriteFileBytes(dir / L"crlf.txt", "Product=Orvalis\r\n");
    const fs::path out = dir / L"out";
    fs::create_directories(out);
    // Held open without sharing, the file cannot be read by the tool.
    const UniqueHandle holder(::CreateFileW((dir / L"locked" / L"held.txt").c_str(), GENERIC_READ,
                                            0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);

    auto shown = [](const fs::path& path) {
        return WideToUtf8(path.native());
    };
    const fs::path setup = out / L"Setup.exe";
    const struct {
        std::wstring arguments;
        std::string message;
    } cases[] = {
        {BuildSetupLine(dir / L"absent", dir / L"meta.txt", setup),
         "Dossier illisible : " + shown(dir / L"absent")},
        {BuildSetupLine(dir / L"locked", dir / L"meta.txt", setup),
         "Lecture impossible : " + shown(dir / L"locked" / L"held.txt")},
        {BuildSetupLine(dir / L"good", dir / L"latin1.txt", setup),
         "Métadonnées non codées en UTF-8 : " + shown(dir / L"latin1.txt")},
        {BuildSetupLine(dir / L"good", dir / L"crlf.txt", setup),
         "Métadonnées avec des fins de ligne CR LF (LF seul attendu) : " +
             shown(dir / L"crlf.txt")},
        {BuildSetupLine(dir / L"good", dir / L"meta.txt", dir / L"absent" / L"Setup.exe"),
         "Écriture impossible : " + shown(dir / L"absent" / L"Setup.exe")},
        {BuildSetupLine(dir / L"good", dir / L"meta.txt", setup,
                        L" --stub " + Quoted(dir / L"stub.exe")),
         "Lecture impossible : " + shown(dir / L"stub.exe")},
        {BuildSetupLine(dir / L"good", dir / L"meta.txt", setup,
                        L" --sign-command \"cmd /c exit 3\""),
         "La commande de signature a échoué (code 3) : cmd /c exit 3"},
    };
    for (const auto& c : cases) {
        const ToolRun run = RunMvpk(c.arguments);
        EXPECT_EQ(run.exitCode, 1u) << c.message;
        EXPECT_EQ(run.err, c.message + "\n");
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(fs::is_empty(out)) << c.message;
        EXPECT_FALSE(fs::exists(dir / L"absent")) << c.message;
    }
}

} // namespace
