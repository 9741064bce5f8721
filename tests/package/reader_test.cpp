// Reader::Open's checks, their order and messages, and IsSafePackagePath.
#include "package/reader.h"
#include "tests/package/package_builder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

using namespace package_testing;

constexpr std::uint64_t kMax = UINT64_MAX;

std::string OpenError(const std::string& bytes) {
    auto reader = mvpk::Reader::Open(AsBytes(bytes));
    if (reader)
        return "(opened)";
    return reader.error();
}

// Two files ("a.txt" of 3 bytes, "dir\b.bin" of 5) in two blocks, stored as they are.
Layout TwoFiles() {
    return MakeLayout({{"a.txt", "abc"}, {"dir\\b.bin", "12345"}}, {4}, StoreAsIs);
}

TEST(ReaderOpen, MinimalPackageOpensEmpty) {
    Layout layout;
    const std::string bytes = layout.Bytes();
    ASSERT_EQ(bytes.size(), 32u);
    auto reader = mvpk::Reader::Open(AsBytes(bytes));
    ASSERT_TRUE(reader) << reader.error();
    EXPECT_TRUE(reader->entries().empty());
    EXPECT_TRUE(reader->blocks().empty());
    EXPECT_EQ(reader->totalSize(), 0u);
    EXPECT_EQ(reader->data().data(), reinterpret_cast<const std::byte*>(bytes.data()));
    EXPECT_EQ(reader->data().size(), 32u);
}

TEST(ReaderOpen, IndexesFilesAndBlocks) {
    Layout layout = TwoFiles();
    layout.data += "trailing bytes are ignored";
    const std::string bytes = layout.Bytes();
    auto reader = mvpk::Reader::Open(AsBytes(bytes));
    ASSERT_TRUE(reader) << reader.error();
    ASSERT_EQ(reader->entries().size(), 2u);
    EXPECT_EQ(reader->entries()[0].path, "a.txt");
    EXPECT_EQ(reader->entries()[0].offset, 0u);
    EXPECT_EQ(reader->entries()[0].size, 3u);
    EXPECT_EQ(reader->entries()[0].sha256, Sha256("abc"));
    EXPECT_EQ(reader->entries()[1].path, "dir\\b.bin");
    EXPECT_EQ(reader->entries()[1].offset, 3u);
    EXPECT_EQ(reader->entries()[1].size, 5u);
    EXPECT_EQ(reader->totalSize(), 8u);
    ASSERT_EQ(reader->blocks().size(), 2u);
    const std::uint64_t dataStart = 32 + layout.metadata.size() + (50 + 5) + (50 + 9) + 2 * 16;
    EXPECT_EQ(reader->blocks()[0].dataOffset, dataStart);
    EXPECT_EQ(reader->blocks()[0].size, 4u);
    EXPECT_EQ(reader->blocks()[0].compressedSize, 4u);
    EXPECT_EQ(reader->blocks()[1].dataOffset, dataStart + 4);
    EXPECT_EQ(reader->blocks()[1].size, 4u);
    EXPECT_EQ(bytes.substr(dataStart, 8), "abc12345");
}

TEST(ReaderOpen, ShortOrEmptyViewIsAnInvalidSignature) {
    EXPECT_EQ(OpenError(""), "Paquet MVPK invalide (signature)");
    EXPECT_EQ(mvpk::Reader::Open({}).error(), "Paquet MVPK invalide (signature)");
    // 31 bytes that begin with the magic.
    EXPECT_EQ(OpenError(Layout{}.Bytes().substr(0, 31)), "Paquet MVPK invalide (signature)");
    EXPECT_EQ(OpenError("MVPK"), "Paquet MVPK invalide (signature)");
}

TEST(ReaderOpen, WrongMagic) {
    Layout layout;
    layout.magic = "MVPk";
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK invalide (signature)");
    layout.magic = std::string("\0VPK", 4);
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK invalide (signature)");
}

TEST(ReaderOpen, UnsupportedVersionComesBeforeEveryOtherCheck) {
    Layout layout;
    layout.version = 2;
    layout.metadataLength = 1000; // would be truncated metadata
    EXPECT_EQ(OpenError(layout.Bytes()), "Version de paquet MVPK non prise en charge : 2");
    layout.version = 0;
    EXPECT_EQ(OpenError(layout.Bytes()), "Version de paquet MVPK non prise en charge : 0");
    layout.version = 0xFFFFFFFFu; // unsigned, no sign
    EXPECT_EQ(OpenError(layout.Bytes()), "Version de paquet MVPK non prise en charge : 4294967295");
    layout.version = 0x100; // little-endian: byte 5 is 1
    EXPECT_EQ(OpenError(layout.Bytes()), "Version de paquet MVPK non prise en charge : 256");
}

