// The command-file interpreter and the download of one file entry, in process,
// against the service emulator. Targets are passed explicitly (as the updater
// plug-ins do), so downloads land in a throwaway directory.

#include "updater/go_online.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/owner_check.h"
#include "platform/registry.h"
#include "platform/unique_resource.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "tests/support/emulator_control.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/update_checker_process.h"
#include "tests/updater/updater_test_support.h"
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
        logFile_ = testing::StartFileLogger();
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
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& request : Requests()) paths.push_back(request.path);
        return paths;
    }
    // The names in the sandbox, folders included.
    std::vector<std::wstring> SandboxNames() const {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found{};
        UniqueFind find(::FindFirstFileW((sandbox_.path() + L"\\*").c_str(), &found));
        if (!find) return names;
        do {
            if (found.cFileName != std::wstring(L".") && found.cFileName != std::wstring(L"..")) {
                names.push_back(found.cFileName);
            }
        } while (::FindNextFileW(find.get(), &found));
        return names;
    }

    static std::wstring logFile_;
    EmulatorControl emulator_;
    ScopedTempDir sandbox_;
    std::string origin_;
    std::wstring target_;
};

std::wstring CommandFileTest::logFile_;

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

TEST_F(CommandFileTest, ATargetIsReplacedOnlyByACompleteNewFile) {
    // Every way the download can end short of a whole body: the old content stays
    // and no temporary file is left beside it.
    for (const char* rule : {R"("drop": "mid_body", "body": "new content cut short")",
                             R"("truncate": 5, "body": "new content cut short")", R"("status": 500, "body": "x")"}) {
        ASSERT_TRUE(emulator_.Reset());
        ASSERT_TRUE(WriteFileBytes(target_, "previous"));
        ASSERT_TRUE(emulator_.Script(std::string(R"({"match": {"path": "/file.txt"}, )") + rule + "}"));
        EXPECT_FALSE(Interpret("FILE=" + origin_ + "/file.txt||p||ffffffff\r\n", &target_)) << rule;
        EXPECT_EQ(ReadBytes(target_), "previous") << rule;
        EXPECT_EQ(SandboxNames(), std::vector<std::wstring>{L"target.xdb"}) << rule;
    }
    // A target that cannot be replaced (held open by a reader that does not share
    // deletion) keeps its content, and the complete download is thrown away.
    ASSERT_TRUE(emulator_.Reset());
    Serve("/file.txt", "new content");
    {
        UniqueFile reader(::CreateFileW(target_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        EXPECT_FALSE(Interpret("FILE=" + origin_ + "/file.txt||p||ffffffff\r\n", &target_));
    }
    EXPECT_EQ(ReadBytes(target_), "previous");
    EXPECT_EQ(SandboxNames(), std::vector<std::wstring>{L"target.xdb"});
    EXPECT_NE(testing::ReadLogText(logFile_).find(L"Failed to replace " + target_), std::wstring::npos);

    EXPECT_TRUE(Interpret("FILE=" + origin_ + "/file.txt||p||ffffffff\r\n", &target_));
    EXPECT_EQ(ReadBytes(target_), "new content");
    EXPECT_EQ(SandboxNames(), std::vector<std::wstring>{L"target.xdb"});
    EXPECT_NE(testing::ReadLogText(logFile_).find(L"11 bytes written to " + target_), std::wstring::npos);

    // A read-only target (a cabinet may deliver one) does not block later updates.
    ASSERT_TRUE(::SetFileAttributesW(target_.c_str(), FILE_ATTRIBUTE_READONLY));
    Serve("/newer.txt", "newer");
    EXPECT_TRUE(Interpret("FILE=" + origin_ + "/newer.txt||p||ffffffff\r\n", &target_));
    EXPECT_EQ(ReadBytes(target_), "newer");
    EXPECT_EQ(SandboxNames(), std::vector<std::wstring>{L"target.xdb"});
}

TEST_F(CommandFileTest, OneCommandFileRunsAtMostItsShareOfEntries) {
    Serve("/entry.txt", "x");
    const std::string entry = "FILE=" + origin_ + "/entry.txt||p||ffffffff\r\n";
    // Entries that stop before a download (a path with "..") do not count.
    std::string text;
    for (int i = 0; i < 6; ++i) text += "FILE=" + origin_ + "/entry.txt||../p||ffffffff\r\n";
    for (size_t i = 0; i < kMaxCommandFileEntries + 6; ++i) text += entry;
    // The last FILE line downloaded nothing, so the command file's result is false.
    EXPECT_FALSE(Interpret(text, &target_));
    EXPECT_EQ(Requests().size(), kMaxCommandFileEntries);
    EXPECT_NE(testing::ReadLogText(logFile_).find(L"The command file has used its entries"), std::wstring::npos);
    // The next command file has a budget of its own.
    EXPECT_TRUE(Interpret(entry, &target_));
    EXPECT_EQ(Requests().size(), kMaxCommandFileEntries + 1);
}

// The part of a path the owner seam reports as another account's file (none: null).
const wchar_t* g_foreignPart = nullptr;
std::optional<security::FileOwner> ForeignWhereMarked(const std::wstring& path) {
    if (g_foreignPart != nullptr && path.find(g_foreignPart) != std::wstring::npos)
        return security::FileOwner::kForeign;
    return std::nullopt;
}

TEST_F(CommandFileTest, CabinetsDeliverOnlyTheExpectedDatabaseAndOnlyWhenExtractionWorked) {
    ASSERT_TRUE(testing::SetTestRootTrusted(testing::Fixture(L"signing\\root.der"), true));
    const std::vector<std::string> cabinetRows = {"AAAA0000000000000000000000000001",
                                                  "AAAA0000000000000000000000000002"};
    const std::vector<std::string> plainRows = {"BBBB0000000000000000000000000001"};
    enum class Delivered { kCabinet, kPlain, kNothing };
    const struct {
        const char* folder;      // below /hostile/ on the emulator
        const wchar_t* foreign;  // what another account is made to own (the owner seam)
        Delivered delivered;
        const wchar_t* logged;  // in the log, when not null
    } cases[] = {
        {"extra", nullptr, Delivered::kCabinet, nullptr},  // x.xdb and "data\TsLocal.xdb": only x.xdb counts
        {"other", nullptr, Delivered::kPlain, L"Expected xdb doesn't exist"},    // no x.xdb at all
        {"corrupt", nullptr, Delivered::kPlain, L"Expected xdb doesn't exist"},  // x.xdb with damaged data
        // A file someone else owns is never acted on: the downloaded cabinet, the
        // extracted database, a staged download.
        {"extra", L"\\x.cab", Delivered::kPlain, L"x.cab is owned by another account, not used"},
        {"extra", L".cab\\x.xdb", Delivered::kPlain, L"x.xdb is owned by another account, not used"},
        {"extra", L".tmp", Delivered::kNothing, L"error 1307"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        ASSERT_TRUE(emulator_.Reset());
        ASSERT_TRUE(WriteFileBytes(target_, "previous"));
        const size_t logStart = testing::ReadLogText(logFile_).size();
        const std::string base = std::string("/hostile/") + c.folder;
        g_foreignPart = c.foreign;
        const security::OwnerOverride previous = security::SetOwnerOverrideForTesting(&ForeignWhereMarked);
        EXPECT_EQ(Interpret("FILE=" + origin_ + base + "/x.xdb||p||ffffffff\r\n", &target_),
                  c.delivered != Delivered::kNothing);
        security::SetOwnerOverrideForTesting(previous);
        g_foreignPart = nullptr;
        if (c.delivered == Delivered::kNothing) {
            EXPECT_EQ(ReadBytes(target_), "previous");
        } else {
            EXPECT_EQ(testing::StoreHashes(target_), c.delivered == Delivered::kCabinet ? cabinetRows : plainRows);
        }
        std::vector<std::string> paths = {base + "/x.cab"};
        if (c.delivered != Delivered::kCabinet) paths.push_back(base + "/x.xdb");
        EXPECT_EQ(Paths(), paths) << "the plain file is tried when the cabinet delivered nothing";
        // Nothing else of the cabinet, not the cabinet, not its private folder.
        EXPECT_EQ(SandboxNames(), std::vector<std::wstring>{L"target.xdb"});
        const std::wstring log = testing::ReadLogText(logFile_).substr(logStart);
        EXPECT_EQ(log.find(L"renamed to " + target_ + L" successfully") != std::wstring::npos,
                  c.delivered == Delivered::kCabinet)
            << WideToUtf8(log);
        if (c.logged != nullptr) {
            EXPECT_NE(log.find(c.logged), std::wstring::npos) << WideToUtf8(log);
        }
    }
    testing::SetTestRootTrusted(testing::Fixture(L"signing\\root.der"), false);
}

TEST_F(CommandFileTest, PathsOfDevicesDrivesAndStreamsDownloadNothing) {
    Serve("/ok.xdb", "content");
    for (const char* path : {"NUL", "com1", "AUX.xdb", "data/summary/con.xdb", "data/summary/LPT1 .txt", "x.xdb:s",
                             "C:/x.xdb", "/x.xdb", "//server/share/x.xdb", "data/summary/", "data/../x.xdb"}) {
        EXPECT_FALSE(Interpret("FILE=" + origin_ + "/ok.xdb||" + path + "||ffffffff\r\n", nullptr)) << path;
    }
    EXPECT_TRUE(Requests().empty());
    // A cabinet name that is a device is never written: the plain file comes instead.
    Serve("/nul.xdb", "plain");
    EXPECT_TRUE(Interpret("FILE=" + origin_ + "/nul.xdb||p||ffffffff\r\n", &target_));
    EXPECT_EQ(Paths(), std::vector<std::string>{"/nul.xdb"});
    EXPECT_EQ(ReadBytes(target_), "plain");
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
