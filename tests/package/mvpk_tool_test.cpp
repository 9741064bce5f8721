// The mvpk tool: pack round trip, list, and verify's exact failure messages.
#include "package/reader.h"
#include "setup/text.h"
#include "tests/package/mvpk_run.h"
#include "tests/package/package_builder.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace package_testing;
using testing_support::BinDir;
using testing_support::Quoted;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
namespace fs = std::filesystem;

std::string Pattern(std::size_t size, unsigned seed) {
    std::string s(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return s;
}

// Files of the round trip, by their path below the folder (wide, with slashes).
const std::vector<std::pair<std::wstring, std::string>>& SampleFiles() {
    static const std::vector<std::pair<std::wstring, std::string>> files = {
        {L"a.txt", "hello"},
        {L"Z-upper.txt", "upper case sorts first"},
        {L"sub/b.bin", Pattern(200000, 1)},
        {L"sub/deeper/empty", ""},
        {L"sub/deeper/c.bin", Pattern(70000, 2)},
        {L"dir with space/x", "x"},
        {L"\u00e9t\u00e9.txt", "non-ASCII name"},
        {L"sub.txt", "sorts after sub\\ by bytes"},
    };
    return files;
}

void MakeSampleFolder(const fs::path& folder) {
    for (const auto& [path, content] : SampleFiles())
        WriteFileBytes(folder / path, content);
}

TEST(MvpkTool, PackThenExtractGivesTheSameBytes) {
    TempDir dir;
    MakeSampleFolder(dir / L"src");
    WriteFileBytes(dir / L"meta.txt", "product=Velmora\nversion=1.0\n");
    const ToolRun pack =
        RunMvpk(L"pack " + Quoted(dir / L"src") + L" " + Quoted(dir / L"meta.txt") + L" " +
                Quoted(dir / L"p.mvpk") + L" --block-size 65536");
    ASSERT_EQ(pack.exitCode, 0u) << pack.err;
    EXPECT_NE(pack.out.find("8 fichiers, 270067 octets, 5 blocs, paquet de "), std::string::npos)
        << pack.out;

    const std::string bytes = ReadFileBytes(dir / L"p.mvpk");
    auto reader = mvpk::Reader::Open(AsBytes(bytes));
    ASSERT_TRUE(reader) << reader.error();
    // Metadata unchanged, reserved word 0, blocks of the requested size.
    EXPECT_EQ(bytes.substr(32, 28), "product=Velmora\nversion=1.0\n");
    EXPECT_EQ(bytes.substr(28, 4), std::string(4, '\0'));
    ASSERT_EQ(reader->blocks().size(), 5u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(reader->blocks()[i].size, 65536u);
    for (const mvpk::PackageBlock& block : reader->blocks())
        EXPECT_EQ(bytes.substr(block.dataOffset, 4), "\x0A\x51\xE5\xC0");
    // Paths relative, with backslashes, in the byte order of their UTF-8 text.
    std::vector<std::string> paths;
    for (const mvpk::PackageEntry& entry : reader->entries())
        paths.push_back(entry.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"Z-upper.txt", "a.txt", "dir with space\\x",
                                               "sub.txt", "sub\\b.bin", "sub\\deeper\\c.bin",
                                               "sub\\deeper\\empty", "\xc3\xa9t\xc3\xa9.txt"}));

    ASSERT_TRUE(reader->Extract(dir / L"out", {}));
    for (const auto& [path, content] : SampleFiles())
        EXPECT_EQ(ReadFileBytes(dir / L"out" / path), content) << WideToUtf8(path);

    const ToolRun verify = RunMvpk(L"verify " + Quoted(dir / L"p.mvpk"));
    EXPECT_EQ(verify.exitCode, 0u);
    EXPECT_EQ(verify.err, "");
    EXPECT_EQ(verify.out, "Paquet intact : 8 fichiers, 270067 octets, 5 blocs\n");
}

