#include "platform/strings.h"

#include <gtest/gtest.h>

namespace tessary {
namespace {

TEST(AsciiCase, MapsOnlyAsciiLetters) {
    EXPECT_EQ(AsciiUpper("azZ09[class]{`=\xe9"), "AZZ09[CLASS]{`=\xe9");
    EXPECT_EQ(AsciiLower("AbCZz[@\xc9"), "abczz[@\xc9");
    EXPECT_TRUE(AsciiEqualsIgnoreCase("[Class]=", "[CLASS]="));
    EXPECT_FALSE(AsciiEqualsIgnoreCase("[Class]", "[Class]="));
}

TEST(AsciiCase, FindIgnoresCaseAndHandlesShortHaystacks) {
    EXPECT_EQ(AsciiFindIgnoreCase("xx[class]=GO", "[Class]="), 2u);
    EXPECT_EQ(AsciiFindIgnoreCase("xx[class]=", "[Class]="), 2u);
    EXPECT_EQ(AsciiFindIgnoreCase("[class]=", "[Class]="), 0u);
    EXPECT_EQ(AsciiFindIgnoreCase("[Cla", "[Class]="), std::string_view::npos);
    EXPECT_EQ(AsciiFindIgnoreCase("", "a"), std::string_view::npos);
    EXPECT_EQ(AsciiFindIgnoreCase("abc", ""), 0u);
}

TEST(CopyTruncated, CutsToCapacityAndZeroFillsTail) {
    wchar_t buf[5];
    std::fill(std::begin(buf), std::end(buf), L'#');
    EXPECT_EQ(CopyTruncated(buf, 5, L"abcdefgh"), 4u);
    EXPECT_EQ(std::wstring(buf), L"abcd");

    std::fill(std::begin(buf), std::end(buf), L'#');
    EXPECT_EQ(CopyTruncated(buf, 5, L"ab"), 2u);
    for (int i = 2; i < 5; ++i) EXPECT_EQ(buf[i], L'\0');

    char one[1] = {'#'};
    EXPECT_EQ(CopyTruncated(one, 1, "xyz"), 0u);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(CopyTruncated(static_cast<char*>(nullptr), 4, "xyz"), 0u);
}

}  // namespace
}  // namespace tessary
