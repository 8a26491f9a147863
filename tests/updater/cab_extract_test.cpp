#include "updater/cab_extract.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/updater_test_support.h"

namespace tessary {
namespace {

using testing::DosDate;
using testing::DosStamp;
using testing::DosTime;
using testing::FileExists;
using testing::Fixture;
using testing::LastWriteTime;
using testing::ReadBytes;
using testing::ScopedTempDir;
using testing::WriteFileBytes;

class CabExtractTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { logFile_ = testing::StartFileLogger(); }
    void SetUp() override {
        ASSERT_FALSE(testing::FixtureDirectory().empty()) << "TS_UPDATER_FIXTURES is not set";
        ::DeleteFileW(logFile_.c_str());
        target_ = sandbox_.File(L"out");
    }

    static std::wstring Log() { return testing::ReadLogText(logFile_); }

    static std::wstring logFile_;
    ScopedTempDir sandbox_;
    std::wstring target_;
};
std::wstring CabExtractTest::logFile_;

TEST_F(CabExtractTest, ExtractCabUnpacksSubfoldersWithTheirTimeStamps) {
    std::vector<std::wstring> produced;
    ASSERT_TRUE(ExtractCab(Fixture(L"tree.cab"), target_, &produced));
    EXPECT_EQ(produced, (std::vector<std::wstring>{target_ + L"\\root.txt", target_ + L"\\sub\\a.txt",
                                                   target_ + L"\\sub\\deeper\\b.txt"}));
    EXPECT_EQ(ReadBytes(target_ + L"\\root.txt"), "root file\n");
    EXPECT_EQ(ReadBytes(target_ + L"\\sub\\a.txt"), "in sub\n");
    std::string deeper;
    for (int i = 0; i < 5000; ++i) deeper += "deeper\n";
    EXPECT_EQ(ReadBytes(target_ + L"\\sub\\deeper\\b.txt"), deeper);
    // gcab stored the files' time as local time of the same clock.
    EXPECT_EQ(LastWriteTime(target_ + L"\\sub\\a.txt"), DosStamp(DosDate(2020, 5, 17), DosTime(10, 20, 30), false));

    // The program's own extractor, whose callback checks every name it writes; never advpack.
    const std::wstring log = Log();
    EXPECT_NE(log.find(L"Successfully Extracted " + Fixture(L"tree.cab") + L" to " + target_), std::wstring::npos)
        << log;
    EXPECT_EQ(log.find(L"AdvPack.dll"), std::wstring::npos) << log;
}

// Folders named with characters no ANSI code page holds (Greek, CJK): a user
// profile or data folder named so is unpacked into and from as it is named.
TEST_F(CabExtractTest, CabinetsInAndIntoFoldersNamedOutsideTheAnsiCodePage) {
    const std::wstring folder = sandbox_.File(L"\u03a4\u03b5\u03c3\u03c4-\u6570\u636e");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    struct Case {
        const wchar_t* fixture;
        std::vector<std::pair<std::wstring, std::string>> files;  // produced name and content
    };
    std::string deeper;
    for (int i = 0; i < 5000; ++i) deeper += "deeper\n";
    const Case cases[] = {
        {L"tree.cab", {{L"root.txt", "root file\n"}, {L"sub\\a.txt", "in sub\n"}, {L"sub\\deeper\\b.txt", deeper}}},
        // The signed and the unsigned cabinet of the same store unpack alike.
        {L"signed\\x.cab", {{L"x.xdb", ReadBytes(Fixture(L"x.xdb"))}}},
        {L"unsigned\\x.cab", {{L"x.xdb", ReadBytes(Fixture(L"x.xdb"))}}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.fixture));
        const std::wstring cabinet = folder + L"\\\u03ba\u03b1\u03b2" + std::to_wstring(++n) + L".cab";
        ASSERT_TRUE(::CopyFileW(Fixture(c.fixture).c_str(), cabinet.c_str(), TRUE));
        const std::wstring target = folder + L"\\\u51fa" + std::to_wstring(n);
        std::vector<std::wstring> produced;
        ASSERT_TRUE(ExtractCab(cabinet, target, &produced)) << Log();
        std::vector<std::wstring> expected;
        for (const auto& [name, content] : c.files) {
            expected.push_back(target + L"\\" + name);
            EXPECT_FALSE(content.empty());
            EXPECT_EQ(ReadBytes(target + L"\\" + name), content) << WideToUtf8(name);
        }
        EXPECT_EQ(produced, expected);
        EXPECT_NE(Log().find(L"Successfully Extracted " + cabinet + L" to " + target), std::wstring::npos) << Log();
    }

