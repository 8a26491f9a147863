// The command-file interpreter and the download of one file entry, in process,
// against the service emulator. Targets are passed explicitly (as the updater
// plug-ins do), so downloads land in a throwaway directory.

#include "updater/go_online.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "store/named_objects.h"
#include "store/product_keys.h"
#include "tests/support/emulator_control.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/update_checker_process.h"
#include "transport/winhttp_api.h"
#include "updater/installation_id.h"

namespace tessary {
namespace {

using testing::EmulatorControl;
using testing::FileExists;
using testing::JsonString;
using testing::ReadBytes;
using testing::ScopedTempDir;
using testing::WriteFileBytes;

std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

class CommandFileTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CreateNamedObjects(Deliverable::kUpdateChecker);
        winhttp::Load();
    }
    static void TearDownTestSuite() { CloseNamedObjects(); }

    void SetUp() override {
        ASSERT_NE(emulator_.port(), 0);
        ASSERT_TRUE(emulator_.Reset());
        origin_ = WideToNarrow(emulator_.Origin());
        target_ = sandbox_.File(L"target.xdb");
    }

    void Serve(const std::string& path, const std::string& body, int status = 200) {
        ASSERT_TRUE(emulator_.Script("{\"match\": {\"path\": " + JsonString(path) + "}, \"status\": " +
                                     std::to_string(status) + ", \"body\": " + JsonString(body) + "}"));
    }
    bool Interpret(const std::string& text, const std::wstring* target) {
        return InterpretCommandFile(text.data(), text.size(), target);
    }
    std::vector<testing::RecordedRequest> Requests() const { return testing::ParseRequests(emulator_.Requests()); }

    EmulatorControl emulator_;
    ScopedTempDir sandbox_;
    std::string origin_;
    std::wstring target_;
};

TEST_F(CommandFileTest, TheLastFileLineDecidesTheResult) {
    Serve("/ok.txt", "content");
    Serve("/gone.txt", "missing", 404);
    const std::string ok = "FILE=" + origin_ + "/ok.txt||p||ffffffff\r\n";
    const std::string gone = "FILE=" + origin_ + "/gone.txt||p||ffffffff\r\n";
    EXPECT_FALSE(Interpret(ok + gone, &target_));
    EXPECT_TRUE(Interpret(gone + ok, &target_));
    EXPECT_EQ(ReadBytes(target_), "content");
    // HFILE results and other keys do not count; a key matches when it begins a keyword.
    EXPECT_FALSE(Interpret("HFILE=" + origin_ + "/ok.txt||p||ffffffff\r\nOTHER=x\r\n", &target_));
    EXPECT_TRUE(Interpret("FI=" + origin_ + "/ok.txt||p||ffffffff\r\n", &target_));
    EXPECT_FALSE(Interpret("FILES=" + origin_ + "/ok.txt||p||ffffffff\r\n", &target_));
    EXPECT_FALSE(Interpret("", &target_));
    EXPECT_FALSE(InterpretCommandFile(nullptr, 10, &target_));
}

TEST_F(CommandFileTest, FailedDownloadKeepsTheTarget) {
    ASSERT_TRUE(WriteFileBytes(target_, "previous"));
    Serve("/gone.xdb", "x", 500);
    Serve("/gone.cab", "x", 500);
    EXPECT_FALSE(Interpret("FILE=" + origin_ + "/gone.xdb||p||ffffffff\r\n", &target_));
    EXPECT_EQ(ReadBytes(target_), "previous");
}

TEST_F(CommandFileTest, PlaceholdersAreFilledWithTheIdentity) {
    Serve("/fill", "ok");
    EXPECT_TRUE(Interpret("FILE=" + origin_ + "/fill?[guid]&[tsid]&[lang]||p||ffffffff\r\n", &target_));
    EXPECT_TRUE(Interpret("FILE=" + origin_ + "/fill?x=[lang]||p||ffffffff\r\n", &target_));
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string tsid = ProcessInstallationId().Format();
    EXPECT_EQ(PercentDecoded(requests[0].query), "[guid]=" + ClientGuid() + "&||[tsid]=" + tsid + "&||[lang]=en");
    EXPECT_EQ(PercentDecoded(requests[1].query), "x=[lang]=en") << "no separator when nothing came before";
}

TEST_F(CommandFileTest, TargetPassedByTheCallerOnlyRefusesDotDot) {
    Serve("/ok.txt", "content");
    EXPECT_TRUE(Interpret("FILE=" + origin_ + "/ok.txt||C:\\anything\\x.xdb||ffffffff\r\n", &target_));
    EXPECT_FALSE(Interpret("FILE=" + origin_ + "/ok.txt||a\\..\\x.xdb||ffffffff\r\n", &target_));
    EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(CommandFileTest, OemTokenInTheWorkingDirectoryIsDeleted) {
    wchar_t previous[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(::SetCurrentDirectoryW(sandbox_.path().c_str()));
    ::CreateDirectoryW(L"data", nullptr);
    ASSERT_TRUE(WriteFileBytes(L"data\\oemtoken.xdb", "token"));
    EXPECT_FALSE(Interpret("", nullptr));
    EXPECT_FALSE(FileExists(L"data\\oemtoken.xdb"));
    ::SetCurrentDirectoryW(previous);
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

TEST(FileEntryTest, EntryPathsMustStayBelowTheirDirectory) {
    for (const char* good : {"x.xdb", "data/x.xdb", "data\\summary\\x.xdb", "data/summary/sub/x.xdb"}) {
        EXPECT_TRUE(IsContainedEntryPath(good)) << good;
    }
    for (const char* bad :
         {"", "../x", "a/..b", "C:\\x", "c:x", "\\x", "/x", "\\\\srv\\share\\x", "x.xdb:ads", "a\tb"}) {
        EXPECT_FALSE(IsContainedEntryPath(bad)) << bad;
    }
    EXPECT_FALSE(IsContainedEntryPath(std::string("a\0b", 3)));
}

TEST(RequestTest, BaseRequestIsCutAndTheFullRequestEndsWithTheFlag) {
    const std::string base = BaseRequest("http://h/data/manifest/?", "0001000200030004");
    EXPECT_EQ(base,
              "http://h/data/manifest/?[guid]=" + ClientGuid() + "||[tsid]=0001000200030004||[lang]=en||[build]=18900");
    EXPECT_EQ(BaseRequest(std::string(300, 'h'), "0").size(), kMaxBaseRequestChars);
    EXPECT_EQ(FullRequest("B", -5, 7, "00000000"), "B||[dtime]=-5||[events]=7||[appdb]=00000000||[VS]");
    EXPECT_EQ(ClientGuid().find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(ClientGuid().size(), 24u);
}

}  // namespace
}  // namespace tessary
