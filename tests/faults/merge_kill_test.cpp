// TSUpdChk killed while it merges a large delivered store (appmrg.xdb) into the
// local store: afterwards the local store opens and each of its tables holds
// either its old rows or the merged ones, never a part of the merge. The next
// pass merges the file that is still there.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Logging/log_builder.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"
#include "store/stores.h"
#include "tests/faults/fault_support.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/update_checker_process.h"
#include "updater/store_merge.h"
#include "updater/update_pass.h"

namespace tessary {
namespace {

using testing::ChildProcess;
using testing::ExecOnFile;
using testing::FileExists;
using testing::RowsOf;
using testing::ScopedTempDir;

constexpr int kOldRecords = 100000;
constexpr int kUpdateRecords = 200000;
constexpr int kOverlap = 50000;  // update records that replace old ones

std::string HashOf(int n) {
    char text[33];
    std::snprintf(text, sizeof(text), "%032X", n);
    return text;
}

// `count` LocalCache rows numbered from `first`, with `data` plus the number.
std::string RecordInserts(int first, int count, const char* data) {
    std::string sql = "BEGIN;";
    sql.reserve(static_cast<size_t>(count) * 90);
    for (int n = first; n < first + count; ++n) {
        sql += "INSERT INTO LocalCache VALUES('" + HashOf(n) + "','" + data + std::to_string(n) + "');";
    }
    return sql + "COMMIT;";
}

// Each table's state as one line, so "old" and "new" compare whole.
struct StoreState {
    std::string localCache, createDate, settings, expInfo, digSig;
    bool operator==(const StoreState&) const = default;
};

std::string Joined(const std::vector<std::string>& rows) {
    std::string out;
    for (const std::string& row : rows) out += row + ";";
    return out;
}

StoreState ReadState(const std::wstring& path) {
    UniqueSqlite db(sqlite_open(WideToNarrow(path).c_str(), 0, nullptr));
    StoreState state;
    state.localCache = Joined(RowsOf(db.get(),
                                     "SELECT count(*), sum(Data LIKE '[Class]=OL%'), sum(Data LIKE '[Class]=NE%'), "
                                     "min(Hash), max(Hash) FROM LocalCache;"));
    state.createDate = Joined(RowsOf(db.get(), "SELECT DISTINCT TimeStamp FROM CreateDate ORDER BY TimeStamp;"));
    state.settings = Joined(RowsOf(db.get(), "SELECT * FROM Settings ORDER BY Key;"));
    state.expInfo = Joined(RowsOf(db.get(), "SELECT * FROM LocalExpInfo ORDER BY Hash;"));
    state.digSig = Joined(RowsOf(db.get(), "SELECT * FROM DigSigInfo3 ORDER BY Data;"));
    return state;
}

class MergeKillTest : public ::testing::Test {
protected:
    // The old local store and the delivered update, made once as templates.
    static void SetUpTestSuite() {
        templates_ = new ScopedTempDir();
        const std::wstring local = templates_->File(L"TsLocal.xdb");
        const std::wstring update = templates_->File(L"appmrg.xdb");
        ok_ = ExecOnFile(local, {schema::kCreateLocalCache, schema::kCreateLocalIndex, schema::kCreateCreateDate,
                                 schema::kCreateDigSigInfo3, schema::kCreateSettings, schema::kCreateLocalExpInfo,
                                 RecordInserts(0, kOldRecords, "[Class]=OL||[end]=true||"),
                                 "INSERT INTO CreateDate VALUES(20200101);",
                                 "INSERT INTO Settings VALUES('EventsEnabled','0');",
                                 "INSERT INTO Settings VALUES('Generation','old');",
                                 "INSERT INTO LocalExpInfo VALUES('0LD','old.exe','d','1');",
                                 "INSERT INTO DigSigInfo3 VALUES(1,'old signer');"}) &&
              ExecOnFile(
                  update,
                  {schema::kCreateLocalCache, schema::kCreateCreateDate, schema::kCreateDigSigInfo3,
                   schema::kCreateSettings, schema::kCreateLocalExpInfo,
                   RecordInserts(kOldRecords - kOverlap, kUpdateRecords, "[Class]=NE||[end]=true||"),
                   "INSERT INTO CreateDate VALUES(20240105);", "INSERT INTO Settings VALUES('EventsEnabled','0');",
                   "INSERT INTO Settings VALUES('Generation','new');", "INSERT INTO Settings VALUES('Extra','new');",
                   "INSERT INTO LocalExpInfo VALUES('N3W','new.exe','d','1');",
                   "INSERT INTO LocalExpInfo VALUES('N3W2','new2.exe','d','0');",
                   "INSERT INTO DigSigInfo3 VALUES(1,'new signer');", "INSERT INTO DigSigInfo3 VALUES(2,'new root');"});
        oldState_ = ReadState(local);
    }
    static void TearDownTestSuite() {
        delete templates_;
        templates_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(ok_) << "the store templates could not be made";
        ASSERT_TRUE(process_.copied());
        common_ = ResolveDataPath(L"", DataBase::kCommonData);
        CleanMachine();
        // No service: the manifest exchange fails at once and the pass goes on to the merge.
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", L"http://127.0.0.1:1"));
    }
    void TearDown() override { CleanMachine(); }

