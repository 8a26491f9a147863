#include "updater/store_merge.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/owner_check.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "tests/support/local_store.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::FileExists;
using testing::ScopedTempDir;
using testing::WriteFileBytes;
using Rows = std::vector<std::vector<std::string>>;

bool Exec(sqlite* db, const std::string& sql) {
    return sqlite_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

Rows Select(sqlite* db, const std::string& sql) {
    Rows rows;
    UniqueSqliteTable table;
    int count = 0;
    int columns = 0;
    if (sqlite_get_table(db, sql.c_str(), table.put(), &count, &columns, nullptr) != SQLITE_OK) return rows;
    for (int r = 1; r <= count; ++r) {
        std::vector<std::string> row;
        for (int c = 0; c < columns; ++c) {
            const char* v = table.get()[r * columns + c];
            row.push_back(v != nullptr ? v : "<null>");
        }
        rows.push_back(row);
    }
    return rows;
}

std::map<std::string, std::string> Records(sqlite* db) {
    std::map<std::string, std::string> records;
    for (const auto& row : Select(db, "SELECT Hash, Data FROM LocalCache;")) records[row[0]] += row[1] + ";";
    return records;
}

class StoreMergeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { CreateNamedObjects(Deliverable::kUpdateChecker); }
    static void TearDownTestSuite() { CloseNamedObjects(); }

    void SetUp() override {
        localPath_ = ResolveDataPath(kLocalStoreName, DataBase::kCommonData);
        ::DeleteFileW(localPath_.c_str());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
        update_ = sandbox_.File(L"update.xdb");
    }
    void TearDown() override {
        ::DeleteFileW(localPath_.c_str());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
    }

    // A store file at `path` made of the given statements.
    static void MakeStore(const std::wstring& path, const std::vector<std::string>& statements) {
        ::DeleteFileW(path.c_str());
        UniqueSqlite db(sqlite_open(WideToNarrow(path).c_str(), 0, nullptr));
        ASSERT_TRUE(db);
        for (const auto& sql : statements) ASSERT_TRUE(Exec(db.get(), sql)) << sql;
    }
    static void FillLocal(const std::vector<std::string>& statements) {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        for (const auto& sql : statements) ASSERT_TRUE(Exec(db.get(), sql)) << sql;
    }
    static UniqueSqlite Local() {
        UniqueSqlite db;
        EXPECT_TRUE(OpenLocalStore(&db));
        return db;
    }

    ScopedTempDir sandbox_;
    std::wstring localPath_;
    std::wstring update_;
};

TEST_F(StoreMergeTest, RecordsAreReplacedByHashAndTheLaterDuplicateWins) {
    FillLocal({"INSERT INTO LocalCache VALUES('H1','old1');", "INSERT INTO LocalCache VALUES('H2','old2');",
               "INSERT INTO LocalCache VALUES('H2','older2');"});
    MakeStore(update_, {"CREATE TABLE LocalCache(Hash,Data);", "INSERT INTO LocalCache VALUES('H2','new2');",
                        "INSERT INTO LocalCache VALUES('H3','first3');", "INSERT INTO LocalCache VALUES('H3','last3');",
                        "INSERT INTO LocalCache VALUES('it''s','quote''d');"});
    EXPECT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);
    EXPECT_TRUE(FileExists(update_)) << "the caller decides what becomes of the file";

    UniqueSqlite db = Local();
    const auto records = Records(db.get());
    EXPECT_EQ(records.at("H1"), "old1;");
    EXPECT_EQ(records.at("H2"), "new2;") << "every older record of the hash goes";
    EXPECT_EQ(records.at("H3"), "last3;");
    EXPECT_EQ(records.at("it's"), "quote'd;");
    EXPECT_EQ(Select(db.get(), "SELECT name FROM sqlite_master WHERE type='index' AND name='LocalIndex';").size(), 1u);
}

