#include "store/sqlite_adapter.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::ScopedTempDir;
using testing::WriteFileBytes;

class SqliteAdapterTest : public ::testing::Test {
protected:
    std::string Narrow(const std::wstring& name) { return WideToNarrow(dir_.File(name)); }
    ScopedTempDir dir_;
};

TEST_F(SqliteAdapterTest, RefusesAFileThatIsNotADatabase) {
    ASSERT_TRUE(WriteFileBytes(dir_.File(L"junk.xdb"), std::string(4096, 'x')));
    char* err = nullptr;
    EXPECT_EQ(sqlite_open(Narrow(L"junk.xdb").c_str(), 0, &err), nullptr);
    ASSERT_NE(err, nullptr);
    sqlite_freemem(err);

    // A file of the older format is refused by name and never written: neither
    // the read-write nor the read-only open changes a byte of it.
    const std::string v2 = std::string("** This file contains an SQLite 2.1 database **") + std::string(2000, '\x01');
    ASSERT_TRUE(WriteFileBytes(dir_.File(L"v2.xdb"), v2));
    EXPECT_TRUE(sqlite_is_version2_file(Narrow(L"v2.xdb").c_str()));
    EXPECT_FALSE(sqlite_is_version2_file(Narrow(L"junk.xdb").c_str()));
    EXPECT_FALSE(sqlite_is_version2_file(Narrow(L"absent.xdb").c_str()));
    err = nullptr;
    EXPECT_EQ(sqlite_open(Narrow(L"v2.xdb").c_str(), 0, &err), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "file is an SQLite 2 database");
    sqlite_freemem(err);
    int code = SQLITE_OK;
    EXPECT_EQ(sqlite_open_readonly(Narrow(L"v2.xdb").c_str(), &code, nullptr), nullptr);
    EXPECT_EQ(code, SQLITE_NOTADB);
    // The open that leaves a read transaction refuses the same files.
    EXPECT_EQ(sqlite_open_reading(Narrow(L"v2.xdb").c_str(), nullptr), nullptr);
    EXPECT_EQ(sqlite_open_reading(Narrow(L"junk.xdb").c_str(), nullptr), nullptr);
    EXPECT_EQ(testing::ReadBytes(dir_.File(L"v2.xdb")), v2);
}

