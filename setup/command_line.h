// The switches of one run, and their round trip to a relaunch's parameter string.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class Scope : std::uint32_t {
    Machine = 0, // all users: HKEY_LOCAL_MACHINE, Program Files, ProgramData
    User = 1,    // current user only
};

struct SetupOptions {
    bool silent = false;
    std::optional<Scope> scope;
    bool noLaunch = false;
    bool uninstall = false;
    bool removeData = false;
    bool elevated = false;
    bool fromTemp = false;
    std::optional<std::wstring> installDir;

    bool operator==(const SetupOptions&) const = default;
};

// Reads the process command line (GetCommandLineW).
SetupOptions ParseCommandLine();
// Parses a whole command line, program name included. Never fails: a malformed line gives
// what was read up to that point.
SetupOptions ParseCommandLineText(std::wstring_view commandLine);
// The switches of a record, each preceded by one space; "/D=" and the folder come last.
std::wstring BuildCommandLine(const SetupOptions& options);
