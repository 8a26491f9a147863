#include "store/record_cache.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

#include "platform/strings.h"
#include "store/answer.h"
#include "store/named_objects.h"
#include "store/reader_writer.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "store/text_map.h"

namespace tessary {
namespace {

// Exists from the first lookup (or first kept answer) to unload. The pointer is
// tested without a lock on the way in; the map itself is touched only under the
// record cache's reader or writer side.
std::atomic<TextMap*> g_records{nullptr};
std::atomic<uint64_t> g_storeReads{0};

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
    std::string hash;
    std::string data;
};

// Reads the first LocalCache row of `hash`. The store is closed before the row
// is used; a damaged store is closed and reset.
StoreRow ReadStoreRow(const std::string& hash) {
    StoreRow row;
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return row;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    g_storeReads.fetch_add(1, std::memory_order_relaxed);
    const int rc = sqlite_get_table_printf(db.get(), "SELECT * FROM LocalCache WHERE HASH='%q'", table.put(), &rows,
                                           &columns, nullptr, hash.c_str());
    db.reset();
    if (rc != SQLITE_OK) {
        if (IsStoreFault(rc)) ResetLocalStore();
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
        return false;
    }
}

// Steps taken on the write side after a miss on the reader side.
bool FindOrReadUnderWriter(AppRecord& record) {
    TextMap* map = g_records.load(std::memory_order_acquire);
    if (map == nullptr) return false;
    // Another thread may have added the hash since this one left the reader side.
    if (FillFromMap(*map, record)) return true;
    // The statement carries the hash as a C string: text with a zero byte in it
    // would be cut there and find a different record.
    if (record.md5.find('\0') != std::string::npos) return false;

    const std::string hash = record.md5;
    StoreRow row = ReadStoreRow(hash);
    if (!row.found) return false;
    if (row.complete) {
        map->try_emplace(row.hash, row.data);
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
        {
            ReaderScope reader(locks);
            if (!reader.held()) return false;
            const TextMap* map = g_records.load(std::memory_order_acquire);
            if (map == nullptr) return false;
            if (FillFromMap(*map, record)) return true;
        }
        WriterScope writer(locks.writeSem);
        if (!writer.held()) return false;
        return FindOrReadUnderWriter(record);
    } catch (...) {
        return false;
    }
}

void KeepServerRecord(const AppRecord& record, std::string_view answer) noexcept {
    WriterScope writer(ProcessObjects().RecordCache().writeSem);
    if (!writer.held() || !EnsureMap()) return;
    try {
        g_records.load(std::memory_order_acquire)->try_emplace(record.md5, answer);
    } catch (...) {
        // The answer is dropped; the next lookup asks again.
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
        // Out of memory: the map stays empty with the buckets it had.
    }
}

void FreeRecordCache() noexcept {
    const HANDLE writeSem = ProcessObjects().RecordCache().writeSem;
    WriterScope writer(writeSem);
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
