#include "store/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/stores.h"

namespace tessary {
namespace {

constexpr unsigned char kSentinelByte = 0x5A;

// Every test starts with no local store and without the assistant's registry key.
class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        storePath_ = ResolveDataPath(kLocalStoreName, DataBase::kCommonData);
        Clean();
        std::memset(&record_, kSentinelByte, sizeof(record_));
    }
    void TearDown() override { Clean(); }
    void Clean() {
        ::RemoveDirectoryW(storePath_.c_str());
        ::DeleteFileW(storePath_.c_str());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quellonhome");
    }

    // Adds one row; a null key or value is stored as NULL.
    static void Insert(const char* key, const char* value) {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        ASSERT_EQ(
            sqlite_exec_printf(db.get(), "INSERT INTO Settings VALUES(%Q,%Q);", nullptr, nullptr, nullptr, key, value),
            SQLITE_OK);
    }

    // A directory where the store file belongs: the store cannot be opened or replaced.
    void BlockStore() {
        ::DeleteFileW(storePath_.c_str());
        ASSERT_TRUE(::CreateDirectoryW(storePath_.c_str(), nullptr));
        UniqueSqlite db;
        ASSERT_FALSE(OpenLocalStore(&db));
    }

    bool RecordIsSentinel() const {
        const auto* bytes = reinterpret_cast<const unsigned char*>(&record_);
        for (size_t i = 0; i < sizeof(record_); ++i) {
            if (bytes[i] != kSentinelByte) return false;
        }
        return true;
    }

    std::wstring storePath_;
    tagQNTS_FIREWALL_SETTINGS record_;
};

TEST_F(SettingsTest, KeyIsMatchedInAnyCaseAndEveryOtherFieldReadsAllBitsSet) {
    Insert("connecttimeout", "5000");
    ASSERT_TRUE(ReadServiceSettings(&record_));
    EXPECT_EQ(record_.pdwConnectTimeout, 5000u);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record_);
    const size_t fieldAt = offsetof(tagQNTS_FIREWALL_SETTINGS, pdwConnectTimeout);
    for (size_t i = 0; i < sizeof(record_); ++i) {
        if (i >= fieldAt && i < fieldAt + 4) continue;
        ASSERT_EQ(bytes[i], 0xFF) << "byte " << i;
    }
}

TEST_F(SettingsTest, EachKeyFillsItsOwnField) {
    const char* numbers[] = {"SubmitInterval",  "MaxEvents",       "SubmitPercent",      "EventsEnabled",
                             "AppStatsEnabled", "AppQueryEnabled", "ManifestInterval",   "ConnectTimeout",
                             "SendTimeout",     "ReceiveTimeout",  "DisableFirstConnect"};
    const char* texts[] = {"EventsURL", "AppQueryURL", "AppStatsURL", "AppSubmitURL", "ManifestURL", "SummaryURL"};
    for (int i = 0; i < 11; ++i) Insert(numbers[i], std::to_string(100 + i).c_str());
    for (int i = 0; i < 6; ++i) Insert(texts[i], ("http://h/" + std::to_string(i)).c_str());
    ASSERT_TRUE(ReadServiceSettings(&record_));

    const unsigned long* fields = &record_.pdwSubmitInterval;
    for (int i = 0; i < 11; ++i) EXPECT_EQ(fields[i], 100u + i) << numbers[i];
    const wchar_t(*textFields)[255] = &record_.pwszEventsURL;
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(std::wstring(textFields[i]), L"http://h/" + std::to_wstring(i)) << texts[i];
        EXPECT_EQ(textFields[i][254], L'\0') << "zero-filled to the end";
    }
}

