#include "store/answer.h"

#include <gtest/gtest.h>

#include <string>

namespace tessary {
namespace {

AppRecord Sentinel() {
    AppRecord r;
    r.className = "OLD";
    r.applicationName = "old app";
    r.exeName = "old.exe";
    r.description = "old desc";
    r.md5 = "0123";
    r.company = "Maker";
    return r;
}

TEST(ParseAnswer, LiveAnswerSetsFieldsAndIgnoresEndMarker) {
    AppRecord r = Sentinel();
    ASSERT_TRUE(ParseAnswer(r, "[Class]=GO||[AppName]=Tool||[end]=true", true));
    EXPECT_EQ(r.className, "GO");
    EXPECT_EQ(r.applicationName, "Tool");
    EXPECT_EQ(r.exeName, "old.exe");
    EXPECT_EQ(r.company, "Maker");
}

TEST(ParseAnswer, ClassIsUpperCasedAndCutAtFirstBlank) {
    AppRecord r = Sentinel();
    ASSERT_TRUE(ParseAnswer(r, "[Class]=g o||[Desc]=two words||[end]=true", true));
    EXPECT_EQ(r.className, "G");
    EXPECT_EQ(r.description, "two");
}

TEST(ParseAnswer, EndMarkerRequiredOnlyForLiveAnswers) {
    const std::string stored = "[Class]=SA||[Desc]=Editor";
    AppRecord live = Sentinel();
    EXPECT_FALSE(ParseAnswer(live, stored, true));
    EXPECT_EQ(live.className, "OLD");
    EXPECT_EQ(live.description, "old desc");

    AppRecord fromStore = Sentinel();
    EXPECT_TRUE(ParseAnswer(fromStore, stored, false));
    EXPECT_EQ(fromStore.className, "SA");
    EXPECT_EQ(fromStore.description, "Editor");
}

TEST(ParseAnswer, MissingClassIsRefusedEitherWayAndChangesNothing) {
    for (bool requireEnd : {true, false}) {
        AppRecord r = Sentinel();
        EXPECT_FALSE(ParseAnswer(r, "[AppName]=X||[end]=true", requireEnd));
        EXPECT_EQ(r.applicationName, "old app");
    }
    // The markers are case-sensitive even though the keys are not.
    AppRecord r = Sentinel();
    EXPECT_FALSE(ParseAnswer(r, "[CLASS]=GO||[end]=true", true));
    EXPECT_FALSE(ParseAnswer(r, "[Class]=GO||[END]=true", true));
    EXPECT_EQ(r.className, "OLD");
}

TEST(ParseAnswer, KeysMatchWithoutCaseAnywhereInTheField) {
    AppRecord r = Sentinel();
    ASSERT_TRUE(ParseAnswer(r, "[Class]=T+M+^|[exe]=Tool.exe|[md5]=ABCDEF||[appname]=Name|[end]=true", true));
    EXPECT_EQ(r.className, "T+M+^");
    EXPECT_EQ(r.exeName, "Tool.exe");
    EXPECT_EQ(r.md5, "ABCDEF");
    EXPECT_EQ(r.applicationName, "Name");

    // A key found later in the field still strips only the field's first
    // key-length characters.
    AppRecord shifted = Sentinel();
    ASSERT_TRUE(ParseAnswer(shifted, "[Class]=GO||xx[EXE]=a.exe", false));
    EXPECT_EQ(shifted.exeName, "]=a.exe");

    // The first key of the table that a field holds takes the field; later keys
    // inside the same field set nothing.
    AppRecord nested = Sentinel();
    ASSERT_TRUE(ParseAnswer(nested, "[Class]=GO||[Desc]=[MD5]=x||[AppName]=[EXE]=y", false));
    EXPECT_EQ(nested.description, "[MD5]=x");
    EXPECT_EQ(nested.md5, "0123");
    EXPECT_EQ(nested.applicationName, "[EXE]=y");
    EXPECT_EQ(nested.exeName, "old.exe");
}

TEST(ParseAnswer, LaterFieldsReplaceEarlierOnesAndEmptyValuesCount) {
    AppRecord r = Sentinel();
    ASSERT_TRUE(ParseAnswer(r, "[Class]=GO||[Class]=?||[AppName]=||[end]=true", true));
    EXPECT_EQ(r.className, "?");
    EXPECT_EQ(r.applicationName, "");
}

TEST(ParseAnswer, HostileTextsAreHandled) {
    AppRecord r = Sentinel();
    std::string manyBars(5000, '|');
    EXPECT_TRUE(ParseAnswer(r, manyBars + "[Class]=GO" + manyBars + "[end]=true" + manyBars, true));
    EXPECT_EQ(r.className, "GO");

    AppRecord junk = Sentinel();
    const char binaryText[] = "[Class]=\xff\xfe\x01||no equals here||[AppName]\x80=||=||[end]=true";
    const std::string binary(binaryText, sizeof(binaryText) - 1);
    EXPECT_TRUE(ParseAnswer(junk, binary, true));
    EXPECT_EQ(junk.className, "\xff\xfe\x01");
    EXPECT_EQ(junk.applicationName, "old app");

    const char zeroText[] = "[Class]=A\0B||[end]=true";
    std::string withZero(zeroText, sizeof(zeroText) - 1);
    AppRecord z = Sentinel();
    EXPECT_TRUE(ParseAnswer(z, withZero, true));
    EXPECT_EQ(z.className, std::string("A\0B", 3));

    AppRecord empty = Sentinel();
    EXPECT_FALSE(ParseAnswer(empty, "", false));
    EXPECT_TRUE(ParseAnswer(empty, "[Class]", false));
    EXPECT_EQ(empty.className, "OLD");
}

}  // namespace
}  // namespace tessary
