#include "component/signature_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "tests/support/local_store.h"

namespace tessary {
namespace {

using testing::StoreExec;

bool PutRow(const char* type, const char* data) {
    return StoreExec("INSERT INTO DigSigInfo3 VALUES(%Q,%Q);", type, data);
}

// Each test starts with new process objects (the reload event signaled, as
// after load), no list in memory and no local store.
class SignatureListTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
        FreeSignatureList();
    }
    void TearDown() override { FreeSignatureList(); }
    HANDLE ReloadEvent() { return ProcessObjects().SignatureList().reloadEvent; }

    testing::ScopedNoLocalStore store_;
};

TEST_F(SignatureListTest, ExactMatchIgnoresCaseOfTypeAndData) {
    ASSERT_TRUE(PutRow("2", "Unlisted Maker Ltd"));
    ASSERT_TRUE(PutRow("3", "0A1B2C"));
    EXPECT_TRUE(SignatureListContains(2, "Unlisted Maker Ltd", false));
    EXPECT_TRUE(SignatureListContains(2, "UNLISTED maker ltd", false));
    EXPECT_TRUE(SignatureListContains(3, "0a1b2c", false));
    EXPECT_FALSE(SignatureListContains(2, "Unlisted Maker", false));
    EXPECT_FALSE(SignatureListContains(2, "Unlisted Maker Ltd.", false));
    EXPECT_FALSE(SignatureListContains(1, "Unlisted Maker Ltd", false));
    EXPECT_FALSE(SignatureListContains(2, "0a1b2c", false));
    EXPECT_FALSE(SignatureListContains(2, nullptr, false));
}

TEST_F(SignatureListTest, SubstringMatchIsCaseSensitiveAndLooksForDataInTheText) {
    ASSERT_TRUE(PutRow("4", "Core Services"));
    EXPECT_TRUE(SignatureListContains(4, "Alpha Core Services", true));
    EXPECT_TRUE(SignatureListContains(4, "Core Services", true));
    EXPECT_FALSE(SignatureListContains(4, "Alpha core services", true));
    EXPECT_FALSE(SignatureListContains(4, "Core", true));
    EXPECT_FALSE(SignatureListContains(4, "Alpha Core Services", false));
}

TEST_F(SignatureListTest, TypeIsComparedAsDecimalText) {
    ASSERT_TRUE(StoreExec("INSERT INTO DigSigInfo3 VALUES(2,'Integer Typed');"));
    // The column's integer affinity stores "02" as 2; text that is no number stays text.
    ASSERT_TRUE(PutRow("02", "Padded Type"));
    ASSERT_TRUE(PutRow("2x", "Suffixed Type"));
    ASSERT_TRUE(PutRow("-1", "Negative Type"));
    EXPECT_TRUE(SignatureListContains(2, "Integer Typed", false));
    EXPECT_TRUE(SignatureListContains(2, "Padded Type", false));
    EXPECT_FALSE(SignatureListContains(2, "Suffixed Type", false));
    EXPECT_TRUE(SignatureListContains(-1, "Negative Type", false));
}

TEST_F(SignatureListTest, AnsiTextIsComparedAsUtf8) {
    if (::GetACP() != 1252) GTEST_SKIP() << "the prefix's ANSI code page is " << ::GetACP() << ", not 1252";
    ASSERT_TRUE(PutRow("1", "The USERTrust Network\xE2\x84\xA2"));
    ASSERT_TRUE(PutRow("2", "Caf\xC3\xA9 Soft"));
    EXPECT_TRUE(SignatureListContains(1, "The USERTrust Network\x99", false));
    EXPECT_TRUE(SignatureListContains(2, "Caf\xE9 Soft", false));
    EXPECT_FALSE(SignatureListContains(2, "Caf\xC3\xA9 Soft", false));
}

