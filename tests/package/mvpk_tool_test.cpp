// mvpk as a product team's build runs it. Every start of the tool costs a Wine process, so
// all runs start together. (The setup programs of the end-to-end tests are made with the same
// command: they show that what it makes installs and uninstalls.)
#include "install/registry.h"
#include "package/reader.h"
#include "setup/metadata.h"
#include "setup/text.h"
#include "tests/package/package_builder.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

using namespace package_testing;
using namespace testing_support;
namespace fs = std::filesystem;

struct ToolRun {
    DWORD exitCode; // STILL_ACTIVE when it could not be started
    std::string out, err;
};

using Case = std::tuple<std::wstring, DWORD, std::string>; // arguments, exit code, text

// Starts mvpk with the arguments of every case at once, without a console, its standard
// output and error sent to files, then waits for every run (ctest's time limit ends one that
// hangs).
template <std::size_t N>
std::vector<ToolRun> RunAll(const Case (&cases)[N], const fs::path& scratch) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const auto file = [&](std::size_t i, const wchar_t* kind) {
        return scratch / (kind + std::to_wstring(i));
    };
    std::vector<UniqueHandle> processes;
    for (std::size_t i = 0; i < N; ++i) {
        UniqueHandle streams[2];
        for (int s = 0; s < 2; ++s)
            streams[s].reset(::CreateFileW(file(i, s ? L"err" : L"out").c_str(), GENERIC_WRITE,
                                           FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = streams[0].get();
        startup.hStdError = streams[1].get();
        std::wstring line = Quoted(BinDir() / L"mvpk.exe") + L" " + std::get<0>(cases[i]);
        PROCESS_INFORMATION started{};
        ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS, nullptr,
                         nullptr, &startup, &started);
        const UniqueHandle thread(started.hThread);
        processes.emplace_back(started.hProcess);
    }
    std::vector<ToolRun> runs;
    for (std::size_t i = 0; i < N; ++i) {
        DWORD code = STILL_ACTIVE;
        ::WaitForSingleObject(processes[i].get(), INFINITE);
        ::GetExitCodeProcess(processes[i].get(), &code);
        runs.push_back({code, ReadFileBytes(file(i, L"out")), ReadFileBytes(file(i, L"err"))});
    }
    return runs;
}

