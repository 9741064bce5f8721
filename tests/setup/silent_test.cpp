// The real setup program of the test product, run as an administrator's script runs it, and
// everything checked from outside: files, registry value by value, shortcut, data directory;
// then taken off again by its registered quiet uninstall command, run exactly as stored.
#include "tests/support/system_probe.h"
#include "tests/support/test_support.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "package/reader.h"
#include "setup/format.h"
#include "setup/paths.h"
#include "setup/text.h"

#include <gtest/gtest.h>

#include <knownfolders.h>

#include <cstring>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

fs::path SetupProgram() {
    return BinDir() / L"silent_setup.exe";
}

// The UTC date, read otherwise than the program reads it.
std::wstring Today() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    wchar_t text[16];
    swprintf(text, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    return text;
}

// A time zone in which the local date is not the UTC date at this hour (two hours and more
// west before noon UTC, east after), so that a date taken from local time shows.
std::wstring ShiftedTimeZone() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return now.wHour < 12 ? txt::format(L"AAA{}", now.wHour + 2)
                          : txt::format(L"BBB-{}", 26 - now.wHour);
}

class Silent : public ::testing::Test {
  protected:
    const ProductInfo info = ProductOf(SetupProgram());
    TempDir temp{L"silent"};

    void SetUp() override {
        ASSERT_EQ(info.exe, L"Orvalis.exe") << "no product description in the setup program";
        Clean();
    }
    void TearDown() override { Clean(); }
    void Clean() {
        for (Scope scope : {Scope::Machine, Scope::User})
            RemoveProduct(info, DefaultInstallFolder(info.product, scope));
    }

    static DWORD Run(const std::wstring& commandLine, const fs::path& folder = {}) {
        EnvironmentOverride timeZone(L"TZ", ShiftedTimeZone());
        return RunProcess(commandLine, 240000, folder).value_or(0xFFFFFFFF);
    }
    static DWORD Setup(const std::wstring& switches, const fs::path& program = SetupProgram()) {
        return Run(Quoted(program) + switches);
    }
    std::wstring Registered(Scope scope, const wchar_t* value) const {
        return ReadStringValue(HiveFor(scope), UninstallKeyPath(info.product), value).value_or(L"");
    }

