#include "platform/strings.h"

#include <algorithm>

namespace tessary {
namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

template <typename Char>
size_t CopyTruncatedImpl(Char* dest, size_t capacity, std::basic_string_view<Char> source) noexcept {
    if (dest == nullptr || capacity == 0) return 0;
    size_t n = std::min(source.size(), capacity - 1);
    std::copy_n(source.data(), n, dest);
    std::fill(dest + n, dest + capacity, Char{});
    return n;
}

}  // namespace

std::string AsciiUpper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), Upper);
    return out;
}

std::string AsciiLower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), Lower);
    return out;
}

bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Upper(x) == Upper(y); });
}

size_t AsciiFindIgnoreCase(std::string_view haystack, std::string_view needle) {
    if (needle.empty()) return 0;
    if (needle.size() > haystack.size()) return std::string_view::npos;
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
        if (AsciiEqualsIgnoreCase(haystack.substr(i, needle.size()), needle)) return i;
    }
    return std::string_view::npos;
}

size_t CopyTruncated(wchar_t* dest, size_t capacity, std::wstring_view source) noexcept {
    return CopyTruncatedImpl<wchar_t>(dest, capacity, source);
}

size_t CopyTruncated(char* dest, size_t capacity, std::string_view source) noexcept {
    return CopyTruncatedImpl<char>(dest, capacity, source);
}

}  // namespace tessary
