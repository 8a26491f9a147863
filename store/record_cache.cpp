#include "store/record_cache.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "Logging/log_builder.h"
#include "platform/strings.h"
#include "store/answer.h"
#include "store/named_objects.h"
#include "store/reader_writer.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "store/text_map.h"

namespace tessary {
namespace {

constexpr wchar_t kSource[] = L"TsStore";

// Exists from the first lookup (or first kept answer) to unload. The pointer is
// tested without a lock on the way in; the map itself is touched only under the
// record cache's reader or writer side.
std::atomic<TextMap*> g_records{nullptr};
std::atomic<uint64_t> g_storeReads{0};
// Counts the entries ever added to the map (changed only on the write side). A
// thread that missed a hash on the reader side and finds the count unchanged
// later knows that the map still lacks the hash without looking again.
std::atomic<uint64_t> g_additions{0};

// Results of the store that mean the file itself is damaged. A busy or locked
// store (a merge in another process), a missing table or an allocation failure
// is not a reason to throw the data away.
bool IsStoreFault(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_IOERR:
            return true;
        default:
            return false;
    }
}

// Fills `record` from the cached text of its hash; false when the hash is absent.
bool FillFromMap(const TextMap& map, AppRecord& record) {
    const auto it = map.find(record.md5);
    if (it == map.end()) return false;
    ParseAnswer(record, it->second, /*requireEndMarker=*/false);
    return true;
}

// Index of the column called `name` in the header row, else `fallback`.
int ColumnIndex(char** header, int columns, const char* name, int fallback) {
    for (int i = 0; i < columns; ++i) {
        if (header[i] != nullptr && AsciiEqualsIgnoreCase(header[i], name)) return i;
    }
    return fallback < columns ? fallback : -1;
}

struct StoreRow {
    bool found = false;     // at least one row came back
    bool complete = false;  // its Hash and Data are both present
    bool fault = false;     // the store reported a damaged file; the caller resets it
    std::string hash;
    std::string data;
};

// Reads the first LocalCache row of `hash`. The store is closed before the row
// is used. A damaged store is only reported: the reset runs on the write side.
StoreRow ReadStoreRow(const std::string& hash) {
    StoreRow row;
    UniqueSqlite db;
    if (!OpenLocalStore(&db, nullptr, StoreUse::kReadOnly)) return row;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    g_storeReads.fetch_add(1, std::memory_order_relaxed);
    char* error = nullptr;
    const int rc = sqlite_get_table_printf(db.get(), "SELECT * FROM LocalCache WHERE HASH='%q'", table.put(), &rows,
                                           &columns, &error, hash.c_str());
    const UniqueSqliteMem errorText(error);
    db.reset();
    if (rc != SQLITE_OK) {
        row.fault = IsStoreFault(rc);
        TS_LOG(ETWLogging::kSeverityWarning, kSource, L"Reading a record from the local store failed (%d): %hs%s", rc,
               error != nullptr ? error : "", row.fault ? L"; the store is reset" : L"");
        return row;
    }
    if (rows < 1 || columns < 1) return row;
    row.found = true;
    char** header = table.get();
    char** first = header + columns;
    const int hashColumn = ColumnIndex(header, columns, "Hash", 0);
    const int dataColumn = ColumnIndex(header, columns, "Data", 1);
    if (hashColumn < 0 || dataColumn < 0 || first[hashColumn] == nullptr || first[dataColumn] == nullptr) return row;
    row.complete = true;
    row.hash = first[hashColumn];
    row.data = first[dataColumn];
    return row;
}

// Creates the empty map when it does not exist yet; the caller holds the write side.
// Returns false when memory fails.
bool EnsureMap() {
    if (g_records.load(std::memory_order_acquire) != nullptr) return true;
    try {
        g_records.store(MakeTextMap().release(), std::memory_order_release);
        return true;
    } catch (...) {
        TS_LOG_CAUGHT(kSource, L"Creating the record cache");
        return false;
    }
}

// Serialises this process's store reads for the record cache, and the reset that
// follows a damaged read, among themselves; cache hits never take it. An
// in-process lock, so waiting for it costs no kernel round trip while uncontended.
// Held from before the re-check that precedes a store read until the row is in
// the map (or the store is reset), so:
//  - a store read never runs while this process resets the store, and a second
//    reader of a damaged file reads the new store after the reset, as when reads
//    ran on the write side;
//  - a thread that missed a hash while another read it finds the record in the
//    map on its re-check and does not read the store again (each stored hash is
//    read once per process).
// Lock order: this lock, then the record cache's reader or write side.
class StoreReadLock {
public:
    StoreReadLock() { ::AcquireSRWLockExclusive(&lock_); }
    ~StoreReadLock() { ::ReleaseSRWLockExclusive(&lock_); }
    StoreReadLock(const StoreReadLock&) = delete;
    StoreReadLock& operator=(const StoreReadLock&) = delete;

private:
    static SRWLOCK lock_;
};
SRWLOCK StoreReadLock::lock_ = SRWLOCK_INIT;

// Adds hash -> text unless the hash is present; the caller holds the write side.
void AddToMap(TextMap& map, const std::string& hash, std::string_view text) {
    if (map.try_emplace(hash, text).second) g_additions.fetch_add(1, std::memory_order_release);
}

// Looks `record` up on the reader side: 1 found (record filled), 0 not found,
// -1 when the lock or the map is missing. `additions` receives the addition
// count the map had at the look-up.
int FindUnderReader(const CacheLocks& locks, AppRecord& record, uint64_t* additions) {
    ReaderScope reader(locks);
    if (!reader.held()) return -1;
    const TextMap* map = g_records.load(std::memory_order_acquire);
    if (map == nullptr) return -1;
    *additions = g_additions.load(std::memory_order_acquire);
    return FillFromMap(*map, record) ? 1 : 0;
}

// A miss on the reader side: read the store without holding the write side (so
// lookups that hit the cache go on meanwhile), then re-check and insert on the
// write side.
bool ReadThroughStore(const CacheLocks& locks, AppRecord& record, uint64_t additionsAtMiss) {
    // Without a write semaphore nothing read could be kept or reset: fail before
    // touching the store.
    if (locks.writeSem == nullptr) return false;
    StoreReadLock storeLock;
    // Another thread may have read this hash from the store (or kept a live
    // answer for it) since this one missed it; without any addition since, the
    // miss stands.
    if (g_additions.load(std::memory_order_acquire) != additionsAtMiss) {
        const int cached = FindUnderReader(locks, record, &additionsAtMiss);
        if (cached != 0) return cached > 0;
    }

    // The statement carries the hash as a C string: text with a zero byte in it
    // would be cut there and find a different record.
    const bool readable = record.md5.find('\0') == std::string::npos;
    StoreRow row;
    if (readable) row = ReadStoreRow(record.md5);
    // Nothing to keep or reset, and nothing added since the miss: the re-check on
    // the write side could only miss again.
    if (!row.found && !row.fault && g_additions.load(std::memory_order_acquire) == additionsAtMiss) return false;

    WriterScope writer(locks.writeSem);
    if (!writer.held()) return false;
    if (row.fault) {
        // Other readers of this process wait for the store lock, so none has the file open.
        ResetLocalStore();
        return false;
    }
    TextMap* map = g_records.load(std::memory_order_acquire);
    if (map == nullptr) return false;
    // A live answer kept since the re-check above stays: an entry is never replaced.
    if (FillFromMap(*map, record)) return true;
    if (!row.found) return false;
    if (row.complete) {
        AddToMap(*map, row.hash, row.data);
        ParseAnswer(record, row.data, /*requireEndMarker=*/false);
    }
    return true;
}

}  // namespace

