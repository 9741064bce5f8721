// The program's one way to format text: txt::format(L"... {} ...", arguments). GCC 12's
// library has no <format>; this small stand-in covers what the program writes (texts,
// integers in decimal, and a day as "{:%Y%m%d}") and checks every pattern at compile time,
// so that switching to std::format later touches only this file. It replaced {fmt}, whose
// code made up a tenth of the setup program.
#pragma once

#include <chrono>
#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace txt {

namespace detail {

// One argument: how to write it, with the text between ':' and '}' (empty without one).
struct Argument {
    void (*write)(std::wstring& out, std::wstring_view layout, const void* value);
    const void* value;
};

// The pattern with each "{...}" replaced by the next argument, "{{" and "}}" by braces.
std::wstring Format(std::wstring_view pattern, const Argument* arguments);

void WriteText(std::wstring& out, std::wstring_view layout, const void* value);
void WriteSigned(std::wstring& out, std::wstring_view layout, const void* value);
void WriteUnsigned(std::wstring& out, std::wstring_view layout, const void* value);
// %Y, %m and %d of the day in UTC; every other character as it is.
void WriteDay(std::wstring& out, std::wstring_view layout, const void* value);

template <class T>
constexpr bool kIsCharacter =
    std::is_same_v<T, wchar_t> || std::is_same_v<T, char> || std::is_same_v<T, char8_t> ||
    std::is_same_v<T, char16_t> || std::is_same_v<T, char32_t>;

// Arguments are copied into these forms before they are written. A character is no
// number: it goes the way of texts, where it does not compile.
template <class T>
using Stored = std::conditional_t<
    std::is_same_v<T, std::chrono::sys_days>, std::chrono::sys_days,
    std::conditional_t<std::integral<T> && !kIsCharacter<T> && !std::is_same_v<T, bool>,
                       std::conditional_t<std::signed_integral<T>, long long, unsigned long long>,
                       std::wstring_view>>;

template <class T> constexpr auto kWriter = &WriteText;
template <> constexpr auto kWriter<long long> = &WriteSigned;
template <> constexpr auto kWriter<unsigned long long> = &WriteUnsigned;
template <> constexpr auto kWriter<std::chrono::sys_days> = &WriteDay;

// Reached only while checking a pattern at compile time: the call is then no constant
// expression, and the compiler names the offending pattern.
void PatternDoesNotMatchItsArguments();

} // namespace detail

// A pattern checked against its arguments: as many fields as arguments, and a layout after
// the colon (":%Y%m%d") only for a day.
template <class... Args> class FormatString {
  public:
    template <class Text>
    requires std::convertible_to<const Text&, std::wstring_view>
    consteval FormatString(const Text& text) : text_(text) {
        constexpr bool isDay[] = {std::is_same_v<Args, std::chrono::sys_days>..., false};
        std::size_t field = 0;
        for (std::size_t i = 0; i < text_.size(); ++i) {
            if (text_[i] == L'}') {
                if (i + 1 >= text_.size() || text_[i + 1] != L'}')
                    detail::PatternDoesNotMatchItsArguments();
                ++i;
            } else if (text_[i] == L'{') {
                if (i + 1 < text_.size() && text_[i + 1] == L'{') {
                    ++i;
                    continue;
                }
                const std::size_t end = text_.find(L'}', i);
                if (end == std::wstring_view::npos || field >= sizeof...(Args) ||
                    (end != i + 1 && (text_[i + 1] != L':' || !isDay[field])))
                    detail::PatternDoesNotMatchItsArguments();
                ++field;
                i = end;
            }
        }
        if (field != sizeof...(Args))
            detail::PatternDoesNotMatchItsArguments();
    }
    std::wstring_view text() const { return text_; }

  private:
    std::wstring_view text_;
};

template <class... Args>
std::wstring format(FormatString<std::type_identity_t<std::remove_cvref_t<Args>>...> pattern,
                    Args&&... args) {
    // Each stored copy lives until the end of the full expression, past Format's return.
    return [&](const auto&... stored) {
        const detail::Argument arguments[] = {
            {detail::kWriter<std::remove_cvref_t<decltype(stored)>>, &stored}...,
            {nullptr, nullptr}};
        return detail::Format(pattern.text(), arguments);
    }(detail::Stored<std::remove_cvref_t<Args>>(args)...);
}

} // namespace txt
