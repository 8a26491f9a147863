#include "updater/installation_id.h"

#include <gtest/gtest.h>

#include <string>

#include "store/data_paths.h"
#include "tests/support/security_calls.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/updater_test_support.h"

namespace tessary {
namespace {

using testing::ReadBytes;
using testing::ScopedTempDir;
using testing::WriteFileBytes;
using Parts = std::array<uint32_t, 4>;

class InstallationIdTest : public ::testing::Test {
protected:
    ScopedTempDir sandbox_;
    std::wstring file_ = sandbox_.File(L"tsid.idx");
};

TEST_F(InstallationIdTest, DefaultFileLivesInTheCommonDataDirectory) {
    EXPECT_EQ(ResolveDataPath(kInstallationIdName, DataBase::kCommonData),
              ResolveDataPath(L"", DataBase::kCommonData) + L"\\data\\tsid.idx");
}

TEST_F(InstallationIdTest, ParseNeedsFourNonZeroNumbers) {
    InstallationId id(file_);
    EXPECT_TRUE(id.Parse("0001-0002-0003-00a4"));
    EXPECT_EQ(id.parts(), (Parts{1, 2, 3, 0xa4}));
    EXPECT_TRUE(id.Parse("A-b--C::d"));
    EXPECT_EQ(id.parts(), (Parts{0xa, 0xb, 0xc, 0xd}));
    for (const char* bad : {"0000-0002-0003-0004", "0001-0002-0003-0000", "0001-0002-0003", "0001-0002-0003-", "",
                            "zzzz-0002-0003-0004", "0001-0002-0003-zzzz"}) {
        EXPECT_FALSE(id.Parse(bad)) << bad;
        EXPECT_EQ(id.parts(), (Parts{0xa, 0xb, 0xc, 0xd})) << bad << ": the old identifier stays";
    }
    EXPECT_EQ(id.Format(), "000a000b000c000d");
}

TEST_F(InstallationIdTest, SaveWritesTwentyLittleEndianBytesAndLoadReadsThemBack) {
    InstallationId id(file_);
    EXPECT_EQ(id.Format(), "0000000000000000");
    EXPECT_FALSE(id.Save()) << "nothing to save";
    EXPECT_FALSE(testing::FileExists(file_));
    EXPECT_FALSE(id.Load());

    {
        // Written new with the descriptor of a file other accounts may only read.
        testing::RecordedSecurityCalls calls;
        EXPECT_TRUE(id.Assign("00010002000300A4"));
        size_t created = 0;
        for (const security::SecurityEvent& event : calls.All()) {
            if (event.call != security::SecurityCall::kCreateFile) continue;
            ++created;
            EXPECT_EQ(event.described, calls.Model(security::Secured::kReadableFile));
        }
        EXPECT_EQ(created, 1u);
    }
    EXPECT_EQ(ReadBytes(file_), std::string("\x01\0\0\0\x02\0\0\0\x03\0\0\0\xa4\0\0\0\0\0\0\0", 20));
    EXPECT_FALSE(id.loadedFromFile());

    InstallationId other(file_);
    EXPECT_EQ(other.ForRequest(), "00010002000300a4");
    EXPECT_TRUE(other.loadedFromFile());
    // Saved again after a load: the reserved word says so.
    EXPECT_TRUE(other.Save());
    EXPECT_EQ(ReadBytes(file_).substr(16), std::string("\x01\0\0\0", 4));
    EXPECT_FALSE(other.loadedFromFile());
}

TEST_F(InstallationIdTest, AssignmentNeedsSixteenCharactersAndKeepsTheOldIdOnFailure) {
    InstallationId id(file_);
    ASSERT_TRUE(id.Assign("0001000200030004"));
    EXPECT_FALSE(id.Assign("000100020003000"));
    EXPECT_FALSE(id.Assign("00010002000300045"));
    EXPECT_FALSE(id.Assign("0000000200030004"));
    EXPECT_EQ(id.Format(), "0001000200030004");
    EXPECT_EQ(ReadBytes(file_).substr(0, 16), std::string("\x01\0\0\0\x02\0\0\0\x03\0\0\0\x04\0\0\0", 16));
}

TEST_F(InstallationIdTest, RequestsReadTheFileOnceDownloadsEveryTime) {
    InstallationId writer(file_);
    ASSERT_TRUE(writer.Assign("0001000200030004"));
    InstallationId id(file_);
    EXPECT_EQ(id.ForRequest(), "0001000200030004");
    ASSERT_TRUE(writer.Assign("0009000800070006"));
    EXPECT_EQ(id.ForRequest(), "0001000200030004") << "already loaded";
    EXPECT_EQ(id.ForDownload(), "0009000800070006");
}

TEST_F(InstallationIdTest, DeferredAssignmentsWriteTheFileOnceAsTheSavesInTurnWould) {
    const std::string loaded("\x01\0\0\0\x02\0\0\0\x03\0\0\0\x04\0\0\0\0\0\0\0", 20);
    // After a load the first save writes reserved word 1 and clears the flag, so
    // one assignment leaves 1 and two or more leave 0.
    for (const int lines : {1, 2, 3}) {
        ASSERT_TRUE(WriteFileBytes(file_, loaded));
        InstallationId id(file_);
        ASSERT_TRUE(id.Load());
        for (int i = 1; i <= lines; ++i) ASSERT_TRUE(id.AssignDeferred("000900080007000" + std::to_string(i)));
        EXPECT_FALSE(id.AssignDeferred("000900080007"));
        EXPECT_EQ(ReadBytes(file_), loaded) << lines << ": nothing written before the command file is read";
        EXPECT_TRUE(id.SavePending());
        const std::string file = ReadBytes(file_);
        ASSERT_EQ(file.size(), 20u);
        EXPECT_EQ(file[12], static_cast<char>(lines)) << "the last assignment";
        EXPECT_EQ(file[16], lines == 1 ? 1 : 0) << lines;
        ASSERT_TRUE(WriteFileBytes(file_, "other"));
        EXPECT_TRUE(id.SavePending()) << "nothing pending any more";
        EXPECT_EQ(ReadBytes(file_), "other");
    }
    // A download asks for the identifier: the pending save is made first.
    InstallationId id(file_);
    ASSERT_TRUE(id.AssignDeferred("000a000b000c000d"));
    EXPECT_EQ(id.ForDownload(), "000a000b000c000d");
    EXPECT_EQ(ReadBytes(file_).substr(0, 4), std::string("\x0a\0\0\0", 4));
}

TEST_F(InstallationIdTest, AFileOfTheWrongSizeOrWithPartsOutOfRangeIsNoIdentifier) {
    const std::wstring log = testing::StartFileLogger();
    const std::string good("\x01\0\0\0\x02\0\0\0\x03\0\0\0\x04\0\0\0\0\0\0\0", 20);
    std::string outOfRange = good;
    outOfRange[6] = 1;  // part 2 becomes 0x10002
    for (const std::string& bad : {std::string("short"), good.substr(0, 16), good + "x", outOfRange,
                                   std::string(20, '\0'), std::string(20, '\xff')}) {
        InstallationId id(file_);
        ASSERT_TRUE(id.Assign("0009000800070006"));
        ASSERT_TRUE(WriteFileBytes(file_, bad));
        EXPECT_EQ(id.ForDownload(), "0000000000000000") << bad.size() << " bytes: sixteen zeros, never 31 digits";
        EXPECT_EQ(id.parts(), (Parts{})) << bad.size();
        EXPECT_TRUE(id.loadedFromFile());
    }
    EXPECT_NE(testing::ReadLogText(log).find(L"is not a valid installation identifier (21 bytes read"),
              std::wstring::npos)
        << "a log line says why";
}

}  // namespace
}  // namespace tessary
