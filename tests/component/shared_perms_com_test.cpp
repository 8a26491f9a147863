// The shared permission store through COM activation of tsapi.dll, from this
// process and from helper processes (shared_perms_helper.exe beside the test)
// that reach the same store at the same time.

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "component/com_ids.h"
#include "platform/registry.h"
#include "platform/unique_resource.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"
#include "store/object_names.h"
#include "store/stores.h"
#include "tests/support/com_server_suite.h"
#include "tests/support/component_suite.h"
#include "tests/support/tsapi_server.h"

using Microsoft::WRL::ComPtr;

namespace tessary::testing {
namespace {

constexpr wchar_t kDatabaseMutex[] = L"Global\\{5A37A5DE-E415-46fe-BBB8-D60F74773D27}";

// A helper process; waits for it on destruction unless it was killed.
class Helper {
public:
    // `suspended`: the process is made but runs only after Resume.
    explicit Helper(const std::wstring& arguments, bool suspended = false) {
        std::wstring commandLine = L"\"" + ExecutableDir() + L"\\shared_perms_helper.exe\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, suspended ? CREATE_SUSPENDED : 0,
                             nullptr, nullptr, &startup, &info)) {
            process_ = info.hProcess;
            thread_ = info.hThread;
            processId_ = info.dwProcessId;
        }
    }
    ~Helper() {
        if (process_ == nullptr) return;
        if (::WaitForSingleObject(process_, 120000) != WAIT_OBJECT_0) ::TerminateProcess(process_, 99);
        ::CloseHandle(thread_);
        ::CloseHandle(process_);
    }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    bool started() const { return process_ != nullptr; }
    DWORD processId() const { return processId_; }
    bool Resume() const { return ::ResumeThread(thread_) != static_cast<DWORD>(-1); }
    HANDLE handle() const { return process_; }
    // The exit code, or -1 when the process did not end within the time.
    long Wait(DWORD ms = 300000) const {
        if (::WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(process_, &code);
        return static_cast<long>(code);
    }

private:
    HANDLE process_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD processId_ = 0;
};

// Rows of the shared store, read directly: (hash, product, feature) -> permissions.
std::multimap<std::tuple<std::string, ULONG, ULONG>, ULONG> StoredRows() {
    std::multimap<std::tuple<std::string, ULONG, ULONG>, ULONG> rows;
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) return rows;
    UniqueSqliteTable table;
    int count = 0;
    int columns = 0;
    if (sqlite_get_table(db.get(), "SELECT Hash, Product, Feature, Permission FROM LocalSharedCache", table.put(),
                         &count, &columns, nullptr) != SQLITE_OK) {
        return rows;
    }
    for (int r = 1; r <= count; ++r) {
        char** row = table.get() + r * columns;
        rows.emplace(std::make_tuple(std::string(row[0]), ULONG(std::stoul(row[1])), ULONG(std::stoul(row[2]))),
                     ULONG(std::stoul(row[3])));
    }
    return rows;
}

QNTS_LOCAL_APP_PERMISSION Record(ULONG product, ULONG feature, ULONG permission, const wchar_t* path,
                                 const wchar_t* hash) {
    QNTS_LOCAL_APP_PERMISSION record{};
    record.mapPerm = {product, feature, permission};
    wcsncpy(record.pwszPath, path, 260);
    wcsncpy(record.pwszMD5, hash, 32);
    return record;
}

class SharedPermsComTest : public ComServerSuiteTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_ != nullptr && server_->loaded());
        // No usage report leaves the machine: every decision here is of an unknown application.
        ASSERT_NO_FATAL_FAILURE(KeepServiceTrafficLocal());
        RemoveCommonStore(kSharedStoreName);
        ASSERT_NO_FATAL_FAILURE(ComServerSuiteTest::SetUp());
    }
    void TearDown() override {
        perms_.Reset();
        root_.Reset();
        // "GoNoGo" 2 and the loopback origin stay: TS submission threads of this
        // process may still be running and must not report anything.
        ComServerSuiteTest::TearDown();
    }

    // This process's shared permission object, created on first use (the server
    // then loads in this process too).
    IQnTessarySharedPerms* Perms() {
        if (!perms_) {
            EXPECT_EQ(CreateRoot(&root_), S_OK);
            LONG result = -1;
            EXPECT_EQ(root_->GetSharedPermsInterface(&perms_, &result), S_OK);
        }
        return perms_.Get();
    }

    ComPtr<IQnTessary> root_;
    ComPtr<IQnTessarySharedPerms> perms_;
};

