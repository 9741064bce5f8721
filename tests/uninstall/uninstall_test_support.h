// Helpers of the uninstallation tests: registry state, hand-made registrations, processes
// and the windows of the uninstaller.
#pragma once

#include "setup/command_line.h"
#include "setup/handles.h"
#include "setup/metadata.h"
#include "tests/support/system_probe.h"
#include "tests/support/test_support.h"

#include <windows.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace uninstall_testing {

bool ValueExists(HKEY hive, const std::wstring& subKey, const wchar_t* name);
void WriteString(HKEY hive, const std::wstring& subKey, const wchar_t* name,
                 const std::wstring& text);

// Writes the registry layout that an installation of info in installDir leaves: uninstall
// entry, install record (with DataDir when dataDir is given) and the file types.
void WriteRegistration(Scope scope, const ProductInfo& info,
                       const std::filesystem::path& installDir,
                       const std::optional<std::filesystem::path>& dataDir);
// Whether any key of that layout is still there.
std::vector<std::wstring> RemainingKeys(Scope scope, const ProductInfo& info);
// Removes the whole layout and the application key's chain, for clean-up.
void DeleteRegistration(Scope scope, const ProductInfo& info);
// How many of those keys a complete installation has.
std::size_t RegistrationKeyCount(const ProductInfo& info);
// A value of the product's uninstall entry, or empty.
std::wstring Registered(Scope scope, const ProductInfo& info, const wchar_t* value);

// The process ids of running processes whose executable file name is name.
std::vector<DWORD> ProcessesNamed(const std::wstring& name);
// Waits for a process with that executable name to appear.
std::optional<DWORD> WaitForProcessNamed(const std::wstring& name, DWORD timeoutMs = 30000);

// Starts the uninstaller's first stages and removes the temporary copies they make.
class FirstStages {
  public:
    explicit FirstStages(std::wstring product) : product_(std::move(product)) {}
    FirstStages(const FirstStages&) = delete;
    FirstStages& operator=(const FirstStages&) = delete;
    ~FirstStages();
    std::unique_ptr<testing_support::ChildProcess> Start(const std::wstring& commandLine);
    // The copy that the last started first stage makes in the temporary folder.
    const std::filesystem::path& LastCopy() const { return copies_.back(); }

  private:
    std::wstring product_;
    std::vector<std::filesystem::path> copies_;
};

// The second stage: the copy in the temporary folder that a first stage started, waited for.
// A failed test can leave it waiting on a window, so it is ended when let go.
class SecondStage {
  public:
    explicit SecondStage(const std::filesystem::path& copy);
    SecondStage(const SecondStage&) = delete;
    SecondStage& operator=(const SecondStage&) = delete;
    ~SecondStage();
    explicit operator bool() const { return static_cast<bool>(process_); }
    std::optional<DWORD> WaitForExit(DWORD timeoutMs);
    HWND WaitForWindow(const std::wstring& caption) const;

  private:
    UniqueHandle process_;
};

// The text of a message box.
std::wstring MessageText(HWND box);

// The texts of a window's visible child windows.
std::vector<std::wstring> ChildTexts(HWND window);
// The first child window whose text is text, or null.
HWND ChildWithText(HWND window, const std::wstring& text);
// Waits for the window to go away.
bool WaitForWindowGone(HWND window, DWORD timeoutMs = 30000);

// Polls until predicate holds or the time is up; returns its last answer.
template <class Predicate> bool Eventually(Predicate predicate, DWORD timeoutMs = 15000) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!predicate()) {
        if (::GetTickCount64() >= deadline)
            return predicate();
        ::Sleep(100);
    }
    return true;
}

} // namespace uninstall_testing