TEST_F(StoreMergeTest, SmallTablesAreReplacedWholeOnlyWhenTheUpdateHasRows) {
    FillLocal({"INSERT INTO Settings VALUES('A','1');", "INSERT INTO Settings VALUES('B','2');",
               "INSERT INTO DigSigInfo3 VALUES(1,'sig-old');", "INSERT INTO LocalExpInfo VALUES('h','b','d','f');"});
    // Empty Settings and LocalExpInfo keep the local rows; one DigSigInfo3 row replaces them all,
    // a row with a missing value is not carried over.
    MakeStore(update_, {"CREATE TABLE Settings( Key TEXT, Value TEXT  );",
                        "CREATE TABLE DigSigInfo3( Type INTEGER, Data TEXT  );",
                        "INSERT INTO DigSigInfo3 VALUES(2,'sig-new');", "INSERT INTO DigSigInfo3 VALUES(3,NULL);"});
    ASSERT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);
    {
        UniqueSqlite db = Local();
        EXPECT_EQ(Select(db.get(), "SELECT * FROM Settings ORDER BY Key;"), (Rows{{"A", "1"}, {"B", "2"}}));
        EXPECT_EQ(Select(db.get(), "SELECT * FROM DigSigInfo3;"), (Rows{{"2", "sig-new"}}));
        EXPECT_EQ(Select(db.get(), "SELECT * FROM LocalExpInfo;"), (Rows{{"h", "b", "d", "f"}}));
    }

    MakeStore(update_, {"CREATE TABLE Settings( Key TEXT, Value TEXT  );", "INSERT INTO Settings VALUES('C','3');",
                        "CREATE TABLE LocalExpInfo( Hash TEXT, BinName TEXT, Desc TEXT, Flag TEXT  );",
                        "INSERT INTO LocalExpInfo VALUES('h2','b2','d2','f2');"});
    ASSERT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);
    UniqueSqlite db = Local();
    EXPECT_EQ(Select(db.get(), "SELECT * FROM Settings;"), (Rows{{"C", "3"}}));
    EXPECT_EQ(Select(db.get(), "SELECT * FROM LocalExpInfo;"), (Rows{{"h2", "b2", "d2", "f2"}}));
    EXPECT_EQ(Select(db.get(), "SELECT * FROM DigSigInfo3;"), (Rows{{"2", "sig-new"}}));
}

TEST_F(StoreMergeTest, StampsAccumulateAndTheVersionIsTheLargest) {
    EXPECT_EQ(RecordStoreVersion(), "00000000");
    EXPECT_FALSE(registry::KeyExists(HKEY_LOCAL_MACHINE, keys::kTessary)) << "an empty store writes nothing";

    MakeStore(update_, {"CREATE TABLE LocalCache(Hash,Data);", "CREATE TABLE CreateDate( TimeStamp INTEGER );",
                        "INSERT INTO CreateDate VALUES(20240301);"});
    ASSERT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);
    MakeStore(update_, {"CREATE TABLE CreateDate( TimeStamp INTEGER );", "INSERT INTO CreateDate VALUES(20240101);",
                        "INSERT INTO CreateDate VALUES(NULL);",
                        // Text from the download reaches the statement quoted, never as SQL.
                        "INSERT INTO CreateDate VALUES('1''); DROP TABLE LocalCache; --');"});
    ASSERT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);

    UniqueSqlite db = Local();
    EXPECT_EQ(Select(db.get(), "SELECT COUNT(*) FROM CreateDate;"), (Rows{{"3"}}));
    EXPECT_EQ(Select(db.get(), "SELECT name FROM sqlite_master WHERE name='LocalCache';").size(), 1u);
    db.reset();
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, L"Other", 1));
    Exec(Local().get(), "DELETE FROM CreateDate WHERE TimeStamp NOT IN (20240301, 20240101);");
    EXPECT_EQ(RecordStoreVersion(), "20240301") << "the largest stamp, not the last merged";
    std::vector<uint8_t> raw;
    DWORD type = 0;
    ASSERT_TRUE(registry::ReadRawValue(HKEY_LOCAL_MACHINE, keys::kTessary, L"DBVersion", &type, &raw));
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(raw.size(), 16u) << "stored without the terminating zero";
}

// What a merge that did not happen must leave: every local table as it was.
struct LocalState {
    std::string records, stamps, settings, signatures, exceptions;
    bool operator==(const LocalState&) const = default;
};

