#include "updater/store_merge.h"

#include <windows.h>

#include "platform/registry.h"
#include "platform/text.h"
#include "store/named_objects.h"
#include "store/product_keys.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"

namespace tessary {
namespace {

bool Exec(sqlite* db, const char* sql) { return sqlite_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

bool Query(sqlite* db, const char* sql, UniqueSqliteTable* table, int* rows, int* columns) {
    *rows = 0;
    *columns = 0;
    return sqlite_get_table(db, sql, table->put(), rows, columns, nullptr) == SQLITE_OK && table->valid();
}

bool HasRow(sqlite* db, const char* sql) {
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    return Query(db, sql, &table, &rows, &columns) && rows > 0;
}

// The downloaded file under the open-or-recreate rule of the local store, at its
// own path, with the store's tables added where missing.
bool OpenDownloadedStore(const std::wstring& path, UniqueSqlite* out) {
    const std::string narrow = WideToNarrow(path);
    UniqueSqlite db(sqlite_open(narrow.c_str(), 0, nullptr));
    if (!db && ::DeleteFileW(path.c_str())) db.reset(sqlite_open(narrow.c_str(), 0, nullptr));
    if (!db) return false;
    if (!HasRow(db.get(), schema::kFindLocalCache)) {
        if (Exec(db.get(), schema::kCreateLocalCache)) Exec(db.get(), schema::kCreateCreateDate);
    } else if (!HasRow(db.get(), schema::kFindLocalIndex)) {
        Exec(db.get(), schema::kCreateLocalIndex);
    }
    if (!HasRow(db.get(), schema::kFindDigSigInfo3)) Exec(db.get(), schema::kCreateDigSigInfo3);
    if (!HasRow(db.get(), schema::kFindSettings)) Exec(db.get(), schema::kCreateSettings);
    if (!HasRow(db.get(), schema::kFindLocalExpInfo) && !Exec(db.get(), schema::kCreateLocalExpInfo)) return false;
    *out = std::move(db);
    return true;
}

void MergeRecords(sqlite* from, sqlite* to) {
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (!Query(from, "SELECT * FROM LocalCache;", &table, &rows, &columns) || rows == 0 || columns < 2) return;
    if (!Exec(to, "BEGIN;")) return;
    char** cells = table.get();
    for (int row = 1; row <= rows; ++row) {
        const char* hash = cells[row * columns];
        const char* data = cells[row * columns + 1];
        // A row without hash or data is no record: it would be stored as "(NULL)".
        if (hash != nullptr && data != nullptr &&
            sqlite_exec_printf(to, "DELETE FROM LocalCache WHERE HASH = '%q';", nullptr, nullptr, nullptr, hash) ==
                SQLITE_OK) {
            sqlite_exec_printf(to, "INSERT into LocalCache VALUES('%q', '%q');", nullptr, nullptr, nullptr, hash, data);
        }
        // Other users of the machine keep running during large updates.
        ::Sleep(0);
    }
    Exec(to, "COMMIT;");
}

void MergeStamps(sqlite* from, sqlite* to) {
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (!Query(from, "SELECT TimeStamp FROM CreateDate;", &table, &rows, &columns) || rows == 0 || columns < 1) return;
    Exec(to, "CREATE TABLE CreateDate( TimeStamp INTEGER );");  // fails harmlessly when the table exists
    if (!Exec(to, "BEGIN;")) return;
    char** cells = table.get();
    for (int row = 1; row <= rows; ++row) {
        const char* stamp = cells[row * columns];
        // The stamp comes from a downloaded file: quoted, never pasted into the statement.
        if (stamp != nullptr) {
            sqlite_exec_printf(to, "INSERT into CreateDate Values( '%q');", nullptr, nullptr, nullptr, stamp);
        }
    }
    Exec(to, "COMMIT;");
}

// Replaces table `name` of the local store whole by the downloaded file's rows,
// when there are any. The old rows are deleted inside the transaction, so a
// transaction that does not commit leaves them in place.
void ReplaceTable(sqlite* from, sqlite* to, const char* select, const char* remove, const char* insert, int valueCount,
                  bool requireAll, DWORD sleepMs) {
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (!Query(from, select, &table, &rows, &columns) || rows == 0 || columns < valueCount) return;
    if (!Exec(to, "BEGIN;")) return;
    Exec(to, remove);
    char** cells = table.get();
    for (int row = 1; row <= rows; ++row) {
        const char* v[4] = {};
        bool complete = true;
        for (int i = 0; i < valueCount; ++i) {
            v[i] = cells[row * columns + i];
            complete = complete && v[i] != nullptr;
        }
        if (requireAll && !complete) continue;
        sqlite_exec_printf(to, insert, nullptr, nullptr, nullptr, v[0], v[1], v[2], v[3]);
        if (sleepMs > 0) ::Sleep(sleepMs);
    }
    Exec(to, "COMMIT;");
}

void SignalReloadEvents() {
    NamedObjects& objects = ProcessObjects();
    for (HANDLE event : {objects.xcEvent.get(), objects.lcEvent.get(), objects.digSigEvent.get()}) {
        if (event != nullptr) ::SetEvent(event);
    }
}

}  // namespace

bool MergeStoreFile(const std::wstring& path) {
    UniqueSqlite update;
    if (OpenDownloadedStore(path, &update)) {
        UniqueSqlite local;
        if (!OpenLocalStore(&local)) {
            update.reset();
            ::DeleteFileW(path.c_str());
        } else {
            sqlite* from = update.get();
            sqlite* to = local.get();
            if (!HasRow(to, schema::kFindLocalIndex)) Exec(to, schema::kCreateLocalIndex);
            MergeRecords(from, to);
            MergeStamps(from, to);
            ReplaceTable(from, to, "SELECT * FROM DigSigInfo3;", "DELETE FROM DigSigInfo3;",
                         "INSERT into DigSigInfo3 VALUES('%q', '%q');", 2, true, 0);
            ReplaceTable(from, to, "SELECT * FROM Settings;", "DELETE FROM Settings;",
                         "INSERT into Settings VALUES('%q', '%q');", 2, false, 10);
            ReplaceTable(from, to, "SELECT * FROM LocalExpInfo;", "DELETE FROM LocalExpInfo;",
                         "INSERT into LocalExpInfo VALUES('%q', '%q', '%q', '%q');", 4, false, 10);
            // The local store has no IDSSettings table of its own: these statements
            // only carry rows over where one was added.
            ReplaceTable(from, to, "SELECT * FROM IDSSettings;", "DELETE FROM IDSSettings;",
                         "INSERT into IDSSettings VALUES('%q', '%q');", 2, false, 0);
            local.reset();
            update.reset();
            ::DeleteFileW(path.c_str());
        }
    }
    SignalReloadEvents();
    return true;
}

std::string RecordStoreVersion() {
    std::string version = kEmptyStoreVersion;
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return version;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (Query(db.get(), "SELECT TimeStamp FROM CreateDate ORDER BY TimeStamp DESC;", &table, &rows, &columns) &&
        rows > 0 && columns > 0) {
        const char* newest = table.get()[columns];
        if (newest == nullptr) return version;  // only NULL stamps sort last in descending order
        version = std::string(newest).substr(0, kMaxStoreVersionChars);
        if (registry::KeyExists(HKEY_LOCAL_MACHINE, keys::kTessary)) {
            registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, kDbVersionValue, NarrowToWide(version), false);
        }
    }
    return version;
}

}  // namespace tessary