    void CleanMachine() { testing::CleanUpdateCheckerState(common_); }

    std::wstring LocalPath() const { return common_ + L"\\data\\TsLocal.xdb"; }
    std::wstring MergePath() const { return common_ + L"\\" + kAppMergeFileName; }

    void PlaceStores() {
        ASSERT_TRUE(::CopyFileW(templates_->File(L"TsLocal.xdb").c_str(), LocalPath().c_str(), FALSE));
        ASSERT_TRUE(::CopyFileW(templates_->File(L"appmrg.xdb").c_str(), MergePath().c_str(), FALSE));
        ::DeleteFileW((LocalPath() + L"-journal").c_str());
    }

    // Starts a pass; returns it running.
    std::unique_ptr<ChildProcess> StartPass() {
        return std::make_unique<ChildProcess>(L"\"" + process_.program() + L"\"", common_.c_str());
    }

    // Each table of the local store as it was before the merge or as the merge makes it.
    void ExpectEachTableOldOrNew(const StoreState& now, const std::string& when) {
        SCOPED_TRACE(when);
        EXPECT_TRUE(now.localCache == oldState_.localCache || now.localCache == newState_.localCache)
            << "LocalCache half written: " << now.localCache;
        EXPECT_TRUE(now.createDate == oldState_.createDate || now.createDate == newState_.createDate) << now.createDate;
        EXPECT_TRUE(now.settings == oldState_.settings || now.settings == newState_.settings) << now.settings;
        EXPECT_TRUE(now.expInfo == oldState_.expInfo || now.expInfo == newState_.expInfo) << now.expInfo;
        EXPECT_TRUE(now.digSig == oldState_.digSig || now.digSig == newState_.digSig) << now.digSig;
    }

    static ScopedTempDir* templates_;
    static bool ok_;
    static StoreState oldState_;
    static StoreState newState_;
    testing::UpdateCheckerProcess process_;
    std::wstring common_;
};
ScopedTempDir* MergeKillTest::templates_ = nullptr;
bool MergeKillTest::ok_ = false;
StoreState MergeKillTest::oldState_;
StoreState MergeKillTest::newState_;

TEST_F(MergeKillTest, KilledMergeLeavesEveryTableOldOrNewAndTheNextPassCompletesIt) {
    // A whole pass first: the merged state, and how long a pass takes here.
    PlaceStores();
    const DWORD start = ::GetTickCount();
    {
        auto pass = StartPass();
        ASSERT_TRUE(pass->started());
        ASSERT_EQ(pass->Wait(), 0);
    }
    const DWORD passMs = ::GetTickCount() - start;
    ASSERT_FALSE(FileExists(MergePath())) << "the merge file is consumed";
    newState_ = ReadState(LocalPath());
    ASSERT_EQ(newState_.localCache,
              Joined({std::to_string(kOldRecords - kOverlap + kUpdateRecords) + "|" +
                      std::to_string(kOldRecords - kOverlap) + "|" + std::to_string(kUpdateRecords) + "|" + HashOf(0) +
                      "|" + HashOf(kOldRecords - kOverlap + kUpdateRecords - 1)}));
    ASSERT_EQ(newState_.createDate, "20200101;20240105;");
    ASSERT_NE(newState_.settings, oldState_.settings);
    ASSERT_NE(newState_.expInfo, oldState_.expInfo);
    ASSERT_NE(newState_.digSig, oldState_.digSig);

    // Kills spread over the pass.
    int killedInATransaction = 0;
    for (int step = 1; step <= 6; ++step) {
        const DWORD delay = passMs * step / 7;
        const std::string when = "killed after " + std::to_string(delay) + " of " + std::to_string(passMs) + " ms";
        CleanMachine();
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", L"http://127.0.0.1:1"));
        PlaceStores();
        auto pass = StartPass();
        ASSERT_TRUE(pass->started());
        ::Sleep(delay);
        const bool killed = pass->Kill();
        // A journal left behind: the kill came while a table's transaction was open.
        if (killed && FileExists(LocalPath() + L"-journal")) ++killedInATransaction;

        const StoreState now = ReadState(LocalPath());
        ExpectEachTableOldOrNew(now, when);
        UniqueSqlite store;
        EXPECT_TRUE(OpenLocalStore(&store)) << when;
        store.reset();

        // The merge file that is left is merged by the next pass.
        if (FileExists(MergePath())) {
            auto next = StartPass();
            ASSERT_EQ(next->Wait(), 0) << when;
            EXPECT_EQ(ReadState(LocalPath()), newState_) << when;
        }
    }
    EXPECT_GT(killedInATransaction, 0) << "no kill landed inside the merge: the pass took " << passMs << " ms";
}

// Hostile merge files delivered as appmrg.xdb: each pass ends (the process's own
// two-minute limit in Run is the bound), refuses the file with a log line, and
// leaves the local store as it was; the next pass merges a good file.
class HostileMergeFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(process_.copied());
        common_ = ResolveDataPath(L"", DataBase::kCommonData);
        testing::CleanUpdateCheckerState(common_);
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", L"http://127.0.0.1:1"));
        ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, 1));
    }
    void TearDown() override {
        testing::CleanUpdateCheckerState(common_);
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kLogging);
    }

    std::wstring LocalPath() const { return common_ + L"\\data\\TsLocal.xdb"; }
    std::wstring MergePath() const { return common_ + L"\\" + kAppMergeFileName; }

    testing::UpdateCheckerProcess process_;
    std::wstring common_;
};

