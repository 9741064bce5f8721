#include "tests/support/test_support.h"

#include "setup/text.h"

#include <atomic>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

fs::path BinDir() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return fs::path(std::wstring(buffer.data(), length)).parent_path();
}

std::wstring UniqueName(std::wstring_view prefix) {
    static std::atomic<unsigned> counter{0};
    return std::wstring(prefix) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::GetTickCount64() % 100000) + L"-" + std::to_wstring(++counter);
}

TempDir::TempDir(std::wstring_view prefix) : path_(fs::temp_directory_path() / UniqueName(prefix)) {
    fs::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Read-only files would stop the removal.
    for (auto it = fs::recursive_directory_iterator(path_, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored))
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    fs::remove_all(path_, ignored);
}

std::string ReadFileBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const fs::path& file, std::string_view bytes) {
    fs::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw std::runtime_error("cannot write " + file.string());
}

std::string ResourceBytes(const fs::path& program, const wchar_t* name) {
    const ModuleHandle module(::LoadLibraryExW(
        program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    HRSRC found = module ? ::FindResourceW(module.get(), name, RT_RCDATA) : nullptr;
    if (found == nullptr)
        return {};
    return std::string(
        static_cast<const char*>(::LockResource(::LoadResource(module.get(), found))),
        ::SizeofResource(module.get(), found));
}

void CopyStubWith(const fs::path& program, const wchar_t* name, std::string_view bytes) {
    fs::copy_file(BinDir() / L"setup_stub.exe", program, fs::copy_options::overwrite_existing);
    HANDLE update = ::BeginUpdateResourceW(program.c_str(), FALSE);
    const bool added =
        update != nullptr &&
        ::UpdateResourceW(update, RT_RCDATA, name, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                          const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    // Ending the update commits it, or discards it after a failure.
    if ((update != nullptr && !::EndUpdateResourceW(update, !added)) || !added)
        throw std::runtime_error("cannot add a resource to " + program.string());
}

ChildProcess::ChildProcess(const std::wstring& commandLine, const fs::path& workingDir) {
    std::wstring line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                         workingDir.empty() ? nullptr : workingDir.c_str(), &startup, &info)) {
        UniqueHandle thread(info.hThread);
        process_.reset(info.hProcess);
        id_ = info.dwProcessId;
    }
}

std::optional<DWORD> ChildProcess::Wait(DWORD timeoutMs) {
    DWORD code = 0;
    if (!process_ || ::WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(process_.get(), &code))
        return std::nullopt;
    return code;
}

void ChildProcess::Terminate() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_.get(), 9999);
        ::WaitForSingleObject(process_.get(), 10000);
    }
}

std::optional<DWORD> RunProcess(const std::wstring& commandLine, DWORD timeoutMs,
                                const fs::path& workingDir) {
    return ChildProcess(commandLine, workingDir).Wait(timeoutMs);
}

std::wstring Quoted(const fs::path& path) {
    return L"\"" + path.native() + L"\"";
}

bool Eventually(const std::function<bool()>& condition, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() >= deadline)
            return condition();
        ::Sleep(50);
    }
    return true;
}

std::wstring WindowText(HWND window) {
    wchar_t text[1024] = {};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, 5000, &ignored);
    return text;
}

namespace {

// The first visible window, top-level (no parent) or below parent, for which match holds.
HWND FindWindowWhere(HWND parent, const std::function<bool(HWND)>& match) {
    struct Search {
        const std::function<bool(HWND)>& match;
        HWND found = nullptr;
    } search{match};
    const WNDENUMPROC visit = [](HWND window, LPARAM parameter) -> BOOL {
        auto* s = reinterpret_cast<Search*>(parameter);
        if (!::IsWindowVisible(window) || !s->match(window))
            return TRUE;
        s->found = window;
        return FALSE;
    };
    if (parent != nullptr)
        ::EnumChildWindows(parent, visit, reinterpret_cast<LPARAM>(&search));
    else
        ::EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

} // namespace

HWND WaitForProcessWindow(DWORD processId, std::wstring_view caption, DWORD timeoutMs) {
    HWND found = nullptr;
    Eventually(
        [&] {
            return (found = FindWindowWhere(nullptr, [&](HWND window) {
                        DWORD owner = 0;
                        ::GetWindowThreadProcessId(window, &owner);
                        return owner == processId && WindowText(window) == caption;
                    })) != nullptr;
        },
        timeoutMs);
    return found;
}

HWND ChildWithText(HWND window, std::wstring_view text) {
    return FindWindowWhere(window, [&](HWND child) { return WindowText(child) == text; });
}

bool RunningUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

namespace {

// Wine starts Unix programs as it starts Windows ones, but their handle may be signalled
// before they are done: the outcome is waited for. Paths go through Wine's own conversion.
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
    RunProcess(line, 30000);
    Eventually(done, 5000);
}

} // namespace

FolderLink::FolderLink(const fs::path& link, const fs::path& target) : link_(link) {
    if (RunningUnderWine())
        RunUnix(L"/bin/ln -s", {target, link}, [this] { return planted(); });
    else
        ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                              SYMBOLIC_LINK_FLAG_DIRECTORY |
                                  SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
}

FolderLink::~FolderLink() {
    // rm without -r never takes a folder; a link whose target is gone, still listed in its
    // folder, is removed as well.
    WIN32_FIND_DATAW found;
    if (RunningUnderWine())
        RunUnix(L"/bin/rm -f", {link_},
                [&] { return !FindHandle(::FindFirstFileW(link_.c_str(), &found)); });
    else if (planted())
        ::RemoveDirectoryW(link_.c_str());
}

bool FolderLink::planted() const {
    const DWORD attributes = ::GetFileAttributesW(link_.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

EnvironmentOverride::EnvironmentOverride(const wchar_t* name, const std::wstring& value)
    : name_(name) {
    if (const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0); size > 0) {
        previous_.emplace(size, L'\0');
        previous_->resize(::GetEnvironmentVariableW(name, previous_->data(), size));
    }
    ::SetEnvironmentVariableW(name, value.c_str());
}

} // namespace testing_support
