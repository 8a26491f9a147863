#include "platform/contained_path.h"

#include <type_traits>

namespace tessary {
namespace {

template <typename Char>
Char AsciiUpperChar(Char c) {
    return c >= Char('a') && c <= Char('z') ? static_cast<Char>(c - Char('a') + Char('A')) : c;
}

template <typename Char>
bool EqualsUpper(std::basic_string_view<Char> text, std::string_view upper) {
    if (text.size() != upper.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (AsciiUpperChar(text[i]) != static_cast<Char>(upper[i])) return false;
    }
    return true;
}

// The digit of "COMn" and "LPTn": 0-9, or the superscripts 1, 2 and 3 that
// Windows also reads as device numbers (one unit in UTF-16 and code page 1252,
// two bytes in UTF-8).
bool IsDeviceDigit(std::string_view text) {
    if (text.size() == 1) {
        const auto c = static_cast<unsigned char>(text[0]);
        return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
    }
    return text.size() == 2 && static_cast<unsigned char>(text[0]) == 0xC2 &&
           (static_cast<unsigned char>(text[1]) == 0xB9 || static_cast<unsigned char>(text[1]) == 0xB2 ||
            static_cast<unsigned char>(text[1]) == 0xB3);
}

bool IsDeviceDigit(std::wstring_view text) {
    return text.size() == 1 &&
           ((text[0] >= L'0' && text[0] <= L'9') || text[0] == 0xB9 || text[0] == 0xB2 || text[0] == 0xB3);
}

template <typename Char>
bool DeviceElement(std::basic_string_view<Char> element) {
    // Windows ignores what follows the first dot and the spaces around the name.
    const size_t dot = element.find(Char('.'));
    std::basic_string_view<Char> base = element.substr(0, dot);
    while (!base.empty() && base.front() == Char(' ')) base.remove_prefix(1);
    while (!base.empty() && base.back() == Char(' ')) base.remove_suffix(1);
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CLOCK$", "CONIN$", "CONOUT$"}) {
        if (EqualsUpper(base, device)) return true;
    }
    if (base.size() < 4) return false;
    const std::basic_string_view<Char> prefix = base.substr(0, 3);
    return (EqualsUpper(prefix, "COM") || EqualsUpper(prefix, "LPT")) && IsDeviceDigit(base.substr(3));
}

template <typename Char>
bool IsBadCharacter(Char c) {
    const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
    return unit < 0x20 || c == Char('*') || c == Char('?') || c == Char('"') || c == Char('<') || c == Char('>') ||
           c == Char('|');
}

template <typename Char>
PathVerdict Check(std::basic_string_view<Char> name) {
    if (name.empty()) return PathVerdict::kEmpty;
    if (name.size() > kMaxContainedPathChars) return PathVerdict::kTooLong;
    if (IsPathSeparator(name.front())) return PathVerdict::kRooted;
    if (IsPathSeparator(name.back())) return PathVerdict::kEmpty;
    for (Char c : name) {
        if (c == Char(':')) return PathVerdict::kColon;
        if (IsBadCharacter(c)) return PathVerdict::kBadCharacter;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsPathSeparator(name[end])) ++end;
        const std::basic_string_view<Char> element = name.substr(start, end - start);
        size_t dots = 0;
        bool onlyDotsAndSpaces = true;
        for (Char c : element) {
            if (c == Char('.')) {
                ++dots;
            } else if (c != Char(' ')) {
                onlyDotsAndSpaces = false;
            }
        }
        // Windows drops trailing dots and spaces, so "..." and ". ." mean "..".
        if (onlyDotsAndSpaces && dots >= 2) return PathVerdict::kTraversal;
        if (DeviceElement(element)) return PathVerdict::kDeviceName;
        // The last element must leave a file name once dots and spaces are dropped.
        if (end == name.size() && onlyDotsAndSpaces) return PathVerdict::kEmpty;
        start = end + 1;
    }
    return PathVerdict::kContained;
}

template <typename Char>
size_t LastSeparator(std::basic_string_view<Char> path) {
    for (size_t i = path.size(); i > 0; --i) {
        if (IsPathSeparator(path[i - 1])) return i - 1;
    }
    return std::basic_string_view<Char>::npos;
}

template <typename Char>
bool FileName(std::basic_string_view<Char> name) {
    return LastSeparator(name) == std::basic_string_view<Char>::npos && Check(name) == PathVerdict::kContained;
}

}  // namespace

size_t LastPathSeparator(std::string_view path) { return LastSeparator(path); }
size_t LastPathSeparator(std::wstring_view path) { return LastSeparator(path); }

bool IsDosDeviceElement(std::string_view element) { return DeviceElement(element); }
bool IsDosDeviceElement(std::wstring_view element) { return DeviceElement(element); }

PathVerdict CheckContainedPath(std::string_view name) { return Check(name); }
PathVerdict CheckContainedPath(std::wstring_view name) { return Check(name); }

bool IsContainedPath(std::string_view name) { return Check(name) == PathVerdict::kContained; }
bool IsContainedPath(std::wstring_view name) { return Check(name) == PathVerdict::kContained; }

bool IsContainedFileName(std::string_view name) { return FileName(name); }
bool IsContainedFileName(std::wstring_view name) { return FileName(name); }

bool IsContainedFullPath(std::wstring_view path) {
    if (path.size() > kMaxContainedPathChars) return false;
    const bool letter = !path.empty() && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'));
    if (letter && path.size() > 3 && path[1] == L':' && IsPathSeparator(path[2])) {
        return IsContainedPath(path.substr(3));
    }
    // "\\server\share\rest": server and share are plain file names, so neither the
    // "\\?\" nor the "\\.\" device namespace gets through.
    if (path.size() < 2 || !IsPathSeparator(path[0]) || !IsPathSeparator(path[1])) return false;
    std::wstring_view rest = path.substr(2);
    for (int part = 0; part < 2; ++part) {
        size_t end = 0;
        while (end < rest.size() && !IsPathSeparator(rest[end])) ++end;
        if (end == rest.size() || !IsContainedFileName(rest.substr(0, end))) return false;
        rest.remove_prefix(end + 1);
    }
    return IsContainedPath(rest);
}

}  // namespace tessary
