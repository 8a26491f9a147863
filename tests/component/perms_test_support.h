#pragma once

// Shared set-up of the permission and statistics tests that run against the
// service emulator: the component server's objects in this process, a clean
// product key pointing at the emulator, empty stores and caches, and the decrypted
// usage reports the emulator recorded. Test support only.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component/shared_perms.h"
#include "component/usage_stats.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/record_cache.h"
#include "store/stores.h"
#include "tests/support/component_suite.h"
#include "tests/support/emulator_control.h"
#include "transport/service_urls.h"
#include "transport/winhttp_api.h"

namespace tessary::testing {

// The recorded requests that carry usage data.
inline std::vector<std::string> UsageReports(const EmulatorControl& emulator) {
    std::vector<std::string> reports;
    for (std::string& text : QueryTexts(emulator)) {
        if (text.find("||[stat]=") != std::string::npos) reports.push_back(std::move(text));
    }
    return reports;
}

// Waits until every statistics and TS submission thread has finished; false after a minute.
inline bool WaitForReports() {
    for (int i = 0; i < 6000; ++i) {
        const UsageStatisticsCounters counters = UsageStatisticsCount();
        if (SubmissionThreadsRunning() == 0 && counters.finished == counters.started) return true;
        ::Sleep(10);
    }
    return false;
}

class PermsEmulatorTest : public EmulatorSuiteTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(EmulatorSuiteTest::SetUp());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Quellon\\Varo\\Settings\\Optin");
        RemoveCommonStore(kSharedStoreName);
        FreeSharedPermissionIndex();
        FreeRecordCache();
        ::SetEvent(ProcessObjects().sharedPermEvent.get());
        ::SetEvent(ProcessObjects().lcEvent.get());
    }
    void TearDown() override {
        EXPECT_TRUE(WaitForReports());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Quellon\\Varo\\Settings\\Optin");
    }

    static void GoNoGo(DWORD value) {
        ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kGoNoGo, value));
    }
    static void Consent(DWORD value) {
        ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit, value));
    }
    static void LocalStore(const char* sql) {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        ASSERT_EQ(sqlite_exec(db.get(), sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    static void SharedStore(const char* sql) {
        UniqueSqlite db;
        ASSERT_TRUE(OpenSharedStore(&db));
        ASSERT_EQ(sqlite_exec(db.get(), sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    static int SharedRowCount() {
        UniqueSqlite db;
        if (!OpenSharedStore(&db)) return -1;
        UniqueSqliteTable table;
        int rows = 0;
        int columns = 0;
        if (sqlite_get_table(db.get(), "SELECT id FROM LocalSharedCache", table.put(), &rows, &columns, nullptr) !=
            SQLITE_OK) {
            return -1;
        }
        return rows;
    }
};

}  // namespace tessary::testing
