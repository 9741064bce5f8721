// The real setup program of the test product, run as an administrator's script runs it and
// as a user answers its uninstaller, everything checked from outside: files, registry value
// by value, shortcut, data directory, windows and exit codes. Then another user of the
// machine prepares the ground: links in folders users may write to, programs planted under the
// system's names, a product running through a link, an uninstaller started from elsewhere.
#include "tests/support/test_support.h"

#include "install/registry.h"
#include "install/running_instance.h"
#include "install/shortcut.h"
#include "package/reader.h"
#include "setup/format.h"
#include "setup/paths.h"
#include "setup/text.h"

#include <gtest/gtest.h>

#include <knownfolders.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// The UTC date, read otherwise than the program reads it.
std::wstring Today() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return std::to_wstring(now.wYear * 10000 + now.wMonth * 100 + now.wDay);
}

// A time zone in which the local date is not the UTC date at this hour (two hours and more
// west before noon UTC, east after), so that a date taken from local time shows.
std::wstring ShiftedTimeZone() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return now.wHour < 12 ? txt::format(L"AAA{}", now.wHour + 2)
                          : txt::format(L"BBB-{}", 26 - now.wHour);
}

class EndToEnd : public ::testing::Test {
  protected:
    const fs::path setup = BinDir() / L"end_to_end_setup.exe";
    const ProductInfo info = ProductOf(setup);
    TempDir temp{L"e2e"};
    fs::path folder = temp / L"Orvalis";
    const std::wstring running =
        info.product + L" est en cours d'exécution : fermez-le puis recommencez.";
    // Ended with the test at the latest: a window left open would keep the test run waiting.
    std::unique_ptr<ChildProcess> secondStage;

    void SetUp() override {
        ASSERT_EQ(info.exe, L"Orvalis.exe") << "no product description";
        RemoveProduct(info);
    }
    void TearDown() override {
        EndStartedProcesses();
        RemoveProduct(info, folder);
    }
    // Started as a deployment tool starts it: what it says on its standard error is kept.
    DWORD Run(const std::wstring& commandLine, const fs::path& currentFolder = {}) {
        EnvironmentOverride timeZone(L"TZ", ShiftedTimeZone());
        return RunProcess(commandLine, 60000, currentFolder, &said).value_or(0xFFFFFFFF);
    }
    std::string said;
    DWORD Setup(const std::wstring& switches) { return Run(Quoted(setup) + switches); }
    // Started as a user starts it: the text of the message box it shows, which is then closed;
    // the program must end with 1603.
    std::wstring FailureBox(const std::wstring& commandLine) {
        ChildProcess shown(commandLine);
        const HWND box = WaitForProcessWindow(shown.id(), L"Installation");
        EXPECT_NE(box, nullptr) << "no message box";
        const std::wstring text = box ? MessageText(box) : L"";
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(shown.Wait(30000), 1603u);
        return text;
    }
    DWORD Install(Scope scope, const fs::path& where) {
        return Setup((scope == Scope::User ? L" /S /CURRENTUSER /D=" : L" /S /ALLUSERS /D=") +
                     where.native());
    }
    std::wstring Registered(Scope scope, const wchar_t* value) const {
        return ReadStringValue(HiveFor(scope), UninstallKeyPath(info.product), value).value_or(L"");
    }
    fs::path Stage(const fs::path& file) const {
        return BinDir().parent_path() / L"tests\\product\\stage" / file;
    }