    // Everything an installation writes, value by value, in the scope's hive; with alone, the
    // other hive holds nothing of the product.
    void ExpectInstalled(Scope scope, const fs::path& folder, bool alone) {
        SCOPED_TRACE(WideToUtf8(folder.native()));
        const std::string package = ResourceBytes(SetupProgram(), L"PAYLOAD");
        const auto reader = mvpk::Reader::Open(std::as_bytes(std::span(package)));
        ASSERT_TRUE(reader && reader->entries().size() > 4);
        std::string list;
        for (const auto& entry : reader->entries()) {
            const fs::path path = Utf8ToWide(entry.path);
            EXPECT_EQ(ReadFileBytes(folder / path),
                      ReadFileBytes(BinDir().parent_path() / L"tests\\product\\stage" / path));
            list += entry.path + "\r\n";
        }
        EXPECT_EQ(ReadFileBytes(folder / L"Uninstall.files"),
                  list + "Uninstall.exe\r\nUninstall.files\r\n");
        EXPECT_EQ(ProductOf(folder / L"Uninstall.exe").product, info.product);

        const HKEY hive = HiveFor(scope);
        const HKEY other = HiveFor(scope == Scope::Machine ? Scope::User : Scope::Machine);
        const std::wstring entry = UninstallKeyPath(info.product);
        const std::wstring record = info.registryKey + L"\\Install";
        const std::wstring exe = JoinPath(folder, L"Orvalis.exe").native();
        const std::wstring command = L"\"" + JoinPath(folder, L"Uninstall.exe").native() +
                                     L"\" /UNINSTALL" +
                                     (scope == Scope::Machine ? L" /ALLUSERS" : L" /CURRENTUSER");
        const fs::path data = DataDirectory(info.product, scope);
        const std::pair<std::wstring, std::wstring> strings[] = {
            {entry + L"|DisplayName", info.product},
            {entry + L"|DisplayVersion", L"2.5.0"},
            {entry + L"|Publisher", L"\u00C9ditions Orvalis"},
            {entry + L"|URLInfoAbout", L"https://orvalis.example/"},
            {entry + L"|DisplayIcon", exe + L",0"},
            {entry + L"|InstallLocation", folder.native()},
            {entry + L"|UninstallString", command},
            {entry + L"|QuietUninstallString", command + L" /S"},
            {entry + L"|InstallDate", Today()},
            {record + L"|InstallDir", folder.native()},
            {record + L"|DataDir", data.native()},
            {record + L"|Scope", scope == Scope::Machine ? L"machine" : L"user"},
            {record + L"|Version", L"2.5.0"},
        };
        for (const auto& [where, expected] : strings) {
            const size_t bar = where.find(L'|');
            EXPECT_EQ(ReadStringValue(hive, where.substr(0, bar), where.c_str() + bar + 1),
                      expected)
                << WideToUtf8(where);
        }
        EXPECT_EQ(ReadDwordValue(hive, entry, L"NoModify"), 1u);
        EXPECT_EQ(ReadDwordValue(hive, entry, L"NoRepair"), 1u);
        EXPECT_EQ(ReadDwordValue(hive, entry, L"EstimatedSize"),
                  static_cast<DWORD>(reader->totalSize() / 1024));
        EXPECT_TRUE(!alone || (!KeyExists(other, entry) && !KeyExists(other, record)));

        for (const FileType& type : info.fileTypes) {
            const std::wstring progId =
                info.product + L"." +
                (type.extension[0] == L'.' ? type.extension.substr(1) : type.extension);
            const std::wstring classes = L"Software\\Classes\\";
            EXPECT_EQ(ReadStringValue(hive, classes + progId, nullptr), type.description);
            EXPECT_EQ(ReadStringValue(hive, classes + progId + L"\\DefaultIcon", nullptr),
                      L"\"" + exe + L"\",0");
            EXPECT_EQ(ReadStringValue(hive, classes + progId + L"\\shell\\open\\command", nullptr),
                      L"\"" + exe + L"\" \"%1\"");
            EXPECT_EQ(ReadStringValue(hive, classes + type.extension, nullptr), progId);
            EXPECT_EQ(ReadStringValue(hive, classes + type.extension + L"\\OpenWithProgids",
                                      progId.c_str()),
                      L"");
            EXPECT_TRUE(!alone || !KeyExists(other, classes + progId));
        }

        ComApartment apartment;
        const auto programs =
            KnownFolderPath(scope == Scope::Machine ? FOLDERID_CommonPrograms : FOLDERID_Programs);
        const auto shortcut = LoadShortcut(programs / (info.product + L".lnk"));
        ASSERT_TRUE(shortcut) << "no shortcut";
        EXPECT_EQ(shortcut->target, exe);
        EXPECT_EQ(shortcut->workingDirectory, folder.native());
        EXPECT_EQ(shortcut->description, info.product);
        EXPECT_EQ(shortcut->iconPath, exe);
        EXPECT_EQ(shortcut->iconIndex, 0);
        EXPECT_TRUE(fs::is_directory(data));
    }
};

TEST_F(Silent, BothScopesSideBySide) {
    const fs::path machine = temp / L"Tous les programmes\\Orvalis";
    ASSERT_EQ(Setup(L" /S /ALLUSERS /D=" + machine.native()), 0u);
    ExpectInstalled(Scope::Machine, machine, true);

    // No /D= and nothing recorded: the user's own program folder, which Windows places in the
    // local application data folder when the system does not name it.
    ASSERT_EQ(Setup(L" /S /CURRENTUSER"), 0u);
    auto programs = KnownFolderPath(FOLDERID_UserProgramFiles);
    if (programs.empty())
        programs = KnownFolderPath(FOLDERID_LocalAppData) / L"Programs";
    ExpectInstalled(Scope::User, programs / info.product, false);
    EXPECT_EQ(Registered(Scope::Machine, L"InstallLocation"), machine.native());
}

TEST_F(Silent, AgainThenUpgradeElsewhere) {
    const fs::path first = temp / L"Ancien", second = temp / L"Nouveau";
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + first.native()), 0u);
    WriteFileBytes(first / L"assets\\images\\mine.txt", "user data");
    // Without /D= the recorded folder; the user's file stays.
    ASSERT_EQ(Setup(L" /S /CURRENTUSER"), 0u);
    ExpectInstalled(Scope::User, first, true);

    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + second.native()), 0u);
    ExpectInstalled(Scope::User, second, true);
    // The old folder lost its recorded files and the folders they left empty, nothing else.
    EXPECT_EQ(ReadFileBytes(first / L"assets\\images\\mine.txt"), "user data");
    for (const wchar_t* gone : {L"Orvalis.exe", L"Uninstall.exe", L"Uninstall.files", L"readme.txt",
                                L"assets\\images\\pattern.bin", L"docs"})
        EXPECT_FALSE(fs::exists(first / gone)) << WideToUtf8(gone);
}

