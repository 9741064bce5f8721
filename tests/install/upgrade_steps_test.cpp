// What an upgrade's failure at each step leaves, one row per step: before the new version is
// complete, the previous one exactly as it was; once it is, the new one without a backup.
#include "tests/support/test_support.h"

#include "install/install.h"
#include "install/registry.h"
#include "setup/text.h"
#include "uninstall/removal.h"

#include <gtest/gtest.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::map<std::wstring, std::string> kNewFiles = {{L"bin\\Orvalis.exe", std::string(120, 'y')},
                                                       {L"docs\\a.txt", std::string(80, 'c')},
                                                       {L"new\\c.txt", std::string(90, 'd')}};

struct Step {
    const char* failing;
    // The report at which the installation stops (by an exception, which every step's
    // failure path shares), or empty.
    std::wstring stopAt;
    // What makes the step fail for real, held until the installation is over.
    std::function<UniqueHandle(const ProductInfo&, const fs::path& into)> prepare;
    bool intoOther = false; // into another folder than the previous version's
    bool newVersionStands = false;
};

// A product of its own, installed per machine with a data folder, and the packages of its
// previous and new versions.
class UpgradeSteps : public ::testing::Test {
  protected:
    UpgradeSteps() {
        info = UniqueProduct(L"Orvalis Etapes");
        info.hasDataDir = true;
    }
    ~UpgradeSteps() override {
        DeleteTree(HKEY_LOCAL_MACHINE, info.registryKey);
        RemoveProduct(info, folder);
    }
    // Stopped by an exception at the report stopAt (a text, or the start of a fraction).
    std::expected<void, std::wstring> Run(const mvpk::Reader& package, const fs::path& where,
                                          const std::wstring& stopAt = L"-") {
        ComApartment apartment;
        return Install(package, info, Scope::Machine, where,
                       [&](double fraction, const std::wstring& text) {
                           if (text == stopAt || std::to_wstring(fraction).starts_with(stopAt))
                               throw std::runtime_error("stopped");
                       });
    }

    TempDir temp{L"steps"};
    ProductInfo info;
    const std::string oldBytes =
        PackFiles(temp / L"v1", {{L"bin\\Orvalis.exe", std::string(120, 'x')},
                                 {L"docs\\a.txt", std::string(80, 'a')},
                                 {L"docs\\old\\b.txt", std::string(50, 'b')}});
    const std::string newBytes = PackFiles(temp / L"v2", kNewFiles);
    const mvpk::Reader oldPackage = *mvpk::Reader::Open(std::as_bytes(std::span(oldBytes)));
    const mvpk::Reader newPackage = *mvpk::Reader::Open(std::as_bytes(std::span(newBytes)));
    const fs::path folder = temp / L"Orvalis", other = temp / L"Autre";
};

