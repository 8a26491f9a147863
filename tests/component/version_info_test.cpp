#include "platform/version_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/component/test_files.h"

namespace tessary {
namespace {

using testing::FixturePath;

TEST(VersionInfoFile, ReadsFixedInfoTranslationsAndStrings) {
    VersionInfo info;
    ASSERT_TRUE(info.Load(FixturePath(L"identity_fixture_v61.exe")));
    const VS_FIXEDFILEINFO* fixed = info.FixedInfo();
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(1, 6));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(17514, 7601));

    const auto table = info.Translations();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table[0].language, 0x409);
    EXPECT_EQ(table[0].codePage, 1200);

    EXPECT_EQ(info.QueryString(0x409, 1200, L"CompanyName"), L"Quellon Fixtures Ltd");
    EXPECT_EQ(info.QueryString(0x409, 1200, L"NoSuchString"), std::nullopt);
    EXPECT_EQ(info.QueryString(0x409, 1252, L"CompanyName"), std::nullopt);
}

TEST(VersionInfoFile, FilesWithoutUsableBlockLoadNothing) {
    VersionInfo info;
    EXPECT_FALSE(info.Load(FixturePath(L"identity_fixture_plain.exe")));
    EXPECT_FALSE(info.loaded());
    EXPECT_FALSE(info.Load(FixturePath(L"no_such_fixture.exe")));
    EXPECT_FALSE(info.Load(FixturePath(L"identity_fixture_garbage.exe")));
    EXPECT_EQ(info.FixedInfo(), nullptr);
    EXPECT_TRUE(info.Translations().empty());
    EXPECT_EQ(info.QueryString(0x409, 1200, L"CompanyName"), std::nullopt);
}

// Hand-built blocks for the structure check.
class VersionBlockShape : public ::testing::Test {
protected:
    // A node with `key`, `value` bytes and already serialised children.
    static std::vector<uint8_t> Node(const std::u16string& key, const std::vector<uint8_t>& value, uint16_t type,
                                     const std::vector<uint8_t>& children) {
        std::vector<uint8_t> node(6);
        for (char16_t c : key) {
            node.push_back(static_cast<uint8_t>(c));
            node.push_back(static_cast<uint8_t>(c >> 8));
        }
        node.push_back(0);
        node.push_back(0);
        while (node.size() % 4) node.push_back(0);
        node.insert(node.end(), value.begin(), value.end());
        if (!children.empty()) {
            while (node.size() % 4) node.push_back(0);
            node.insert(node.end(), children.begin(), children.end());
        }
        SetWord(node, 0, static_cast<uint16_t>(node.size()));
        SetWord(node, 2, static_cast<uint16_t>(type == 1 ? value.size() / 2 : value.size()));
        SetWord(node, 4, type);
        return node;
    }
    static void SetWord(std::vector<uint8_t>& bytes, size_t at, uint16_t v) {
        bytes[at] = static_cast<uint8_t>(v);
        bytes[at + 1] = static_cast<uint8_t>(v >> 8);
    }
    static std::vector<uint8_t> Padded(std::vector<uint8_t> node) {
        while (node.size() % 4) node.push_back(0);
        return node;
    }
    // Root with one StringFileInfo > table > string chain.
    static std::vector<uint8_t> Sound() {
        const auto value = Node(u"CompanyName", {'Q', 0, 0, 0}, 1, {});
        const auto table = Node(u"040904b0", {}, 1, Padded(value));
        const auto sfi = Node(u"StringFileInfo", {}, 1, Padded(table));
        return Node(u"VS_VERSION_INFO", std::vector<uint8_t>(52, 0), 0, Padded(sfi));
    }
};

TEST_F(VersionBlockShape, AcceptsSoundBlockAndRoomAfterIt) {
    auto block = Sound();
    EXPECT_TRUE(IsWellFormedVersionBlock(block.data(), block.size()));
    block.resize(block.size() + 100, 0xEE);
    EXPECT_TRUE(IsWellFormedVersionBlock(block.data(), block.size()));
}

TEST_F(VersionBlockShape, RejectsTruncatedBlocks) {
    const auto block = Sound();
    for (size_t size : {size_t{0}, size_t{5}, size_t{40}, block.size() - 1}) {
        EXPECT_FALSE(IsWellFormedVersionBlock(block.data(), size)) << size;
    }
    EXPECT_FALSE(IsWellFormedVersionBlock(nullptr, 100));
}

TEST_F(VersionBlockShape, RejectsChildLongerThanItsParent) {
    auto block = Sound();
    const size_t sfiAt = 40 + 52;  // header and "VS_VERSION_INFO" padded to 40, fixed info
    ASSERT_EQ(block[sfiAt + 6], 'S');
    SetWord(block, sfiAt, static_cast<uint16_t>(block.size()));
    EXPECT_FALSE(IsWellFormedVersionBlock(block.data(), block.size() + 64));
}

TEST_F(VersionBlockShape, RejectsZeroLengthChildAndUnterminatedKey) {
    auto zeroChild = Sound();
    SetWord(zeroChild, 40 + 52, 0);
    EXPECT_FALSE(IsWellFormedVersionBlock(zeroChild.data(), zeroChild.size()));

    std::vector<uint8_t> unterminated(6);
    for (int i = 0; i < 5; ++i) unterminated.insert(unterminated.end(), {'K', 0});
    SetWord(unterminated, 0, static_cast<uint16_t>(unterminated.size()));
    EXPECT_FALSE(IsWellFormedVersionBlock(unterminated.data(), unterminated.size()));
}

}  // namespace
}  // namespace tessary
