#include "store/stores.h"

#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/paths.h"
#include "platform/owner_check.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"
#include "tests/support/local_store.h"
#include "tests/support/security_calls.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::FileExists;
using testing::ScopedTempDir;
using testing::WriteFileBytes;

std::set<std::string> Names(sqlite* db, const char* type) {
    std::set<std::string> names;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    std::string sql = std::string("SELECT name FROM sqlite_master WHERE type='") + type + "';";
    if (sqlite_get_table(db, sql.c_str(), table.put(), &rows, &columns, nullptr) != SQLITE_OK) return names;
    for (int i = 1; i <= rows; ++i) names.insert(table.get()[i]);
    return names;
}

// Every test starts without store files and without the product's registry values.
class StoreFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        localPath_ = ResolveDataPath(kLocalStoreName, DataBase::kCommonData);
        sharedPath_ = ResolveDataPath(kSharedStoreName, DataBase::kCommonData);
        Clean();
    }
    void TearDown() override { Clean(); }
    void Clean() {
        ::DeleteFileW(localPath_.c_str());
        ::DeleteFileW(sharedPath_.c_str());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
    }

    std::wstring localPath_;
    std::wstring sharedPath_;
};

TEST_F(StoreFilesTest, DataPathsLiveBelowTheCommonDataFolder) {
    std::wstring common;
    ASSERT_TRUE(GetShellFolder(0x23 /* CSIDL_COMMON_APPDATA */, &common));
    EXPECT_EQ(localPath_, common + L"\\Quellon\\Tessary\\data\\TsLocal.xdb");
    EXPECT_TRUE(FileExists(common + L"\\Quellon\\Tessary\\data")) << "the directory is created";
    EXPECT_EQ(ResolveDataPath(L"", DataBase::kCommonData), common + L"\\Quellon\\Tessary");
}

TEST_F(StoreFilesTest, InstallDirectoryComesFromTheRegistryElseProgramFiles) {
    ScopedTempDir install;
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kInstallDir, install.path()));
    EXPECT_EQ(ResolveDataPath(L"tsupdchk.exe", DataBase::kInstall), install.path() + L"\\tsupdchk.exe");

    std::wstring programFiles;
    ASSERT_TRUE(GetShellFolder(0x26 /* CSIDL_PROGRAM_FILES */, &programFiles));
    // A value too long for the 260-character buffer counts as unreadable.
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kInstallDir,
                                      L"C:\\" + std::wstring(300, L'a')));
    EXPECT_EQ(ResolveDataPath(L"tsupdchk.exe", DataBase::kInstall), programFiles + L"\\Quellon\\Tessary\\tsupdchk.exe");
    ASSERT_TRUE(registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kInstallDir));
    EXPECT_EQ(ResolveDataPath(L"x", DataBase::kInstall), programFiles + L"\\Quellon\\Tessary\\x");
}

TEST_F(StoreFilesTest, FirstOpenCreatesFiveTablesAndTheSecondAddsTheIndex) {
    auto inTransaction = [](sqlite* db) { return sqlite_exec(db, "BEGIN;", nullptr, nullptr, nullptr) != SQLITE_OK; };
    {
        // A reader's open of a new store still makes the tables, and hands out a
        // handle outside any transaction.
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db, nullptr, StoreUse::kReadOnly));
        EXPECT_EQ(Names(db.get(), "table"),
                  (std::set<std::string>{"LocalCache", "CreateDate", "DigSigInfo3", "Settings", "LocalExpInfo"}));
        EXPECT_TRUE(Names(db.get(), "index").empty());
        EXPECT_FALSE(inTransaction(db.get()));
    }
    EXPECT_TRUE(FileExists(localPath_));
    {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        EXPECT_EQ(Names(db.get(), "index"), std::set<std::string>{"LocalIndex"});
    }
    {
        // Complete: nothing changes any more.
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        EXPECT_EQ(Names(db.get(), "table").size(), 5u);
        EXPECT_EQ(Names(db.get(), "index").size(), 1u);
        EXPECT_FALSE(inTransaction(db.get()));
    }
    {
        // A reader's open of a complete store keeps the checks' read transaction.
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db, nullptr, StoreUse::kReadOnly));
        EXPECT_EQ(Names(db.get(), "table").size(), 5u);
        EXPECT_TRUE(inTransaction(db.get()));
    }
}

