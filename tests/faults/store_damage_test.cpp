// Store files damaged between two operations: truncated, or overwritten with
// junk. The next operation must give a defined result without crashing, and the
// store must be usable again afterwards. What a junk file held is lost by design
// (it cannot be read); what the process keeps in memory and what is written after
// the damage must survive.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "component/app_lookup.h"
#include "component/signature_list.h"
#include "component/shared_perms.h"
#include "component/shared_perms_db.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/exception_list.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/record_cache.h"
#include "store/stores.h"
#include "tests/faults/fault_support.h"
#include "tests/support/component_suite.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/updater_test_support.h"

namespace tessary {
namespace {

using testing::ReadBytes;
using testing::RowsOf;
using testing::WriteFileBytes;

// Ways a store file is damaged; each takes the file's bytes and returns the new ones.
struct Damage {
    const char* name;
    std::string (*apply)(const std::string& bytes);
};

const Damage kDamages[] = {
    {"emptied", [](const std::string&) { return std::string(); }},
    {"cut to its first 100 bytes", [](const std::string& b) { return b.substr(0, 100); }},
    {"cut after its first page", [](const std::string& b) { return b.substr(0, 4096 + 17); }},
    {"cut to half", [](const std::string& b) { return b.substr(0, b.size() / 2); }},
    {"replaced by text", [](const std::string&) { return std::string("this is not a database\r\n"); }},
    {"replaced by binary junk",
     [](const std::string& b) {
         std::string junk(b.size() > 0 ? b.size() : 8192, '\0');
         unsigned state = 12345;
         for (char& c : junk) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 16);
         return junk;
     }},
    {"header kept, pages overwritten",
     [](const std::string& b) {
         std::string out = b;
         for (size_t i = 100; i < out.size(); ++i) out[i] = static_cast<char>(0xA5 ^ i);
         return out;
     }},
};

std::wstring LocalStorePath() { return ResolveDataPath(kLocalStoreName, DataBase::kCommonData); }
std::wstring SharedStorePath() { return ResolveDataPath(kSharedStoreName, DataBase::kCommonData); }

bool Damaged(const std::wstring& path, const Damage& damage) {
    return WriteFileBytes(path, damage.apply(ReadBytes(path)));
}

class StoreDamageTest : public testing::ComponentSuiteTest {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(ComponentSuiteTest::SetUpTestSuite());
        logFile_ = testing::StartFileLogger();
        ASSERT_FALSE(logFile_.empty());
    }
    static void TearDownTestSuite() {
        ComponentSuiteTest::TearDownTestSuite();
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
        ::DeleteFileW(LocalStorePath().c_str());
        ::DeleteFileW(SharedStorePath().c_str());
    }

    void SetUp() override {
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
        // No lookup or usage report may leave the machine; a damaged store may not
        // start an update checker either ("TsTime2" says one ran a moment ago).
        ASSERT_NO_FATAL_FAILURE(testing::KeepServiceTrafficLocal());
        ASSERT_TRUE(registry::WriteProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2,
                                                 static_cast<int64_t>(::time(nullptr))));
    }

    static void ReloadCaches() {
        FreeRecordCache();
        FreeExceptionList();
        ::SetEvent(ProcessObjects().lcEvent.get());
        ::SetEvent(ProcessObjects().xcEvent.get());
    }

    // A local-only lookup of `hash`: its result and class ("<none>" without a record).
    static std::pair<LONG, std::string> Lookup(const wchar_t* hash) {
        std::unique_ptr<ApplicationDetails> details;
        LONG result = -99;
        EXPECT_EQ(ApplicationEntry::GetApplicationDetails(nullptr, hash, 1, &details, &result), S_OK);
        if (!details || details->record() == nullptr) return {result, "<none>"};
        return {result, details->record()->className};
    }

    static bool Store(const char* sql) {
        UniqueSqlite db;
        return OpenLocalStore(&db) && sqlite_exec(db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
    }

    static std::wstring logFile_;
};
std::wstring StoreDamageTest::logFile_;

