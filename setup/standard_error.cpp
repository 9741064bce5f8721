#include "setup/standard_error.h"

#include "setup/text.h"

#include <algorithm>
#include <string>

namespace {

HANDLE StandardError() {
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    return error == INVALID_HANDLE_VALUE ? nullptr : error;
}

} // namespace

void ReportOnStandardError(std::wstring_view text) {
    const HANDLE error = StandardError();
    if (error == nullptr)
        return;
    std::wstring line(text);
    std::ranges::replace(line, L'\r', L' ');
    std::ranges::replace(line, L'\n', L' ');
    line += L"\r\n";
    DWORD written = 0;
    // A console shows characters, not bytes in its code page.
    if (DWORD mode = 0; ::GetConsoleMode(error, &mode)) {
        ::WriteConsoleW(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        return;
    }
    const std::string bytes = WideToUtf8(line);
    for (std::size_t done = 0; done < bytes.size(); done += written)
        if (!::WriteFile(error, bytes.data() + done, static_cast<DWORD>(bytes.size() - done),
                         &written, nullptr) ||
            written == 0)
            return;
}

UniqueHandle InheritableStandardError() {
    UniqueHandle copy;
    if (const HANDLE error = StandardError())
        ::DuplicateHandle(::GetCurrentProcess(), error, ::GetCurrentProcess(), copy.put(), 0, TRUE,
                          DUPLICATE_SAME_ACCESS);
    return copy;
}
