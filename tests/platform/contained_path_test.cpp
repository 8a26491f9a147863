#include "platform/contained_path.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        {"pon.txt", V::kContained},
        {"comx.txt", V::kContained},
        {"com12", V::kContained},
        {"com\xb4", V::kContained},
        {"com\xc2\xa0", V::kContained},
        {std::string(259, 'a'), V::kContained},
        {"", V::kEmpty},
        {"dir\\", V::kEmpty},
        {"dir/", V::kEmpty},
        {"..\\", V::kEmpty},
        {"nul\\", V::kEmpty},
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
        {"a\x1f-b", V::kBadCharacter},
        {"a<b", V::kBadCharacter},
        {"a>b", V::kBadCharacter},
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
        {"aux", V::kDeviceName},
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
        {"com\xb2", V::kDeviceName},
        {"LPT\xb3.txt", V::kDeviceName},
        {"lpt\xc2\xb2.txt", V::kDeviceName},
        {"com\xc2\xb9", V::kDeviceName},
        {"lpt\xc2\xb3", V::kDeviceName},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(CheckContainedPath(c.name), c.verdict) << c.name;
        EXPECT_EQ(IsContainedPath(c.name), c.verdict == V::kContained) << c.name;
        if (std::none_of(c.name.begin(), c.name.end(), [](char ch) { return (ch & 0x80) != 0; })) {
            EXPECT_EQ(CheckContainedPath(Widen(c.name)), c.verdict) << c.name;
        }
    }
    for (const wchar_t* device : {L"COM\u00b3", L"com\u00b9", L"LPT\u00b2", L"com1", L"LPT9"}) {
        EXPECT_EQ(CheckContainedPath(device), V::kDeviceName);
    }
    for (const wchar_t* other : {L"COMx", L"COM\u00b1", L"COM\u00b4", L"com\u00b8", L"com\u00ba"}) {
        EXPECT_EQ(CheckContainedPath(other), V::kContained);
    }
    EXPECT_FALSE(IsDosDeviceElement("com:"));
    EXPECT_FALSE(IsDosDeviceElement(std::wstring(L"com:")));
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

    for (const wchar_t* good :
         {L"C:\\ProgramData\\Quellon\\Other\\update.xdb", L"c:/data/update.xdb", L"\\\\server\\share\\update.xdb",
          L"//server/share/dir/update.xdb", L"A:\\x", L"Z:\\x", L"a:\\x", L"z:\\x", L"C:\\a", L"\\\\s\\share\\a"}) {
        EXPECT_TRUE(IsContainedFullPath(good)) << good;
    }
    for (const wchar_t* bad : {L"",
                               L"update.xdb",
                               L"data\\update.xdb",
                               L"C:update.xdb",
                               L"C:\\",
                               L"C:\\dir\\",
                               L"\\update.xdb",
                               L"C:\\a\\..\\b.xdb",
                               L"C:\\a\\b.xdb:stream",
                               L"C:\\NUL",
                               L"C:\\data\\com1.xdb",
                               L"C:\\a*.xdb",
                               L"\\\\?\\C:\\a.xdb",
                               L"\\\\.\\COM1",
                               L"\\\\server\\share",
                               L"\\\\server\\share\\",
                               L"\\\\server\\\\x.xdb",
                               L"1:\\a.xdb",
                               L"@:\\x",
                               L"[:\\x",
                               L"`:\\x",
                               L"{:\\x",
                               L"\\",
                               L"x\\server\\share\\a",
                               L"\\xserver\\share\\a",
                               L"\\\\server\\share\\:x"}) {
        EXPECT_FALSE(IsContainedFullPath(bad)) << bad;
    }
    EXPECT_TRUE(IsContainedFullPath(L"C:\\" + std::wstring(256, L'a')));
    EXPECT_FALSE(IsContainedFullPath(L"C:\\" + std::wstring(257, L'a')));
    // A one-character view whose text goes on with a second separator.
    EXPECT_FALSE(IsContainedFullPath(std::wstring_view(L"\\\\server\\share\\a", 1)));
}

TEST(ContainedPathTest, LastSeparatorIsEitherKind) {
    EXPECT_EQ(LastPathSeparator("C:/dir/db.xdb"), 6u);
    EXPECT_EQ(LastPathSeparator(std::wstring(L"a\\b/c\\d")), 5u);
    EXPECT_EQ(LastPathSeparator("plain"), std::string::npos);
    EXPECT_EQ(LastPathSeparator("/x"), 0u);
}

}  // namespace
}  // namespace tessary
