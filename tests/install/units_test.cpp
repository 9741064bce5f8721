// What the end-to-end runs cannot reach or cannot tell apart: the installation's progress plan
// and failure texts, the paths of a process without administrator rights (which Wine never
// gives), the uninstaller's temporary copy, removal over planted links, the spellings the
// running check must see through, and the removal engine's rules for what is not its own.
#include "tests/support/test_support.h"

#include "install/file_removal.h"
#include "setup/held_entries.h"
#include "install/install.h"
#include "install/installed_files.h"
#include "install/permissions.h"
#include "install/registry.h"
#include "install/running_instance.h"
#include "install/shortcut.h"
#include "setup/elevation.h"
#include "setup/own_program.h"
#include "setup/silent_install.h"
#include "setup/text.h"
#include "uninstall/removal.h"
#include "setup/temporary_copy.h"
#include "uninstall/uninstall_flow.h"

#include <gtest/gtest.h>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// This process's current folder for the scope of the holder.
struct CurrentFolder {
    const fs::path previous = fs::current_path();
    explicit CurrentFolder(const fs::path& folder) { fs::current_path(folder); }
    ~CurrentFolder() { ::SetCurrentDirectoryW(previous.c_str()); }
};

// A product of its own per test, and a package of three files, 250 bytes in blocks of 100,
// 100 and 50, made by the package tool.
class Units : public ::testing::Test {
  protected:
    Units() {
        info = UniqueProduct(L"Orvalis Unit");
        bytes = PackFiles(temp.path(), {{L"bin\\Orvalis.exe", std::string(120, 'x')},
                                        {L"docs\\a.txt", std::string(80, 'a')},
                                        {L"docs\\deep\\b.txt", std::string(50, 'b')}});
        reader.emplace(*mvpk::Reader::Open(std::as_bytes(std::span(bytes))));
    }
    ~Units() override { RemoveProduct(info); }

    std::expected<void, std::wstring> Run(Scope scope, const fs::path& folder,
                                          const ProgressCallback& progress = {}) {
        reports.clear();
        ComApartment apartment;
        return Install(
            *reader, info, scope, folder,
            progress ? progress : [this](double fraction, const std::wstring& text) {
                reports.emplace_back(fraction, text);
            });
    }

    ProductInfo info;
    TempDir temp{L"units"};
    std::string bytes;
    std::optional<mvpk::Reader> reader;
    std::vector<std::pair<double, std::wstring>> reports;
};

// The exact plan of a first and of a repeated installation. Another scope's installation,
// and a recorded but empty folder, are no previous installation: nothing is removed from them,
// nor relative to the current folder.
TEST_F(Units, PlanOfAFirstAndARepeatedInstallation) {
    ASSERT_TRUE(Run(Scope::Machine, temp / L"Machine"));
    WriteStringValue(HKEY_CURRENT_USER, UninstallKeyPath(info.product), L"InstallLocation", L"");
    WriteFileBytes(temp / L"Uninstall.files", "docs\\a.txt\r\n");
    WriteFileBytes(temp / L"docs\\a.txt", "not the product's");
    const CurrentFolder current(temp.path());
    std::vector<double> fractions{0.0, 0.36, 0.72, 0.9, 0.92, 0.97, 1.0};
    std::vector<std::wstring> texts(4, L"Copie des fichiers...");
    texts.insert(texts.end(), {L"Enregistrement...", L"Création du raccourci...",
                               info.product + L" est installé."});
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(Run(Scope::User, temp / L"Orvalis"));
        ASSERT_EQ(reports.size(), texts.size()) << "round " << round;
        for (size_t i = 0; i < texts.size(); ++i) {
            EXPECT_NEAR(reports[i].first, fractions[i], 1e-12) << i;
            EXPECT_EQ(reports[i].second, texts[i]) << i;
        }
        fractions.insert(fractions.begin(), 0.0);
        texts.insert(texts.begin(), L"Suppression de la version précédente...");
    }
    EXPECT_EQ(ReadFileBytes(temp / L"docs\\a.txt"), "not the product's");
    EXPECT_TRUE(fs::exists(temp / L"Machine\\docs\\a.txt"));
}

