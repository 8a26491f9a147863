// The installation identifier's text forms and file bytes.

#include "updater/tsid_text.h"

#include <gtest/gtest.h>

#include <string>

namespace tessary {
namespace {

using namespace std::string_literals;

TEST(TsidTextTest, ParsingNeedsFourNonZeroNumbersAndStepsOverAnySeparators) {
    EXPECT_EQ(ParseInstallationIdText("0001-0002-0003-00a4"), (InstallationIdParts{1, 2, 3, 0xa4}));
    EXPECT_EQ(ParseInstallationIdText("FFFF-ffff-1-2"), (InstallationIdParts{0xffff, 0xffff, 1, 2}));
    EXPECT_EQ(ParseInstallationIdText("1 -- 2\0\0003 4 trailing"s), (InstallationIdParts{1, 2, 3, 4}));
    // Without a separator the next number starts one character after the stop.
    EXPECT_EQ(ParseInstallationIdText("1g2h3i4"), (InstallationIdParts{1, 2, 3, 4}));
    EXPECT_EQ(ParseInstallationIdText("1:2G-3-4"), (InstallationIdParts{1, 2, 3, 4}));
    EXPECT_EQ(ParseInstallationIdText("A-1-1-F"), (InstallationIdParts{0xA, 1, 1, 0xF}));
    EXPECT_EQ(ParseInstallationIdText(std::string_view("1-2-3-45", 7)), (InstallationIdParts{1, 2, 3, 4}));
    EXPECT_EQ(ParseInstallationIdText("1234567890-1-1-1"), (InstallationIdParts{0x34567890, 1, 1, 1}));
    for (const char* bad : {"", "0001-0002-0003", "0001-0002-0003-", "0000-0002-0003-0004", "1-2-3-0", "1-2-3-zz",
                            "-1-2-3-4", "100000000-1-1-1", "1-0 2-3-4"}) {
        EXPECT_EQ(ParseInstallationIdText(bad), std::nullopt) << bad;
    }
}

TEST(TsidTextTest, SixteenCharacterValuesAreJoinedInGroupsOfFour) {
    EXPECT_EQ(JoinTsidGroups("00010002000300a4"), "0001-0002-0003-00a4");
    EXPECT_EQ(JoinTsidGroups("\0\0\0\0abcdABCD-..."s), "\0\0\0\0-abcd-ABCD--..."s);
    EXPECT_EQ(JoinTsidGroups("000100020003004"), std::nullopt);
    EXPECT_EQ(JoinTsidGroups("00010002000300a4f"), std::nullopt);
}

TEST(TsidTextTest, FormatGivesLowerCaseDigitsAndAllZerosWithoutAnIdentifier) {
    EXPECT_EQ(FormatInstallationId({1, 2, 3, 0xA4}), "00010002000300a4");
    EXPECT_EQ(FormatInstallationId({}), "0000000000000000");
    // Never more than four digits a part: an identifier outside 1..0xFFFF is none.
    EXPECT_EQ(FormatInstallationId({0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff}), std::string(16, '0'));
    EXPECT_EQ(FormatInstallationId({1, 2, 3, 0x10000}), std::string(16, '0'));
    EXPECT_EQ(FormatInstallationId({1, 0, 3, 4}), std::string(16, '0'));
    EXPECT_EQ(FormatInstallationId({0xffff, 1, 1, 1}), "ffff000100010001");
}

TEST(TsidTextTest, FileBytesAreLittleEndianAndOnlyAWholeValidFileReadsBack) {
    const auto bytes = EncodeInstallationIdFile({0x0102, 0xA0B0, 3, 0xFFFF}, true);
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_EQ(text, "\x02\x01\0\0\xB0\xA0\0\0\x03\0\0\0\xff\xff\0\0\x01\0\0\0"s);
    EXPECT_EQ(EncodeInstallationIdFile({1, 1, 1, 1}, false)[16], 0);
    EXPECT_EQ(EncodeInstallationIdFile({0x12345678, 1, 1, 1}, false)[3], 0x12);
    EXPECT_EQ(DecodeInstallationIdFile(text), (InstallationIdParts{0x0102, 0xA0B0, 3, 0xFFFF}));
    EXPECT_EQ(DecodeInstallationIdFile(text.substr(0, 16) + "\x07\0\0\0"s),
              (InstallationIdParts{0x0102, 0xA0B0, 3, 0xFFFF}))
        << "the reserved word is not read";

    auto withPart = [&text](size_t part, const std::string& value) {
        std::string changed = text;
        changed.replace(4 * part, 4, value);
        return changed;
    };
    for (const std::string& bad : {""s, text.substr(0, 15), text.substr(0, 16), text.substr(0, 19), text + "m",
                                   std::string(20, '\xff'), withPart(0, "\0\0\0\0"s), withPart(3, "\x01\0\x01\0"s),
                                   withPart(1, "\x44\x33\x22\x11"s), withPart(2, "\x01\0\0\x01"s)}) {
        EXPECT_EQ(DecodeInstallationIdFile(bad), std::nullopt) << bad.size() << " bytes";
    }
}

}  // namespace
}  // namespace tessary