TEST_F(SignatureListTest, NullAndOverlongRowsAreSafe) {
    ASSERT_TRUE(PutRow(nullptr, "No Type"));
    ASSERT_TRUE(PutRow("2", nullptr));
    ASSERT_TRUE(PutRow(nullptr, nullptr));
    const std::string longData(5000, 'x');
    ASSERT_TRUE(PutRow("2", longData.c_str()));
    const std::string longType = "2" + std::string(40, 'x');
    ASSERT_TRUE(PutRow(longType.c_str(), "Long Type"));
    ASSERT_TRUE(PutRow("2", "Quellon, Inc."));

    EXPECT_TRUE(SignatureListContains(2, "Quellon, Inc.", false));
    EXPECT_FALSE(SignatureListContains(2, "No Type", false));
    EXPECT_FALSE(SignatureListContains(2, "", false));
    EXPECT_FALSE(SignatureListContains(2, longData.c_str(), false));
    EXPECT_TRUE(SignatureListContains(2, longData.substr(0, kSignatureDataChars).c_str(), false));
    EXPECT_FALSE(SignatureListContains(2, longData.substr(0, kSignatureDataChars + 1).c_str(), false));
    // Type cut to 32 characters is still "2xxx...", never "2".
    EXPECT_FALSE(SignatureListContains(2, "Long Type", false));
}

TEST_F(SignatureListTest, MissingTableOrStoreGivesAnEmptyList) {
    ASSERT_TRUE(StoreExec("DROP TABLE DigSigInfo3;"));
    // The open puts the table back, empty.
    EXPECT_FALSE(SignatureListContains(2, "Quellon, Inc.", false));

    FreeSignatureList();
    ::DeleteFileW(store_.path().c_str());
    ASSERT_TRUE(::CreateDirectoryW(store_.path().c_str(), nullptr));  // a folder where the file belongs
    ASSERT_TRUE(::SetEvent(ReloadEvent()));
    EXPECT_FALSE(SignatureListContains(2, "Quellon, Inc.", false));
    ::RemoveDirectoryW(store_.path().c_str());
}

TEST_F(SignatureListTest, TheTableIsReadOnceUntilTheReloadEventIsSignaled) {
    ASSERT_TRUE(PutRow("2", "First"));
    ASSERT_TRUE(SignatureListContains(2, "First", false));
    ASSERT_TRUE(PutRow("2", "Second"));
    EXPECT_FALSE(SignatureListContains(2, "Second", false));

    // A reload seen after a search runs in the background.
    ASSERT_TRUE(::SetEvent(ReloadEvent()));
    bool seen = false;
    for (int i = 0; i < 250 && !seen; ++i) {
        seen = SignatureListContains(2, "Second", false);
        if (!seen) ::Sleep(20);
    }
    EXPECT_TRUE(seen);
    EXPECT_TRUE(SignatureListContains(2, "First", false));
}

TEST_F(SignatureListTest, AFailedFirstLoadIsRetriedOnALaterUse) {
    ASSERT_TRUE(::CreateDirectoryW(store_.path().c_str(), nullptr));
    EXPECT_FALSE(SignatureListContains(2, "Late", false));
    ::RemoveDirectoryW(store_.path().c_str());
    ASSERT_TRUE(PutRow("2", "Late"));
    EXPECT_TRUE(SignatureListContains(2, "Late", false));
}

TEST_F(SignatureListTest, ConcurrentFirstUseLoadsOnceAndEveryoneFindsTheEntry) {
    ASSERT_TRUE(PutRow("2", "Shared"));
    std::atomic<int> found{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&found] {
            for (int i = 0; i < 20; ++i) {
                if (SignatureListContains(2, "Shared", false)) ++found;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(found.load(), 160);
}

TEST_F(SignatureListTest, WithoutNamedObjectsTheListAnswersFalse) {
    ASSERT_TRUE(PutRow("2", "Quellon, Inc."));
    CloseNamedObjects();
    EXPECT_FALSE(SignatureListContains(2, "Quellon, Inc.", false));
}

}  // namespace
}  // namespace tessary
