#include "platform/text.h"

#include <gtest/gtest.h>

namespace tessary {
namespace {

TEST(TextConversion, RoundTripsThroughThreadCodePage) {
    EXPECT_EQ(WideToNarrow(L"C:\\Tools\\app.exe"), "C:\\Tools\\app.exe");
    EXPECT_EQ(NarrowToWide("Quellon"), L"Quellon");
    EXPECT_EQ(WideToNarrow(L""), "");
    EXPECT_EQ(NarrowToWide(""), L"");
}

TEST(TextConversion, Utf8HandlesNonAscii) {
    const std::wstring wide = L"Gr\u00fc\u00dfe \u20ac";
    EXPECT_EQ(WideToUtf8(wide),
              "Gr\xc3\xbc\xc3\x9f"
              "e \xe2\x82\xac");
    EXPECT_EQ(Utf8ToWide(WideToUtf8(wide)), wide);
}

TEST(TextConversion, EmbeddedZerosAreKept) {
    std::wstring wide(L"a\0b", 3);
    EXPECT_EQ(WideToNarrow(wide).size(), 3u);
}

}  // namespace
}  // namespace tessary
