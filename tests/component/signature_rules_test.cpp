#include "component/signature_rules.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace tessary {
namespace {

// A DER value: tag, length and the text (no terminator).
std::vector<uint8_t> Der(uint8_t tag, const char* text) {
    const size_t length = std::strlen(text);
    std::vector<uint8_t> der(2 + length);
    der[0] = tag;
    der[1] = static_cast<uint8_t>(length);
    std::memcpy(der.data() + 2, text, length);
    return der;
}

UtcTimeFields Sentinel() {
    UtcTimeFields fields;
    fields.year = fields.month = fields.day = fields.hour = fields.minute = fields.second = -7;
    return fields;
}

TEST(SigningTimeTest, TwoDigitYearsPivotBetween69And70) {
    UtcTimeFields time = Sentinel();
    std::vector<uint8_t> der = Der(0x17, "690102030405Z");
    ASSERT_EQ(ParseDerUtcTime(der.data(), der.size(), &time), SigningTimeParse::kParsed);
    EXPECT_EQ(time.year, 2069);
    EXPECT_EQ(time.month, 1);
    EXPECT_EQ(time.day, 2);
    EXPECT_EQ(time.hour, 3);
    EXPECT_EQ(time.minute, 4);
    EXPECT_EQ(time.second, 5);

    der = Der(0x17, "701231235958Z");
    ASSERT_EQ(ParseDerUtcTime(der.data(), der.size(), &time), SigningTimeParse::kParsed);
    EXPECT_EQ(time.year, 1970);
    EXPECT_EQ(time.month, 12);
    EXPECT_EQ(time.day, 31);
    EXPECT_EQ(time.hour, 23);
    EXPECT_EQ(time.minute, 59);
    EXPECT_EQ(time.second, 58);

    der = Der(0x17, "000229120000Z");
    ASSERT_EQ(ParseDerUtcTime(der.data(), der.size(), &time), SigningTimeParse::kParsed);
    EXPECT_EQ(time.year, 2000);

    der = Der(0x17, "990229120000Z");
    ASSERT_EQ(ParseDerUtcTime(der.data(), der.size(), &time), SigningTimeParse::kParsed);
    EXPECT_EQ(time.year, 1999);
}

TEST(SigningTimeTest, OtherEncodingsAreIgnoredAndLeaveTheOutputAlone) {
    UtcTimeFields time = Sentinel();
    const std::vector<uint8_t> generalized = Der(0x18, "20240102030405Z");
    ASSERT_EQ(generalized.size(), 17u);
    EXPECT_EQ(ParseDerUtcTime(generalized.data(), generalized.size(), &time), SigningTimeParse::kIgnored);
    const std::vector<uint8_t> withoutSeconds = Der(0x17, "2401020304Z");
    EXPECT_EQ(ParseDerUtcTime(withoutSeconds.data(), withoutSeconds.size(), &time), SigningTimeParse::kIgnored);
    const std::vector<uint8_t> good = Der(0x17, "240102030405Z");
    EXPECT_EQ(ParseDerUtcTime(good.data(), good.size() - 1, &time), SigningTimeParse::kIgnored);
    EXPECT_EQ(ParseDerUtcTime(nullptr, 15, &time), SigningTimeParse::kIgnored);
    EXPECT_EQ(ParseDerUtcTime(good.data(), good.size(), nullptr), SigningTimeParse::kIgnored);
    EXPECT_EQ(time.year, -7);
    EXPECT_EQ(time.second, -7);
}

TEST(SigningTimeTest, NonDigitFieldsAreMalformed) {
    UtcTimeFields time = Sentinel();
    // Characters just outside the digits on either side, in either place of a pair.
    for (const char* text : {"2401020304 5Z", "2A0102030405Z", "24010203040-Z", "24/102030405Z", "2401020304A5Z",
                             "24010203049:Z", ":40102030405Z"}) {
        const std::vector<uint8_t> der = Der(0x17, text);
        EXPECT_EQ(ParseDerUtcTime(der.data(), der.size(), &time), SigningTimeParse::kMalformed) << text;
    }
    EXPECT_EQ(time.year, -7);
}

TEST(SerialNumberTextTest, MostSignificantByteFirstInLowerCasePairs) {
    const uint8_t serial[] = {0x5f, 0x4e, 0x3d, 0x2c, 0x1b, 0x0a};
    EXPECT_EQ(SerialNumberText(serial, sizeof serial), "0a1b2c3d4e5f");
    const uint8_t small[] = {0x00, 0x01};
    EXPECT_EQ(SerialNumberText(small, sizeof small), "0100");
    EXPECT_EQ(SerialNumberText(serial, 0), "");
    EXPECT_EQ(SerialNumberText(nullptr, 12), "");
}

TEST(SerialNumberTextTest, AbsurdLengthsAreWrittenWhole) {
    std::vector<uint8_t> serial(100000, 0xAB);
    serial.back() = 0x7F;
    const std::string text = SerialNumberText(serial.data(), serial.size());
    ASSERT_EQ(text.size(), 200000u);
    EXPECT_EQ(text.substr(0, 6), "7fabab");
}

// Records the values offered and answers yes for the listed fragments.
struct FragmentList {
    std::vector<std::string> listed;
    std::vector<std::string> offered;
    bool operator()(const std::string& value) {
        offered.push_back(value);
        for (const std::string& fragment : listed) {
            if (value.find(fragment) != std::string::npos) return true;
        }
        return false;
    }
};

bool Passes(std::string_view subject, FragmentList& list) {
    return PassesOrganisationalUnitRule(subject, [&list](const std::string& value) { return list(value); });
}

TEST(OrganisationalUnitRuleTest, SubjectWithoutUnitPasses) {
    FragmentList list;
    EXPECT_TRUE(Passes("2.5.4.3=\"Quellon, Inc.\", 2.5.4.10=Quellon", list));
    EXPECT_TRUE(Passes("", list));
    EXPECT_TRUE(list.offered.empty());
}

TEST(OrganisationalUnitRuleTest, EachUnitValueIsOfferedUpToTheNextComma) {
    FragmentList list{{"Core Services"}, {}};
    EXPECT_TRUE(Passes("2.5.4.11=Beta Unit, 2.5.4.11=Alpha Core Services, 2.5.4.3=Q", list));
    EXPECT_EQ(list.offered, (std::vector<std::string>{"Beta Unit", "Alpha Core Services"}));

    FragmentList lower{{"core services"}, {}};
    EXPECT_FALSE(Passes("2.5.4.3=Q, 2.5.4.11=Alpha Core Services", lower));
    EXPECT_EQ(lower.offered, (std::vector<std::string>{"Alpha Core Services"}));
}

TEST(OrganisationalUnitRuleTest, UnmatchedUnitsPassOnlyWithABuiltInFragmentAnywhere) {
    FragmentList none;
    EXPECT_FALSE(Passes("2.5.4.11=Beta Unit, 2.5.4.3=Quellon", none));
    EXPECT_TRUE(Passes("2.5.4.11=Beta Unit, 2.5.4.10=Durvix Enterprise", none));
    EXPECT_TRUE(Passes("2.5.4.11=Digital ID Class 3 - Microsoft", none));
    EXPECT_FALSE(Passes("2.5.4.11=digital id class 3", none));
    EXPECT_FALSE(PassesOrganisationalUnitRule("2.5.4.11=Beta", nullptr));
}

TEST(OrganisationalUnitRuleTest, UnitAtTheEndOrWithoutValueIsHandled) {
    FragmentList list{{"Core"}, {}};
    EXPECT_FALSE(Passes("2.5.4.3=Q, 2.5.4.11", list));
    EXPECT_EQ(list.offered, (std::vector<std::string>{""}));
    list.offered.clear();
    EXPECT_TRUE(Passes("2.5.4.3=Q, 2.5.4.11=Core", list));
    EXPECT_EQ(list.offered, (std::vector<std::string>{"Core"}));
    list.offered.clear();
    EXPECT_TRUE(Passes("2.5.4.3=Q, 2.5.4.11Core", list));  // the '=' is optional
    EXPECT_EQ(list.offered, (std::vector<std::string>{"Core"}));
}

TEST(OrganisationalUnitRuleTest, ThousandsOfUnitsAreAllOffered) {
    std::string subject = "2.5.4.3=Quellon";
    for (int i = 0; i < 2000; ++i) subject += ", 2.5.4.11=Filler " + std::to_string(i);
    subject += ", 2.5.4.11=Alpha Core Services";
    FragmentList list{{"Core Services"}, {}};
    EXPECT_TRUE(Passes(subject, list));
    EXPECT_EQ(list.offered.size(), 2001u);
}

TEST(BuiltInNamesTest, ComparedByteForByte) {
    EXPECT_TRUE(IsBuiltInSignerName("Quellon, Inc."));
    EXPECT_TRUE(IsBuiltInSignerName("Vorland Corporation"));
    EXPECT_FALSE(IsBuiltInSignerName("quellon, inc."));
    EXPECT_FALSE(IsBuiltInSignerName("Quellon, Inc"));
    EXPECT_FALSE(IsBuiltInSignerName(""));

    EXPECT_TRUE(IsBuiltInRootName("VeriSign Class 3 Public Primary CA"));
    EXPECT_TRUE(IsBuiltInRootName("The USERTrust Network\x99"));
    EXPECT_TRUE(IsBuiltInRootName("COMODO SECURE\x99"));
    EXPECT_FALSE(IsBuiltInRootName("The USERTrust Network"));
    EXPECT_FALSE(IsBuiltInRootName("The USERTrust Network\xE2\x84\xA2"));  // the sign in UTF-8
    EXPECT_FALSE(IsBuiltInRootName("VERISIGN CLASS 3 PUBLIC PRIMARY CA"));
}

}  // namespace
}  // namespace tessary
