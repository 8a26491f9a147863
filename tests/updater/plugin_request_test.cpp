// The text side of the plug-in exchange: the request naming the plug-in's
// database, the in-place rewrite of a file line's url extension, and the test
// for a full database.

#include <gtest/gtest.h>

#include <string>

#include "updater/plugin_request.h"

namespace tessary {
namespace {

TEST(PluginRequestTest, RequestEndsWithVersionAndIdentifier) {
    EXPECT_EQ(PluginRequest("http://h/data/manifest/?[guid]=g||[tsid]=t||[lang]=en||[build]=18900", "0", "AVDB"),
              "http://h/data/manifest/?[guid]=g||[tsid]=t||[lang]=en||[build]=18900||[appdb]=0||[AVDB]");
    EXPECT_EQ(PluginRequest("", "", ""), "||[appdb]=||[]");
}

TEST(PluginRequestTest, ExtensionIsTakenFromTheLastSegmentOnly) {
    EXPECT_EQ(PathExtension("http://h/dir/file.cab"), ".cab");
    EXPECT_EQ(PathExtension("C:\\dir.d\\file.XDB"), ".XDB");
    EXPECT_EQ(PathExtension("http://h/dir.v2/file"), "");
    EXPECT_EQ(PathExtension("C:\\dir\\archive.tar.gz"), ".gz");
    EXPECT_EQ(PathExtension("name. with space"), "");
    EXPECT_EQ(PathExtension(""), "");
    EXPECT_EQ(PathExtension(".cab"), ".cab");
    EXPECT_EQ(PathExtension(std::string_view("name.cab.", 8)), ".cab") << "nothing past the view is read";
}

TEST(PluginRequestTest, FileLineUrlTakesTheDownloadExtensionWhenTheLengthStays) {
    std::string response = "TSID=x\r\nFILE=http://h/db/update.cab||\r\nHFILE=http://h/p.htm||\r\n";
    EXPECT_TRUE(RewriteFileUrlExtension(&response, ".xdb"));
    EXPECT_EQ(response, "TSID=x\r\nFILE=http://h/db/update.xdb||\r\nHFILE=http://h/p.htm||\r\n");

    // Same extension in another case, or no difference at all: left alone.
    // Case is ignored for ASCII letters only, from the first character on.
    const struct {
        const char* from;
        const char* to;
        bool rewritten;
    } pairs[] = {
        {".AZ", ".az", false}, {".az", ".AZ", false}, {".[", ".{", true}, {".{", ".[", true}, {".cab", "_cab", true},
    };
    for (const auto& p : pairs) {
        std::string text = std::string("FILE=http://h/db/update") + p.from + "||\r\n";
        EXPECT_EQ(RewriteFileUrlExtension(&text, p.to), p.rewritten) << p.from << " " << p.to;
        EXPECT_EQ(text, std::string("FILE=http://h/db/update") + (p.rewritten ? p.to : p.from) + "||\r\n");
    }
    std::string same = "FILE=http://h/db/update.XDB||\r\n";
    EXPECT_FALSE(RewriteFileUrlExtension(&same, ".xdb"));
    EXPECT_EQ(same, "FILE=http://h/db/update.XDB||\r\n");

    // A change of length would move the rest of the line.
    for (const char* extension : {".db", ".data", ""}) {
        std::string text = "FILE=http://h/db/update.cab||\r\n";
        EXPECT_FALSE(RewriteFileUrlExtension(&text, extension)) << extension;
        EXPECT_EQ(text, "FILE=http://h/db/update.cab||\r\n");
    }
    std::string bare = "FILE=http://h/db/update||\r\n";
    EXPECT_FALSE(RewriteFileUrlExtension(&bare, ".xdb"));
    // An extension-like directory is never taken for the file's.
    std::string directory = "FILE=http://h/a.b/f||\r\n";
    EXPECT_FALSE(RewriteFileUrlExtension(&directory, ".x"));
    EXPECT_EQ(directory, "FILE=http://h/a.b/f||\r\n");
}

TEST(PluginRequestTest, OnlyTheFirstFileLineInItsExactFormIsRewritten) {
    // The first "FILE=" decides, even inside "HFILE=".
    std::string page = "HFILE=http://h/p.cab||\r\nFILE=http://h/db.cab||\r\n";
    EXPECT_TRUE(RewriteFileUrlExtension(&page, ".xdb"));
    EXPECT_EQ(page, "HFILE=http://h/p.xdb||\r\nFILE=http://h/db.cab||\r\n");

    for (std::string text : {
             std::string("FILE=http://h/db.cab||path||ffffffff\r\n"),  // not "||" and CR LF after the url
             std::string("FILE=http://h/db.cab||"),                    // ends before the line break
             std::string("FILE=||\r\n"),                               // no url
             std::string("FILE=http://h/db.cab|\r\n"),                 // one bar
             std::string("no file line at all\r\n"),
             std::string("HFIL=http://h/db.cab||\r\n"),                 // no "FILE=" at all
             "FILE=http://h/" + std::string(2083, 'u') + ".cab||\r\n",  // 2096 characters
         }) {
        const std::string before = text;
        EXPECT_FALSE(RewriteFileUrlExtension(&text, ".xdb")) << before.substr(0, 60);
        EXPECT_EQ(text, before);
    }
    std::string longest = "FILE=http://h/" + std::string(2082, 'u') + ".cab||\r\n";
    EXPECT_TRUE(RewriteFileUrlExtension(&longest, ".xdb")) << "2095 characters still count";
    EXPECT_EQ(longest.substr(longest.size() - 8), ".xdb||\r\n");
    EXPECT_FALSE(RewriteFileUrlExtension(nullptr, ".xdb"));
}

TEST(PluginRequestTest, FullDatabaseIsNamedByItsZeroSuffix) {
    EXPECT_TRUE(GetIsFullCacheFileDB("FILE=http://h/av_0.xdb||\r\n"));
    EXPECT_TRUE(GetIsFullCacheFileDB("FILE=http://h/av_0.cab||\r\n"));
    EXPECT_FALSE(GetIsFullCacheFileDB("FILE=http://h/av_1.xdb||\r\n"));
    EXPECT_FALSE(GetIsFullCacheFileDB(""));
}

}  // namespace
}  // namespace tessary
