#include "store/schema_count.h"

#include <cstring>
#include <vector>

namespace tessary {
namespace {

constexpr char kHeader[] = "SQLite format 3";  // and its terminating zero: 16 bytes
constexpr size_t kFileHeaderSize = 100;
constexpr uint8_t kInteriorTablePage = 5;
constexpr uint8_t kLeafTablePage = 13;

uint32_t Be16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

}  // namespace

SchemaSize CountSchemaEntries(const FileBytesReader& read, uint64_t fileSize, size_t limit, size_t* count) {
    size_t entries = 0;
    auto result = [&](SchemaSize size) {
        if (count != nullptr) *count = entries;
        return size;
    };
    uint8_t header[kFileHeaderSize];
    if (fileSize < kFileHeaderSize || !read(0, header, sizeof(header)) ||
        std::memcmp(header, kHeader, sizeof(kHeader)) != 0) {
        return result(SchemaSize::kWithin);
    }
    uint32_t pageSize = Be16(header + 16);
    if (pageSize == 1) pageSize = 65536;
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) return result(SchemaSize::kMalformed);
    const uint64_t pageCount = fileSize / pageSize;
    if (pageCount == 0) return result(SchemaSize::kMalformed);

    // A valid b-tree has no empty page but its root, so more pages than twice
    // the entries allowed (plus the root) means more entries than allowed, or a
    // loop; either way the file is refused without reading further.
    const size_t maxPages = 2 * limit + 2;
    std::vector<uint32_t> pending{1};
    size_t pagesSeen = 1;
    std::vector<uint8_t> page(pageSize);
    while (!pending.empty()) {
        const uint32_t number = pending.back();
        pending.pop_back();
        if (!read(static_cast<uint64_t>(number - 1) * pageSize, page.data(), pageSize)) {
            return result(SchemaSize::kMalformed);
        }
        const size_t at = number == 1 ? kFileHeaderSize : 0;
        const uint8_t type = page[at];
        const uint32_t cells = Be16(&page[at + 3]);
        if (type == kLeafTablePage) {
            entries += cells;
            if (entries > limit) return result(SchemaSize::kTooLarge);
            continue;
        }
        if (type != kInteriorTablePage) return result(SchemaSize::kMalformed);
        const size_t pointers = at + 12;
        if (pointers + 2 * static_cast<size_t>(cells) > pageSize) return result(SchemaSize::kMalformed);
        if (pagesSeen + cells + 1 > maxPages) return result(SchemaSize::kTooLarge);
        pagesSeen += cells + 1;
        // Pushed right to left, so the leftmost child is walked first, as the library does.
        const uint32_t rightmost = Be32(&page[at + 8]);
        if (rightmost < 2 || rightmost > pageCount) return result(SchemaSize::kMalformed);
        pending.push_back(rightmost);
        for (uint32_t i = cells; i-- > 0;) {
            const uint32_t offset = Be16(&page[pointers + 2 * i]);
            if (offset < pointers + 2 * static_cast<size_t>(cells) || offset + 4 > pageSize) {
                return result(SchemaSize::kMalformed);
            }
            const uint32_t child = Be32(&page[offset]);
            if (child < 2 || child > pageCount) return result(SchemaSize::kMalformed);
            pending.push_back(child);
        }
    }
    return result(SchemaSize::kWithin);
}

}  // namespace tessary
