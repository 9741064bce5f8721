// The package layer and its tool: Reader::Open's messages in the order of its checks and the
// packages it must accept, the path rule, the extraction edge cases that an installation cannot
// reach or cannot tell apart, against the Compression API of the test prefix (under Wine the
// module on wimlib, tools/cabinet), and mvpk as a product team's build runs it. Packages are
// built here from bytes, so that every record can be set, including the wrong values that the
// reader must refuse.
#include "package/compression_api.h"
#include "package/reader.h"
#include "package/sha256_hasher.h"
#include "setup/text.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <imagehlp.h>
#include <tlhelp32.h>

#include <random>
#include <stdexcept>

namespace {

using namespace testing_support;
namespace fs = std::filesystem;

// value as width bytes, little-endian.
std::string Le(std::uint64_t value, int width) {
    std::string bytes;
    for (int i = 0; i < width; ++i)
        bytes.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return bytes;
}

struct FileRecord {
    std::uint64_t offset = 0, size = 0;
    std::array<std::uint8_t, 32> sha256{};
    std::string path;
};

struct BlockRecord {
    std::uint64_t compressedSize = 0, size = 0;
};

// Written out by Bytes() as they are, after the header: "MVPK", version 1, the counts of the
// vectors, the total, the metadata's length and the reserved word 0.
struct Layout {
    std::uint64_t totalSize = 0;
    std::string metadata;
    std::vector<FileRecord> files;
    std::vector<BlockRecord> blocks;
    std::string data; // the compressed blocks, back to back, and anything after them