// The local store held exclusively by another connection for `ms`, as a merge
// committing in another process holds it.
class StoreWriter {
public:
    explicit StoreWriter(DWORD ms) : db_(sqlite_open(WideToNarrow(LocalStorePath()).c_str(), 0, nullptr)) {
        held_ = db_ && sqlite_exec(db_.get(), "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr) == SQLITE_OK;
        thread_ = std::thread([this, ms] {
            ::Sleep(ms);
            sqlite_exec(db_.get(), "COMMIT;", nullptr, nullptr, nullptr);
        });
    }
    ~StoreWriter() { thread_.join(); }
    bool held() const { return held_; }

private:
    UniqueSqlite db_;
    bool held_ = false;
    std::thread thread_;
};

constexpr wchar_t kStoredHash[] = L"D1D10000000000000000000000000001";
constexpr wchar_t kLaterHash[] = L"D1D10000000000000000000000000002";

TEST_F(StoreDamageTest, LookupAfterTheLocalStoreIsDamagedGivesADefinedResultAndTheStoreIsUsableAgain) {
    for (const Damage& damage : kDamages) {
        SCOPED_TRACE(damage.name);
        ::DeleteFileW(LocalStorePath().c_str());
        // Enough rows for the file to span many pages.
        std::string fill = "BEGIN;";
        for (int i = 0; i < 400; ++i) {
            fill += "INSERT INTO LocalCache VALUES('E" + std::to_string(100000 + i) + "','[Class]=GO||" +
                    std::string(100, 'x') + "');";
        }
        ASSERT_TRUE(Store((fill + "COMMIT;").c_str()));
        ASSERT_TRUE(Store("INSERT INTO LocalCache VALUES('D1D10000000000000000000000000001','[Class]=SA');"));
        ReloadCaches();
        ASSERT_EQ(Lookup(kStoredHash), std::make_pair(LONG{0}, std::string("SA")));

        ASSERT_TRUE(Damaged(LocalStorePath(), damage));
        ReloadCaches();
        const auto [result, className] = Lookup(kStoredHash);
        EXPECT_TRUE((result == 0 && className == "SA") || (result == 6 && className.empty()))
            << "result " << result << ", class " << className;

        // Whatever the damage did, the store opens (recreated when it had to be) and takes new records.
        ASSERT_TRUE(Store("INSERT INTO LocalCache VALUES('D1D10000000000000000000000000002','[Class]=GO');"))
            << "the store could not be written after the damage";
        ReloadCaches();
        EXPECT_EQ(Lookup(kLaterHash), std::make_pair(LONG{0}, std::string("GO")));
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        EXPECT_EQ(RowsOf(db.get(), "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;"),
                  (std::vector<std::string>{"CreateDate", "DigSigInfo3", "LocalCache", "LocalExpInfo", "Settings"}));
    }
}

TEST_F(StoreDamageTest, JunkLocalStoreLeftByAnotherProcessIsReplacedWithoutLosingLaterWrites) {
    ASSERT_TRUE(WriteFileBytes(LocalStorePath(), std::string(70000, '\x7f')));
    ReloadCaches();
    EXPECT_EQ(Lookup(kStoredHash), std::make_pair(LONG{6}, std::string()));
    ASSERT_TRUE(Store("INSERT INTO LocalCache VALUES('D1D10000000000000000000000000002','[Class]=GO');"));
    ASSERT_TRUE(Store("INSERT INTO Settings VALUES('ReceiveTimeout','700');"));
    UniqueSqlite db;
    ASSERT_TRUE(OpenLocalStore(&db));
    EXPECT_EQ(RowsOf(db.get(), "SELECT * FROM LocalCache;"),
              std::vector<std::string>{"D1D10000000000000000000000000002|[Class]=GO"});
    EXPECT_EQ(RowsOf(db.get(), "SELECT * FROM Settings;"), std::vector<std::string>{"ReceiveTimeout|700"});
}

TEST_F(StoreDamageTest, ReadersWaitForAWriterWithinTheirBoundAndAFailedListLoadIsRetriedLater) {
    ::DeleteFileW(LocalStorePath().c_str());
    ASSERT_TRUE(
        Store("INSERT INTO LocalCache VALUES('D1D10000000000000000000000000001','[Class]=SA');"
              "INSERT INTO LocalExpInfo VALUES('EEEE','e.exe','d','f');"
              "INSERT INTO DigSigInfo3 VALUES(2,'Busy Signer');"));
    auto firstUse = [] {
        ReloadCaches();
        FreeSignatureList();
        ::SetEvent(ProcessObjects().digSigEvent.get());
    };

    // A short hold: the lookup and the first uses of both lists wait and succeed.
    firstUse();
    {
        StoreWriter writer(600);
        ASSERT_TRUE(writer.held());
        EXPECT_EQ(Lookup(kStoredHash), std::make_pair(LONG{0}, std::string("SA")));
        EXPECT_TRUE(IsListedException("EEEE"));
        EXPECT_TRUE(SignatureListContains(2, "Busy Signer", false));
    }

    // Held past the readers' wait: they give up, and the lists load at a later use.
    firstUse();
    {
        StoreWriter writer(3 * kStoreBusyTimeoutMs + 1000);
        ASSERT_TRUE(writer.held());
        EXPECT_FALSE(IsListedException("EEEE"));
        EXPECT_FALSE(SignatureListContains(2, "Busy Signer", false));
    }
    EXPECT_TRUE(IsListedException("EEEE"));
    EXPECT_TRUE(SignatureListContains(2, "Busy Signer", false));
    EXPECT_EQ(Lookup(kStoredHash), std::make_pair(LONG{0}, std::string("SA")));
}

tagQNTS_LOCAL_APP_PERMISSION Permission(ULONG product, ULONG feature, ULONG permission, const wchar_t* path,
                                        const wchar_t* hash) {
    return MakeSharedRecord(0, product, feature, permission, path, hash);
}

// Hash|Product|Feature|Permission of every shared row, by id.
std::vector<std::string> SharedRows() {
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) return {"<store does not open>"};
    return RowsOf(db.get(), "SELECT Hash, Product, Feature, Permission FROM LocalSharedCache ORDER BY id;");
}

