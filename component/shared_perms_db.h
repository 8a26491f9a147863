#pragma once

// The database side of the shared permission store "data\TsShared.xdb": path
// encoding, the machine-wide lock every process holds from before an open until
// after the close, and the statements that load, store and delete rows. Log lines
// go to the source "QnTessarySharedPerms".

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/qnts_records.h"
#include "store/sqlite_adapter.h"

namespace tessary {

// Widths of the record's text fields, terminator included.
inline constexpr size_t kSharedPathUnits = 261;
inline constexpr size_t kSharedHashUnits = 33;
// Longest path and hash text a record can hold.
inline constexpr size_t kMaxSharedPathLength = kSharedPathUnits - 1;
inline constexpr size_t kMaxSharedHashLength = kSharedHashUnits - 1;

// The path lower-cased (A-Z only), as UTF-16LE bytes with its terminating zero
// unit, in standard base64 without padding or line breaks. C:\App.exe gives
// "YwA6AFwAYQBwAHAALgBlAHgAZQAAAA". Returns nullopt (and logs) only when memory
// runs out. Portable apart from the log line.
std::optional<std::string> B64EncodePath(std::wstring_view path) noexcept;

// Reverses B64EncodePath: characters outside the alphabet are skipped, the text
// ends at the first zero unit. Returns an empty path when the bytes would not fit
// the record's 261 units (522 bytes). Never throws.
std::wstring B64DecodePath(std::string_view encoded) noexcept;

// `path` with the letters A-Z lower-cased, nothing else changed.
std::wstring LowerAsciiPath(std::wstring_view path);

// The current local wall-clock time as a file time (no time-zone conversion).
uint64_t LocalFileTimeNow() noexcept;

// Longest wait for the machine-wide database mutex. Any process of any account
// that loads tsapi may hold it, and one that never lets go must not hang the
// firewall. A legitimate holder keeps it for one open-to-close of the shared
// store: milliseconds, and seconds for a large batch on a busy disk, so 30
// seconds passes every real holder and still ends a squatter's hold.
inline constexpr DWORD kDatabaseLockTimeoutMs = 30000;

// Test support: makes LockDatabase wait at most `ms` (0 restores the bound above).
void SetDatabaseLockTimeoutForTesting(DWORD ms) noexcept;

// Takes the machine-wide database mutex, waiting at most kDatabaseLockTimeoutMs;
// an abandoned mutex (its holder died) counts as taken. False, with a log line,
// when the mutex does not exist, the wait fails or times out; the failure is
// then noted for the calling thread (DatabaseLockFailed). The holder calls
// UnlockDatabase.
bool LockDatabase() noexcept;
void UnlockDatabase() noexcept;

// Whether a LockDatabase failed on this thread, or in a worker whose failure was
// passed on with NoteDatabaseLockFailure, since ClearDatabaseLockFailure. The
// COM methods turn it into their lock-failure result, E_UNEXPECTED.
bool DatabaseLockFailed() noexcept;
void ClearDatabaseLockFailure() noexcept;
void NoteDatabaseLockFailure() noexcept;

// The end of a COM method that may have needed the database lock: E_UNEXPECTED
// with *plResult -1 when DatabaseLockFailed, otherwise S_OK (*plResult as set).
HRESULT DatabaseLockResult(LONG* plResult) noexcept;

// LockDatabase for a scope.
class DatabaseLock {
public:
    DatabaseLock() noexcept : held_(LockDatabase()) {}
    ~DatabaseLock() {
        if (held_) UnlockDatabase();
    }
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;
    bool held() const noexcept { return held_; }

private:
    bool held_;
};

// Filters of a query or delete: an empty text or 0 means "no filter".
struct SharedPermFilters {
    std::wstring path;
    std::wstring hash;
    uint32_t product = 0;
    uint32_t feature = 0;