    std::string Bytes() const {
        std::string out = "MVPK" + Le(1, 4) + Le(files.size(), 4) + Le(blocks.size(), 4) +
                          Le(totalSize, 8) + Le(metadata.size(), 8) + metadata;
        for (const FileRecord& file : files)
            out += Le(file.offset, 8) + Le(file.size, 8) +
                   std::string(reinterpret_cast<const char*>(file.sha256.data()), 32) +
                   Le(file.path.size(), 2) + file.path;
        for (const BlockRecord& block : blocks)
            out += Le(block.compressedSize, 8) + Le(block.size, 8);
        return out + data;
    }
};

struct SourceFile {
    std::string path, content;
};

// A stored path as a path below a folder, its UTF-8 converted by the standard library.
fs::path StoredPath(std::string_view stored) {
    return std::u8string(stored.begin(), stored.end());
}

std::span<const std::byte> AsBytes(std::string_view bytes) {
    return {reinterpret_cast<const std::byte*>(bytes.data()), bytes.size()};
}

// The bytes with value written little-endian over width bytes at offset.
std::string Patched(std::string bytes, std::size_t offset, std::uint64_t value, int width) {
    return bytes.replace(offset, width, Le(value, width));
}

// A consistent layout: contiguous offsets, real digests, the content stream cut into
// blocks of the given uncompressed sizes (the last size repeats as needed), each compressed
// with the Compression API's LZMS buffer compressor, loaded as the extraction loads it.
Layout MakeLayout(const std::vector<SourceFile>& files, std::vector<std::uint64_t> blockSizes) {
    Layout layout{0, "product=Test\n", {}, {}, ""};
    std::string stream;
    for (const SourceFile& file : files) {
        mvpk::Sha256Hasher hasher;
        hasher.Add(AsBytes(file.content));
        layout.files.push_back({stream.size(), file.content.size(), hasher.Finish(), file.path});
        stream += file.content;
    }
    layout.totalSize = stream.size();
    const auto api = mvpk::CompressionApi::LoadAll();
    COMPRESSOR_HANDLE raw = nullptr;
    if (!api || !api->createCompressor(COMPRESS_ALGORITHM_LZMS, nullptr, &raw))
        throw std::runtime_error("no LZMS compressor");
    const mvpk::Compressor compressor(raw, api->closeCompressor);
    for (std::size_t i = 0, position = 0; position < stream.size(); ++i) {
        const std::size_t size = static_cast<std::size_t>(
            blockSizes.empty() ? stream.size() : blockSizes[std::min(i, blockSizes.size() - 1)]);
        const std::string_view piece = std::string_view(stream).substr(position, size);
        std::string stored(piece.size() + piece.size() / 8 + 4096, '\0');
        SIZE_T produced = 0;
        if (!api->compress(compressor.get(), piece.data(), piece.size(), stored.data(),
                           stored.size(), &produced))
            throw std::runtime_error("Compress failed");
        layout.blocks.push_back({produced, piece.size()});
        layout.data.append(stored, 0, produced);
        position += piece.size();
    }
    return layout;
}

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
        {full.substr(0, 31), "Paquet MVPK invalide (signature)"},
        {Patched(full, 3, 'k', 1), "Paquet MVPK invalide (signature)"},
        // The version comes before the metadata that would not fit.
        {Patched(Patched(full, 4, 2, 4), 24, 1000, 4),
         "Version de paquet MVPK non prise en charge : 2"},
        {Patched(full, 4, kMax, 4), "Version de paquet MVPK non prise en charge : 4294967295"},
        {Patched(Layout{0, "k=v\n", {}, {}, ""}.Bytes(), 24, 5, 4),
         "Paquet MVPK tronqué (métadonnées)"},
        {Patched(full, 24, kMax, 4), "Paquet MVPK tronqué (métadonnées)"},
        // Cut inside the path length, inside the path.
        {full.substr(0, 45 + 49), "Paquet MVPK tronqué (table des fichiers)"},
        {full.substr(0, 45 + 54), "Paquet MVPK tronqué (table des fichiers)"},
        {two.Bytes(), "Chemin refusé dans le paquet : \xff\\.."},
        {MakeLayout({{"docs\\Nul.txt", "x"}}, {}).Bytes(),
         "Chemin refusé dans le paquet : docs\\Nul.txt"},
        // A gap, an overlap; a total too small, too large; the same for the blocks.
        {Patched(full, 45, 1, 8), "Paquet MVPK incohérent (fichiers non contigus)"},
        {Patched(full, 100, 2, 8), "Paquet MVPK incohérent (fichiers non contigus)"},
        {Patched(full, 16, 7, 8), "Paquet MVPK incohérent (taille totale)"},
        {Patched(full, 16, 9, 8), "Paquet MVPK incohérent (taille totale)"},
        {wraps.Bytes(), "Paquet MVPK incohérent (taille totale)"},
        {full.substr(0, 175 + 8), "Paquet MVPK tronqué (table des blocs)"},
        {Patched(full, 175 + 8, 3, 8), "Paquet MVPK incohérent (blocs)"},
        {Patched(full, 175 + 8, 5, 8), "Paquet MVPK incohérent (blocs)"},
        {Patched(Patched(full, 159 + 8, kMax, 8), 175 + 8, 9, 8), "Paquet MVPK incohérent (blocs)"},
        {full.substr(0, full.size() - 1), "Paquet MVPK tronqué (données)"},
        {Patched(full, 175, kMax - 10, 8), "Paquet MVPK tronqué (données)"},
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
    // Names that merely resemble a device's, or hold a dot or a space inside, are kept as
    // written by Windows.
    // clang-format off
    const char* const kept[] = {
        "a", "dir\\file", "dir/file", "a\\b/c", "a..b", "\xc3\xa9t\xc3\xa9", "\xff\xfe", ".hidden",
        "..x", " lead", "a b.txt", "CONS", "CO", "COM", "COM10", "LPT", "xCON", "CON_",
        "NULL.txt", "COM\xc2\xb4", "com1x.txt", "dir.d\\file", "docs\\aux_notes.txt"};
    // Outside the folder, or written by Windows under another name or to a device: a final
    // dot or space is dropped, a device's name with any extension, in any case, opens it.
    const char* const refused[] = {
        "", "a\\\\b", "a//b", "a\\", "a/", "\\\\s\\share", "/a", "C:a", "file.txt:stream", ".",
        "..", "a\\.", ".\\a", "a\\..\\b", "a/./b", "...", "x.", "x ", "x..", "dir.\\a", "dir \\a",
        "a/b ", "CON", "con", "Prn.txt", "aux.tar.gz", "NUL", "dir\\nul.txt", "COM1", "com9.log",
        "LPT1", "lpt5.txt", "COM0", "lpt0.txt", "CON .txt", "LpT9", "COM\xc2\xb9", "lpt\xc2\xb3.txt",
        "COM\xc2\xb2\\a"};
    // clang-format on
    for (const char* path : kept)
        EXPECT_TRUE(mvpk::IsSafePackagePath(path)) << path;
    for (const char* path : refused)
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

// Another user who may write below the destination plants a link to a folder of theirs and a
// second name (a hard link) of a file: the extraction writes through neither, and what they
// lead to stays as it was. (A link to a file looks like the file itself under Wine.)
TEST(Extract, WritesNothingThroughWhatOthersPlantedBelowTheDestination) {
    TempDir dir, outside;
    WriteFileBytes(outside / L"named.dll", "theirs");
    fs::create_directories(dir / L"bin");
    ASSERT_TRUE(::CreateHardLinkW((dir / L"bin/second.dll").c_str(),
                                  (outside / L"named.dll").c_str(), nullptr));
    const FolderLink link(dir / L"lib", outside.path());
    for (const char* path : {"lib\\new.dll", "bin\\second.dll"})
        EXPECT_EQ(Extract(MakeLayout({{"bin\\a.dll", "a"}, {path, "new"}}, {}), dir.path()),
                  std::string("Écriture impossible : ") + path);
    EXPECT_EQ(ReadFileBytes(dir / L"bin/a.dll"), "a");
    EXPECT_EQ(Snapshot(outside.path()),
              (std::map<std::wstring, std::string>{{L"named.dll", Digest("theirs")}}));
}

std::size_t ThreadsOfThisProcess() {
    const UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    std::size_t count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry))
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId();
    return count;
}

