#include "setup/format.h"

namespace txt::detail {

namespace {

void Digits(std::wstring& out, unsigned long long value, std::size_t width) {
    const std::wstring digits = std::to_wstring(value);
    if (digits.size() < width)
        out.append(width - digits.size(), L'0');
    out += digits;
}

} // namespace

std::wstring Format(std::wstring_view pattern, const Argument* arguments) {
    std::wstring out;
    out.reserve(pattern.size() + 32);
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const wchar_t c = pattern[i];
        if ((c == L'{' || c == L'}') && i + 1 < pattern.size() && pattern[i + 1] == c) {
            out += c;
            ++i;
        } else if (c == L'{') {
            const std::size_t end = pattern.find(L'}', i);
            const std::wstring_view field = pattern.substr(i + 1, end - i - 1);
            const std::wstring_view layout = field.empty() ? field : field.substr(1);
            arguments->write(out, layout, arguments->value);
            ++arguments;
            i = end;
        } else {
            out += c;
        }
    }
    return out;
}

void WriteText(std::wstring& out, std::wstring_view, const void* value) {
    out += *static_cast<const std::wstring_view*>(value);
}

void WriteSigned(std::wstring& out, std::wstring_view, const void* value) {
    out += std::to_wstring(*static_cast<const long long*>(value));
}

void WriteUnsigned(std::wstring& out, std::wstring_view, const void* value) {
    out += std::to_wstring(*static_cast<const unsigned long long*>(value));
}

void WriteDay(std::wstring& out, std::wstring_view layout, const void* value) {
    const std::chrono::year_month_day date(*static_cast<const std::chrono::sys_days*>(value));
    for (std::size_t i = 0; i < layout.size(); ++i) {
        const wchar_t c = i + 1 < layout.size() && layout[i] == L'%' ? layout[i + 1] : L'\0';
        if (c == L'Y') {
            const int year = static_cast<int>(date.year());
            if (year < 0)
                out += L'-';
            Digits(out, static_cast<unsigned long long>(year < 0 ? -year : year), 4);
        } else if (c == L'm') {
            Digits(out, static_cast<unsigned>(date.month()), 2);
        } else if (c == L'd') {
            Digits(out, static_cast<unsigned>(date.day()), 2);
        } else {
            out += layout[i];
            continue;
        }
        ++i;
    }
}

} // namespace txt::detail
