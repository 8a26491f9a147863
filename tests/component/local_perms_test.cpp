#include "component/local_perms.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component/app_lookup.h"
#include "component/file_identity.h"
#include "component/shared_perms.h"
#include "component/shared_perms_db.h"
#include "component/submission_link.h"
#include "tests/component/perms_test_support.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::UsageReports;
using testing::WaitForReports;

class LocalPermsTest : public testing::PermsEmulatorTest {
protected:
    void SetUp() override {
        PermsEmulatorTest::SetUp();
        ResetLocalPermissionSettings();
        GoNoGo(1);
        record_ = BuildFromPath(L"C:\\Local\\App.exe");
        record_.md5 = "0123456789ABCDEF0123456789ABCDEF";
    }

    LONG Set(uint32_t product, uint32_t feature, uint32_t permission) {
        LONG result = 99;
        EXPECT_EQ(SetLocalPermission(&record_, {product, feature, permission}, false, 0, 0, &result), S_OK);
        return result;
    }
    // The stored triples GetLocalPermission hands out; *result receives plResult.
    std::vector<tagQNTS_APP_PERMISSION> Get(LONG* result) {
        tagQNTS_APP_PERMISSION* permissions = reinterpret_cast<tagQNTS_APP_PERMISSION*>(0x1);
        LONG count = 77;
        EXPECT_EQ(GetLocalPermission(&record_, &permissions, &count, result), S_OK);
        std::vector<tagQNTS_APP_PERMISSION> out;
        if (permissions != nullptr) out.assign(permissions, permissions + count);
        if (*result != 0) {
            EXPECT_EQ(permissions, nullptr);
            EXPECT_EQ(count, 0);
        }
        ::CoTaskMemFree(permissions);
        return out;
    }

    AppRecord record_;
};

TEST_F(LocalPermsTest, GetWithoutADecisionGivesSixNoCountAndNoArray) {
    LONG result = 99;
    EXPECT_TRUE(Get(&result).empty());
    EXPECT_EQ(result, 6);
}

TEST_F(LocalPermsTest, DecisionsAreStoredReadAndDeleted) {
    EXPECT_EQ(Set(1, 2, 3), 0);
    EXPECT_EQ(Set(1, 5, 4), 0);
    LONG result = 99;
    auto stored = Get(&result);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(stored.size(), 2u);
    EXPECT_EQ(stored[0].dwPermission + stored[1].dwPermission, 7u);

    result = 99;
    EXPECT_EQ(DeleteLocalPermission(&record_, 1, 2, &result), S_OK);
    EXPECT_EQ(result, 0);
    stored = Get(&result);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].dwFeature, 5u);
    EXPECT_EQ(SharedRowCount(), 1);
}

TEST_F(LocalPermsTest, KnownApplicationIsStoredAndNotReported) {
    record_.className = "GO";
    EXPECT_EQ(Set(1, 2, 3), 0);
    ASSERT_TRUE(WaitForReports());
    EXPECT_TRUE(UsageReports(emulator_).empty());
    EXPECT_EQ(SharedRowCount(), 1);
}

TEST_F(LocalPermsTest, FirstDecisionAboutAnUnknownApplicationIsReportedAndASecondOneUpdatesSilently) {
    EXPECT_EQ(Set(1, 2, 1), 0);
    ASSERT_TRUE(WaitForReports());
    auto reports = UsageReports(emulator_);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("||[stat]=1||[prod]=1||[feat]=2"), std::string::npos) << reports[0];
    EXPECT_EQ(reports[0].find("[ip]="), std::string::npos) << reports[0];

    EXPECT_EQ(Set(1, 2, 0), 0);
    ASSERT_TRUE(WaitForReports());
    EXPECT_EQ(UsageReports(emulator_).size(), 1u);
    EXPECT_EQ(SharedRowCount(), 1);
    LONG result = 99;
    auto stored = Get(&result);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].dwPermission, 0u);
}

TEST_F(LocalPermsTest, DecisionAnotherProcessAlreadyStoredIsUpdatedNotDuplicatedOrReported) {
    // This process loads its index first; the row appears in the store afterwards.
    SharedStore(
        "INSERT INTO LocalSharedCache (path, HASH, Product, Feature, Permission) VALUES "
        "('AAA', 'FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF', '9', '9', '9');");
    LONG result = 99;
    EXPECT_TRUE(Get(&result).empty());
    const std::string path = B64EncodePath(record_.path).value_or("");
    const std::string insert = "INSERT INTO LocalSharedCache (path, HASH, Product, Feature, Permission) VALUES ('" +
                               path + "', '0123456789ABCDEF0123456789ABCDEF', '1', '2', '3');";
    SharedStore(insert.c_str());

    EXPECT_EQ(Set(1, 2, 4), 0);
    ASSERT_TRUE(WaitForReports());
    EXPECT_TRUE(UsageReports(emulator_).empty());
    EXPECT_EQ(SharedRowCount(), 2);
    auto stored = Get(&result);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].dwPermission, 4u);
}

