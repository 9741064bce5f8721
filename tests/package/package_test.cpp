// The package layer: Reader::Open's messages in the order of its checks and the packages it
// must accept, the path rule, and the extraction edge cases that an installation cannot reach
// or cannot tell apart, against the Compression API of the test prefix (under Wine the
// stand-in, tools/cabinet_standin).
#include "package/compression_api.h"
#include "package/reader.h"
#include "package/sha256_hasher.h"
#include "tests/package/package_builder.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

namespace {

using namespace package_testing;
using namespace testing_support;
namespace fs = std::filesystem;

constexpr std::uint64_t kMax = UINT64_MAX;

TEST(ReaderOpen, EveryMessageInCheckOrderAndWhatIsAccepted) {
    // "a.txt" (3 bytes) and "dir\b.bin" (5) in blocks of 4. Byte layout: header 0,
    // metadata 32, file records 45 and 100, block records 159 and 175, data 191.
    Layout two = MakeLayout({{"a.txt", "abc"}, {"dir\\b.bin", "12345"}}, {4});
    const std::string full = two.Bytes();
    // Refused for its path before its offset, and shown as stored.
    two.files[1] = {99, 5, {}, "\xff\\.."};
    // Sizes whose running sum would wrap around to the total.
    const Layout wraps{1, "", {{0, kMax, {}, "a"}, {kMax, 2, {}, "b"}}, {{1, 1}}, "x"};
    const std::string opened = "(opened)";
    const std::pair<std::string, std::string> rows[] = {
        {"", "Paquet MVPK invalide (signature)"},
        {full.substr(0, 31), "Paquet MVPK invalide (signature)"},
        {Patched(full, 3, 'k', 1), "Paquet MVPK invalide (signature)"},
        // The version comes before the metadata that would not fit.
        {Patched(Patched(full, 4, 2, 4), 24, 1000, 4),
         "Version de paquet MVPK non prise en charge : 2"},
        {Patched(full, 4, kMax, 4), "Version de paquet MVPK non prise en charge : 4294967295"},
        {Patched(Layout{0, "k=v\n", {}, {}, ""}.Bytes(), 24, 5, 4),
         "Paquet MVPK tronqué (métadonnées)"},
        {Patched(full, 24, kMax, 4), "Paquet MVPK tronqué (métadonnées)"},
        // Cut inside the path length, inside the path; one record more than there are.
        {full.substr(0, 45 + 49), "Paquet MVPK tronqué (table des fichiers)"},
        {full.substr(0, 45 + 54), "Paquet MVPK tronqué (table des fichiers)"},
        {Patched(Layout{}.Bytes(), 8, 1, 4), "Paquet MVPK tronqué (table des fichiers)"},
        {two.Bytes(), "Chemin refusé dans le paquet : \xff\\.."},
        {Patched(full, 45, 1, 8), "Paquet MVPK incohérent (fichiers non contigus)"},
        {Patched(full, 100, 2, 8), "Paquet MVPK incohérent (fichiers non contigus)"},
        {Patched(full, 16, 7, 8), "Paquet MVPK incohérent (taille totale)"},
        {Patched(full, 16, 9, 8), "Paquet MVPK incohérent (taille totale)"},
        {wraps.Bytes(), "Paquet MVPK incohérent (taille totale)"},
        {full.substr(0, 175 + 8), "Paquet MVPK tronqué (table des blocs)"},
        {Patched(Layout{}.Bytes(), 12, 1, 4), "Paquet MVPK tronqué (table des blocs)"},
        {Patched(full, 175 + 8, 3, 8), "Paquet MVPK incohérent (blocs)"},
        {Patched(full, 175 + 8, 5, 8), "Paquet MVPK incohérent (blocs)"},
        {Patched(Patched(full, 159 + 8, kMax, 8), 175 + 8, 9, 8), "Paquet MVPK incohérent (blocs)"},
        {full.substr(0, full.size() - 1), "Paquet MVPK tronqué (données)"},
        {Patched(full, 175, kMax - 10, 8), "Paquet MVPK tronqué (données)"},
        {Patched(full, 159, kMax, 8), "Paquet MVPK tronqué (données)"},
        // Accepted: 32 bytes, metadata up to the end, trailing bytes, a reserved word, an empty
        // file at the next file's offset, two files with one path.
        {Layout{}.Bytes(), opened},
        {Layout{0, "k=v\n", {}, {}, ""}.Bytes(), opened},
        {full + "trailing bytes", opened},
        {Patched(full, 28, 0xDEADBEEF, 4), opened},
        {MakeLayout({{"a", "xy"}, {"empty", ""}, {"b", "z"}}, {}).Bytes(), opened},
        {MakeLayout({{"same", "1"}, {"same", "2"}}, {}).Bytes(), opened},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const auto reader = mvpk::Reader::Open(AsBytes(rows[i].first));
        EXPECT_EQ(reader ? opened : reader.error(), rows[i].second) << "row " << i;
    }
    EXPECT_EQ(mvpk::Reader::Open({}).error(), "Paquet MVPK invalide (signature)");
}

TEST(IsSafePackagePath, AcceptedAndRefused) {
    for (const char* path : {"a", "dir\\file", "dir/file", "a\\b/c", "a..b", "...", "x.", "x ",
                             "CON", "\xc3\xa9t\xc3\xa9", "\xff\xfe", ".hidden", "..x", "x.."})
        EXPECT_TRUE(mvpk::IsSafePackagePath(path)) << path;
    for (const char* path :
         {"",      "a\\\\b",   "a//b",         "a\\/b", "a\\",   "a/",
          "\\a",   "/a",       "\\\\s\\share", "C:\\a", "C:a",   "file.txt:stream",
          ":",     ".",        "..",           "a\\.",  "a\\..", ".\\a",
          "..\\a", "a\\..\\b", "a/./b",        "\\",    "/"})
        EXPECT_FALSE(mvpk::IsSafePackagePath(path)) << path;
    EXPECT_FALSE(mvpk::IsSafePackagePath(std::string_view("a\0:", 3)));
}

// The progress reports as "(done,total)", then the failure message if there is one.
std::string Extract(const Layout& layout, const fs::path& destination) {
    const std::string bytes = layout.Bytes();
    std::string trace;
    const auto report = [&](std::uint64_t done, std::uint64_t total) {
        trace += "(" + std::to_string(done) + "," + std::to_string(total) + ")";
    };
    const auto extracted = mvpk::Reader::Open(AsBytes(bytes)).value().Extract(destination, report);
    return extracted ? trace : trace + extracted.error();
}

// In blocks of 100 bytes: "first" ends in the second block, which also holds "x", an empty
// file and "d\été" whole and the start of "last", which ends in the third.
const std::vector<SourceFile> kFiles = {{"first", std::string(120, 'f')},
                                        {"x", std::string(10, 'x')},
                                        {"empty", ""},
                                        {"d\\été", std::string(30, 'y')},
                                        {"last", std::string(90, 'l')}};

TEST(Extract, FilesAcrossAndWithinBlocksOverwritingWhatIsThere) {
    TempDir dir;
    WriteFileBytes(dir / L"last", std::string(5000, 'z')); // truncated, not appended to
    EXPECT_EQ(Extract(MakeLayout(kFiles, {100}), dir.path()), "(100,250)(200,250)(250,250)");
    for (const auto& [path, content] : kFiles)
        EXPECT_EQ(ReadFileBytes(dir.path() / StoredPath(path)), content) << path;
    // Only empty files: no block, no progress, every file there.
    EXPECT_EQ(Extract(MakeLayout({{"a", ""}, {"sub\\b", ""}}, {}), dir / L"none"), "");
    EXPECT_EQ(ReadFileBytes(dir / L"none/a") + ReadFileBytes(dir / L"none/sub/b"), "");
}

TEST(Extract, AlteredFileStopsWithTheFilesBeforeItComplete) {
    TempDir dir, emptyDir, verifyDir;
    Layout altered = MakeLayout(kFiles, {100}), alteredEmpty = altered;
    altered.files[3].sha256[0] ^= 0x80;
    alteredEmpty.files[2].sha256[31] ^= 1;
    EXPECT_EQ(Extract(altered, dir.path()), "(100,250)Fichier altéré : d\\été");
    for (int i = 0; i < 4; ++i) // the altered file itself complete
        EXPECT_EQ(ReadFileBytes(dir.path() / StoredPath(kFiles[i].path)), kFiles[i].content);
    EXPECT_FALSE(fs::exists(dir / L"last"));
    EXPECT_EQ(Extract(alteredEmpty, emptyDir.path()), "(100,250)Fichier altéré : empty");
    EXPECT_TRUE(fs::exists(emptyDir / L"empty"));
    // An empty destination verifies and writes nothing, wherever the current folder is.
    const fs::path before = fs::current_path();
    fs::current_path(verifyDir.path());
    EXPECT_EQ(Extract(MakeLayout(kFiles, {100}), {}), "(100,250)(200,250)(250,250)");
    EXPECT_EQ(Extract(altered, {}), "(100,250)Fichier altéré : d\\été");
    fs::current_path(before);
    EXPECT_TRUE(fs::is_empty(verifyDir.path()));
}

TEST(Extract, FailuresAndTheirMessages) {
    TempDir dir;
    WriteFileBytes(dir / L"busy.dll", "old");
    // Held open without sharing, as by a running program.
    UniqueHandle holder(::CreateFileW((dir / L"busy.dll").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    fs::create_directories(dir / L"d" / L"f" / L"inside");
    Layout damaged =
        MakeLayout({{"a", std::string(100, 'a')}, {"b", std::string(100, 'b')}}, {120});
    damaged.data[damaged.blocks[0].compressedSize + 1] ^= 0x55; // second block's header
    Layout larger = MakeLayout({{"c", "0123456789"}}, {}), smaller = larger;
    larger.files[0].size = larger.totalSize = larger.blocks[0].size = 6;
    smaller.files[0].size = smaller.totalSize = smaller.blocks[0].size = 12;
    const std::uint64_t huge = std::uint64_t{1} << 62;
    const std::pair<Layout, std::string> rows[] = {
        {MakeLayout({{"first", "1"}, {"busy.dll", "new"}, {"after", "2"}}, {}),
         "Écriture impossible : busy.dll"},
        {MakeLayout({{"d/f", "x"}}, {}), "Écriture impossible : d/f"}, // a folder, stored path
        {MakeLayout({{"d/f", ""}}, {}), "Écriture impossible : d/f"},
        {damaged, "(120,200)Décompression (erreur Windows 605)"},
        {larger, "Décompression (erreur Windows 122)"},
        {Layout{huge, "", {{0, huge, {}, "huge"}}, {{16, huge}}, std::string(16, '\0')},
         "Mémoire insuffisante pour décompresser un bloc de 4611686018427387904 octets"},
    };
    for (const auto& [layout, message] : rows)
        EXPECT_EQ(Extract(layout, dir.path()), message);
    // A block shorter than its size: the thread's last error is whatever it holds.
    EXPECT_TRUE(Extract(smaller, {}).starts_with("Décompression (erreur Windows "));
    EXPECT_EQ(ReadFileBytes(dir / L"first") + ReadFileBytes(dir / L"a"),
              "1" + std::string(100, 'a'));
    EXPECT_FALSE(fs::exists(dir / L"after"));
    holder.reset();
    EXPECT_EQ(ReadFileBytes(dir / L"busy.dll"), "old");
}

// CNG never fails on demand: its functions are replaced.
TEST(Sha256Hasher, AFailedHashIsAnErrorNeverADigest) {
    mvpk::BcryptApi failing = *mvpk::SystemBcrypt();
    failing.hashData = failing.finishHash = [](BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) {
        return static_cast<NTSTATUS>(0xC0000001);
    };
    mvpk::Sha256Hasher adding(&failing), finishing(&failing);
    EXPECT_THROW(adding.Add(AsBytes("abc")), std::runtime_error);
    EXPECT_THROW(finishing.Finish(), std::runtime_error);
}

// The test programs lie beside a cabinet.dll (the stand-in's build output), as a setup
// program may lie beside a planted one in a Downloads folder: only the system's is loaded.
TEST(CompressionApi, IsLoadedFromTheSystemFolderOnly) {
    const auto api = mvpk::CompressionApi::LoadDecompressor();
    wchar_t name[MAX_PATH] = {}, system[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"cabinet.dll"), name, MAX_PATH);
    ::GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(_wcsicmp(fs::path(name).parent_path().c_str(), system), 0) << name;
}

} // namespace
