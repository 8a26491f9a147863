#include "component/shared_perms.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component/shared_perms_db.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/stores.h"
#include "tests/support/component_suite.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::ReadLogText;

constexpr wchar_t kHash[] = L"0123456789ABCDEF0123456789ABCDEF";
constexpr wchar_t kOtherHash[] = L"FEDCBA9876543210FEDCBA9876543210";

tagQNTS_LOCAL_APP_PERMISSION Record(ULONG id, ULONG product, ULONG feature, ULONG permission, std::wstring_view path,
                                    std::wstring_view hash) {
    return MakeSharedRecord(id, product, feature, permission, path, hash);
}

// Rows of the store as text "Path|Hash|Product|Feature|Permission", by id.
std::vector<std::string> Rows() {
    std::vector<std::string> rows;
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) return rows;
    UniqueSqliteTable table;
    int count = 0;
    int columns = 0;
    if (sqlite_get_table(db.get(), "SELECT Path, Hash, Product, Feature, Permission FROM LocalSharedCache ORDER BY id",
                         table.put(), &count, &columns, nullptr) != SQLITE_OK) {
        return rows;
    }
    for (int r = 1; r <= count; ++r) {
        std::string row;
        for (int c = 0; c < columns; ++c) {
            const char* value = table.get()[r * columns + c];
            row += (c ? "|" : "") + std::string(value ? value : "NULL");
        }
        rows.push_back(row);
    }
    return rows;
}

class SharedPermsTest : public testing::ComponentSuiteTest {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(ComponentSuiteTest::SetUpTestSuite());
        logFile_ = testing::StartFileLogger();
        ASSERT_FALSE(logFile_.empty());
    }
    void SetUp() override {
        // The TS submission thread must report nothing from these tests.
        ASSERT_NO_FATAL_FAILURE(testing::KeepServiceTrafficLocal());
        testing::RemoveCommonStore(kSharedStoreName);
        ::DeleteFileW(logFile_.c_str());
        FreeSharedPermissionIndex();
        ::SetEvent(ProcessObjects().sharedPermEvent.get());
    }
    void TearDown() override {
        // Late TS submission threads must still find reporting switched off.
        for (int i = 0; i < 3000 && SubmissionThreadsRunning() > 0; ++i) ::Sleep(10);
        EXPECT_EQ(SubmissionThreadsRunning(), 0);
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
    }

    static LONG Set(const std::vector<tagQNTS_LOCAL_APP_PERMISSION>& records) {
        LONG result = 99;
        EXPECT_EQ(SharedPermissions::SetPermissions(records.data(), ULONG(records.size()), &result), S_OK);
        return result;
    }
    // The records GetPermissions returns, or none with *result.
    static std::vector<tagQNTS_LOCAL_APP_PERMISSION> Get(const wchar_t* path, const wchar_t* hash, ULONG product,
                                                         ULONG feature, LONG* result = nullptr) {
        tagQNTS_LOCAL_APP_PERMISSION* records = reinterpret_cast<tagQNTS_LOCAL_APP_PERMISSION*>(0x1);
        ULONG count = 77;
        LONG local = 99;
        EXPECT_EQ(SharedPermissions::GetPermissions(path, hash, product, feature, &records, &count, &local), S_OK);
        if (result != nullptr) *result = local;
        std::vector<tagQNTS_LOCAL_APP_PERMISSION> out;
        if (local == 0 && records != nullptr) out.assign(records, records + count);
        if (local != 0) {
            EXPECT_EQ(records, nullptr);
            EXPECT_EQ(count, 0u);
        }
        ::CoTaskMemFree(records);
        return out;
    }

    static std::wstring logFile_;
};
std::wstring SharedPermsTest::logFile_;

TEST(B64EncodePathTest, EncodesTheLowerCasedPathWithItsTerminatorWithoutPadding) {
    EXPECT_EQ(B64EncodePath(L"C:\\App.exe").value_or("?"), "YwA6AFwAYQBwAHAALgBlAHgAZQAAAA");
    EXPECT_EQ(B64EncodePath(L"c:\\APP.EXE").value_or("?"), "YwA6AFwAYQBwAHAALgBlAHgAZQAAAA");
    EXPECT_EQ(B64EncodePath(L"").value_or("?"), "AAA");      // two bytes: three characters
    EXPECT_EQ(B64EncodePath(L"A").value_or("?"), "YQAAAA");  // four bytes: a full group and two
    EXPECT_EQ(B64DecodePath("YwA6AFwAYQBwAHAALgBlAHgAZQAAAA"), L"c:\\app.exe");
    // Only A-Z are lower-cased; other characters survive the round trip.
    EXPECT_EQ(B64DecodePath(B64EncodePath(L"C:\\\u00C9t\u00E9\\X.exe").value_or("")), L"c:\\\u00C9t\u00E9\\x.exe");
}

