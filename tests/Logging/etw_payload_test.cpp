#include "Logging/etw_payload.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include "Logging/etw_logging.h"
#endif

namespace tessary::ETWLogging {
namespace {

TEST(EtwPayloadTest, LaysOutEveryFieldLittleEndianWithCountedStrings) {
    EventPayloadFields f;
    f.processId = 0x01020304;
    f.threadId = 0xA0B0C0D0;
    f.processName = u"p.exe";
    f.sourceFile = u"GoOnline";
    f.function = u"";
    f.line = -2;
    f.moduleDirectory = u"C:\\d";
    f.moduleVersion = u"1.2";
    f.group = u"TSAPI";
    f.messageBytes = 0x1122334455667788ull;

    const std::vector<uint8_t> expected = {
        0x04, 0x03, 0x02, 0x01,                                                                  // process id
        0xD0, 0xC0, 0xB0, 0xA0,                                                                  // thread id
        5,    0,    'p',  0,    '.',  0,    'e',  0,    'x', 0, 'e', 0,                          // process name
        8,    0,    'G',  0,    'o',  0,    'O',  0,    'n', 0, 'l', 0, 'i', 0, 'n', 0, 'e', 0,  // source file
        0,    0,                                                                                 // function (empty)
        0xFE, 0xFF, 0xFF, 0xFF,                                                                  // line -2
        4,    0,    'C',  0,    ':',  0,    '\\', 0,    'd', 0,                                  // module directory
        3,    0,    '1',  0,    '.',  0,    '2',  0,                                             // version
        5,    0,    'T',  0,    'S',  0,    'A',  0,    'P', 0, 'I', 0,                          // group
        0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11,                                          // message length
    };
    EXPECT_EQ(BuildEventPayload(f), expected);
}

TEST(EtwPayloadTest, NonAsciiUnitsAreWrittenAsTwoBytesEach) {
    EventPayloadFields f;
    f.group = u"\u00e9\U0001F600";  // one unit, then a surrogate pair
    const std::vector<uint8_t> payload = BuildEventPayload(f);
    // The fields left unset are zeros and empty strings: 4 + 4 + 2 + 2 + 2 + 4 + 2 + 2 = 22 bytes before the group.
    std::vector<uint8_t> expected(22, 0);
    expected.insert(expected.end(), {3, 0, 0xE9, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(payload, expected);
}

TEST(EtwPayloadTest, OverlongStringIsCutToTheCountLimit) {
    const std::u16string longText = u"a" + std::u16string(69999, u'x');
    EventPayloadFields f;
    f.processName = longText;
    const std::vector<uint8_t> payload = BuildEventPayload(f);
    EXPECT_EQ(payload[8], 0xFF);
    EXPECT_EQ(payload[9], 0xFF);
    EXPECT_EQ(payload[10], 'a');
    EXPECT_EQ(payload.size(), 8u + 2 + 2 * 0xFFFF + 2 + 2 + 4 + 2 + 2 + 2 + 8);
}

TEST(EtwLevelTest, SixAndOutOfRangeSeveritiesTravelAsThree) {
    EXPECT_EQ(TraceLevelForSeverity(1), 1);
    EXPECT_EQ(TraceLevelForSeverity(2), 2);
    EXPECT_EQ(TraceLevelForSeverity(3), 3);
    EXPECT_EQ(TraceLevelForSeverity(4), 4);
    EXPECT_EQ(TraceLevelForSeverity(5), 5);
    EXPECT_EQ(TraceLevelForSeverity(6), 3);
    EXPECT_EQ(TraceLevelForSeverity(0), 3);
    EXPECT_EQ(TraceLevelForSeverity(7), 3);
    EXPECT_EQ(TraceLevelForSeverity(0xFFFFFFFFu), 3);
}

// The trace record is a Windows structure; the native build checks the payload only.
#if defined(_WIN32)
TEST(EtwRecordTest, HeaderCarriesSizeFlagsClassAndBothDataBlocks) {
    const std::vector<uint8_t> payload = {1, 2, 3};
    const std::string message = "hello";
    TraceEventRecord record;
    std::memset(&record, 0xCC, sizeof(record));
    FillTraceEventRecord(&record, 6, payload, message);

    uint8_t bytes[80];
    std::memcpy(bytes, &record, sizeof(bytes));
    EXPECT_EQ(bytes[0] | (bytes[1] << 8), 80);  // Size
    EXPECT_EQ(bytes[2], 0);                     // HeaderType
    EXPECT_EQ(bytes[3], 0);                     // MarkerFlags
    EXPECT_EQ(bytes[4], 1);                     // Class.Type
    EXPECT_EQ(bytes[5], 3);                     // Class.Level (6 -> 3)
    EXPECT_EQ(bytes[6] | (bytes[7] << 8), 2);   // Class.Version
    const uint8_t guid[16] = {0xD0, 0xAA, 0x1D, 0xCD, 0xCC, 0x54, 0xE0, 0x11,
                              0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66};
    EXPECT_EQ(std::memcmp(bytes + 24, guid, 16), 0);  // class identifier
    uint32_t flags;
    std::memcpy(&flags, bytes + 44, 4);
    EXPECT_EQ(flags, 0x120000u);

    EXPECT_EQ(record.data[0].DataPtr, reinterpret_cast<ULONG64>(payload.data()));
    EXPECT_EQ(record.data[0].Length, 3u);
    EXPECT_EQ(record.data[1].DataPtr, reinterpret_cast<ULONG64>(message.data()));
    EXPECT_EQ(record.data[1].Length, 5u);
    EXPECT_EQ(record.data[0].DataType, 0u);
    EXPECT_EQ(record.header.ThreadId, 0u);
}
#endif  // _WIN32

}  // namespace
}  // namespace tessary::ETWLogging
