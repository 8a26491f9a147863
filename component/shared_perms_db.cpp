#include "component/shared_perms_db.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <vector>

#include "component/shared_perms_log.h"
#include "Logging/log_builder.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "store/cipher.h"
#include "store/named_objects.h"
#include "store/reader_writer.h"
#include "store/stores.h"

TS_DEFINE_LOGSTREAM(L"QnTessarySharedPerms")

namespace tessary {
namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityNormal;

constexpr size_t kMaxDecodedBytes = kSharedPathUnits * sizeof(wchar_t);

std::atomic<uint64_t> g_lastUpdateTime{0};

std::atomic<DWORD> g_lockTimeout{kDatabaseLockTimeoutMs};
thread_local bool t_lockFailed = false;

// Appends sqlite_mprintf's text to *out; false when formatting ran out of memory.
template <typename... Args>
bool AppendFormatted(std::string* out, const char* format, Args... args) {
    UniqueSqliteMem text(sqlite_mprintf(format, args...));
    if (!text) return false;
    out->append(text.get());
    return true;
}

// A column's text as the 32-bit number it was written as ("%d" of the value).
uint32_t ColumnNumber(const char* text) {
    if (text == nullptr) return 0;
    return static_cast<uint32_t>(std::strtoll(text, nullptr, 10));
}

}  // namespace

std::wstring LowerAsciiPath(std::wstring_view path) {
    std::wstring lower(path);
    for (wchar_t& c : lower) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return lower;
}

std::optional<std::string> B64EncodePath(std::wstring_view path) noexcept {
    try {
        const std::wstring lower = LowerAsciiPath(path);
        std::string bytes;
        bytes.reserve((lower.size() + 1) * 2);
        for (size_t i = 0; i <= lower.size(); ++i) {
            const uint16_t unit = i < lower.size() ? static_cast<uint16_t>(lower[i]) : 0;
            bytes.push_back(static_cast<char>(unit & 0xFF));
            bytes.push_back(static_cast<char>(unit >> 8));
        }
        std::string encoded((4 * bytes.size() / 3 + 3) / 4 * 4, '\0');
        size_t length = encoded.size();
        if (!EncodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), encoded.data(), &length)) {
            return std::nullopt;
        }
        encoded.resize(length);
        return encoded;
    } catch (const std::bad_alloc&) {
        PERMS_LOG(kSeverityError, "B64EncodePath") << L"TSAPI: Could allocate encoded string.";
        return std::nullopt;
    }
}

std::wstring B64DecodePath(std::string_view encoded) noexcept {
    try {
        // Characters outside the alphabet are skipped; a path longer than the field is refused.
        std::vector<uint8_t> bytes;
        if (!DecodeBase64(encoded, &bytes, Base64Input::kSkipForeign, kMaxDecodedBytes)) return std::wstring();
        std::wstring path;
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const wchar_t unit = static_cast<wchar_t>(uint8_t(bytes[i]) | (uint16_t(uint8_t(bytes[i + 1])) << 8));
            if (unit == L'\0') break;
            path.push_back(unit);
        }
        // The record's field must keep room for the terminator.
        if (path.size() > kMaxSharedPathLength) return std::wstring();
        return path;
    } catch (...) {
        TS_LOG_CAUGHT(L"QnTessarySharedPerms", L"Decoding a stored path");
        return std::wstring();
    }
}

uint64_t LocalFileTimeNow() noexcept {
    SYSTEMTIME local{};
    ::GetLocalTime(&local);
    FILETIME file{};
    if (!::SystemTimeToFileTime(&local, &file)) return 0;
    return (uint64_t(file.dwHighDateTime) << 32) | file.dwLowDateTime;
}

uint64_t SharedLastUpdateTime() noexcept { return g_lastUpdateTime.load(); }

