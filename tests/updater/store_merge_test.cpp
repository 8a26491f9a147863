#include "updater/store_merge.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/product_keys.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
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
    EXPECT_TRUE(MergeStoreFile(update_));
    EXPECT_FALSE(FileExists(update_)) << "the merged file is deleted";

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
    MergeStoreFile(update_);
    {
        UniqueSqlite db = Local();
        EXPECT_EQ(Select(db.get(), "SELECT * FROM Settings ORDER BY Key;"), (Rows{{"A", "1"}, {"B", "2"}}));
        EXPECT_EQ(Select(db.get(), "SELECT * FROM DigSigInfo3;"), (Rows{{"2", "sig-new"}}));
        EXPECT_EQ(Select(db.get(), "SELECT * FROM LocalExpInfo;"), (Rows{{"h", "b", "d", "f"}}));
    }

    MakeStore(update_, {"CREATE TABLE Settings( Key TEXT, Value TEXT  );", "INSERT INTO Settings VALUES('C','3');",
                        "CREATE TABLE LocalExpInfo( Hash TEXT, BinName TEXT, Desc TEXT, Flag TEXT  );",
                        "INSERT INTO LocalExpInfo VALUES('h2','b2','d2','f2');"});
    MergeStoreFile(update_);
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
    MergeStoreFile(update_);
    MakeStore(update_, {"CREATE TABLE CreateDate( TimeStamp INTEGER );", "INSERT INTO CreateDate VALUES(20240101);",
                        "INSERT INTO CreateDate VALUES(NULL);",
                        // Text from the download reaches the statement quoted, never as SQL.
                        "INSERT INTO CreateDate VALUES('1''); DROP TABLE LocalCache; --');"});
    MergeStoreFile(update_);

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

TEST_F(StoreMergeTest, BadMergeFilesLoseNoLocalDataAndReloadEventsAreSignalled) {
    FillLocal({"INSERT INTO LocalCache VALUES('H1','keep');", "INSERT INTO Settings VALUES('A','1');"});
    NamedObjects& objects = ProcessObjects();
    const HANDLE events[] = {objects.xcEvent.get(), objects.lcEvent.get(), objects.digSigEvent.get()};
    for (const std::string& content : {std::string("this is not a database at all, just text"), std::string(),
                                       std::string("SQLite format 3\0garbage", 23)}) {
        for (HANDLE event : events) ::WaitForSingleObject(event, 0);  // clear the auto-reset events
        ASSERT_TRUE(WriteFileBytes(update_, content));
        EXPECT_TRUE(MergeStoreFile(update_));
        EXPECT_FALSE(FileExists(update_));
        for (HANDLE event : events) EXPECT_EQ(::WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        UniqueSqlite db = Local();
        EXPECT_EQ(Records(db.get()).at("H1"), "keep;");
        EXPECT_EQ(Select(db.get(), "SELECT * FROM Settings;"), (Rows{{"A", "1"}}));
    }

    // A file with none of the store's tables merges nothing and is deleted.
    MakeStore(update_, {"CREATE TABLE Unrelated(x);", "INSERT INTO Unrelated VALUES(1);"});
    MergeStoreFile(update_);
    EXPECT_FALSE(FileExists(update_));
    UniqueSqlite db = Local();
    EXPECT_EQ(Records(db.get()).size(), 1u);
}

TEST_F(StoreMergeTest, LockedLocalStoreKeepsItsRows) {
    FillLocal({"INSERT INTO LocalCache VALUES('H1','keep');", "INSERT INTO Settings VALUES('A','1');"});
    MakeStore(update_, {"CREATE TABLE LocalCache(Hash,Data);", "INSERT INTO LocalCache VALUES('H1','new');",
                        "CREATE TABLE Settings( Key TEXT, Value TEXT  );", "INSERT INTO Settings VALUES('B','2');"});
    {
        UniqueSqlite holder(sqlite_open(WideToNarrow(localPath_).c_str(), 0, nullptr));
        ASSERT_TRUE(Exec(holder.get(), "BEGIN EXCLUSIVE;"));
        EXPECT_TRUE(MergeStoreFile(update_));
        Exec(holder.get(), "COMMIT;");
    }
    UniqueSqlite db = Local();
    EXPECT_EQ(Records(db.get()).at("H1"), "keep;");
    EXPECT_EQ(Select(db.get(), "SELECT * FROM Settings;"), (Rows{{"A", "1"}}));
}

}  // namespace
}  // namespace tessary
