#pragma once

#include <memory>
#include <string>
#include <unordered_map>

namespace tessary {

// The in-memory maps of the record cache and the exception list: byte-string
// keys to byte-string values, compared exactly (no case folding).
using TextMap = std::unordered_map<std::string, std::string>;

// Number of buckets a map starts with, and gets again when it is emptied.
inline constexpr size_t kTextMapBuckets = 8;

// A new empty map with kTextMapBuckets buckets and a maximum load factor of 1.0.
// Throws std::bad_alloc.
inline std::unique_ptr<TextMap> MakeTextMap() {
    auto map = std::make_unique<TextMap>(kTextMapBuckets);
    map->max_load_factor(1.0f);
    return map;
}

}  // namespace tessary