uint64_t AdvanceSharedLastUpdateTime(uint64_t time) noexcept {
    uint64_t current = g_lastUpdateTime.load();
    while (time > current && !g_lastUpdateTime.compare_exchange_weak(current, time)) {
    }
    return g_lastUpdateTime.load();
}

void SetDatabaseLockTimeoutForTesting(DWORD ms) noexcept { g_lockTimeout = ms != 0 ? ms : kDatabaseLockTimeoutMs; }

bool DatabaseLockFailed() noexcept { return t_lockFailed; }

void ClearDatabaseLockFailure() noexcept { t_lockFailed = false; }

void NoteDatabaseLockFailure() noexcept { t_lockFailed = true; }

HRESULT DatabaseLockResult(LONG* plResult) noexcept {
    if (!t_lockFailed) return S_OK;
    *plResult = -1;
    return E_UNEXPECTED;
}

bool LockDatabase() noexcept {
    HANDLE mutex = ProcessObjects().sharedDatabaseMutex.get();
    if (mutex == nullptr) {
        t_lockFailed = true;
        PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::LockDatabase")
            << L"TSAPI: Could not lock shared permission database - 1.";
        return false;
    }
    const DWORD bound = g_lockTimeout.load();
    const DWORD wait = ::WaitForSingleObject(mutex, bound);
    if (!WaitSucceeded(wait)) {
        t_lockFailed = true;
        PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::LockDatabase")
            << L"TSAPI: Could not lock shared permission database. - 2";
        if (wait == WAIT_TIMEOUT) {
            PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::LockDatabase")
                << L"TSAPI: Another process held the shared permission database for more than " << bound
                << L" ms; the operation is given up.";
        }
        return false;
    }
    return true;
}

void UnlockDatabase() noexcept {
    HANDLE mutex = ProcessObjects().sharedDatabaseMutex.get();
    if (mutex != nullptr) ::ReleaseMutex(mutex);
}