    // A name with an unpaired surrogate has no UTF-8 spelling for FDI: it is
    // refused, never taken for the file whose name holds U+FFFD in its place.
    ASSERT_TRUE(::CopyFileW(Fixture(L"tree.cab").c_str(), (folder + L"\\\xFFFD.cab").c_str(), TRUE));
    QnCabExtractor extractor;
    ASSERT_TRUE(extractor.Initialize());
    EXPECT_FALSE(extractor.Extract(folder + L"\\\xD800.cab", folder + L"\\surrogate"));
    EXPECT_EQ(extractor.ErrorText(), L"Cabinet not found");
    EXPECT_FALSE(FileExists(folder + L"\\surrogate\\root.txt"));
}

TEST_F(CabExtractTest, DamagedCabinetsFailWithoutWritingAnything) {
    for (const wchar_t* name : {L"truncated.cab", L"corrupt.cab", L"missing.cab"}) {
        const std::wstring target = sandbox_.File(name) + L"_out";
        std::vector<std::wstring> produced{L"sentinel"};
        EXPECT_FALSE(ExtractCab(Fixture(name), target, &produced)) << name;
        EXPECT_TRUE(produced.empty()) << name;
        EXPECT_FALSE(FileExists(target + L"\\sub\\deeper\\b.txt")) << name;
    }
    EXPECT_NE(Log().find(L"Failed to extract file"), std::wstring::npos) << Log();
}

TEST_F(CabExtractTest, CabinetsNamingPathsOutsideTheTargetAreRefusedWhole) {
    // decoy.cab shows a harmless file table where a second reader looks; the
    // cabinet library reads the one that climbs out, and its callback refuses it.
    for (const wchar_t* name : {L"escape_dotdot.cab", L"escape_deep_dotdot.cab", L"escape_absolute.cab",
                                L"escape_drive.cab", L"escape_device.cab", L"decoy.cab"}) {
        const std::wstring target = sandbox_.File(L"nested\\out");
        EXPECT_FALSE(ExtractCab(Fixture(name), target)) << name;
        EXPECT_FALSE(FileExists(target + L"\\inside.txt")) << name << ": nothing is written, not even safe entries";
        EXPECT_FALSE(FileExists(sandbox_.File(L"nested\\escaped.txt"))) << name;
        EXPECT_FALSE(FileExists(sandbox_.File(L"escaped.txt"))) << name;
        EXPECT_FALSE(FileExists(L"C:\\escaped.txt")) << name;
        EXPECT_FALSE(FileExists(target.substr(0, 3) + L"escaped.txt")) << name;
        EXPECT_FALSE(FileExists(target + L"\\harmless.txt")) << name;
    }
}

TEST_F(CabExtractTest, CabinetsBeyondTheCapsAreRefused) {
    for (const wchar_t* name : {L"many.cab", L"huge_claim.cab"}) {
        const std::wstring target = sandbox_.File(name) + L"_out";
        EXPECT_FALSE(ExtractCab(Fixture(name), target)) << name;
        EXPECT_FALSE(FileExists(target + L"\\f000.txt")) << name << ": refused before anything is written";
        // The extractor's own checks, for cabinets whose file table could not be read beforehand.
        QnCabExtractor extractor;
        ASSERT_TRUE(extractor.Initialize());
        EXPECT_FALSE(extractor.Extract(Fixture(name), target)) << name;
        EXPECT_EQ(extractor.ErrorText(), L"Application aborted") << name;
        EXPECT_NE(extractor.RefusalReason().find(L"more than"), std::wstring::npos) << name;
        EXPECT_FALSE(FileExists(target + L"\\claim.txt")) << name;
    }
    EXPECT_NE(Log().find(L"more than the 256 entries or 268435456 bytes allowed"), std::wstring::npos) << Log();
}