// A missing store is made with its descriptor, not with what the folder passes
// on: every account writes the shared store's content, only SYSTEM and
// administrators the local store's. Wine keeps no descriptor, so the calls are
// observed; a store that exists is not made again.
TEST_F(StoreFilesTest, MissingStoresAreMadeWithTheModelsDescriptors) {
    testing::RecordedSecurityCalls calls;
    for (const auto& [path, model] : {std::pair{localPath_, security::Secured::kReadableFile},
                                      std::pair{sharedPath_, security::Secured::kSharedStoreFile}}) {
        UniqueSqlite db;
        ASSERT_TRUE(path == localPath_ ? OpenLocalStore(&db) : OpenSharedStore(&db));
        const auto made = calls.On(path);
        ASSERT_EQ(made.size(), 1u) << WideToUtf8(path);
        EXPECT_EQ(made[0].call, security::SecurityCall::kCreateFile);
        EXPECT_EQ(made[0].described, testing::RecordedSecurityCalls::Model(model));
        db.reset();
        ASSERT_TRUE(path == localPath_ ? OpenLocalStore(&db) : OpenSharedStore(&db));
        EXPECT_EQ(calls.On(path).size(), 1u) << WideToUtf8(path);
    }
}

TEST_F(StoreFilesTest, MissingTablesOfAnExistingStoreAreAddedAndRowsKept) {
    {
        UniqueSqlite raw(sqlite_open(WideToNarrow(localPath_).c_str(), 0, nullptr));
        ASSERT_TRUE(raw);
        ASSERT_EQ(sqlite_exec(raw.get(),
                              "CREATE TABLE LocalCache(Hash,Data); INSERT INTO LocalCache VALUES('AB','[Class]=GO');"
                              "CREATE TABLE IDSSettings(Key TEXT, Value TEXT);",
                              nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    UniqueSqlite db;
    ASSERT_TRUE(OpenLocalStore(&db));
    auto tables = Names(db.get(), "table");
    EXPECT_EQ(tables, (std::set<std::string>{"LocalCache", "DigSigInfo3", "Settings", "LocalExpInfo", "IDSSettings"}))
        << "CreateDate is made only with a new LocalCache";
    EXPECT_EQ(Names(db.get(), "index"), std::set<std::string>{"LocalIndex"});
    UniqueSqliteTable rows;
    int n = 0;
    int c = 0;
    ASSERT_EQ(sqlite_get_table(db.get(), "SELECT Data FROM LocalCache WHERE Hash='AB';", rows.put(), &n, &c, nullptr),
              SQLITE_OK);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(rows.get()[1], "[Class]=GO");
}

TEST_F(StoreFilesTest, FileThatIsNotADatabaseIsReplacedByAnEmptyStore) {
    ASSERT_TRUE(WriteFileBytes(localPath_, std::string(8192, '\x5a')));
    UniqueSqlite db;
    ASSERT_TRUE(OpenLocalStore(&db));
    EXPECT_EQ(Names(db.get(), "table").size(), 5u);

    ASSERT_TRUE(WriteFileBytes(sharedPath_, "garbage that is not a database at all"));
    UniqueSqlite shared;
    ASSERT_TRUE(OpenSharedStore(&shared));
    EXPECT_EQ(Names(shared.get(), "table"), std::set<std::string>{"LocalSharedCache"});
}

TEST_F(StoreFilesTest, JunkFileThatCannotBeDeletedFailsTheOpenAndIsKept) {
    ASSERT_TRUE(WriteFileBytes(localPath_, std::string(4096, '\x01')));
    // Held open without delete sharing, as another process might.
    UniqueFile holder(::CreateFileW(localPath_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    UniqueSqlite db;
    StoreOpenStatus status = StoreOpenStatus::kOpen;
    EXPECT_FALSE(OpenLocalStore(&db, &status));
    EXPECT_FALSE(db);
    EXPECT_EQ(status, StoreOpenStatus::kDamaged);
    holder.reset();
    EXPECT_TRUE(FileExists(localPath_));
}

TEST_F(StoreFilesTest, Sqlite2FilesAreNeverDeletedOrOverwritten) {
    // A legacy local store, or the shared store of a product that still writes the older format.
    const std::string v2 = std::string("** This file contains an SQLite 2.1 database **") + std::string(5000, '\x02');
    const struct {
        const std::wstring& path;
        bool (*open)(UniqueSqlite*, StoreOpenStatus*);
    } kStores[] = {{localPath_, [](UniqueSqlite* db, StoreOpenStatus* status) { return OpenLocalStore(db, status); }},
                   {sharedPath_, OpenSharedStore}};
    for (const auto& store : kStores) {
        SCOPED_TRACE(WideToNarrow(store.path));
        ASSERT_TRUE(WriteFileBytes(store.path, v2));
        for (int attempt = 0; attempt < 2; ++attempt) {
            UniqueSqlite db;
            StoreOpenStatus status = StoreOpenStatus::kOpen;
            EXPECT_FALSE(store.open(&db, &status));
            EXPECT_FALSE(db);
            EXPECT_EQ(status, StoreOpenStatus::kLegacyFormat);
        }
        EXPECT_EQ(testing::ReadBytes(store.path), v2);
    }
}

// A planted store with code of its own where our statements reach would run it
// in every caller's process; what other products keep beside our tables is theirs.
TEST_F(StoreFilesTest, StoresHoldingCodeOnOurTablesAreReplacedOrRefused) {
    const struct {
        const char* planted;
        bool localReplaced;
        bool sharedRefused;
    } kCases[] = {
        {"CREATE VIEW LocalCache AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
         "SELECT x AS Hash, x AS Data FROM c;",
         true, false},
        {"CREATE TABLE LocalCache(Hash, Data AS (upper(Hash)));", true, false},
        {"CREATE TABLE LocalSharedCache(id INTEGER PRIMARY KEY,Path TEXT,Hash TEXT,Product TEXT,Feature TEXT,"
         "Permission TEXT); CREATE TRIGGER t AFTER INSERT ON LocalSharedCache BEGIN SELECT 1; END;",
         false, true},
        {"CREATE VIEW LocalSharedCache AS SELECT 1 AS id;", false, true},
        {"CREATE TABLE Other(x); CREATE TRIGGER t AFTER INSERT ON Other BEGIN SELECT 1; END; "
         "CREATE VIEW OtherView AS SELECT x FROM Other;",
         false, false},
        // 100,000 tables: the library would parse them all on every open, for a minute each.
        {testing::kBloatedSchemaSql, true, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.planted);
        for (const std::wstring* path : {&localPath_, &sharedPath_}) {
            ::DeleteFileW(path->c_str());
            UniqueSqlite raw(sqlite_open(WideToNarrow(*path).c_str(), 0, nullptr));
            ASSERT_TRUE(raw);
            ASSERT_EQ(sqlite_exec(raw.get(), c.planted, nullptr, nullptr, nullptr), SQLITE_OK);
        }
        // The local store is this product's alone: a new one replaces the file.
        UniqueSqlite local;
        StoreOpenStatus status = StoreOpenStatus::kBusy;
        ASSERT_TRUE(OpenLocalStore(&local, &status));
        EXPECT_EQ(status, StoreOpenStatus::kOpen);
        EXPECT_EQ(Names(local.get(), "table").count("LocalCache"), 1u);
        if (c.localReplaced) {
            EXPECT_TRUE(Names(local.get(), "view").empty());
            EXPECT_EQ(Names(local.get(), "table").size(), 5u) << "nothing of the planted file is left";
            UniqueSqliteTable sql;
            int rows = 0;
            int columns = 0;
            ASSERT_EQ(sqlite_get_table(local.get(), "SELECT sql FROM sqlite_master WHERE name='LocalCache';", sql.put(),
                                       &rows, &columns, nullptr),
                      SQLITE_OK);
            ASSERT_EQ(rows, 1);
            EXPECT_STREQ(sql.get()[1], "CREATE TABLE LocalCache(Hash,Data)");
        } else {
            EXPECT_FALSE(Names(local.get(), "view").empty() && Names(local.get(), "trigger").empty());
        }
        // The shared store is the suite's: refused and kept.
        const std::string before = testing::ReadBytes(sharedPath_);
        UniqueSqlite shared;
        EXPECT_EQ(OpenSharedStore(&shared, &status), !c.sharedRefused);
        EXPECT_EQ(status, c.sharedRefused ? StoreOpenStatus::kForeignCode : StoreOpenStatus::kOpen);
        shared.reset();
        if (c.sharedRefused) {
            EXPECT_EQ(testing::ReadBytes(sharedPath_), before);
        }
    }
}

// Which files the owner seam reports as another account's: names ending so.
const wchar_t* g_foreignSuffix = nullptr;
std::optional<security::FileOwner> ForeignBySuffix(const std::wstring& path) {
    const std::wstring_view suffix = g_foreignSuffix != nullptr ? g_foreignSuffix : L"";
    if (suffix.empty() || path.size() < suffix.size() || path.substr(path.size() - suffix.size()) != suffix) {
        return std::nullopt;
    }
    return security::FileOwner::kForeign;
}

// Only SYSTEM and Administrators write the local store: a journal another
// account planted beside it is deleted unread, never rolled into the store, and
// a store file another account made is discarded and made anew.
TEST_F(StoreFilesTest, LocalStoreFilesOfAnotherAccountAreNeverUsed) {
    auto insert = [] {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        ASSERT_EQ(sqlite_exec(db.get(), "INSERT INTO LocalCache VALUES('H1','kept');", nullptr, nullptr, nullptr),
                  SQLITE_OK);
    };
    auto rows = [] {
        UniqueSqlite db;
        UniqueSqliteTable table;
        int count = 0;
        int columns = 0;
        if (!OpenLocalStore(&db) || sqlite_get_table(db.get(), "SELECT Hash FROM LocalCache;", table.put(), &count,
                                                     &columns, nullptr) != SQLITE_OK) {
            return -1;
        }
        return count;
    };
    insert();
    const security::OwnerOverride previous = security::SetOwnerOverrideForTesting(&ForeignBySuffix);
    const std::wstring journal = localPath_ + L"-journal";
    ASSERT_TRUE(testing::WriteFileBytes(journal, std::string(4096, 'J')));
    g_foreignSuffix = L"-journal";
    EXPECT_EQ(rows(), 1);
    EXPECT_FALSE(testing::FileExists(journal));

    g_foreignSuffix = L"TsLocal.xdb";
    EXPECT_EQ(rows(), 0) << "the store another account made was replaced by a new one";
    g_foreignSuffix = nullptr;
    security::SetOwnerOverrideForTesting(previous);
    insert();
    EXPECT_EQ(rows(), 1) << "the new store is used as before";
}

TEST_F(StoreFilesTest, SharedStoreKeepsItsRows) {
    {
        UniqueSqlite db;
        ASSERT_TRUE(OpenSharedStore(&db));
        ASSERT_EQ(sqlite_exec(db.get(),
                              "INSERT INTO LocalSharedCache (path, HASH, Product, Feature, Permission) "
                              "VALUES ('p','H','1','2','3');",
                              nullptr, nullptr, nullptr),
                  SQLITE_OK);
    }
    UniqueSqlite db;
    StoreOpenStatus status = StoreOpenStatus::kBusy;
    ASSERT_TRUE(OpenSharedStore(&db, &status));
    EXPECT_EQ(status, StoreOpenStatus::kOpen);
    UniqueSqliteTable rows;
    int n = 0;
    int c = 0;
    ASSERT_EQ(sqlite_get_table(db.get(), "SELECT * FROM LocalSharedCache;", rows.put(), &n, &c, nullptr), SQLITE_OK);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(c, 6);
}

TEST_F(StoreFilesTest, NullHandleArgumentIsRefused) {
    EXPECT_FALSE(OpenLocalStore(nullptr));
    EXPECT_FALSE(OpenSharedStore(nullptr));
}

// The update checker a reset starts: a copy of a small program that leaves a
// marker file next to itself.
class ResetTest : public StoreFilesTest {
protected:
    void SetUp() override {
        StoreFilesTest::SetUp();
        const std::wstring source = ParentDirectory(ModuleFilePath(nullptr)) + L"\\store_marker_child.exe";
        installDir_ = install_.path() + L"\\With Space";
        ASSERT_TRUE(::CreateDirectoryW(installDir_.c_str(), nullptr));
        ASSERT_TRUE(::CopyFileW(source.c_str(), (installDir_ + L"\\tsupdchk.exe").c_str(), FALSE));
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kInstallDir, installDir_));
        ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime, 1234));
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
    }
    std::wstring Marker() const { return installDir_ + L"\\started.txt"; }
    bool WaitForMarker() const {
        for (int i = 0; i < 300; ++i) {
            if (FileExists(Marker())) return true;
            ::Sleep(50);
        }
        return false;
    }
    bool HasTsTime() const {
        DWORD v = 0;
        return registry::ReadDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime, &v);
    }

    ScopedTempDir install_;
    std::wstring installDir_;
};