TEST(ReaderOpen, NonzeroReservedWordIsAccepted) {
    Layout layout = TwoFiles();
    layout.reserved = 0xDEADBEEF;
    EXPECT_EQ(OpenError(layout.Bytes()), "(opened)");
}

TEST(ReaderOpen, MetadataRunningPastTheEnd) {
    Layout layout;
    layout.metadata = "key=value\n";
    EXPECT_EQ(OpenError(layout.Bytes()), "(opened)"); // ends exactly at the end
    layout.metadataLength = 11;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK tronqué (métadonnées)");
    layout.metadataLength = 0xFFFFFFFFu;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK tronqué (métadonnées)");
}

TEST(ReaderOpen, FileRecordCutAtEveryField) {
    const std::string full = TwoFiles().Bytes();
    const std::size_t recordStart = 32 + TwoFiles().metadata.size();
    // Cut inside offset, size, digest, path length and path of the first record.
    for (std::size_t cut : {0, 7, 8, 15, 16, 47, 48, 49, 50, 54}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(OpenError(full.substr(0, recordStart + cut)),
                  "Paquet MVPK tronqué (table des fichiers)");
    }
    // The second record cut after its path length.
    EXPECT_EQ(OpenError(full.substr(0, recordStart + 55 + 50)),
              "Paquet MVPK tronqué (table des fichiers)");
}

TEST(ReaderOpen, FileCountLargerThanTheTable) {
    Layout layout = TwoFiles();
    layout.fileCount = 0xFFFFFFFFu; // the blocks and data are read as more records
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK tronqué (table des fichiers)");
}

TEST(ReaderOpen, PathLengthRunningPastTheEnd) {
    Layout layout;
    layout.files.push_back({0, 0, Sha256(""), "x", 0xFFFF});
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK tronqué (table des fichiers)");
}

TEST(ReaderOpen, UnsafePathIsRefusedWithItsStoredBytes) {
    Layout layout = TwoFiles();
    layout.files[1].path = "..\\b.bin";
    EXPECT_EQ(OpenError(layout.Bytes()), "Chemin refusé dans le paquet : ..\\b.bin");
    layout.files[1].path = "C:\\Windows\\b.bin";
    EXPECT_EQ(OpenError(layout.Bytes()), "Chemin refusé dans le paquet : C:\\Windows\\b.bin");
    // Invalid UTF-8 is reported as stored.
    layout.files[1].path = "\xff\\..";
    EXPECT_EQ(OpenError(layout.Bytes()),
              std::string("Chemin refusé dans le paquet : ") + "\xff\\..");
    layout.files[1].path = "";
    EXPECT_EQ(OpenError(layout.Bytes()), "Chemin refusé dans le paquet : ");
}

TEST(ReaderOpen, UnsafePathIsCheckedBeforeTheOffset) {
    Layout layout = TwoFiles();
    layout.files[1].path = "\\b.bin";
    layout.files[1].offset = 99;
    EXPECT_EQ(OpenError(layout.Bytes()), "Chemin refusé dans le paquet : \\b.bin");
}

TEST(ReaderOpen, NonContiguousOffsets) {
    Layout layout = TwoFiles();
    layout.files[1].offset = 4;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (fichiers non contigus)");
    layout.files[1].offset = 2;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (fichiers non contigus)");
    layout = TwoFiles();
    layout.files[0].offset = 1;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (fichiers non contigus)");
}

TEST(ReaderOpen, ZeroSizeFileSharesTheNextOffset) {
    Layout layout = MakeLayout({{"a", "xy"}, {"empty", ""}, {"b", "z"}}, {}, StoreAsIs);
    EXPECT_EQ(layout.files[1].offset, 2u);
    EXPECT_EQ(layout.files[2].offset, 2u);
    auto reader = mvpk::Reader::Open(AsBytes(layout.Bytes()));
    ASSERT_TRUE(reader) << reader.error();
    EXPECT_EQ(reader->entries()[1].size, 0u);
}

TEST(ReaderOpen, DuplicatePathsAreAccepted) {
    Layout layout = MakeLayout({{"same", "1"}, {"same", "2"}}, {}, StoreAsIs);
    EXPECT_EQ(OpenError(layout.Bytes()), "(opened)");
}

TEST(ReaderOpen, TotalDifferentFromTheSumOfFileSizes) {
    Layout layout = TwoFiles();
    layout.totalSize = 9;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (taille totale)");
    layout.totalSize = 7;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (taille totale)");
}

