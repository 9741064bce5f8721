// Upgrades of the test product that fail half-way, run as an administrator's script runs them:
// a file of the previous version held open, a package damaged in its second block, a drive too
// small, the installer killed and run again, the product running where it would go. After each,
// the previous version is there byte for byte and its own quiet uninstall removes it.
#include "tests/support/test_support.h"

#include "install/registry.h"
#include "install/running_instance.h"
#include "package/reader.h"
#include "setup/text.h"

#include <gtest/gtest.h>

#include <memory>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::wstring kProduct = L"Orvalis Mise à jour";

// The test product's files and what a version changes, made into a setup program by the
// package tool as a product team makes one.
fs::path MakeSetup(const fs::path& work, const std::wstring& version,
                   const std::vector<std::pair<std::wstring, std::string>>& changes,
                   unsigned blockSize) {
    const fs::path source = work / (L"src-" + version), program = work / (version + L".exe");
    fs::copy(BinDir().parent_path() / L"tests\\product\\stage", source,
             fs::copy_options::recursive);
    for (const auto& [file, bytes] : changes)
        WriteFileBytes(source / file, bytes);
    WriteFileBytes(work / (version + L".metadata"),
                   "Exe=Orvalis.exe\nProduct=" + WideToUtf8(kProduct) +
                       "\nPublisher=Éditions Orvalis\nRegistryKey=Software\\Orvalis Tests\\" +
                       WideToUtf8(kProduct) + "\nVersion=" + WideToUtf8(version) +
                       "\nDataDir=yes\n");
    RunProcess(Quoted(BinDir() / L"mvpk.exe") + L" build-setup " + Quoted(source) + L" " +
                   Quoted(work / (version + L".metadata")) + L" " + Quoted(program) +
                   L" --block-size " + std::to_wstring(blockSize),
               300000);
    return program;
}

// 32 MiB that take a while to write, in lines that differ from each other.
std::string LargeFile() {
    std::string bytes;
    for (unsigned line = 0; bytes.size() < (32u << 20); ++line)
        bytes += "ligne " + std::to_string(line * 7919u % 1000003u) + " de la nouvelle version\n";
    return bytes;
}

class Upgrade : public ::testing::Test {
  protected:
    // The setup programs, made once: the previous version, the new one with a file of its own
    // that comes first and blocks of 8 KiB, and the new one with a large file at the end.
    static void SetUpTestSuite() {
        programs = std::make_unique<TempDir>(L"upgrade-programs");
        previous =
            MakeSetup(programs->path(), L"1.0.0",
                      {{L"readme.txt", "version 1"}, {L"docs\\ancien.txt", "only in 1"}}, 1 << 20);
        next = MakeSetup(programs->path(), L"2.0.0",
                         {{L"readme.txt", "version 2"}, {L"Nouveautés.txt", "only in 2"}}, 8192);
        large = MakeSetup(programs->path(), L"2.1.0", {{L"zz\\gros.bin", LargeFile()}}, 1 << 20);
    }
    static void TearDownTestSuite() { programs.reset(); }
    static inline std::unique_ptr<TempDir> programs;
    static inline fs::path previous, next, large;

    const ProductInfo info = ProductOf(previous);
    TempDir temp{L"upgrade"};
    fs::path folder = temp / L"Orvalis";
    std::string said;

    void SetUp() override {
        ASSERT_EQ(info.product, kProduct) << "no setup program";
        RemoveProduct(info);
    }
    void TearDown() override {
        EndStartedProcesses();
        RemoveProduct(info, folder);
    }
    DWORD Setup(const fs::path& program, const fs::path& where) {
        return RunProcess(Quoted(program) + L" /S /CURRENTUSER /D=" + where.native(), 120000, {},
                          &said)
            .value_or(0xFFFFFFFF);
    }
    std::wstring Registered(const wchar_t* value) const {
        return ReadStringValue(HKEY_CURRENT_USER, UninstallKeyPath(info.product), value)
            .value_or(L"");
    }
    // The previous version as it was, registered, and removed whole by its quiet uninstall.
    void ExpectPreviousIntact(const fs::path& at, const std::map<std::wstring, std::string>& was) {
        EXPECT_EQ(Snapshot(at), was);
        EXPECT_EQ(Registered(L"DisplayVersion"), L"1.0.0");
        EXPECT_EQ(Registered(L"InstallLocation"), at.native());
        EXPECT_EQ(RunProcess(Registered(L"QuietUninstallString")), 0u);
        EXPECT_TRUE(Eventually([&] { return !fs::exists(at); }));
    }
};

