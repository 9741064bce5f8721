#include "tests/support/test_support.h"

#include "install/registry.h"
#include "install/shortcut.h"
#include "setup/text.h"

#include <shlobj.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

namespace fs = std::filesystem;

fs::path BinDir() {
    wchar_t path[MAX_PATH * 4];
    return fs::path(std::wstring(path, ::GetModuleFileNameW(nullptr, path, MAX_PATH * 4)))
        .parent_path();
}

std::wstring UniqueName(std::wstring_view prefix) {
    static std::atomic<unsigned> counter{0};
    return std::wstring(prefix) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::GetTickCount64() % 100000) + L"-" + std::to_wstring(++counter);
}

ProductInfo UniqueProduct(std::wstring_view prefix) {
    ProductInfo info;
    info.product = UniqueName(prefix);
    info.exe = L"bin\\Orvalis.exe";
    info.registryKey = L"Software\\Orvalis Tests\\" + info.product;
    return info;
}

TempDir::TempDir(std::wstring_view prefix) : path_(fs::temp_directory_path() / UniqueName(prefix)) {
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    // A program a test started may still be ending, its file in use: Windows then deletes
    // that file only once it is closed, and the folder cannot go before.
    std::error_code ignored;
    for (int attempt = 0; attempt < 50 && fs::exists(path_, ignored); ++attempt) {
        if (attempt > 0)
            ::Sleep(100);
        fs::remove_all(path_, ignored);
    }
}

std::string ReadFileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Digest(std::string_view bytes) {
    return std::to_string(bytes.size()) + ":" +
           std::to_string(std::hash<std::string_view>{}(bytes));
}

std::map<std::wstring, std::string> Snapshot(const fs::path& folder) {
    std::map<std::wstring, std::string> tree;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        tree[fs::relative(entry.path(), folder).native()] =
            entry.is_directory() ? "<folder>" : Digest(ReadFileBytes(entry.path()));
    return tree;
}

void WriteFileBytes(const fs::path& file, std::string_view bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot write " + file.string());
}

std::string PackFiles(const fs::path& work, const std::map<std::wstring, std::string>& files) {
    for (const auto& [path, bytes] : files)
        WriteFileBytes(work / L"src" / path, bytes);
    WriteFileBytes(work / L"meta", "");
    RunProcess(Quoted(BinDir() / L"mvpk.exe") + L" pack " + Quoted(work / L"src") + L" " +
               Quoted(work / L"meta") + L" " + Quoted(work / L"p.mvpk") + L" --block-size 100");
    return ReadFileBytes(work / L"p.mvpk");
}

std::string ResourceBytes(const fs::path& program, const wchar_t* name) {
    const ModuleHandle module(::LoadLibraryExW(
        program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    HRSRC found = module ? ::FindResourceW(module.get(), name, RT_RCDATA) : nullptr;
    return found == nullptr ? std::string()
                            : std::string(static_cast<const char*>(
                                              ::LockResource(::LoadResource(module.get(), found))),
                                          ::SizeofResource(module.get(), found));
}

namespace {

// Every process the test program starts, and whatever those start in turn (the uninstaller's
// second stages and clean-up, elevated copies), is in this job, which the system ends with the
// program however that ends: normally, by a crash, or killed by ctest's time-out (Wine 8 too).
// The handle is never closed: closing it would end this process as well, with the job's exit
// code in place of the tests' result; the system closes it once the process has ended.
const HANDLE testJob = [] {
    // Under Wine the desktop window belongs to a process that the first one needing it starts,
    // in its job and holding its standard error. Started from here before the job, it is never
    // ended with a test and never holds the test's output open.
    const HANDLE output = ::GetStdHandle(STD_ERROR_HANDLE);
    ::SetStdHandle(STD_ERROR_HANDLE, nullptr);
    ::GetDesktopWindow();
    ::SetStdHandle(STD_ERROR_HANDLE, output);
    const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    ::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
    ::AssignProcessToJobObject(job, ::GetCurrentProcess());
    return job;
}();

} // namespace

void EndStartedProcesses(DWORD graceMs) {
    ULONG_PTR buffer[1024] = {};
    const auto* const list = reinterpret_cast<const JOBOBJECT_BASIC_PROCESS_ID_LIST*>(buffer);
    const auto alone = [&] {
        return !::QueryInformationJobObject(testJob, JobObjectBasicProcessIdList, buffer,
                                            sizeof(buffer), nullptr) ||
               list->NumberOfProcessIdsInList < 2;
    };
    if (Eventually(alone, graceMs))
        return;
    // The identifiers follow the two counts, read from the buffer rather than through the one
    // element the structure declares, which an optimiser may take as the bound.
    static_assert(sizeof(JOBOBJECT_BASIC_PROCESS_ID_LIST) == 2 * sizeof(ULONG_PTR));
    for (DWORD i = 1; i <= list->NumberOfProcessIdsInList; ++i) {
        const UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION,
                                                 FALSE, static_cast<DWORD>(buffer[i])));
        // An identifier may have been reused since the list was read.
        BOOL inJob = FALSE;
        if (buffer[i] != ::GetCurrentProcessId() && process &&
            ::IsProcessInJob(process.get(), testJob, &inJob) && inJob)
            ::TerminateProcess(process.get(), 9999);
    }
    // Termination completes on its own time: a process still ending could write after the
    // caller has started cleaning up what it wrote.
    Eventually(alone, graceMs);
}

