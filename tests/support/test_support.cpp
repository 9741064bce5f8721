#include "tests/support/test_support.h"

#include "setup/handles.h"

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace testing_support {

std::filesystem::path BinDir() {
    std::vector<wchar_t> buffer(32768);
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return std::filesystem::path(std::wstring(buffer.data(), length)).parent_path();
}

std::wstring UniqueName(std::wstring_view prefix) {
    static std::atomic<unsigned> counter{0};
    return std::wstring(prefix) + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::GetTickCount64() % 100000) + L"-" + std::to_wstring(++counter);
}

TempDir::TempDir(std::wstring_view prefix)
    : path_(std::filesystem::temp_directory_path() / UniqueName(prefix)) {
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Read-only files would stop the removal.
    for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored))
        ::SetFileAttributesW(it->path().c_str(), FILE_ATTRIBUTE_NORMAL);
    std::filesystem::remove_all(path_, ignored);
}

std::string ReadFileBytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::filesystem::path& file, std::string_view bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + file.string());
}

std::string ResourceBytes(const std::filesystem::path& program, const wchar_t* name) {
    const ModuleHandle module(::LoadLibraryExW(
        program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    HRSRC found = module ? ::FindResourceW(module.get(), name, RT_RCDATA) : nullptr;
    if (found == nullptr)
        return {};
    return std::string(
        static_cast<const char*>(::LockResource(::LoadResource(module.get(), found))),
        ::SizeofResource(module.get(), found));
}

void CopyStubWith(const std::filesystem::path& program, const wchar_t* name,
                  std::string_view bytes) {
    std::filesystem::copy_file(BinDir() / L"setup_stub.exe", program,
                               std::filesystem::copy_options::overwrite_existing);
    HANDLE update = ::BeginUpdateResourceW(program.c_str(), FALSE);
    const bool added =
        update != nullptr &&
        ::UpdateResourceW(update, RT_RCDATA, name, MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                          const_cast<char*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    // Ending the update commits it, or discards it after a failure.
    if ((update != nullptr && !::EndUpdateResourceW(update, !added)) || !added)
        throw std::runtime_error("cannot add a resource to " + program.string());
}

ChildProcess::ChildProcess(const std::wstring& commandLine,
                           const std::filesystem::path& workingDir) {
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

ChildProcess::~ChildProcess() {
    Terminate();
}

std::optional<DWORD> ChildProcess::Wait(DWORD timeoutMs) {
    if (!process_ || ::WaitForSingleObject(process_.get(), timeoutMs) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.get(), &code))
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
                                const std::filesystem::path& workingDir) {
    ChildProcess child(commandLine, workingDir);
    return child.Wait(timeoutMs);
}

namespace {

struct WindowSearch {
    DWORD processId;
    std::wstring_view caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    if (owner != search->processId || !::IsWindowVisible(window))
        return TRUE;
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    if (search->caption != text)
        return TRUE;
    search->found = window;
    return FALSE;
}

} // namespace

HWND WaitForProcessWindow(DWORD processId, std::wstring_view caption, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    do {
        WindowSearch search{processId, caption, nullptr};
        ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        if (search.found != nullptr)
            return search.found;
        ::Sleep(100);
    } while (::GetTickCount64() < deadline);
    return nullptr;
}

std::wstring Quoted(const std::filesystem::path& path) {
    return L"\"" + path.native() + L"\"";
}

bool RunningUnderWine() {
    return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

namespace {

// The Unix path of a Windows path, through Wine's own conversion.
std::wstring UnixPath(const std::filesystem::path& path) {
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = convert != nullptr ? convert(path.c_str()) : nullptr;
    if (unix == nullptr)
        throw std::runtime_error("no Unix path for " + path.string());
    const std::string text(unix);
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return std::filesystem::path(text).native();
}

// Wine starts Unix programs as it starts Windows ones, but their handle may be signalled
// before they are done: the caller waits for the outcome itself.
void RunUnix(const std::wstring& commandLine, const std::function<bool()>& done) {
    RunProcess(commandLine, 30000);
    for (int i = 0; i < 100 && !done(); ++i)
        ::Sleep(50);
}

} // namespace

FolderLink::FolderLink(const std::filesystem::path& link, const std::filesystem::path& target)
    : link_(link) {
    if (RunningUnderWine())
        RunUnix(L"/bin/ln -s \"" + UnixPath(target) + L"\" \"" + UnixPath(link) + L"\"",
                [this] { return planted(); });
    else
        ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                              SYMBOLIC_LINK_FLAG_DIRECTORY |
                                  SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
}

FolderLink::~FolderLink() {
    // rm without -r never takes a folder; a link whose target is gone is removed as well.
    if (RunningUnderWine())
        RunUnix(L"/bin/rm -f \"" + UnixPath(link_) + L"\"", [this] {
            // Listed while it is there, even when its target is gone.
            WIN32_FIND_DATAW found;
            return !FindHandle(::FindFirstFileW(link_.c_str(), &found));
        });
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
        std::wstring text(size, L'\0');
        text.resize(::GetEnvironmentVariableW(name, text.data(), size));
        previous_ = std::move(text);
    }
    ::SetEnvironmentVariableW(name, value.c_str());
}

EnvironmentOverride::~EnvironmentOverride() {
    ::SetEnvironmentVariableW(name_.c_str(), previous_ ? previous_->c_str() : nullptr);
}

} // namespace testing_support