TEST_F(Upgrade, FileHeldOpenStopsItBeforeAnythingChanges) {
    ASSERT_EQ(Setup(previous, folder), 0u);
    const auto was = Snapshot(folder);
    {
        const UniqueHandle held(::CreateFileW((folder / L"readme.txt").c_str(), GENERIC_READ, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_EQ(Setup(next, folder), 1603u);
    }
    EXPECT_TRUE(said.starts_with("Déplacement de l'ancien fichier " +
                                 WideToUtf8((folder / L"readme.txt").native()) + " : "))
        << said;
    ExpectPreviousIntact(folder, was);
}

// The new version's first files are written when its second block turns out damaged.
TEST_F(Upgrade, PackageDamagedInItsSecondBlock) {
    ASSERT_EQ(Setup(previous, folder), 0u);
    const auto was = Snapshot(folder);
    std::string bytes = ReadFileBytes(next);
    const std::string package = ResourceBytes(next, L"PAYLOAD");
    const auto reader = mvpk::Reader::Open(std::as_bytes(std::span(package)));
    const size_t at = bytes.find(package);
    ASSERT_TRUE(reader && reader->blocks().size() > 2 && at != std::string::npos);
    const mvpk::PackageBlock& second = reader->blocks()[1];
    bytes[at + second.dataOffset + second.compressedSize / 2] ^= 0x20;
    WriteFileBytes(temp / L"damaged.exe", bytes);
    EXPECT_EQ(Setup(temp / L"damaged.exe", folder), 1603u);
    ExpectPreviousIntact(folder, was);
}

TEST_F(Upgrade, DriveTooSmallForTheNewVersion) {
    const SmallVolume drive(temp / L"petit", 16);
    ASSERT_TRUE(drive.mounted()) << "no small drive: mounting a tmpfs needs the root account";
    folder = temp / L"petit\\Orvalis";
    ASSERT_EQ(Setup(previous, folder), 0u);
    const auto was = Snapshot(folder);
    EXPECT_EQ(Setup(large, folder), 1603u);
    EXPECT_TRUE(said.starts_with("Écriture impossible : zz")) << said;
    ExpectPreviousIntact(folder, was);
}

// Killed while it writes the large file; run again when the drive has too little room left,
// then again with room (the uninstaller is made from a copy of the whole setup program): the
// previous version, then the new one, each whole.
TEST_F(Upgrade, KilledThenRunAgain) {
    const SmallVolume drive(temp / L"disque", 128);
    ASSERT_TRUE(drive.mounted()) << "no small drive: mounting a tmpfs needs the root account";
    folder = temp / L"disque\\Orvalis";
    const fs::path last = folder / L"zz\\gros.bin";
    std::map<std::wstring, std::string> was;
    for (int attempt = 0;; ++attempt) {
        RemoveProduct(info, folder);
        ASSERT_EQ(Setup(previous, folder), 0u);
        was = Snapshot(folder);
        {
            ChildProcess killed(Quoted(large) + L" /S /CURRENTUSER /D=" + folder.native());
            for (const ULONGLONG end = ::GetTickCount64() + 60000;
                 !fs::exists(last) && ::GetTickCount64() < end;)
                ::Sleep(1);
        } // terminated on the way out
        std::error_code error;
        const auto size = fs::file_size(last, error);
        if (!error && size < (32u << 20) && !fs::exists(folder / L"Uninstall.files"))
            break;
        ASSERT_LT(attempt, 4) << "never killed while it extracted";
    }
    // 100 MiB of the user's own on the drive leave too little room.
    WriteFileBytes(temp / L"disque\\place.bin", std::string(100u << 20, 'u'));
    EXPECT_EQ(Setup(large, folder), 1603u);
    EXPECT_EQ(Snapshot(folder), was);
    EXPECT_EQ(Registered(L"DisplayVersion"), L"1.0.0");

    fs::remove(temp / L"disque\\place.bin");
    ASSERT_EQ(Setup(large, folder), 0u) << said;
    const auto now = Snapshot(folder);
    EXPECT_EQ(now.at(L"zz\\gros.bin"), Digest(LargeFile()));
    EXPECT_EQ(now.at(L"readme.txt"),
              Digest(ReadFileBytes(programs->path() / L"src-2.1.0\\readme.txt")));
    EXPECT_EQ(now.count(L"docs\\ancien.txt") + now.count(L"Uninstall.backup"), 0u);
    EXPECT_EQ(Registered(L"DisplayVersion"), L"2.1.0");
    EXPECT_EQ(RunProcess(Registered(L"QuietUninstallString")), 0u);
    EXPECT_TRUE(Eventually([&] { return !fs::exists(folder); }));
}

// The product running from the folder asked for, or from the previous installation's, refuses
// the installation before either folder changes.
TEST_F(Upgrade, RefusedWhileTheProductRunsWithNothingChanged) {
    const fs::path other = temp / L"Autre";
    ASSERT_EQ(Setup(previous, folder), 0u);
    WriteFileBytes(other / L"mine.txt", "the user's");
    fs::copy_file(BinDir() / L"orvalis_product.exe", other / L"Orvalis.exe");
    const auto was = Snapshot(folder), otherWas = Snapshot(other);
    const std::string running =
        WideToUtf8(kProduct + L" est en cours d'exécution : fermez-le puis recommencez.\r\n");
    for (const fs::path& from : {other, folder}) {
        ChildProcess product(Quoted(from / L"Orvalis.exe"), from);
        ASSERT_TRUE(Eventually([&] { return !FindRunningInstance(info, from).empty(); }));
        EXPECT_EQ(Setup(next, other), 1603u);
        EXPECT_EQ(said, running);
        EXPECT_EQ(Snapshot(folder), was);
        EXPECT_EQ(Snapshot(other), otherWas);
    }
    ExpectPreviousIntact(folder, was);
}

} // namespace
