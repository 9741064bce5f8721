// Extraction and verification, against the Compression API of the test prefix
// (the stand-in under Wine).
#include "package/reader.h"
#include "package/sha256_hasher.h"
#include "package/windows_error.h"
#include "tests/package/package_builder.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace package_testing;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
namespace fs = std::filesystem;

using Progress = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

struct Extracted {
    std::expected<void, std::string> result;
    Progress progress;
};

Extracted Extract(const std::string& bytes, const fs::path& destination) {
    auto reader = mvpk::Reader::Open(AsBytes(bytes));
    if (!reader)
        return {std::unexpected("Open: " + reader.error()), {}};
    Extracted out;
    out.result = reader->Extract(destination, [&](std::uint64_t done, std::uint64_t total) {
        out.progress.emplace_back(done, total);
    });
    return out;
}

std::string Pattern(std::size_t size, char seed) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(seed + i * 7 + i / 251);
    return s;
}

std::vector<fs::path> Listing(const fs::path& folder) {
    std::vector<fs::path> all;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        all.push_back(entry.path().lexically_relative(folder));
    std::sort(all.begin(), all.end());
    return all;
}

TEST(Sha256Hasher, KnownDigests) {
    const Digest abc = Sha256("abc");
    const Digest expected = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                             0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                             0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(abc, expected);
    EXPECT_EQ(Sha256("").front(), 0xe3);
    // Fed in pieces, the digest is the same.
    mvpk::Sha256Hasher pieces;
    pieces.Add(AsBytes("a"));
    pieces.Add(AsBytes(""));
    pieces.Add(AsBytes("bc"));
    EXPECT_EQ(pieces.Finish(), expected);
}

TEST(Sha256Hasher, AFailedHashIsAnErrorNeverADigest) {
    // CNG itself never fails on demand: its functions are replaced one at a time.
    const mvpk::BcryptApi* system = mvpk::SystemBcrypt();
    ASSERT_NE(system, nullptr);
    mvpk::BcryptApi failingData = *system;
    failingData.hashData = [](BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) -> NTSTATUS {
        return static_cast<NTSTATUS>(0xC0000001);
    };
    mvpk::Sha256Hasher data(&failingData);
    EXPECT_THROW(data.Add(AsBytes("abc")), std::runtime_error);

    mvpk::BcryptApi failingFinish = *system;
    failingFinish.finishHash = failingData.hashData;
    mvpk::Sha256Hasher finish(&failingFinish);
    finish.Add(AsBytes("abc"));
    EXPECT_THROW(finish.Finish(), std::runtime_error);
}

TEST(WithWindowsError, StepThenTheLastError) {
    ::SetLastError(605);
    EXPECT_EQ(mvpk::WithWindowsError("Décompression"), "Décompression (erreur Windows 605)");
    ::SetLastError(0);
    EXPECT_EQ(mvpk::WithWindowsError("X"), "X (erreur Windows 0)");
    ::SetLastError(0xFFFFFFFF);
    EXPECT_EQ(mvpk::WithWindowsError("X"), "X (erreur Windows 4294967295)");
}

TEST(Extract, OnlyEmptyFilesAndNoBlocks) {
    TempDir dir;
    const Layout layout = MakeLayout({{"a", ""}, {"sub\\b", ""}, {"sub/deep\\c", ""}}, {});
    ASSERT_TRUE(layout.blocks.empty());
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_TRUE(out.result) << out.result.error();
    EXPECT_TRUE(out.progress.empty());
    for (const char* file : {"a", "sub/b", "sub/deep/c"}) {
        ASSERT_TRUE(fs::is_regular_file(dir.path() / file)) << file;
        EXPECT_EQ(fs::file_size(dir.path() / file), 0u);
    }
}

TEST(Extract, EmptyFileWithWrongDigest) {
    TempDir dir;
    Layout layout = MakeLayout({{"a", "12"}, {"empty", ""}, {"b", "3"}}, {});
    layout.files[1].sha256[31] ^= 1;
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(), "Fichier altéré : empty");
    EXPECT_TRUE(fs::exists(dir.path() / "empty"));
    EXPECT_FALSE(fs::exists(dir.path() / "b"));
}

TEST(Extract, FileAcrossBlockBoundaries) {
    TempDir dir;
    const std::string big = Pattern(1000, 'a');
    // 300-byte blocks: "big" spans four blocks, "tail" starts in the last one.
    const Layout layout = MakeLayout({{"big.bin", big}, {"tail.txt", "end"}}, {300});
    ASSERT_EQ(layout.blocks.size(), 4u);
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_TRUE(out.result) << out.result.error();
    EXPECT_EQ(ReadFileBytes(dir.path() / "big.bin"), big);
    EXPECT_EQ(ReadFileBytes(dir.path() / "tail.txt"), "end");
}