TEST_F(SharedPermsComTest, TwoProcessesHammeringTheStoreEndWithExactlyTheRowsTheirOperationsImply) {
    // An odd count: each process's last change of every overlapping key is a set.
    constexpr int kIterations = 25;
    Helper first(L"hammer 1 " + std::to_wstring(kIterations));
    Helper second(L"hammer 2 " + std::to_wstring(kIterations));
    ASSERT_TRUE(first.started() && second.started());
    EXPECT_EQ(first.Wait(), 0) << "a call of the first process failed (see its output)";
    EXPECT_EQ(second.Wait(), 0) << "a call of the second process failed (see its output)";

    const auto rows = StoredRows();
    const std::string shared = "55555555555555555555555555555555";
    // The decision both kept changing: one row, holding the value both set last.
    ASSERT_EQ(rows.count({shared, 7, 1}), 1u);
    EXPECT_EQ(rows.find({shared, 7, 1})->second, ULONG((kIterations - 1) % 3));
    // Set and deleted in turn by both, set last by each: one row, never two (each
    // process's own index misses the other's row, so only the store can tell).
    ASSERT_EQ(rows.count({shared, 7, 2}), 1u);
    EXPECT_EQ(rows.find({shared, 7, 2})->second, ULONG(kIterations - 1));
    for (int id = 1; id <= 2; ++id) {
        const std::string own = "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA" + std::to_string(id);
        ASSERT_EQ(rows.count({own, 9, 2}), 1u) << own;
        EXPECT_EQ(rows.find({own, 9, 2})->second, ULONG(1000 + kIterations - 1)) << "an update was lost";
        // Inserted every time, deleted after the inserts of 3, 8, 13, 18 and 23: the insert of 24 remains.
        auto [begin, end] = rows.equal_range({own, 8, ULONG(id)});
        std::multiset<ULONG> permissions;
        for (auto it = begin; it != end; ++it) permissions.insert(it->second);
        EXPECT_EQ(permissions, (std::multiset<ULONG>{24})) << own;
    }
    EXPECT_EQ(rows.size(), 6u);
}

