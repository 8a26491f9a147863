#include "store/stores.h"

#include <windows.h>

#include <atomic>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "Logging/log_builder.h"
#include "platform/owner_check.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/security_descriptor.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"

namespace tessary {
namespace {

constexpr int64_t kRestartInterval = 86400;

constexpr wchar_t kSource[] = L"TsStore";

enum class Presence { kFailed, kBusy, kAbsent, kPresent };

Presence Query(sqlite* db, const char* sql) {
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    const int rc = sqlite_get_table(db, sql, table.put(), &rows, &columns, nullptr);
    if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) return Presence::kBusy;
    if (rc != SQLITE_OK) return Presence::kFailed;
    return rows > 0 ? Presence::kPresent : Presence::kAbsent;
}

// What a store file may not hold where our statements reach: a view or virtual
// table in the place of one of our tables runs SQL or a module's code of the
// file's making on our reads, a computed column in one of them an expression for
// every row read, a trigger on one of them SQL on our writes. (Only the merge
// writes to the local store, under its own time bounds, so triggers there are
// let be; the shared store is written in the caller's process.) What other
// products keep beside our tables is not looked at. One scan of the schema;
// only a table whose text has the word AS (which every computed column needs)
// gets the exact column check.
constexpr char kSchemaCode[] = "SELECT type, name, sql, tbl_name FROM sqlite_master WHERE type<>'index';";

constexpr const char* kLocalTables[] = {"LocalCache", "CreateDate", "DigSigInfo3", "Settings", "LocalExpInfo"};
constexpr const char* kSharedTables[] = {"LocalSharedCache"};

bool HasWordAs(std::string_view sql) {
    auto identifier = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
               static_cast<unsigned char>(c) >= 0x80;
    };
    for (size_t i = 0; i + 1 < sql.size(); ++i) {
        if ((sql[i] == 'A' || sql[i] == 'a') && (sql[i + 1] == 'S' || sql[i + 1] == 's') &&
            (i == 0 || !identifier(sql[i - 1])) && (i + 2 == sql.size() || !identifier(sql[i + 2]))) {
            return true;
        }
    }
    return false;
}

template <size_t N>
bool IsOurTable(const char* name, const char* const (&tables)[N]) {
    if (name == nullptr) return false;
    for (const char* table : tables) {
        if (AsciiEqualsIgnoreCase(name, table)) return true;
    }
    return false;
}

// kPresent when the file holds code of its own where our statements reach. A
// query that fails for another reason than a lock says nothing: the store's own
// checks and reads deal with it.
template <size_t N>
Presence ForeignCode(sqlite* db, const char* const (&tables)[N], bool triggersAllowed) {
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    int rc = sqlite_get_table(db, kSchemaCode, table.put(), &rows, &columns, nullptr);
    if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) return Presence::kBusy;
    if (rc != SQLITE_OK || columns < 4) return Presence::kFailed;
    for (int r = 1; r <= rows; ++r) {
        char** row = table.get() + static_cast<size_t>(r) * columns;
        const std::string_view type = row[0] != nullptr ? row[0] : "";
        const std::string_view sql = row[2] != nullptr ? row[2] : "";
        if (type == "trigger") {
            if (!triggersAllowed && IsOurTable(row[3], tables)) return Presence::kPresent;
            continue;
        }
        if (!IsOurTable(row[1], tables)) continue;
        if (type == "view") return Presence::kPresent;
        if (type != "table") continue;
        if (AsciiEqualsIgnoreCase(sql.substr(0, 14), "CREATE VIRTUAL")) return Presence::kPresent;
        if (!HasWordAs(sql)) continue;
        UniqueSqliteTable hidden;
        int hiddenRows = 0;
        int hiddenColumns = 0;
        rc = sqlite_get_table_printf(db, "SELECT name FROM pragma_table_xinfo('%q') WHERE hidden<>0;", hidden.put(),
                                     &hiddenRows, &hiddenColumns, nullptr, row[1]);
        if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) return Presence::kBusy;
        if (rc == SQLITE_OK && hiddenRows > 0) return Presence::kPresent;
    }
    return Presence::kAbsent;
}

// One log line per store and process: a lookup-heavy caller would otherwise log
// the same refusal for every operation.
std::atomic<bool> g_version2Logged[2];

