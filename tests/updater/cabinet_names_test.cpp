// Reading a cabinet's file table from its bytes (no extraction, no Windows).

#include "updater/cabinet_names.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tessary {
namespace {

void Put16(std::string* out, size_t at, uint16_t value) {
    (*out)[at] = static_cast<char>(value & 0xFF);
    (*out)[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string* out, size_t at, uint32_t value) {
    Put16(out, at, static_cast<uint16_t>(value & 0xFFFF));
    Put16(out, at + 2, static_cast<uint16_t>(value >> 16));
}

struct Entry {
    std::string name;
    uint32_t size = 1;
    uint16_t attributes = 0x20;
};

// A cabinet header and file table (no folders or data: the reader needs none),
// the file table starting at `tableAt` (the header's end when 0).
std::string CabinetBytes(const std::vector<Entry>& entries, uint16_t flags = 0, uint32_t tableAt = 0) {
    std::string bytes(kCabinetHeaderSize, '\0');
    bytes.replace(0, 4, "MSCF");
    Put32(&bytes, 16, tableAt != 0 ? tableAt : static_cast<uint32_t>(kCabinetHeaderSize));
    bytes[24] = 3;
    bytes[25] = 1;
    Put16(&bytes, 26, 1);
    Put16(&bytes, 28, static_cast<uint16_t>(entries.size()));
    Put16(&bytes, 30, flags);
    for (const Entry& entry : entries) {
        std::string fixed(16, '\0');
        Put32(&fixed, 0, entry.size);
        Put16(&fixed, 10, 0x5021);
        Put16(&fixed, 12, 0x1234);
        Put16(&fixed, 14, entry.attributes);
        bytes += fixed + entry.name + '\0';
    }
    return bytes;
}

TEST(CabinetDirectoryTest, EntriesAreReadWithTheirFieldsAndFlags) {
    const std::string bytes = CabinetBytes(
        {{"root.txt", 10}, {"sub\\a.txt", 7}, {"\xc3\xa9.txt", 35000, 0x80 | 0x20}, {"big", 0x12345678, 0x01}}, 0x0001);
    const auto directory = ParseCabinetDirectory(bytes);
    ASSERT_TRUE(directory.has_value());
    ASSERT_EQ(directory->entries.size(), 4u);
    EXPECT_EQ(directory->entries[1].name, "sub\\a.txt");
    EXPECT_EQ(directory->entries[1].date, 0x5021);
    EXPECT_EQ(directory->entries[1].time, 0x1234);
    EXPECT_EQ(directory->entries[2].size, 35000u);
    EXPECT_TRUE(directory->entries[2].nameIsUtf8);
    EXPECT_FALSE(directory->entries[0].nameIsUtf8);
    EXPECT_EQ(directory->entries[3].size, 0x12345678u);
    EXPECT_FALSE(directory->entries[3].nameIsUtf8) << "read-only, not UTF-8";
    EXPECT_TRUE(directory->continuesFromPrevious);
    EXPECT_FALSE(directory->continuesInNext);
    EXPECT_GE(CabinetDirectoryExtent(bytes), bytes.size());
    EXPECT_EQ(CabinetDirectoryExtent(CabinetBytes({{"a"}, {"b"}}, 0, 0x01020304)), 0x01020304u + 2 * (16 + 257));
    EXPECT_TRUE(ParseCabinetDirectory(CabinetBytes({}, 0x0002))->continuesInNext);
    const auto unnamed = ParseCabinetDirectory(CabinetBytes({{""}}));
    ASSERT_TRUE(unnamed.has_value()) << "an empty name ending the bytes";
    EXPECT_EQ(unnamed->entries[0].name, "");
    // The header alone is 36 bytes.
    EXPECT_TRUE(ParseCabinetDirectory("MSCF" + std::string(32, '\0')).has_value());
    EXPECT_FALSE(ParseCabinetDirectory("MSCF" + std::string(31, '\0')).has_value());
}

TEST(CabinetDirectoryTest, TruncatedOrForeignBytesAndOverlongNamesAreRefused) {
    const std::string bytes = CabinetBytes({{"root.txt"}, {"sub\\a.txt"}});
    for (size_t cut : {size_t{0}, size_t{10}, size_t{35}, size_t{40}, size_t{60}, bytes.size() - 1}) {
        EXPECT_FALSE(ParseCabinetDirectory(std::string_view(bytes).substr(0, cut)).has_value()) << cut;
    }
    EXPECT_FALSE(ParseCabinetDirectory("NOTACABINET" + std::string(40, '\0')).has_value());
    EXPECT_EQ(CabinetDirectoryExtent("NOTACABINET" + std::string(40, '\0')), 0u);

    // A file table that starts beyond the bytes (a bare 36-byte header pointing at 0x1000).
    std::string header = CabinetBytes({}, 0, 0x1000);
    Put16(&header, 28, 1);
    ASSERT_EQ(header.size(), kCabinetHeaderSize);
    EXPECT_FALSE(ParseCabinetDirectory(header).has_value());

    // Names hold at most 256 characters; a longer one would make the computed
    // extent one byte short of the real table.
    const auto longest = ParseCabinetDirectory(CabinetBytes({{std::string(256, 'n')}}));
    ASSERT_TRUE(longest.has_value());
    EXPECT_EQ(longest->entries[0].name.size(), 256u);
    const std::string overlong = CabinetBytes({{std::string(257, 'n')}});
    EXPECT_FALSE(ParseCabinetDirectory(overlong).has_value());
    EXPECT_LT(CabinetDirectoryExtent(overlong), overlong.size());
}

}  // namespace
}  // namespace tessary
