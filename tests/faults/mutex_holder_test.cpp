// The holder of the machine-wide database mutex of the shared permission store
// dies while this process waits for the mutex: the waiting change goes ahead
// (the abandoned mutex counts as acquired), nothing stored before is lost, and
// the mutex is free for the next user afterwards. A holder that never lets go
// (any account's process can hold it) ends the wait after the bound with the
// lock-failure result. The holder is the shared permission tests' helper
// program (shared_perms_helper.exe hold <event>).

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "component/shared_perms.h"
#include "component/shared_perms_db.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/object_names.h"
#include "platform/product_registry.h"
#include "store/stores.h"
#include "tests/faults/fault_support.h"
#include "tests/support/component_suite.h"

namespace tessary {
namespace {

using testing::ChildProcess;
using testing::RowsOf;

std::vector<std::string> SharedRows() {
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) return {"<store does not open>"};
    return RowsOf(db.get(), "SELECT Hash, Product, Feature, Permission FROM LocalSharedCache ORDER BY id;");
}

class MutexHolderTest : public testing::ComponentSuiteTest {
protected:
    static void TearDownTestSuite() {
        ComponentSuiteTest::TearDownTestSuite();
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
        testing::RemoveCommonStore(kSharedStoreName);
    }
    void TearDown() override { SetDatabaseLockTimeoutForTesting(0); }
    void SetUp() override {
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
        ASSERT_NO_FATAL_FAILURE(testing::KeepServiceTrafficLocal());
        testing::RemoveCommonStore(kSharedStoreName);
        FreeSharedPermissionIndex();
    }
};

TEST_F(MutexHolderTest, WaiterGetsTheMutexOfAKilledHolderAndTheSharedStoreKeepsEveryRow) {
    LONG result = -99;
    std::vector<tagQNTS_LOCAL_APP_PERMISSION> stored;
    for (ULONG i = 1; i <= 20; ++i) {
        stored.push_back(MakeSharedRecord(0, 3, i, i * 10, L"C:\\Kept\\App.exe", L"CEE00000000000000000000000000001"));
    }
    ASSERT_EQ(SharedPermissions::SetPermissions(stored.data(), static_cast<ULONG>(stored.size()), &result), S_OK);
    ASSERT_EQ(result, 0);
    const std::vector<std::string> before = SharedRows();
    ASSERT_EQ(before.size(), 20u);

    const std::wstring readyName = L"fault_mutex_ready_" + std::to_wstring(::GetCurrentProcessId());
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    ASSERT_NE(ready, nullptr);
    ChildProcess holder(L"\"" + ParentDirectory(ModuleFilePath(nullptr)) + L"\\shared_perms_helper.exe\" hold " +
                        readyName);
    ASSERT_TRUE(holder.started());
    ASSERT_EQ(::WaitForSingleObject(ready, 60000), WAIT_OBJECT_0);
    ::CloseHandle(ready);

    // A change that must wait for the holder.
    std::atomic<bool> done{false};
    LONG waitingResult = -99;
    HRESULT waitingHr = E_FAIL;
    std::thread waiting([&] {
        const tagQNTS_LOCAL_APP_PERMISSION added =
            MakeSharedRecord(0, 4, 1, 77, L"C:\\Added\\App.exe", L"ADD00000000000000000000000000001");
        waitingHr = SharedPermissions::SetPermissions(&added, 1, &waitingResult);
        done = true;
    });
    ::Sleep(500);
    EXPECT_FALSE(done) << "the change must wait while another process holds the database mutex";

    ASSERT_TRUE(holder.Kill(3));
    waiting.join();
    EXPECT_EQ(waitingHr, S_OK);
    EXPECT_EQ(waitingResult, 0);

    std::vector<std::string> expected = before;
    expected.push_back("ADD00000000000000000000000000001|4|1|77");
    EXPECT_EQ(SharedRows(), expected);

    // The mutex was given back after the abandoned wait: it is free now.
    HANDLE mutex = ::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, names::kSharedDatabaseMutex);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(::WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "nobody may hold the mutex any more";
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);

    // A fresh load sees every row.
    FreeSharedPermissionIndex();
    tagQNTS_LOCAL_APP_PERMISSION* records = nullptr;
    ULONG count = 0;
    ASSERT_EQ(SharedPermissions::GetPermissions(L"", L"", 0, 0, &records, &count, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count, 21u);
    ::CoTaskMemFree(records);
}

// Starts the helper holding the database mutex; true once it holds it.
bool StartHolder(ChildProcess** holder) {
    const std::wstring readyName = L"fault_mutex_forever_" + std::to_wstring(::GetCurrentProcessId());
    UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    if (!ready) return false;
    *holder = new ChildProcess(L"\"" + ParentDirectory(ModuleFilePath(nullptr)) + L"\\shared_perms_helper.exe\" hold " +
                               readyName);
    return (*holder)->started() && ::WaitForSingleObject(ready.get(), 60000) == WAIT_OBJECT_0;
}

TEST_F(MutexHolderTest, AHolderThatNeverLetsGoEndsEveryStoreOperationWithTheLockFailureResult) {
    LONG result = -99;
    const tagQNTS_LOCAL_APP_PERMISSION kept =
        MakeSharedRecord(0, 3, 1, 10, L"C:\\Kept\\App.exe", L"CEE00000000000000000000000000001");
    ASSERT_EQ(SharedPermissions::SetPermissions(&kept, 1, &result), S_OK);
    ASSERT_EQ(result, 0);
    const std::vector<std::string> before = SharedRows();
    FreeSharedPermissionIndex();

    ChildProcess* started = nullptr;
    const bool holding = StartHolder(&started);
    std::unique_ptr<ChildProcess> holder(started);
    ASSERT_TRUE(holding);
    // The product waits kDatabaseLockTimeoutMs; the test shortens the bound.
    constexpr DWORD kBound = 1500;
    SetDatabaseLockTimeoutForTesting(kBound);

    const tagQNTS_LOCAL_APP_PERMISSION added =
        MakeSharedRecord(0, 4, 1, 77, L"C:\\Added\\App.exe", L"ADD00000000000000000000000000001");
    struct Call {
        const char* name;
        std::function<HRESULT(LONG*)> run;
    };
    const Call calls[] = {
        {"SetPermissions", [&](LONG* r) { return SharedPermissions::SetPermissions(&added, 1, r); }},
        {"GetPermissions (index load)",
         [&](LONG* r) {
             tagQNTS_LOCAL_APP_PERMISSION* records = nullptr;
             ULONG count = 99;
             const HRESULT hr = SharedPermissions::GetPermissions(L"", L"", 0, 0, &records, &count, r);
             EXPECT_EQ(records, nullptr);
             EXPECT_EQ(count, 0u);
             return hr;
         }},
        {"DeletePermissions",
         [&](LONG* r) {
             return SharedPermissions::DeletePermissions(L"", L"CEE00000000000000000000000000001", 0, 0, r);
         }},
    };
    for (const Call& call : calls) {
        SCOPED_TRACE(call.name);
        const ULONGLONG start = ::GetTickCount64();
        result = -99;
        EXPECT_EQ(call.run(&result), E_UNEXPECTED);
        EXPECT_EQ(result, -1);
        const ULONGLONG took = ::GetTickCount64() - start;
        EXPECT_GE(took + 100, kBound) << "the call must have waited for the holder";
        EXPECT_LT(took, kBound + 20000) << "the call must end soon after the bound";
    }
    ASSERT_TRUE(holder->Kill(3));
    EXPECT_EQ(SharedRows(), before) << "nothing may change while the lock could not be had";
}

}  // namespace
}  // namespace tessary
