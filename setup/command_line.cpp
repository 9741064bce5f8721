#include "setup/command_line.h"

#include <windows.h>

#include <cwchar>

namespace {

bool EqualsNoCase(std::wstring_view a, const wchar_t* b) {
    const size_t length = std::wcslen(b);
    return a.size() == length && ::_wcsnicmp(a.data(), b, length) == 0;
}

void ApplySwitch(std::wstring_view token, SetupOptions& options) {
    if (EqualsNoCase(token, L"/S"))
        options.silent = true;
    else if (EqualsNoCase(token, L"/ALLUSERS"))
        options.scope = Scope::Machine;
    else if (EqualsNoCase(token, L"/CURRENTUSER"))
        options.scope = Scope::User;
    else if (EqualsNoCase(token, L"/NOLAUNCH"))
        options.noLaunch = true;
    else if (EqualsNoCase(token, L"/UNINSTALL"))
        options.uninstall = true;
    else if (EqualsNoCase(token, L"/REMOVEDATA"))
        options.removeData = true;
    else if (EqualsNoCase(token, L"/ELEVATED"))
        options.elevated = true;
    else if (EqualsNoCase(token, L"/FROMTEMP"))
        options.fromTemp = true;
}

std::wstring_view WithoutTrailingSpaces(std::wstring_view text) {
    while (!text.empty() && text.back() == L' ')
        text.remove_suffix(1);
    return text;
}

// The rest of the line after "/D=". Only spaces are trimmed, and only at the end: the folder
// may begin with one. A switch quoted as a whole ("/D=C:\a b", as PowerShell and Wine quote an
// argument that holds a space) loses its closing quote too.
std::wstring FolderAfterSwitch(std::wstring_view rest, bool switchQuoted) {
    rest = WithoutTrailingSpaces(rest);
    if (switchQuoted && rest.ends_with(L'"'))
        rest = WithoutTrailingSpaces(rest.substr(0, rest.size() - 1));
    if (rest.size() >= 2 && rest.front() == L'"' && rest.back() == L'"')
        rest = rest.substr(1, rest.size() - 2);
    return std::wstring(rest);
}

} // namespace

SetupOptions ParseCommandLineText(std::wstring_view text) {
    SetupOptions options;
    const size_t n = text.size();
    if (n == 0)
        return options;

    size_t pos;
    if (text[0] == L'"') {
        if (n < 2)
            return options;
        const size_t closing = text.find(L'"', 1);
        if (closing == std::wstring_view::npos)
            return options;
        pos = closing + 1;
    } else {
        pos = text.find(L' ');
        if (pos == std::wstring_view::npos)
            return options;
    }

    while (pos < n) {
        if (text[pos] == L' ') {
            ++pos;
            continue;
        }
        const bool quoted = text[pos] == L'"';
        if (n - pos >= 3u + quoted && ::_wcsnicmp(text.data() + pos + quoted, L"/D=", 3) == 0) {
            options.installDir = FolderAfterSwitch(text.substr(pos + 3 + quoted), quoted);
            break;
        }
        size_t end = text.find(L' ', pos);
        if (end == std::wstring_view::npos)
            end = n;
        ApplySwitch(text.substr(pos, end - pos), options);
        pos = end;
    }
    return options;
}

SetupOptions ParseCommandLine() {
    const wchar_t* line = ::GetCommandLineW();
    return ParseCommandLineText(line != nullptr ? std::wstring_view(line) : std::wstring_view());
}

std::wstring BuildCommandLine(const SetupOptions& options) {
    std::wstring line;
    if (options.silent)
        line += L" /S";
    if (options.scope == Scope::User)
        line += L" /CURRENTUSER";
    else if (options.scope == Scope::Machine)
        line += L" /ALLUSERS";
    if (options.noLaunch)
        line += L" /NOLAUNCH";
    if (options.uninstall)
        line += L" /UNINSTALL";
    if (options.removeData)
        line += L" /REMOVEDATA";
    if (options.elevated)
        line += L" /ELEVATED";
    if (options.fromTemp)
        line += L" /FROMTEMP";
    if (options.installDir)
        line += L" /D=" + *options.installDir;
    return line;
}
