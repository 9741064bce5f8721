// The built setup program as a file and as a process.
#include "tests/support/system_probe.h"
#include "tests/support/test_support.h"

#include "setup/handles.h"
#include "setup/text.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace testing_support;

namespace {

const auto kSetup = L"foundation_setup.exe";
// The setup program of no product: no METADATA, no PAYLOAD.
const auto kStub = L"setup_stub.exe";

ModuleHandle LoadAsData(const wchar_t* name) {
    return ModuleHandle(
        ::LoadLibraryExW((BinDir() / name).c_str(), nullptr,
                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
}

bool HasResource(HMODULE module, const wchar_t* type, const wchar_t* name, WORD language) {
    return ::FindResourceExW(module, type, name, language) != nullptr;
}

TEST(SetupExecutable, IsA64BitGuiProgram) {
    const std::string bytes = ReadFileBytes(BinDir() / kSetup);
    ASSERT_GT(bytes.size(), 0x200u);
    IMAGE_DOS_HEADER dos;
    std::memcpy(&dos, bytes.data(), sizeof(dos));
    ASSERT_EQ(dos.e_magic, IMAGE_DOS_SIGNATURE);
    IMAGE_NT_HEADERS64 nt;
    std::memcpy(&nt, bytes.data() + dos.e_lfanew, sizeof(nt));
    EXPECT_EQ(nt.Signature, IMAGE_NT_SIGNATURE);
    EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt.OptionalHeader.Magic, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    EXPECT_EQ(nt.OptionalHeader.Subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
}

TEST(SetupExecutable, CarriesItsResources) {
    const auto module = LoadAsData(kSetup);
    ASSERT_TRUE(module);
    const WORD neutral = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
    // The package must be language neutral: that is the language the uninstaller copy
    // removes it with.
    EXPECT_TRUE(HasResource(module.get(), RT_RCDATA, L"METADATA", neutral));
    EXPECT_TRUE(HasResource(module.get(), RT_RCDATA, L"PAYLOAD", neutral));
    EXPECT_TRUE(HasResource(module.get(), RT_DIALOG, MAKEINTRESOURCEW(100), neutral));
    EXPECT_TRUE(HasResource(module.get(), RT_GROUP_ICON, MAKEINTRESOURCEW(1), neutral));
    EXPECT_TRUE(HasResource(module.get(), RT_MANIFEST, MAKEINTRESOURCEW(1), neutral));

    HRSRC manifest = ::FindResourceExW(module.get(), RT_MANIFEST, MAKEINTRESOURCEW(1), neutral);
    ASSERT_NE(manifest, nullptr);
    const auto* text =
        static_cast<const char*>(::LockResource(::LoadResource(module.get(), manifest)));
    const std::string xml(text, ::SizeofResource(module.get(), manifest));
    EXPECT_NE(xml.find("name=\"Lumen.Setup\""), std::string::npos);
    EXPECT_NE(xml.find("level=\"asInvoker\""), std::string::npos);
    EXPECT_NE(xml.find("PerMonitorV2"), std::string::npos);
    EXPECT_NE(xml.find("Microsoft.Windows.Common-Controls"), std::string::npos);

    // The dialog's French texts survive the resource compiler as UTF-16.
    HRSRC dialog = ::FindResourceExW(module.get(), RT_DIALOG, MAKEINTRESOURCEW(100), neutral);
    ASSERT_NE(dialog, nullptr);
    const auto* words =
        static_cast<const wchar_t*>(::LockResource(::LoadResource(module.get(), dialog)));
    const std::wstring_view templateText(words, ::SizeofResource(module.get(), dialog) / 2);
    for (const wchar_t* expected : {L"Tous les utilisateurs de cet ordinateur (recommand\u00E9)",
                                    L"Lancer \u00E0 la fin de l'installation",
                                    L"Dossier d'installation :", L"Parcourir...", L"Segoe UI"})
        EXPECT_NE(templateText.find(expected), std::wstring_view::npos) << WideToUtf8(expected);

    const auto stub = LoadAsData(kStub);
    ASSERT_TRUE(stub);
    EXPECT_FALSE(HasResource(stub.get(), RT_RCDATA, L"METADATA", neutral));
    EXPECT_FALSE(HasResource(stub.get(), RT_RCDATA, L"PAYLOAD", neutral));
}

TEST(SetupExecutable, SilentRunWithoutPackageFailsWithoutWindow) {
    // A message box would keep the process alive until the time-out.
    const auto code = RunProcess(Quoted(BinDir() / kStub) + L" /S /CURRENTUSER", 60000);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 1603u);
}

std::wstring ControlText(HWND dialog, int id) {
    wchar_t text[1024] = {};
    ::GetDlgItemTextW(dialog, id, text, 1024);
    return text;
}

TEST(SetupExecutable, InteractiveRunWithoutPackageExplainsAndFails) {
    ChildProcess setup(Quoted(BinDir() / kStub));
    ASSERT_TRUE(setup.started());
    HWND box = WaitForProcessWindow(setup.id(), L"Installation");
    ASSERT_NE(box, nullptr) << "no message box appeared";
    // The message box's text is its static control 0xFFFF.
    EXPECT_EQ(ControlText(box, 0xFFFF),
              L"Ce programme d'installation est incomplet ou endommagé :\n"
              L"Paquet MVPK invalide (signature)");
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(setup.Wait(30000), 1603u);
}

TEST(SetupExecutable, UninstallSwitchWinsAndNeverLooksAtThePackage) {
    // A program without a package would stop as damaged on any installing path; with
    // /UNINSTALL it uninstalls a product that is not there, which succeeds.
    TempDir temp(L"uninstall switch");
    CopyStubWith(temp / L"Uninstall.exe", L"METADATA",
                 ResourceBytes(BinDir() / kSetup, L"METADATA"));
    const auto code =
        RunProcess(Quoted(temp / L"Uninstall.exe") + L" /S /UNINSTALL /CURRENTUSER", 60000);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0u);
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\"
                                              L"Uninstall\\Testprodukt Fondation"));
}

} // namespace