TEST_F(Silent, RefusedWhileTheProductRuns) {
    const fs::path folder = temp / L"Orvalis";
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + folder.native()), 0u);
    const std::string list = ReadFileBytes(folder / L"Uninstall.files");
    ChildProcess product(Quoted(folder / L"Orvalis.exe"), folder);
    ASSERT_TRUE(product.started());
    // From the install folder, and from the previous folder before it loses anything.
    EXPECT_EQ(Setup(L" /S /CURRENTUSER /D=" + folder.native()), 1603u);
    EXPECT_EQ(Setup(L" /S /CURRENTUSER /D=" + (temp / L"Ailleurs").native()), 1603u);
    EXPECT_FALSE(fs::exists(temp / L"Ailleurs"));
    EXPECT_EQ(ReadFileBytes(folder / L"Uninstall.files"), list);
    // Nor is it uninstalled; the clean-up still takes the temporary copy.
    const fs::path copies = temp / L"copies";
    fs::create_directories(copies);
    {
        EnvironmentOverride tmp(L"TMP", copies.native()), tempVariable(L"TEMP", copies.native());
        EXPECT_EQ(Run(Registered(Scope::User, L"QuietUninstallString")), 1603u);
    }
    EXPECT_TRUE(Eventually([&] { return fs::is_empty(copies); }));
    product.Terminate();
    ExpectInstalled(Scope::User, folder, true);
}

TEST_F(Silent, QuietUninstallOfEitherScope) {
    const fs::path machine = temp / L"Tous", user = temp / L"Moi";
    ASSERT_EQ(Setup(L" /S /ALLUSERS /D=" + machine.native()), 0u);
    ASSERT_EQ(Setup(L" /S /CURRENTUSER /D=" + user.native()), 0u);
    const fs::path data = DataDirectory(info.product, Scope::User);
    WriteFileBytes(data / L"downloads\\one.bin", "downloaded");
    WriteFileBytes(user / L"docs\\guide\\mine.txt", "the user's");
    // Another program has since taken the first extension and opens the second one too, and
    // the user keeps a setting in the product's key.
    const HKEY hive = HKEY_CURRENT_USER;
    const std::wstring taken = L"Software\\Classes\\" + info.fileTypes[0].extension;
    const std::wstring shared = L"Software\\Classes\\" + info.fileTypes[1].extension;
    WriteStringValue(hive, taken, nullptr, L"Other.Program");
    WriteStringValue(hive, shared + L"\\OpenWithProgids", L"Other.Program", L"");
    WriteStringValue(hive, info.registryKey, L"Theme", L"dark");

    EXPECT_EQ(Run(Registered(Scope::User, L"QuietUninstallString") + L" /REMOVEDATA"), 0u);
    EXPECT_FALSE(fs::exists(data.parent_path()));
    EXPECT_TRUE(Eventually([&] { return !fs::exists(user / L"Uninstall.exe"); }));
    // Only the user's file and the folders holding it stay.
    EXPECT_EQ(ReadFileBytes(user / L"docs\\guide\\mine.txt"), "the user's");
    for (const wchar_t* gone :
         {L"Orvalis.exe", L"Uninstall.files", L"assets", L"docs\\empty.txt", L"docs\\guide\\deep"})
        EXPECT_FALSE(fs::exists(user / gone)) << WideToUtf8(gone);
    EXPECT_FALSE(fs::exists(ShortcutPath(info, Scope::User)));
    EXPECT_FALSE(KeyExists(hive, UninstallKeyPath(info.product)));
    EXPECT_FALSE(KeyExists(hive, info.registryKey + L"\\Install"));
    EXPECT_EQ(ReadStringValue(hive, info.registryKey, L"Theme"), L"dark");
    EXPECT_EQ(ReadStringValue(hive, taken, nullptr), L"Other.Program");
    EXPECT_EQ(ReadStringValue(hive, shared + L"\\OpenWithProgids", L"Other.Program"), L"");
    EXPECT_FALSE(ReadStringValue(hive, shared, nullptr));
    for (const FileType& type : info.fileTypes) {
        const std::wstring progId = MakeProgId(info.product, type.extension);
        EXPECT_FALSE(KeyExists(hive, L"Software\\Classes\\" + progId));
        EXPECT_FALSE(ReadStringValue(
            hive, L"Software\\Classes\\" + type.extension + L"\\OpenWithProgids", progId.c_str()));
    }
    // The other scope's installation is untouched.
    ExpectInstalled(Scope::Machine, machine, false);

    // Without its list no file goes, the rest does. A folder given to the first stage is
    // ignored: its own folder is the one taken off.
    fs::remove(machine / L"Uninstall.files");
    WriteFileBytes(temp / L"Elsewhere\\Uninstall.exe", "not this one");
    EXPECT_EQ(Run(Registered(Scope::Machine, L"QuietUninstallString") + L" /D=" +
                  (temp / L"Elsewhere").native()),
              0u);
    EXPECT_TRUE(Eventually([&] { return !fs::exists(machine / L"Uninstall.exe"); }));
    EXPECT_TRUE(fs::exists(machine / L"Orvalis.exe"));
    EXPECT_FALSE(fs::exists(ShortcutPath(info, Scope::Machine)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKeyPath(info.product)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, info.registryKey));
    EXPECT_TRUE(fs::exists(DataDirectory(info.product, Scope::Machine)));
    EXPECT_EQ(ReadFileBytes(temp / L"Elsewhere\\Uninstall.exe"), "not this one");
}