    // Everything an installation writes, value by value, in the scope's hive; with alone, the
    // other hive holds nothing of the product.
    void ExpectInstalled(Scope scope, const fs::path& at, bool alone) {
        SCOPED_TRACE(WideToUtf8(at.native()));
        const std::string package = ResourceBytes(setup, L"PAYLOAD");
        const auto reader = mvpk::Reader::Open(std::as_bytes(std::span(package)));
        ASSERT_TRUE(reader && reader->entries().size() > 4);
        std::string list;
        for (const auto& entry : reader->entries()) {
            EXPECT_EQ(ReadFileBytes(at / Utf8ToWide(entry.path)),
                      ReadFileBytes(Stage(Utf8ToWide(entry.path))));
            list += entry.path + "\r\n";
        }
        EXPECT_EQ(ReadFileBytes(at / L"Uninstall.files"),
                  list + "Uninstall.exe\r\nUninstall.files\r\n");
        EXPECT_EQ(ProductOf(at / L"Uninstall.exe").product, info.product);

        // The places as Windows documents them, not as the program computes them.
        const HKEY hive = scope == Scope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER,
                   other = scope == Scope::Machine ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        const std::wstring uninstall =
            L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + info.product;
        const std::wstring record = info.registryKey + L"\\Install";
        const std::wstring exe = (at / L"Orvalis.exe").native();
        const std::wstring command = L"\"" + (at / L"Uninstall.exe").native() + L"\" /UNINSTALL" +
                                     (scope == Scope::Machine ? L" /ALLUSERS" : L" /CURRENTUSER");
        const fs::path data = KnownFolderPath(scope == Scope::Machine ? FOLDERID_ProgramData
                                                                      : FOLDERID_LocalAppData) /
                              info.product / L"Data";
        std::vector<std::pair<std::wstring, std::wstring>> strings = {
            {uninstall + L"|DisplayName", info.product},
            {uninstall + L"|DisplayVersion", L"2.5.0"},
            {uninstall + L"|Publisher", L"\u00C9ditions Orvalis"},
            {uninstall + L"|URLInfoAbout", L"https://orvalis.example/"},
            {uninstall + L"|DisplayIcon", exe + L",0"},
            {uninstall + L"|InstallLocation", at.native()},
            {uninstall + L"|UninstallString", command},
            {uninstall + L"|QuietUninstallString", command + L" /S"},
            {uninstall + L"|InstallDate", Today()},
            {record + L"|InstallDir", at.native()},
            {record + L"|DataDir", data.native()},
            {record + L"|Scope", scope == Scope::Machine ? L"machine" : L"user"},
            {record + L"|Version", L"2.5.0"}};
        for (const FileType& type : info.fileTypes) {
            const std::wstring classes = L"Software\\Classes\\";
            const std::wstring progId =
                info.product + L"." + type.extension.substr(type.extension[0] == L'.');
            strings.insert(
                strings.end(),
                {{classes + progId + L"|", type.description},
                 {classes + progId + L"\\DefaultIcon|", L"\"" + exe + L"\",0"},
                 {classes + progId + L"\\shell\\open\\command|", L"\"" + exe + L"\" \"%1\""},
                 {classes + type.extension + L"|", progId},
                 {classes + type.extension + L"\\OpenWithProgids|" + progId, L""}});
        }
        for (const auto& [where, expected] : strings) {
            const size_t bar = where.find(L'|');
            const std::wstring key = where.substr(0, bar), name = where.substr(bar + 1);
            EXPECT_EQ(ReadStringValue(hive, key, name.empty() ? nullptr : name.c_str()), expected)
                << WideToUtf8(where);
            EXPECT_TRUE(!alone || !KeyExists(other, key)) << WideToUtf8(key);
        }
        for (const auto& [name, value] :
             {std::pair{L"NoModify", 1u},
              {L"NoRepair", 1u},
              {L"EstimatedSize", static_cast<unsigned>(reader->totalSize() / 1024)}}) {
            DWORD number = 0, size = sizeof(number);
            EXPECT_EQ(::RegGetValueW(hive, uninstall.c_str(), name, RRF_RT_REG_DWORD, nullptr,
                                     &number, &size),
                      ERROR_SUCCESS);
            EXPECT_EQ(number, value) << name;
        }

        ComApartment apartment;
        const auto programs =
            KnownFolderPath(scope == Scope::Machine ? FOLDERID_CommonPrograms : FOLDERID_Programs);
        EXPECT_EQ(ShortcutFields(programs / (info.product + L".lnk")),
                  exe + L"|" + at.native() + L"|" + info.product + L"|" + exe + L"|0");
        EXPECT_TRUE(fs::is_directory(data));
    }