// The files are hashed on a second thread. A failure stops it where it is: after the first
// two blocks of a large file (the file holds their bytes, closed: it can be deleted at once),
// and while it hashes a large file that follows an altered one (never opened). Either way
// the thread is gone when the extraction returns.
TEST(Extract, AFailureStopsTheHashingThreadWithNothingLeftOpen) {
    TempDir dir;
    std::string large(5 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7 / 3);
    Layout broken = MakeLayout({{"large.bin", large}}, {1 << 20});
    broken.data[broken.blocks[0].compressedSize + broken.blocks[1].compressedSize + 1] ^= 0x55;
    Layout altered = MakeLayout({{"altered", "a"}, {"next.bin", large}}, {8 << 20});
    altered.files[0].sha256[5] ^= 1;
    const std::size_t threads = ThreadsOfThisProcess();
    EXPECT_EQ(Extract(broken, dir.path()),
              "(1048576,5242880)(2097152,5242880)Décompression (erreur Windows 605)");
    EXPECT_EQ(ThreadsOfThisProcess(), threads);
    EXPECT_EQ(ReadFileBytes(dir / L"large.bin"), large.substr(0, 2 << 20));
    EXPECT_TRUE(::DeleteFileW((dir / L"large.bin").c_str()));
    EXPECT_EQ(Extract(altered, dir.path()), "Fichier altéré : altered");
    EXPECT_EQ(ThreadsOfThisProcess(), threads);
    EXPECT_FALSE(fs::exists(dir / L"next.bin"));
}