std::string Joined(const Rows& rows) {
    std::string text;
    for (const auto& row : rows) {
        for (const auto& cell : row) text += cell + "|";
        text += ";";
    }
    return text;
}

LocalState ReadLocal() {
    UniqueSqlite db;
    EXPECT_TRUE(OpenLocalStore(&db));
    return {Joined(Select(db.get(), "SELECT * FROM LocalCache ORDER BY Hash, Data;")),
            Joined(Select(db.get(), "SELECT * FROM CreateDate ORDER BY TimeStamp;")),
            Joined(Select(db.get(), "SELECT * FROM Settings ORDER BY Key;")),
            Joined(Select(db.get(), "SELECT * FROM DigSigInfo3 ORDER BY Data;")),
            Joined(Select(db.get(), "SELECT * FROM LocalExpInfo ORDER BY Hash;"))};
}

// An update that touches every table of the store.
const std::vector<std::string> kFullUpdate = {
    "CREATE TABLE LocalCache(Hash,Data);",
    "INSERT INTO LocalCache VALUES('H1','new1');",
    "INSERT INTO LocalCache VALUES('H9','new9');",
    "CREATE TABLE CreateDate( TimeStamp INTEGER );",
    "INSERT INTO CreateDate VALUES(20240301);",
    "CREATE TABLE DigSigInfo3( Type INTEGER, Data TEXT  );",
    "INSERT INTO DigSigInfo3 VALUES(2,'new signer');",
    "CREATE TABLE Settings( Key TEXT, Value TEXT  );",
    "INSERT INTO Settings VALUES('B','2');",
    "CREATE TABLE LocalExpInfo( Hash TEXT, BinName TEXT, Desc TEXT, Flag TEXT  );",
    "INSERT INTO LocalExpInfo VALUES('X2','x2.exe','d','f');",
};

class StoreMergeFailureTest : public StoreMergeTest {
protected:
    void SetUp() override {
        StoreMergeTest::SetUp();
        FillLocal({"INSERT INTO LocalCache VALUES('H1','old1');", "INSERT INTO CreateDate VALUES(20240101);",
                   "INSERT INTO Settings VALUES('A','1');", "INSERT INTO DigSigInfo3 VALUES(1,'old signer');",
                   "INSERT INTO LocalExpInfo VALUES('X1','x1.exe','d','f');"});
        before_ = ReadLocal();
    }
    LocalState before_;
};

// The owner the seam reports for any merge file.
security::FileOwner g_owner = security::FileOwner::kTrusted;
std::optional<security::FileOwner> OwnerOfUpdate(const std::wstring&) { return g_owner; }

