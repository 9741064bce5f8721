#include "tests/uninstall/uninstall_test_support.h"

#include "install/registry.h"
#include "setup/handles.h"

#include <tlhelp32.h>

namespace uninstall_testing {

using testing_support::DeleteTree;
using testing_support::KeyExists;

bool ValueExists(HKEY hive, const std::wstring& subKey, const wchar_t* name) {
    return ::RegGetValueW(hive, subKey.c_str(), name, RRF_RT_ANY, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS;
}

void WriteString(HKEY hive, const std::wstring& subKey, const wchar_t* name,
                 const std::wstring& text) {
    auto key = CreateRegistryKey(hive, subKey);
    if (key)
        SetRegistryString(key->get(), name, text);
}

void WriteRegistration(Scope scope, const ProductInfo& info,
                       const std::filesystem::path& installDir,
                       const std::optional<std::filesystem::path>& dataDir) {
    const HKEY hive = HiveFor(scope);
    const std::wstring exePath = (installDir / info.exe).native();
    const std::wstring command = L"\"" + (installDir / L"Uninstall.exe").native() +
                                 L"\" /UNINSTALL" +
                                 (scope == Scope::Machine ? L" /ALLUSERS" : L" /CURRENTUSER");
    const std::wstring entry = UninstallKeyPath(info.product);
    WriteString(hive, entry, L"DisplayName", info.product);
    WriteString(hive, entry, L"DisplayVersion", info.version);
    WriteString(hive, entry, L"InstallLocation", installDir.native());
    WriteString(hive, entry, L"UninstallString", command);
    WriteString(hive, entry, L"QuietUninstallString", command + L" /S");

    const std::wstring record = info.registryKey + L"\\Install";
    WriteString(hive, record, L"InstallDir", installDir.native());
    if (dataDir)
        WriteString(hive, record, L"DataDir", dataDir->native());
    WriteString(hive, record, L"Scope", scope == Scope::Machine ? L"machine" : L"user");
    WriteString(hive, record, L"Version", info.version);

    for (const FileType& type : info.fileTypes) {
        const std::wstring progId = MakeProgId(info.product, type.extension);
        const std::wstring classes = L"Software\\Classes\\";
        WriteString(hive, classes + progId, nullptr, type.description);
        WriteString(hive, classes + progId + L"\\DefaultIcon", nullptr, L"\"" + exePath + L"\",0");
        WriteString(hive, classes + progId + L"\\shell\\open\\command", nullptr,
                    L"\"" + exePath + L"\" \"%1\"");
        WriteString(hive, classes + type.extension, nullptr, progId);
        WriteString(hive, classes + type.extension + L"\\OpenWithProgids", progId.c_str(), L"");
    }
}

std::vector<std::wstring> RemainingKeys(Scope scope, const ProductInfo& info) {
    const HKEY hive = HiveFor(scope);
    std::vector<std::wstring> keys = {UninstallKeyPath(info.product), info.registryKey};
    for (const FileType& type : info.fileTypes) {
        keys.push_back(L"Software\\Classes\\" + MakeProgId(info.product, type.extension));
        keys.push_back(L"Software\\Classes\\" + type.extension);
    }
    std::vector<std::wstring> remaining;
    for (const auto& key : keys)
        if (KeyExists(hive, key))
            remaining.push_back(key);
    return remaining;
}

void DeleteRegistration(Scope scope, const ProductInfo& info) {
    const HKEY hive = HiveFor(scope);
    DeleteTree(hive, UninstallKeyPath(info.product));
    DeleteTree(hive, info.registryKey);
    for (const FileType& type : info.fileTypes) {
        DeleteTree(hive, L"Software\\Classes\\" + MakeProgId(info.product, type.extension));
        DeleteTree(hive, L"Software\\Classes\\" + type.extension);
    }
}

std::size_t RegistrationKeyCount(const ProductInfo& info) {
    return 2 + 2 * info.fileTypes.size();
}

std::wstring Registered(Scope scope, const ProductInfo& info, const wchar_t* value) {
    return ReadRegistryString(HiveFor(scope), UninstallKeyPath(info.product), value).value_or(L"");
}

std::vector<DWORD> ProcessesNamed(const std::wstring& name) {
    std::vector<DWORD> ids;
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return ids;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry))
        if (_wcsicmp(entry.szExeFile, name.c_str()) == 0)
            ids.push_back(entry.th32ProcessID);
    return ids;
}

std::optional<DWORD> WaitForProcessNamed(const std::wstring& name, DWORD timeoutMs) {
    std::optional<DWORD> found;
    Eventually(
        [&] {
            const auto ids = ProcessesNamed(name);
            if (!ids.empty())
                found = ids.front();
            return found.has_value();
        },
        timeoutMs);
    return found;
}

FirstStages::~FirstStages() {
    std::error_code ignored;
    for (const auto& copy : copies_)
        std::filesystem::remove(copy, ignored);
}

std::unique_ptr<testing_support::ChildProcess> FirstStages::Start(const std::wstring& commandLine) {
    auto first = std::make_unique<testing_support::ChildProcess>(commandLine);
    if (first->started())
        copies_.push_back(std::filesystem::temp_directory_path() /
                          (product_ + L"-uninstall-" + std::to_wstring(first->id()) + L".exe"));
    return first;
}

SecondStage::SecondStage(const std::filesystem::path& copy) {
    if (const auto id = WaitForProcessNamed(copy.filename().native()))
        process_.reset(::OpenProcess(
            SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, *id));
}

SecondStage::~SecondStage() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT)
        ::TerminateProcess(process_.get(), 9999);
}

std::optional<DWORD> SecondStage::WaitForExit(DWORD timeoutMs) {
    DWORD code = 0;
    if (::WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.get(), &code))
        return std::nullopt;
    return code;
}

HWND SecondStage::WaitForWindow(const std::wstring& caption) const {
    return testing_support::WaitForProcessWindow(::GetProcessId(process_.get()), caption);
}

std::wstring MessageText(HWND box) {
    wchar_t text[1024] = {};
    ::GetDlgItemTextW(box, 0xFFFF, text, 1024);
    return text;
}

namespace {

BOOL CALLBACK CollectChild(HWND child, LPARAM parameter) {
    if (!::IsWindowVisible(child))
        return TRUE;
    // Another process's controls: their text has to be asked for.
    wchar_t text[1024] = {};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(child, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, 5000, &ignored);
    reinterpret_cast<std::vector<std::pair<HWND, std::wstring>>*>(parameter)->emplace_back(child,
                                                                                           text);
    return TRUE;
}

std::vector<std::pair<HWND, std::wstring>> Children(HWND window) {
    std::vector<std::pair<HWND, std::wstring>> children;
    ::EnumChildWindows(window, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

} // namespace

std::vector<std::wstring> ChildTexts(HWND window) {
    std::vector<std::wstring> texts;
    for (auto& [child, text] : Children(window))
        texts.push_back(text);
    return texts;
}

HWND ChildWithText(HWND window, const std::wstring& text) {
    for (auto& [child, childText] : Children(window))
        if (childText == text)
            return child;
    return nullptr;
}

bool WaitForWindowGone(HWND window, DWORD timeoutMs) {
    return Eventually([&] { return !::IsWindow(window); }, timeoutMs);
}

} // namespace uninstall_testing