TEST_F(ResetTest, DeletesTheStoreAndStartsTheUpdateCheckerOnce) {
    const int64_t before = static_cast<int64_t>(std::time(nullptr));
    ResetLocalStore();
    EXPECT_FALSE(FileExists(localPath_));
    EXPECT_FALSE(HasTsTime());
    EXPECT_TRUE(WaitForMarker()) << "tsupdchk.exe was not started from the install directory";
    int64_t stamp = 0;
    ASSERT_TRUE(registry::ReadProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2, &stamp));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, static_cast<int64_t>(std::time(nullptr)));

    // Within a day: the file goes, nothing is started, the stamps stay.
    ::DeleteFileW(Marker().c_str());
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime, 1234));
    UniqueSqlite db;
    ASSERT_TRUE(OpenLocalStore(&db));
    db.reset();
    ResetLocalStore();
    EXPECT_FALSE(FileExists(localPath_));
    EXPECT_TRUE(HasTsTime());
    ::Sleep(500);
    EXPECT_FALSE(FileExists(Marker()));
    int64_t again = 0;
    ASSERT_TRUE(registry::ReadProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2, &again));
    EXPECT_EQ(again, stamp);
}

TEST_F(ResetTest, StaleOrUnreadableStampAllowsAStart) {
    ASSERT_TRUE(registry::WriteProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2,
                                             static_cast<int64_t>(std::time(nullptr)) - 86401));
    ResetLocalStore();
    EXPECT_TRUE(WaitForMarker());

    ::DeleteFileW(Marker().c_str());
    UniqueSqlite db;
    ASSERT_TRUE(OpenLocalStore(&db));
    db.reset();
    // A tampered stamp counts as absent.
    const uint8_t junk[40] = {1, 2, 3};
    ASSERT_TRUE(registry::WriteBinary(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2, junk, sizeof(junk)));
    ResetLocalStore();
    EXPECT_TRUE(WaitForMarker());
}

TEST_F(ResetTest, StoreInUseIsScheduledForDeletionAndNothingStarts) {
    UniqueFile holder(::CreateFileW(localPath_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(holder);
    ResetLocalStore();
    EXPECT_TRUE(FileExists(localPath_));
    EXPECT_FALSE(HasTsTime());
    int64_t stamp = 0;
    EXPECT_FALSE(registry::ReadProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2, &stamp));
    ::Sleep(500);
    EXPECT_FALSE(FileExists(Marker()));

    // The system keeps scheduled deletions in a multi-string value.
    DWORD type = 0;
    std::vector<uint8_t> data;
    ASSERT_TRUE(registry::ReadRawValue(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Control\\Session Manager",
                                       L"PendingFileRenameOperations", &type, &data));
    std::wstring pending(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    EXPECT_NE(pending.find(L"TsLocal.xdb"), std::wstring::npos);
}

}  // namespace
}  // namespace tessary
