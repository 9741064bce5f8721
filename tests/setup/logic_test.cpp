// The program's pure rules, one table each: every row an input and its exact expected output.
#include "setup/command_line.h"
#include "setup/metadata.h"
#include "setup/paths.h"
#include "setup/text.h"
#include "uninstall/stage_commands.h"

#include <gtest/gtest.h>

namespace {

// A parsed command line written back as switches: the round trip shows every field, and the
// fixed order of the written switches.
TEST(CommandLine, ParsedAndWrittenBack) {
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"", L""},
        {L"setup.exe", L""},
        {L"\"C:\\a b\\setup.exe /S", L""}, // an unclosed quote: nothing is read
        {L"\"C:\\Program Files\\x\\setup.exe\" /s /d=C:\\Program Files\\Velmora  ",
         L" /S /D=C:\\Program Files\\Velmora"},
        {L"\"setup.exe\"/S", L" /S"},
        {L"setup.exe /D=\"C:\\My Apps\\Velmora\"", L" /D=C:\\My Apps\\Velmora"},
        {L"setup.exe /S \"/d=C:\\Autre Dossier\"  ", L" /S /D=C:\\Autre Dossier"}, // PowerShell's
        {L"setup.exe /D=C:\\Apps /S", L" /D=C:\\Apps /S"},
        {L"setup.exe /D=", L" /D="},
        {L"setup.exe /D= x", L" /D= x"},
        {L"setup.exe /D=\"", L" /D=\""},
        {L"setup.exe /D=\"\"", L" /D="},
        {L"setup.exe /SILENT \"/S\" /S\t /nolaunch", L" /NOLAUNCH"},
        {L"s.exe /CURRENTUSER /ALLUSERS", L" /ALLUSERS"},
        {L"s.exe /ALLUSERS /CurrentUser", L" /CURRENTUSER"},
        {L"s.exe /fromtemp /Elevated /REMOVEDATA /uninstall /NoLaunch /currentuser /s /D=D:\\a b",
         L" /S /CURRENTUSER /NOLAUNCH /UNINSTALL /REMOVEDATA /ELEVATED /FROMTEMP /D=D:\\a b"},
    };
    for (const auto& [line, expected] : rows)
        EXPECT_EQ(BuildCommandLine(ParseCommandLineText(line)), expected) << WideToUtf8(line);

    SetupOptions all{true, Scope::Machine, true, true, true, true, true, L"C:\\Program Files\\V"};
    EXPECT_EQ(ParseCommandLineText(L"\"C:\\x y\\setup.exe\"" + BuildCommandLine(all)), all);
    EXPECT_FALSE(ParseCommandLineText(L"setup.exe /ELEVATED").scope);
}

// ProductInfo written as product|version|publisher|url|exe|registryKey|data|types.
std::wstring Described(std::string_view metadata) {
    const ProductInfo info = LoadProductInfo(ParseMetadata(metadata));
    std::wstring text = info.product + L"|" + info.version + L"|" + info.publisher + L"|" +
                        info.url + L"|" + info.exe + L"|" + info.registryKey + L"|" +
                        (info.hasDataDir ? L"data" : L"none") + L"|";
    for (const FileType& type : info.fileTypes)
        text += type.extension + L"=" + type.description + L";";
    return text;
}

TEST(Metadata, Described) {
    const std::pair<std::string_view, const wchar_t*> rows[] = {
        {"", L"Application||||Application.exe|Software\\Morvanti\\Application|none|"},
        {"Product=\n", L"||||.exe|Software\\Morvanti\\|none|"},
        // Nothing is trimmed, the last key wins, a line without "=" is ignored, and a
        // byte-order mark keeps the first key from matching.
        {"\xEF\xBB\xBFProduct=A\r\nVersion=1\r\nVersion=2\r\nExe\n=x\nUrl=u=v",
         L"Application|2\r||u=v|Application.exe|Software\\Morvanti\\Application|none|"},
        {"Exe=Velmora.exe\nFileTypes=.velmora=Document Velmora;;=x;.vlm;.a=b=c;orw=\n"
         "Product=Velmora\nPublisher=\xC3\x89"
         "ditions Morvanti\nRegistryKey=Software\\Velmora\nUrl=https://x\nVersion=3.0.0\n"
         "DataDir=yes\nBuilt=2026-01-01T00:00:00Z",
         L"Velmora|3.0.0|\u00C9ditions Morvanti|https://x|Velmora.exe|Software\\Velmora|data|"
         L".velmora=Document Velmora;.a=b=c;orw=;"},
        {"DataDir=Yes", L"Application||||Application.exe|Software\\Morvanti\\Application|none|"},
        {"DataDir=yes\r\nProduct=a\xFF"
         "b",
         L"a\uFFFDb||||a\uFFFDb.exe|Software\\Morvanti\\a\uFFFDb|none|"},
        {"DataDir= yes", L"Application||||Application.exe|Software\\Morvanti\\Application|none|"},
    };
    for (const auto& [metadata, expected] : rows)
        EXPECT_EQ(Described(metadata), expected) << metadata;
}

TEST(Paths, Joined) {
    const std::pair<std::wstring, std::wstring> rows[] = {
        {JoinPath(L"C:\\Apps", L"Velmora"), L"C:\\Apps\\Velmora"},
        {JoinPath(L"C:\\Apps\\", L"Velmora"), L"C:\\Apps\\Velmora"},
        {JoinPath(L"C:/Apps/", L"Velmora"), L"C:/Apps/Velmora"},
        {JoinPath(L"", L"Velmora"), L"Velmora"},
        {JoinPath(L"C:", L"Velmora"), L"C:\\Velmora"},
        {JoinPath(L"C:\\Apps", L"\\Velmora"), L"C:\\Apps\\\\Velmora"},
    };
    for (const auto& [made, expected] : rows)
        EXPECT_EQ(made, expected);
}

// The uninstaller's clean-up waits for the second stage to end and deletes its copy, by the
// name it has in the temporary folder, and nothing else: whatever the outcome, no path of the
// install folder (which users may be able to write to) is handed to cmd.
TEST(StageCommands, CleanupNamesOnlyTheTemporaryCopy) {
    const std::wstring system = L"C:\\Windows\\system32";
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"C:\\Temp\\V-uninstall-8.exe",
         L"cmd.exe /D /C C:\\Windows\\system32\\ping.exe 127.0.0.1 -n 3 > nul & del /F /Q "
         L"\"C:\\Temp\\V-uninstall-8.exe\""},
        {L"C:\\Windows\\SystemTemp\\Velmora & co-uninstall-812-2.exe",
         L"cmd.exe /D /C C:\\Windows\\system32\\ping.exe 127.0.0.1 -n 3 > nul & del /F /Q "
         L"\"C:\\Windows\\SystemTemp\\Velmora & co-uninstall-812-2.exe\""},
    };
    for (const auto& [copy, expected] : rows)
        EXPECT_EQ(CleanupCommand(system, copy), expected);
}

} // namespace