std::optional<std::string> FilterClauses(const SharedPermFilters& filters) noexcept {
    try {
        std::string clauses;
        if (!filters.path.empty()) {
            std::optional<std::string> encoded = B64EncodePath(filters.path);
            if (!encoded || !AppendFormatted(&clauses, " AND Path = '%q'", encoded->c_str())) return std::nullopt;
        }
        if (filters.product != 0 && !AppendFormatted(&clauses, " AND Product = '%d'", int(filters.product))) {
            return std::nullopt;
        }
        if (filters.feature != 0 && !AppendFormatted(&clauses, " AND Feature = '%d'", int(filters.feature))) {
            return std::nullopt;
        }
        if (!filters.hash.empty()) {
            const std::string hash = WideToNarrow(filters.hash);
            if (!AppendFormatted(&clauses, " AND HASH = '%q'", hash.c_str())) return std::nullopt;
        }
        return clauses;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::optional<std::wstring> FieldText(const wchar_t* field, size_t units) {
    const size_t length = ::wcsnlen(field, units);
    if (length == units) return std::nullopt;
    return std::wstring(field, length);
}

tagQNTS_LOCAL_APP_PERMISSION MakeSharedRecord(uint32_t id, uint32_t product, uint32_t feature, uint32_t permission,
                                              std::wstring_view path, std::wstring_view hash) noexcept {
    tagQNTS_LOCAL_APP_PERMISSION record{};
    record.dwID = id;
    record.mapPerm.dwProduct = product;
    record.mapPerm.dwFeature = feature;
    record.mapPerm.dwPermission = permission;
    CopyTruncated(record.pwszPath, kSharedPathUnits, path);
    CopyTruncated(record.pwszMD5, kSharedHashUnits, hash);
    return record;
}

bool LoadSharedRows(const SharedPermFilters& filters, std::vector<SharedPermRow>* rows, uint64_t* queryTime) noexcept {
    rows->clear();
    *queryTime = 0;
    DatabaseLock lock;
    if (!lock.held()) return false;
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) return false;
    try {
        std::optional<std::string> clauses = FilterClauses(filters);
        if (!clauses) throw std::bad_alloc();
        const std::string sql = "SELECT * FROM LocalSharedCache WHERE 1=1" + *clauses + " ORDER BY HASH ASC";
        *queryTime = LocalFileTimeNow();
        UniqueSqliteTable table;
        int rowCount = 0;
        int columns = 0;
        const int rc = sqlite_get_table(db.get(), sql.c_str(), table.put(), &rowCount, &columns, nullptr);
        db.reset();
        if (rc != SQLITE_OK || columns < 6) {
            PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::GetPermissionsEx")
                << L"TSAPI: Sqlite error getting shared permissions to build cache.";
            return false;
        }
        rows->reserve(static_cast<size_t>(rowCount));
        for (int r = 1; r <= rowCount; ++r) {
            char** row = table.get() + r * columns;
            SharedPermRow loaded;
            loaded.hash = row[2] != nullptr ? row[2] : "";
            const std::wstring path = row[1] != nullptr ? B64DecodePath(row[1]) : std::wstring();
            loaded.record = MakeSharedRecord(ColumnNumber(row[0]), ColumnNumber(row[3]), ColumnNumber(row[4]),
                                             ColumnNumber(row[5]), path, NarrowToWide(loaded.hash));
            rows->push_back(std::move(loaded));
        }
        return true;
    } catch (...) {
        rows->clear();
        PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::GetPermissionsEx")
            << L"TSAPI: Caught exception building shared permission cache.";
        return false;
    }
}

bool StoreOneSharedPermission(std::wstring_view path, const std::string& hash, uint32_t product, uint32_t feature,
                              uint32_t permission) noexcept {
    if (hash.empty()) return false;
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) return false;
    UniqueSqliteTable table;
    int rowCount = 0;
    int columns = 0;
    bool exists = false;
    if (sqlite_get_table_printf(db.get(), "SELECT Product, Feature, Permission FROM LocalSharedCache WHERE HASH='%q'",
                                table.put(), &rowCount, &columns, nullptr, hash.c_str()) == SQLITE_OK &&
        columns >= 2) {
        for (int r = 1; r <= rowCount && !exists; ++r) {
            char** row = table.get() + r * columns;
            exists = ColumnNumber(row[0]) == product && ColumnNumber(row[1]) == feature;
        }
    }
    if (exists) {
        return sqlite_exec_printf(db.get(),
                                  "UPDATE LocalSharedCache SET Permission = '%d' WHERE HASH='%q' AND Feature = '%d' "
                                  "AND Product = '%d'",
                                  nullptr, nullptr, nullptr, int(permission), hash.c_str(), int(feature),
                                  int(product)) == SQLITE_OK;
    }
    std::optional<std::string> encoded = B64EncodePath(path);
    if (!encoded) return false;
    return sqlite_exec_printf(db.get(),
                              "INSERT INTO LocalSharedCache (Path, HASH, Product, Feature, Permission) VALUES ('%q', "
                              "'%q','%d', '%d', '%d')",
                              nullptr, nullptr, nullptr, encoded->c_str(), hash.c_str(), int(product), int(feature),
                              int(permission)) == SQLITE_OK;
}

bool UpdateSharedRowById(sqlite* db, ULONG id, const std::string& encodedPath, const std::string& hash,
                         uint32_t product, uint32_t feature, uint32_t permission) noexcept {
    return sqlite_exec_printf(db,
                              "BEGIN; UPDATE LocalSharedCache SET path = '%q', HASH = '%q', Product = '%d', "
                              "Feature = '%d', Permission = '%d' WHERE id = '%ld'; COMMIT;",
                              nullptr, nullptr, nullptr, encodedPath.c_str(), hash.c_str(), int(product), int(feature),
                              int(permission), long(id)) == SQLITE_OK;
}

