// Reading a command file and its file entries, without acting on them.

#include "updater/command_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessary {
namespace {

using namespace std::string_literals;

struct Action {
    CommandKeyword keyword;
    std::string value;
    bool operator==(const Action&) const = default;
};

std::vector<Action> Actions(std::string_view text) {
    std::vector<Action> out;
    for (const CommandAction& action : CommandFileActions(text))
        out.push_back({action.keyword, std::string(action.value)});
    return out;
}

TEST(CommandFileActionsTest, LinesGiveTheirActionsInOrderWithFileValuesRunningToTheEnd) {
    const std::string text = "TSID=00010002000300a4\r\nFILE=u||p\r\nHFILE=h||q\r\n";
    EXPECT_EQ(Actions(text), (std::vector<Action>{{CommandKeyword::kTsid, "00010002000300a4"},
                                                  {CommandKeyword::kFile, "u||p\r\nHFILE=h||q\r\n"},
                                                  {CommandKeyword::kHFile, "h||q\r\n"}}));
    // The views point into the text itself.
    const auto actions = CommandFileActions(text);
    ASSERT_EQ(actions.size(), 3u);
    EXPECT_EQ(actions[1].value.data(), text.data() + text.find("u||p"));
}

TEST(CommandFileActionsTest, AKeyMatchesTheFirstKeywordItBeginsInTheFixedOrder) {
    EXPECT_EQ(Actions("=0001000200030004\r\n").size(), 1u) << "an empty key begins TSID";
    EXPECT_EQ(Actions("T=0001000200030004\r\n")[0].keyword, CommandKeyword::kTsid);
    EXPECT_EQ(Actions("F=v")[0].keyword, CommandKeyword::kFile);
    EXPECT_EQ(Actions("FIL=v")[0].keyword, CommandKeyword::kFile);
    EXPECT_EQ(Actions("H=v")[0].keyword, CommandKeyword::kHFile);
    for (const char* other : {"FILES=v\r\n", "file=v\r\n", "TSIDX=0001000200030004\r\n", "X=v\r\n", " FILE=v\r\n"}) {
        EXPECT_TRUE(Actions(other).empty()) << other;
    }
}

TEST(CommandFileActionsTest, TsidValuesMustHaveSixteenCharactersBeforeTheLineEnd) {
    EXPECT_TRUE(Actions("TSID=000100020003004\r\n").empty());
    EXPECT_TRUE(Actions("TSID=00010002000300a4b\r\n").empty());
    EXPECT_TRUE(Actions("TSID=00010002000300a4").empty()) << "no line end: the length is unknown";
    EXPECT_EQ(Actions("TSID=0001000200030004\r\nTSID=00050006000700a8\r\n").size(), 2u);
}

TEST(CommandFileActionsTest, TheWalkStopsAtALineWithoutEqualsOrLineEnd) {
    EXPECT_TRUE(Actions("").empty());
    EXPECT_TRUE(Actions("no equals at all\r\nFILE").empty());
    // A line without "=" makes the key run on into the next line, which then matches nothing.
    EXPECT_EQ(Actions("junk\r\nFILE=a||b\r\nFILE=c||d\r\n"),
              (std::vector<Action>{{CommandKeyword::kFile, "c||d\r\n"}}));
    // The last line is read even without its line end; nothing after it is.
    EXPECT_EQ(Actions("FILE=a||b"), (std::vector<Action>{{CommandKeyword::kFile, "a||b"}}));
    EXPECT_EQ(Actions("FILE=aH=b").size(), 1u);
    EXPECT_EQ(Actions("X=1\nFILE=a\r\n").size(), 0u) << "a bare LF does not end a line";
}

TEST(CommandFileActionsTest, NulBytesAreOrdinaryCharacters) {
    const std::string text = "X=\0\r\nFILE=a\0b||c\r\n"s;
    EXPECT_EQ(Actions(text), (std::vector<Action>{{CommandKeyword::kFile, "a\0b||c\r\n"s}}));
}

TEST(FileEntryTest, SplitsUrlPathAndAge) {
    auto entry = SplitFileEntry("http://h/x.xdb||data/x.xdb||0000003c\r\nnext");
    ASSERT_TRUE(entry.has_value());
    EXPECT_EQ(entry->url, "http://h/x.xdb");
    EXPECT_EQ(entry->path, "data/x.xdb");
    EXPECT_EQ(entry->minimumAgeMinutes, 60u);

    EXPECT_EQ(SplitFileEntry("u||p||ffffffff\r\n")->minimumAgeMinutes, std::nullopt);
    EXPECT_EQ(SplitFileEntry("u||p||FFFFFFFE\r\n")->minimumAgeMinutes, 0xfffffffeu) << "upper case is lowered";
    EXPECT_EQ(SplitFileEntry("u||p||3c")->minimumAgeMinutes, 60u) << "shorter only at the end of the text";
    EXPECT_EQ(SplitFileEntry("u||p||0000003c\r\n")->minimumAgeMinutes, 60u);
    EXPECT_EQ(SplitFileEntry("u||p||000g003c\r\n")->minimumAgeMinutes, std::nullopt);
    EXPECT_EQ(SplitFileEntry("u||p||")->minimumAgeMinutes, std::nullopt);
    EXPECT_EQ(SplitFileEntry("u||p")->path, "p");
    EXPECT_EQ(SplitFileEntry("u||p09")->minimumAgeMinutes, std::nullopt) << "no age without a second separator";
    EXPECT_EQ(SplitFileEntry("u||p||00000009")->minimumAgeMinutes, 9u);
    EXPECT_EQ(SplitFileEntry("u||p||0000000:")->minimumAgeMinutes, std::nullopt);
    // A path ended by CR LF takes its age from the next line.
    auto crlf = SplitFileEntry("u||p\r\n0000000aFILE=...");
    EXPECT_EQ(crlf->path, "p");
    EXPECT_EQ(crlf->minimumAgeMinutes, 10u);
    EXPECT_EQ(SplitFileEntry("u||p\r\nFILE=abc")->minimumAgeMinutes, std::nullopt);
}

TEST(FileEntryTest, RefusesEntriesWithoutUrlOrWithAnOverlongOne) {
    EXPECT_FALSE(SplitFileEntry("no separator").has_value());
    EXPECT_FALSE(SplitFileEntry("http://h/x.xdb\r\nFILE=a||b||c").has_value()) << "|| of a later line";
    EXPECT_TRUE(SplitFileEntry(std::string(8191, 'u') + "||p||ffffffff").has_value());
    EXPECT_FALSE(SplitFileEntry(std::string(8192, 'u') + "||p||ffffffff").has_value());
}

TEST(FileEntryAgeTest, TheAgeIsReadFromAtMostEightCharacters) {
    EXPECT_EQ(SplitFileEntry("u||p||000000010")->minimumAgeMinutes, 1u);
    EXPECT_EQ(SplitFileEntry("u||p||FFFFFFFF0")->minimumAgeMinutes, std::nullopt) << "all f within the eight";
    EXPECT_EQ(SplitFileEntry("u||p||7fffffff\r\n")->minimumAgeMinutes, 0x7fffffffu);
}

TEST(EntryUrlTest, PlaceholdersAreFilledWithSeparatorsOnlyAfterAnEarlierOne) {
    int tsidCalls = 0;
    auto tsid = [&tsidCalls] {
        ++tsidCalls;
        return std::string("0001000200030004");
    };
    EXPECT_EQ(FillEntryUrl("http://h/x?[guid][tsid][lang]", "g", tsid, "en"),
              "http://h/x?[guid]=g||[tsid]=0001000200030004||[lang]=en");
    EXPECT_EQ(FillEntryUrl("x?[tsid]&[lang]", "g", tsid, "en"), "x?[tsid]=0001000200030004&||[lang]=en");
    EXPECT_EQ(FillEntryUrl("x?[lang]", "g", tsid, "en"), "x?[lang]=en");
    EXPECT_EQ(tsidCalls, 2) << "the identifier is read only for urls that carry it";
    EXPECT_EQ(FillEntryUrl("x?[guid][guid]", "g", tsid, "en"), "x?[guid]=g[guid]") << "first occurrence only";
    EXPECT_EQ(FillEntryUrl("x?[GUID]", "g", tsid, "en"), "x?[GUID]") << "placeholders are case-sensitive";
}

TEST(EntryUrlTest, ControlCharactersMakeAUrlUnsendable) {
    EXPECT_TRUE(IsSendableEntryUrl("http://h/x.xdb?a=\x7f\xe9"));
    EXPECT_TRUE(IsSendableEntryUrl(""));
    EXPECT_FALSE(IsSendableEntryUrl("http://h/x\t.xdb"));
    EXPECT_FALSE(IsSendableEntryUrl("http://h/x\0.xdb"s));
    EXPECT_FALSE(IsSendableEntryUrl("http://h/x\r\n"));
    EXPECT_FALSE(IsSendableEntryUrl("http://h/x\x1f"));
    EXPECT_TRUE(IsSendableEntryUrl("http://h/x y"));
}

TEST(EntryPathTest, SummaryPathsNameALowerCasedFileBelowTheDataDirectory) {
    EXPECT_EQ(SummaryFileName("Data/Summary/Report.HTM"), "report.htm");
    EXPECT_EQ(SummaryFileName("web/data/summary/sub/a.htm"), "sub/a.htm");
    EXPECT_EQ(SummaryFileName("data\\summary\\a.htm"), std::nullopt) << "only forward slashes mark it";
    EXPECT_EQ(SummaryFileName("data/summaryx.htm"), std::nullopt);
}

TEST(EntryPathTest, OnlyContainedPathsGetADestination) {
    const struct {
        const char* path;
        EntryBase base;
        const char* relative;
    } good[] = {
        {"x.xdb", EntryBase::kProgramDirectory, "x.xdb"},
        {"data/x.xdb", EntryBase::kProgramDirectory, "data/x.xdb"},
        {"data\\summary\\x.xdb", EntryBase::kProgramDirectory, "data\\summary\\x.xdb"},
        {"Data/Summary/X.xdb", EntryBase::kCommonData, "x.xdb"},
        {"data/summary/sub/x.xdb", EntryBase::kCommonData, "sub/x.xdb"},
    };
    for (const auto& c : good) {
        const auto destination = EntryDestinationOf(c.path);
        ASSERT_TRUE(destination.has_value()) << c.path;
        EXPECT_EQ(destination->base, c.base) << c.path;
        EXPECT_EQ(destination->relative, c.relative) << c.path;
    }
    for (const char* bad :
         {"", "../x", "a/..b", "C:\\x", "c:x", "\\x", "/x", "\\\\srv\\share\\x", "x.xdb:ads", "a\tb", "NUL", "com1.xdb",
          "data/CON/x.xdb", "data/summary/", "data/summary/aux.xdb", "data/summary/ . ", "x.xdb/"}) {
        EXPECT_FALSE(EntryDestinationOf(bad).has_value()) << bad;
    }
    EXPECT_FALSE(EntryDestinationOf("a\0b"s).has_value());
    EXPECT_FALSE(EntryDestinationOf(std::string(260, 'a')).has_value());
}

}  // namespace
}  // namespace tessary
