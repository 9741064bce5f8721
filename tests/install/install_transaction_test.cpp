// The install transaction on packages built in the test: its progress plan, its failures and
// what a previous installation of the same scope (and only that scope) loses.
#include "install/install.h"
#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/handles.h"
#include "setup/text.h"
#include "tests/package/package_builder.h"
#include "tests/support/system_probe.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using namespace testing_support;
using package_testing::AsBytes;
using package_testing::MakeLayout;
namespace fs = std::filesystem;

namespace {

using Report = std::pair<double, std::wstring>;

class InstallTransaction : public ::testing::Test {
  protected:
    void SetUp() override {
        info.product = UniqueName(L"Orvalis Transaction");
        info.exe = L"Orvalis.exe";
        info.version = L"1.0";
        info.registryKey = L"Software\\Orvalis Tests\\" + info.product;
    }
    void TearDown() override { RemoveRegistration(info); }

    // Opens a package made from files, the stream cut into blocks of the given sizes.
    const mvpk::Reader& Package(const std::vector<package_testing::SourceFile>& files,
                                std::vector<std::uint64_t> blockSizes) {
        bytes = MakeLayout(files, std::move(blockSizes)).Bytes();
        auto opened = mvpk::Reader::Open(AsBytes(bytes));
        EXPECT_TRUE(opened) << (opened ? "" : opened.error());
        reader.emplace(std::move(*opened));
        return *reader;
    }

    std::expected<void, std::wstring> Run(Scope scope, const fs::path& folder) {
        reports.clear();
        ComApartment apartment;
        return Install(*reader, info, scope, folder,
                       [this](double fraction, const std::wstring& text) {
                           reports.emplace_back(fraction, text);
                       });
    }

    void ExpectReports(const std::vector<Report>& expected) {
        ASSERT_EQ(reports.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_NEAR(reports[i].first, expected[i].first, 1e-12) << "report " << i;
            EXPECT_EQ(reports[i].second, expected[i].second) << "report " << i;
        }
    }

    ProductInfo info;
    TempDir temp{L"transaction"};
    std::string bytes;
    std::optional<mvpk::Reader> reader;
    std::vector<Report> reports;
};

const std::vector<package_testing::SourceFile> kFiles{
    {"Orvalis.exe", std::string(120, 'x')},
    {"docs\\a.txt", std::string(80, 'a')},
    {"docs\\deep\\b.txt", std::string(50, 'b')},
};

TEST_F(InstallTransaction, FirstThenRepeatedInstallationReportTheirPlan) {
    Package(kFiles, {100, 100, 50});
    const fs::path folder = temp / L"Orvalis";
    ASSERT_TRUE(Run(Scope::User, folder));
    const std::wstring copying = L"Copie des fichiers...";
    std::vector<Report> plan{{0.0, copying},
                             {0.36, copying},
                             {0.72, copying},
                             {0.9, copying},
                             {0.92, L"Enregistrement..."},
                             {0.97, L"Création du raccourci..."},
                             {1.0, info.product + L" est installé."}};
    ExpectReports(plan);

    ASSERT_TRUE(Run(Scope::User, folder));
    plan.insert(plan.begin(), {0.0, L"Suppression de la version précédente..."});
    ExpectReports(plan);
    EXPECT_EQ(ReadFileBytes(folder / L"docs\\deep\\b.txt"), std::string(50, 'b'));
}

TEST_F(InstallTransaction, EmptyPackageHasNoByteReport) {
    Package({}, {});
    ASSERT_TRUE(Run(Scope::User, temp / L"Vide"));
    ExpectReports({{0.0, L"Copie des fichiers..."},
                   {0.92, L"Enregistrement..."},
                   {0.97, L"Création du raccourci..."},
                   {1.0, info.product + L" est installé."}});
}

TEST_F(InstallTransaction, AlteredFileStopsBeforeRegistration) {
    auto layout = MakeLayout(kFiles, {100, 100, 50});
    layout.files[1].sha256[7] ^= 0x01;
    bytes = layout.Bytes();
    auto opened = mvpk::Reader::Open(AsBytes(bytes));
    ASSERT_TRUE(opened);
    reader.emplace(std::move(*opened));

    const fs::path folder = temp / L"Orvalis";
    const auto result = Run(Scope::User, folder);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), L"Fichier altéré : docs\\a.txt");
    // The file before it stays; no uninstaller, list or registration follows.
    EXPECT_TRUE(fs::exists(folder / L"Orvalis.exe"));
    EXPECT_FALSE(fs::exists(folder / L"Uninstall.exe"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(info.product)));
}

TEST_F(InstallTransaction, EmptyFolderCannotBeCreated) {
    Package(kFiles, {250});
    const auto result = Run(Scope::User, fs::path());
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().starts_with(L"Création du dossier  : "));
    EXPECT_GT(result.error().size(), std::wstring(L"Création du dossier  : ").size());
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(info.product)));
}

