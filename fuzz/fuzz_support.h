#pragma once

// Helpers shared by the fuzz targets: a check that turns a broken property into a
// crash libFuzzer reports (and the replay test fails on), and a reader that cuts
// the fuzzer's bytes into typed pieces.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

namespace tessary::fuzz {

// Walks a relative name's elements below a directory: false when one would step
// above it or the name could reach another drive or stream. An element of only
// dots and spaces with two dots or more counts as "..", as Windows reads it.
inline bool StaysBelow(std::string_view name) {
    if (name.find(':') != std::string_view::npos) return false;
    int depth = 0;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view element = name.substr(start, end - start);
        const bool onlyDotsAndSpaces = element.find_first_not_of(". ") == std::string_view::npos;
        const size_t dots = static_cast<size_t>(std::count(element.begin(), element.end(), '.'));
        if (onlyDotsAndSpaces && dots >= 2) {
            if (--depth < 0) return false;
        } else if (!element.empty() && !onlyDotsAndSpaces) {
            ++depth;
        }
        start = end + 1;
    }
    return true;
}

class FuzzReader {
public:
    FuzzReader(const uint8_t* data, size_t size) : data_(data), size_(data == nullptr ? 0 : size) {}

    size_t remaining() const { return size_ - pos_; }

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    uint32_t Le32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(Byte()) << (8 * i);
        return v;
    }

    uint16_t Le16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }

    // Up to `count` bytes as narrow text (fewer when the input runs out).
    std::string_view Bytes(size_t count) {
        if (count > remaining()) count = remaining();
        std::string_view out(reinterpret_cast<const char*>(data_ + pos_), count);
        pos_ += count;
        return out;
    }

    // The rest of the input as narrow text.
    std::string_view Rest() { return Bytes(remaining()); }

    // Bytes up to the next `separator` (consumed, not returned) or the end.
    std::string_view Until(char separator) {
        std::string_view rest(reinterpret_cast<const char*>(data_ + pos_), remaining());
        const size_t end = rest.find(separator);
        if (end == std::string_view::npos) {
            pos_ = size_;
            return rest;
        }
        pos_ += end + 1;
        return rest.substr(0, end);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Narrow bytes read two at a time as little-endian UTF-16 code units (lone
// surrogates included); an odd last byte stands alone.
template <typename Char>
std::basic_string<Char> Utf16Units(std::string_view bytes) {
    std::basic_string<Char> out;
    for (size_t i = 0; i < bytes.size(); i += 2) {
        unsigned unit = static_cast<unsigned char>(bytes[i]);
        if (i + 1 < bytes.size()) unit |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out.push_back(static_cast<Char>(unit));
    }
    return out;
}

}  // namespace tessary::fuzz