TEST(B64EncodePathTest, DecodingSkipsForeignCharactersAndRefusesPathsTheRecordCannotHold) {
    EXPECT_EQ(B64DecodePath("YwA6\r\nAFwA YQBwAHAA*LgBlAHgAZQAAAA=="), L"c:\\app.exe");
    const std::wstring longest(260, L'x');
    EXPECT_EQ(B64DecodePath(B64EncodePath(longest).value_or("")), longest);
    EXPECT_EQ(B64DecodePath(B64EncodePath(longest + L"y").value_or("")), L"");
}

TEST(LastUpdateTimeTest, OnlyMovesForward) {
    const uint64_t now = LocalFileTimeNow();
    EXPECT_EQ(AdvanceSharedLastUpdateTime(now), now);
    EXPECT_EQ(AdvanceSharedLastUpdateTime(now - 1000), now);
    EXPECT_EQ(SharedLastUpdateTime(), now);
    EXPECT_EQ(AdvanceSharedLastUpdateTime(now + 5), now + 5);
}

TEST_F(SharedPermsTest, StoredPathIsEncodedLowerCaseAndFoundByAnyCaseOfTheFilter) {
    EXPECT_EQ(Set({Record(0, 1, 2, 3, L"C:\\App.exe", kHash)}), 0);
    EXPECT_EQ(Rows(),
              std::vector<std::string>{"YwA6AFwAYQBwAHAALgBlAHgAZQAAAA|0123456789ABCDEF0123456789ABCDEF|1|2|3"});
    auto found = Get(L"c:\\APP.EXE", L"", 0, 0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_STREQ(found[0].pwszPath, L"c:\\app.exe");
    EXPECT_STREQ(found[0].pwszMD5, kHash);
    EXPECT_NE(found[0].dwID, 0u);
    EXPECT_EQ(found[0].mapPerm.dwPermission, 3u);
    EXPECT_TRUE(Get(L"C:\\Other.exe", L"", 0, 0).empty());
    EXPECT_EQ(Get(L"", kHash, 1, 2).size(), 1u);
    EXPECT_TRUE(Get(L"", kHash, 1, 9).empty());
}

TEST_F(SharedPermsTest, NewRecordsAlwaysInsertAndUnknownIdsChangeNothing) {
    const auto record = Record(0, 1, 2, 3, L"C:\\App.exe", kHash);
    EXPECT_EQ(Set({record}), 0);
    EXPECT_EQ(Set({record}), 0);
    EXPECT_EQ(Rows().size(), 2u);
    // The index has both rows under their own ids.
    auto both = Get(L"", kHash, 0, 0);
    ASSERT_EQ(both.size(), 2u);
    EXPECT_NE(both[0].dwID, both[1].dwID);

    EXPECT_EQ(Set({Record(4242, 1, 2, 9, L"C:\\App.exe", kHash)}), 0);
    for (const auto& row : Rows()) EXPECT_EQ(row.back(), '3') << row;

    // An existing id is updated in the store and in the index.
    auto changed = both[1];
    changed.mapPerm.dwPermission = 8;
    EXPECT_EQ(Set({changed}), 0);
    auto after = Get(L"", kHash, 0, 0);
    ASSERT_EQ(after.size(), 2u);
    int eights = 0;
    for (const auto& r : after) eights += r.mapPerm.dwPermission == 8 && r.dwID == changed.dwID;
    EXPECT_EQ(eights, 1);
    FreeSharedPermissionIndex();
    after = Get(L"", kHash, 0, 0);
    eights = 0;
    for (const auto& r : after) eights += r.mapPerm.dwPermission == 8 && r.dwID == changed.dwID;
    EXPECT_EQ(eights, 1) << "the store holds the update as well";
}

TEST_F(SharedPermsTest, StoringOnePermissionChangesEveryPathOfTheHashProductAndFeature) {
    EXPECT_EQ(Set({Record(0, 1, 2, 3, L"C:\\One.exe", kHash), Record(0, 1, 2, 3, L"C:\\Two.exe", kHash),
                   Record(0, 1, 5, 3, L"C:\\One.exe", kHash), Record(0, 1, 2, 3, L"C:\\One.exe", kOtherHash)}),
              0);
    ASSERT_TRUE(LockCache());
    EXPECT_TRUE(SetPermission(L"C:\\ONE.exe", kHash, 1, 2, 7));
    UnlockCache();
    const auto rows = Rows();
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].back(), '7');
    EXPECT_EQ(rows[1].back(), '7');
    EXPECT_EQ(rows[2].back(), '3') << "another feature";
    EXPECT_EQ(rows[3].back(), '3') << "another hash";

    // Without such a row the permission is inserted.
    ASSERT_TRUE(LockCache());
    EXPECT_TRUE(SetPermission(L"C:\\Three.exe", kHash, 4, 4, 1));
    UnlockCache();
    EXPECT_EQ(Rows().size(), 5u);
}

