#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "updater/event_report.h"

namespace tessary {
namespace {

// Address and port as stored: first octet / high port byte in the lowest byte.
constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a | (b << 8) | (c << 16) | (d << 24); }
constexpr uint16_t Port(uint16_t port) { return static_cast<uint16_t>((port >> 8) | (port << 8)); }

TEST(TrafficTableTest, DocumentGroupsByProtocolAndPortInFirstAppearanceOrder) {
    TrafficTable table(500);
    EXPECT_TRUE(table.Add(Ip(1, 2, 3, 4), Port(80), 6));
    EXPECT_TRUE(table.Add(Ip(5, 6, 7, 8), Port(53), 17));
    EXPECT_TRUE(table.Add(Ip(1, 2, 3, 4), Port(80), 6));
    EXPECT_TRUE(table.Add(Ip(200, 1, 1, 255), Port(80), 6));
    EXPECT_TRUE(table.Add(Ip(1, 2, 3, 4), Port(80), 17));
    EXPECT_TRUE(table.Add(Ip(9, 9, 9, 9), 0, 1));
    EXPECT_EQ(table.Document(1000, 2000),
              L"<Traffic><Time start=\"1000\" end=\"2000\"/>"
              L"<Entry prot=\"TCP\" port=\"80\"><Src ip=\"1.2.3.4\" count=\"2\"/><Src ip=\"200.1.1.255\" count=\"1\"/>"
              L"</Entry>"
              L"<Entry prot=\"UDP\" port=\"53\"><Src ip=\"5.6.7.8\" count=\"1\"/></Entry>"
              L"<Entry prot=\"UDP\" port=\"80\"><Src ip=\"1.2.3.4\" count=\"1\"/></Entry>"
              L"<Entry prot=\"ICMP\" port=\"0\"><Src ip=\"9.9.9.9\" count=\"1\"/></Entry>"
              L"</Traffic>");
    EXPECT_EQ(table.eventCount(), 6u);
}

TEST(TrafficTableTest, HighPortsAndAddressesAreWrittenUnsigned) {
    TrafficTable table(10);
    table.Add(Ip(255, 255, 255, 255), Port(65535), 6);
    EXPECT_EQ(table.Document(0, 4294967295u),
              L"<Traffic><Time start=\"0\" end=\"4294967295\"/><Entry prot=\"TCP\" port=\"65535\">"
              L"<Src ip=\"255.255.255.255\" count=\"1\"/></Entry></Traffic>");

    // Every digit of larger counts and ports, and zero octets.
    TrafficTable busy(10);
    for (int i = 0; i < 10203; ++i) busy.Add(Ip(100, 0, 20, 0), Port(1024), 17);
    EXPECT_EQ(busy.Document(5, 6),
              L"<Traffic><Time start=\"5\" end=\"6\"/><Entry prot=\"UDP\" port=\"1024\">"
              L"<Src ip=\"100.0.20.0\" count=\"10203\"/></Entry></Traffic>");
}

// MaxEvents N: at most N - 1 sources per entry, then a new entry for the same
// port; at most N - 1 entries.
TEST(TrafficTableTest, LimitsAreOneBelowMaxEvents) {
    TrafficTable table(3);
    EXPECT_TRUE(table.Add(Ip(1, 0, 0, 1), Port(80), 6));
    EXPECT_TRUE(table.Add(Ip(1, 0, 0, 2), Port(80), 6));
    EXPECT_TRUE(table.Add(Ip(1, 0, 0, 3), Port(80), 6));   // entry full: second entry
    EXPECT_TRUE(table.Add(Ip(1, 0, 0, 1), Port(80), 6));   // counted in the first entry
    EXPECT_TRUE(table.Add(Ip(1, 0, 0, 3), Port(80), 6));   // counted in the second entry
    EXPECT_TRUE(table.Add(Ip(1, 0, 0, 4), Port(80), 6));   // room left in the second entry
    EXPECT_FALSE(table.Add(Ip(1, 0, 0, 5), Port(80), 6));  // both full, no third entry
    EXPECT_FALSE(table.Add(Ip(1, 0, 0, 1), Port(81), 6));
    EXPECT_EQ(table.entryCount(), 2u);
    EXPECT_EQ(table.eventCount(), 6u);
    EXPECT_EQ(table.Document(1, 2),
              L"<Traffic><Time start=\"1\" end=\"2\"/>"
              L"<Entry prot=\"TCP\" port=\"80\"><Src ip=\"1.0.0.1\" count=\"2\"/><Src ip=\"1.0.0.2\" count=\"1\"/>"
              L"</Entry>"
              L"<Entry prot=\"TCP\" port=\"80\"><Src ip=\"1.0.0.3\" count=\"2\"/><Src ip=\"1.0.0.4\" count=\"1\"/>"
              L"</Entry></Traffic>");

    TrafficTable none(1);
    EXPECT_FALSE(none.Add(Ip(1, 0, 0, 1), Port(80), 6));
    TrafficTable zero(0);
    EXPECT_FALSE(zero.Add(Ip(1, 0, 0, 1), Port(80), 6));
}

// A MaxEvents from the service as large as it likes must cost only what is stored.
TEST(TrafficTableTest, HugeMaxEventsCostsOnlyWhatIsStored) {
    TrafficTable table(0xFFFFFFFEu);
    for (uint32_t i = 0; i < 1000; ++i) ASSERT_TRUE(table.Add(Ip(1, 1, i & 0xFF, i >> 8), Port(443), 6));
    EXPECT_EQ(table.entryCount(), 1u);
    EXPECT_EQ(table.eventCount(), 1000u);
}

TEST(EventSelectionTest, PrivateSourcesAreTheThreeNetworks) {
    EXPECT_TRUE(IsPrivateSource(Ip(10, 1, 2, 3)));
    EXPECT_TRUE(IsPrivateSource(Ip(172, 16, 0, 0)));
    EXPECT_TRUE(IsPrivateSource(Ip(172, 31, 255, 255)));
    EXPECT_TRUE(IsPrivateSource(Ip(192, 168, 0, 1)));
    EXPECT_FALSE(IsPrivateSource(Ip(172, 32, 0, 1)));
    EXPECT_FALSE(IsPrivateSource(Ip(172, 15, 255, 255)));
    EXPECT_FALSE(IsPrivateSource(Ip(192, 169, 0, 1)));
    EXPECT_FALSE(IsPrivateSource(Ip(11, 0, 0, 0)));
    EXPECT_FALSE(IsPrivateSource(Ip(3, 2, 1, 10)));  // 10 in the last octet only
}

TEST(EventSelectionTest, OnlyIcmpTcpAndUdpHaveNames) {
    EXPECT_STREQ(ProtocolName(1), L"ICMP");
    EXPECT_STREQ(ProtocolName(6), L"TCP");
    EXPECT_STREQ(ProtocolName(17), L"UDP");
    EXPECT_EQ(ProtocolName(2), nullptr);
    EXPECT_EQ(ProtocolName(0), nullptr);
}

TEST(EventSelectionTest, SamplingFollowsThePercent) {
    // 100 percent: dropped only at the maximum draw.
    EXPECT_TRUE(SampleSelects(100, 0.0));
    EXPECT_TRUE(SampleSelects(100, 4294967294.0 / 4294967295.0));
    EXPECT_FALSE(SampleSelects(100, 1.0));
    // 20 percent: X = 500, selected while R x 500 + 1 < 101.
    EXPECT_TRUE(SampleSelects(20, 0.199));
    EXPECT_FALSE(SampleSelects(20, 0.2));
    // 30 percent: X = 333 (truncated), selected while R x 333 < 100.
    EXPECT_TRUE(SampleSelects(30, 99.9 / 333));
    EXPECT_FALSE(SampleSelects(30, 100.5 / 333));
    EXPECT_FALSE(SampleSelects(0, 0.0));
    EXPECT_TRUE(SampleSelects(250, 1.0));
    int selected = 0;
    for (int i = 0; i < 1000; ++i) selected += SampleSelects(20, i / 999.0);
    EXPECT_NEAR(selected, 200, 2);
}

TEST(EventSettingsTest, UnsetFieldsTakeDefaults) {
    tagQNTS_FIREWALL_SETTINGS record;
    std::memset(&record, 0xFF, sizeof(record));
    EventReportSettings settings = EventSettingsFromRecord(record);
    EXPECT_EQ(settings.eventsEnabled, 1u);
    EXPECT_EQ(settings.maxEvents, 500u);
    EXPECT_EQ(settings.submitPercent, 20u);
    EXPECT_TRUE(settings.eventsUrl.empty());

    record.pdwEventsEnabled = 0;
    record.pdwMaxEvents = 7;
    record.pdwSubmitPercent = 100;
    for (size_t i = 0; i < 255; ++i) record.pwszEventsURL[i] = L'a';  // full width, no terminator
    settings = EventSettingsFromRecord(record);
    EXPECT_EQ(settings.eventsEnabled, 0u);
    EXPECT_EQ(settings.maxEvents, 7u);
    EXPECT_EQ(settings.submitPercent, 100u);
    EXPECT_EQ(settings.eventsUrl, std::wstring(255, L'a'));
}

}  // namespace
}  // namespace tessary

namespace tessary {
namespace {

TEST(ReporterRandomTest, DrawsStayInTheUnitIntervalAcrossBlocks) {
    HCRYPTPROV provider = 0;
    ASSERT_TRUE(::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    ReporterRandom random(provider);
    double low = 1.0, high = 0.0, sum = 0.0;
    for (int i = 0; i < 2000; ++i) {  // several provider blocks
        double r = random.Next();
        ASSERT_GE(r, 0.0);
        ASSERT_LE(r, 1.0);
        low = std::min(low, r);
        high = std::max(high, r);
        sum += r;
    }
    EXPECT_LT(low, 0.01);
    EXPECT_GT(high, 0.99);
    EXPECT_NEAR(sum / 2000, 0.5, 0.05);
    ::CryptReleaseContext(provider, 0);

    ReporterRandom fallback(0);
    for (int i = 0; i < 100; ++i) {
        double r = fallback.Next();
        ASSERT_GE(r, 0.0);
        ASSERT_LE(r, 1.0);
    }
}

}  // namespace
}  // namespace tessary
