#include "store/record_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/stores.h"
#include "tests/support/local_store.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::FileExists;
using testing::StoreExec;

constexpr char kHash[] = "0123456789ABCDEF0123456789ABCDEF";
constexpr char kStored[] = "[Class]=GO||[AppName]=Stored Tool||[EXE]=tool.exe||[Desc]=from store";

// A record whose answer fields hold sentinels, so any change shows.
AppRecord Probe(std::string hash) {
    AppRecord record;
    record.md5 = std::move(hash);
    record.className = "sentinel-class";
    record.applicationName = "sentinel-app";
    record.exeName = "sentinel.exe";
    record.description = "sentinel-desc";
    return record;
}

// "<prefix><i>", built by appending (GCC 12 warns falsely on literal + to_string).
std::string Numbered(const char* prefix, int i) {
    std::string text(prefix);
    text.append(std::to_string(i));
    return text;
}

bool PutRow(const char* hash, const char* data) {
    return StoreExec("INSERT INTO LocalCache VALUES(%Q,%Q);", hash, data);
}

// Each test starts with the process's objects, an empty cache and a new local
// store (already opened once, so later opens add its index). "TsTime2" is set to
// now so a reset of the store never starts the update checker.
class RecordCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
        EmptyMemoryCache();
        ASSERT_TRUE(registry::WriteProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2,
                                                 static_cast<int64_t>(std::time(nullptr))));
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
    }
    void TearDown() override {
        EmptyMemoryCache();
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
    }

    testing::ScopedNoLocalStore store_;
};

TEST_F(RecordCacheTest, StoredHashIsReadFromTheStoreOnceThenServedFromTheCache) {
    ASSERT_TRUE(PutRow(kHash, kStored));
    const uint64_t reads = RecordCacheStoreReads();

    AppRecord first = Probe(kHash);
    ASSERT_TRUE(FindRecord(first));
    EXPECT_EQ(first.className, "GO");
    EXPECT_EQ(first.applicationName, "Stored");  // fields end at their first blank
    EXPECT_EQ(first.exeName, "tool.exe");
    EXPECT_EQ(RecordCacheStoreReads(), reads + 1);
    EXPECT_EQ(RecordCacheEntries(), 1u);

    // The row is gone from the store; the cache still answers, without a read.
    ASSERT_TRUE(StoreExec("DELETE FROM LocalCache;"));
    AppRecord second = Probe(kHash);
    ASSERT_TRUE(FindRecord(second));
    EXPECT_EQ(second.className, "GO");
    EXPECT_EQ(second.exeName, "tool.exe");
    EXPECT_EQ(RecordCacheStoreReads(), reads + 1);
}

TEST_F(RecordCacheTest, UnknownHashIsLookedForInTheStoreEachTimeAndChangesNothing) {
    const uint64_t reads = RecordCacheStoreReads();
    for (int i = 1; i <= 2; ++i) {
        AppRecord record = Probe(kHash);
        EXPECT_FALSE(FindRecord(record));
        EXPECT_EQ(record.className, "sentinel-class");
        EXPECT_EQ(record.applicationName, "sentinel-app");
        EXPECT_EQ(RecordCacheStoreReads(), reads + i);
    }
    EXPECT_EQ(RecordCacheEntries(), 0u);
}

TEST_F(RecordCacheTest, LowerCaseHashDoesNotFindAnUpperCaseRecord) {
    ASSERT_TRUE(PutRow(kHash, kStored));
    AppRecord lower = Probe("0123456789abcdef0123456789abcdef");
    EXPECT_FALSE(FindRecord(lower)) << "store comparison";
    AppRecord upper = Probe(kHash);
    ASSERT_TRUE(FindRecord(upper));
    lower = Probe("0123456789abcdef0123456789abcdef");
    EXPECT_FALSE(FindRecord(lower)) << "cache comparison";
    EXPECT_EQ(lower.className, "sentinel-class");
}