// On purpose, beyond the format's own checks: sizes whose running sum would wrap around 2^64
// could otherwise add up to any total. They fail with the total's message.
TEST(ReaderOpen, FileSizesWrappingTheSumAreRefused) {
    Layout layout;
    layout.files.push_back({0, kMax, {}, "huge", {}});
    layout.files.push_back({kMax, 2, {}, "wraps", {}}); // kMax + 2 would be 1
    layout.totalSize = 1;
    layout.blocks.push_back({1, 1});
    layout.data = "x";
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (taille totale)");
}

TEST(ReaderOpen, BlockTableCut) {
    const std::string full = TwoFiles().Bytes();
    const std::size_t blocksStart = full.size() - 8 - 32;
    for (std::size_t cut : {0, 7, 8, 15, 16, 31}) {
        SCOPED_TRACE(cut);
        EXPECT_EQ(OpenError(full.substr(0, blocksStart + cut)),
                  "Paquet MVPK tronqué (table des blocs)");
    }
    Layout layout = TwoFiles();
    layout.blockCount = 1000;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK tronqué (table des blocs)");
}

TEST(ReaderOpen, BlockSizesDifferentFromTheTotal) {
    // Total 100, files summing to 100, blocks summing to 99.
    Layout layout =
        MakeLayout({{"a", std::string(60, 'a')}, {"b", std::string(40, 'b')}}, {50}, StoreAsIs);
    layout.blocks[1].size = 49;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (blocs)");
    layout.blocks[1].size = 51;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (blocs)");
    layout = TwoFiles();
    layout.blockCount = 0;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (blocs)");
}

// The same deviation for block sizes: kMax + 9 wraps around to the total of 8.
TEST(ReaderOpen, BlockSizesWrappingTheSumAreRefused) {
    Layout layout = TwoFiles();
    layout.blocks = {{4, kMax}, {4, 9}};
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK incohérent (blocs)");
}

TEST(ReaderOpen, BlockDataRunningPastTheEnd) {
    const std::string full = TwoFiles().Bytes();
    EXPECT_EQ(OpenError(full), "(opened)");
    EXPECT_EQ(OpenError(full.substr(0, full.size() - 1)), "Paquet MVPK tronqué (données)");
    EXPECT_EQ(OpenError(full.substr(0, full.size() - 8)), "Paquet MVPK tronqué (données)");
    // A compressed size that would wrap the end position around.
    Layout layout = TwoFiles();
    layout.blocks[1].compressedSize = kMax - 10;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK tronqué (données)");
    layout = TwoFiles();
    layout.blocks[0].compressedSize = kMax;
    EXPECT_EQ(OpenError(layout.Bytes()), "Paquet MVPK tronqué (données)");
}

TEST(ReaderOpen, BlocksMayHoldNoCompressedBytesWhenTheyFit) {
    // The reader only checks bounds; a zero compressed size is extraction's problem.
    Layout layout = TwoFiles();
    layout.blocks = {{0, 8}};
    layout.data.clear();
    auto reader = mvpk::Reader::Open(AsBytes(layout.Bytes()));
    ASSERT_TRUE(reader) << reader.error();
    EXPECT_EQ(reader->blocks()[0].dataOffset, layout.Bytes().size());
}

TEST(IsSafePackagePath, Accepted) {
    for (const char* path :
         {"a", "a.txt", "dir\\file", "dir/file", "a\\b/c", "a..b", "...", "trailing.", "trailing ",
          "CON", "nul.txt", "\xc3\xa9t\xc3\xa9", "\xff\xfe", ".hidden", "..x", "x.."}) {
        SCOPED_TRACE(path);
        EXPECT_TRUE(mvpk::IsSafePackagePath(path));
    }
}

TEST(IsSafePackagePath, Refused) {
    for (const char* path : {"",
                             "a\\\\b",
                             "a//b",
                             "a\\/b",
                             "a\\",
                             "a/",
                             "\\a",
                             "/a",
                             "\\\\server\\share",
                             "C:\\a",
                             "C:a",
                             "a:b",
                             "file.txt:stream",
                             ":",
                             ".",
                             "..",
                             "a\\.",
                             "a\\..",
                             ".\\a",
                             "..\\a",
                             "a\\..\\b",
                             "a/./b",
                             "\\",
                             "/"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(mvpk::IsSafePackagePath(path));
    }
    EXPECT_FALSE(mvpk::IsSafePackagePath(std::string_view("a\0:", 3)));
}

} // namespace