TEST_F(UpgradeSteps, WhatEachFailureLeaves) {
    const auto none = [](const ProductInfo&, const fs::path&) {
        return UniqueHandle();
    };
    const Step steps[] = {
        {"check of the data folder", L"",
         [](const ProductInfo& product, const fs::path&) {
             // Another program holds the product's folder in ProgramData, with the right to
             // delete it.
             return UniqueHandle(
                 ::CreateFileW(DataDirectory(product.product, Scope::Machine).parent_path().c_str(),
                               DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
         }},
        {"removal of the previous version", L"Suppression de la version précédente...", none},
        {"extraction", L"Copie des fichiers...", none},
        {"extraction, after its first block", L"0.31", none},
        {"uninstaller", L"Enregistrement...", none},
        {"uninstaller, into another folder", L"",
         [](const ProductInfo&, const fs::path& into) {
             fs::create_directories(into / L"Uninstall.exe");
             return UniqueHandle();
         },
         true},
        {"registration", L"",
         [](const ProductInfo& product, const fs::path&) {
             // A volatile application key, below which no lasting key can be made.
             DeleteTree(HKEY_LOCAL_MACHINE, product.registryKey);
             KeyHandle key;
             ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, product.registryKey.c_str(), 0, nullptr,
                               REG_OPTION_VOLATILE, KEY_WRITE, nullptr, key.put(), nullptr);
             return UniqueHandle();
         },
         false, true},
        {"shortcut", L"Création du raccourci...", none, false, true},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.failing);
        RemoveProduct(info, folder);
        fs::remove_all(other);
        ASSERT_TRUE(Run(oldPackage, folder));
        const auto was = Snapshot(folder);
        const UniqueHandle held = step.prepare(info, other);
        const auto failed = Run(newPackage, step.intoOther ? other : folder,
                                step.stopAt.empty() ? L"-" : step.stopAt);
        EXPECT_FALSE(failed);
        if (step.newVersionStands) {
            const auto now = Snapshot(folder);
            for (const auto& [path, bytes] : kNewFiles)
                EXPECT_EQ(now.at(path), Digest(bytes)) << WideToUtf8(path);
            EXPECT_EQ(now.count(L"docs\\old") + now.count(L"Uninstall.backup"), 0u);
            EXPECT_TRUE(now.contains(L"Uninstall.exe") && now.contains(L"Uninstall.files"));
        } else {
            EXPECT_EQ(Snapshot(folder), was);
            EXPECT_EQ(ReadStringValue(HKEY_LOCAL_MACHINE, UninstallKeyPath(info.product),
                                      L"InstallLocation"),
                      folder.native());
            // Nothing of the new version stays in the other folder either.
            for (const auto& [path, bytes] : kNewFiles)
                EXPECT_FALSE(fs::exists(other / path)) << WideToUtf8(path);
        }
    }
}

// A package cannot write where the backup goes. A run stopped before the new version was
// complete left its backup: the next run puts it back. A backup left once the new version was
// complete is deleted, by the next run or by the uninstaller.
TEST_F(UpgradeSteps, StoppedRunsBackupSettled) {
    ASSERT_TRUE(Run(oldPackage, folder));
    const auto was = Snapshot(folder);
    // A package of a product team that put a file where the backup goes is refused first.
    const std::string clash = PackFiles(temp / L"v3", {{L"uninstall.BACKUP\\x.txt", "x"}});
    EXPECT_EQ(Run(*mvpk::Reader::Open(std::as_bytes(std::span(clash))), folder).error(),
              L"Chemin réservé dans le paquet : uninstall.BACKUP\\x.txt");
    EXPECT_EQ(Snapshot(folder), was);
    // Stopped during extraction: the previous files in the backup, a new one written.
    const fs::path backup = folder / L"Uninstall.backup";
    for (const wchar_t* file : {L"bin\\Orvalis.exe", L"docs\\old\\b.txt", L"Uninstall.files"}) {
        fs::create_directories((backup / L"files" / file).parent_path());
        fs::rename(folder / file, backup / L"files" / file);
    }
    fs::remove(folder / L"docs\\old");
    WriteFileBytes(folder / L"bin\\Orvalis.exe", "partial");
    EXPECT_FALSE(Run(newPackage, folder, L"Copie des fichiers..."));
    EXPECT_EQ(Snapshot(folder), was);

    // A previous file that the upgrade could not delete (under Wine: read-only, with another
    // name) stays in the backup of the new version, which is complete: the next run deletes
    // it, never puts it back.
    const fs::path a = folder / L"docs\\a.txt", alias = temp / L"a.txt";
    ASSERT_TRUE(::SetFileAttributesW(a.c_str(), FILE_ATTRIBUTE_READONLY) &&
                ::CreateHardLinkW(alias.c_str(), a.c_str(), nullptr));
    ASSERT_TRUE(Run(newPackage, folder));
    ::SetFileAttributesW(alias.c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove(alias);
    EXPECT_FALSE(Run(newPackage, folder, L"Copie des fichiers..."));
    EXPECT_EQ(Snapshot(folder).at(L"docs\\a.txt"), Digest(kNewFiles.at(L"docs\\a.txt")));
    EXPECT_FALSE(fs::exists(backup));
    // The uninstaller takes a backup left over with the rest.
    WriteFileBytes(backup / L"files\\docs\\old\\b.txt", "previous");
    ComApartment apartment;
    EXPECT_TRUE(Uninstall(info, Scope::Machine, folder, true));
    EXPECT_FALSE(fs::exists(folder));
}

} // namespace