    // The interactive uninstaller: its first stage ends as soon as the second one, the
    // temporary copy that shows every window, has started. Returns the confirmation.
    HWND StartUninstaller() {
        EXPECT_EQ(Run(Registered(Scope::User, L"UninstallString")), 0u);
        return NextWindow();
    }
    // The second stage's next window (the confirmation, then message boxes, all with its
    // caption), once shown with its controls in place.
    HWND NextWindow(HWND previous = nullptr) {
        const std::wstring caption = L"Désinstallation de " + info.product;
        HWND found = nullptr;
        Eventually([&] { return previous == nullptr || !::IsWindow(previous); });
        Eventually([&] {
            found = ::FindWindowW(nullptr, caption.c_str());
            return found != nullptr && ::IsWindowVisible(found);
        });
        DWORD id = 0;
        if (found != nullptr && !secondStage && ::GetWindowThreadProcessId(found, &id))
            secondStage = std::make_unique<ChildProcess>(id);
        return found;
    }
    HWND Answer(HWND window, const std::wstring& button) {
        ::PostMessageW(ChildWithText(window, button), BM_CLICK, 0, 0);
        return NextWindow(window);
    }
    HWND Answer(HWND box, int button) {
        ::PostMessageW(box, WM_COMMAND, button, 0);
        return NextWindow(box);
    }
    // The second stage's last box: its text, closed with OK, then the stage's exit code.
    void ExpectOutcome(HWND box, const std::wstring& text, DWORD code) {
        ASSERT_NE(box, nullptr) << "no outcome box";
        EXPECT_EQ(MessageText(box), text);
        ::PostMessageW(box, WM_COMMAND, IDOK, 0);
        EXPECT_EQ(SecondStageExit(), code);
    }
    DWORD SecondStageExit() {
        const DWORD code = secondStage ? secondStage->Wait(60000).value_or(0xFFFFFFFF) : 0xFFFFFFFF;
        secondStage.reset();
        return code;
    }
    void StartProduct() {
        product = std::make_unique<ChildProcess>(Quoted(folder / info.exe), folder);
        ASSERT_TRUE(Eventually([&] { return !FindRunningInstance(info, folder).empty(); }));
    }
    std::unique_ptr<ChildProcess> product;
};

TEST_F(EndToEnd, RefusedWhileRunningThenRepeatedAndUpgraded) {
    ASSERT_EQ(Install(Scope::User, folder), 0u);
    WriteFileBytes(folder / L"assets\\images\\mine.txt", "user data");
    const std::string list = ReadFileBytes(folder / L"Uninstall.files");
    ASSERT_NO_FATAL_FAILURE(StartProduct());
    // From the install folder, and from the previous folder before it loses anything. The
    // caller reads why on the standard error it gave.
    EXPECT_EQ(Install(Scope::User, folder), 1603u);
    EXPECT_EQ(said, WideToUtf8(running + L"\r\n"));
    EXPECT_EQ(Install(Scope::User, temp / L"Nouveau"), 1603u);
    EXPECT_FALSE(fs::exists(temp / L"Nouveau"));
    EXPECT_EQ(ReadFileBytes(folder / L"Uninstall.files"), list);
    // Nor is it uninstalled: the second stage's reason comes through the first.
    EXPECT_EQ(Run(Registered(Scope::User, L"QuietUninstallString")), 1603u);
    EXPECT_EQ(said, WideToUtf8(running + L"\r\n"));
    EXPECT_TRUE(fs::exists(folder / L"Uninstall.exe"));
    product.reset();

    // Without /D= the recorded folder; the user's file stays.
    ASSERT_EQ(Setup(L" /S /CURRENTUSER"), 0u);
    ExpectInstalled(Scope::User, folder, true);
    // An uninstaller left in the new folder by something else is replaced.
    WriteFileBytes(temp / L"Nouveau\\Uninstall.exe", "left behind");
    ASSERT_EQ(Install(Scope::User, temp / L"Nouveau"), 0u);
    ExpectInstalled(Scope::User, temp / L"Nouveau", true);
    // The old folder lost its recorded files and the folders they left empty, nothing else.
    EXPECT_EQ(ReadFileBytes(folder / L"assets\\images\\mine.txt"), "user data");
    for (const wchar_t* gone : {L"Orvalis.exe", L"Uninstall.exe", L"Uninstall.files", L"readme.txt",
                                L"assets\\images\\pattern.bin", L"docs"})
        EXPECT_FALSE(fs::exists(folder / gone)) << WideToUtf8(gone);
}

