// Helpers of the uninstallation tests: registry state, hand-made registrations, processes
// and the windows of the uninstaller.
#pragma once

#include "setup/command_line.h"
#include "setup/metadata.h"
#include "tests/support/system_probe.h"

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
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

// The process ids of running processes whose executable file name is name.
std::vector<DWORD> ProcessesNamed(const std::wstring& name);
// Waits for a process with that executable name to appear.
std::optional<DWORD> WaitForProcessNamed(const std::wstring& name, DWORD timeoutMs = 30000);

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