bool StartProcess(const std::wstring& commandLine, BOOL inheritHandles, DWORD flags,
                  const wchar_t* workingDir, STARTUPINFOW& startup, PROCESS_INFORMATION& started) {
    for (int attempt = 1;; ++attempt) {
        std::wstring line = commandLine; // CreateProcessW may write into it
        if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, inheritHandles, flags, nullptr,
                             workingDir, &startup, &started))
            return true;
        const DWORD error = ::GetLastError();
        // Said where the test's own failure will show, which cannot tell why nothing ran.
        std::fprintf(stderr, "CreateProcessW failed (error %lu): %s\n", error,
                     WideToUtf8(commandLine).c_str());
        if (error != ERROR_INTERNAL_ERROR || attempt == 3)
            return false;
    }
}

ChildProcess::ChildProcess(const std::wstring& commandLine, const fs::path& workingDir,
                           bool captureError) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    UniqueHandle errorEnd;
    if (captureError && ::CreatePipe(errorPipe_.put(), errorEnd.put(), nullptr, 0)) {
        ::SetHandleInformation(errorEnd.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdError = errorEnd.get();
    }
    PROCESS_INFORMATION info{};
    if (StartProcess(commandLine, errorEnd ? TRUE : FALSE, 0,
                     workingDir.empty() ? nullptr : workingDir.c_str(), startup, info)) {
        process_ = TakeStartedProcess(info);
        id_ = info.dwProcessId;
    }
}

ChildProcess::ChildProcess(DWORD processId)
    : process_(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE,
                             FALSE, processId)),
      id_(processId) {}

std::optional<DWORD> ChildProcess::Wait(DWORD timeoutMs, std::string* standardError) {
    DWORD code = 0, available = 0, read = 0;
    const bool ended =
        process_ && ::WaitForSingleObject(process_.get(), timeoutMs) == WAIT_OBJECT_0;
    // Only what is there: a process it passed the handle on to may hold the pipe open still.
    char text[4096];
    if (standardError && errorPipe_ &&
        ::PeekNamedPipe(errorPipe_.get(), nullptr, 0, nullptr, &available, nullptr) &&
        available > 0)
        ::ReadFile(errorPipe_.get(), text, sizeof(text), &read, nullptr);
    if (standardError)
        standardError->assign(text, read);
    if (!ended || !::GetExitCodeProcess(process_.get(), &code))
        return std::nullopt;
    return code;
}

ChildProcess::~ChildProcess() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_.get(), 9999);
        ::WaitForSingleObject(process_.get(), 10000);
    }
}

std::optional<DWORD> RunProcess(const std::wstring& commandLine, DWORD timeoutMs,
                                const fs::path& workingDir, std::string* standardError) {
    return ChildProcess(commandLine, workingDir, standardError != nullptr)
        .Wait(timeoutMs, standardError);
}

bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs) {
    for (const ULONGLONG deadline = ::GetTickCount64() + timeoutMs; !condition(); ::Sleep(50))
        if (::GetTickCount64() >= deadline)
            return condition();
    return true;
}

namespace {

// Wine starts a Linux program through CreateProcessW but gives nothing to wait for: no process
// handle, and in the other fields what an earlier start had left there (a thread handle since
// closed, whose value another handle of this process may have taken). Nothing of it is used or
// closed; the outcome is waited for. Paths go through Wine's own conversion.
void RunUnix(const wchar_t* command, std::initializer_list<fs::path> paths,
             const std::function<bool()>& done) {
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring line = command;
    for (const fs::path& path : paths) {
        char* unix = convert(path.c_str());
        line += L" \"" + Utf8ToWide(unix != nullptr ? unix : "") + L"\"";
        ::HeapFree(::GetProcessHeap(), 0, unix);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION ignored{};
    StartProcess(line, FALSE, 0, nullptr, startup, ignored);
    Eventually(done, 5000);
}

} // namespace

// The text of a window of any process, asked for with a time-out.
std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, 5000, &ignored);
    return text;
}

std::wstring MessageText(HWND box) {
    return WindowText(::GetDlgItem(box, 0xFFFF));
}

HWND WaitForProcessWindow(DWORD processId, std::wstring_view caption, DWORD timeoutMs) {
    HWND found = nullptr;
    const std::wstring text(caption);
    Eventually(
        [&] {
            // Every top-level window with that caption, until one is the process's and shown.
            for (found = ::FindWindowExW(nullptr, nullptr, nullptr, text.c_str()); found;
                 found = ::FindWindowExW(nullptr, found, nullptr, text.c_str())) {
                DWORD owner = 0;
                ::GetWindowThreadProcessId(found, &owner);
                if (owner == processId && ::IsWindowVisible(found))
                    return true;
            }
            return false;
        },
        timeoutMs);
    return found;
}