TEST_F(EndToEnd, InstalledAndQuietlyUninstalledInEitherScope) {
    const fs::path machine = temp / L"Tous les programmes\\Orvalis";
    ASSERT_EQ(Install(Scope::Machine, machine), 0u);
    ExpectInstalled(Scope::Machine, machine, true);
    // The Users grant as Wine keeps it, in Unix bits: on the product's folder in ProgramData
    // (group-writable), not on the Data folder made in it afterwards.
    const fs::path granted = KnownFolderPath(FOLDERID_ProgramData) / info.product;
    EXPECT_EQ(UnixMode(granted) + " " + UnixMode(granted / L"Data"), "775 755");
    // No /D= and nothing recorded: the user's own program folder, which Windows places in the
    // local application data folder when the system does not name it.
    ASSERT_EQ(Setup(L" /S /CURRENTUSER"), 0u);
    folder = KnownFolderPath(FOLDERID_UserProgramFiles);
    if (folder.empty())
        folder = KnownFolderPath(FOLDERID_LocalAppData) / L"Programs";
    folder /= info.product;
    ExpectInstalled(Scope::User, folder, false);

    // The recorded data folder is the one removed, and its parent while nothing else is left.
    const fs::path data = temp / L"Mes données\\Data";
    WriteFileBytes(data / L"downloads\\one.bin", "downloaded");
    WriteStringValue(HKEY_CURRENT_USER, info.registryKey + L"\\Install", L"DataDir", data.native());
    WriteFileBytes(folder / L"docs\\guide\\mine.txt", "the user's");
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
    EXPECT_TRUE(fs::is_directory(DataDirectory(info.product, Scope::User)));
    EXPECT_TRUE(Eventually([&] { return !fs::exists(folder / L"Uninstall.exe"); }));
    // Only the user's file and the folders holding it stay.
    EXPECT_EQ(ReadFileBytes(folder / L"docs\\guide\\mine.txt"), "the user's");
    for (const wchar_t* gone :
         {L"Orvalis.exe", L"Uninstall.files", L"assets", L"docs\\empty.txt", L"docs\\guide\\deep"})
        EXPECT_FALSE(fs::exists(folder / gone)) << WideToUtf8(gone);
    EXPECT_FALSE(fs::exists(ShortcutPath(info, Scope::User)));
    EXPECT_FALSE(KeyExists(hive, UninstallKeyPath(info.product)));
    EXPECT_FALSE(KeyExists(hive, info.registryKey + L"\\Install"));
    EXPECT_EQ(ReadStringValue(hive, info.registryKey, L"Theme"), L"dark");
    EXPECT_EQ(ReadStringValue(hive, taken, nullptr), L"Other.Program");
    EXPECT_FALSE(KeyExists(hive, taken + L"\\OpenWithProgids"));
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

    // Without its list no file goes, the rest does. A setup program started with /UNINSTALL
    // from a Downloads folder, given another folder, takes off the recorded installation, and
    // neither of the others' Uninstall.exe.
    fs::remove(machine / L"Uninstall.files");
    const fs::path downloads = temp / L"Downloads";
    for (const fs::path& other : {downloads, temp / L"Elsewhere"})
        WriteFileBytes(other / L"Uninstall.exe", "someone else's");
    fs::copy_file(setup, downloads / L"ProductSetup.exe");
    EXPECT_EQ(Run(Quoted(downloads / L"ProductSetup.exe") + L" /UNINSTALL /S /ALLUSERS /D=" +
                  (temp / L"Elsewhere").native()),
              0u);
    EXPECT_TRUE(Eventually([&] { return !fs::exists(machine / L"Uninstall.exe"); }));
    EXPECT_TRUE(fs::exists(machine / L"Orvalis.exe"));
    EXPECT_FALSE(fs::exists(ShortcutPath(info, Scope::Machine)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKeyPath(info.product)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, info.registryKey));
    // Extension keys that nothing else uses go, their OpenWithProgids with them.
    for (const FileType& type : info.fileTypes)
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\" + type.extension));
    EXPECT_TRUE(fs::exists(DataDirectory(info.product, Scope::Machine)));
    for (const fs::path& other : {downloads, temp / L"Elsewhere"})
        EXPECT_EQ(ReadFileBytes(other / L"Uninstall.exe"), "someone else's");
    // With nothing recorded any more, that folder is not taken for an installation: what a list
    // there names stays, and the caller learns that nothing was uninstalled.
    WriteFileBytes(downloads / L"Uninstall.files", "victim.txt\r\n");
    WriteFileBytes(downloads / L"victim.txt", "someone else's");
    EXPECT_EQ(Run(Quoted(downloads / L"ProductSetup.exe") + L" /UNINSTALL /S /ALLUSERS"), 1603u);
    EXPECT_EQ(ReadFileBytes(downloads / L"victim.txt"), "someone else's");
}