TEST_F(Units, FailuresAreTexts) {
    // Whatever throws inside the installation ends it with a text, never the process.
    const auto unavailable = [](double, auto&) {
        throw std::runtime_error("SHA-256 absent");
    };
    EXPECT_EQ(Run(Scope::User, temp / L"A", unavailable).error(), L"SHA-256 absent");
    EXPECT_EQ(Run(Scope::User, temp / L"B", [](double, auto&) { throw std::bad_alloc(); }).error(),
              L"Mémoire insuffisante");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, UninstallKeyPath(info.product)));
    EXPECT_EQ(FormatWindowsError(L"X", 0xDEADBEEF), L"X : erreur 3735928559");
    // Each failing step names itself, then the system's text for the code, never the standard
    // library's English one. A folder below a file cannot be made.
    const fs::path below = temp / L"meta\\Orvalis";
    const std::pair<std::wstring, std::wstring> texts[] = {
        {Run(Scope::User, below).error(), L"Création du dossier " + below.native() + L" : "},
        {CreateShortcut(L"Orvalis.lnk", temp / L"Orvalis.exe", info).error(),
         L"Création du raccourci Orvalis.lnk : "},
        {GrantUsersWriteAccess(temp / L"none\\x").error(),
         L"Droits d'écriture sur " + (temp / L"none\\x").native() + L" : "}};
    for (const auto& [text, start] : texts)
        EXPECT_TRUE(text.starts_with(start) && text.size() > start.size() + 2 &&
                    text.find(L"erreur") == text.npos && !text.ends_with(L"\n") &&
                    text.find(L"Not a directory") == text.npos)
            << WideToUtf8(text);
    // A ProgID below a volatile key, where a lasting key cannot be made, ends the
    // registration with its text; what came before it is written, nothing after it.
    const std::wstring classes = L"Software\\Classes\\";
    info.fileTypes = {{L".orva", L"A"}, {L".orvb\\enfant", L"B"}, {L".orvc", L"C"}};
    // Made lasting first, as the registration makes it: a fresh prefix has no Software\Classes,
    // and the volatile key would make it volatile, with nothing lasting allowed below it.
    CreateRegistryKey(HKEY_CURRENT_USER, L"Software\\Classes");
    KeyHandle key;
    ::RegCreateKeyExW(HKEY_CURRENT_USER, (classes + info.product + L".orvb").c_str(), 0, nullptr,
                      REG_OPTION_VOLATILE, KEY_WRITE, nullptr, key.put(), nullptr);
    EXPECT_TRUE(Run(Scope::User, temp / L"C")
                    .error()
                    .starts_with(L"Création de la clé de registre " + classes + info.product +
                                 L".orvb\\enfant : "));
    EXPECT_EQ(ReadStringValue(HKEY_CURRENT_USER, info.registryKey + L"\\Install", L"Scope"),
              L"user");
    EXPECT_EQ(ReadStringValue(HKEY_CURRENT_USER, classes + L".orva", nullptr),
              info.product + L".orva");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, classes + info.product + L".orvc"));
    DeleteTree(HKEY_CURRENT_USER, classes + info.product + L".orvb");

    // The product's folder in ProgramData held by another program, with the right to delete it
    // or sharing nothing: the grant is not made by name instead, and nothing is registered.
    info.hasDataDir = true;
    const fs::path shared = DataDirectory(info.product, Scope::Machine).parent_path();
    fs::create_directories(shared);
    for (const DWORD share : {DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}, 0ul}) {
        const UniqueHandle held(::CreateFileW(shared.c_str(), share ? DELETE : GENERIC_READ, share,
                                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                              nullptr));
        EXPECT_TRUE(held && Run(Scope::Machine, temp / L"D")
                                .error()
                                .starts_with(L"Droits d'écriture sur " + shared.native() + L" : "));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKeyPath(info.product)));
    }
    // Data itself a file, or a link to another folder, that a user put there: it would be
    // recorded as the data folder, written into and removed later. The installation fails
    // before registering, and what lay there stays as it was.
    const fs::path data = DataDirectory(info.product, Scope::Machine);
    const TempDir elsewhere(L"units-elsewhere");
    WriteFileBytes(elsewhere / L"theirs.txt", "theirs");
    WriteFileBytes(data, "theirs");
    for (int planted = 0; planted < 2; ++planted) {
        std::optional<FolderLink> link;
        if (planted == 1) {
            fs::remove(data);
            link.emplace(data, elsewhere.path());
            ASSERT_TRUE(link->planted());
        }
        const auto result = Run(Scope::Machine, temp / L"E");
        EXPECT_TRUE(!result &&
                    result.error().starts_with(L"Création du dossier " + data.native() + L" : "))
            << "case " << planted;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, UninstallKeyPath(info.product)));
        EXPECT_EQ(ReadFileBytes(planted == 0 ? data : elsewhere / L"theirs.txt"), "theirs");
    }
}