TEST_F(SharedPermsComTest, DatabaseMutexAbandonedByAKilledProcessCountsAsAcquired) {
    const std::wstring readyName = L"perms_hold_ready_" + std::to_wstring(::GetCurrentProcessId());
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    ASSERT_NE(ready, nullptr);
    {
        Helper holder(L"hold " + readyName);
        ASSERT_TRUE(holder.started());
        ASSERT_EQ(::WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);
        HANDLE mutex = ::CreateMutexW(nullptr, FALSE, kDatabaseMutex);
        ASSERT_NE(mutex, nullptr);
        EXPECT_EQ(::WaitForSingleObject(mutex, 0), WAIT_TIMEOUT) << "the helper must hold the database mutex";
        ::CloseHandle(mutex);
        ASSERT_TRUE(::TerminateProcess(holder.handle(), 3));
        ASSERT_EQ(holder.Wait(), 3);
    }
    ::CloseHandle(ready);

    QNTS_LOCAL_APP_PERMISSION record = Record(1, 2, 3, L"C:\\Held\\App.exe", L"0123456789ABCDEF0123456789ABCDEF");
    LONG result = -1;
    ASSERT_EQ(Perms()->SetPermissions(&record, 1, &result), S_OK);
    EXPECT_EQ(result, 0);
    QNTS_LOCAL_APP_PERMISSION* records = nullptr;
    ULONG count = 0;
    ASSERT_EQ(Perms()->GetPermissions(L"", L"", 0, 0, &records, &count, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count, 1u);
    ::CoTaskMemFree(records);
    // The abandoned mutex was taken and given back: another process gets it too.
    Helper reader(L"count 0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(reader.Wait(), 101);
}

// Another account can create a process's per-process object names before the
// process loads tsapi: semaphores at count 0, events never set, mutexes it owns.
// The process uses private objects instead, and its lookup and its read of the
// shared store complete.
TEST_F(SharedPermsComTest, ObjectsMadeFirstByAnotherProcessDoNotStopALookupOrAStoreRead) {
    QNTS_LOCAL_APP_PERMISSION record = Record(1, 2, 3, L"C:\\Squat\\App.exe", L"5C0A7000000000000000000000000001");
    LONG result = -1;
    ASSERT_EQ(Perms()->SetPermissions(&record, 1, &result), S_OK);
    ASSERT_EQ(result, 0);

    Helper helper(L"lookup 5C0A7000000000000000000000000001", true);
    ASSERT_TRUE(helper.started());
    const std::wstring pid = std::to_wstring(helper.processId());
    std::vector<UniqueHandle> squatted;
    for (const wchar_t* prefix :
         {names::kLcWriteSem, names::kLcReadSem, names::kXcWriteSem, names::kXcReadSem, names::kSigReadSem,
          names::kSigWriteSem, names::kServerSem, names::kSharedPermsReadSem, names::kSharedPermsWriteSem}) {
        squatted.emplace_back(::CreateSemaphoreW(nullptr, 0, 1, (prefix + pid).c_str()));
    }
    for (const wchar_t* prefix :
         {names::kLcEvent, names::kXcEvent, names::kDigSigEvent, names::kStatEvent, names::kSharedPermEvent}) {
        squatted.emplace_back(::CreateEventW(nullptr, TRUE, FALSE, (prefix + pid).c_str()));
    }
    for (const wchar_t* prefix :
         {names::kLcStartMutex, names::kXpStartMutex, names::kSigStartMutex, names::kSharedPermMutex}) {
        squatted.emplace_back(::CreateMutexW(nullptr, TRUE, (prefix + pid).c_str()));
    }
    for (const UniqueHandle& handle : squatted) ASSERT_TRUE(handle);
    ASSERT_TRUE(helper.Resume());
    EXPECT_EQ(helper.Wait(60000), 101) << "exit codes in shared_perms_helper.cpp; -1: it hung on a squatted object";
}

TEST_F(SharedPermsComTest, ProcessWithALoadedIndexDoesNotSeeAnotherProcesssNewRecords) {
    QNTS_LOCAL_APP_PERMISSION base = Record(1, 1, 1, L"C:\\Base.exe", L"BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB");
    LONG result = -1;
    ASSERT_EQ(Perms()->SetPermissions(&base, 1, &result), S_OK);
    ASSERT_EQ(result, 0);

    const std::wstring suffix = std::to_wstring(::GetCurrentProcessId());
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, (L"perms_stale_ready_" + suffix).c_str());
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, (L"perms_stale_go_" + suffix).c_str());
    ASSERT_TRUE(ready != nullptr && go != nullptr);
    constexpr wchar_t kNewHash[] = L"CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC";
    Helper stale(std::wstring(L"stale ") + kNewHash + L" perms_stale_ready_" + suffix + L" perms_stale_go_" + suffix);
    ASSERT_TRUE(stale.started());
    ASSERT_EQ(::WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);

    QNTS_LOCAL_APP_PERMISSION added = Record(2, 2, 2, L"C:\\New.exe", kNewHash);
    ASSERT_EQ(Perms()->SetPermissions(&added, 1, &result), S_OK);
    ASSERT_EQ(result, 0);
    ::SetEvent(go);
    EXPECT_EQ(stale.Wait(), 100) << "the loaded index is not refreshed by another process's change";
    Helper fresh(std::wstring(L"count ") + kNewHash);
    EXPECT_EQ(fresh.Wait(), 101) << "a process that loads after the change sees it";
    ::CloseHandle(ready);
    ::CloseHandle(go);
}

TEST_F(SharedPermsComTest, LocalPermissionsThroughTheDetailsObject) {
    Perms();
    ComPtr<IQnTessaryAppEntry> entry;
    LONG result = -1;
    ASSERT_EQ(root_->GetApplicationInterface(&entry, &result), S_OK);
    ComPtr<IQnTessaryAppDetails> details;
    const std::wstring self = ExecutableDir() + L"\\shared_perms_helper.exe";
    ASSERT_EQ(entry->GetApplicationDetails(self.c_str(), L"DDDDDDDDDDDDDDDDDDDDDDDDDDDDDDDD", 1, &details, &result),
              S_OK);

    QNTS_APP_PERMISSION* permissions = reinterpret_cast<QNTS_APP_PERMISSION*>(0x1);
    LONG count = 77;
    ASSERT_EQ(details->GetLocalPermission(&permissions, &count, &result), S_OK);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(permissions, nullptr);
    EXPECT_EQ(details->GetLocalPermission(nullptr, &count, &result), E_POINTER);

    ASSERT_EQ(details->SetLocalPermissionWithIp({4, 5, 6}, 0x0100007F, 80, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(details->SetLocalPermission({4, 5, 7}, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(details->GetLocalPermission(&permissions, &count, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(permissions[0].dwProduct, 4u);
    EXPECT_EQ(permissions[0].dwFeature, 5u);
    EXPECT_EQ(permissions[0].dwPermission, 7u);
    ::CoTaskMemFree(permissions);

    ASSERT_EQ(details->DeleteLocalPermission(4, 5, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(StoredRows().empty());
}

}  // namespace
}  // namespace tessary::testing