// Blocks are decompressed one ahead on a thread of their own, so a damaged second block is
// found while the first one's 300 small files are still being created. It waits for its turn:
// those files are finished and judged first (a wrong digest among them is what is reported),
// the progress of the first block comes before the failure, and nothing is left open.
TEST(Extract, ADamagedBlockWaitsUntilTheFilesBeforeItAreJudged) {
    TempDir dir, alteredDir;
    std::vector<SourceFile> files;
    for (int i = 0; i < 300; ++i)
        files.push_back(
            {"f\\" + std::to_string(1000 + i), std::string(100, static_cast<char>('a' + i % 26))});
    files.push_back({"z.bin", std::string(30000, 'z')}); // the whole second block
    Layout damaged = MakeLayout(files, {30000});
    damaged.data[damaged.blocks[0].compressedSize + 1] ^= 0x55;
    Layout altered = damaged;
    altered.files[299].sha256[9] ^= 4;
    const std::size_t threads = ThreadsOfThisProcess();
    EXPECT_EQ(Extract(damaged, dir.path()), "(30000,60000)Décompression (erreur Windows 605)");
    EXPECT_EQ(Extract(altered, alteredDir.path()), "Fichier altéré : f\\1299");
    EXPECT_EQ(ThreadsOfThisProcess(), threads);
    for (const fs::path& folder : {dir.path(), alteredDir.path()})
        for (const auto& [path, content] : files) {
            const fs::path file = folder / StoredPath(path);
            if (path == "z.bin" && folder == alteredDir.path()) {
                EXPECT_FALSE(fs::exists(file));
                continue;
            }
            // Opened without sharing: no handle of the extraction is left on it.
            UniqueHandle alone(
                ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_TRUE(alone) << path;
            alone.reset();
            EXPECT_EQ(ReadFileBytes(file), path == "z.bin" ? "" : content) << path;
            EXPECT_TRUE(::DeleteFileW(file.c_str())) << path;
        }
}

// While the hashing thread hashes a large file, the installing thread, which has written it
// and waits for its digest, hashes the small files after it itself, up to the one that goes
// on into the next block. Whoever hashed them, the files are judged in table order: the first
// wrong digest is the one reported, and no file after it is opened.
TEST(Extract, FilesHashedWhileTheWriterWaitsAreJudgedInOrder) {
    std::string large(4 << 20, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 5 / 3);
    std::vector<SourceFile> files = {{"large.bin", large}};
    for (int i = 0; i < 200; ++i)
        files.push_back({"s\\" + std::to_string(1000 + i), std::string(100, static_cast<char>(i))});
    files.push_back({"across", std::string(3000, 'c')}); // 1,000 bytes in the first block
    files.push_back({"tail", std::string(1000, 't')});
    files.push_back({"end", ""});
    const std::uint64_t first = large.size() + 200 * 100 + 1000, total = first + 3000;
    const Layout intact = MakeLayout(files, {first});
    Layout altered = intact, both = intact;
    altered.files[151].sha256[0] ^= 1;
    both.files[0].sha256[31] ^= 1;
    both.files[11].sha256[31] ^= 1;
    TempDir dir, alteredDir, bothDir;
    EXPECT_EQ(Extract(intact, dir.path()),
              "(" + std::to_string(first) + "," + std::to_string(total) + ")(" +
                  std::to_string(total) + "," + std::to_string(total) + ")");
    for (const auto& [path, content] : files)
        EXPECT_EQ(ReadFileBytes(dir.path() / StoredPath(path)), content) << path;
    EXPECT_EQ(Extract(altered, alteredDir.path()), "Fichier altéré : s\\1150");
    for (std::size_t i = 0; i <= 151; ++i)
        EXPECT_EQ(ReadFileBytes(alteredDir.path() / StoredPath(files[i].path)), files[i].content);
    EXPECT_FALSE(fs::exists(alteredDir / L"s" / L"1151"));
    EXPECT_EQ(Extract(both, bothDir.path()), "Fichier altéré : large.bin");
    EXPECT_FALSE(fs::exists(bothDir / L"s"));
    // The same files behind a first block of one byte: those hashed by the installing thread
    // are read at their place in the second block.
    files.insert(files.begin(), {"a", "a"});
    TempDir shiftedDir;
    EXPECT_EQ(Extract(MakeLayout(files, {1, first}), shiftedDir.path()),
              "(1," + std::to_string(total + 1) + ")(" + std::to_string(first + 1) + "," +
                  std::to_string(total + 1) + ")(" + std::to_string(total + 1) + "," +
                  std::to_string(total + 1) + ")");
}

// CNG never fails on demand: its functions are replaced.
TEST(Sha256Hasher, AFailedHashIsAnErrorNeverADigest) {
    mvpk::BcryptApi failing = *mvpk::SystemBcrypt();
    failing.hashData = failing.finishHash = [](BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG) {
        return static_cast<NTSTATUS>(0xC0000001);
    };
    EXPECT_THROW(mvpk::Sha256Hasher(&failing).Add(AsBytes("abc")), std::runtime_error);
    EXPECT_THROW(mvpk::Sha256Hasher(&failing).Finish(), std::runtime_error);
}

// The test programs lie beside a cabinet.dll (the module's build output), as a setup
// program may lie beside a planted one in a Downloads folder: only the system's is loaded.
TEST(CompressionApi, IsLoadedFromTheSystemFolderOnly) {
    const auto api = mvpk::CompressionApi::LoadDecompressor();
    wchar_t name[MAX_PATH] = {}, system[MAX_PATH] = {};
    ::GetModuleFileNameW(::GetModuleHandleW(L"cabinet.dll"), name, MAX_PATH);
    ::GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(_wcsicmp(fs::path(name).parent_path().c_str(), system), 0) << name;
}

// mvpk as a product team's build runs it. (The setup programs of the end-to-end tests are made
// with the same command: they show that what it makes installs and uninstalls.)

using Case = std::tuple<std::wstring, DWORD, std::string>; // arguments, exit code, text

// Starts mvpk without a console, its standard output and error sent to the files
// output + ".out" and output + ".err".
UniqueHandle StartTool(const std::wstring& arguments, const std::wstring& output) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    const auto open = [&](const wchar_t* kind) {
        return UniqueHandle(::CreateFileW((output + kind).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                          &inherit, CREATE_ALWAYS, 0, nullptr));
    };
    const UniqueHandle out = open(L".out"), err = open(L".err");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION started{};
    StartProcess(Quoted(BinDir() / L"mvpk.exe") + L" " + arguments, TRUE, DETACHED_PROCESS, nullptr,
                 startup, started);
    return TakeStartedProcess(started);
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
    // The program to start named as Windows finds it, in other capitals.
    const std::string metadata = "Exe=orvalis.EXE\nProduct=" + WideToUtf8(product) +
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
    // Names that Windows does not keep as written, made through "\\?\", which keeps them.
    const std::wstring odd[] = {L"devices\\sub\\Nul.txt", L"dots\\x."};
    for (const std::wstring& name : odd)
        WriteFileBytes(L"\\\\?\\" + (dir / name).native(), "odd");
    // Held open without sharing, the file cannot be read by the tool.
    const UniqueHandle holder(::CreateFileW((dir / L"locked" / L"held.txt").c_str(), GENERIC_READ,
                                            0, nullptr, OPEN_EXISTING, 0, nullptr));
    const auto q = [&](std::wstring_view name) {
        return L" " + Quoted(dir / name);
    };
    const std::string shown = WideToUtf8(dir.path().native()) + "\\";
    const std::wstring from = q(L"src") + q(L"meta.txt");
    const fs::path setup = dir / L"made" / L"Setup.exe";
    // Outputs that are inputs under other names: the stub's copy and a file of the folder.
    fs::copy_file(BinDir() / L"setup_stub.exe", dir / L"stub-copy.exe");
    ::CreateHardLinkW((dir / L"twin.exe").c_str(), (dir / L"stub-copy.exe").c_str(), nullptr);
    ::CreateHardLinkW((dir / L"twin2.exe").c_str(), (dir / L"src" / L"Orvalis.exe").c_str(),
                      nullptr);

    // Each with its exit code and its exact standard output, or for code 1 its message.
    // The signing hook appends a line to the finished program, as a signature is appended.
    std::vector<Case> cases = {
        {L"build-setup" + q(L"src") + q(L"meta.txt") + q(L"made\\Setup.exe") +
             L" --sign-command \"cmd /c echo signed>>\"",
         0, "4 fichiers, 158 octets, 1 blocs, programme d'installation de "},
        {L"build-setup" + from + q(L"plain.exe"), 0,
         "4 fichiers, 158 octets, 1 blocs, programme d'installation de "},
        {L"verify" + q(L"good.mvpk"), 0, "Paquet intact : 2 fichiers, 3 octets, 1 blocs\n"},
        {L"list" + q(L"good.mvpk"), 0,
         "3 ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad b\\abc.txt\n"
         "0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 empty\n"},
        {L"pack" + q(L"empty") + q(L"meta.txt") + q(L"e.mvpk"), 0,
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
        {L"build-setup" + q(L"empty") + q(L"latin1.txt") + q(L"out\\2.exe"), 1,
         "Métadonnées non codées en UTF-8 : " + shown + "latin1.txt"},
        {L"build-setup" + q(L"empty") + q(L"crlf.txt") + q(L"out\\3.exe"), 1,
         "Métadonnées avec des fins de ligne CR LF (LF seul attendu) : " + shown + "crlf.txt"},
        {L"build-setup" + from + q(L"absent\\Setup.exe"), 1,
         "Écriture impossible : " + shown + "absent\\Setup.exe"},
        {L"build-setup" + from + q(L"out\\4.exe") + L" --stub" + q(L"stub.exe"), 1,
         "Lecture impossible : " + shown + "stub.exe"},
        {L"build-setup" + from + q(L"out\\5.exe") + L" --sign-command \"cmd /c exit 3\"", 1,
         "La commande de signature a échoué (code 3) : cmd /c exit 3"},
        {L"build-setup" + from + q(L"out\\8.exe") + L" --sign-command /bin/true", 1,
         "La commande de signature ne peut pas être attendue (programme Linux sous Wine ?) : "
         "/bin/true"},
        {L"build-setup" + from + q(L"META.TXT"), 1,
         "La sortie est un fichier d'entrée : " + shown + "META.TXT"},
        {L"build-setup" + from + q(L"twin.exe") + L" --stub" + q(L"stub-copy.exe"), 1,
         "La sortie est un fichier d'entrée : " + shown + "twin.exe"},
        {L"build-setup" + from + q(L"twin2.exe"), 1,
         "La sortie est un fichier d'entrée : " + shown + "twin2.exe"},
        {L"build-setup" + from + q(L"SRC\\docs\\Setup.exe"), 1,
         "La sortie est dans le dossier empaqueté : " + shown + "SRC\\docs\\Setup.exe"},
        {L"pack" + from + q(L"Meta.txt"), 1,
         "La sortie est un fichier d'entrée : " + shown + "Meta.txt"},
        {L"pack" + q(L"devices") + q(L"meta.txt") + q(L"out\\6.mvpk"), 1,
         "Chemin refusé : sub\\Nul.txt"},
        {L"build-setup" + q(L"dots") + q(L"meta.txt") + q(L"out\\7.exe"), 1, "Chemin refusé : x."},
    };
    // The description is checked before anything is packed; a missing value is named with
    // the file, a wrong one with itself.
    const std::string named = "Product=Orvalis\nPublisher=Orvalis\nVersion=1\n";
    const std::pair<std::string, std::string> descriptions[] = {
        {"Publisher=Orvalis\nVersion=1\n", "Métadonnées sans Product : " + shown + "bad0"},
        {"Product=Orvalis\nPublisher=Orvalis\nVersion=\n",
         "Métadonnées sans Version : " + shown + "bad1"},
        {named + "Product=..\n", "Product inutilisable comme nom de dossier : .."},
        {named + "Product=Lpt1.txt\n", "Product inutilisable comme nom de dossier : Lpt1.txt"},
        {named + "Product=Orvalis \n", "Product inutilisable comme nom de dossier : Orvalis "},
        {named + "RegistryKey=HKCU\\Software\\Orvalis\n",
         "RegistryKey invalide (Software\\Nom attendu) : HKCU\\Software\\Orvalis"},
        {named + "RegistryKey=Software\\\n",
         "RegistryKey invalide (Software\\Nom attendu) : Software\\"},
        {named + "DataDir=oui\n", "DataDir invalide (yes ou no attendu) : oui"},
        // The setup program reads only "yes", in lower case: "Yes" would keep no data.
        {named + "DataDir=Yes\n", "DataDir invalide (yes ou no attendu) : Yes"},
        {named + "FileTypes=.orv=Document;;orw=Modèle\n",
         "Entrée FileTypes invalide (.ext=Description attendu) : orw=Modèle"},
        {named + "FileTypes=.orv=\n",
         "Entrée FileTypes invalide (.ext=Description attendu) : .orv="},
        {named + "Exe=docs\\absent.txt\n", "Exe absent du dossier : docs\\absent.txt"},
        // An extension only ends a file's and a ProgID's name: a device's is fine there, and
        // the description passes on to the next check.
        {named + "FileTypes=.aux=Auxiliaire;.nul=Vide\nExe=docs\\absent.txt\n",
         "Exe absent du dossier : docs\\absent.txt"},
        {"Product=Autre\nPublisher=Orvalis\nVersion=1\n", "Exe absent du dossier : Autre.exe"},
    };
    for (std::size_t i = 0; i < std::size(descriptions); ++i) {
        const std::wstring name = L"bad" + std::to_wstring(i);
        WriteFileBytes(dir / name, descriptions[i].first);
        cases.emplace_back(L"build-setup" + q(L"src") + q(name) + q(L"out\\" + name + L".exe"), 1,
                           descriptions[i].second);
    }
    // Every start costs a Wine process: all runs start together.
    const auto output = [&](std::size_t i) {
        return (dir / L"run").native() + std::to_wstring(i);
    };
    std::vector<UniqueHandle> runs;
    for (std::size_t i = 0; i < std::size(cases); ++i)
        runs.push_back(StartTool(std::get<0>(cases[i]), output(i)));
    for (const UniqueHandle& run : runs) // ctest's time limit ends one that hangs
        ::WaitForSingleObject(run.get(), INFINITE);
    EndStartedProcesses(); // the signing commands' consoles hold the outputs for a while
    for (const auto& [i, made] : {std::pair(0, L"made\\Setup.exe"), std::pair(1, L"plain.exe")})
        std::get<2>(cases[i]) += std::to_string(fs::file_size(dir / made)) + " octets : " + shown +
                                 WideToUtf8(made) + "\n";
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto& [line, code, text] = cases[i];
        DWORD exitCode = STILL_ACTIVE; // when it could not be started
        ::GetExitCodeProcess(runs[i].get(), &exitCode);
        const std::string out = ReadFileBytes(output(i) + L".out");
        const std::string err = ReadFileBytes(output(i) + L".err");
        EXPECT_EQ(exitCode, code) << line << err;
        // A failure: nothing on standard output, the message and a line feed on standard error.
        EXPECT_EQ(code == 1 ? out + "|" + err : out, code == 1 ? "|" + text + "\n" : text);
    }
    // Nothing is left behind by a refusal, not even the output's folder.
    EXPECT_TRUE(fs::is_empty(dir / L"out"));
    for (const std::wstring& name : odd) // by their own names, for the folder's clean-up
        EXPECT_TRUE(::DeleteFileW((L"\\\\?\\" + (dir / name).native()).c_str()));
    EXPECT_FALSE(fs::exists(dir / L"absent"));
    EXPECT_EQ(ReadFileBytes(dir / L"e.mvpk"), (Layout{0, metadata, {}, {}, ""}).Bytes());
    // Nor is an input written to, even under another name.
    EXPECT_EQ(ReadFileBytes(dir / L"meta.txt"), metadata);
    EXPECT_TRUE(ReadFileBytes(dir / L"twin.exe") == ReadFileBytes(BinDir() / L"setup_stub.exe"));
    EXPECT_TRUE(ReadFileBytes(dir / L"twin2.exe") == "not run");
    EXPECT_FALSE(fs::exists(dir / L"src" / L"docs" / L"Setup.exe"));
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().native().find(L".partial"), std::wstring::npos) << entry.path();
    // The header's checksum is the one the system computes for the file.
    DWORD stored = 0, computed = 1;
    EXPECT_EQ(::MapFileAndCheckSumW((dir / L"plain.exe").c_str(), &stored, &computed), 0u);
    EXPECT_EQ(stored, computed);

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