std::vector<std::string> IndexedHashes(const wchar_t* hash) {
    std::vector<std::string> hashes;
    tagQNTS_LOCAL_APP_PERMISSION* records = nullptr;
    ULONG count = 0;
    LONG result = -99;
    if (SharedPermissions::GetPermissions(L"", hash, 0, 0, &records, &count, &result) != S_OK || result != 0) {
        return {"<no index>"};
    }
    for (ULONG i = 0; i < count; ++i) hashes.push_back(WideToNarrow(records[i].pwszMD5));
    ::CoTaskMemFree(records);
    return hashes;
}

TEST_F(StoreDamageTest, SharedPermissionsWrittenAfterTheStoreIsDamagedAreStoredAndLoadedAgain) {
    for (const Damage& damage : kDamages) {
        SCOPED_TRACE(damage.name);
        ::DeleteFileW(SharedStorePath().c_str());
        FreeSharedPermissionIndex();
        LONG result = -99;
        std::vector<tagQNTS_LOCAL_APP_PERMISSION> before;
        for (ULONG i = 0; i < 60; ++i) {
            before.push_back(Permission(1, i, 1, L"C:\\Before\\App.exe", L"BEF00000000000000000000000000001"));
        }
        ASSERT_EQ(SharedPermissions::SetPermissions(before.data(), static_cast<ULONG>(before.size()), &result), S_OK);
        ASSERT_EQ(result, 0);
        ASSERT_EQ(IndexedHashes(L"BEF00000000000000000000000000001").size(), 60u);

        ASSERT_TRUE(Damaged(SharedStorePath(), damage));
        // The loaded index answers as before: the damage is not seen until the next load.
        EXPECT_EQ(IndexedHashes(L"BEF00000000000000000000000000001").size(), 60u);

        const tagQNTS_LOCAL_APP_PERMISSION after =
            Permission(2, 7, 4, L"C:\\After\\App.exe", L"AF700000000000000000000000000001");
        ASSERT_EQ(SharedPermissions::SetPermissions(&after, 1, &result), S_OK);
        EXPECT_EQ(result, 0) << "the store is recreated when it had to be, and the record written";
        const std::vector<std::string> rows = SharedRows();
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows.back(), "AF700000000000000000000000000001|2|7|4") << "the record written after the damage";

        // A fresh load (another process, or this one after its index is freed) sees
        // the record written after the damage.
        FreeSharedPermissionIndex();
        EXPECT_EQ(IndexedHashes(L"AF700000000000000000000000000001"),
                  std::vector<std::string>{"AF700000000000000000000000000001"});
    }
}