// Wine never runs a process without administrator rights: the decisions are reached through
// the seams whose defaults are the real calls.
TEST_F(Units, WithoutRightsPerMachineHandsOverUnchanged) {
    std::vector<SetupOptions> relaunched;
    const auto record = [&](const SetupOptions& o, HWND = nullptr) {
        relaunched.push_back(o);
        return 42;
    };
    // A relative folder fails at once, showing which path the run took.
    for (const wchar_t* line : {L"s /S /D=r", L"s /S /ALLUSERS /D=r", L"s /S /CURRENTUSER /D=r"})
        for (bool elevated : {false, true}) {
            const SetupOptions options = ParseCommandLineText(line);
            const bool handsOver = !elevated && options.scope != Scope::User;
            relaunched.clear();
            EXPECT_EQ(RunSilentInstall(*reader, info, options, {[&] { return elevated; }, record}),
                      handsOver ? 42 : 1603);
            EXPECT_EQ(relaunched, handsOver ? std::vector{options} : std::vector<SetupOptions>{});
        }
    // The uninstaller: per machine (no scope switch included) whatever /ELEVATED claims; per
    // user it runs here, where a second stage without its folder fails at once.
    const ElevationService notElevated{[] { return false; }, record};
    for (const wchar_t* line :
         {L"u /UNINSTALL", L"u /ALLUSERS /UNINSTALL /S",
          L"u /UNINSTALL /ELEVATED /FROMTEMP /D=C:\\V", L"u /UNINSTALL /CURRENTUSER /FROMTEMP"}) {
        relaunched.clear();
        const SetupOptions options = ParseCommandLineText(line);
        EXPECT_EQ(RunUninstall(options, info, notElevated),
                  options.scope == Scope::User ? 1603 : 42);
        EXPECT_EQ(relaunched.size(), options.scope == Scope::User ? 0u : 1u);
    }
    // What the elevated copy, or a per-user run, is handed is no authority: a second stage
    // given a folder that is not the recorded installation's, where a planted list names a file
    // of the user's, takes nothing off. Without a record only a per-user run without rights
    // may take a folder, one holding this very program as its uninstaller, which this is not.
    const fs::path planted = temp / L"planted", installed = temp / L"Orvalis";
    WriteFileBytes(planted / L"Uninstall.files", "victim.txt\r\n");
    WriteFileBytes(planted / L"victim.txt", "the user's");
    fs::create_directories(installed);
    const ElevationService elevated{[] { return true; }, record};
    for (const bool recorded : {false, true}) {
        for (const HKEY hive : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
            if (recorded)
                WriteStringValue(hive, UninstallKeyPath(info.product), L"InstallLocation",
                                 installed.native());
        for (const wchar_t* scope : {L" /CURRENTUSER", L" /ALLUSERS"})
            for (const ElevationService* service : {&notElevated, &elevated}) {
                relaunched.clear();
                const SetupOptions options =
                    ParseCommandLineText(L"u /UNINSTALL /FROMTEMP /S" + std::wstring(scope) +
                                         L" /D=" + planted.native());
                const int code = RunUninstall(options, info, *service);
                EXPECT_EQ(code, relaunched.empty() ? 1603 : 42);
            }
    }
    EXPECT_EQ(ReadFileBytes(planted / L"victim.txt"), "the user's");
    EXPECT_TRUE(fs::exists(planted / L"Uninstall.files"));
}

// The files list replaces a list that is there. Neither it nor the uninstaller is ever written
// through a second name (a hard link) that another user gave a file of theirs in the install
// folder: the list is then not written, and the installation fails at the uninstaller's copy.
TEST_F(Units, ListAndUninstallerNeverWrittenThroughASecondName) {
    const fs::path folder = temp / L"list", theirs = temp / L"theirs.txt";
    WriteFileBytes(folder / L"Uninstall.files", std::string(500, 'z'));
    WriteInstalledFilesList(folder, *reader);
    EXPECT_EQ(ReadFileBytes(folder / L"Uninstall.files"),
              "bin\\Orvalis.exe\r\ndocs\\a.txt\r\ndocs\\deep\\b.txt\r\nUninstall.exe\r\n"
              "Uninstall.files\r\n");
    fs::remove(folder / L"Uninstall.files");
    WriteFileBytes(theirs, "the user's");
    for (const wchar_t* name : {L"Uninstall.files", L"Uninstall.exe"})
        ASSERT_TRUE(::CreateHardLinkW((folder / name).c_str(), theirs.c_str(), nullptr));
    WriteInstalledFilesList(folder, *reader);
    const auto installed = Run(Scope::User, folder);
    ASSERT_FALSE(installed);
    EXPECT_TRUE(installed.error().starts_with(L"Copie du désinstalleur")) << installed.error();
    EXPECT_EQ(ReadFileBytes(theirs), "the user's");
}

// The shell's error box about a copy that cannot start, on the thread that starts it: closed as
// a user closes it, leaving the error the system reports (the box's own calls leave another).
// Wine never shows the elevation prompt: a declined one is this failure with ERROR_CANCELLED.
DWORD shellError = 0;
int shellBoxes = 0;
LRESULT CALLBACK AnswerShellBox(int code, WPARAM wParam, LPARAM lParam) {
    const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
    const LRESULT result = ::CallNextHookEx(nullptr, code, wParam, lParam);
    if (code == HC_ACTION && sent->message == WM_INITDIALOG && ++shellBoxes)
        ::PostMessageW(sent->hwnd, WM_COMMAND, IDOK, 0);
    else if (code == HC_ACTION && sent->message == WM_NCDESTROY)
        ::SetLastError(shellError);
    return result;
}

// The real relaunch starts a copy of this very program, which records its switches and
// answers 42. The copy is made from the file held since the start, in the caller's temporary
// folder: once another real program has taken the program's name (as a junction above it can
// be retargeted), that one never runs. The copy is started by the path the system gives it, not
// through a link on the way to the temporary folder. A file already under the copy's name is
// neither run, reused nor removed, and the copy is gone afterwards. A start that fails gives 1603,
// and 1223 when the failure is a declined prompt; a silent run shows no box for it.
TEST_F(Units, Relaunch) {
    EnvironmentOverride record(L"ORVALIS_RECORD", (temp / L"line").native());
    const TempDir tmp(L"units-tmp");
    const FolderLink link(temp / L"tmp-link", tmp.path());
    ASSERT_TRUE(link.planted());
    EnvironmentOverride tmpVariable(L"TMP", (temp / L"tmp-link").native()),
        tempVariable(L"TEMP", (temp / L"tmp-link").native());
    const fs::path planted =
        tmp / (L"units_test-elevated-" + std::to_wstring(::GetCurrentProcessId()) + L".exe");
    WriteFileBytes(planted, "theirs");
    const auto options =
        ParseCommandLineText(L"s /S /ALLUSERS /NOLAUNCH /D=C:\\Program Files\\Orvalis  Relance");
    {
        const ReplacedFile replaced(BinDir() / L"units_test.exe",
                                    BinDir() / L"ui_launch_probe.exe");
        EXPECT_EQ(RelaunchElevated(options, nullptr), 42);
    }
    std::error_code ignored;
    EXPECT_FALSE(fs::remove(BinDir() / L"launched.txt", ignored)) << "the program's name started";
    const std::wstring line =
        fs::exists(temp / L"line") ? Utf8ToWide(ReadFileBytes(temp / L"line")) : L"";
    EXPECT_TRUE(line.ends_with(L" /S /ALLUSERS /NOLAUNCH /ELEVATED /D=C:\\Program "
                               L"Files\\Orvalis  Relance"));
    EXPECT_EQ(ReadFileBytes(planted), "theirs");
    EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), {}), 1) << "the copy stayed";
    // Started by the path the system gives the copy, never through the temporary folder's link.
    EXPECT_TRUE(line.find(tmp.path().native() + L"\\units_test-elevated-") != line.npos &&
                line.find(L"tmp-link") == line.npos)
        << WideToUtf8(line);

    WriteFileBytes(temp / L"text.exe", "not a program");
    const WindowsHook hook(
        ::SetWindowsHookExW(WH_CALLWNDPROC, AnswerShellBox, nullptr, ::GetCurrentThreadId()));
    for (const DWORD error : {DWORD{ERROR_BAD_EXE_FORMAT}, DWORD{ERROR_CANCELLED}}) {
        shellError = error;
        EXPECT_EQ(StartElevatedAndWait(temp / L"text.exe", L"", nullptr, false),
                  error == ERROR_CANCELLED ? 1223 : 1603);
    }
    EXPECT_EQ(shellBoxes, 2);
    EXPECT_EQ(StartElevatedAndWait(temp / L"text.exe", L"", nullptr, true), 1603);
    EXPECT_EQ(shellBoxes, 2) << "a box in a silent run";
}

