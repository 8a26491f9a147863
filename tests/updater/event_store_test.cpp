#include "updater/event_store.h"

#include <gtest/gtest.h>

#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/text.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::ScopedTempDir;

// Rows seen by a callback, in delivery order.
int Collect(CInboundEventItem* item, void* arg) {
    static_cast<std::vector<CInboundEventItem>*>(arg)->push_back(*item);
    return 1;  // ignored: enumeration goes on
}

std::vector<int64_t> Times(const std::vector<CInboundEventItem>& items) {
    std::vector<int64_t> times;
    for (const auto& item : items) times.push_back(item.time);
    return times;
}

// Runs raw SQL on the file through a connection of its own.
void RawExec(const std::wstring& path, const char* sql) {
    UniqueSqlite db(sqlite_open(WideToNarrow(path).c_str(), 0, nullptr));
    ASSERT_TRUE(db);
    ASSERT_EQ(sqlite_exec(db.get(), sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
}

std::vector<std::string> RawColumn(const std::wstring& path, const char* sql) {
    UniqueSqlite db(sqlite_open(WideToNarrow(path).c_str(), 0, nullptr));
    std::vector<std::string> values;
    char** table = nullptr;
    int rows = 0, columns = 0;
    if (!db || sqlite_get_table(db.get(), sql, &table, &rows, &columns, nullptr) != SQLITE_OK) return values;
    for (int r = 1; r <= rows; ++r) values.push_back(table[r * columns] ? table[r * columns] : "NULL");
    sqlite_free_table(table);
    return values;
}

class EventStoreTest : public ::testing::Test {
protected:
    std::wstring Path() const { return dir_.File(L"log.edb"); }

    CInboundEventItem Event(int64_t time, uint32_t ipFrom = 0x04030201, uint16_t portTo = 0x5000) {
        CInboundEventItem item;
        item.time = time;
        item.ipFrom = ipFrom;
        item.portTo = portTo;
        item.protocol = 6;
        return item;
    }

    ScopedTempDir dir_;
};

TEST_F(EventStoreTest, NewFileGetsBothTablesAndOneVersionRowWhichReopeningKeeps) {
    { CInboundEventDataMgr db(Path()); }
    { CInboundEventDataMgr again(Path()); }
    EXPECT_EQ(RawColumn(Path(), "SELECT BuildNumber FROM LogEntriesVersion;"), std::vector<std::string>{"18900"});
    EXPECT_EQ(RawColumn(Path(), "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;"),
              (std::vector<std::string>{"LogEntries", "LogEntriesVersion"}));
}

TEST_F(EventStoreTest, ExistingTableIsLeftAlone) {
    RawExec(Path(),
            "CREATE TABLE LogEntries(EntryID INTEGER PRIMARY KEY,TypeCode INTEGER,IPFrom VARCHAR(8),IPTo "
            "VARCHAR(8),PortFrom INTEGER,PortTo INTEGER,Time TIMESTAMP,Flags INTEGER,Status INTEGER,TCPControl "
            "INTEGER,Reserved INTEGER);"
            "INSERT INTO LogEntries VALUES(7,1,'2','3',4,5,'6',15,8,9,10);");
    CInboundEventDataMgr db(Path());
    EXPECT_TRUE(RawColumn(Path(), "SELECT name FROM sqlite_master WHERE name='LogEntriesVersion';").empty());
    std::vector<CInboundEventItem> items;
    EXPECT_EQ(db.Enumerate(Collect, 0, 0, 0, 0, false, &items), 0);
    ASSERT_EQ(items.size(), 1u);
    const CInboundEventItem& item = items[0];
    EXPECT_EQ(item.entryId, 7);
    EXPECT_EQ(item.typeCode, 1);
    EXPECT_EQ(item.ipFrom, 2u);
    EXPECT_EQ(item.ipTo, 3u);
    EXPECT_EQ(item.portFrom, 4);
    EXPECT_EQ(item.portTo, 5);
    EXPECT_EQ(item.time, 6);
    EXPECT_EQ(item.flags, 15);
    EXPECT_EQ(item.status, 8);
    EXPECT_EQ(item.protocol, 9);
    EXPECT_EQ(item.reserved, 10);
}

TEST_F(EventStoreTest, EnumerateOrdersByTimeAndBoundsAreStrict) {
    CInboundEventDataMgr db(Path());
    for (int64_t t : {100, 300, 200, 400}) db.Insert(Event(t));
    std::vector<CInboundEventItem> items;
    db.Enumerate(Collect, 0, 0, 0, 0, false, &items);
    EXPECT_EQ(Times(items), (std::vector<int64_t>{400, 300, 200, 100}));
    items.clear();
    db.Enumerate(Collect, 0, 0, 0, 0, true, &items);
    EXPECT_EQ(Times(items), (std::vector<int64_t>{100, 200, 300, 400}));
    items.clear();
    db.Enumerate(Collect, 200, 400, 0, 0, false, &items);
    EXPECT_EQ(Times(items), (std::vector<int64_t>{300}));
}

// The stored decimals must compare as numbers: as text, '100' < '9'.
TEST_F(EventStoreTest, FiltersCompareNumbersNotText) {
    CInboundEventDataMgr db(Path());
    for (int v : {9, 10, 100}) {
        CInboundEventItem item = Event(v, static_cast<uint32_t>(v), static_cast<uint16_t>(v));
        db.Insert(item);
    }
    std::vector<CInboundEventItem> items;
    db.Enumerate(Collect, 9, 0, 0, 0, true, &items);
    EXPECT_EQ(Times(items), (std::vector<int64_t>{10, 100}));
    items.clear();
    db.Enumerate(Collect, 0, 0, 9, 0, true, &items);
    EXPECT_EQ(Times(items), (std::vector<int64_t>{10, 100}));
    items.clear();
    db.Enumerate(Collect, 0, 0, 0, 9, true, &items);
    EXPECT_EQ(Times(items), (std::vector<int64_t>{10, 100}));
}

TEST_F(EventStoreTest, InsertFillsTimeZeroWithNowAndDeleteRemovesOnlyThatRow) {
    CInboundEventDataMgr db(Path());
    const int64_t before = std::time(nullptr);
    const int64_t first = db.Insert(Event(0));
    const int64_t second = db.Insert(Event(5));
    EXPECT_NE(first, second);
    std::vector<CInboundEventItem> items;
    db.Enumerate(Collect, 0, 0, 0, 0, false, &items);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_GE(items[0].time, before);
    EXPECT_LE(items[0].time, std::time(nullptr));
    EXPECT_EQ(items[0].entryId, first);

    CInboundEventItem victim;
    victim.entryId = static_cast<int32_t>(first);
    EXPECT_EQ(db.Delete(victim), 0);
    items.clear();
    db.Enumerate(Collect, 0, 0, 0, 0, false, &items);
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].entryId, second);
}