TEST_F(SharedPermsTest, DeleteWithoutAnyFilterIsRefusedAndLogged) {
    EXPECT_EQ(Set({Record(0, 1, 2, 3, L"C:\\App.exe", kHash)}), 0);
    LONG result = 99;
    EXPECT_EQ(SharedPermissions::DeletePermissions(L"", L"", 0, 0, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(SharedPermissions::DeletePermissions(nullptr, nullptr, 0, 0, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Rows().size(), 1u);
    EXPECT_EQ(Get(L"", L"", 0, 0).size(), 1u);
    const std::wstring log = ReadLogText(logFile_);
    EXPECT_NE(log.find(L"TSAPI: Refusing to delete entire shared permission database."), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"TSAPI: Error deleting shared rules."), std::wstring::npos) << log;
}

TEST_F(SharedPermsTest, DeleteRemovesMatchingRowsFromStoreAndIndex) {
    EXPECT_EQ(Set({Record(0, 1, 2, 3, L"C:\\App.exe", kHash), Record(0, 1, 5, 3, L"C:\\App.exe", kHash),
                   Record(0, 1, 2, 3, L"C:\\App.exe", kOtherHash)}),
              0);
    ASSERT_EQ(Get(L"", L"", 0, 0).size(), 3u);
    LONG result = 99;
    EXPECT_EQ(SharedPermissions::DeletePermissions(L"c:\\app.EXE", kHash, 0, 2, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Get(L"", L"", 0, 0).size(), 2u);
    EXPECT_EQ(Rows().size(), 2u);
    // A filter longer than any stored hash is refused rather than cut to another hash.
    EXPECT_EQ(SharedPermissions::DeletePermissions(L"", (std::wstring(kHash) + L"0").c_str(), 0, 0, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(Rows().size(), 2u);
}

TEST_F(SharedPermsTest, EmptyStoreGivesFailureAndIsLoadedAgainOnEveryQuery) {
    const uint64_t loads = SharedPermissionLoads();
    LONG result = 99;
    EXPECT_TRUE(Get(L"", L"", 0, 0, &result).empty());
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(Get(L"", L"", 0, 0, &result).empty());
    EXPECT_EQ(result, -1);
    EXPECT_EQ(SharedPermissionLoads(), loads + 2);
    // Once the store has a row the index is loaded once and then answers.
    EXPECT_EQ(Set({Record(0, 1, 2, 3, L"C:\\App.exe", kHash)}), 0);
    EXPECT_EQ(Get(L"", L"", 0, 0, &result).size(), 1u);
    EXPECT_EQ(Get(L"", L"", 0, 0, &result).size(), 1u);
    EXPECT_EQ(SharedPermissionLoads(), loads + 3);
}

TEST_F(SharedPermsTest, FirstMatchIsTheLastElement) {
    EXPECT_EQ(Set({Record(0, 1, 1, 1, L"C:\\A.exe", kHash), Record(0, 1, 2, 2, L"C:\\B.exe", kHash),
                   Record(0, 1, 3, 3, L"C:\\C.exe", kOtherHash)}),
              0);
    const auto all = Get(L"", L"", 0, 0);
    ASSERT_EQ(all.size(), 3u);
    std::vector<ULONG> order;
    ASSERT_TRUE(VisitSharedPermissionIndex(
        [&](const std::string&, const tagQNTS_LOCAL_APP_PERMISSION& r) { order.push_back(r.dwID); }));
    ASSERT_EQ(order.size(), 3u);
    for (size_t i = 0; i < order.size(); ++i) EXPECT_EQ(all[all.size() - 1 - i].dwID, order[i]);
}

TEST_F(SharedPermsTest, CallerHashIsQuotedAndOverlongFieldsAreRefused) {
    // A hash with quotes is stored as given and cannot change the statement.
    const wchar_t hostile[] = L"x', '1', '1', '1'); --";
    EXPECT_EQ(Set({Record(0, 1, 2, 3, L"C:\\App.exe", hostile)}), 0);
    auto rows = Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], "YwA6AFwAYQBwAHAALgBlAHgAZQAAAA|x', '1', '1', '1'); --|1|2|3");
    EXPECT_EQ(Get(L"", hostile, 0, 0).size(), 1u);

    // Fields without a terminator (33 hash units, 261 path units) fail the batch.
    auto longHash = Record(0, 1, 2, 3, L"C:\\App.exe", kHash);
    for (wchar_t& c : longHash.pwszMD5) c = L'A';
    auto longPath = Record(0, 1, 2, 3, L"", kHash);
    for (wchar_t& c : longPath.pwszPath) c = L'p';
    EXPECT_EQ(Set({longHash}), -1);
    EXPECT_EQ(Set({longPath}), -1);
    EXPECT_EQ(Rows().size(), 1u);
    // The longest path a record holds is stored and read back whole.
    const std::wstring longest = L"c:\\" + std::wstring(257, L'q');
    EXPECT_EQ(Set({Record(0, 1, 2, 3, longest, kHash)}), 0);
    auto found = Get(longest.c_str(), L"", 0, 0);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(std::wstring(found[0].pwszPath), longest);
}

TEST_F(SharedPermsTest, FailedRecordKeepsTheRecordsWrittenBeforeIt) {
    auto bad = Record(0, 1, 2, 3, L"C:\\Bad.exe", kHash);
    for (wchar_t& c : bad.pwszMD5) c = L'B';
    EXPECT_EQ(Set({Record(0, 1, 2, 3, L"C:\\First.exe", kHash), bad, Record(0, 1, 2, 3, L"C:\\Third.exe", kHash)}), -1);
    EXPECT_EQ(Rows().size(), 1u);
}

TEST_F(SharedPermsTest, CountsNullsAndOutParametersAreDefined) {
    LONG result = 99;
    EXPECT_EQ(SharedPermissions::SetPermissions(nullptr, 0, &result), S_OK);
    EXPECT_EQ(result, 0);
    result = 99;
    EXPECT_EQ(SharedPermissions::SetPermissions(nullptr, 3, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(SharedPermissions::SetPermissions(nullptr, 0, nullptr), E_POINTER);
    EXPECT_EQ(SharedPermissions::DeletePermissions(L"", kHash, 0, 0, nullptr), E_POINTER);
    tagQNTS_LOCAL_APP_PERMISSION* records = nullptr;
    ULONG count = 0;
    EXPECT_EQ(SharedPermissions::GetPermissions(L"", L"", 0, 0, nullptr, &count, &result), E_POINTER);
    EXPECT_EQ(SharedPermissions::GetPermissions(L"", L"", 0, 0, &records, nullptr, &result), E_POINTER);
    EXPECT_EQ(SharedPermissions::GetPermissions(L"", L"", 0, 0, &records, &count, nullptr), E_POINTER);
    EXPECT_TRUE(Rows().empty());
}

TEST_F(SharedPermsTest, StoreThatIsNotADatabaseIsRecreated) {
    const std::wstring store = ResolveDataPath(kSharedStoreName, DataBase::kCommonData);
    ASSERT_TRUE(testing::WriteFileBytes(store, std::string(4096, 'Z')));
    EXPECT_EQ(Set({Record(0, 1, 2, 3, L"C:\\App.exe", kHash)}), 0);
    EXPECT_EQ(Get(L"", L"", 0, 0).size(), 1u);
}

TEST_F(SharedPermsTest, LockFailureAnswersUnexpected) {
    HANDLE semaphore = ProcessObjects().sharedPermsWriteSem.Take();
    LONG result = 99;
    const auto record = Record(0, 1, 2, 3, L"C:\\App.exe", kHash);
    EXPECT_EQ(SharedPermissions::SetPermissions(&record, 1, &result), E_UNEXPECTED);
    EXPECT_EQ(result, -1);
    result = 99;
    EXPECT_EQ(SharedPermissions::DeletePermissions(L"", kHash, 0, 0, &result), E_UNEXPECTED);
    EXPECT_EQ(result, -1);
    ProcessObjects().sharedPermsWriteSem.reset(semaphore);
    EXPECT_TRUE(Rows().empty());
}

}  // namespace
}  // namespace tessary
