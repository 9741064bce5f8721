// Runs the mvpk tool that lies beside the test program, as a build script would.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace package_testing {

struct ToolRun {
    std::optional<DWORD> exitCode;
    std::string out;
    std::string err;
};

// Starts the tool with its standard output and error sent to files; extraEnvironment
// ("NAME=value") is added to this process's environment for the child.
ToolRun RunMvpk(const std::wstring& arguments, const std::wstring& extraEnvironment = {});

} // namespace package_testing
