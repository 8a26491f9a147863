#pragma once

// Reading the file directory of a Microsoft cabinet without extracting it.
// Portable (no Windows headers). This is a second reader beside the cabinet
// library: what it finds may refuse a cabinet early, but never admits one; the
// extractor checks each name as the library hands it over for writing.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessary {

struct CabinetEntry {
    std::string name;   // as stored: UTF-8 when nameIsUtf8, else code page 1252
    uint32_t size = 0;  // uncompressed size
    uint16_t date = 0;  // DOS date and time
    uint16_t time = 0;
    uint16_t attributes = 0;
    bool nameIsUtf8 = false;
};

struct CabinetDirectory {
    std::vector<CabinetEntry> entries;
    bool continuesFromPrevious = false;  // the set has a cabinet before this one
    bool continuesInNext = false;        // the set has a cabinet after this one
};

// Size of the fixed part of a cabinet header.
inline constexpr size_t kCabinetHeaderSize = 36;

// Parses the header and file entries from `bytes`, the cabinet's first bytes
// (enough to hold the header and the whole file table). Returns nothing when the
// bytes do not start with a cabinet header or end inside the file table.
std::optional<CabinetDirectory> ParseCabinetDirectory(std::string_view bytes);

// Number of leading bytes of a cabinet that hold its header and file table, from
// its header; 0 when `header` (at least kCabinetHeaderSize bytes) is no cabinet.
size_t CabinetDirectoryExtent(std::string_view header);

}  // namespace tessary
