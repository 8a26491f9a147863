#include "updater/cab_extract.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/paths.h"
#include "platform/text.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/updater_test_support.h"
#include "updater/cabinet_names.h"

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

bool AdvPackLoads() {
    HMODULE module = ::LoadLibraryExW(SystemDirectoryFile(L"advpack.dll").c_str(), nullptr, 0);
    if (module == nullptr) return false;
    ::FreeLibrary(module);
    return true;
}

class CabExtractTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { logFile_ = testing::StartFileLogger(); }
    void SetUp() override {
        ASSERT_FALSE(testing::FixtureDirectory().empty()) << "TS_UPDATER_FIXTURES is not set";
        ::DeleteFileW(logFile_.c_str());
        target_ = sandbox_.File(L"out");
    }

    static std::string Narrow(const std::wstring& path) { return WideToNarrow(path); }
    static std::wstring Log() { return testing::ReadLogText(logFile_); }

    static std::wstring logFile_;
    ScopedTempDir sandbox_;
    std::wstring target_;
};
std::wstring CabExtractTest::logFile_;

TEST_F(CabExtractTest, ExtractCabUnpacksSubfoldersWithTheirTimeStamps) {
    ASSERT_TRUE(ExtractCab(Narrow(Fixture(L"tree.cab")), Narrow(target_)));
    EXPECT_EQ(ReadBytes(target_ + L"\\root.txt"), "root file\n");
    EXPECT_EQ(ReadBytes(target_ + L"\\sub\\a.txt"), "in sub\n");
    std::string deeper;
    for (int i = 0; i < 5000; ++i) deeper += "deeper\n";
    EXPECT_EQ(ReadBytes(target_ + L"\\sub\\deeper\\b.txt"), deeper);
    // gcab stored the files' time as local time of the same clock.
    EXPECT_EQ(LastWriteTime(target_ + L"\\sub\\a.txt"), DosStamp(DosDate(2020, 5, 17), DosTime(10, 20, 30), false));

    const std::wstring log = Log();
    if (AdvPackLoads()) {
        EXPECT_NE(log.find(L"using ExtractFiles function in AdvPack.dll"), std::wstring::npos) << log;
        EXPECT_NE(log.find(L"Successfully Extracted"), std::wstring::npos) << log;
    } else {
        // advpack disabled for this run: the program's own extractor took over.
        EXPECT_NE(log.find(L"LoadLibraryFromSystemDirectory(advpack.dll) failed, err=126"), std::wstring::npos) << log;
        EXPECT_NE(log.find(L"Failed to Extract"), std::wstring::npos) << log;
        EXPECT_NE(log.find(L"Successfully Extracted " + Fixture(L"tree.cab") + L" to " + target_), std::wstring::npos)
            << log;
    }
}

TEST_F(CabExtractTest, DamagedCabinetsFailWithoutWritingAnything) {
    const bool advpack = AdvPackLoads();
    for (const wchar_t* name : {L"truncated.cab", L"corrupt.cab", L"missing.cab"}) {
        const std::wstring target = sandbox_.File(name) + L"_out";
        const bool extracted = ExtractCab(Narrow(Fixture(name)), Narrow(target));
        EXPECT_FALSE(FileExists(target + L"\\sub\\deeper\\b.txt")) << name;
        // Wine's advpack ExtractFiles answers S_OK for a damaged cabinet it did not unpack.
        if (!advpack) {
            EXPECT_FALSE(extracted) << name;
        }
    }
    if (!advpack) {
        EXPECT_NE(Log().find(L"Failed to extract file"), std::wstring::npos) << Log();
    }
}

TEST_F(CabExtractTest, CabinetsNamingPathsOutsideTheTargetAreRefusedWhole) {
    for (const wchar_t* name :
         {L"escape_dotdot.cab", L"escape_deep_dotdot.cab", L"escape_absolute.cab", L"escape_drive.cab"}) {
        const std::wstring target = sandbox_.File(L"nested\\out");
        EXPECT_FALSE(ExtractCab(Narrow(Fixture(name)), Narrow(target))) << name;
        EXPECT_FALSE(FileExists(target + L"\\inside.txt")) << name << ": nothing is written, not even safe entries";
        EXPECT_FALSE(FileExists(sandbox_.File(L"nested\\escaped.txt"))) << name;
        EXPECT_FALSE(FileExists(sandbox_.File(L"escaped.txt"))) << name;
        EXPECT_FALSE(FileExists(L"C:\\escaped.txt")) << name;
        EXPECT_FALSE(FileExists(target.substr(0, 3) + L"escaped.txt")) << name;
    }
}

