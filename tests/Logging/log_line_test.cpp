#include "Logging/log_line.h"

#include <gtest/gtest.h>

namespace tessary::ETWLogging {
namespace {

class LogLineTest : public ::testing::Test {
protected:
    LogLineTest() {
        fields_.time = LineTime{2026, 12, 7, 23, 55, 32};
        fields_.message = L"hello";
    }
    LineFields fields_;
};

TEST_F(LogLineTest, DefaultOptionsGiveTimeSeverityEmptyTagAndMessage) {
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 11:55:32 PM$ -- (Information)$  hello\r\n");
    // Fields left unset are zeros.
    LineFields unset;
    unset.options = 0x3C;
    unset.sourceFile = L"s";
    unset.function = L"f";
    EXPECT_EQ(FormatLogLine(unset), L"00/00/0 12:00:00 AM$ -- (Information)$  [PID:    0 TID:    0]$ [" +
                                        std::wstring(19, L' ') + L"s:    0]$ [" + std::wstring(39, L' ') +
                                        L"f()]$ \r\n");
}

TEST_F(LogLineTest, NoonIsTwelvePmAndMidnightTwelveAm) {
    fields_.options = 0;
    fields_.time.hour = 12;
    fields_.time.minute = 0;
    fields_.time.second = 0;
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 12:00:00 PM$ -- (Information)$ hello\r\n");
    fields_.time.hour = 0;
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 12:00:00 AM$ -- (Information)$ hello\r\n");
    fields_.time.hour = 11;
    fields_.time.minute = 59;
    fields_.time.second = 59;
    EXPECT_EQ(FormatLogLine(fields_).substr(0, 23), L"12/07/2026 11:59:59 AM$");
    fields_.time.hour = 13;
    fields_.time.month = 1;
    fields_.time.day = 2;
    EXPECT_EQ(FormatLogLine(fields_).substr(0, 23), L"01/02/2026 01:59:59 PM$");
}

TEST_F(LogLineTest, TagIsCutToFifteenOrPaddedOnTheLeft) {
    fields_.tag = L"Logging_logging_test.exe";
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 11:55:32 PM$ -- (Information)$ [Logging_logging]$ hello\r\n");
    fields_.tag = L"tsupdchk.exe";
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 11:55:32 PM$ -- (Information)$ [   tsupdchk.exe]$ hello\r\n");
}

TEST_F(LogLineTest, OptionFieldsAppearInOrderWithTheirWidths) {
    fields_.options = 0x3C;  // log.ini's bits: 0x4 process and thread, 0x8 file and line, 0x10 tag, 0x20 function
    fields_.tag = L"a.exe";
    fields_.processId = 42;
    fields_.threadId = 123456;
    fields_.sourceFile = L"C:\\src\\updater\\a_very_long_source_file_name.cpp";
    fields_.line = 77;
    fields_.function = L"Fn";
    fields_.severity = kSeverityError;
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 11:55:32 PM$ -- (Error)$ [" + std::wstring(10, L' ') +
                                          L"a.exe]$ [PID:   42 TID:123456]$ [a_very_long_source_f:   77]$ [" +
                                          std::wstring(38, L' ') + L"Fn()]$ hello\r\n");
    fields_.processId = 123456;
    fields_.threadId = 7;
    EXPECT_NE(FormatLogLine(fields_).find(L"]$ [PID:123456 TID:    7]$ ["), std::wstring::npos);
    fields_.options = 0x1;  // debug output only
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 11:55:32 PM$ -- (Error)$ hello\r\n");
}

TEST_F(LogLineTest, FileAndFunctionFieldsNeedAName) {
    fields_.options = kOptionFileLine | kOptionFunction;
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 11:55:32 PM$ -- (Information)$ hello\r\n");
    fields_.sourceFile = L"GoOnline";
    fields_.line = -1;
    EXPECT_EQ(FormatLogLine(fields_),
              L"12/07/2026 11:55:32 PM$ -- (Information)$ [" + std::wstring(12, L' ') + L"GoOnline:   -1]$ hello\r\n");
}

TEST_F(LogLineTest, MessageEndingInLineFeedGetsNoLineEnd) {
    fields_.options = 0;
    fields_.message = L"done\n";
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 11:55:32 PM$ -- (Information)$ done\n");
    fields_.message = L"done\r";
    EXPECT_EQ(FormatLogLine(fields_), L"12/07/2026 11:55:32 PM$ -- (Information)$ done\r\r\n");
}

TEST(SeverityNameTest, NamesOneToSixAndNothingElse) {
    EXPECT_STREQ(SeverityName(1), L"Normal");
    EXPECT_STREQ(SeverityName(2), L"Warning");
    EXPECT_STREQ(SeverityName(3), L"Information");
    EXPECT_STREQ(SeverityName(4), L"Error");
    EXPECT_STREQ(SeverityName(5), L"Critical");
    EXPECT_STREQ(SeverityName(6), L"Information");
    EXPECT_EQ(SeverityName(0), nullptr);
    EXPECT_EQ(SeverityName(7), nullptr);
    EXPECT_EQ(SeverityName(0xFFFFFFFFu), nullptr);
}

TEST(CutLengthTest, KeepsSurrogatePairsWhole) {
    EXPECT_EQ(CutLength(L"abc", 5), 3u);
    EXPECT_EQ(CutLength(L"abcdef", 4), 4u);
    const std::wstring pair = L"ab\xD83D\xDE00";
    EXPECT_EQ(CutLength(pair, 3), 2u);
    EXPECT_EQ(CutLength(pair, 4), 4u);
    EXPECT_EQ(CutLength(L"", 0), 0u);
    // The cut falls after the low half: the pair stays.
    EXPECT_EQ(CutLength(L"ab\xD83D\xDE00xyz", 4), 4u);
    EXPECT_EQ(CutLength(L"ab\xD83D\xDE00xyz", 3), 2u);
    // A text that fits is never cut, even one ending in a lone high surrogate.
    const std::wstring lone = L"abc\xD83D";
    EXPECT_EQ(CutLength(lone, 4), 4u);
    EXPECT_EQ(CutLength(lone, 3), 3u);
    // High surrogates are 0xD800 to 0xDBFF.
    EXPECT_EQ(CutLength(L"a\xD800z", 2), 1u);
    EXPECT_EQ(CutLength(L"a\xDBFFz", 2), 1u);
    EXPECT_EQ(CutLength(L"a\xD7FFz", 2), 2u);
    EXPECT_EQ(CutLength(L"a\xDC00z", 2), 2u);
    EXPECT_EQ(CutLength(L"\xD800z", 1), 0u);
    EXPECT_EQ(CutLength(L"z", 0), 0u);
    const std::wstring afterHigh = L"\xD800z";
    EXPECT_EQ(CutLength(std::wstring_view(afterHigh).substr(1), 0), 0u);
}

}  // namespace
}  // namespace tessary::ETWLogging