bool InsertSharedRow(sqlite* db, const std::string& encodedPath, const std::string& hash, uint32_t product,
                     uint32_t feature, uint32_t permission, long long* id) noexcept {
    *id = 0;
    if (sqlite_exec_printf(db,
                           "BEGIN; INSERT INTO LocalSharedCache (path, HASH, Product, Feature, Permission) "
                           "VALUES ('%q', '%q', '%d', '%d', '%d'); COMMIT;",
                           nullptr, nullptr, nullptr, encodedPath.c_str(), hash.c_str(), int(product), int(feature),
                           int(permission)) != SQLITE_OK) {
        return false;
    }
    // The row just inserted on this connection, under the database lock:
    // identical rows inserted earlier cannot be mistaken for it.
    *id = sqlite_last_insert_rowid(db);
    return true;
}

void RollbackSharedTransaction(sqlite* db) noexcept { sqlite_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr); }

bool StoreSharedDecision(sqlite* db, const std::string& encodedPath, const std::string& hash, uint32_t product,
                         uint32_t feature, uint32_t permission, std::vector<ULONG>* ids, bool* existed) {
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (sqlite_get_table_printf(db,
                                "SELECT id FROM LocalSharedCache WHERE Path='%q' AND HASH='%q' AND Product='%d' "
                                "AND Feature='%d'",
                                table.put(), &rows, &columns, nullptr, encodedPath.c_str(), hash.c_str(), int(product),
                                int(feature)) != SQLITE_OK) {
        return false;
    }
    const size_t before = ids->size();
    for (int r = 1; r <= rows; ++r) {
        const char* id = table.get()[r * columns];
        if (id != nullptr) ids->push_back(static_cast<ULONG>(std::strtoul(id, nullptr, 10)));
    }
    if (ids->size() > before) {
        *existed = true;
        return sqlite_exec_printf(db,
                                  "UPDATE LocalSharedCache SET Permission = '%d' WHERE Path='%q' AND HASH='%q' AND "
                                  "Product='%d' AND Feature='%d'",
                                  nullptr, nullptr, nullptr, int(permission), encodedPath.c_str(), hash.c_str(),
                                  int(product), int(feature)) == SQLITE_OK;
    }
    if (sqlite_exec_printf(db,
                           "INSERT INTO LocalSharedCache (path, HASH, Product, Feature, Permission) VALUES "
                           "('%q', '%q', '%d', '%d', '%d')",
                           nullptr, nullptr, nullptr, encodedPath.c_str(), hash.c_str(), int(product), int(feature),
                           int(permission)) != SQLITE_OK) {
        return false;
    }
    ids->push_back(static_cast<ULONG>(sqlite_last_insert_rowid(db)));
    return true;
}

bool DeleteSharedRows(const SharedPermFilters& filters) noexcept {
    if (filters.none()) {
        PERMS_LOG(kSeverityError, "deleteSharedHelper")
            << L"TSAPI: Refusing in thread to delete entire shared permission database.";
        return false;
    }
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) {
        PERMS_LOG(kSeverityError, "deleteSharedHelper") << L"TSAPI: Could not open shared permission database.";
        return false;
    }
    try {
        std::optional<std::string> clauses = FilterClauses(filters);
        if (!clauses) throw std::bad_alloc();
        const std::string sql = "DELETE FROM LocalSharedCache WHERE 1=1" + *clauses;
        if (sqlite_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            PERMS_LOG(kSeverityError, "deleteSharedHelper") << L"TSAPI: Sqlite failed to delete shared permissions.";
            return false;
        }
        const uint64_t now = AdvanceSharedLastUpdateTime(LocalFileTimeNow());
        PERMS_LOG(kSeverityNormal, "deleteSharedHelper")
            << L"QnTessarySharedPerms: deleteSharedHelper: Setting last update time / shared timestamp to " << now;
        return true;
    } catch (...) {
        PERMS_LOG(kSeverityError, "deleteSharedHelper") << L"TSAPI: Sqlite failed to delete shared permissions.";
        return false;
    }
}

}  // namespace tessary