TEST_F(LocalPermsTest, DestinationIsReportedUnlessTheServiceDisablesIt) {
    LONG result = 99;
    EXPECT_EQ(SetLocalPermission(&record_, {1, 2, 3}, true, 0x0100007F, 443, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(WaitForReports());
    auto reports = UsageReports(emulator_);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("||[stat]=0||[prod]=1||[feat]=2||[ip]=16777343||[port]=443"), std::string::npos)
        << reports[0];

    LocalStore("INSERT INTO Settings VALUES('DisableFirstConnect','1');");
    ResetLocalPermissionSettings();
    EXPECT_EQ(SetLocalPermission(&record_, {1, 3, 3}, true, 0x0100007F, 443, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(WaitForReports());
    reports = UsageReports(emulator_);
    ASSERT_EQ(reports.size(), 2u);
    const std::string& last = reports[0].find("[feat]=3") != std::string::npos ? reports[0] : reports[1];
    EXPECT_NE(last.find("||[feat]=3"), std::string::npos) << last;
    EXPECT_EQ(last.find("[ip]="), std::string::npos) << last;
    EXPECT_EQ(last.find("[port]="), std::string::npos) << last;
}

TEST_F(LocalPermsTest, GoNoGoTwoOrNoConsentSuppressTheReport) {
    GoNoGo(2);
    EXPECT_EQ(Set(1, 2, 3), 0);
    GoNoGo(1);
    Consent(0);
    EXPECT_EQ(Set(1, 4, 3), 0);
    ASSERT_TRUE(WaitForReports());
    EXPECT_TRUE(UsageReports(emulator_).empty());
    EXPECT_EQ(SharedRowCount(), 2);
}

// A path whose drive letter names no drive, or empty when every letter is in use.
std::wstring PathOnAMissingDrive() {
    const DWORD drives = ::GetLogicalDrives();
    for (wchar_t c = L'Y'; c >= L'D'; --c) {
        const wchar_t root[] = {c, L':', L'\\', 0};
        if (!(drives & (1u << (c - L'A'))) && ::GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) {
            return std::wstring(1, c) + L":\\Vendor\\Gone.exe";
        }
    }
    return {};
}

TEST_F(LocalPermsTest, CallersHashIsKeptForADeletedFileOrAMissingDrive) {
    // The entry every unhashable file shares knows another application.
    const std::string shared = "{\"answers\": {\"\": \"[Class]=GO||[end]=true\"}}";
    ASSERT_TRUE(emulator_.Call(L"POST", L"catalogue", shared));
    testing::ScopedTempDir dir;
    const std::wstring deleted = dir.File(L"Deleted.exe");
    ASSERT_TRUE(testing::WriteFileBytes(deleted, "program"));
    ASSERT_TRUE(::DeleteFileW(deleted.c_str()));
    std::vector<std::wstring> paths = {deleted};
    if (const std::wstring missing = PathOnAMissingDrive(); !missing.empty()) paths.push_back(missing);

    int n = 0;
    for (const std::wstring& path : paths) {
        SCOPED_TRACE(std::string(path.begin(), path.end()));
        const std::wstring hash = L"0123456789ABCDEF0123456789ABCDE" + std::to_wstring(n++);
        const std::string narrowHash(hash.begin(), hash.end());
        std::unique_ptr<ApplicationDetails> details;
        LONG result = 99;
        ASSERT_EQ(ApplicationEntry::GetApplicationDetails(path.c_str(), hash.c_str(), 0, &details, &result), S_OK);
        ASSERT_TRUE(details && details->record());
        EXPECT_EQ(result, 6) << "the service does not know this hash";
        EXPECT_EQ(details->record()->md5, narrowHash);
        const std::vector<std::string> queries = testing::QueryTexts(emulator_);
        ASSERT_FALSE(queries.empty());
        EXPECT_NE(queries.back().find("||[hash]=" + narrowHash + "||"), std::string::npos) << queries.back();

        LPWSTR url = nullptr;
        ASSERT_EQ(SubmitApplication(details->record(), &url, &result), S_OK);
        EXPECT_EQ(result, 0);
        ASSERT_NE(url, nullptr);
        EXPECT_EQ(std::wstring(url), emulator_.Url(L"/library/app/feedback/?Md5=") + hash);
        ::CoTaskMemFree(url);

        EXPECT_EQ(SetLocalPermission(details->record(), {1, 2, 3}, false, 0, 0, &result), S_OK);
        EXPECT_EQ(result, 0);
        tagQNTS_APP_PERMISSION* permissions = nullptr;
        LONG count = 0;
        ASSERT_EQ(GetLocalPermission(details->record(), &permissions, &count, &result), S_OK);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(count, 1);
        ::CoTaskMemFree(permissions);
        EXPECT_EQ(DeleteLocalPermission(details->record(), 1, 2, &result), S_OK);
        EXPECT_EQ(result, 0);
    }
}

TEST_F(LocalPermsTest, MissingRecordNullOutputsAndLockFailureAreDefined) {
    LONG result = 99;
    EXPECT_EQ(SetLocalPermission(nullptr, {1, 2, 3}, false, 0, 0, &result), S_OK);
    EXPECT_EQ(result, -1);
    result = 99;
    EXPECT_EQ(DeleteLocalPermission(nullptr, 1, 2, &result), S_OK);
    EXPECT_EQ(result, -1);
    tagQNTS_APP_PERMISSION* permissions = nullptr;
    LONG count = 5;
    result = 99;
    EXPECT_EQ(GetLocalPermission(nullptr, &permissions, &count, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(SetLocalPermission(&record_, {1, 2, 3}, false, 0, 0, nullptr), E_POINTER);
    EXPECT_EQ(DeleteLocalPermission(&record_, 1, 2, nullptr), E_POINTER);
    EXPECT_EQ(GetLocalPermission(&record_, nullptr, &count, &result), E_POINTER);

    HANDLE semaphore = ProcessObjects().sharedPermsWriteSem.Take();
    EXPECT_EQ(SetLocalPermission(&record_, {1, 2, 3}, false, 0, 0, &result), E_UNEXPECTED);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(DeleteLocalPermission(&record_, 1, 2, &result), E_UNEXPECTED);
    EXPECT_EQ(result, -1);
    ProcessObjects().sharedPermsWriteSem.reset(semaphore);
    EXPECT_EQ(SharedRowCount(), 0);
}

}  // namespace
}  // namespace tessary