TEST(MvpkTool, DefaultBlockSizeAndEmptyFolder) {
    TempDir dir;
    WriteFileBytes(dir / L"src" / L"one", "1");
    WriteFileBytes(dir / L"meta.txt", "");
    ASSERT_EQ(RunMvpk(L"pack " + Quoted(dir / L"src") + L" " + Quoted(dir / L"meta.txt") + L" " +
                      Quoted(dir / L"p.mvpk"))
                  .exitCode,
              0u);
    const std::string bytes = ReadFileBytes(dir / L"p.mvpk");
    auto reader = mvpk::Reader::Open(AsBytes(bytes));
    ASSERT_TRUE(reader) << reader.error();
    EXPECT_EQ(reader->blocks().size(), 1u);

    fs::create_directories(dir / L"nothing");
    const ToolRun pack = RunMvpk(L"pack " + Quoted(dir / L"nothing") + L" " +
                                 Quoted(dir / L"meta.txt") + L" " + Quoted(dir / L"e.mvpk"));
    ASSERT_EQ(pack.exitCode, 0u) << pack.err;
    EXPECT_EQ(ReadFileBytes(dir / L"e.mvpk").size(), 32u);
    EXPECT_EQ(RunMvpk(L"verify " + Quoted(dir / L"e.mvpk")).exitCode, 0u);
}

TEST(MvpkTool, List) {
    TempDir dir;
    WriteFileBytes(dir / L"src" / L"b" / L"abc.txt", "abc");
    WriteFileBytes(dir / L"src" / L"empty", "");
    WriteFileBytes(dir / L"meta.txt", "k=v\n");
    ASSERT_EQ(RunMvpk(L"pack " + Quoted(dir / L"src") + L" " + Quoted(dir / L"meta.txt") + L" " +
                      Quoted(dir / L"p.mvpk"))
                  .exitCode,
              0u);
    const ToolRun list = RunMvpk(L"list " + Quoted(dir / L"p.mvpk"));
    EXPECT_EQ(list.exitCode, 0u);
    EXPECT_EQ(list.out,
              "3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad b\\abc.txt\n"
              "0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 empty\n");
}

