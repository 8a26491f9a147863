#include "component/app_lookup.h"

#include <objbase.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "component/file_identity.h"
#include "component/reputation_query.h"
#include "component/submission_link.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/exception_list.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/record_cache.h"
#include "store/stores.h"
#include "tests/support/component_suite.h"
#include "tests/support/emulator_control.h"
#include "transport/service_urls.h"
#include "transport/winhttp_api.h"

namespace tessary {
namespace {

using testing::EmulatorControl;
using testing::QueryTexts;

constexpr wchar_t kUpperHash[] = L"0123456789ABCDEF0123456789ABCDEF";

class AppLookupTest : public testing::EmulatorSuiteTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(EmulatorSuiteTest::SetUp());
        // Each test starts with caches that load again on first use.
        FreeRecordCache();
        FreeExceptionList();
        ::SetEvent(ProcessObjects().lcEvent.get());
        ::SetEvent(ProcessObjects().xcEvent.get());
    }
    void TearDown() override { registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary); }

    static void Store(const char* sql) {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        ASSERT_EQ(sqlite_exec(db.get(), sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    void Answer(const std::wstring& hash, const std::string& answer) {
        const std::string json =
            "{\"answers\": {\"" + std::string(hash.begin(), hash.end()) + "\": \"" + answer + "\"}}";
        ASSERT_TRUE(emulator_.Call(L"POST", L"catalogue", json));
    }
    std::unique_ptr<ApplicationDetails> Lookup(const wchar_t* file, const wchar_t* hash, LONG localOnly, LONG* result) {
        std::unique_ptr<ApplicationDetails> details;
        EXPECT_EQ(ApplicationEntry::GetApplicationDetails(file, hash, localOnly, &details, result), S_OK);
        EXPECT_TRUE(details);
        return details;
    }
    std::string ClassOf(const wchar_t* hash, LONG localOnly) {
        LONG result = -99;
        auto details = Lookup(nullptr, hash, localOnly, &result);
        return details && details->record() ? details->record()->className : "<none>";
    }
};

TEST_F(AppLookupTest, StoredRecordIsReadFromTheStoreOnceThenFromTheCache) {
    Store("INSERT INTO LocalCache VALUES('0123456789ABCDEF0123456789ABCDEF','[Class]=GO||[AppName]=Stored');");
    const uint64_t reads = RecordCacheStoreReads();
    LONG result = -99;
    auto details = Lookup(nullptr, kUpperHash, 1, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(details->record()->applicationName, "Stored");
    EXPECT_EQ(RecordCacheStoreReads(), reads + 1);

    Store("DELETE FROM LocalCache;");
    details = Lookup(nullptr, kUpperHash, 0, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(RecordCacheStoreReads(), reads + 1) << "the second lookup must come from the cache";
    EXPECT_TRUE(QueryTexts(emulator_).empty());
}

TEST_F(AppLookupTest, LocalCheckOnlyOneSendsNothingButOtherValuesAsk) {
    Answer(kUpperHash, "[Class]=GO||[end]=true");
    LONG result = -99;
    auto details = Lookup(nullptr, kUpperHash, 1, &result);
    EXPECT_EQ(result, 6);
    LONG known = 7;
    LONG isKnownResult = -99;
    ASSERT_EQ(details->IsKnown(&known, &isKnownResult), S_OK);
    EXPECT_EQ(known, 0);
    EXPECT_EQ(isKnownResult, 0);
    EXPECT_TRUE(QueryTexts(emulator_).empty());

    details = Lookup(nullptr, kUpperHash, -1, &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(details->record()->className, "GO");
    EXPECT_EQ(QueryTexts(emulator_).size(), 1u);
}

TEST_F(AppLookupTest, LiveAnswerIsCachedUntilTheCacheIsEmptied) {
    Answer(kUpperHash, "[Class]=GO||[end]=true");
    EXPECT_EQ(ClassOf(kUpperHash, 0), "GO");
    Answer(kUpperHash, "[Class]=SA||[end]=true");
    EXPECT_EQ(ClassOf(kUpperHash, 0), "GO");
    EXPECT_EQ(QueryTexts(emulator_).size(), 1u);

    ASSERT_EQ(ApplicationEntry::EmptyMemoryCache(), S_OK);
    EXPECT_EQ(ClassOf(kUpperHash, 0), "SA");
    EXPECT_EQ(QueryTexts(emulator_).size(), 2u);
}

TEST_F(AppLookupTest, CachedRecordIsNotReplacedByALaterLiveAnswer) {
    Store("INSERT INTO LocalCache VALUES('0123456789ABCDEF0123456789ABCDEF','[Class]=SA');");
    EXPECT_EQ(ClassOf(kUpperHash, 1), "SA");
    // The same hash answered live (e.g. by another path) keeps the cached record.
    AppRecord live;
    live.md5 = "0123456789ABCDEF0123456789ABCDEF";
    KeepServerRecord(live, "[Class]=GO||[end]=true");
    EXPECT_EQ(ClassOf(kUpperHash, 1), "SA");
}

TEST_F(AppLookupTest, HashIsUsedExactlyAsGiven) {
    Store("INSERT INTO LocalCache VALUES('0123456789ABCDEF0123456789ABCDEF','[Class]=GO');");
    LONG result = -99;
    auto details = Lookup(nullptr, L"0123456789abcdef0123456789abcdef", 1, &result);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(details->record()->md5, "0123456789abcdef0123456789abcdef");
}

TEST_F(AppLookupTest, GarbledAnswerGivesUnknownAndIsNotCached) {
    Answer(kUpperHash, "[Class]=GO||no end marker");
    LONG result = -99;
    auto details = Lookup(nullptr, kUpperHash, 0, &result);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(details->record()->className, "?");
    Lookup(nullptr, kUpperHash, 0, &result);
    EXPECT_EQ(QueryTexts(emulator_).size(), 2u) << "a garbled answer must not be cached";

    // A failing service leaves the class as it was.
    ASSERT_TRUE(emulator_.Script("{\"status\": 500, \"body\": \"[Class]=GO||[end]=true\"}"));
    details = Lookup(nullptr, kUpperHash, 0, &result);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(details->record()->className, "");
}

TEST_F(AppLookupTest, StoredUnknownClassGivesResultSix) {
    Store("INSERT INTO LocalCache VALUES('0123456789ABCDEF0123456789ABCDEF','[Class]=?');");
    LONG result = -99;
    Lookup(nullptr, kUpperHash, 0, &result);
    EXPECT_EQ(result, 6);
    EXPECT_TRUE(QueryTexts(emulator_).empty()) << "a stored record is found, so the service is not asked";
}

TEST_F(AppLookupTest, RequestCarriesTheFileIdentity) {
    const std::wstring self = ModuleFilePath(nullptr);
    LONG result = -99;
    auto details = Lookup(self.c_str(), nullptr, 0, &result);
    ASSERT_TRUE(details->record());
    const std::vector<std::string> texts = QueryTexts(emulator_);
    ASSERT_EQ(texts.size(), 1u);
    const AppRecord identity = BuildFromPath(self);
    EXPECT_EQ(texts[0], BuildRequestText(identity, ProcessQueryEnvironment(), {}));
    EXPECT_NE(texts[0].find("||[hash]=" + identity.md5 + "||[path]="), std::string::npos);
}

TEST_F(AppLookupTest, EmptyHashRecordsShareOneCacheEntry) {
    Answer(L"", "[Class]=GO||[end]=true");
    AppRecord first;
    first.exeName = "a.exe";
    ASSERT_TRUE(LookupRecord(first, 0));
    AppRecord second;
    second.exeName = "b.exe";
    ASSERT_TRUE(LookupRecord(second, 1));
    EXPECT_EQ(second.className, "GO");
}

TEST_F(AppLookupTest, ArgumentsAndEmptyInputs) {
    std::unique_ptr<ApplicationDetails> details;
    LONG result = -99;
    EXPECT_EQ(ApplicationEntry::GetApplicationDetails(nullptr, nullptr, 0, &details, &result), E_POINTER);
    EXPECT_EQ(ApplicationEntry::GetApplicationDetails(L"x", nullptr, 0, nullptr, &result), E_POINTER);
    EXPECT_EQ(ApplicationEntry::GetApplicationDetails(L"x", nullptr, 0, &details, nullptr), E_POINTER);

    ASSERT_EQ(ApplicationEntry::GetApplicationDetails(L"", L"", 0, &details, &result), S_OK);
    EXPECT_EQ(result, 6);
    ASSERT_TRUE(details && details->record());
    EXPECT_TRUE(details->record()->md5.empty());
    EXPECT_TRUE(QueryTexts(emulator_).empty());

    // Only a hash: no path, no size, and the hash comes back as MD5.
    details = Lookup(nullptr, kUpperHash, 1, &result);
    tagQNTS_APP_DETAILS props;
    memset(&props, 0xAB, sizeof(props));
    LONG propsResult = -99;
    ASSERT_EQ(details->GetFileProperties(&props, &propsResult), S_OK);
    EXPECT_EQ(propsResult, 0);
    EXPECT_EQ(std::wstring(props.pwszMD5), kUpperHash);
    EXPECT_EQ(props.pwszPath[0], L'\0');
    EXPECT_EQ(props.sizeOnDisk, 0u);
}

TEST_F(AppLookupTest, DetailsWithoutRecordAnswerMinusOne) {
    ApplicationDetails empty;
    LONG result = 0;
    LONG known = 5;
    EXPECT_EQ(empty.IsKnown(&known, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(known, 0);
    tagQNTS_APP_PERMISSION permission{};
    EXPECT_EQ(empty.GetServerPermission(&permission, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(empty.GetServerPermission(&permission, nullptr), E_POINTER);
    tagQNTS_APP_DETAILS props{};
    EXPECT_EQ(empty.GetFileProperties(&props, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(empty.GetFileProperties(nullptr, &result), E_POINTER);
    EXPECT_EQ(empty.IsKnown(&known, nullptr), E_POINTER);
}

TEST_F(AppLookupTest, SubmissionLinkOnlyForApplicationsTheServiceDoesNotKnow) {
    LPWSTR url = reinterpret_cast<LPWSTR>(1);
    LONG result = 99;
    EXPECT_EQ(SubmitApplication(nullptr, &url, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(url, nullptr);
    EXPECT_EQ(SubmitApplication(nullptr, nullptr, &result), E_POINTER);
    EXPECT_EQ(SubmitApplication(nullptr, &url, nullptr), E_POINTER);

    Store("INSERT INTO LocalCache VALUES('0123456789ABCDEF0123456789ABCDEF','[Class]=GO');");
    auto known = Lookup(nullptr, kUpperHash, 1, &result);
    url = reinterpret_cast<LPWSTR>(1);
    ASSERT_EQ(SubmitApplication(known->record(), &url, &result), S_OK);
    EXPECT_EQ(result, 2);
    EXPECT_EQ(url, nullptr);

    constexpr wchar_t kUnknownHash[] = L"FEDCBA9876543210FEDCBA9876543210";
    Store("INSERT INTO LocalCache VALUES('FEDCBA9876543210FEDCBA9876543210','[Class]=?');");
    auto unknown = Lookup(nullptr, kUnknownHash, 1, &result);
    ASSERT_EQ(SubmitApplication(unknown->record(), &url, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_NE(url, nullptr);
    EXPECT_EQ(std::wstring(url), emulator_.Url(L"/library/app/feedback/?Md5=") + kUnknownHash);
    ::CoTaskMemFree(url);

    EXPECT_EQ(SubmissionLink("AB", {1, 2, 3, 0xA4}),
              emulator_.Url(L"/library/app/feedback/?Md5=AB&tsid=00010002000300A4"));
    EXPECT_EQ(SubmissionLink("", {0, 0, 0, 0}), emulator_.Url(L"/library/app/feedback/?Md5="));
}

struct PermissionCase {
    const char* className;
    LONG result;
    uint32_t bits;
};

TEST_F(AppLookupTest, ServerPermissionBitsFollowTheClass) {
    const PermissionCase cases[] = {
        {"GO", 0, 0x1}, {"SA", 0, 0x4}, {"T+M+^", 0, 0x32}, {"?", 6, 0}, {"P&.", 0, 0xC4}, {"O", 0, 0x1},
    };
    for (const PermissionCase& c : cases) {
        auto details = std::make_unique<ApplicationDetails>();
        auto record = std::make_unique<AppRecord>();
        record->className = c.className;
        record->md5 = "FFFF";
        details->AttachRecord(std::move(record));
        tagQNTS_APP_PERMISSION permission{0xAAAA, 0xBBBB, 0xCCCC};
        LONG result = -99;
        ASSERT_EQ(details->GetServerPermission(&permission, &result), S_OK);
        EXPECT_EQ(result, c.result) << c.className;
        if (c.result == 0) {
            EXPECT_EQ(permission.dwProduct, 0x10000u);
            EXPECT_EQ(permission.dwFeature, 0x1000u);
            EXPECT_EQ(permission.dwPermission, c.bits) << c.className;
        } else {
            EXPECT_EQ(permission.dwPermission, 0xCCCCu) << "untouched when unknown";
        }
    }
}

TEST_F(AppLookupTest, ExceptionListAddsItsBitEvenForUnknownApplications) {
    Store("INSERT INTO LocalExpInfo VALUES('FFFF','tool.exe','d','1');");
    auto details = std::make_unique<ApplicationDetails>();
    auto record = std::make_unique<AppRecord>();
    record->className = "?";
    record->md5 = "FFFF";
    details->AttachRecord(std::move(record));
    tagQNTS_APP_PERMISSION permission{};
    LONG result = -99;
    ASSERT_EQ(details->GetServerPermission(&permission, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(permission.dwPermission, 0x8u);
}

TEST_F(AppLookupTest, UnsignedFileOfTheMakerIsNotTrusted) {
    auto details = std::make_unique<ApplicationDetails>();
    auto record = std::make_unique<AppRecord>();
    record->path = ModuleFilePath(nullptr);
    record->company = "Quellon Software";
    details->AttachRecord(std::move(record));
    tagQNTS_APP_PERMISSION permission{};
    LONG result = -99;
    ASSERT_EQ(details->GetServerPermission(&permission, &result), S_OK);
    EXPECT_EQ(result, 6) << "an unsigned test executable must not pass trust validation";
}

TEST(PermissionBits, TrustedMakerAndExceptionBits) {
    EXPECT_EQ(PermissionBits("", true, false), 0x11u);
    EXPECT_EQ(PermissionBits("", false, true), 0x8u);
    EXPECT_EQ(PermissionBits("/@", false, false), 0x4u);
    EXPECT_EQ(PermissionBits("go", false, false), 0x0u) << "classes are upper case; letters are matched exactly";
    EXPECT_TRUE(IsMakerCompany("Quellon Inc."));
    EXPECT_TRUE(IsMakerCompany("Vorland Security GmbH"));
    EXPECT_FALSE(IsMakerCompany("quellon"));
    EXPECT_FALSE(IsKnownClass(""));
    EXPECT_FALSE(IsKnownClass("G?"));
    EXPECT_TRUE(IsKnownClass("G"));
}

}  // namespace
}  // namespace tessary
