// Counting a store file's schema entries from its b-tree pages (no database library).

#include "store/schema_count.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tessary {
namespace {

// An SQLite 3 file laid out page by page: only what the count reads (the header's
// page size, each schema page's type, cell count, rightmost child and cells).
class SchemaFile {
public:
    // `pages` pages of `pageSize` bytes; the header holds `sizeField` as the page
    // size (pageSize when 0; 1 stands for 65536).
    explicit SchemaFile(uint32_t pages, uint32_t pageSize = 512, uint16_t sizeField = 0)
        : pageSize_(pageSize), bytes(size_t{pages} * pageSize) {
        std::memcpy(bytes.data(), "SQLite format 3", 16);
        Put16(16, sizeField != 0 ? sizeField : static_cast<uint16_t>(pageSize));
    }

    SchemaFile& Leaf(uint32_t page, uint16_t cells) {
        const size_t at = Header(page);
        bytes[at] = 13;
        Put16(at + 3, cells);
        return *this;
    }

    // Empty leaves on pages first to last.
    SchemaFile& Leaves(uint32_t first, uint32_t last) {
        for (uint32_t page = first; page <= last; ++page) Leaf(page, 0);
        return *this;
    }

    // An interior page whose cells point at `children`, from the page's end down.
    SchemaFile& Interior(uint32_t page, const std::vector<uint32_t>& children, uint32_t rightmost) {
        const size_t at = Header(page);
        const size_t start = size_t{page - 1} * pageSize_;
        bytes[at] = 5;
        Put16(at + 3, static_cast<uint16_t>(children.size()));
        Put32(at + 8, rightmost);
        for (size_t i = 0; i < children.size(); ++i) {
            const size_t cell = pageSize_ - 8 * (i + 1);
            Put32(start + cell, children[i]);
            bytes[start + cell + 4] = static_cast<uint8_t>(i + 1);  // the key, a one-byte varint
            Put16(at + 12 + 2 * i, static_cast<uint16_t>(cell));
        }
        return *this;
    }

    // Overwrite bytes at an offset of the file (big-endian).
    SchemaFile& Set8(size_t at, uint8_t value) {
        bytes[at] = value;
        return *this;
    }
    SchemaFile& Set16(size_t at, uint16_t value) {
        Put16(at, value);
        return *this;
    }
    SchemaFile& Set32(size_t at, uint32_t value) {
        Put32(at, value);
        return *this;
    }

    SchemaFile& Resize(size_t size) {
        bytes.resize(size);
        return *this;
    }

private:
    size_t Header(uint32_t page) const { return size_t{page - 1} * pageSize_ + (page == 1 ? 100 : 0); }
    void Put16(size_t at, uint16_t value) {
        bytes[at] = static_cast<uint8_t>(value >> 8);
        bytes[at + 1] = static_cast<uint8_t>(value);
    }
    void Put32(size_t at, uint32_t value) {
        Put16(at, static_cast<uint16_t>(value >> 16));
        Put16(at + 2, static_cast<uint16_t>(value));
    }

