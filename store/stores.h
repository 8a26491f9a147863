#pragma once

#include <string>

#include "store/schema_count.h"
#include "store/sqlite_adapter.h"

namespace tessary {

// Relative names of the store files below the common data directory.
inline constexpr wchar_t kLocalStoreName[] = L"data\\TsLocal.xdb";
inline constexpr wchar_t kSharedStoreName[] = L"data\\TsShared.xdb";

// How long a statement on a handle from OpenLocalStore or OpenSharedStore waits
// for a lock another connection holds (a merge committing, another product
// writing) before it fails with SQLITE_BUSY.
inline constexpr int kStoreBusyTimeoutMs = 2000;

// Why a store could not be opened.
enum class StoreOpenStatus {
    kOpen,          // opened, with its schema
    kCannotOpen,    // no file could be opened or created there (folder missing, access denied, disk)
    kDamaged,       // the library refused the file and it could not be replaced (in use, read-only)
    kLegacyFormat,  // an SQLite 2 database, kept as it is
    kBusy,          // another connection still held the file locked after the wait
    kNoSchema,      // a table the store needs could not be created
    kForeignCode,   // the file holds views, triggers, virtual tables or computed columns, or a
                    // schema of more than kMaxStoreSchemaEntries entries
};

// A short text for logs: "opened", "cannot be opened or created", ...
const wchar_t* StoreOpenStatusText(StoreOpenStatus status) noexcept;

// Entries a store file's schema may hold before the file is refused unparsed:
// ours has a handful, what other products of the suite keep in the shared store
// a few dozen; a schema of many thousands costs the library minutes to parse.
inline constexpr size_t kMaxStoreSchemaEntries = 400;

// CountSchemaEntries (store/schema_count.h) over the file at `path`, read
// through a handle that shares every access. A file that cannot be opened or
// read is kWithin: the library's own open judges it.
SchemaSize StoreSchemaSize(const std::wstring& path, size_t limit = kMaxStoreSchemaEntries);

// Opens the local store "data\TsLocal.xdb", giving it its schema. A file the
// database library refuses is deleted and opened once more, except a file in the
// SQLite 2 format: that one is left as it is, the open fails and the refusal is
// logged (once per process). A file that holds code of its own where our reads
// reach (a view or virtual table in the place of one of the store's tables, a
// computed column in one of them) was not written by this product: it is
// discarded as ResetLocalStore does (which also starts the update checker) and
// a new store is made; when it cannot be deleted the open fails. A new store gets LocalCache and CreateDate first
// and its LocalIndex at the next open; the other tables are created when missing.
// The handle waits up to kStoreBusyTimeoutMs for a locked file; a schema check
// that still finds the file locked fails the open. Returns true with the open
// handle in *db; false (and *db empty) when no handle could be had or
// LocalExpInfo could not be created. `status` (optional) receives why; a failure
// is also logged with its reason at severity 2. Callers close the handle as soon
// as their statements are done.
//
// With StoreUse::kReadOnly the caller promises to only read: when the store had
// all its tables, the handle is handed out still inside the read transaction of
// the checks, so the caller's queries read the same state of the file under the
// same lock (one lock and one check of the file per open instead of two). Such
// a handle must not be written through.
enum class StoreUse { kReadWrite, kReadOnly };
bool OpenLocalStore(UniqueSqlite* db, StoreOpenStatus* status = nullptr, StoreUse use = StoreUse::kReadWrite);

// Opens the shared store "data\TsShared.xdb" by the same open-or-recreate rule
// (an SQLite 2 file is never deleted) with the same lock wait, and ensures its
// LocalSharedCache table; a failed creation fails the open. A file that holds
// code of its own in or on LocalSharedCache (as above, or a trigger on it, which
// would run on our writes) fails the open and is kept: other products of the
// suite share it, and what they keep beside that table is left alone. `status` and the
// failure's log line as for OpenLocalStore.
bool OpenSharedStore(UniqueSqlite* db, StoreOpenStatus* status = nullptr);

// sqlite_get_table of `sql` on `db` into *table, *rows and *columns; a failure is
// logged at severity 2 as "<doing> failed (<code>): <the library's text>".
// Returns the library's result code.
int GetTableLogged(sqlite* db, const char* sql, UniqueSqliteTable* table, int* rows, int* columns,
                   const wchar_t* doing);

// Discards a local store that faulted while being read. Deletes the file; when
// it is in use, deletes "TsTime" and schedules the deletion for the next restart.
// Otherwise starts the update checker from the install directory to fetch the
// data again, at most once per 86400 seconds (remembered in "TsTime2").
void ResetLocalStore();

// Exact statements of the stores' schema.
namespace schema {
inline constexpr char kCreateLocalCache[] = "CREATE TABLE LocalCache(Hash,Data);";
inline constexpr char kCreateLocalIndex[] = "CREATE INDEX LocalIndex ON LocalCache(HASH);";
inline constexpr char kCreateCreateDate[] = "CREATE TABLE CreateDate( TimeStamp INTEGER );";
inline constexpr char kCreateDigSigInfo3[] = "CREATE TABLE DigSigInfo3( Type INTEGER, Data TEXT  );";
inline constexpr char kCreateSettings[] = "CREATE TABLE Settings( Key TEXT, Value TEXT  );";
inline constexpr char kCreateLocalExpInfo[] =
    "CREATE TABLE LocalExpInfo( Hash TEXT, BinName TEXT, Desc TEXT, Flag TEXT  );";
inline constexpr char kCreateLocalSharedCache[] =
    "CREATE TABLE LocalSharedCache(id INTEGER PRIMARY KEY,Path TEXT,Hash TEXT,Product TEXT,Feature TEXT,"
    "Permission TEXT);";

inline constexpr char kFindLocalCache[] = "SELECT name FROM sqlite_master WHERE type='table' AND name='LocalCache';";
inline constexpr char kFindDigSigInfo3[] = "SELECT name FROM sqlite_master WHERE type='table' AND name='DigSigInfo3';";
inline constexpr char kFindSettings[] = "SELECT name FROM sqlite_master WHERE type='table' AND name='Settings';";
inline constexpr char kFindLocalExpInfo[] =
    "SELECT name FROM sqlite_master WHERE type='table' AND name='LocalExpInfo';";
inline constexpr char kFindLocalIndex[] = "SELECT * FROM sqlite_master WHERE type = 'index' AND name = 'LocalIndex';";
inline constexpr char kFindLocalSharedCache[] =
    "SELECT name FROM sqlite_master WHERE type='table' AND name='LocalSharedCache';";
}  // namespace schema

}  // namespace tessary
