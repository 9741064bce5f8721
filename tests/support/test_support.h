// What the test programs share: scratch folders and files, processes and their windows, the
// registry and shortcut read back, the test product taken away, and the ground another user
// of the machine can prepare.
#pragma once

#include "setup/handles.h"
#include "setup/metadata.h"

#include <windows.h>

#include <filesystem>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace testing_support {

// The folder of the running test program; every built program lies there too.
std::filesystem::path BinDir();
// A name no other test (or earlier run) uses: prefix, process id and a counter.
std::wstring UniqueName(std::wstring_view prefix);
// A product of a test's own: a unique name, its program in bin\, its key below the tests' maker.
ProductInfo UniqueProduct(std::wstring_view prefix);

// A fresh folder below the temporary folder, removed with everything in it at the end.
class TempDir {
  public:
    explicit TempDir(std::wstring_view prefix = L"lumen-test");
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::wstring_view child) const { return path_ / child; }

  private:
    std::filesystem::path path_;
};

std::string ReadFileBytes(const std::filesystem::path& file);
// A file's size and a digest of its bytes: short enough to show when two differ.
std::string Digest(std::string_view bytes);
// Every file and folder below folder, by relative path: a file's Digest, a folder's mark.
std::map<std::wstring, std::string> Snapshot(const std::filesystem::path& folder);
void WriteFileBytes(const std::filesystem::path& file, std::string_view bytes);
// A package of the files given (relative path, bytes), in blocks of 100 bytes, made by the
// package tool in work.
std::string PackFiles(const std::filesystem::path& work,
                      const std::map<std::wstring, std::string>& files);
// The bytes of a program's RT_RCDATA resource, read from its file; empty when it has none.
std::string ResourceBytes(const std::filesystem::path& program, const wchar_t* name);

// CreateProcessW of a command line exactly as written, printing each failure with its line on
// standard error. A start that Wine reports as ERROR_INTERNAL_ERROR is made again (twice at
// most): the new process died in Wine's own start-up, before any of the program ran, as it
// does now and then when many start at once.
bool StartProcess(const std::wstring& commandLine, BOOL inheritHandles, DWORD flags,
                  const wchar_t* workingDir, STARTUPINFOW& startup, PROCESS_INFORMATION& started);

// A started process (a command line exactly as written), terminated at the end unless it
// has ended. With captureError its standard error is a pipe, as a deployment tool gives it.
class ChildProcess {
  public:
    explicit ChildProcess(const std::wstring& commandLine,
                          const std::filesystem::path& workingDir = {}, bool captureError = false);
    // A process that another one started, found by its id.
    explicit ChildProcess(DWORD processId);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();
    DWORD id() const { return id_; }
    // The exit code, or nothing when it did not end in time. With standardError, what it (and
    // what it passed the handle on to) wrote there, up to 4 KiB.
    std::optional<DWORD> Wait(DWORD timeoutMs, std::string* standardError = nullptr);

  private:
    UniqueHandle process_;
    UniqueHandle errorPipe_;
    DWORD id_ = 0;
};
// Starts a command line and waits for it; nothing when it could not start or end in time.
// With standardError, as a deployment tool does: see ChildProcess.
std::optional<DWORD> RunProcess(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                                const std::filesystem::path& workingDir = {},
                                std::string* standardError = nullptr);
// Every process the test program started, and what those started in turn, is ended unless it
// ends within graceMs: call it where a test ends.
void EndStartedProcesses(DWORD graceMs = 10000);
inline std::wstring Quoted(const std::filesystem::path& path) {
    return L"\"" + path.native() + L"\"";
}

// Polls until the condition holds or the time is up; returns its last answer.
bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs = 20000);

// A visible top-level window of the process with exactly this caption, waited for.
HWND WaitForProcessWindow(DWORD processId, std::wstring_view caption, DWORD timeoutMs = 30000);
// The first visible child window (at any depth) whose text is text, or null.
HWND ChildWithText(HWND window, std::wstring_view text);
// The text of a window of any process, asked for with a time-out.
std::wstring WindowText(HWND window);
// The text of a message box: its static control 0xFFFF.
std::wstring MessageText(HWND box);