// Packed on one thread or on several, a package of several blocks is the same, byte for byte.
TEST(MvpkTool, TheSamePackageWhateverTheThreadCount) {
    TempDir dir(L"mvpk-threads");
    std::mt19937 generator(11);
    std::string noise(150000, '\0');
    for (char& c : noise)
        c = static_cast<char>(generator());
    std::string text;
    for (int i = 0; text.size() < 200000; ++i)
        text += "Ligne " + std::to_string(i * 37 % 1009) + " du guide\r\n";
    WriteFileBytes(dir / L"src/a.txt", text);
    WriteFileBytes(dir / L"src/b.bin", noise);
    WriteFileBytes(dir / L"src/c.txt", text.substr(0, 70000));
    WriteFileBytes(dir / L"meta", "Product=P\n");
    const wchar_t* counts[] = {L"1", L"3", L"8"};
    std::vector<UniqueHandle> runs;
    for (const wchar_t* threads : counts) {
        ::SetEnvironmentVariableW(L"MVPK_THREADS", threads);
        runs.push_back(StartTool(L"pack " + Quoted(dir / L"src") + L" " + Quoted(dir / L"meta") +
                                     L" " + Quoted(dir / threads) + L" --block-size 32768",
                                 dir / (std::wstring(threads) + L".run")));
    }
    ::SetEnvironmentVariableW(L"MVPK_THREADS", nullptr);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        ::WaitForSingleObject(runs[i].get(), INFINITE);
        DWORD code = 1;
        ::GetExitCodeProcess(runs[i].get(), &code);
        EXPECT_EQ(code, 0u) << ReadFileBytes(dir / (std::wstring(counts[i]) + L".run.err"));
    }
    const std::string one = ReadFileBytes(dir / L"1");
    const auto reader = mvpk::Reader::Open(AsBytes(one));
    ASSERT_TRUE(reader) << reader.error();
    EXPECT_EQ(reader->blocks().size(), 13u);
    EXPECT_TRUE(reader->Extract({}, {}));
    EXPECT_TRUE(ReadFileBytes(dir / L"3") == one);
    EXPECT_TRUE(ReadFileBytes(dir / L"8") == one);
}