// The uninstaller's copy is kept as written until its second stage has started: nobody can
// write, rename or delete it meanwhile. A copy left under its name (process identifiers come
// back) is never reused: the first stage takes another name. The copy is of this very program,
// which records how it was started, even once another file has taken the program's name.
TEST_F(Units, TemporaryCopy) {
    const auto copy = temp / L"copy.exe";
    const UniqueHandle source(::CreateFileW((BinDir() / L"mvpk.exe").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    UniqueHandle kept = CreateTemporaryCopy(source.get(), copy);
    EXPECT_EQ(ReadFileBytes(copy), ReadFileBytes(BinDir() / L"mvpk.exe"));
    EXPECT_FALSE(UniqueHandle(::CreateFileW(copy.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr)));
    EXPECT_FALSE(::MoveFileW(copy.c_str(), (temp / L"moved.exe").c_str()));
    EXPECT_FALSE(::DeleteFileW(copy.c_str()));
    // A copy that no second stage could start from goes, through the handle that kept it.
    RemoveTemporaryCopy({copy, std::move(kept)});
    EXPECT_FALSE(fs::exists(copy));

    EnvironmentOverride record(L"ORVALIS_RECORD", (temp / L"line").native());
    EnvironmentOverride tmp(L"TMP", temp.path().native()), tmp2(L"TEMP", temp.path().native());
    const std::wstring name =
        info.product + L"-uninstall-" + std::to_wstring(::GetCurrentProcessId());
    WriteFileBytes(temp / (name + L".exe"), "theirs");
    WriteStringValue(HKEY_CURRENT_USER, UninstallKeyPath(info.product), L"InstallLocation",
                     (temp / L"Orvalis").native());
    const ElevationService elevated{[] { return true; },
                                    [](auto&, HWND) {
                                        return 1603;
                                    }};
    const ReplacedFile replaced(BinDir() / L"units_test.exe", BinDir() / L"mvpk.exe");
    EXPECT_EQ(RunUninstall(ParseCommandLineText(L"u /UNINSTALL /S /CURRENTUSER"), info, elevated),
              0);
    EXPECT_EQ(ReadFileBytes(temp / (name + L".exe")), "theirs");
    EXPECT_TRUE(Utf8ToWide(ReadFileBytes(temp / L"line"))
                    .starts_with(L"\"" + (temp / (name + L"-2.exe")).native() +
                                 L"\" /S /CURRENTUSER /UNINSTALL /FROMTEMP /D="));
}

// Removal by the installed-files list and of a whole tree, over read-only files, entries that
// try to leave the folder, and links another user planted. (The end-to-end uninstalls show the
// emptied folders going and a listed folder replaced by a link.)
TEST(Removal, ListedFilesAndTreesOverLinks) {
    TempDir dir;
    const fs::path root = dir / L"Produit", data = dir / L"Data", theirs = dir / L"theirs";
    for (const wchar_t* file : {L"theirs\\deep\\leaf.txt", L"theirs\\file.txt", L"victim.txt",
                                L"Produit\\ro.txt", L"Data\\a\\b\\ro.txt", L"file.txt"})
        WriteFileBytes(dir / file, "1");
    for (const fs::path& ro : {root / L"ro.txt", data / L"a\\b\\ro.txt"})
        ::SetFileAttributesW(ro.c_str(), FILE_ATTRIBUTE_READONLY);
    const FolderLink listedFile(root / L"f", theirs), wholeFolder(dir / L"Elsewhere", theirs),
        inTree(data / L"a\\link", theirs);
    ASSERT_TRUE(listedFile.planted() && wholeFolder.planted() && inTree.planted());

    RemoveListedFiles(root, {L"ro.txt", L"missing\\gone.txt", L"..\\victim.txt",
                             L"a\\..\\..\\victim.txt", (dir / L"victim.txt").native(), L"f"});
    RemoveListedFiles(dir / L"Elsewhere", {L"file.txt", L"deep\\leaf.txt"});
    const CurrentFolder current(dir.path());
    RemoveListedFiles(L"", {L"file.txt"}); // no folder: nothing relative to the current one
    if (const auto held = OpenPath(data))
        RemoveContent(held->handle.get());

    for (const fs::path& stays :
         {theirs / L"deep\\leaf.txt", theirs / L"file.txt", dir / L"victim.txt", dir / L"file.txt"})
        EXPECT_TRUE(fs::exists(stays)) << WideToUtf8(stays.native());
    EXPECT_FALSE(fs::exists(root / L"ro.txt"));
    EXPECT_FALSE(fs::exists(data / L"a\\b"));
}

// The product's program, in a subfolder, running from the folder however it is named: in
// capitals, with "..", or through a link. Not a program of the same name running from another
// folder, where an installation goes ahead.
TEST_F(Units, RunningCheck) {
    const fs::path folder = temp / L"Installé";
    fs::create_directories(folder / L"bin");
    fs::copy_file(BinDir() / L"orvalis_product.exe", folder / info.exe);
    const FolderLink alias(temp / L"alias", folder);
    ChildProcess product(Quoted(folder / info.exe));
    ASSERT_TRUE(Eventually([&] { return !FindRunningInstance(info, folder).empty(); }));
    ProductInfo capitals = info;
    capitals.exe = L"BIN\\ORVALIS.EXE";
    EXPECT_FALSE(FindRunningInstance(capitals, folder / L"bin\\..").empty());
    EXPECT_FALSE(FindRunningInstance(info, temp / L"alias").empty());
    // The second time, that folder holds a program of the same name.
    for (int round = 0; round < 2; ++round)
        EXPECT_TRUE(Run(Scope::User, temp / L"Autre")) << "round " << round;
}

// What is not the installation's own stays: a data folder reached through a linked product
// folder or named relatively.
TEST_F(Units, RemovalLeavesWhatIsNotItsOwn) {
    WriteFileBytes(temp / L"theirs\\Data\\keep.txt", "theirs");
    WriteFileBytes(temp / L"Data\\keep.txt", "theirs");
    const FolderLink product(temp / L"product", temp / L"theirs");
    info.hasDataDir = true;
    ComApartment apartment;
    const CurrentFolder current(temp.path());
    // A relative record removes no data at all: neither below the current folder nor the
    // product's default data folder in its place.
    WriteFileBytes(temp / L"nested\\sub\\Data\\keep.txt", "theirs");
    const fs::path byDefault = DataDirectory(info.product, Scope::User) / L"keep.txt";
    WriteFileBytes(byDefault, "kept");
    for (const fs::path& data :
         {temp / L"product\\Data", fs::path(L"Data"), fs::path(L"nested\\sub\\Data")}) {
        WriteStringValue(HKEY_CURRENT_USER, info.registryKey + L"\\Install", L"DataDir",
                         data.native());
        ASSERT_TRUE(Uninstall(info, Scope::User, temp / L"none", true));
    }
    EXPECT_EQ(ReadFileBytes(temp / L"theirs\\Data\\keep.txt"), "theirs");
    EXPECT_EQ(ReadFileBytes(temp / L"Data\\keep.txt"), "theirs");
    EXPECT_EQ(ReadFileBytes(temp / L"nested\\sub\\Data\\keep.txt"), "theirs");
    EXPECT_EQ(ReadFileBytes(byDefault), "kept");
}

// Breaks the user's local application data folder in the prefix's registry for a moment: this
// case runs as a ctest entry of its own, with nothing else running.
TEST_F(Units, AloneUnresolvableDataFolderIsNeitherCreatedNorRecorded) {
    const std::wstring folders =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    KeyHandle key;
    ::RegOpenKeyExW(HKEY_CURRENT_USER, folders.c_str(), 0, KEY_SET_VALUE, key.put());
    const auto set = [&](const std::wstring& folder) {
        ::RegSetValueExW(key.get(), L"Local AppData", 0, REG_EXPAND_SZ,
                         reinterpret_cast<const BYTE*>(folder.c_str()),
                         static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t)));
    };
    info.hasDataDir = true;
    const CurrentFolder current(temp.path());
    set(L"Q:\\nowhere\\Local");
    EXPECT_TRUE(DataDirectory(info.product, Scope::User).is_relative());
    EXPECT_TRUE(Run(Scope::User, temp / L"Orvalis"));
    set(L"%USERPROFILE%\\AppData\\Local");
    EXPECT_FALSE(fs::exists(temp / info.product));
    EXPECT_FALSE(ReadStringValue(HKEY_CURRENT_USER, info.registryKey + L"\\Install", L"DataDir"));
}