TEST_F(RecordCacheTest, LiveAnswerNeverReplacesACachedRecord) {
    ASSERT_TRUE(PutRow(kHash, kStored));
    AppRecord record = Probe(kHash);
    ASSERT_TRUE(FindRecord(record));
    KeepServerRecord(record, "[Class]=SA||[AppName]=Live||[end]=true");
    AppRecord again = Probe(kHash);
    ASSERT_TRUE(FindRecord(again));
    EXPECT_EQ(again.className, "GO");
    EXPECT_EQ(again.applicationName, "Stored");

    // A hash known only from the service: served without a store read, first answer stays.
    const uint64_t reads = RecordCacheStoreReads();
    AppRecord live = Probe("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    KeepServerRecord(live, "[Class]=t m||[AppName]=Live||[end]=true");
    KeepServerRecord(live, "[Class]=SA||[AppName]=Later||[end]=true");
    ASSERT_TRUE(FindRecord(live));
    EXPECT_EQ(live.className, "T");
    EXPECT_EQ(live.applicationName, "Live");
    EXPECT_EQ(RecordCacheStoreReads(), reads);
    EXPECT_EQ(RecordCacheEntries(), 2u);
}

TEST_F(RecordCacheTest, AfterEmptyMemoryCacheTheStoreIsConsultedAgain) {
    ASSERT_TRUE(PutRow(kHash, kStored));
    AppRecord live = Probe("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    KeepServerRecord(live, "[Class]=GO||[end]=true");
    AppRecord record = Probe(kHash);
    ASSERT_TRUE(FindRecord(record));
    const uint64_t reads = RecordCacheStoreReads();
    ASSERT_EQ(RecordCacheEntries(), 2u);

    EmptyMemoryCache();
    EXPECT_EQ(RecordCacheEntries(), 0u);
    record = Probe(kHash);
    ASSERT_TRUE(FindRecord(record));
    EXPECT_EQ(record.className, "GO");
    EXPECT_EQ(RecordCacheStoreReads(), reads + 1);
    // A record known only from a live answer is gone: the caller must ask again.
    live = Probe("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    EXPECT_FALSE(FindRecord(live));
}

TEST_F(RecordCacheTest, RowWithoutDataCountsAsFoundButFillsAndCachesNothing) {
    ASSERT_TRUE(PutRow(kHash, nullptr));
    const uint64_t reads = RecordCacheStoreReads();
    for (int i = 1; i <= 2; ++i) {
        AppRecord record = Probe(kHash);
        EXPECT_TRUE(FindRecord(record));
        EXPECT_EQ(record.className, "sentinel-class");
        EXPECT_EQ(record.exeName, "sentinel.exe");
        EXPECT_EQ(RecordCacheStoreReads(), reads + i) << "not cached, so read again";
    }
    EXPECT_EQ(RecordCacheEntries(), 0u);
}

TEST_F(RecordCacheTest, HashTextIsQuotedNeverInterpreted) {
    ASSERT_TRUE(PutRow("AB'CD", "[Class]=GO"));
    ASSERT_TRUE(PutRow(kHash, kStored));
    AppRecord quoted = Probe("AB'CD");
    ASSERT_TRUE(FindRecord(quoted));
    EXPECT_EQ(quoted.className, "GO");

    AppRecord hostile = Probe("x' OR '1'='1");
    EXPECT_FALSE(FindRecord(hostile));
    EXPECT_EQ(hostile.className, "sentinel-class");
    AppRecord statement = Probe("x'; DELETE FROM LocalCache; --");
    EXPECT_FALSE(FindRecord(statement));
    EmptyMemoryCache();
    AppRecord still = Probe(kHash);
    EXPECT_TRUE(FindRecord(still)) << "the row survived";
}

TEST_F(RecordCacheTest, HashWithAZeroByteDoesNotFindTheRecordOfItsPrefix) {
    ASSERT_TRUE(PutRow("ABC", "[Class]=GO"));
    AppRecord record = Probe(std::string("ABC\0DEF", 7));
    EXPECT_FALSE(FindRecord(record));
    EXPECT_EQ(record.className, "sentinel-class");
    AppRecord prefix = Probe("ABC");
    EXPECT_TRUE(FindRecord(prefix));
    record = Probe(std::string("ABC\0DEF", 7));
    EXPECT_FALSE(FindRecord(record)) << "nor from the cache";
}

// Fills LocalCache with 400 rows "H0001".."H0400", enough that the table and its
// index live on pages after the first (which holds the schema), then overwrites
// every page after the first: the store opens, and reading a row faults.
void DamageStoreBehindItsSchema(const std::wstring& path) {
    ASSERT_TRUE(
        StoreExec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400) "
                  "INSERT INTO LocalCache SELECT printf('H%%04d', i), "
                  "'[Class]=GO||[AppName]=' || hex(randomblob(40)) FROM n;"));
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    unsigned char header[100] = {};
    DWORD done = 0;
    ASSERT_TRUE(::ReadFile(file.get(), header, sizeof(header), &done, nullptr) && done == sizeof(header));
    const DWORD pageSize = (header[16] << 8) | header[17];
    const DWORD size = ::GetFileSize(file.get(), nullptr);
    ASSERT_GT(size, pageSize * 4);
    const std::string garbage(size - pageSize, '\xEE');
    ASSERT_NE(::SetFilePointer(file.get(), static_cast<LONG>(pageSize), nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    ASSERT_TRUE(::WriteFile(file.get(), garbage.data(), static_cast<DWORD>(garbage.size()), &done, nullptr));
}

TEST_F(RecordCacheTest, DamagedStoreIsResetAndTheLookupReportsNotFound) {
    ASSERT_NO_FATAL_FAILURE(DamageStoreBehindItsSchema(store_.path()));

    AppRecord record = Probe("H0002");
    EXPECT_FALSE(FindRecord(record));
    EXPECT_EQ(record.className, "sentinel-class");
    EXPECT_FALSE(FileExists(store_.path())) << "the damaged store was not reset";
    EXPECT_EQ(RecordCacheEntries(), 0u);

    // The next lookup finds a new, empty store.
    record = Probe("H0002");
    EXPECT_FALSE(FindRecord(record));
    EXPECT_TRUE(FileExists(store_.path()));
}

TEST_F(RecordCacheTest, DamagedStoreMissedByManyThreadsIsResetWhileNoneOfThemReadsIt) {
    ASSERT_NO_FATAL_FAILURE(DamageStoreBehindItsSchema(store_.path()));
    // A reset that found the file open in this process would delete "TsTime" and
    // leave the file for removal at the next restart.
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime, L"kept"));
    AppRecord cached = Probe("CACHED");
    KeepServerRecord(cached, "[Class]=SA||[end]=true");

    std::atomic<int> found{0};
    std::atomic<int> hits{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 1; i <= 4; ++i) {
                AppRecord record = Probe(Numbered("H000", t % 3 + i));
                if (FindRecord(record)) ++found;
                AppRecord hit = Probe("CACHED");
                if (FindRecord(hit) && hit.className == "SA") ++hits;
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(found.load(), 0) << "no row of the damaged store may be reported";
    EXPECT_EQ(hits.load(), 24) << "cached records are found throughout";
    std::wstring tsTime;
    EXPECT_TRUE(registry::ReadString(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime, &tsTime))
        << "a reset met the store open in this process";
    EXPECT_EQ(RecordCacheEntries(), 1u);
    AppRecord after = Probe("H0001");
    EXPECT_FALSE(FindRecord(after));
    EXPECT_TRUE(FileExists(store_.path())) << "the next lookup makes a new, empty store";
}

TEST_F(RecordCacheTest, WithoutItsKernelObjectsNothingIsFoundOrKept) {
    ASSERT_TRUE(PutRow(kHash, kStored));
    CloseNamedObjects();
    const uint64_t reads = RecordCacheStoreReads();
    AppRecord record = Probe(kHash);
    EXPECT_FALSE(FindRecord(record));
    KeepServerRecord(Probe("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"), "[Class]=GO||[end]=true");
    EmptyMemoryCache();
    EXPECT_EQ(RecordCacheStoreReads(), reads);
    EXPECT_EQ(record.className, "sentinel-class");

    ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
    EXPECT_TRUE(FindRecord(record));
    AppRecord live = Probe("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
    EXPECT_FALSE(FindRecord(live)) << "the answer kept without a lock must not be there";
}

TEST_F(RecordCacheTest, ConcurrentLookupsReadEachStoredHashOnceWhileAnswersAreKept) {
    constexpr int kStoredCount = 20;
    constexpr int kLiveCount = 100;
    constexpr int kReaders = 6;
    auto storedHash = [](int i) { return Numbered("S", i); };
    auto liveHash = [](int i) { return Numbered("L", i); };
    for (int i = 0; i < kStoredCount; ++i) {
        const std::string data = Numbered("[Class]=GO||[AppName]=App", i);
        ASSERT_TRUE(PutRow(storedHash(i).c_str(), data.c_str()));
    }
    const uint64_t reads = RecordCacheStoreReads();

    std::atomic<int> wrong{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kReaders; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int round = 0; round < 3; ++round) {
                for (int k = 0; k < kStoredCount; ++k) {
                    const int i = (k + t * 7) % kStoredCount;
                    AppRecord record = Probe(storedHash(i));
                    if (!FindRecord(record) || record.applicationName != Numbered("App", i)) ++wrong;
                }
            }
        });
    }
    threads.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < kLiveCount; ++i) {
            KeepServerRecord(Probe(liveHash(i)), Numbered("[Class]=SA||[AppName]=Live", i) + "||[end]=true");
        }
    });
    go = true;
    for (std::thread& thread : threads) thread.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(RecordCacheStoreReads(), reads + kStoredCount) << "each stored hash is read exactly once";
    EXPECT_EQ(RecordCacheEntries(), static_cast<size_t>(kStoredCount + kLiveCount));
    for (int i = 0; i < kLiveCount; ++i) {
        AppRecord record = Probe(liveHash(i));
        ASSERT_TRUE(FindRecord(record)) << liveHash(i);
        EXPECT_EQ(record.applicationName, Numbered("Live", i));
    }
    EXPECT_EQ(RecordCacheStoreReads(), reads + kStoredCount);
}

}  // namespace
}  // namespace tessary