// The test product's package, as the end-to-end tests install it: every block a buffer of
// the Compression API, with chunks that LZMS made smaller and chunks stored as they are.
TEST(TestProduct, PackageHoldsLzmsAndStoredChunks) {
    const std::string package = ResourceBytes(BinDir() / L"end_to_end_setup.exe", L"PAYLOAD");
    const auto reader = mvpk::Reader::Open(AsBytes(package));
    ASSERT_TRUE(reader) << reader.error();
    const auto get = [](std::string_view bytes, std::size_t at, int width) {
        std::uint64_t value = 0;
        for (int i = width - 1; i >= 0; --i)
            value = (value << 8) | static_cast<unsigned char>(bytes.at(at + i));
        return value;
    };
    int lzms = 0, stored = 0;
    for (const mvpk::PackageBlock& block : reader->blocks()) {
        const std::string_view buffer =
            std::string_view(package).substr(block.dataOffset, block.compressedSize);
        ASSERT_EQ(buffer.substr(0, 4), "\x0A\x51\xE5\xC0");
        ASSERT_EQ(get(buffer, 8, 8), block.size);
        const std::uint64_t chunkSize = get(buffer, 16, 8);
        std::size_t at = 24;
        for (std::uint64_t done = 0; done < block.size; done += chunkSize) {
            const std::uint64_t record = get(buffer, at, 4);
            ++(record == std::min(chunkSize, block.size - done) ? stored : lzms);
            at += 4 + record;
        }
        EXPECT_EQ(at, buffer.size());
    }
    EXPECT_GT(lzms, 0);
    EXPECT_GT(stored, 0);
}

} // namespace