TEST_F(EndToEnd, DamagedAndIncompletePrograms) {
    // A byte flipped in a chunk of random bytes, which the package stores as they are (of
    // two pieces 10,000 bytes apart, one lies whole inside a block of 64 KiB): refused before
    // anything is registered.
    std::string bytes = ReadFileBytes(setup);
    const std::string noise = ReadFileBytes(Stage(L"assets\\images\\noise.bin"));
    size_t at = bytes.find(noise.substr(100000, 1024));
    if (at == std::string::npos)
        at = bytes.find(noise.substr(110000, 1024));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 500] ^= 0x20;
    WriteFileBytes(temp / L"damaged.exe", bytes);
    EXPECT_EQ(Run(Quoted(temp / L"damaged.exe") + L" /S /CURRENTUSER /D=" + folder.native()),
              1603u);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(info.product)));
    EXPECT_FALSE(fs::exists(folder / L"Uninstall.exe"));
    // A relative folder would install below wherever the program was started.
    EXPECT_EQ(Run(Quoted(setup) + L" /S /CURRENTUSER /D=Relatif", temp.path()), 1603u);
    EXPECT_EQ(said, "Indiquez un dossier d'installation complet (par exemple C:\\Program Files\\" +
                        WideToUtf8(info.product) + ").\r\n");
    EXPECT_FALSE(fs::exists(temp / L"Relatif"));

    // Without a package: 1603 and the message box's text as one line; otherwise the box.
    const fs::path stub = BinDir() / L"setup_stub.exe";
    EXPECT_EQ(Run(Quoted(stub) + L" /S /CURRENTUSER"), 1603u);
    EXPECT_EQ(said, "Ce programme d'installation est incomplet ou endommagé : Paquet MVPK "
                    "invalide (signature)\r\n");
    EXPECT_EQ(FailureBox(Quoted(stub)),
              L"Ce programme d'installation est incomplet ou endommagé :\n"
              L"Paquet MVPK invalide (signature)");
    // /UNINSTALL never looks at the package, /S or not. With nothing recorded, a run with
    // administrator rights (every run under Wine) takes no folder off, not even its own.
    fs::copy_file(stub, temp / L"Uninstall.exe");
    EXPECT_EQ(Run(Quoted(temp / L"Uninstall.exe") + L" /S /UNINSTALL /CURRENTUSER"), 1603u);
    EXPECT_TRUE(said.starts_with("Aucune installation de ")) << said;
}

// A product whose name cannot name a folder, described otherwise than by the setup compiler,
// which refuses it: its folders would be the known folders themselves, its uninstall entry
// every program's, its ProgID its extension's own key. The setup program refuses it before it
// changes anything, installing or uninstalling: the reason on standard error, or in a box.
TEST_F(EndToEnd, ProductWithoutAName) {
    const HKEY hive = HKEY_CURRENT_USER;
    const std::wstring top = UniqueName(L"OrvalisTop"), extension = UniqueName(L".orvsansnom");
    const std::wstring other = UninstallKeyPath(UniqueName(L"Autre"));
    const std::string names[] = {"", "..", "CON", "lpt1.txt", "Orvalis.", "Orvalis "};
    // What an installation that went ahead would have written, so that the prefix stays clean
    // after a failure too.
    const std::shared_ptr<void> cleanUp(nullptr, [&](void*) {
        for (const std::wstring& key : {top, other, L"Software\\Classes\\" + extension})
            DeleteTree(hive, key);
        for (const std::string& name : names) {
            const std::wstring given = Utf8ToWide(name);
            DeleteTree(hive, L"Software\\Classes\\" + MakeProgId(given, extension));
            if (!given.empty() && given != L"..") // the list itself, or above it
                DeleteTree(hive, UninstallKeyPath(given));
        }
        // A nameless product's entry is the list's own key.
        for (const wchar_t* name :
             {L"DisplayName", L"DisplayVersion", L"Publisher", L"URLInfoAbout", L"DisplayIcon",
              L"InstallLocation", L"UninstallString", L"QuietUninstallString", L"NoModify",
              L"NoRepair", L"EstimatedSize", L"InstallDate"})
            ::RegDeleteKeyValueW(hive, UninstallKeyPath(L"").c_str(), name);
    });
    WriteStringValue(hive, other, L"DisplayName", L"Autre");
    for (std::size_t i = 0; i < std::size(names); ++i) {
        const fs::path program = temp / (L"SansNom" + std::to_wstring(i) + L".exe");
        fs::copy_file(setup, program);
        std::string metadata = "Exe=Orvalis.exe\nFileTypes=" + WideToUtf8(extension) +
                               "=Document\nProduct=" + names[i] +
                               "\nRegistryKey=" + WideToUtf8(top) + "\\Sans nom\nDataDir=yes\n";
        ResourceUpdate update(::BeginUpdateResourceW(program.c_str(), FALSE));
        ASSERT_TRUE(update &&
                    ::UpdateResourceW(update.get(), RT_RCDATA, L"METADATA", 0, metadata.data(),
                                      static_cast<DWORD>(metadata.size())) &&
                    update.Commit());
        const std::string reason = "Ce programme d'installation est incomplet ou endommagé : Nom "
                                   "de produit inutilisable comme nom de dossier : « " +
                                   names[i] + " »\r\n";
        for (const std::wstring& switches : {L" /S /CURRENTUSER /D=" + folder.native(),
                                             std::wstring(L" /UNINSTALL /S /CURRENTUSER")}) {
            EXPECT_EQ(Run(Quoted(program) + switches), 1603u) << names[i];
            EXPECT_EQ(said, reason);
        }
    }
    EXPECT_EQ(FailureBox(Quoted(temp / L"SansNom0.exe")),
              L"Ce programme d'installation est incomplet ou endommagé :\nNom de produit "
              L"inutilisable comme nom de dossier : «  »");
    // Nothing changed: no folder, no key, another program's entry and the list's own key alone.
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(KeyExists(hive, top));
    EXPECT_FALSE(KeyExists(hive, L"Software\\Classes\\" + extension));
    EXPECT_EQ(ReadStringValue(hive, other, L"DisplayName"), L"Autre");
    EXPECT_FALSE(ReadStringValue(hive, UninstallKeyPath(L""), L"InstallLocation"));
}