TEST_F(StoreMergeFailureTest, FilesThatAreNotStoresOrHostileAreRefusedBeforeAnythingIsWritten) {
    const std::string v2 = std::string("** This file contains an SQLite 2.1 database **") + std::string(3000, '\x03');
    const struct {
        const char* name;
        std::string bytes;                    // the file as it is, or
        std::vector<std::string> statements;  // the store made of these
        const char* reason;                   // in the refusal's reason
    } kCases[] = {
        {"text", "this is not a database at all, just text", {}, "cannot be opened"},
        {"damaged header", std::string("SQLite format 3\0garbage", 23), {}, "cannot be opened"},
        {"SQLite 2 file", v2, {}, "SQLite 2"},
        // A view over an endless query would hold the pass for ever or fill memory.
        {"LocalCache view over an endless query",
         {},
         {"CREATE VIEW LocalCache AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
          "SELECT x AS Hash, x AS Data FROM c;"},
         "view"},
        {"Settings view",
         {},
         {"CREATE TABLE LocalCache(Hash,Data);", "CREATE VIEW Settings AS SELECT 'A' AS Key, 'B' AS Value;"},
         "view"},
        {"unrelated view", {}, {"CREATE TABLE LocalCache(Hash,Data);", "CREATE VIEW Other AS SELECT 1;"}, "view"},
        {"trigger",
         {},
         {"CREATE TABLE LocalCache(Hash,Data);", "CREATE TRIGGER t AFTER INSERT ON LocalCache BEGIN SELECT 1; END;"},
         "trigger"},
        {"store name used by an index",
         {},
         {"CREATE TABLE T(a);", "CREATE INDEX Settings ON T(a);"},
         "not a plain table"},
        // A computed column runs the file's expression for every row read.
        {"computed column",
         {},
         {"CREATE TABLE LocalCache(Hash, Data AS (upper(Hash) || hex(Hash)));", "INSERT INTO LocalCache VALUES('H1');"},
         "computed columns"},
        // The library would parse 100,000 schema entries before any bound of the merge applies.
        {"schema of 100,000 tables",
         {},
         {"CREATE TABLE LocalCache(Hash,Data);", testing::kBloatedSchemaSql},
         "schema has more than 400 entries"},
        {"value larger than the cap",
         {},
         {"CREATE TABLE LocalCache(Hash, Data);", "INSERT INTO LocalCache VALUES('H1', zeroblob(5000000));"},
         "too big"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        if (c.statements.empty()) {
            ASSERT_TRUE(WriteFileBytes(update_, c.bytes));
        } else {
            MakeStore(update_, c.statements);
        }
        const std::string bytes = testing::ReadBytes(update_);
        const MergeResult result = MergeStoreFile(update_);
        EXPECT_EQ(result.outcome, MergeOutcome::kRefused) << result.reason;
        EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
        EXPECT_EQ(testing::ReadBytes(update_), bytes) << "the file is never written";
        EXPECT_TRUE(ReadLocal() == before_);
    }

    // A store someone else made (or whose owner cannot be read) is never merged;
    // one of SYSTEM or Administrators is.
    for (const security::FileOwner owner : {security::FileOwner::kForeign, security::FileOwner::kUnreadable}) {
        MakeStore(update_, {"CREATE TABLE LocalCache(Hash,Data);", "INSERT INTO LocalCache VALUES('FFFF','x');"});
        g_owner = owner;
        const security::OwnerOverride previous = security::SetOwnerOverrideForTesting(&OwnerOfUpdate);
        const MergeResult result = MergeStoreFile(update_);
        security::SetOwnerOverrideForTesting(previous);
        EXPECT_EQ(result.outcome, MergeOutcome::kRefused) << result.reason;
        EXPECT_NE(result.reason.find(WideToNarrow(security::OwnerText(owner))), std::string::npos) << result.reason;
        EXPECT_TRUE(ReadLocal() == before_);
    }

    // An empty file and one without any store table are valid updates of nothing.
    ASSERT_TRUE(WriteFileBytes(update_, ""));
    EXPECT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);
    MakeStore(update_, {"CREATE TABLE Unrelated(x);", "INSERT INTO Unrelated VALUES(1);"});
    EXPECT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);
    EXPECT_TRUE(ReadLocal() == before_);
}

TEST_F(StoreMergeFailureTest, AnyFailedStatementRollsTheWholeMergeBack) {
    // Each trigger on the local store makes one statement of the merge fail.
    const struct {
        const char* where;
        const char* trigger;
    } kInjections[] = {
        {"a record's insert", "BEFORE INSERT ON LocalCache WHEN NEW.Hash = 'H9'"},
        {"a record's delete", "BEFORE DELETE ON LocalCache"},
        {"the stamp's insert", "BEFORE INSERT ON CreateDate"},
        {"a settings row", "BEFORE INSERT ON Settings"},
        {"the last table's insert", "BEFORE INSERT ON LocalExpInfo"},
    };
    for (const auto& injection : kInjections) {
        SCOPED_TRACE(injection.where);
        MakeStore(update_, kFullUpdate);
        FillLocal({std::string("CREATE TRIGGER Inject ") + injection.trigger +
                   " BEGIN SELECT RAISE(ABORT, 'injected failure'); END;"});
        const MergeResult result = MergeStoreFile(update_);
        FillLocal({"DROP TRIGGER Inject;"});
        EXPECT_EQ(result.outcome, MergeOutcome::kRetry) << "the file is not to blame";
        EXPECT_NE(result.reason.find("injected failure"), std::string::npos) << result.reason;
        EXPECT_TRUE(ReadLocal() == before_) << "no table, and no stamp, lands without the others";
        EXPECT_EQ(RecordStoreVersion(), "20240101");
    }
    // Without the failure the same file lands whole.
    EXPECT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);
    const LocalState after = ReadLocal();
    EXPECT_EQ(after.records, "H1|new1|;H9|new9|;");
    EXPECT_EQ(after.stamps, "20240101|;20240301|;");
    EXPECT_EQ(after.settings, "B|2|;");
    EXPECT_EQ(after.signatures, "2|new signer|;");
    EXPECT_EQ(after.exceptions, "X2|x2.exe|d|f|;");
}