TEST_F(HostileMergeFileTest, EachPassEndsRefusesTheFileAndTheNextPassMerges) {
    const char* endless = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c)";
    const struct {
        const char* name;
        std::vector<std::string> statements;
    } kFiles[] = {
        {"records from an endless view",
         {std::string("CREATE VIEW LocalCache AS ") + endless + " SELECT x AS Hash, x AS Data FROM c;"}},
        {"settings from an endless view, as the only table",
         {std::string("CREATE VIEW Settings AS ") + endless + " SELECT 'K' || x AS Key, x AS Value FROM c;"}},
        {"a flood of rows, one more than a merge takes",
         {schema::kCreateLocalCache, "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c LIMIT " +
                                         std::to_string(kMergeMaxRows + 1) +
                                         ") INSERT INTO LocalCache SELECT x, x FROM c;"}},
    };
    ASSERT_TRUE(ExecOnFile(
        LocalPath(), {schema::kCreateLocalCache, schema::kCreateLocalIndex, schema::kCreateCreateDate,
                      schema::kCreateDigSigInfo3, schema::kCreateSettings, schema::kCreateLocalExpInfo,
                      "INSERT INTO LocalCache VALUES('" + HashOf(1) + "','[Class]=OL');",
                      "INSERT INTO CreateDate VALUES(20200101);", "INSERT INTO Settings VALUES('Generation','old');"}));
    const StoreState before = ReadState(LocalPath());
    for (const auto& file : kFiles) {
        SCOPED_TRACE(file.name);
        ::DeleteFileW(MergePath().c_str());
        ASSERT_TRUE(ExecOnFile(MergePath(), file.statements));
        ASSERT_EQ(process_.Run(), 0u) << "the pass ends, with exit code 0";
        EXPECT_FALSE(FileExists(MergePath())) << "a refused file is not tried again";
        EXPECT_NE(process_.Log().find(MergePath() + L" was refused and deleted"), std::wstring::npos) << process_.Log();
        EXPECT_EQ(ReadState(LocalPath()), before);
    }

    ASSERT_TRUE(ExecOnFile(MergePath(), {schema::kCreateLocalCache, schema::kCreateCreateDate,
                                         "INSERT INTO LocalCache VALUES('" + HashOf(2) + "','[Class]=NE');",
                                         "INSERT INTO CreateDate VALUES(20240105);"}));
    ASSERT_EQ(process_.Run(), 0u);
    EXPECT_NE(process_.Log().find(MergePath() + L" was found and merged into local db."), std::wstring::npos)
        << process_.Log();
    EXPECT_EQ(ReadState(LocalPath()).createDate, "20200101;20240105;");
}

}  // namespace
}  // namespace tessary