TEST_F(Silent, DamagedAndIncompletePrograms) {
    // A file's bytes flipped in the package (the test prefix's stand-in stores blocks as
    // they are): refused before anything is registered.
    std::string bytes = ReadFileBytes(SetupProgram());
    const std::string pattern = ReadFileBytes(
        BinDir().parent_path() / L"tests\\product\\stage\\assets\\images\\pattern.bin");
    const size_t at = bytes.find(pattern.substr(0, 4096));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 1000] ^= 0x20;
    WriteFileBytes(temp / L"damaged.exe", bytes);
    EXPECT_EQ(Setup(L" /S /CURRENTUSER /D=" + (temp / L"Orvalis").native(), temp / L"damaged.exe"),
              1603u);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(info.product)));
    EXPECT_FALSE(fs::exists(temp / L"Orvalis\\Uninstall.exe"));

    // A relative folder would install below wherever the program was started.
    EXPECT_EQ(Run(Quoted(SetupProgram()) + L" /S /CURRENTUSER /D=Relatif", temp.path()), 1603u);
    EXPECT_FALSE(fs::exists(temp / L"Relatif"));

    // Without a product description: a product named "Application".
    CopyStubWith(temp / L"bare.exe", L"PAYLOAD", ResourceBytes(SetupProgram(), L"PAYLOAD"));
    EXPECT_EQ(Setup(L" /S /CURRENTUSER /D=" + (temp / L"Application").native(), temp / L"bare.exe"),
              0u);
    EXPECT_TRUE(fs::exists(temp / L"Application\\Orvalis.exe"));
    EXPECT_EQ(ReadStringValue(HKEY_CURRENT_USER, UninstallKeyPath(L"Application"), L"DisplayName"),
              L"Application");
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software\\Morvanti\\Application\\Install"));
    RemoveProduct(ProductInfo{});

    // Without a package: silently 1603; otherwise a message box first.
    const fs::path stub = BinDir() / L"setup_stub.exe";
    EXPECT_EQ(Setup(L" /S /CURRENTUSER", stub), 1603u);
    ChildProcess shown(Quoted(stub));
    const HWND box = WaitForProcessWindow(shown.id(), L"Installation");
    ASSERT_NE(box, nullptr) << "no message box";
    EXPECT_EQ(MessageText(box), L"Ce programme d'installation est incomplet ou endommagé :\n"
                                L"Paquet MVPK invalide (signature)");
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(shown.Wait(30000), 1603u);
    // /UNINSTALL never looks at the package, /S or not.
    fs::copy_file(stub, temp / L"Uninstall.exe");
    EXPECT_EQ(Setup(L" /S /UNINSTALL /CURRENTUSER", temp / L"Uninstall.exe"), 0u);
}

// The program file itself: a 64-bit GUI program whose resources are language neutral, with a
// manifest that asks for no elevation and binds the common controls version 6.
TEST(SetupProgramFile, ImageAndResources) {
    const std::string bytes = ReadFileBytes(SetupProgram());
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS64 nt;
    std::memcpy(&dos, bytes.data(), sizeof(dos));
    std::memcpy(&nt, bytes.data() + dos.e_lfanew, sizeof(nt));
    EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);

    const ModuleHandle module(
        ::LoadLibraryExW(SetupProgram().c_str(), nullptr,
                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    for (auto [type, name] : {std::pair{RT_RCDATA, L"METADATA"},
                              {RT_RCDATA, L"PAYLOAD"},
                              {RT_DIALOG, MAKEINTRESOURCEW(100)},
                              {RT_GROUP_ICON, MAKEINTRESOURCEW(1)}})
        EXPECT_NE(::FindResourceExW(module.get(), type, name, neutral), nullptr);
    const HRSRC manifest =
        ::FindResourceExW(module.get(), RT_MANIFEST, MAKEINTRESOURCEW(1), neutral);
    ASSERT_NE(manifest, nullptr);
    const std::string xml(
        static_cast<const char*>(::LockResource(::LoadResource(module.get(), manifest))),
        ::SizeofResource(module.get(), manifest));
    for (const char* part : {"level=\"asInvoker\"", ">PerMonitorV2<",
                             "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""})
        EXPECT_NE(xml.find(part), std::string::npos) << part;
}

} // namespace