TEST(Extract, SeveralFilesInOneBlock) {
    TempDir dir;
    // Block 2 (bytes 100-199) holds the end of "first", all of "x", "y" and an empty file,
    // and the start of "last".
    const std::vector<SourceFile> files = {{"first", Pattern(120, 'f')},
                                           {"x", Pattern(10, 'x')},
                                           {"empty", ""},
                                           {"d\\y", Pattern(30, 'y')},
                                           {"last", Pattern(90, 'l')}};
    const Layout layout = MakeLayout(files, {100});
    ASSERT_EQ(layout.blocks.size(), 3u);
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_TRUE(out.result) << out.result.error();
    for (const SourceFile& file : files) {
        std::string path = file.path;
        std::replace(path.begin(), path.end(), '\\', '/');
        EXPECT_EQ(ReadFileBytes(dir.path() / path), file.content) << file.path;
    }
}

TEST(Extract, ProgressOncePerBlock) {
    TempDir dir;
    const Layout layout = MakeLayout({{"a", Pattern(250, 'p')}}, {100, 100, 50});
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_TRUE(out.result) << out.result.error();
    EXPECT_EQ(out.progress, (Progress{{100, 250}, {200, 250}, {250, 250}}));
}

TEST(Extract, EmptyProgressCallbackIsAllowed) {
    const std::string bytes = MakeLayout({{"a", "abc"}}, {}).Bytes();
    auto reader = mvpk::Reader::Open(AsBytes(bytes));
    ASSERT_TRUE(reader);
    TempDir dir;
    EXPECT_TRUE(reader->Extract(dir.path(), {}));
    EXPECT_EQ(ReadFileBytes(dir.path() / "a"), "abc");
}

TEST(Extract, FlippedDigestLeavesEarlierFilesAndStops) {
    TempDir dir;
    Layout layout = MakeLayout({{"one", Pattern(50, '1')},
                                {"two", Pattern(80, '2')},
                                {"three", Pattern(40, '3')},
                                {"four", Pattern(10, '4')}},
                               {64});
    layout.files[2].sha256[0] ^= 0x80;
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(), "Fichier altéré : three");
    EXPECT_EQ(ReadFileBytes(dir.path() / "one"), Pattern(50, '1'));
    EXPECT_EQ(ReadFileBytes(dir.path() / "two"), Pattern(80, '2'));
    // The altered file itself is on disk complete; no later file was opened.
    EXPECT_EQ(ReadFileBytes(dir.path() / "three"), Pattern(40, '3'));
    EXPECT_FALSE(fs::exists(dir.path() / "four"));
    // "three" ends at byte 170, inside the third block: two blocks were reported.
    EXPECT_EQ(out.progress, (Progress{{64, 180}, {128, 180}}));
}

TEST(Extract, VerifyOnlyWritesNothing) {
    TempDir dir;
    Layout layout = MakeLayout({{"sub\\a", "alpha"}, {"b", "beta"}}, {3});
    const std::string bytes = layout.Bytes();
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    const Extracted good = Extract(bytes, {});
    layout.files[1].sha256[5] ^= 4;
    const Extracted bad = Extract(layout.Bytes(), {});
    fs::current_path(before);
    ASSERT_TRUE(good.result) << good.result.error();
    EXPECT_EQ(good.progress, (Progress{{3, 9}, {6, 9}, {9, 9}}));
    ASSERT_FALSE(bad.result);
    EXPECT_EQ(bad.result.error(), "Fichier altéré : b");
    EXPECT_TRUE(Listing(dir.path()).empty());
}

TEST(Extract, ExistingFileIsTruncated) {
    TempDir dir;
    WriteFileBytes(dir.path() / "sub" / "a.txt", std::string(5000, 'z'));
    const Layout layout = MakeLayout({{"sub\\a.txt", "short"}}, {});
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_TRUE(out.result) << out.result.error();
    EXPECT_EQ(ReadFileBytes(dir.path() / "sub" / "a.txt"), "short");
}