TEST_F(InstallTransaction, OtherScopeIsNoPreviousInstallation) {
    Package(kFiles, {250});
    const fs::path machineFolder = temp / L"Tous";
    const fs::path userFolder = temp / L"Moi";
    ASSERT_TRUE(Run(Scope::Machine, machineFolder));
    ASSERT_TRUE(Run(Scope::User, userFolder));
    EXPECT_NE(reports.front().second, L"Suppression de la version précédente...");
    EXPECT_TRUE(fs::exists(machineFolder / L"docs\\a.txt"));
    EXPECT_TRUE(fs::exists(machineFolder / L"Uninstall.files"));
    EXPECT_EQ(FindInstallLocation(info, Scope::Machine), machineFolder);
    EXPECT_EQ(FindInstallLocation(info, Scope::User), userFolder);
}

TEST_F(InstallTransaction, EmptyRecordedFolderRemovesNothingFromTheCurrentFolder) {
    Package(kFiles, {250});
    // A recorded but empty InstallLocation, and a file that a removal relative to the
    // current folder would hit.
    auto key = CreateRegistryKey(HKEY_CURRENT_USER, UninstallKeyPath(info.product));
    ASSERT_TRUE(key);
    SetRegistryString(key->get(), L"InstallLocation", L"");
    WriteFileBytes(temp / L"Uninstall.files", "docs\\a.txt\r\n");
    WriteFileBytes(temp / L"docs\\a.txt", "not the product's");
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ::SetCurrentDirectoryW(temp.path().c_str());
    const auto result = Run(Scope::User, temp / L"Orvalis");
    ::SetCurrentDirectoryW(previous);
    ASSERT_TRUE(result);
    EXPECT_EQ(ReadFileBytes(temp / L"docs\\a.txt"), "not the product's");
    EXPECT_NE(reports.front().second, L"Suppression de la version précédente...");
}

} // namespace

namespace {

TEST_F(InstallTransaction, ExceptionsLeavingTheWorkBecomeFailureTexts) {
    Package(kFiles, {250});
    ComApartment apartment;
    // Whatever throws inside the installation (here the progress callback) ends it with a
    // text instead of ending the process.
    const auto failed = Install(*reader, info, Scope::User, temp / L"Orvalis",
                                [](double fraction, const std::wstring&) {
                                    if (fraction > 0.5)
                                        throw std::runtime_error("BCrypt SHA-256 indisponible");
                                });
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), L"BCrypt SHA-256 indisponible");

    const auto noMemory = Install(*reader, info, Scope::User, temp / L"Orvalis",
                                  [](double, const std::wstring&) { throw std::bad_alloc(); });
    ASSERT_FALSE(noMemory);
    EXPECT_EQ(noMemory.error(), L"Mémoire insuffisante");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(info.product)));
}

// Breaks the user's local application data folder for the scope of the holder: every
// program of the prefix then fails to resolve it, so the test that uses it runs alone.
class UnresolvableLocalAppData {
  public:
    UnresolvableLocalAppData() {
        const auto value = ReadValue(HKEY_CURRENT_USER, kKey, L"Local AppData");
        if (value)
            previous_ = value->bytes;
        Write(L"Q:\\nowhere\\Local");
    }
    ~UnresolvableLocalAppData() {
        KeyHandle key;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
            ::RegSetValueExW(key.get(), L"Local AppData", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE*>(previous_.data()),
                             static_cast<DWORD>(previous_.size()));
    }

  private:
    static constexpr const wchar_t* kKey =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    void Write(const std::wstring& folder) {
        KeyHandle key;
        if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS)
            ::RegSetValueExW(key.get(), L"Local AppData", 0, REG_EXPAND_SZ,
                             reinterpret_cast<const BYTE*>(folder.c_str()),
                             static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    }
    std::string previous_;
};

TEST_F(InstallTransaction, AloneUnresolvableDataFolderIsNeitherCreatedNorRecorded) {
    Package(kFiles, {250});
    info.hasDataDir = true;
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ::SetCurrentDirectoryW(temp.path().c_str());
    std::expected<void, std::wstring> result;
    {
        UnresolvableLocalAppData broken;
        ASSERT_TRUE(DataDirectory(info.product, Scope::User).is_relative());
        result = Run(Scope::User, temp / L"Orvalis");
    }
    ::SetCurrentDirectoryW(previous);
    ASSERT_TRUE(result) << WideToUtf8(result.error());
    EXPECT_FALSE(fs::exists(temp / info.product));
    EXPECT_FALSE(ReadStringValue(HKEY_CURRENT_USER, info.registryKey + L"\\Install", L"DataDir"));
}

} // namespace
