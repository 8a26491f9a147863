#pragma once

// Portable string helpers (no Windows headers): also built natively for the
// sanitizer and fuzzing builds.

#include <cstddef>
#include <string>
#include <string_view>

namespace tessary {

// ASCII-only case mapping, independent of locale (keys, tags, hexadecimal text).
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);
bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b);
// Position of `needle` in `haystack` compared without regard to ASCII case, or npos.
size_t AsciiFindIgnoreCase(std::string_view haystack, std::string_view needle);

// Copies `source` into the fixed array `dest` of `capacity` characters, cutting it
// so that the terminating zero always fits; the unused tail is zero-filled.
// Returns the number of characters copied (without terminator). capacity 0 writes nothing.
size_t CopyTruncated(wchar_t* dest, size_t capacity, std::wstring_view source) noexcept;
size_t CopyTruncated(char* dest, size_t capacity, std::string_view source) noexcept;

}  // namespace tessary