// A folder link planted the way another user of the machine would plant one. Windows programs
// under Wine cannot make one: it is a Unix symbolic link, which they see as a folder with
// FILE_ATTRIBUTE_REPARSE_POINT and cannot remove either. The holder removes the link, never
// its target, when it goes: hold it in a member declared after any folder that a clean-up
// would empty.
class FolderLink {
  public:
    FolderLink(const std::filesystem::path& link, const std::filesystem::path& target);
    FolderLink(const FolderLink&) = delete;
    FolderLink& operator=(const FolderLink&) = delete;
    ~FolderLink();
    // Whether the link is there and seen as one.
    bool planted() const;

  private:
    std::filesystem::path link_;
};

// A file's or folder's Unix permission bits as stat prints them ("755"), read from Unix. Wine
// keeps no DACL: it writes one to a folder as these bits, where an entry for a group its user
// belongs to (BUILTIN\Users among them) shows as the group's.
std::string UnixMode(const std::filesystem::path& path);

// A file renamed aside and another put under its name, as another user may do on Windows to a
// running program's file. Windows programs under Wine cannot rename a file that a process holds
// without delete sharing, so it is done from Unix. The holder puts the file back.
class ReplacedFile {
  public:
    ReplacedFile(const std::filesystem::path& file, const std::filesystem::path& replacement);
    ReplacedFile(const ReplacedFile&) = delete;
    ReplacedFile& operator=(const ReplacedFile&) = delete;
    ~ReplacedFile();

  private:
    std::filesystem::path file_, aside_;
};

// A small volume mounted on an empty folder, as a small drive is: writes beyond its size fail
// with a full disk. A tmpfs mounted from Unix, which needs the root account with the right to
// mount (as this project's machines give); the holder unmounts it.
class SmallVolume {
  public:
    SmallVolume(const std::filesystem::path& folder, unsigned mebibytes);
    SmallVolume(const SmallVolume&) = delete;
    SmallVolume& operator=(const SmallVolume&) = delete;
    ~SmallVolume();
    // Whether the folder is that volume, as the system reports its size.
    bool mounted() const;

  private:
    std::filesystem::path folder_;
    std::uint64_t bytes_;
};

// Sets an environment variable of this process, which started programs inherit, and
// restores its earlier value when the holder goes.
class EnvironmentOverride {
  public:
    EnvironmentOverride(const wchar_t* name, const std::wstring& value);
    EnvironmentOverride(const EnvironmentOverride&) = delete;
    EnvironmentOverride& operator=(const EnvironmentOverride&) = delete;
    ~EnvironmentOverride();

  private:
    std::wstring name_;
    std::optional<std::wstring> previous_;
};

inline bool KeyExists(HKEY hive, const std::wstring& subkey) {
    KeyHandle key;
    return ::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}
// A REG_SZ with its terminating null, as the program writes it; nothing otherwise.
std::optional<std::wstring> ReadStringValue(HKEY hive, const std::wstring& subkey,
                                            const wchar_t* name);
void WriteStringValue(HKEY hive, const std::wstring& subkey, const wchar_t* name,
                      const std::wstring& text);
// Removes a key with everything below it; a missing key is fine.
inline void DeleteTree(HKEY hive, const std::wstring& subkey) {
    ::RegDeleteTreeW(hive, subkey.c_str());
    ::RegDeleteKeyW(hive, subkey.c_str());
}

// The product a setup program describes in its METADATA resource.
inline ProductInfo ProductOf(const std::filesystem::path& setupProgram) {
    return LoadProductInfo(ParseMetadata(ResourceBytes(setupProgram, L"METADATA")));
}
// Every trace an installation of the product can leave, in both scopes: registry keys (the
// file types and the maker's key included), shortcut, data directory, the default install
// folders, and the folder given.
void RemoveProduct(const ProductInfo& info, const std::filesystem::path& folder = {});

// A shortcut's target, working folder, description, icon and icon index, loaded through
// IShellLinkW and joined with "|"; nothing when it cannot be loaded. Needs a COM apartment.
std::optional<std::wstring> ShortcutFields(const std::filesystem::path& link);

} // namespace testing_support
