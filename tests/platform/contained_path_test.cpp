#include "platform/contained_path.h"

#include <gtest/gtest.h>

#include <string>

namespace tessary {
namespace {

struct PathCase {
    std::string name;
    PathVerdict verdict;
};

// Every name is checked in both widths: a narrow name of ASCII characters reads
// the same as UTF-16.
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

TEST(ContainedPathTest, EachNameGetsItsVerdictInBothWidths) {
    using V = PathVerdict;
    const PathCase cases[] = {
        {"x.xdb", V::kContained},
        {"data/x.xdb", V::kContained},
        {"data\\summary\\x.xdb", V::kContained},
        {"a..b.txt", V::kContained},
        {".hidden", V::kContained},
        {"x\\.\\y", V::kContained},
        {"a//b", V::kContained},
        {"console.txt", V::kContained},
        {"com10", V::kContained},
        {"lpt", V::kContained},
        {"nullable.xdb", V::kContained},
        {"xcon", V::kContained},
        {std::string(259, 'a'), V::kContained},
        {"", V::kEmpty},
        {"dir\\", V::kEmpty},
        {"dir/", V::kEmpty},
        {".", V::kEmpty},
        {"a\\. ", V::kEmpty},
        {std::string(260, 'a'), V::kTooLong},
        {"\\x", V::kRooted},
        {"/x", V::kRooted},
        {"\\\\server\\share\\x", V::kRooted},
        {"//server/share/x", V::kRooted},
        {"\\\\?\\C:\\x", V::kRooted},
        {"\\\\.\\COM1", V::kRooted},
        {"C:\\x", V::kColon},
        {"c:x", V::kColon},
        {"C:/x", V::kColon},
        {"x.xdb:stream", V::kColon},
        {"x.xdb::$DATA", V::kColon},
        {"a\tb", V::kBadCharacter},
        {std::string("a\0b", 3), V::kBadCharacter},
        {"a*b", V::kBadCharacter},
        {"a?b", V::kBadCharacter},
        {"a|b", V::kBadCharacter},
        {"a<b>", V::kBadCharacter},
        {"a\"b", V::kBadCharacter},
        {"..", V::kTraversal},
        {"..\\x", V::kTraversal},
        {"../x", V::kTraversal},
        {"a\\..\\..\\b", V::kTraversal},
        {"a/../b", V::kTraversal},
        {"sub\\..", V::kTraversal},
        {"...\\a", V::kTraversal},
        {".. \\a", V::kTraversal},
        {"a/. ./b", V::kTraversal},
        {"sub\\.. . ", V::kTraversal},
        {"CON", V::kDeviceName},
        {"nul", V::kDeviceName},
        {"Aux.xdb", V::kDeviceName},
        {"PRN.", V::kDeviceName},
        {"nul ", V::kDeviceName},
        {"CON .txt", V::kDeviceName},
        {" con", V::kDeviceName},
        {"com1", V::kDeviceName},
        {"COM9.cab", V::kDeviceName},
        {"lpt1.x.y", V::kDeviceName},
        {"LPT0", V::kDeviceName},
        {"conin$", V::kDeviceName},
        {"CONOUT$.log", V::kDeviceName},
        {"clock$", V::kDeviceName},
        {"data\\summary\\nul.xdb", V::kDeviceName},
        {"data/AUX/x.xdb", V::kDeviceName},
        {"com\xb9", V::kDeviceName},
        {"lpt\xc2\xb2.txt", V::kDeviceName},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(CheckContainedPath(c.name), c.verdict) << c.name;
        EXPECT_EQ(IsContainedPath(c.name), c.verdict == V::kContained) << c.name;
        if (c.name.find('\xb9') == std::string::npos && c.name.find('\xc2') == std::string::npos) {
            EXPECT_EQ(CheckContainedPath(Widen(c.name)), c.verdict) << c.name;
        }
    }
    EXPECT_EQ(CheckContainedPath(std::wstring(L"COM\u00b3")), V::kDeviceName);
    EXPECT_EQ(CheckContainedPath(std::wstring(L"\u00e9t\u00e9.xdb")), V::kContained);
    EXPECT_EQ(CheckContainedPath(std::string("\xc3\xa9t\xc3\xa9.xdb")), V::kContained) << "UTF-8 is plain text";
}

TEST(ContainedPathTest, FileNamesHaveNoSeparatorAndFullPathsAContainedRest) {
    EXPECT_TRUE(IsContainedFileName("x.cab"));
    EXPECT_TRUE(IsContainedFileName(std::wstring(L"x.cab")));
    for (const char* bad : {"a\\x.cab", "a/x.cab", "NUL.cab", "..", "x.cab:s", ""}) {
        EXPECT_FALSE(IsContainedFileName(bad)) << bad;
        EXPECT_FALSE(IsContainedFileName(Widen(bad))) << bad;
    }

    for (const wchar_t* good : {L"C:\\ProgramData\\Quellon\\Other\\update.xdb", L"c:/data/update.xdb",
                                L"\\\\server\\share\\update.xdb", L"//server/share/dir/update.xdb"}) {
        EXPECT_TRUE(IsContainedFullPath(good)) << good;
    }
    for (const wchar_t* bad : {L"", L"update.xdb", L"data\\update.xdb", L"C:update.xdb", L"C:\\", L"C:\\dir\\",
                               L"\\update.xdb", L"C:\\a\\..\\b.xdb", L"C:\\a\\b.xdb:stream", L"C:\\NUL",
                               L"C:\\data\\com1.xdb", L"C:\\a*.xdb", L"\\\\?\\C:\\a.xdb", L"\\\\.\\COM1",
                               L"\\\\server\\share", L"\\\\server\\share\\", L"\\\\server\\\\x.xdb", L"1:\\a.xdb"}) {
        EXPECT_FALSE(IsContainedFullPath(bad)) << bad;
    }
    EXPECT_TRUE(IsContainedFullPath(L"C:\\" + std::wstring(256, L'a')));
    EXPECT_FALSE(IsContainedFullPath(L"C:\\" + std::wstring(257, L'a')));
}

TEST(ContainedPathTest, LastSeparatorIsEitherKind) {
    EXPECT_EQ(LastPathSeparator("C:/dir/db.xdb"), 6u);
    EXPECT_EQ(LastPathSeparator(std::wstring(L"a\\b/c\\d")), 5u);
    EXPECT_EQ(LastPathSeparator("plain"), std::string::npos);
}

}  // namespace
}  // namespace tessary