bool Exec(sqlite* db, const char* sql) { return sqlite_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// Creates the table when the query for it fails or finds nothing.
StoreOpenStatus EnsureTable(sqlite* db, const char* find, const char* create) {
    const Presence presence = Query(db, find);
    if (presence == Presence::kBusy) return StoreOpenStatus::kBusy;
    // Another connection may have created the table since the query.
    if (presence == Presence::kPresent || Exec(db, create) || Query(db, find) == Presence::kPresent) {
        return StoreOpenStatus::kOpen;
    }
    return StoreOpenStatus::kNoSchema;
}

// Logs why `relativeName` could not be opened (severity 2: the callers log the
// failure itself where it matters to them) and hands the status on.
bool Failed(const wchar_t* relativeName, StoreOpenStatus status, StoreOpenStatus* out) {
    if (out != nullptr) *out = status;
    TS_LOG(ETWLogging::kSeverityWarning, kSource, L"The store %s %s.", relativeName, StoreOpenStatusText(status));
    return false;
}

// Only SYSTEM and Administrators write the local store (the update checker's
// merge; the service's creation of a missing file). A journal or log beside it
// that another account made would be rolled into the store by the next writer's
// open, so it is deleted unread (kCannotOpen when it cannot be); a store file
// another account made is not this product's (kForeignCode: discarded and made
// anew, as a store holding code of its own).
StoreOpenStatus CheckTrustedFiles(const std::wstring& path) {
    for (const wchar_t* suffix : {L"-journal", L"-wal"}) {
        const std::wstring side = path + suffix;
        const std::optional<security::FileOwner> owner = security::OwnerOfFile(side);
        if (!owner || *owner == security::FileOwner::kTrusted) continue;
        if (!::DeleteFileW(side.c_str())) {
            TS_LOG(ETWLogging::kSeverityError, kSource,
                   L"%s is %s and cannot be deleted (error %lu); the store is not "
                   L"opened, so it is never rolled into it.",
                   side.c_str(), security::OwnerText(*owner), ::GetLastError());
            return StoreOpenStatus::kCannotOpen;
        }
        TS_LOG(ETWLogging::kSeverityError, kSource, L"%s was %s; it was deleted unread.", side.c_str(),
               security::OwnerText(*owner));
    }
    const std::optional<security::FileOwner> owner = security::OwnerOfFile(path);
    if (owner && *owner != security::FileOwner::kTrusted) {
        TS_LOG(ETWLogging::kSeverityError, kSource, L"%s is %s.", path.c_str(), security::OwnerText(*owner));
        return StoreOpenStatus::kForeignCode;
    }
    return StoreOpenStatus::kOpen;
}

// Makes a missing store file, empty, with the model's descriptor `kind` (the
// library takes an empty file for an empty database). Left to the library, the
// file would get what the data folder passes on to new files: other accounts
// could only read the shared store, whose content every account writes, and
// the creator would hold full control of it. A file another opener made first
// is left to it; any other failure is the library's open to report.
void CreateMissingStore(const std::wstring& path, security::Secured kind) {
    if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    security::Descriptor descriptor = security::BuildDescriptor(kind);
    if (!descriptor) return;
    security::ReportSecurityCall(security::SecurityCall::kCreateFile, path, descriptor.get());
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  descriptor.attributes(), CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Opens the store file, deleting and reopening it once when the library refuses
// it; a missing file is first made with the descriptor `kind`. A file of the
// older SQLite 2 format is another product's (or an older version's) data and is
// never deleted. The handle is left in a read transaction (the file's check and
// the caller's schema checks share one lock and one read of the file); the
// caller commits it.
StoreOpenStatus OpenOrRecreate(const wchar_t* relativeName, std::atomic<bool>* logged, UniqueSqlite* db,
                               bool trustedWritersOnly, security::Secured kind) {
    const std::wstring path = ResolveDataPath(relativeName, DataBase::kCommonData);
    if (trustedWritersOnly) {
        const StoreOpenStatus owners = CheckTrustedFiles(path);
        if (owners != StoreOpenStatus::kOpen) return owners;
    }
    CreateMissingStore(path, kind);
    // Counted before the library parses the schema, which every open does.
    if (StoreSchemaSize(path) == SchemaSize::kTooLarge) return StoreOpenStatus::kForeignCode;
    db->reset(sqlite_open_reading(path.c_str(), nullptr));
    if (!*db) {
        if (sqlite_is_version2_file(path.c_str())) {
            if (!logged->exchange(true)) {
                TS_LOG(ETWLogging::kSeverityError, kSource,
                       L"%s is an SQLite 2 database, which this version cannot read; the file is left as it is.",
                       path.c_str());
            }
            return StoreOpenStatus::kLegacyFormat;
        }
        if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return StoreOpenStatus::kCannotOpen;
        if (!::DeleteFileW(path.c_str())) return StoreOpenStatus::kDamaged;
        CreateMissingStore(path, kind);
        db->reset(sqlite_open_reading(path.c_str(), nullptr));
        if (!*db) return StoreOpenStatus::kCannotOpen;
    }
    sqlite_busy_timeout(db->get(), kStoreBusyTimeoutMs);
    return StoreOpenStatus::kOpen;
}

}  // namespace

const wchar_t* StoreOpenStatusText(StoreOpenStatus status) noexcept {
    switch (status) {
        case StoreOpenStatus::kOpen:
            return L"opened";
        case StoreOpenStatus::kCannotOpen:
            return L"cannot be opened or created";
        case StoreOpenStatus::kDamaged:
            return L"is refused by the database library and cannot be replaced";
        case StoreOpenStatus::kLegacyFormat:
            return L"is an SQLite 2 database";
        case StoreOpenStatus::kBusy:
            return L"is locked by another connection";
        case StoreOpenStatus::kNoSchema:
            return L"lacks a table that cannot be created";
        case StoreOpenStatus::kForeignCode:
            return L"holds views, triggers, computed columns or a schema far larger than ours";
    }
    return L"cannot be opened";
}

bool OpenLocalStore(UniqueSqlite* out, StoreOpenStatus* status, StoreUse use) {
    if (status != nullptr) *status = StoreOpenStatus::kCannotOpen;
    if (out == nullptr) return false;
    out->reset();
    UniqueSqlite db;
    const StoreOpenStatus opened =
        OpenOrRecreate(kLocalStoreName, &g_version2Logged[0], &db, true, security::Secured::kReadableFile);
    if (opened != StoreOpenStatus::kOpen && opened != StoreOpenStatus::kForeignCode) {
        return Failed(kLocalStoreName, opened, status);
    }

    // The existence checks run in the open's read transaction: the file is locked
    // and its schema read once for all of them instead of once per query. None of
    // the answers depends on a creation made after it, so the creations follow.
    const Presence code = opened == StoreOpenStatus::kForeignCode
                              ? Presence::kPresent
                              : ForeignCode(db.get(), kLocalTables, /*triggersAllowed=*/true);
    if (code == Presence::kPresent) {
        // Not this product's file: discarded as a store that faulted is (the
        // update checker is started to fetch the data again), then made anew.
        db.reset();
        const std::wstring path = ResolveDataPath(kLocalStoreName, DataBase::kCommonData);
        ResetLocalStore();
        if (::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return Failed(kLocalStoreName, StoreOpenStatus::kForeignCode, status);
        }
        TS_LOG(ETWLogging::kSeverityError, kSource,
               L"%s held views, computed columns or a schema far larger than ours; it was deleted and a new store "
               L"is made.",
               path.c_str());
        const StoreOpenStatus reopened =
            OpenOrRecreate(kLocalStoreName, &g_version2Logged[0], &db, true, security::Secured::kReadableFile);
        if (reopened != StoreOpenStatus::kOpen) return Failed(kLocalStoreName, reopened, status);
    }
    const Presence localCache = code == Presence::kBusy ? code : Query(db.get(), schema::kFindLocalCache);
    // Still locked after the wait: creating tables now would fail too (or wait
    // once more per statement), so the store is not to be had at the moment.
    if (localCache == Presence::kBusy) return Failed(kLocalStoreName, StoreOpenStatus::kBusy, status);
    const Presence localIndex =
        localCache == Presence::kPresent ? Query(db.get(), schema::kFindLocalIndex) : Presence::kFailed;
    const Presence digSig = Query(db.get(), schema::kFindDigSigInfo3);
    const Presence settings = Query(db.get(), schema::kFindSettings);
    const Presence expInfo = Query(db.get(), schema::kFindLocalExpInfo);
    if (use == StoreUse::kReadOnly && localCache == Presence::kPresent && localIndex != Presence::kAbsent &&
        digSig == Presence::kPresent && settings == Presence::kPresent && expInfo == Presence::kPresent) {
        *out = std::move(db);
        if (status != nullptr) *status = StoreOpenStatus::kOpen;
        return true;
    }
    Exec(db.get(), "COMMIT;");

    if (localCache != Presence::kPresent) {
        // A new store gets its index at the next open.
        if (Exec(db.get(), schema::kCreateLocalCache)) Exec(db.get(), schema::kCreateCreateDate);
    } else if (localIndex == Presence::kAbsent) {
        Exec(db.get(), schema::kCreateLocalIndex);
    }
    if (digSig != Presence::kPresent) Exec(db.get(), schema::kCreateDigSigInfo3);
    if (settings != Presence::kPresent) Exec(db.get(), schema::kCreateSettings);
    // Another opener may have created the table since the checks.
    if (expInfo != Presence::kPresent && !Exec(db.get(), schema::kCreateLocalExpInfo) &&
        Query(db.get(), schema::kFindLocalExpInfo) != Presence::kPresent) {
        return Failed(kLocalStoreName, StoreOpenStatus::kNoSchema, status);
    }

    *out = std::move(db);
    if (status != nullptr) *status = StoreOpenStatus::kOpen;
    return true;
}

bool OpenSharedStore(UniqueSqlite* out, StoreOpenStatus* status) {
    if (status != nullptr) *status = StoreOpenStatus::kCannotOpen;
    if (out == nullptr) return false;
    out->reset();
    UniqueSqlite db;
    // Standard users' processes write the shared store too: their journals are its own.
    StoreOpenStatus opened =
        OpenOrRecreate(kSharedStoreName, &g_version2Logged[1], &db, false, security::Secured::kSharedStoreFile);
    if (opened == StoreOpenStatus::kOpen) {
        const Presence code = ForeignCode(db.get(), kSharedTables, /*triggersAllowed=*/false);
        Exec(db.get(), "COMMIT;");
        if (code == Presence::kPresent) opened = StoreOpenStatus::kForeignCode;
        if (code == Presence::kBusy) opened = StoreOpenStatus::kBusy;
    }
    if (opened == StoreOpenStatus::kOpen) {
        opened = EnsureTable(db.get(), schema::kFindLocalSharedCache, schema::kCreateLocalSharedCache);
    }
    if (opened != StoreOpenStatus::kOpen) return Failed(kSharedStoreName, opened, status);
    *out = std::move(db);
    if (status != nullptr) *status = StoreOpenStatus::kOpen;
    return true;
}

int GetTableLogged(sqlite* db, const char* sql, UniqueSqliteTable* table, int* rows, int* columns,
                   const wchar_t* doing) {
    char* error = nullptr;
    const int rc = sqlite_get_table(db, sql, table->put(), rows, columns, &error);
    const UniqueSqliteMem errorText(error);
    if (rc != SQLITE_OK) {
        TS_LOG(ETWLogging::kSeverityWarning, kSource, L"%s failed (%d): %hs", doing, rc, error != nullptr ? error : "");
    }
    return rc;
}

SchemaSize StoreSchemaSize(const std::wstring& path, size_t limit) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !::GetFileSizeEx(file.get(), &size)) return SchemaSize::kWithin;
    const FileBytesReader read = [&file](uint64_t offset, uint8_t* buffer, size_t count) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        return count <= 0xFFFFFFFFu && ::ReadFile(file.get(), buffer, static_cast<DWORD>(count), &got, &at) &&
               got == count;
    };
    return CountSchemaEntries(read, static_cast<uint64_t>(size.QuadPart), limit);
}

void ResetLocalStore() {
    const std::wstring store = ResolveDataPath(kLocalStoreName, DataBase::kCommonData);
    if (!::DeleteFileW(store.c_str())) {
        // In use by another process: let the system remove it at the next restart.
        registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime);
        ::MoveFileExW(store.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        return;
    }

    const int64_t now = static_cast<int64_t>(std::time(nullptr));
    int64_t lastStart = 0;
    if (!registry::ReadProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2, &lastStart)) lastStart = 0;
    if (lastStart + kRestartInterval >= now) return;

    registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime);
    std::wstring commandLine = QuoteSpaces(ResolveDataPath(L"tsupdchk.exe", DataBase::kInstall));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                         &startup, &process)) {
        UniqueHandle processHandle(process.hProcess);
        UniqueHandle threadHandle(process.hThread);
    }
    registry::WriteProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2, now);
}

}  // namespace tessary