TEST_F(EndToEnd, UninstallerAnswered) {
    ASSERT_EQ(Install(Scope::User, folder), 0u);
    const std::wstring box = L"Supprimer aussi les données téléchargées (" +
                             DataDirectory(info.product, Scope::User).native() + L")";
    // The confirmation, answered with Enter: 1223, and the installation stays.
    HWND window = StartUninstaller();
    ASSERT_NE(window, nullptr) << "no confirmation";
    for (const std::wstring& text :
         {L"Désinstaller " + info.product + L" ?",
          info.product + L" sera supprimé de cet ordinateur (" + folder.native() + L").", box})
        EXPECT_NE(ChildWithText(window, text), nullptr) << WideToUtf8(text);
    // "Annuler" is the default: Enter never uninstalls. The key goes to the control that has
    // the keyboard focus, through the dialog's own message loop, whatever window is in front.
    GUITHREADINFO focus{};
    focus.cbSize = sizeof(focus);
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &focus);
    for (const UINT message : {WM_KEYDOWN, WM_KEYUP})
        ::PostMessageW(focus.hwndFocus != nullptr ? focus.hwndFocus : window, message, VK_RETURN,
                       0);
    EXPECT_EQ(SecondStageExit(), 1223u);
    ::Sleep(3000); // the clean-up's delay, after which it would have struck
    ExpectInstalled(Scope::User, folder, true);

    // While the product runs: Retry or Cancel; cancelled, the same text once more as the
    // outcome, 1603, and the installation complete.
    ASSERT_NO_FATAL_FAILURE(StartProduct());
    window = Answer(StartUninstaller(), L"Désinstaller");
    ASSERT_NE(window, nullptr) << "no retry box";
    EXPECT_EQ(MessageText(window), running);
    // The box's template holds every button: those it offers are the ones shown.
    for (const int button : {IDRETRY, IDCANCEL, IDOK})
        EXPECT_EQ(::IsWindowVisible(::GetDlgItem(window, button)) != FALSE, button != IDOK)
            << button;
    ASSERT_NO_FATAL_FAILURE(ExpectOutcome(Answer(window, IDCANCEL), running, 1603));
    ExpectInstalled(Scope::User, folder, true);

    // Retried once the product is closed, with the data box ticked: all gone.
    window = StartUninstaller();
    ::SendMessageW(ChildWithText(window, box), BM_CLICK, 0, 0);
    window = Answer(window, L"Désinstaller");
    ASSERT_NE(window, nullptr) << "no retry box";
    product.reset();
    ::PostMessageW(::GetDlgItem(window, IDRETRY), BM_CLICK, 0, 0);
    ASSERT_NO_FATAL_FAILURE(
        ExpectOutcome(NextWindow(window), info.product + L" a été désinstallé.", 0));
    // The shortcut and keys go as in a quiet uninstall; here the folder and the ticked data.
    EXPECT_TRUE(Eventually([&] { return !fs::exists(folder); }));
    EXPECT_FALSE(fs::exists(DataDirectory(info.product, Scope::User).parent_path()));
}