    uint32_t pageSize_;

public:
    std::vector<uint8_t> bytes;
};

std::vector<uint32_t> Pages(uint32_t first, uint32_t count) {
    std::vector<uint32_t> pages;
    for (uint32_t i = 0; i < count; ++i) pages.push_back(first + i);
    return pages;
}

TEST(SchemaCountTest, EntriesAreCountedUpToTheLimitAndMalformedPagesRefused) {
    constexpr uint64_t kHugeFile = uint64_t{512} << 32;  // every 32-bit page number is in it
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        size_t limit;
        SchemaSize result;
        size_t count;
        uint64_t fileSize = 0;  // the bytes' size when 0
        bool madeUp = false;    // 512-byte pages past the bytes read as leaves of (page number % 251) entries
    } cases[] = {
        {"empty file", {}, 400, SchemaSize::kWithin, 0},
        {"99 bytes", SchemaFile(1).Leaf(1, 1).Resize(99).bytes, 400, SchemaSize::kWithin, 0},
        {"100 bytes", SchemaFile(1).Leaf(1, 1).Resize(100).bytes, 400, SchemaSize::kMalformed, 0},
        {"511 bytes", SchemaFile(1).Leaf(1, 1).Resize(511).bytes, 400, SchemaSize::kMalformed, 0},
        {"not SQLite 3", SchemaFile(1).Leaf(1, 900).Set8(14, '4').bytes, 400, SchemaSize::kWithin, 0},
        {"header without its zero", SchemaFile(1).Leaf(1, 900).Set8(15, ' ').bytes, 400, SchemaSize::kWithin, 0},
        {"empty leaf root", SchemaFile(1).Leaf(1, 0).bytes, 400, SchemaSize::kWithin, 0},
        {"leaf at the limit", SchemaFile(1).Leaf(1, 400).bytes, 400, SchemaSize::kWithin, 400},
        {"leaf above the limit", SchemaFile(1).Leaf(1, 401).bytes, 400, SchemaSize::kTooLarge, 401},
        {"leaves sum to the limit", SchemaFile(4).Interior(1, {2, 3}, 4).Leaf(2, 1).Leaf(3, 5).Leaf(4, 4).bytes, 10,
         SchemaSize::kWithin, 10},
        {"leaves sum above the limit", SchemaFile(4).Interior(1, {2, 3}, 4).Leaf(2, 1).Leaf(3, 5).Leaf(4, 5).bytes, 10,
         SchemaSize::kTooLarge, 11},
        {"two levels", SchemaFile(5).Interior(1, {2}, 5).Interior(2, {3}, 4).Leaf(3, 2).Leaf(4, 3).Leaf(5, 7).bytes,
         400, SchemaSize::kWithin, 12},
        {"walked from the left", SchemaFile(3).Interior(1, {2}, 3).Leaf(2, 6).bytes, 5, SchemaSize::kTooLarge, 6},
        {"bad page after a leaf", SchemaFile(3).Interior(1, {2}, 3).Leaf(2, 2).bytes, 400, SchemaSize::kMalformed, 2},
        {"page size 1 is 65536", SchemaFile(2, 65536, 1).Interior(1, {}, 2).Leaf(2, 3).bytes, 400, SchemaSize::kWithin,
         3},
        {"page size 512", SchemaFile(2).Interior(1, {}, 2).Leaf(2, 3).bytes, 400, SchemaSize::kWithin, 3},
        {"page size 32768", SchemaFile(2, 32768).Interior(1, {}, 2).Leaf(2, 3).bytes, 400, SchemaSize::kWithin, 3},
        {"page size 0", SchemaFile(1).Leaf(1, 1).Set16(16, 0).bytes, 400, SchemaSize::kMalformed, 0},
        {"page size 256", SchemaFile(2, 256).Leaf(1, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"page size 300", SchemaFile(2, 300).Leaf(1, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"page size 1000", SchemaFile(1, 1000).Leaf(1, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"page size 65535", SchemaFile(1, 65535).Leaf(1, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"child 0", SchemaFile(3).Interior(1, {0}, 3).Leaf(3, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"child 1", SchemaFile(3).Interior(1, {1}, 3).Leaf(3, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"child past the end", SchemaFile(3).Interior(1, {4}, 3).Leaf(3, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"child at the end", SchemaFile(3).Interior(1, {3}, 2).Leaf(2, 1).Leaf(3, 2).bytes, 400, SchemaSize::kWithin,
         3},
        {"rightmost 0", SchemaFile(2).Interior(1, {2}, 0).Leaf(2, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"rightmost 1", SchemaFile(2).Interior(1, {2}, 1).Leaf(2, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"rightmost past the end", SchemaFile(2).Interior(1, {2}, 3).Leaf(2, 1).bytes, 400, SchemaSize::kMalformed, 0},
        {"page unreadable", SchemaFile(2).Interior(1, {}, 2).Leaf(2, 1).Resize(700).bytes, 400, SchemaSize::kMalformed,
         0, 1024},
        {"index interior root", SchemaFile(2).Interior(1, {}, 2).Leaf(2, 1).Set8(100, 2).bytes, 400,
         SchemaSize::kMalformed, 0},
        {"index leaf child", SchemaFile(2).Interior(1, {}, 2).Leaf(2, 1).Set8(512, 10).bytes, 400,
         SchemaSize::kMalformed, 0},
        {"size shorter than the page read", SchemaFile(1).Leaf(1, 1).bytes, 400, SchemaSize::kMalformed, 0, 511},
        {"four-byte page number", SchemaFile(2).Interior(1, {0x81828384}, 2).Leaf(2, 1).bytes, 400, SchemaSize::kWithin,
         0x81828384 % 251 + 1, kHugeFile, true},
        {"root pointers fill the page", SchemaFile(1).Interior(1, {}, 1).Set16(103, 200).bytes, 50,
         SchemaSize::kTooLarge, 0},
        {"root pointers overflow", SchemaFile(1).Interior(1, {}, 1).Set16(103, 201).bytes, 50, SchemaSize::kMalformed,
         0},
        {"pointers fill the page", SchemaFile(2).Interior(1, {}, 2).Interior(2, {}, 2).Set16(515, 250).bytes, 100,
         SchemaSize::kTooLarge, 0},
        {"pointers overflow the page", SchemaFile(2).Interior(1, {}, 2).Interior(2, {}, 2).Set16(515, 251).bytes, 100,
         SchemaSize::kMalformed, 0},
        {"cell inside the pointers", SchemaFile(3).Interior(1, {2}, 3).Leaf(2, 1).Leaf(3, 1).Set16(112, 113).bytes, 400,
         SchemaSize::kMalformed, 0, kHugeFile, true},
        {"cell just past the pointers",
         SchemaFile(3).Interior(1, {2}, 3).Leaf(2, 1).Leaf(3, 1).Set16(112, 114).Set32(114, 2).bytes, 400,
         SchemaSize::kWithin, 2},
        {"cell at the page's end",
         SchemaFile(3).Interior(1, {2}, 3).Leaf(2, 1).Leaf(3, 1).Set16(112, 508).Set32(508, 2).bytes, 400,
         SchemaSize::kWithin, 2},
        {"cell past the page's end", SchemaFile(3).Interior(1, {2}, 3).Leaf(2, 1).Leaf(3, 1).Set16(112, 509).bytes, 400,
         SchemaSize::kMalformed, 0, kHugeFile, true},
        {"as many pages as allowed", SchemaFile(7).Interior(1, Pages(2, 4), 6).Leaves(2, 6).bytes, 2,
         SchemaSize::kWithin, 0},
        {"more pages than allowed", SchemaFile(8).Interior(1, Pages(2, 5), 7).Leaves(2, 7).bytes, 2,
         SchemaSize::kTooLarge, 0},
        {"page that is its own child", SchemaFile(2).Interior(1, {}, 2).Interior(2, {2}, 2).bytes, 400,
         SchemaSize::kTooLarge, 0},
        {"loop through two pages", SchemaFile(3).Interior(1, {}, 2).Interior(2, {}, 3).Interior(3, {}, 2).bytes, 400,
         SchemaSize::kTooLarge, 0},
        {"loop counting entries", SchemaFile(3).Interior(1, {}, 2).Interior(2, {3}, 2).Leaf(3, 1).bytes, 400,
         SchemaSize::kTooLarge, 400},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t>& bytes = c.bytes;
        const auto read = [&bytes, &c](uint64_t offset, uint8_t* buffer, size_t size) {
            if (c.madeUp && offset >= bytes.size() && size == 512) {
                const uint64_t entries = (offset / 512 + 1) % 251;
                std::memset(buffer, 0, size);
                buffer[0] = 13;
                buffer[4] = static_cast<uint8_t>(entries);
                return true;
            }
            if (offset > bytes.size() || bytes.size() - offset < size) return false;
            std::memcpy(buffer, bytes.data() + offset, size);
            return true;
        };
        size_t count = 12345;
        EXPECT_EQ(CountSchemaEntries(read, c.fileSize != 0 ? c.fileSize : bytes.size(), c.limit, &count), c.result)
            << c.name;
        EXPECT_EQ(count, c.count) << c.name;
        EXPECT_EQ(CountSchemaEntries(read, c.fileSize != 0 ? c.fileSize : bytes.size(), c.limit), c.result) << c.name;
    }
}

}  // namespace
}  // namespace tessary