    bool none() const { return path.empty() && hash.empty() && product == 0 && feature == 0; }
};

// " AND Path = '..'", " AND Product = '..'", " AND Feature = '..'", " AND HASH = '..'"
// for each filter given, in that order, values quoted with "%q" (the path encoded,
// the hash in the thread's ANSI code page). nullopt when memory runs out.
std::optional<std::string> FilterClauses(const SharedPermFilters& filters) noexcept;

// One loaded row: the record and its Hash column as stored (the index key).
struct SharedPermRow {
    std::string hash;
    tagQNTS_LOCAL_APP_PERMISSION record;
};

// Loads the rows matching `filters` ("SELECT * FROM LocalSharedCache WHERE 1=1
// <clauses> ORDER BY HASH ASC") under the database lock. *queryTime receives the
// local time taken just before the query. Returns false (rows cleared) when the
// lock, the open or the query fails; a query failure is logged. Never throws.
bool LoadSharedRows(const SharedPermFilters& filters, std::vector<SharedPermRow>* rows, uint64_t* queryTime) noexcept;

// Database step of setSharedHelper; the caller holds the database lock. When a
// row of `hash`, `product` and `feature` exists, every such row (whatever its
// path) gets `permission`; otherwise one row with the encoded path is inserted.
// False for an empty hash, a failed open or a failed last statement.
bool StoreOneSharedPermission(std::wstring_view path, const std::string& hash, uint32_t product, uint32_t feature,
                              uint32_t permission) noexcept;

// Statements of SetPermissionsEx on a store the caller opened under the database
// lock. Each runs in its own transaction ("BEGIN; ... COMMIT;"); after a failure
// the caller issues RollbackSharedTransaction. The path is already encoded, the
// numbers are written as "%d" of their 32-bit values.
// Updates the row `id` (an unknown id changes nothing and succeeds).
bool UpdateSharedRowById(sqlite* db, ULONG id, const std::string& encodedPath, const std::string& hash,
                         uint32_t product, uint32_t feature, uint32_t permission) noexcept;
// Inserts one row; *id receives the connection's last inserted row id (0 or less
// when it cannot be told).
bool InsertSharedRow(sqlite* db, const std::string& encodedPath, const std::string& hash, uint32_t product,
                     uint32_t feature, uint32_t permission, long long* id) noexcept;
// "ROLLBACK;" on `db`, its result ignored (nothing to undo is not an error here).
void RollbackSharedTransaction(sqlite* db) noexcept;

// Database step of AddLocalDecision on a store the caller opened under the
// database lock: when rows of that encoded path, hash, product and feature exist,
// *existed becomes true and each gets `permission`; otherwise one row is inserted.
// *ids receives the ids of the rows the decision now has (appended). False when a
// statement fails (*existed may already be true). Throws std::bad_alloc.
bool StoreSharedDecision(sqlite* db, const std::string& encodedPath, const std::string& hash, uint32_t product,
                         uint32_t feature, uint32_t permission, std::vector<ULONG>* ids, bool* existed);

// Database step of deleteSharedHelper; the caller holds the database lock. Refuses
// (with a log line) filters that are all empty; logs a failed open or statement.
// On success moves the process's last update time forward. Never throws.
bool DeleteSharedRows(const SharedPermFilters& filters) noexcept;

// The text of a fixed record field: up to the first zero unit, or nullopt when
// the field holds no terminator (its text would not fit the field).
std::optional<std::wstring> FieldText(const wchar_t* field, size_t units);

// A record with `id`, the triple and the texts cut to the record's fields.
tagQNTS_LOCAL_APP_PERMISSION MakeSharedRecord(uint32_t id, uint32_t product, uint32_t feature, uint32_t permission,
                                              std::wstring_view path, std::wstring_view hash) noexcept;

// The process's time of the last load or change of the shared permissions, as a
// file time; 0 before any. Advance only moves it forward and returns the value
// now held.
uint64_t SharedLastUpdateTime() noexcept;
uint64_t AdvanceSharedLastUpdateTime(uint64_t time) noexcept;

}  // namespace tessary