TEST_F(CabExtractTest, ExtractorKeepsAttributesAndTimeStamps) {
    QnCabExtractor extractor;
    ASSERT_TRUE(extractor.Initialize());
    ASSERT_TRUE(extractor.Extract(Fixture(L"attributes.cab"), target_)) << extractor.ErrorText();
    EXPECT_EQ(extractor.ErrorText(), L"No error");

    // Wine reports the archive bit on every file it wrote, so only read-only,
    // hidden and system are compared exactly.
    const DWORD kRhs = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    EXPECT_EQ(::GetFileAttributesW((target_ + L"\\readonly.txt").c_str()) & kRhs, DWORD{FILE_ATTRIBUTE_READONLY});
    EXPECT_EQ(::GetFileAttributesW((target_ + L"\\hidden.txt").c_str()) & kRhs, DWORD{FILE_ATTRIBUTE_HIDDEN});
    EXPECT_EQ(::GetFileAttributesW((target_ + L"\\system.txt").c_str()) & kRhs, DWORD{FILE_ATTRIBUTE_SYSTEM});
    // Entries written with "/" land in the subfolder.
    const DWORD archive = ::GetFileAttributesW((target_ + L"\\dir\\archive.txt").c_str());
    EXPECT_EQ(archive & (kRhs | FILE_ATTRIBUTE_ARCHIVE), DWORD{FILE_ATTRIBUTE_ARCHIVE});
    EXPECT_EQ(ReadBytes(target_ + L"\\dir\\utc.txt"), "u");

    const WORD date = DosDate(2019, 3, 4);
    const WORD time = DosTime(5, 6, 8);
    EXPECT_EQ(LastWriteTime(target_ + L"\\hidden.txt"), DosStamp(date, time, false));
    // Attribute 0x100: the stamp is universal time already.
    EXPECT_EQ(LastWriteTime(target_ + L"\\dir\\utc.txt"), DosStamp(date, time, true));

    // Extracted files are only ever created new: a file that is there already (an
    // earlier extraction's, or one someone put there) is never written through.
    ::SetFileAttributesW((target_ + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(WriteFileBytes(target_ + L"\\readonly.txt", "planted"));
    EXPECT_FALSE(extractor.Extract(Fixture(L"attributes.cab"), target_));
    EXPECT_EQ(ReadBytes(target_ + L"\\readonly.txt"), "planted");
}

TEST_F(CabExtractTest, ExtractorAbortsSpanningCabinetsAndForeignNames) {
    QnCabExtractor extractor;
    ASSERT_TRUE(extractor.Initialize());
    EXPECT_FALSE(extractor.Extract(Fixture(L"spanning.cab"), target_));
    EXPECT_EQ(extractor.ErrorText(), L"Application aborted");
    EXPECT_FALSE(FileExists(target_ + L"\\part.txt"));

    // The extractor's own check, for cabinets that reach it directly.
    EXPECT_FALSE(extractor.Extract(Fixture(L"escape_dotdot.cab"), sandbox_.File(L"a\\b")));
    EXPECT_EQ(extractor.ErrorText(), L"Application aborted");
    EXPECT_FALSE(FileExists(sandbox_.File(L"a\\escaped.txt")));
    EXPECT_FALSE(extractor.Extract(Fixture(L"escape_drive.cab"), sandbox_.File(L"a\\b")));
    EXPECT_FALSE(FileExists(L"C:\\escaped.txt"));
    EXPECT_FALSE(extractor.Extract(Fixture(L"decoy.cab"), sandbox_.File(L"a\\b")));
    EXPECT_NE(extractor.RefusalReason().find(L"leaves the target folder"), std::wstring::npos);
    EXPECT_TRUE(extractor.Produced().empty());

    EXPECT_FALSE(extractor.Extract(Fixture(L"truncated.cab"), target_));
    EXPECT_NE(extractor.ErrorText(), L"No error");
}

TEST_F(CabExtractTest, ExtractorWorksOnlyOnItsThreadAndOnePerThread) {
    QnCabExtractor first;
    bool otherThread = true;
    std::thread([&] { otherThread = first.Initialize(); }).join();
    EXPECT_FALSE(otherThread);
    EXPECT_FALSE(first.Extract(Fixture(L"tree.cab"), target_)) << "not initialised";

    ASSERT_TRUE(first.Initialize());
    EXPECT_FALSE(first.Initialize()) << "already initialised";
    QnCabExtractor second;
    EXPECT_FALSE(second.Initialize()) << "the thread's slot is taken";
    std::thread([&] { otherThread = first.Extract(Fixture(L"tree.cab"), target_); }).join();
    EXPECT_FALSE(otherThread);
    EXPECT_FALSE(FileExists(target_ + L"\\root.txt"));

    first.Destroy();
    first.Destroy();
    ASSERT_TRUE(second.Initialize());
    EXPECT_TRUE(second.Extract(Fixture(L"tree.cab"), target_)) << second.ErrorText();
    EXPECT_TRUE(FileExists(target_ + L"\\sub\\deeper\\b.txt"));
}

TEST(CabErrorTextTest, NamesEveryFdiErrorAndUnknownOnes) {
    EXPECT_STREQ(CabErrorText(0), L"No error");
    EXPECT_STREQ(CabErrorText(2), L"Not a cabinet");
    EXPECT_STREQ(CabErrorText(10), L"Cabinet returned on fdintNEXT_CABINET is incorrect");
    EXPECT_STREQ(CabErrorText(11), L"Application aborted");
    EXPECT_STREQ(CabErrorText(12), L"Unknown error");
    EXPECT_STREQ(CabErrorText(-1), L"Unknown error");
}

}  // namespace
}  // namespace tessary