HWND ChildWithText(HWND window, std::wstring_view text) {
    std::pair<std::wstring_view, HWND> search{text, nullptr};
    ::EnumChildWindows(
        window,
        [](HWND child, LPARAM parameter) -> BOOL {
            auto* s = reinterpret_cast<std::pair<std::wstring_view, HWND>*>(parameter);
            if (::IsWindowVisible(child) && WindowText(child) == s->first)
                s->second = child;
            return s->second == nullptr;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.second;
}

FolderLink::FolderLink(const fs::path& link, const fs::path& target) : link_(link) {
    RunUnix(L"/bin/ln -s", {target, link}, [this] { return planted(); });
}

FolderLink::~FolderLink() {
    // rm without -r never takes a folder; a link whose target is gone, still listed in its
    // folder, is removed as well.
    WIN32_FIND_DATAW found;
    RunUnix(L"/bin/rm -f", {link_},
            [&] { return !FindHandle(::FindFirstFileW(link_.c_str(), &found)); });
}

bool FolderLink::planted() const {
    const DWORD attributes = ::GetFileAttributesW(link_.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::string UnixMode(const fs::path& path) {
    const TempDir dir(L"mode");
    const fs::path out = dir / L"mode";
    // Written aside and renamed, so that what is waited for is whole.
    RunUnix(
        L"/bin/sh -c \"stat -c %a \\\"$0\\\" >\\\"$1.part\\\" && mv \\\"$1.part\\\" \\\"$1\\\"\"",
        {path, out}, [&] { return fs::exists(out); });
    std::string mode = fs::exists(out) ? ReadFileBytes(out) : std::string();
    return mode.substr(0, mode.find('\n'));
}

ReplacedFile::ReplacedFile(const fs::path& file, const fs::path& replacement)
    : file_(file), aside_(file.native() + L".ran") {
    RunUnix(L"/bin/mv", {file_, aside_}, [this] { return fs::exists(aside_); });
    std::error_code ignored; // a failed move leaves the file in place, and the test sees it
    fs::copy_file(replacement, file_, ignored);
}

ReplacedFile::~ReplacedFile() {
    RunUnix(L"/bin/mv -f", {aside_, file_}, [this] { return !fs::exists(aside_); });
}

SmallVolume::SmallVolume(const fs::path& folder, unsigned mebibytes)
    : folder_(folder), bytes_(std::uint64_t{mebibytes} << 20) {
    fs::create_directories(folder_);
    const std::wstring command =
        L"/bin/mount -t tmpfs -o size=" + std::to_wstring(mebibytes) + L"m,mode=0755 tmpfs";
    RunUnix(command.c_str(), {folder_}, [this] { return mounted(); });
}

SmallVolume::~SmallVolume() {
    // Lazily: whatever a failed test left open there goes with its process.
    RunUnix(L"/bin/umount -l", {folder_}, [this] { return !mounted(); });
}

bool SmallVolume::mounted() const {
    ULARGE_INTEGER total{};
    return ::GetDiskFreeSpaceExW(folder_.c_str(), nullptr, &total, nullptr) &&
           total.QuadPart == bytes_;
}

EnvironmentOverride::EnvironmentOverride(const wchar_t* name, const std::wstring& value)
    : name_(name) {
    if (const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0); size > 0) {
        previous_.emplace(size, L'\0');
        previous_->resize(::GetEnvironmentVariableW(name, previous_->data(), size));
    }
    ::SetEnvironmentVariableW(name, value.c_str());
}

EnvironmentOverride::~EnvironmentOverride() {
    ::SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

std::optional<std::wstring> ReadStringValue(HKEY hive, const std::wstring& subkey,
                                            const wchar_t* name) {
    // Read as stored, without the fix-ups of RegGetValueW: a value written without its
    // terminator is a fault the caller should see.
    KeyHandle key;
    DWORD type = 0;
    wchar_t data[2048];
    DWORD size = sizeof(data);
    if (::RegOpenKeyExW(hive, subkey.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ || size % 2 != 0 || size == 0 || data[size / 2 - 1] != L'\0')
        return std::nullopt;
    return std::wstring(data, size / 2 - 1);
}

void WriteStringValue(HKEY hive, const std::wstring& subkey, const wchar_t* name,
                      const std::wstring& text) {
    if (auto key = CreateRegistryKey(hive, subkey))
        ::RegSetValueExW(key->get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

void RemoveProduct(const ProductInfo& info, const fs::path& folder) {
    // Without a name its folders would be the known folders themselves.
    if (info.product.empty())
        return;
    std::error_code ignored;
    for (Scope scope : {Scope::User, Scope::Machine}) {
        const HKEY hive = HiveFor(scope);
        DeleteTree(hive, UninstallKeyPath(info.product));
        DeleteTree(hive, info.registryKey);
        // The maker's key, only when nothing else is left in it.
        ::RegDeleteKeyW(hive, info.registryKey.substr(0, info.registryKey.rfind(L'\\')).c_str());
        for (const FileType& type : info.fileTypes) {
            DeleteTree(hive, L"Software\\Classes\\" + MakeProgId(info.product, type.extension));
            DeleteTree(hive, L"Software\\Classes\\" + type.extension);
        }
        fs::remove(ShortcutPath(info, scope), ignored);
        fs::remove_all(DataDirectory(info.product, scope).parent_path(), ignored);
        fs::remove_all(DefaultInstallFolder(info.product, scope), ignored);
    }
    if (!folder.empty())
        fs::remove_all(folder, ignored);
}

std::optional<std::wstring> ShortcutFields(const fs::path& link) {
    ComPtr<IShellLinkW> shellLink;
    ComPtr<IPersistFile> file;
    wchar_t target[MAX_PATH], folder[MAX_PATH], description[MAX_PATH], icon[MAX_PATH];
    int index = -1;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  shellLink.put_void())) ||
        FAILED(shellLink.As(file)) || FAILED(file->Load(link.c_str(), STGM_READ)) ||
        FAILED(shellLink->GetPath(target, MAX_PATH, nullptr, 0)) ||
        FAILED(shellLink->GetWorkingDirectory(folder, MAX_PATH)) ||
        FAILED(shellLink->GetDescription(description, MAX_PATH)) ||
        FAILED(shellLink->GetIconLocation(icon, MAX_PATH, &index)))
        return std::nullopt;
    return std::wstring(target) + L"|" + folder + L"|" + description + L"|" + icon + L"|" +
           std::to_wstring(index);
}

} // namespace testing_support