TEST_F(SettingsTest, EmptyTableFailsAndLeavesTheRecordUntouched) {
    Insert("Unused", "1");
    {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        ASSERT_EQ(sqlite_exec(db.get(), "DELETE FROM Settings;", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    EXPECT_FALSE(ReadServiceSettings(&record_));
    EXPECT_TRUE(RecordIsSentinel());
    EXPECT_FALSE(ReadServiceSettings(nullptr));
}

TEST_F(SettingsTest, UnreadableStoreFailsEveryRead) {
    BlockStore();
    EXPECT_FALSE(ReadServiceSettings(&record_));
    EXPECT_TRUE(RecordIsSentinel());
    EXPECT_EQ(ReadStatPercent(), 0);
    EXPECT_FALSE(ApplyUpdateCheckerSettings());
}

TEST_F(SettingsTest, TextIsCutAt255CharactersWithoutTerminatorAndNeverSpills) {
    Insert("EventsURL", std::string(300, 'e').c_str());
    Insert("AppStatsURL", std::string(254, 's').c_str());
    ASSERT_TRUE(ReadServiceSettings(&record_));
    for (int i = 0; i < 255; ++i) ASSERT_EQ(record_.pwszEventsURL[i], L'e') << i;
    // The neighbouring field was not given and keeps all bits set.
    for (int i = 0; i < 255; ++i) ASSERT_EQ(record_.pwszAppQueryURL[i], 0xFFFF) << i;
    EXPECT_EQ(std::wstring(record_.pwszAppStatsURL), std::wstring(254, L's'));
    EXPECT_EQ(record_.pwszAppStatsURL[254], L'\0');
}

TEST_F(SettingsTest, LaterRowWinsUnknownKeysAreIgnoredAndNullsAreDefined) {
    Insert("MaxEvents", "10");
    Insert("MAXEVENTS", "20");
    Insert("NoSuchKey", "30");
    Insert(nullptr, "40");
    Insert("SubmitPercent", nullptr);
    Insert("SummaryURL", nullptr);
    Insert("SendTimeout", "-1");
    ASSERT_TRUE(ReadServiceSettings(&record_));
    EXPECT_EQ(record_.pdwMaxEvents, 20u);
    EXPECT_EQ(record_.pdwSubmitPercent, 0u);
    for (int i = 0; i < 255; ++i) ASSERT_EQ(record_.pwszSummaryURL[i], L'\0') << i;
    EXPECT_EQ(record_.pdwSendTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(record_.pdwSubmitInterval, 0xFFFFFFFFu);
}

class StatPercentTest : public SettingsTest {};

TEST_F(StatPercentTest, AbsentIsTenPresentIsItsNumber) {
    EXPECT_EQ(ReadStatPercent(), 10);
    Insert("StatPercent", "25");
    EXPECT_EQ(ReadStatPercent(), 25);
}

TEST_F(StatPercentTest, StoreThatOpensButCannotAnswerGivesTheDefault) {
    // The query fails after a successful open, as it does on a store busy past its
    // wait: here a table without a Value column stands where the table was.
    {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        ASSERT_EQ(
            sqlite_exec(db.get(), "DROP TABLE Settings; CREATE TABLE Settings(Other);", nullptr, nullptr, nullptr),
            SQLITE_OK);
    }
    EXPECT_EQ(ReadStatPercent(), 10) << "only a store that cannot be opened reads 0";
}

TEST_F(StatPercentTest, NullValueReadsAsZero) {
    Insert("StatPercent", nullptr);
    EXPECT_EQ(ReadStatPercent(), 0);
}

class UpdateCheckerSettingsTest : public SettingsTest {};

TEST_F(UpdateCheckerSettingsTest, AutoSubmitIntervalIsCopiedWhenTheKeyExists) {
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, kAutoSubmitKey, L"Other", L"kept"));
    Insert("autosubmitinterval", "42");
    ASSERT_TRUE(ApplyUpdateCheckerSettings());
    DWORD value = 0;
    ASSERT_TRUE(registry::ReadDword(HKEY_LOCAL_MACHINE, kAutoSubmitKey, kAutoSubmitValue, &value));
    EXPECT_EQ(value, 42u);
}

TEST_F(UpdateCheckerSettingsTest, MissingKeyIsNotCreated) {
    Insert("AutoSubmitInterval", "42");
    EXPECT_TRUE(ApplyUpdateCheckerSettings());
    EXPECT_FALSE(registry::KeyExists(HKEY_LOCAL_MACHINE, kAutoSubmitKey));
}

// The firewall settings object's methods.
class FirewallSettingsTest : public SettingsTest {
protected:
    FirewallSettings object_;
};

TEST_F(FirewallSettingsTest, SettingsAreHandedOutWithResultZero) {
    Insert("ReceiveTimeout", "900");
    LONG result = 12345;
    EXPECT_EQ(object_.GetFirewallSettings(&record_, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(record_.pdwReceiveTimeout, 900u);
}

TEST_F(FirewallSettingsTest, NoSettingsIsSuccessWithResultMinusOneAndTheRecordUnchanged) {
    LONG result = 12345;
    EXPECT_EQ(object_.GetFirewallSettings(&record_, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(RecordIsSentinel());
}

TEST_F(FirewallSettingsTest, NullArgumentsArePointerErrorsWithNothingWritten) {
    LONG result = 12345;
    EXPECT_EQ(object_.GetFirewallSettings(nullptr, &result), E_POINTER);
    EXPECT_EQ(result, 12345);
    EXPECT_EQ(object_.GetFirewallSettings(&record_, nullptr), E_POINTER);
    EXPECT_TRUE(RecordIsSentinel());

    tagQNTS_FIREWALL_IDS sentinel{};
    tagQNTS_FIREWALL_IDS* ids = &sentinel;
    ULONG count = 77;
    EXPECT_EQ(object_.GetIDSSettings(nullptr, &count, &result), E_POINTER);
    EXPECT_EQ(object_.GetIDSSettings(&ids, nullptr, &result), E_POINTER);
    EXPECT_EQ(object_.GetIDSSettings(&ids, &count, nullptr), E_POINTER);
    EXPECT_EQ(ids, &sentinel);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(result, 12345);
}

TEST_F(FirewallSettingsTest, IntrusionDetectionSettingsAreNeverHandedOut) {
    Insert("ReceiveTimeout", "900");
    tagQNTS_FIREWALL_IDS sentinel{};
    tagQNTS_FIREWALL_IDS* ids = &sentinel;
    ULONG count = 77;
    LONG result = 12345;
    EXPECT_EQ(object_.GetIDSSettings(&ids, &count, &result), S_OK);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(result, -1);
}

}  // namespace
}  // namespace tessary