// Wine starts a Linux program without a process handle, and the thread's field then holds
// whatever value it left there, which may be a handle of this process (it once was the
// cached handle of HKEY_CURRENT_USER): no handle of ours is closed for it.
TEST(StartedProcess, LinuxProgramUnderWineClosesNothingOfOurs) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    std::wstring line = L"/bin/true";
    ASSERT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                 &startup, &started));
    ASSERT_EQ(started.hProcess, nullptr) << "Wine now gives a process: this test is moot";
    const UniqueHandle ours(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    started.hThread = ours.get();
    EXPECT_FALSE(TakeStartedProcess(started));
    DWORD flags = 0;
    EXPECT_TRUE(::GetHandleInformation(ours.get(), &flags)) << "a handle of ours was closed";
}

} // namespace

int main(int argc, char** argv) {
    // Started again by RelaunchElevated, or as the uninstaller's second stage (the test sets
    // the variable for its children only): record how, and answer 42 when elevated. Whatever
    // switches are missing, a child never runs the tests again.
    if (wchar_t record[1024] = {}; ::GetEnvironmentVariableW(L"ORVALIS_RECORD", record, 1024) > 0) {
        WriteFileBytes(record, WideToUtf8(::GetCommandLineW()));
        return ParseCommandLine().elevated ? 42 : 0;
    }
    // Held from the start, as the setup program's entry point holds it.
    OwnProgramFile();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
