#include "tests/package/mvpk_run.h"

#include "setup/handles.h"
#include "tests/support/test_support.h"

#include <cwchar>
#include <filesystem>

namespace package_testing {

using testing_support::BinDir;
using testing_support::Quoted;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
namespace fs = std::filesystem;

ToolRun RunMvpk(const std::wstring& arguments, const std::wstring& extraEnvironment) {
    TempDir scratch(L"mvpk-run");
    const fs::path outFile = scratch / L"out", errFile = scratch / L"err";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    auto create = [&](const fs::path& file) {
        return UniqueHandle(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                          CREATE_ALWAYS, 0, nullptr));
    };
    ToolRun run;
    {
        UniqueHandle out = create(outFile), err = create(errFile);
        std::wstring environment;
        if (!extraEnvironment.empty()) {
            const wchar_t* block = ::GetEnvironmentStringsW();
            const std::wstring name = extraEnvironment.substr(0, extraEnvironment.find(L'=') + 1);
            for (const wchar_t* p = block; *p != 0; p += wcslen(p) + 1)
                if (_wcsnicmp(p, name.c_str(), name.size()) != 0) // replaced, not doubled
                    environment.append(p).push_back(L'\0');
            ::FreeEnvironmentStringsW(const_cast<wchar_t*>(block));
            environment.append(extraEnvironment).push_back(L'\0');
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        std::wstring line = Quoted(BinDir() / L"mvpk.exe") + L" " + arguments;
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(
                nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                environment.empty() ? nullptr : environment.data(), nullptr, &startup, &info))
            return run;
        UniqueHandle process(info.hProcess), thread(info.hThread);
        if (::WaitForSingleObject(process.get(), 120000) == WAIT_OBJECT_0) {
            DWORD code = 0;
            ::GetExitCodeProcess(process.get(), &code);
            run.exitCode = code;
        } else {
            ::TerminateProcess(process.get(), 1);
        }
    }
    run.out = ReadFileBytes(outFile);
    run.err = ReadFileBytes(errFile);
    return run;
}

} // namespace package_testing