TEST(MvpkTool, EveryCommand) {
    TempDir dir(L"mvpk");
    // In the byte order of the stored paths, which is not the folder's listing order; one
    // name not ASCII, one file empty. Blocks of the default size (blocks of a given size:
    // signed_setup below).
    const std::vector<SourceFile> files = {{"Orvalis.exe", "not run"},
                                           {"docs.txt", "d"},
                                           {"docs\\guide été.txt", std::string(150, 'g')},
                                           {"docs\\vide", ""}};
    for (const auto& [path, content] : files)
        WriteFileBytes(dir / L"src" / StoredPath(path), content);
    const std::wstring product = UniqueName(L"Orvalis Compilé");
    const std::string metadata = "Exe=Orvalis.exe\nProduct=" + WideToUtf8(product) +
                                 "\nPublisher=Éditions Orvalis\nRegistryKey=Software\\Orvalis "
                                 "Tests\\" +
                                 WideToUtf8(product) + "\nVersion=4.3.2.1-rc1\n";
    Layout layout = MakeLayout({{"b\\abc.txt", "abc"}, {"empty", ""}}, {});
    WriteFileBytes(dir / L"good.mvpk", layout.Bytes());
    layout.files[0].sha256[17] ^= 0x20;
    WriteFileBytes(dir / L"altered.mvpk", layout.Bytes());
    WriteFileBytes(dir / L"meta.txt", metadata);
    WriteFileBytes(dir / L"latin1.txt", "Publisher=\xC9tienne\n");
    WriteFileBytes(dir / L"crlf.txt", "Product=Orvalis\r\n");
    WriteFileBytes(dir / L"locked/held.txt", "held");
    for (const wchar_t* folder : {L"empty", L"out", L"made"})
        fs::create_directories(dir / folder);
    // Held open without sharing, the file cannot be read by the tool.
    const UniqueHandle holder(::CreateFileW((dir / L"locked" / L"held.txt").c_str(), GENERIC_READ,
                                            0, nullptr, OPEN_EXISTING, 0, nullptr));
    const auto q = [&](std::wstring_view name) {
        return L" " + Quoted(dir / name);
    };
    const std::string shown = WideToUtf8(dir.path().native()) + "\\";
    const std::wstring from = q(L"empty") + q(L"meta.txt");
    const fs::path setup = dir / L"made" / L"Setup.exe";

    // Each with its exit code and its exact standard output, or for code 1 its message.
    // The signing hook appends a line to the finished program, as a signature is appended.
    Case cases[] = {
        {L"build-setup" + q(L"src") + q(L"meta.txt") + q(L"made\\Setup.exe") +
             L" --sign-command \"cmd /c echo signed>>\"",
         0, "4 fichiers, 158 octets, 1 blocs, programme d'installation de "},
        {L"verify" + q(L"good.mvpk"), 0, "Paquet intact : 2 fichiers, 3 octets, 1 blocs\n"},
        {L"list" + q(L"good.mvpk"), 0,
         "3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad b\\abc.txt\n"
         "0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 empty\n"},
        {L"pack" + from + q(L"e.mvpk"), 0,
         "0 fichiers, 0 octets, 0 blocs, paquet de " + std::to_string(32 + metadata.size()) +
             " octets : " + shown + "e.mvpk\n"},
        {L"", 2, ""},
        {L"unpack x", 2, ""},
        {L"pack a b c --block-size 0", 2, ""},
        {L"pack a b c --block-size x", 2, ""},
        {L"verify", 2, ""},
        {L"verify" + q(L"meta.txt"), 1, "Paquet MVPK invalide (signature)"},
        {L"verify" + q(L"altered.mvpk"), 1, "Fichier altéré : b\\abc.txt"},
        {L"pack" + q(L"locked") + q(L"meta.txt") + q(L"out\\p.mvpk"), 1,
         "Lecture impossible : " + shown + "locked\\held.txt"},
        {L"build-setup" + q(L"absent") + q(L"meta.txt") + q(L"out\\1.exe"), 1,
         "Dossier illisible : " + shown + "absent"},
        {L"build-setup" + q(L"locked") + q(L"meta.txt") + q(L"out\\2.exe"), 1,
         "Lecture impossible : " + shown + "locked\\held.txt"},
        {L"build-setup" + q(L"empty") + q(L"latin1.txt") + q(L"out\\3.exe"), 1,
         "Métadonnées non codées en UTF-8 : " + shown + "latin1.txt"},
        {L"build-setup" + q(L"empty") + q(L"crlf.txt") + q(L"out\\4.exe"), 1,
         "Métadonnées avec des fins de ligne CR LF (LF seul attendu) : " + shown + "crlf.txt"},
        {L"build-setup" + from + q(L"absent\\Setup.exe"), 1,
         "Écriture impossible : " + shown + "absent\\Setup.exe"},
        {L"build-setup" + from + q(L"out\\5.exe") + L" --stub" + q(L"stub.exe"), 1,
         "Lecture impossible : " + shown + "stub.exe"},
        {L"build-setup" + from + q(L"out\\6.exe") + L" --sign-command \"cmd /c exit 3\"", 1,
         "La commande de signature a échoué (code 3) : cmd /c exit 3"},
    };
    const std::vector<ToolRun> runs = RunAll(cases, dir.path());
    std::get<2>(cases[0]) +=
        std::to_string(fs::file_size(setup)) + " octets : " + shown + "made\\Setup.exe\n";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto& [line, code, text] = cases[i];
        EXPECT_EQ(runs[i].exitCode, code) << line << runs[i].err;
        // A failure: nothing on standard output, the message and a line feed on standard error.
        EXPECT_EQ(code == 1 ? runs[i].out + "|" + runs[i].err : runs[i].out,
                  code == 1 ? "|" + text + "\n" : text);
    }
    // Nothing is left behind by a refusal, not even the output's folder.
    EXPECT_TRUE(fs::is_empty(dir / L"out"));
    EXPECT_FALSE(fs::exists(dir / L"absent"));
    EXPECT_EQ(ReadFileBytes(dir / L"e.mvpk"), (Layout{0, metadata, {}, {}, ""}).Bytes());

    // The setup program: signed in place with no temporary file left, the metadata as it is,
    // the folder packed as this test's own writer packs it.
    EXPECT_TRUE(ReadFileBytes(setup).ends_with("signed\r\n"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / L"made"), {}), 1);
    EXPECT_EQ(ResourceBytes(setup, L"METADATA"), metadata);
    Layout packed = MakeLayout(files, {});
    packed.metadata = metadata;
    EXPECT_EQ(ResourceBytes(setup, L"PAYLOAD"), packed.Bytes());
    // add_setup_executable passes its BLOCK_SIZE on (16 for signed_setup).
    const std::string built = ResourceBytes(BinDir() / L"signed_setup.exe", L"PAYLOAD");
    EXPECT_EQ(mvpk::Reader::Open(AsBytes(built)).value().blocks().at(0).size, 16u);

    // The version resource, which Windows shows in the file's properties.
    std::string version(::GetFileVersionInfoSizeW(setup.c_str(), nullptr), '\0');
    ASSERT_TRUE(::GetFileVersionInfoW(setup.c_str(), 0, static_cast<DWORD>(version.size()),
                                      version.data()));
    wchar_t* value = nullptr;
    UINT length = 0;
    std::wstring strings;
    for (const std::wstring name :
         {L"ProductName", L"FileDescription", L"CompanyName", L"ProductVersion", L"FileVersion"}) {
        if (::VerQueryValueW(version.data(), (L"\\StringFileInfo\\040C04B0\\" + name).c_str(),
                             reinterpret_cast<void**>(&value), &length))
            strings += value;
        strings += L"|";
    }
    EXPECT_EQ(strings, product + L"|Installation de " + product +
                           L"|Éditions Orvalis|4.3.2.1-rc1|4.3.2.1-rc1|");
    VS_FIXEDFILEINFO* fixed = nullptr;
    ASSERT_TRUE(::VerQueryValueW(version.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(std::vector<DWORD>({fixed->dwFileVersionMS, fixed->dwFileVersionLS,
                                  fixed->dwProductVersionMS, fixed->dwProductVersionLS}),
              std::vector<DWORD>({0x40003, 0x20001, 0x40003, 0x20001}));
}

} // namespace