// Addresses with a high last octet are written as negative decimals; the firewall
// may also write them unsigned. Both read back as the same bits.
TEST_F(EventStoreTest, AddressesSurviveSignedAndUnsignedDecimalForms) {
    {
        CInboundEventDataMgr db(Path());
        db.Insert(Event(1, 0xFFFF1FACu));  // 172.31.255.255
    }
    RawExec(Path(), "INSERT INTO LogEntries VALUES(NULL,0,'4294909868','',0,0,2,NULL,0,6,0);");
    CInboundEventDataMgr db(Path());
    std::vector<CInboundEventItem> items;
    db.Enumerate(Collect, 0, 0, 0, 0, true, &items);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].ipFrom, 0xFFFF1FACu);
    EXPECT_EQ(items[1].ipFrom, 0xFFFF1FACu);
    EXPECT_EQ(items[1].ipTo, 0u);
    EXPECT_EQ(items[1].flags, 0);
}

TEST_F(EventStoreTest, UnopenableFilesRaiseWithCodeOne) {
    try {
        CInboundEventDataMgr db(dir_.File(L"missing\\log.edb"));
        FAIL() << "a database in a missing folder was opened";
    } catch (const CSqliteException& e) {
        EXPECT_EQ(e.Code(), 1);
        EXPECT_FALSE(e.Message().empty());
    }
    ASSERT_TRUE(testing::WriteFileBytes(Path(), std::string(4096, 'x')));
    EXPECT_THROW(CInboundEventDataMgr db(Path()), CSqliteException);
    EXPECT_THROW(CInboundEventDataMgr db(dir_.File(std::wstring(300, L'a'))), CSqliteException);
}

TEST_F(EventStoreTest, BrokenTableRaisesOnEnumerateAndInsert) {
    RawExec(Path(), "CREATE TABLE LogEntries(EntryID INTEGER PRIMARY KEY);");
    CInboundEventDataMgr db(Path());
    std::vector<CInboundEventItem> items;
    EXPECT_THROW(db.Enumerate(Collect, 0, 0, 0, 0, false, &items), CSqliteException);
    EXPECT_TRUE(items.empty());
    EXPECT_THROW(db.Insert(Event(1)), CSqliteException);
}

TEST_F(EventStoreTest, CallbackExceptionReachesTheCallerAfterTheStatementEnds) {
    CInboundEventDataMgr db(Path());
    db.Insert(Event(1));
    db.Insert(Event(2));
    auto thrower = [](CInboundEventItem*, void*) -> int { throw std::runtime_error("row"); };
    EXPECT_THROW(db.Enumerate(thrower, 0, 0, 0, 0, false, nullptr), std::runtime_error);
    EXPECT_EQ(db.Insert(Event(3)), 3);  // the connection is still usable
}

}  // namespace
}  // namespace tessary
