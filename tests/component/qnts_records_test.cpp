#include "component/qnts_records.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace tessary {
namespace {

class AppDetailsTest : public ::testing::Test {
protected:
    void SetUp() override { std::memset(&details_, 0xCC, sizeof details_); }

    template <size_t N>
    static std::wstring Field(const wchar_t (&field)[N]) {
        return std::wstring(field, wcsnlen(field, N));
    }
    // Every character of `field` from index `from` to its end is zero.
    template <size_t N>
    static bool ZeroFrom(const wchar_t (&field)[N], size_t from) {
        for (size_t i = from; i < N; ++i) {
            if (field[i] != 0) return false;
        }
        return true;
    }

    tagQNTS_APP_DETAILS details_;
};

TEST_F(AppDetailsTest, CopiesEveryFieldAndClearsTheTails) {
    AppRecord record;
    record.path = L"c:\\Program Files\\App\\App.exe";
    record.exeName = "App.exe";
    record.applicationName = "Tessary Identity Fixture";
    record.description = "A program";
    record.version = "6.1";
    record.md5 = "900150983CD24FB0D6963F7D28E17F72";
    record.sizeOnDisk = 0x89ABCDEF;
    record.company = "not in the record";

    ToAppDetails(record, &details_);

    EXPECT_EQ(details_.sizeOnDisk, 0x89ABCDEFu);
    EXPECT_EQ(Field(details_.pwszPath), record.path);
    EXPECT_EQ(Field(details_.pwszExeName), L"App.exe");
    EXPECT_EQ(Field(details_.pwszApplicationName), L"Tessary Identity Fixture");
    EXPECT_EQ(Field(details_.pwszDescription), L"A program");
    EXPECT_EQ(Field(details_.pwszVersion), L"6.1");
    EXPECT_EQ(Field(details_.pwszMD5), L"900150983CD24FB0D6963F7D28E17F72");
    EXPECT_TRUE(ZeroFrom(details_.pwszPath, record.path.size()));
    EXPECT_TRUE(ZeroFrom(details_.pwszVersion, 3));
    EXPECT_TRUE(ZeroFrom(details_.pwszMD5, 32));
    // The record's text sits at the type library's byte offsets.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&details_);
    EXPECT_EQ(bytes[526], '9');
    EXPECT_EQ(bytes[592], 'A');
    EXPECT_EQ(bytes[2146], '6');
    EXPECT_EQ(bytes[2150], '1');
}

TEST_F(AppDetailsTest, LongTextIsCutToEachFieldWidthWithTerminator) {
    AppRecord record;
    record.path.assign(400, L'p');
    record.exeName.assign(300, 'e');
    record.applicationName.assign(261, 'n');
    record.description.assign(255, 'd');
    record.version.assign(32, 'v');
    record.md5.assign(40, 'F');

    ToAppDetails(record, &details_);

    EXPECT_EQ(Field(details_.pwszPath), std::wstring(260, L'p'));
    EXPECT_EQ(Field(details_.pwszExeName), std::wstring(260, L'e'));
    EXPECT_EQ(Field(details_.pwszApplicationName), std::wstring(260, L'n'));
    EXPECT_EQ(Field(details_.pwszDescription), std::wstring(254, L'd'));
    EXPECT_EQ(Field(details_.pwszVersion), std::wstring(31, L'v'));
    EXPECT_EQ(Field(details_.pwszMD5), std::wstring(32, L'F'));
    EXPECT_EQ(details_.pwszDescription[254], 0);
    EXPECT_EQ(details_.pwszVersion[31], 0);
    // Padding after the last field belongs to nobody and stays as it was.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&details_);
    EXPECT_EQ(bytes[2210], 0xCC);
    EXPECT_EQ(bytes[2211], 0xCC);
}

TEST_F(AppDetailsTest, SurrogatePairIsNeverSplitAtTheCut) {
    AppRecord record;
    record.path = std::wstring(259, L'x') + L"\xD83D\xDE00" + L"tail";
    ToAppDetails(record, &details_);
    EXPECT_EQ(Field(details_.pwszPath), std::wstring(259, L'x'));

    record.path = std::wstring(258, L'x') + L"\xD83D\xDE00" + L"tail";
    ToAppDetails(record, &details_);
    EXPECT_EQ(Field(details_.pwszPath), std::wstring(258, L'x') + L"\xD83D\xDE00");
}

TEST_F(AppDetailsTest, NarrowTextUsesTheThreadCodePage) {
    if (::GetACP() != 1252) GTEST_SKIP() << "the prefix's ANSI code page is " << ::GetACP() << ", not 1252";
    AppRecord record;
    record.applicationName = "Caf\xE9";
    ToAppDetails(record, &details_);
    EXPECT_EQ(Field(details_.pwszApplicationName), L"Caf\u00e9");
}

}  // namespace
}  // namespace tessary