TEST_F(StoreDamageTest, Sqlite2StoresAreLeftIntactAndAnswerAsStoresThatCannotBeOpened) {
    const std::string v2 = std::string("** This file contains an SQLite 2.1 database **") + std::string(8000, '\x04');
    // Worker threads of earlier tests (usage reports, shared permission helpers)
    // may still hold a store for a moment.
    auto write = [&v2](const std::wstring& path) {
        for (int i = 0; i < 500 && !WriteFileBytes(path, v2); ++i) ::Sleep(20);
        return ReadBytes(path) == v2;
    };
    ASSERT_TRUE(write(LocalStorePath()));
    ASSERT_TRUE(write(SharedStorePath()));
    ReloadCaches();
    FreeSharedPermissionIndex();

    EXPECT_EQ(Lookup(kStoredHash), std::make_pair(LONG{6}, std::string()));
    EXPECT_FALSE(IsListedException("EEEE"));
    EXPECT_EQ(IndexedHashes(L""), std::vector<std::string>{"<no index>"});
    const tagQNTS_LOCAL_APP_PERMISSION record =
        Permission(1, 1, 1, L"C:\\V2\\App.exe", L"A2000000000000000000000000000001");
    LONG result = -99;
    ASSERT_EQ(SharedPermissions::SetPermissions(&record, 1, &result), S_OK);
    EXPECT_EQ(result, -1);

    EXPECT_EQ(ReadBytes(LocalStorePath()), v2);
    EXPECT_EQ(ReadBytes(SharedStorePath()), v2);
    const std::wstring log = testing::ReadLogText(logFile_);
    EXPECT_NE(log.find(LocalStorePath() + L" is an SQLite 2 database"), std::wstring::npos) << log;
    EXPECT_NE(log.find(SharedStorePath() + L" is an SQLite 2 database"), std::wstring::npos) << log;
    ::DeleteFileW(LocalStorePath().c_str());
    ::DeleteFileW(SharedStorePath().c_str());
}

TEST_F(StoreDamageTest, EmptySharedStoreLoadsWithoutAnError) {
    ::DeleteFileW(SharedStorePath().c_str());
    FreeSharedPermissionIndex();
    ::DeleteFileW(logFile_.c_str());
    EXPECT_EQ(IndexedHashes(L""), std::vector<std::string>{"<no index>"}) << "nothing to index";
    const std::wstring log = testing::ReadLogText(logFile_);
    EXPECT_EQ(log.find(L"Sqlite error"), std::wstring::npos) << log;
    EXPECT_EQ(log.find(L"resetting event"), std::wstring::npos) << log;
}

}  // namespace
}  // namespace tessary
