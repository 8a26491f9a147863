#pragma once

// Shared set-up of the suites that run the component library in this process:
// the component server's named objects for the suite, store files removed
// between tests, the product key pointed at the service emulator or at a port
// where nothing answers, and every cache of the library dropped at the end. The
// process log file comes from process_log.h. Test support only.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "component/shared_perms.h"
#include "component/signature_list.h"
#include "component/usage_stats.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/exception_list.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/record_cache.h"
#include "store/stores.h"
#include "tests/support/emulator_control.h"
#include "tests/support/process_log.h"
#include "transport/service_urls.h"
#include "transport/winhttp_api.h"

namespace tessary::testing {

// Deletes the store file `name` of the common data folder (absent is fine).
inline void RemoveCommonStore(const wchar_t* name) {
    ::DeleteFileW(ResolveDataPath(name, DataBase::kCommonData).c_str());
}

// Drops every cache of the component library this process holds.
inline void FreeComponentCaches() {
    FreeRecordCache();
    FreeExceptionList();
    FreeSignatureList();
    FreeSharedPermissionIndex();
}

// No lookup or usage report leaves the machine: "GoNoGo" 2 and a loopback origin
// where nothing answers. Fatal failures stop the caller (ASSERT_NO_FATAL_FAILURE).
inline void KeepServiceTrafficLocal() {
    ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kGoNoGo, 2));
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, kServiceOriginValue, L"http://127.0.0.1:9"));
}

// A suite with the component server's named objects; every cache is dropped and
// the objects closed after the suite.
class ComponentSuiteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer)); }
    static void TearDownTestSuite() {
        FreeComponentCaches();
        CloseNamedObjects();
    }
};

// A ComponentSuiteTest against the service emulator: WinHTTP loaded for the suite;
// each test starts with the emulator reset, a product key holding only the
// emulator's origin and no local store file.
class EmulatorSuiteTest : public ComponentSuiteTest {
protected:
    static void SetUpTestSuite() {
        ASSERT_NO_FATAL_FAILURE(ComponentSuiteTest::SetUpTestSuite());
        ASSERT_TRUE(winhttp::Load());
    }

    void SetUp() override {
        ASSERT_NE(emulator_.port(), 0) << "run through tests/emulator/with_emulator.sh";
        ASSERT_TRUE(emulator_.Reset());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, kServiceOriginValue, emulator_.Origin()));
        RemoveCommonStore(kLocalStoreName);
    }

    EmulatorControl emulator_;
};

}  // namespace tessary::testing