TEST_F(SqliteAdapterTest, ReadingOpenHoldsItsReadTransactionUntilCommit) {
    {
        UniqueSqlite db(sqlite_open(Narrow(L"rt.xdb").c_str(), 0, nullptr));
        ASSERT_EQ(sqlite_exec(db.get(), "CREATE TABLE T(v);", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    UniqueSqlite reader(sqlite_open_reading(Narrow(L"rt.xdb").c_str(), nullptr));
    ASSERT_TRUE(reader);
    // The transaction is open: another BEGIN is refused, and a writer cannot
    // commit past the reader's lock until the reader commits.
    EXPECT_NE(sqlite_exec(reader.get(), "BEGIN;", nullptr, nullptr, nullptr), SQLITE_OK);
    UniqueSqlite writer(sqlite_open(Narrow(L"rt.xdb").c_str(), 0, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_EQ(sqlite_exec(writer.get(), "INSERT INTO T VALUES(1);", nullptr, nullptr, nullptr) & 0xFF, SQLITE_BUSY);
    EXPECT_EQ(sqlite_exec(reader.get(), "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite_exec(writer.get(), "INSERT INTO T VALUES(1);", nullptr, nullptr, nullptr), SQLITE_OK);
    // A new file opens too (and is created), in the same state.
    UniqueSqlite fresh(sqlite_open_reading(Narrow(L"rt-new.xdb").c_str(), nullptr));
    ASSERT_TRUE(fresh);
    EXPECT_EQ(sqlite_exec(fresh.get(), "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
}

TEST_F(SqliteAdapterTest, ReadOnlyOpenNeitherCreatesNorChangesTheFile) {
    int code = SQLITE_OK;
    EXPECT_EQ(sqlite_open_readonly(Narrow(L"absent.xdb").c_str(), &code, nullptr), nullptr);
    EXPECT_EQ(code, SQLITE_CANTOPEN);
    EXPECT_FALSE(testing::FileExists(dir_.File(L"absent.xdb")));
    {
        UniqueSqlite db(sqlite_open(Narrow(L"r.xdb").c_str(), 0, nullptr));
        ASSERT_EQ(sqlite_exec(db.get(), "CREATE TABLE T(v); INSERT INTO T VALUES(1);", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    UniqueSqlite db(sqlite_open_readonly(Narrow(L"r.xdb").c_str(), &code, nullptr));
    ASSERT_TRUE(db);
    EXPECT_EQ(sqlite_exec(db.get(), "INSERT INTO T VALUES(2);", nullptr, nullptr, nullptr), SQLITE_READONLY);
    EXPECT_EQ(sqlite_exec(db.get(), "CREATE TABLE U(v);", nullptr, nullptr, nullptr), SQLITE_READONLY);
}

TEST_F(SqliteAdapterTest, OpensNewAndEmptyFiles) {
    UniqueSqlite db(sqlite_open(Narrow(L"new.xdb").c_str(), 0, nullptr));
    ASSERT_TRUE(db);
    ASSERT_TRUE(WriteFileBytes(dir_.File(L"empty.xdb"), ""));
    UniqueSqlite empty(sqlite_open(Narrow(L"empty.xdb").c_str(), 0, nullptr));
    EXPECT_TRUE(empty);
    EXPECT_EQ(sqlite_open(static_cast<const char*>(nullptr), 0, nullptr), nullptr);
    EXPECT_EQ(sqlite_open(static_cast<const wchar_t*>(nullptr), 0, nullptr), nullptr);
}

TEST_F(SqliteAdapterTest, GetTableHasColumnNamesFirstAndNullsAsNull) {
    UniqueSqlite db(sqlite_open(Narrow(L"t.xdb").c_str(), 0, nullptr));
    ASSERT_TRUE(db);
    ASSERT_EQ(sqlite_exec(db.get(), "CREATE TABLE T(a,b); INSERT INTO T VALUES('x',NULL); INSERT INTO T VALUES(1,2);",
                          nullptr, nullptr, nullptr),
              SQLITE_OK);
    UniqueSqliteTable table;
    int rows = -1;
    int columns = -1;
    ASSERT_EQ(sqlite_get_table(db.get(), "SELECT a,b FROM T ORDER BY rowid;", table.put(), &rows, &columns, nullptr),
              SQLITE_OK);
    ASSERT_EQ(rows, 2);
    ASSERT_EQ(columns, 2);
    char** t = table.get();
    EXPECT_STREQ(t[0], "a");
    EXPECT_STREQ(t[1], "b");
    EXPECT_STREQ(t[2], "x");
    EXPECT_EQ(t[3], nullptr);
    EXPECT_STREQ(t[4], "1");
    EXPECT_STREQ(t[5], "2");
}

TEST_F(SqliteAdapterTest, QueryWithoutRowsSucceedsWithItsColumns) {
    UniqueSqlite db(sqlite_open(Narrow(L"e.xdb").c_str(), 0, nullptr));
    ASSERT_EQ(sqlite_exec(db.get(), "CREATE TABLE T(a,b,c);", nullptr, nullptr, nullptr), SQLITE_OK);
    UniqueSqliteTable table;
    int rows = -1;
    int columns = -1;
    ASSERT_EQ(sqlite_get_table(db.get(), "SELECT * FROM T;", table.put(), &rows, &columns, nullptr), SQLITE_OK);
    ASSERT_TRUE(table);
    EXPECT_EQ(rows, 0);
    ASSERT_EQ(columns, 3);
    EXPECT_STREQ(table.get()[2], "c");
    // Statements without rows of their own around a query, and a query of another
    // width after it, as the classic table reader treats them.
    ASSERT_EQ(sqlite_get_table(db.get(), "INSERT INTO T VALUES(1,2,3); SELECT a, b FROM T; DELETE FROM T;", table.put(),
                               &rows, &columns, nullptr),
              SQLITE_OK);
    EXPECT_EQ(rows, 1);
    EXPECT_EQ(columns, 2);
    EXPECT_EQ(sqlite_get_table(db.get(), "SELECT a FROM T; SELECT a, b FROM T;", table.put(), &rows, &columns, nullptr),
              SQLITE_ERROR);
    EXPECT_FALSE(table);
}

TEST_F(SqliteAdapterTest, SteppedRowsComeOneAtATimeWithTheErrorAtFinalize) {
    UniqueSqlite db(sqlite_open(Narrow(L"s.xdb").c_str(), 0, nullptr));
    ASSERT_EQ(sqlite_exec(db.get(), "CREATE TABLE T(a,b); INSERT INTO T VALUES('x',NULL); INSERT INTO T VALUES(1,2);",
                          nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite_vm* raw = nullptr;
    const char* tail = nullptr;
    ASSERT_EQ(sqlite_compile(db.get(), "SELECT a, b FROM T ORDER BY rowid; SELECT 2;", &tail, &raw, nullptr),
              SQLITE_OK);
    UniqueSqliteVm vm(raw);
    EXPECT_STREQ(tail, " SELECT 2;");
    int columns = 0;
    const char** values = nullptr;
    const char** names = nullptr;
    ASSERT_EQ(sqlite_step(vm.get(), &columns, &values, &names), SQLITE_ROW);
    ASSERT_EQ(columns, 2);
    EXPECT_STREQ(names[1], "b");
    EXPECT_STREQ(values[0], "x");
    EXPECT_EQ(values[1], nullptr);
    ASSERT_EQ(sqlite_step(vm.get(), &columns, &values, &names), SQLITE_ROW);
    EXPECT_STREQ(values[1], "2");
    EXPECT_EQ(sqlite_step(vm.get(), &columns, &values, &names), SQLITE_DONE);
    EXPECT_EQ(sqlite_finalize(vm.Take(), nullptr), SQLITE_OK);

    char* err = nullptr;
    EXPECT_EQ(sqlite_compile(db.get(), "SELECT * FROM Missing;", nullptr, &raw, &err), SQLITE_ERROR);
    EXPECT_EQ(raw, nullptr);
    ASSERT_NE(err, nullptr);
    sqlite_freemem(err);

    // A step that fails keeps failing, and finalize hands out why.
    ASSERT_EQ(sqlite_compile(db.get(), "SELECT abs(-9223372036854775807 - 1);", nullptr, &raw, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite_step(raw, &columns, &values, nullptr), SQLITE_ERROR);
    EXPECT_EQ(sqlite_step(raw, &columns, &values, nullptr), SQLITE_ERROR);
    err = nullptr;
    EXPECT_EQ(sqlite_finalize(raw, &err), SQLITE_ERROR);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err).find("overflow"), std::string::npos) << err;
    sqlite_freemem(err);
}

int StopAtOnce(void* calls) {
    ++*static_cast<int*>(calls);
    return 1;
}

TEST_F(SqliteAdapterTest, ProgressHandlerAndValueLimitBoundAStatement) {
    UniqueSqlite db(sqlite_open(Narrow(L"p.xdb").c_str(), 0, nullptr));
    const char* endless = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) SELECT count(*) FROM c;";
    int calls = 0;
    sqlite_progress_handler(db.get(), 1000, StopAtOnce, &calls);
    EXPECT_EQ(sqlite_exec(db.get(), endless, nullptr, nullptr, nullptr), SQLITE_INTERRUPT);
    EXPECT_EQ(calls, 1);
    sqlite_progress_handler(db.get(), 0, nullptr, nullptr);
    EXPECT_EQ(sqlite_exec(db.get(), "SELECT 1;", nullptr, nullptr, nullptr), SQLITE_OK);

    EXPECT_GT(sqlite_limit_value_bytes(db.get(), 1000), 1000);
    EXPECT_EQ(sqlite_exec(db.get(), "SELECT randomblob(1001);", nullptr, nullptr, nullptr), SQLITE_TOOBIG);
    EXPECT_EQ(sqlite_exec(db.get(), "SELECT randomblob(1000);", nullptr, nullptr, nullptr), SQLITE_OK);
}

TEST_F(SqliteAdapterTest, FailedQueryClearsOutputsAndReportsTheMessage) {
    UniqueSqlite db(sqlite_open(Narrow(L"f.xdb").c_str(), 0, nullptr));
    ASSERT_TRUE(db);
    char** table = reinterpret_cast<char**>(0x1);
    int rows = 7;
    int columns = 7;
    char* err = nullptr;
    EXPECT_NE(sqlite_get_table(db.get(), "SELECT * FROM Missing;", &table, &rows, &columns, &err), SQLITE_OK);
    EXPECT_EQ(table, nullptr);
    EXPECT_EQ(rows, 0);
    EXPECT_EQ(columns, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err).find("Missing"), std::string::npos);
    sqlite_freemem(err);
    EXPECT_EQ(sqlite_exec(nullptr, "SELECT 1;", nullptr, nullptr, nullptr), SQLITE_MISUSE);
}

TEST_F(SqliteAdapterTest, QuotedFormattingKeepsHostileTextAsData) {
    UniqueSqlite db(sqlite_open(Narrow(L"q.xdb").c_str(), 0, nullptr));
    ASSERT_TRUE(db);
    ASSERT_EQ(sqlite_exec(db.get(), "CREATE TABLE T(v);", nullptr, nullptr, nullptr), SQLITE_OK);
    const char* hostile = "x'); DROP TABLE T; --";
    ASSERT_EQ(sqlite_exec_printf(db.get(), "INSERT INTO T VALUES('%q');", nullptr, nullptr, nullptr, hostile),
              SQLITE_OK);
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    ASSERT_EQ(sqlite_get_table_printf(db.get(), "SELECT v FROM T WHERE v='%q';", table.put(), &rows, &columns, nullptr,
                                      hostile),
              SQLITE_OK);
    ASSERT_EQ(rows, 1);
    EXPECT_STREQ(table.get()[1], hostile);
}

int CountingBusy(void* arg, const char*, int attempts) {
    int* calls = static_cast<int*>(arg);
    ++*calls;
    return attempts < 2 ? 1 : 0;
}

TEST_F(SqliteAdapterTest, LockedFileOpensAndTheBusyHandlerDecidesRetries) {
    UniqueSqlite holder(sqlite_open(Narrow(L"b.xdb").c_str(), 0, nullptr));
    ASSERT_TRUE(holder);
    ASSERT_EQ(sqlite_exec(holder.get(), "CREATE TABLE T(v); BEGIN EXCLUSIVE; INSERT INTO T VALUES(1);", nullptr,
                          nullptr, nullptr),
              SQLITE_OK);

    // Another connection to a locked store is not "not a database".
    UniqueSqlite other(sqlite_open(Narrow(L"b.xdb").c_str(), 0, nullptr));
    ASSERT_TRUE(other) << "a busy store must not be refused (callers delete refused files)";
    int calls = 0;
    sqlite_busy_handler(other.get(), CountingBusy, &calls);
    EXPECT_EQ(sqlite_exec(other.get(), "INSERT INTO T VALUES(2);", nullptr, nullptr, nullptr), SQLITE_BUSY);
    EXPECT_EQ(calls, 3);

    ASSERT_EQ(sqlite_exec(holder.get(), "COMMIT;", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite_exec(other.get(), "INSERT INTO T VALUES(2);", nullptr, nullptr, nullptr), SQLITE_OK);
}

TEST_F(SqliteAdapterTest, NonAsciiFileNamesInTheThreadCodePage) {
    // Names no ANSI code page holds (Greek and Chinese together) reach their file
    // through the wide calls, in a folder named so as well.
    const std::wstring folder = dir_.File(L"\u03a4\u03b5\u03c3\u03c4-\u6570\u636e");
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring wide = folder + L"\\\u03b4\u5e93.xdb";
    {
        UniqueSqlite db(sqlite_open(wide.c_str(), 0, nullptr));
        ASSERT_TRUE(db);
        ASSERT_EQ(sqlite_exec(db.get(), "CREATE TABLE T(v); INSERT INTO T VALUES(7);", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    ASSERT_TRUE(testing::FileExists(wide));
    int code = SQLITE_MISUSE;
    UniqueSqlite reader(sqlite_open_readonly(wide.c_str(), &code, nullptr));
    ASSERT_TRUE(reader) << code;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    ASSERT_EQ(sqlite_get_table(reader.get(), "SELECT v FROM T;", table.put(), &rows, &columns, nullptr), SQLITE_OK);
    ASSERT_EQ(rows, 1);
    EXPECT_STREQ(table.get()[1], "7");
    UniqueSqlite reading(sqlite_open_reading(wide.c_str(), nullptr));
    EXPECT_TRUE(reading);
    const std::wstring v2 = folder + L"\\v2-\u6570.xdb";
    ASSERT_TRUE(WriteFileBytes(v2, "** This file contains an SQLite 2.1 database **" + std::string(2000, '\x01')));
    EXPECT_TRUE(sqlite_is_version2_file(v2.c_str()));
    EXPECT_FALSE(sqlite_is_version2_file(wide.c_str()));
    // An unpaired surrogate has no UTF-8 spelling: refused, never taken for the
    // file whose name holds U+FFFD in its place, and nothing is created.
    char* err = nullptr;
    EXPECT_EQ(sqlite_open((folder + L"\\\xD800.xdb").c_str(), 0, &err), nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_STREQ(err, "file name cannot be converted");
    sqlite_freemem(err);
    EXPECT_FALSE(testing::FileExists(folder + L"\\\xFFFD.xdb"));

    // "é" exists in the usual Western code pages; the narrow calls must pass
    // the name on without mangling it.
    std::wstring name = L"caf\u00e9.xdb";
    std::string narrow = WideToNarrow(dir_.File(name));
    if (NarrowToWide(narrow) != dir_.File(name)) GTEST_SKIP() << "the thread code page cannot hold the name";
    UniqueSqlite db(sqlite_open(narrow.c_str(), 0, nullptr));
    ASSERT_TRUE(db);
    ASSERT_EQ(sqlite_exec(db.get(), "CREATE TABLE T(v);", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_TRUE(testing::FileExists(dir_.File(name)));
}

}  // namespace
}  // namespace tessary