TEST(Extract, ReadOnlyExistingFileCannotBeWritten) {
    TempDir dir;
    WriteFileBytes(dir.path() / "locked.txt", "old");
    ASSERT_TRUE(::SetFileAttributesW((dir.path() / "locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    // Wine keeps the attribute as the Unix write bits, which do not stop root.
    if (UniqueHandle probe(::CreateFileW((dir.path() / "locked.txt").c_str(), GENERIC_WRITE, 0,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
        probe)
        GTEST_SKIP() << "the read-only attribute is not enforced here (Wine run as root)";
    const Layout layout = MakeLayout({{"first", "1"}, {"locked.txt", "new"}, {"after", "2"}}, {});
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(), "Écriture impossible : locked.txt");
    EXPECT_EQ(ReadFileBytes(dir.path() / "locked.txt"), "old");
    EXPECT_EQ(ReadFileBytes(dir.path() / "first"), "1");
    EXPECT_FALSE(fs::exists(dir.path() / "after"));
}

// The same refusal, from a file that another process (here the test) holds open without
// sharing: enforced by Wine as by Windows.
TEST(Extract, FileInUseCannotBeWritten) {
    TempDir dir;
    WriteFileBytes(dir.path() / "busy.dll", "old");
    UniqueHandle holder(::CreateFileW((dir.path() / "busy.dll").c_str(), GENERIC_READ,
                                      FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    const Layout layout = MakeLayout({{"first", "1"}, {"busy.dll", "new"}, {"after", "2"}}, {});
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(), "Écriture impossible : busy.dll");
    holder.reset();
    EXPECT_EQ(ReadFileBytes(dir.path() / "busy.dll"), "old");
    EXPECT_EQ(ReadFileBytes(dir.path() / "first"), "1");
    EXPECT_FALSE(fs::exists(dir.path() / "after"));
}

TEST(Extract, PathNamingADirectoryCannotBeWritten) {
    TempDir dir;
    fs::create_directories(dir.path() / "taken" / "inside");
    const Layout layout = MakeLayout({{"taken", "x"}}, {});
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(), "Écriture impossible : taken");
    // The empty-file case fails the same way, before its digest.
    const Layout empty = MakeLayout({{"taken", ""}}, {});
    const Extracted out2 = Extract(empty.Bytes(), dir.path());
    ASSERT_FALSE(out2.result);
    EXPECT_EQ(out2.result.error(), "Écriture impossible : taken");
}

TEST(Extract, MessagePathIsTheStoredPath) {
    TempDir dir;
    fs::create_directories(dir.path() / "d" / "f");
    const Layout layout = MakeLayout({{"d/f", "x"}}, {});
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(), "Écriture impossible : d/f");
}

TEST(Extract, CreatesTheDestinationAndNestedFolders) {
    TempDir dir;
    const fs::path destination = dir.path() / "not" / "yet" / "there";
    const Layout layout = MakeLayout({{"a\\b\\c\\file.txt", "deep"}, {"top", "t"}}, {2});
    const Extracted out = Extract(layout.Bytes(), destination);
    ASSERT_TRUE(out.result) << out.result.error();
    EXPECT_EQ(ReadFileBytes(destination / "a" / "b" / "c" / "file.txt"), "deep");
    EXPECT_EQ(ReadFileBytes(destination / "top"), "t");
}

TEST(Extract, NonAsciiPathsAreConvertedFromUtf8) {
    TempDir dir;
    const Layout layout = MakeLayout({{"donn\xc3\xa9"
                                       "es\\\xc3\xa9t\xc3\xa9.txt",
                                       "ete"}},
                                     {});
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_TRUE(out.result) << out.result.error();
    EXPECT_EQ(ReadFileBytes(dir.path() / L"donn\u00e9es" / L"\u00e9t\u00e9.txt"), "ete");
}

TEST(Extract, DamagedBlockFailsToDecompress) {
    TempDir dir;
    Layout layout = MakeLayout({{"a", Pattern(100, 'a')}, {"b", Pattern(100, 'b')}}, {120});
    layout.data[layout.blocks[0].compressedSize + 1] ^= 0x55; // header of block 2
    const Extracted out = Extract(layout.Bytes(), dir.path());
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(), "Décompression (erreur Windows 605)");
    EXPECT_EQ(ReadFileBytes(dir.path() / "a"), Pattern(100, 'a'));
    EXPECT_EQ(out.progress, (Progress{{120, 200}}));
}

TEST(Extract, BlockLargerThanItsDeclaredSize) {
    // 10 real bytes declared as 6 (and the file table agreeing): the buffer is too small.
    Layout layout = MakeLayout({{"a", "0123456789"}}, {});
    layout.files[0].size = 6;
    layout.totalSize = 6;
    layout.blocks[0].size = 6;
    const Extracted out = Extract(layout.Bytes(), {});
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(), "Décompression (erreur Windows 122)");
}

TEST(Extract, BlockSmallerThanItsDeclaredSize) {
    Layout layout = MakeLayout({{"a", "0123456789"}}, {});
    layout.files[0].size = 12;
    layout.totalSize = 12;
    layout.blocks[0].size = 12;
    const Extracted out = Extract(layout.Bytes(), {});
    ASSERT_FALSE(out.result);
    EXPECT_TRUE(out.result.error().starts_with("Décompression (erreur Windows "))
        << out.result.error();
}

TEST(Extract, BlockThatCannotBeAllocatedIsAFailureNotACrash) {
    Layout layout;
    layout.files.push_back({0, std::uint64_t{1} << 62, {}, "huge", {}});
    layout.totalSize = std::uint64_t{1} << 62;
    layout.blocks.push_back({16, std::uint64_t{1} << 62});
    layout.data = std::string(16, '\0');
    const Extracted out = Extract(layout.Bytes(), {});
    ASSERT_FALSE(out.result);
    EXPECT_EQ(out.result.error(),
              "Mémoire insuffisante pour décompresser un bloc de 4611686018427387904 octets");
}

TEST(Extract, SecondExtractionOverTheFirst) {
    TempDir dir;
    const Layout layout = MakeLayout({{"a", Pattern(700, 'a')}, {"b\\c", "c"}}, {256});
    ASSERT_TRUE(Extract(layout.Bytes(), dir.path()).result);
    const Extracted again = Extract(layout.Bytes(), dir.path());
    ASSERT_TRUE(again.result) << again.result.error();
    EXPECT_EQ(ReadFileBytes(dir.path() / "a"), Pattern(700, 'a'));
}

} // namespace