bool FindRecord(AppRecord& record) noexcept {
    const CacheLocks locks = ProcessObjects().RecordCache();
    const bool ready = EnsureLoaded(
        locks, [] { return g_records.load(std::memory_order_acquire) != nullptr; },
        [&locks] {
            // Let the next lookup try again rather than leave the process without a cache.
            if (!EnsureMap() && locks.reloadEvent != nullptr) ::SetEvent(locks.reloadEvent);
        });
    if (!ready) return false;

    try {
        uint64_t additions = 0;
        const int cached = FindUnderReader(locks, record, &additions);
        if (cached != 0) return cached > 0;
        return ReadThroughStore(locks, record, additions);
    } catch (...) {
        TS_LOG_CAUGHT(kSource, L"A record cache lookup");
        return false;
    }
}

void KeepServerRecord(const AppRecord& record, std::string_view answer) noexcept {
    WriterScope writer(ProcessObjects().RecordCache().writeSem);
    if (!writer.held() || !EnsureMap()) return;
    try {
        AddToMap(*g_records.load(std::memory_order_acquire), record.md5, answer);
    } catch (...) {
        // The answer is dropped; the next lookup asks again.
        TS_LOG_CAUGHT(kSource, L"Keeping the service's answer");
    }
}

void EmptyMemoryCache() noexcept {
    WriterScope writer(ProcessObjects().RecordCache().writeSem);
    if (!writer.held()) return;
    TextMap* map = g_records.load(std::memory_order_acquire);
    if (map == nullptr) return;
    map->clear();
    try {
        TextMap fresh(kTextMapBuckets);
        fresh.max_load_factor(1.0f);
        map->swap(fresh);
    } catch (...) {
        // The map stays empty with the buckets it had.
        TS_LOG_CAUGHT(kSource, L"Shrinking the emptied record cache");
    }
}

void FreeRecordCache() noexcept {
    const HANDLE writeSem = ProcessObjects().RecordCache().writeSem;
    // At unload, under the loader lock: no waiting.
    WriterScope writer(writeSem, 0);
    // Without the semaphore no other thread can reach the map either.
    if (writeSem != nullptr && !writer.held()) return;
    delete g_records.exchange(nullptr, std::memory_order_acq_rel);
}

uint64_t RecordCacheStoreReads() noexcept { return g_storeReads.load(std::memory_order_relaxed); }

size_t RecordCacheEntries() noexcept {
    ReaderScope reader(ProcessObjects().RecordCache());
    if (!reader.held()) return 0;
    const TextMap* map = g_records.load(std::memory_order_acquire);
    return map == nullptr ? 0 : map->size();
}

}  // namespace tessary