// The setup program's file renamed and another put under its name while its page waits: what
// is installed as the uninstaller is the program that runs.
TEST_F(EndToEnd, ProgramReplacedWhileItInstalls) {
    const fs::path program = temp / L"Setup.exe";
    fs::copy_file(setup, program);
    ChildProcess wizard(Quoted(program) + L" /CURRENTUSER /NOLAUNCH /D=" + folder.native());
    const HWND page = WaitForProcessWindow(wizard.id(), L"Installation de " + info.product);
    ASSERT_NE(page, nullptr) << "no page";
    const ReplacedFile replaced(program, BinDir() / L"setup_stub.exe");
    ::PostMessageW(::GetDlgItem(page, IDOK), BM_CLICK, 0, 0);
    ASSERT_TRUE(Eventually([&] { return WindowText(::GetDlgItem(page, IDOK)) == L"Terminer"; }));
    ::PostMessageW(::GetDlgItem(page, IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(wizard.Wait(30000), 0u);
    EXPECT_EQ(ReadFileBytes(folder / L"Uninstall.exe"), ReadFileBytes(setup));
}

TEST_F(EndToEnd, HostileUser) {
    ASSERT_EQ(Install(Scope::Machine, folder), 0u);
    const fs::path theirs = temp / L"theirs", tmp = temp / L"tmp";
    WriteFileBytes(theirs / L"keep.txt", "theirs");
    WriteFileBytes(temp / L"lookalike\\deep\\leaf.txt", "theirs");
    fs::remove_all(folder / L"docs\\guide");
    {
        // Users may write to the data directory: a link there leads to another user's folder.
        // A listed folder is replaced by a link to a folder holding files of the same names.
        const FolderLink inData(DataDirectory(info.product, Scope::Machine) / L"link", theirs),
            listed(folder / L"docs\\guide", temp / L"lookalike");
        ASSERT_TRUE(inData.planted() && listed.planted());
        // Programs named like the ones the clean-up runs, in the uninstaller's temporary folder.
        fs::create_directories(tmp);
        for (const wchar_t* name : {L"cmd.exe", L"ping.exe"})
            fs::copy_file(BinDir() / L"ui_launch_probe.exe", tmp / name);
        EnvironmentOverride tmpVariable(L"TMP", tmp.native()), tempVariable(L"TEMP", tmp.native());
        EXPECT_EQ(Run(Registered(Scope::Machine, L"QuietUninstallString") + L" /REMOVEDATA"), 0u);
    }
    // The system's command interpreter deletes the temporary copy once it has ended.
    EXPECT_TRUE(Eventually(
        [&] { return std::distance(fs::directory_iterator(tmp), fs::directory_iterator()) == 2; }));
    EXPECT_FALSE(fs::exists(tmp / L"launched.txt")) << "a planted program ran";
    EXPECT_EQ(ReadFileBytes(theirs / L"keep.txt"), "theirs");
    EXPECT_EQ(ReadFileBytes(temp / L"lookalike\\deep\\leaf.txt"), "theirs");
    for (const wchar_t* file : {L"Orvalis.exe", L"Uninstall.exe", L"Uninstall.files", L"readme.txt",
                                L"docs\\empty.txt", L"assets"})
        EXPECT_FALSE(fs::exists(folder / file)) << WideToUtf8(file);

    // A link in place of the product's folder in ProgramData is neither granted nor written
    // through by the next installation.
    RemoveProduct(info, folder);
    fs::create_directories(temp / L"elsewhere");
    const FolderLink linked(DataDirectory(info.product, Scope::Machine).parent_path(),
                            temp / L"elsewhere");
    ASSERT_TRUE(linked.planted());
    EXPECT_EQ(Install(Scope::Machine, folder), 1603u);
    EXPECT_FALSE(fs::exists(temp / L"elsewhere\\Data"));
}

// The second stage's switches are anybody's to give. Started with /FROMTEMP and a folder where
// a list names a file of the user's, the program takes nothing off, whether an installation is
// recorded or not. The first stage started through a link to the install folder hands it on
// under that other spelling: the same folder, so the installation goes, its "Uninstall.exe" and
// the folder itself with it, once the first stage has ended.
TEST_F(EndToEnd, SecondStageTakesOnlyTheRecordedFolder) {
    const fs::path planted = temp / L"Téléchargements";
    WriteFileBytes(planted / L"Uninstall.files", "victim.txt\r\n");
    WriteFileBytes(planted / L"victim.txt", "the user's");
    const std::wstring fromTemp =
        Quoted(setup) + L" /UNINSTALL /FROMTEMP /S /CURRENTUSER /D=" + planted.native();
    EXPECT_EQ(Run(fromTemp), 1603u);
    EXPECT_EQ(said, WideToUtf8(L"Aucune installation de " + info.product +
                               L" n'est enregistrée pour cet utilisateur.\r\n"));
    ASSERT_EQ(Install(Scope::User, folder), 0u);
    EXPECT_EQ(Run(fromTemp), 1603u);
    EXPECT_EQ(said, WideToUtf8(L"Le dossier " + planted.native() +
                               L" n'est pas celui de l'installation de " + info.product + L" (" +
                               folder.native() + L").\r\n"));
    EXPECT_EQ(ReadFileBytes(planted / L"victim.txt"), "the user's");
    ExpectInstalled(Scope::User, folder, true);

    const FolderLink alias(temp / L"alias", folder);
    ASSERT_TRUE(alias.planted());
    EXPECT_EQ(Run(Quoted(temp / L"alias\\Uninstall.exe") + L" /UNINSTALL /S /CURRENTUSER"), 0u);
    EXPECT_TRUE(Eventually([&] { return !fs::exists(folder); }));
    EXPECT_EQ(ReadFileBytes(planted / L"victim.txt"), "the user's");
}

// A quiet uninstallation that cannot copy itself fails and says why. One with /REMOVEDATA,
// where a user has put a link to a folder of theirs in place of the data folder, and a file
// of theirs beside it, removes the link alone: their files stay.
TEST_F(EndToEnd, QuietUninstallWithoutACopyAndOverALinkedDataFolder) {
    ASSERT_EQ(Install(Scope::Machine, folder), 0u);
    const std::wstring quiet = Registered(Scope::Machine, L"QuietUninstallString");
    WriteFileBytes(temp / L"not a folder", "");
    {
        EnvironmentOverride tmp(L"TMP", (temp / L"not a folder").native()),
            tempVariable(L"TEMP", (temp / L"not a folder").native());
        EXPECT_EQ(Run(quiet), 1603u);
    }
    EXPECT_TRUE(said.starts_with("Copie du désinstalleur impossible dans ")) << said;
    ExpectInstalled(Scope::Machine, folder, true);

    const fs::path data = DataDirectory(info.product, Scope::Machine), theirs = temp / L"theirs";
    WriteFileBytes(theirs / L"keep.txt", "theirs");
    WriteFileBytes(data.parent_path() / L"mine.txt", "the user's");
    fs::remove_all(data);
    const FolderLink linked(data, theirs);
    ASSERT_TRUE(linked.planted());
    EXPECT_EQ(Run(quiet + L" /REMOVEDATA"), 0u);
    EXPECT_TRUE(Eventually([&] { return !fs::exists(folder); }));
    EXPECT_EQ(ReadFileBytes(theirs / L"keep.txt"), "theirs");
    EXPECT_EQ(ReadFileBytes(data.parent_path() / L"mine.txt"), "the user's");
}

// Asked interactively, the data folder goes only when its box is ticked, /REMOVEDATA or not;
// and whether the user cancels or uninstalls, the temporary copy does not stay behind.
TEST_F(EndToEnd, InteractiveUninstallLeavesNoCopyAndFollowsTheDataBox) {
    ASSERT_EQ(Install(Scope::User, folder), 0u);
    const fs::path data = DataDirectory(info.product, Scope::User), tmp = temp / L"tmp";
    WriteFileBytes(data / L"downloaded.bin", "downloaded");
    fs::create_directories(tmp);
    EnvironmentOverride tmpVariable(L"TMP", tmp.native()), tempVariable(L"TEMP", tmp.native());
    const auto copyGone = [&] {
        return fs::is_empty(tmp);
    };

    const std::wstring line = Registered(Scope::User, L"UninstallString") + L" /REMOVEDATA";
    ASSERT_EQ(Run(line), 0u);
    HWND window = NextWindow();
    ASSERT_NE(window, nullptr) << "no confirmation";
    EXPECT_FALSE(fs::is_empty(tmp));
    ::PostMessageW(ChildWithText(window, L"Annuler"), BM_CLICK, 0, 0);
    EXPECT_EQ(SecondStageExit(), 1223u);
    EXPECT_TRUE(Eventually(copyGone));
    ExpectInstalled(Scope::User, folder, true);

    ASSERT_EQ(Run(line), 0u);
    ASSERT_NO_FATAL_FAILURE(ExpectOutcome(Answer(NextWindow(), L"Désinstaller"),
                                          info.product + L" a été désinstallé.", 0));
    EXPECT_TRUE(Eventually([&] { return !fs::exists(folder); }));
    EXPECT_TRUE(Eventually(copyGone));
    EXPECT_EQ(ReadFileBytes(data / L"downloaded.bin"), "downloaded");
}

} // namespace