TEST(MvpkTool, PackRefusesAnUnreadableFile) {
    TempDir dir;
    WriteFileBytes(dir / L"src" / L"ok", "fine");
    WriteFileBytes(dir / L"src" / L"locked", "held");
    WriteFileBytes(dir / L"meta.txt", "");
    // Held open without sharing, the file cannot be read by the tool.
    UniqueHandle holder(::CreateFileW((dir / L"src" / L"locked").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    const ToolRun pack = RunMvpk(L"pack " + Quoted(dir / L"src") + L" " +
                                 Quoted(dir / L"meta.txt") + L" " + Quoted(dir / L"p.mvpk"));
    EXPECT_EQ(pack.exitCode, 1u);
    EXPECT_TRUE(pack.err.starts_with("Lecture impossible : ")) << pack.err;
    EXPECT_NE(pack.err.find("locked"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / L"p.mvpk"));
}

TEST(MvpkTool, PackRefusesAMissingFolderOrMetadata) {
    TempDir dir;
    WriteFileBytes(dir / L"meta.txt", "");
    const ToolRun noFolder = RunMvpk(L"pack " + Quoted(dir / L"absent") + L" " +
                                     Quoted(dir / L"meta.txt") + L" " + Quoted(dir / L"p.mvpk"));
    EXPECT_EQ(noFolder.exitCode, 1u);
    EXPECT_TRUE(noFolder.err.starts_with("Dossier illisible : ")) << noFolder.err;
    fs::create_directories(dir / L"src");
    const ToolRun noMeta = RunMvpk(L"pack " + Quoted(dir / L"src") + L" " + Quoted(dir / L"none") +
                                   L" " + Quoted(dir / L"p.mvpk"));
    EXPECT_EQ(noMeta.exitCode, 1u);
    EXPECT_TRUE(noMeta.err.starts_with("Lecture impossible : ")) << noMeta.err;
}

TEST(MvpkTool, UsageErrors) {
    EXPECT_EQ(RunMvpk(L"").exitCode, 2u);
    EXPECT_EQ(RunMvpk(L"unpack x").exitCode, 2u);
    EXPECT_EQ(RunMvpk(L"pack a b c --block-size 0").exitCode, 2u);
    EXPECT_EQ(RunMvpk(L"pack a b c --block-size x").exitCode, 2u);
    EXPECT_EQ(RunMvpk(L"verify").exitCode, 2u);
}

// verify prints exactly the reader's or the extraction's message, a line feed, and
// nothing else on standard error, and exits with 1.
class MvpkVerify : public ::testing::Test {
  protected:
    void ExpectFailure(const std::string& package, const std::string& message,
                       const std::wstring& environment = {}) {
        const fs::path file = dir / (L"p" + std::to_wstring(++count) + L".mvpk");
        WriteFileBytes(file, package);
        const ToolRun run = RunMvpk(L"verify " + Quoted(file), environment);
        EXPECT_EQ(run.exitCode, 1u) << message;
        EXPECT_EQ(run.err, message + "\n");
        EXPECT_EQ(run.out, "");
    }
    static Layout Good() {
        return MakeLayout({{"a.txt", "alpha"}, {"d\\b.bin", "bravo!"}, {"c", "charlie"}}, {8});
    }

    TempDir dir;
    int count = 0;
};

TEST_F(MvpkVerify, ReaderMessages) {
    const std::string good = Good().Bytes();
    ExpectFailure("", "Paquet MVPK invalide (signature)");
    ExpectFailure("MVPX" + good.substr(4), "Paquet MVPK invalide (signature)");
    Layout layout = Good();
    layout.version = 7;
    ExpectFailure(layout.Bytes(), "Version de paquet MVPK non prise en charge : 7");
    layout = Good();
    layout.metadataLength = 100000;
    ExpectFailure(layout.Bytes(), "Paquet MVPK tronqué (métadonnées)");
    ExpectFailure(good.substr(0, 32 + Good().metadata.size() + 60),
                  "Paquet MVPK tronqué (table des fichiers)");
    layout = Good();
    layout.files[1].path = "d\\..\\..\\b.bin";
    ExpectFailure(layout.Bytes(), "Chemin refusé dans le paquet : d\\..\\..\\b.bin");
    layout = Good();
    layout.files[2].offset = 10;
    ExpectFailure(layout.Bytes(), "Paquet MVPK incohérent (fichiers non contigus)");
    layout = Good();
    layout.totalSize = 17;
    ExpectFailure(layout.Bytes(), "Paquet MVPK incohérent (taille totale)");
    layout = Good();
    layout.blockCount = 9;
    ExpectFailure(layout.Bytes(), "Paquet MVPK tronqué (table des blocs)");
    layout = Good();
    layout.blocks[0].size = 7;
    ExpectFailure(layout.Bytes(), "Paquet MVPK incohérent (blocs)");
    ExpectFailure(good.substr(0, good.size() - 1), "Paquet MVPK tronqué (données)");
}

TEST_F(MvpkVerify, ExtractionMessages) {
    Layout layout = Good();
    layout.files[1].sha256[17] ^= 0x20;
    ExpectFailure(layout.Bytes(), "Fichier altéré : d\\b.bin");

    layout = Good();
    layout.data[layout.blocks[0].compressedSize + 2] ^= 1; // second block's magic
    ExpectFailure(layout.Bytes(), "Décompression (erreur Windows 605)");

    // The block holds more than its declared size: the output buffer is too small.
    layout = MakeLayout({{"a", "0123456789"}}, {});
    layout.files[0].size = layout.totalSize = layout.blocks[0].size = 4;
    ExpectFailure(layout.Bytes(), "Décompression (erreur Windows 122)");

    layout = Layout{};
    layout.files.push_back({0, std::uint64_t{1} << 62, {}, "huge", {}});
    layout.totalSize = layout.files[0].size;
    layout.blocks.push_back({16, layout.totalSize});
    layout.data = std::string(16, '\0');
    ExpectFailure(layout.Bytes(),
                  "Mémoire insuffisante pour décompresser un bloc de 4611686018427387904 octets");
}

// The failure without any Compression API ("CreateDecompressor (erreur Windows 127)") is
// checked by verify_without_api.sh: Wine takes WINEDLLOVERRIDES from the Unix side only.

} // namespace