TEST_F(CabExtractTest, ExtractorKeepsAttributesAndTimeStamps) {
    QnCabExtractor extractor;
    ASSERT_TRUE(extractor.Initialize());
    ASSERT_TRUE(extractor.Extract(Narrow(Fixture(L"attributes.cab")), Narrow(target_))) << extractor.ErrorText();
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

    // A read-only file from an earlier extraction is replaced.
    ASSERT_TRUE(extractor.Extract(Narrow(Fixture(L"attributes.cab")), Narrow(target_))) << extractor.ErrorText();
    EXPECT_EQ(ReadBytes(target_ + L"\\readonly.txt"), "r");
}

TEST_F(CabExtractTest, ExtractorAbortsSpanningCabinetsAndForeignNames) {
    QnCabExtractor extractor;
    ASSERT_TRUE(extractor.Initialize());
    EXPECT_FALSE(extractor.Extract(Narrow(Fixture(L"spanning.cab")), Narrow(target_)));
    EXPECT_EQ(extractor.ErrorText(), L"Application aborted");
    EXPECT_FALSE(FileExists(target_ + L"\\part.txt"));

    // The extractor's own check, for cabinets that reach it directly.
    EXPECT_FALSE(extractor.Extract(Narrow(Fixture(L"escape_dotdot.cab")), Narrow(sandbox_.File(L"a\\b"))));
    EXPECT_EQ(extractor.ErrorText(), L"Application aborted");
    EXPECT_FALSE(FileExists(sandbox_.File(L"a\\escaped.txt")));
    EXPECT_FALSE(extractor.Extract(Narrow(Fixture(L"escape_drive.cab")), Narrow(sandbox_.File(L"a\\b"))));
    EXPECT_FALSE(FileExists(L"C:\\escaped.txt"));

    EXPECT_FALSE(extractor.Extract(Narrow(Fixture(L"truncated.cab")), Narrow(target_)));
    EXPECT_NE(extractor.ErrorText(), L"No error");
}

TEST_F(CabExtractTest, ExtractorWorksOnlyOnItsThreadAndOnePerThread) {
    QnCabExtractor first;
    bool otherThread = true;
    std::thread([&] { otherThread = first.Initialize(); }).join();
    EXPECT_FALSE(otherThread);
    EXPECT_FALSE(first.Extract(Narrow(Fixture(L"tree.cab")), Narrow(target_))) << "not initialised";

    ASSERT_TRUE(first.Initialize());
    EXPECT_FALSE(first.Initialize()) << "already initialised";
    QnCabExtractor second;
    EXPECT_FALSE(second.Initialize()) << "the thread's slot is taken";
    std::thread([&] { otherThread = first.Extract(Narrow(Fixture(L"tree.cab")), Narrow(target_)); }).join();
    EXPECT_FALSE(otherThread);
    EXPECT_FALSE(FileExists(target_ + L"\\root.txt"));

    first.Destroy();
    first.Destroy();
    ASSERT_TRUE(second.Initialize());
    EXPECT_TRUE(second.Extract(Narrow(Fixture(L"tree.cab")), Narrow(target_))) << second.ErrorText();
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

TEST(CabinetNamesTest, OnlyNamesBelowTheTargetAreContained) {
    for (const char* good : {"a.txt", "sub\\a.txt", "sub/deeper/b.txt", "a..b.txt", ".hidden", "x\\.\\y"}) {
        EXPECT_TRUE(IsContainedCabinetName(good)) << good;
    }
    for (const char* bad : {"", "..", "..\\a", "a\\..\\..\\b", "a/../b", "sub\\..", "\\a", "/a", "C:\\a", "C:a",
                            "a:stream", "\\\\server\\share\\a", "a\tb", "...\\a", ".. \\a", "a/. ./b",
                            "sub\\.. . "}) {
        EXPECT_FALSE(IsContainedCabinetName(bad)) << bad;
    }
}

TEST(CabinetNamesTest, DirectoryParsingStopsAtTruncation) {
    const std::string tree = ReadBytes(Fixture(L"tree.cab"));
    ASSERT_FALSE(tree.empty());
    const auto directory = ParseCabinetDirectory(tree);
    ASSERT_TRUE(directory.has_value());
    ASSERT_EQ(directory->entries.size(), 3u);
    EXPECT_EQ(directory->entries[1].name, "sub\\a.txt");
    EXPECT_EQ(directory->entries[2].size, 35000u);
    EXPECT_FALSE(directory->continuesFromPrevious);
    EXPECT_TRUE(ParseCabinetDirectory(ReadBytes(Fixture(L"spanning.cab")))->continuesFromPrevious);
    for (size_t cut : {size_t{0}, size_t{10}, size_t{40}, size_t{70}}) {
        EXPECT_FALSE(ParseCabinetDirectory(std::string_view(tree).substr(0, cut)).has_value()) << cut;
    }
    EXPECT_FALSE(ParseCabinetDirectory("NOTACABINET" + std::string(40, '\0')).has_value());
}

}  // namespace
}  // namespace tessary
