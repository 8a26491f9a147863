#include <gtest/gtest.h>

#include <string>

#include "component/reputation_query.h"

namespace tessary {
namespace {

AppRecord ToolRecord() {
    AppRecord r;
    r.path = L"c:\\Program Files\\Tool\\Tool.exe";
    r.exeName = "Tool.exe";
    r.applicationName = "Tool";
    r.company = "Maker";
    r.version = "6.1";
    r.md5 = "0123456789ABCDEF0123456789ABCDEF";
    r.sizeOnDisk = 1234;
    return r;
}

const QueryEnvironment kEnv{"", "Windows NT 10.0 (19045) ", "18900"};

TEST(RequestText, FieldsInOrderEndingWithLanguage) {
    EXPECT_EQ(BuildRequestText(ToolRecord(), kEnv, {}),
              "[exe]=Tool.exe||[size]=1234||[hash]=0123456789ABCDEF0123456789ABCDEF||"
              "[path]=c:\\Program Files\\Tool\\Tool.exe||[application_name]=Tool||[company]=Maker||[version]=6.1||"
              "[tsid]=||[os]=Windows NT 10.0 (19045) ||[build]=18900||[lang]=en");
}

TEST(RequestText, EmptyHashIsDirectlyFollowedByPath) {
    AppRecord r = ToolRecord();
    r.md5.clear();
    EXPECT_NE(BuildRequestText(r, kEnv, {}).find("||[hash]=||[path]=c:\\"), std::string::npos);
}

TEST(RequestText, UsageGroupWithoutDestination) {
    QueryExtras extras;
    extras.includeUsage = true;
    extras.permissionIsOne = true;
    extras.product = 2;
    extras.feature = 3;
    const std::string text = BuildRequestText(ToolRecord(), kEnv, extras);
    const std::string tail = "||[lang]=en||[stat]=1||[prod]=2||[feat]=3";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
    EXPECT_EQ(text.find("[ip]"), std::string::npos);

    extras.permissionIsOne = false;
    extras.product = 4294967295u;
    EXPECT_NE(BuildRequestText(ToolRecord(), kEnv, extras).find("||[stat]=0||[prod]=4294967295||"), std::string::npos);
}

TEST(RequestText, DestinationDependsOnlyOnTheAddress) {
    QueryExtras extras;
    extras.address = 0x0100007f;
    extras.port = 65535;
    const std::string text = BuildRequestText(ToolRecord(), kEnv, extras);
    EXPECT_NE(text.find("||[lang]=en||[ip]=16777343||[port]=65535"), std::string::npos) << text;
    EXPECT_EQ(text.find("[stat]"), std::string::npos);
}

TEST(RequestText, LargeFileSizeIsSentAsSignedNumber) {
    AppRecord r = ToolRecord();
    r.sizeOnDisk = 3000000000u;
    EXPECT_NE(BuildRequestText(r, kEnv, {}).find("||[size]=-1294967296||"), std::string::npos);
}

TEST(RequestBuffer, LengthFollowsTheFieldSumAndAlwaysHoldsTheText) {
    const AppRecord r = ToolRecord();
    const std::vector<uint8_t> buffer = BuildRequestBuffer(r, kEnv, {});
    // 153 + 8 + 30 + 4 + 5 + 3 + 9 + 7 + 9 + 9 + 10 + 2 + 5 + 24 + "0" + "0" + "0" + "0" = 282; > 322 → 328.
    EXPECT_EQ(buffer.size(), 328u);
    const std::string text = BuildRequestText(r, kEnv, {});
    ASSERT_LT(text.size(), buffer.size());
    EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + text.size()), text);
    for (size_t i = text.size(); i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0) << i;

    // A caller's hash of any length does not fit the field sum; the buffer grows with it.
    AppRecord hostile = r;
    hostile.md5 = std::string(5000, 'A');
    const std::vector<uint8_t> big = BuildRequestBuffer(hostile, kEnv, {});
    EXPECT_EQ(big.size() % 8, 0u);
    EXPECT_GE(big.size(), BuildRequestText(hostile, kEnv, {}).size() + 1);

    for (size_t exeLength = 0; exeLength < 24; ++exeLength) {
        AppRecord v = r;
        v.exeName.assign(exeLength, 'x');
        const auto b = BuildRequestBuffer(v, kEnv, {});
        EXPECT_EQ(b.size() % 8, 0u);
        EXPECT_GT(b.size(), BuildRequestText(v, kEnv, {}).size());
    }
}

}  // namespace
}  // namespace tessary
