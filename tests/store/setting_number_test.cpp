#include "store/setting_number.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace tessary {
namespace {

struct NumberCase {
    const char* text;
    int32_t value;
};

// Decimal text of the settings the service publishes.
TEST(SettingNumberTest, LeadingWhiteSpaceSignAndDigitsCountAndTheRestIsIgnored) {
    const NumberCase cases[] = {
        {"5000", 5000}, {"  -12abc", -12}, {"+7", 7},       {"12 34", 12}, {"abc", 0}, {"-", 0},     {"", 0},
        {"\t25", 25},   {"\n-3", -3},      {"\r\v\f 8", 8}, {"\t\n", 0},   {"- 5", 0}, {"\0165", 0}, {"19:", 19},
    };
    for (const NumberCase& c : cases) EXPECT_EQ(ParseSettingNumber(c.text), c.value) << '"' << c.text << '"';
    EXPECT_EQ(ParseSettingNumber(nullptr), 0);
}

TEST(SettingNumberTest, ValuesBeyondThe32BitRangeSaturate) {
    EXPECT_EQ(ParseSettingNumber("2147483647"), 2147483647);
    EXPECT_EQ(ParseSettingNumber("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseSettingNumber("99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(ParseSettingNumber("-99999999999999999999999"), INT32_MIN);
}

}  // namespace
}  // namespace tessary