TEST_F(StoreMergeFailureTest, ReaderHoldingTheStoreDelaysTheMergeWhichThenLandsWhole) {
    MakeStore(update_, kFullUpdate);
    // A lookup in another process holds a shared lock while the merge runs; the
    // merge commits once it is gone.
    UniqueSqlite reader(sqlite_open(WideToNarrow(localPath_).c_str(), 0, nullptr));
    ASSERT_TRUE(Exec(reader.get(), "BEGIN;"));
    ASSERT_EQ(Select(reader.get(), "SELECT count(*) FROM LocalCache;"), (Rows{{"1"}}));
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        ::WaitForSingleObject(release, 1500);
        Exec(reader.get(), "COMMIT;");
    });
    const MergeResult result = MergeStoreFile(update_);
    ::SetEvent(release);
    holder.join();
    ::CloseHandle(release);
    EXPECT_EQ(result.outcome, MergeOutcome::kMerged) << result.reason;
    const LocalState after = ReadLocal();
    EXPECT_EQ(after.records, "H1|new1|;H9|new9|;");
    EXPECT_EQ(after.stamps, "20240101|;20240301|;");
    EXPECT_EQ(after.exceptions, "X2|x2.exe|d|f|;");

    // A writer holding the store for longer than the merge waits: nothing changes
    // and the failure says why.
    FillLocal({"DELETE FROM CreateDate WHERE TimeStamp = 20240301;"});
    const LocalState now = ReadLocal();
    UniqueSqlite writer(sqlite_open(WideToNarrow(localPath_).c_str(), 0, nullptr));
    ASSERT_TRUE(Exec(writer.get(), "BEGIN EXCLUSIVE;"));
    const MergeResult locked = MergeStoreFile(update_);
    Exec(writer.get(), "COMMIT;");
    EXPECT_EQ(locked.outcome, MergeOutcome::kRetry);
    EXPECT_NE(locked.reason.find("locked"), std::string::npos) << locked.reason;
    EXPECT_TRUE(ReadLocal() == now);
}

TEST_F(StoreMergeFailureTest, SmallTablesSleepWithinTheirBudget) {
    // 1,000 settings rows at 10 ms each would sleep ten seconds.
    std::vector<std::string> statements = {"CREATE TABLE Settings( Key TEXT, Value TEXT  );", "BEGIN;"};
    for (int i = 0; i < 1000; ++i)
        statements.push_back("INSERT INTO Settings VALUES('K" + std::to_string(i) + "','v');");
    statements.push_back("COMMIT;");
    MakeStore(update_, statements);
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(MergeStoreFile(update_).outcome, MergeOutcome::kMerged);
    EXPECT_LT(::GetTickCount64() - start, 1000 * 10ull) << "the sleeps stop at their budget";
    EXPECT_EQ(Select(Local().get(), "SELECT count(*) FROM Settings;"), (Rows{{"1000"}}));
}

TEST_F(StoreMergeTest, ReloadEventsAreSignalledWhateverTheOutcome) {
    NamedObjects& objects = ProcessObjects();
    const HANDLE events[] = {objects.xcEvent.get(), objects.lcEvent.get(), objects.digSigEvent.get()};
    for (const std::string& content : {std::string("not a database"), std::string()}) {
        for (HANDLE event : events) ::WaitForSingleObject(event, 0);  // clear the auto-reset events
        ASSERT_TRUE(WriteFileBytes(update_, content));
        MergeStoreFile(update_);
        for (HANDLE event : events) EXPECT_EQ(::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    }
}

}  // namespace
}  // namespace tessary
