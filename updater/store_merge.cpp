#include "updater/store_merge.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/owner_check.h"
#include "platform/registry.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"

namespace tessary {
namespace {

// Tables of the store, as a downloaded file may carry them.
constexpr const char* kStoreTables[] = {"LocalCache", "CreateDate",   "DigSigInfo3",
                                        "Settings",   "LocalExpInfo", "IDSSettings"};
constexpr size_t kTableCount = sizeof(kStoreTables) / sizeof(kStoreTables[0]);
enum TableIndex { kLocalCache, kCreateDate, kDigSigInfo3, kSettings, kLocalExpInfo, kIDSSettings };

// Virtual machine instructions between two looks at the clock.
constexpr int kProgressOps = 4096;

bool IsTransient(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_IOERR:
        case SQLITE_NOMEM:
        case SQLITE_CANTOPEN:
        case SQLITE_FULL:
        case SQLITE_PROTOCOL:
            return true;
        default:
            return false;
    }
}

// Interrupts a statement that computes longer than kMergeStatementMs since the
// clock was last restarted (before each statement and each step of a stream),
// and any statement once the merge has run for kMergeTotalMs.
class StatementClock {
public:
    void Restart() {
        start_ = ::GetTickCount64();
        expired_ = false;
    }
    bool expired() const { return expired_; }
    bool OverTotal() const { return ::GetTickCount64() - mergeStart_ > kMergeTotalMs; }

    static int OnProgress(void* arg) {
        auto* clock = static_cast<StatementClock*>(arg);
        if (::GetTickCount64() - clock->start_ <= kMergeStatementMs && !clock->OverTotal()) return 0;
        clock->expired_ = true;
        return 1;
    }

private:
    const ULONGLONG mergeStart_ = ::GetTickCount64();
    ULONGLONG start_ = 0;
    bool expired_ = false;
};

// Waits for a lock another connection holds, up to kMergeBusyTimeoutMs per
// statement. Time spent waiting is not computing: the statement clock restarts.
class LockWait {
public:
    explicit LockWait(StatementClock* clock) : clock_(clock) {}

    static int OnBusy(void* arg, const char* /*table*/, int attempts) {
        auto* wait = static_cast<LockWait*>(arg);
        const ULONGLONG now = ::GetTickCount64();
        if (attempts == 0) wait->start_ = now;
        if (now - wait->start_ >= static_cast<ULONGLONG>(kMergeBusyTimeoutMs) || wait->clock_->OverTotal()) return 0;
        ::Sleep(attempts < 6 ? 1u << attempts : 50u);
        wait->clock_->Restart();
        return 1;
    }

private:
    StatementClock* clock_;
    ULONGLONG start_ = 0;
};

class Merge {
public:
    Merge(sqlite* from, StatementClock* clock) : from_(from), clock_(clock) {}

    const MergeResult& failure() const { return failure_; }

    // Refuses the file, or marks a transient failure, with `what` and SQLite's text.
    bool FailFile(int rc, const std::string& what, const char* text) {
        // A statement that computed too long blames the file; a merge that ran out
        // of its whole time may only have met a slow machine, and is tried again.
        const bool transient = (IsTransient(rc) && !clock_->expired()) || clock_->OverTotal();
        failure_.outcome = transient ? MergeOutcome::kRetry : MergeOutcome::kRefused;
        failure_.reason = what + ": " + Why(rc, text);
        return false;
    }
    // A failure on the local store: the file is not to blame, so it may be tried again.
    bool FailLocal(int rc, const std::string& what, const char* text) {
        failure_.outcome = MergeOutcome::kRetry;
        failure_.reason = what + ": " + Why(rc, text);
        return false;
    }
    bool Refuse(std::string reason) {
        failure_.outcome = MergeOutcome::kRefused;
        failure_.reason = std::move(reason);
        return false;
    }

    // Streams the rows of `select` on the downloaded file to `row(values, columns)`,
    // which returns false to stop. Counts every row and value byte against the
    // caps. False when the statement or `row` failed.
    template <typename RowFn>
    bool Stream(const char* select, RowFn&& row) {
        clock_->Restart();
        sqlite_vm* raw = nullptr;
        char* message = nullptr;
        int rc = sqlite_compile(from_, select, nullptr, &raw, &message);
        UniqueSqliteMem error(message);
        UniqueSqliteVm vm(raw);
        if (rc != SQLITE_OK) return FailFile(rc, std::string("reading ") + select, error.get());
        for (;;) {
            clock_->Restart();
            int columns = 0;
            const char** values = nullptr;
            rc = sqlite_step(vm.get(), &columns, &values, nullptr);
            if (rc == SQLITE_DONE) return true;
            if (rc != SQLITE_ROW) {
                message = nullptr;
                sqlite_finalize(vm.Take(), &message);
                error.reset(message);
                return FailFile(rc, std::string("reading ") + select, error.get());
            }
            if (++rows_ > kMergeMaxRows) {
                return Refuse("more than " + std::to_string(kMergeMaxRows) + " rows");
            }
            for (int c = 0; c < columns; ++c) bytes_ += values[c] != nullptr ? std::strlen(values[c]) : 0;
            if (bytes_ > kMergeMaxBytes) {
                return Refuse("more than " + std::to_string(kMergeMaxBytes) + " bytes of values");
            }
            if (!row(values, columns)) return false;
        }
    }

private:
    static std::string Why(int rc, const char* text) {
        std::string why = text != nullptr && *text != '\0' ? text : "error " + std::to_string(rc);
        return why + " (" + std::to_string(rc) + ")";
    }

    sqlite* from_;
    StatementClock* clock_;
    MergeResult failure_;
    int64_t rows_ = 0;
    int64_t bytes_ = 0;
};

// Statements on the local store, each checked; a failure is recorded in the merge.
class LocalWriter {
public:
    LocalWriter(sqlite* to, StatementClock* clock, Merge* merge) : to_(to), clock_(clock), merge_(merge) {}

    bool Exec(const char* sql) {
        clock_->Restart();
        char* message = nullptr;
        const int rc = sqlite_exec(to_, sql, nullptr, nullptr, &message);
        UniqueSqliteMem error(message);
        if (rc == SQLITE_OK) return true;
        // The statement's verb and table are enough to tell where it failed; its
        // values come from the download and stay out of the log.
        std::string what(sql, std::min<size_t>(std::strlen(sql), 28));
        return merge_->FailLocal(rc, what, error.get());
    }

    template <typename... Args>
    bool Execf(const char* format, Args... args) {
        UniqueSqliteMem sql(sqlite_mprintf(format, args...));
        if (!sql) return merge_->FailLocal(SQLITE_NOMEM, "formatting a statement", "out of memory");
        return Exec(sql.get());
    }

private:
    sqlite* to_;
    StatementClock* clock_;
    Merge* merge_;
};

struct TablePresence {
    bool present[kTableCount] = {};
};

// Checks the downloaded file's schema before anything else runs on it: no view
// and no trigger anywhere (a view can compute without end, a trigger is code),
// and each store table name, where present, a plain table.
bool CheckFileSchema(Merge& merge, TablePresence* found) {
    bool ok = true;
    const bool streamed = merge.Stream("SELECT type, name, sql FROM sqlite_master;", [&](const char** v, int n) {
        if (n < 3 || v[0] == nullptr || v[1] == nullptr) return true;
        const std::string_view type = v[0];
        if (type == "view" || type == "trigger") {
            ok = merge.Refuse("it holds a " + std::string(type) + " (" + std::string(v[1]) + ")");
            return false;
        }
        for (size_t t = 0; t < kTableCount; ++t) {
            if (!AsciiEqualsIgnoreCase(v[1], kStoreTables[t])) continue;
            std::string_view sql = v[2] != nullptr ? v[2] : "";
            while (!sql.empty() &&
                   (sql.front() == ' ' || sql.front() == '\t' || sql.front() == '\r' || sql.front() == '\n')) {
                sql.remove_prefix(1);
            }
            // "CREATE VIRTUAL TABLE" is a table of a module's making, not rows in the file.
            if (type != "table" || !AsciiEqualsIgnoreCase(sql.substr(0, 13), "CREATE TABLE ")) {
                ok = merge.Refuse(std::string(kStoreTables[t]) + " is not a plain table");
                return false;
            }
            found->present[t] = true;
        }
        return true;
    });
    if (!streamed || !ok) return false;
    // A computed column runs an expression of the file's making for every row read.
    for (size_t t = 0; t < kTableCount; ++t) {
        if (!found->present[t]) continue;
        const std::string computed =
            std::string("SELECT count(*) FROM pragma_table_xinfo('") + kStoreTables[t] + "') WHERE hidden <> 0;";
        int64_t columns = 0;
        if (!merge.Stream(computed.c_str(), [&](const char** v, int n) {
                columns = n > 0 && v[0] != nullptr ? std::strtoll(v[0], nullptr, 10) : 0;
                return true;
            })) {
            return false;
        }
        if (columns != 0) return merge.Refuse(std::string(kStoreTables[t]) + " has computed columns");
    }
    return true;
}

// Refuses a file whose tables hold more rows together than one merge takes,
// before a single row is written.
bool CheckRowCount(Merge& merge, const TablePresence& found) {
    int64_t total = 0;
    for (size_t t = 0; t < kTableCount; ++t) {
        if (!found.present[t]) continue;
        const std::string count = std::string("SELECT count(*) FROM ") + kStoreTables[t] + ";";
        int64_t rows = 0;
        if (!merge.Stream(count.c_str(), [&](const char** v, int n) {
                rows = n > 0 && v[0] != nullptr ? std::strtoll(v[0], nullptr, 10) : 0;
                return true;
            })) {
            return false;
        }
        total += rows;
    }
    if (total > kMergeMaxRows) {
        return merge.Refuse("its tables hold " + std::to_string(total) + " rows, more than " +
                            std::to_string(kMergeMaxRows));
    }
    return true;
}

bool LocalHasTable(sqlite* db, const char* name) {
    UniqueSqliteMem sql(sqlite_mprintf("SELECT name FROM sqlite_master WHERE type='table' AND name='%q';", name));
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    return sql && sqlite_get_table(db, sql.get(), table.put(), &rows, &columns, nullptr) == SQLITE_OK && rows > 0;
}

bool MergeRecords(Merge& merge, LocalWriter& local) {
    return merge.Stream("SELECT * FROM LocalCache;", [&](const char** v, int n) {
        if (n < 2) return true;
        // A row without hash or data is no record: it would be stored as "(NULL)".
        if (v[0] != nullptr && v[1] != nullptr) {
            if (!local.Execf("DELETE FROM LocalCache WHERE HASH = '%q';", v[0])) return false;
            if (!local.Execf("INSERT into LocalCache VALUES('%q', '%q');", v[0], v[1])) return false;
        }
        // Other users of the machine keep running during large updates.
        ::Sleep(0);
        return true;
    });
}

bool MergeStamps(Merge& merge, LocalWriter& local, bool localHasTable) {
    bool first = true;
    return merge.Stream("SELECT TimeStamp FROM CreateDate;", [&](const char** v, int n) {
        if (n < 1) return true;
        if (first && !localHasTable && !local.Exec("CREATE TABLE CreateDate( TimeStamp INTEGER );")) return false;
        first = false;
        // The stamp comes from a downloaded file: quoted, never pasted into the statement.
        return v[0] == nullptr || local.Execf("INSERT into CreateDate Values( '%q');", v[0]);
    });
}

// Replaces table `remove` names of the local store whole by the downloaded
// file's rows, when there are any: the old rows go at the first row.
struct SmallTable {
    const char* select;
    const char* remove;
    const char* insert;
    int valueCount;
    bool requireAll;  // a row with a missing value is not carried over
    bool sleeps;      // 10 ms after each row, within the merge's sleep budget
};

bool ReplaceTable(Merge& merge, LocalWriter& local, const SmallTable& table, DWORD* slept) {
    bool first = true;
    return merge.Stream(table.select, [&](const char** v, int n) {
        if (n < table.valueCount) return true;
        if (first && !local.Exec(table.remove)) return false;
        first = false;
        const char* value[4] = {};
        bool complete = true;
        for (int i = 0; i < table.valueCount; ++i) {
            value[i] = v[i];
            complete = complete && v[i] != nullptr;
        }
        if (table.requireAll && !complete) return true;
        if (!local.Execf(table.insert, value[0], value[1], value[2], value[3])) return false;
        if (table.sleeps) {
            const DWORD pause = *slept + 10 <= kMergeSleepBudgetMs ? 10 : 0;
            ::Sleep(pause);
            *slept += pause;
        }
        return true;
    });
}

int64_t FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<int64_t>(static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
}

// A page cache that holds what the merge touches: the local store and what
// the update adds to it, within kMergeMaxCacheBytes.
void FitPageCache(sqlite* local, int64_t localBytes, int64_t updateBytes) {
    constexpr int64_t kDefaultCacheBytes = 2 * 1024 * 1024;
    const int64_t wanted = std::max<int64_t>(localBytes, 0) + 2 * std::max<int64_t>(updateBytes, 0);
    const int64_t bytes = std::clamp(wanted, kDefaultCacheBytes, kMergeMaxCacheBytes);
    const std::string pragma = "PRAGMA cache_size = -" + std::to_string(bytes / 1024) + ";";
    sqlite_exec(local, pragma.c_str(), nullptr, nullptr, nullptr);
}

MergeResult MergeInto(const std::wstring& path) {
    MergeResult result;
    // Held, denying writers and deleters, until the merge is over: the file the
    // owner check saw is the file the merge reads.
    const UniqueFile held(::CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!held) {
        const DWORD error = ::GetLastError();
        return {MergeOutcome::kRetry, "the file cannot be opened (error " + std::to_string(error) + ")"};
    }
    const security::FileOwner owner = security::PlainFileOwner(held.get(), path);
    if (owner != security::FileOwner::kTrusted) {
        return {MergeOutcome::kRefused, "the file is " + WideToNarrow(security::OwnerText(owner))};
    }
    const int64_t size = FileSize(path);
    if (size < 0)
        return {MergeOutcome::kRetry, "the file cannot be read (error " + std::to_string(::GetLastError()) + ")"};
    if (size > kMergeMaxBytes) {
        return {MergeOutcome::kRefused,
                "the file has " + std::to_string(size) + " bytes, more than " + std::to_string(kMergeMaxBytes)};
    }

    // The library parses the whole schema on its first statement, before any
    // bound of the merge applies: a schema far larger than a store's is refused
    // unparsed, and one whose pages cannot be walked is no store from the service.
    const SchemaSize schema = StoreSchemaSize(path, kMaxStoreSchemaEntries);
    if (schema == SchemaSize::kTooLarge) {
        return {MergeOutcome::kRefused,
                "the file's schema has more than " + std::to_string(kMaxStoreSchemaEntries) + " entries"};
    }
    if (schema == SchemaSize::kMalformed) return {MergeOutcome::kRefused, "the file's schema pages are damaged"};

    // Read-only: nothing runs on the file that could change it, and a table it
    // lacks is simply empty.
    int code = SQLITE_OK;
    char* message = nullptr;
    UniqueSqlite update(sqlite_open_readonly(path.c_str(), &code, &message));
    UniqueSqliteMem openError(message);
    if (!update) {
        const std::string why =
            std::string(openError ? openError.get() : "cannot be opened") + " (" + std::to_string(code) + ")";
        const bool transient = code != SQLITE_NOTADB && code != SQLITE_CORRUPT && IsTransient(code);
        return {transient ? MergeOutcome::kRetry : MergeOutcome::kRefused, "the file cannot be opened: " + why};
    }
    StatementClock clock;
    LockWait updateWait(&clock);
    sqlite_busy_handler(update.get(), &LockWait::OnBusy, &updateWait);
    sqlite_limit_value_bytes(update.get(), kMergeMaxValueBytes);
    sqlite_progress_handler(update.get(), kProgressOps, &StatementClock::OnProgress, &clock);

    Merge merge(update.get(), &clock);
    TablePresence found;
    if (!CheckFileSchema(merge, &found) || !CheckRowCount(merge, found)) return merge.failure();

    UniqueSqlite localStore;
    StoreOpenStatus opened = StoreOpenStatus::kOpen;
    if (!OpenLocalStore(&localStore, &opened)) {
        return {MergeOutcome::kRetry, "the local store " + WideToNarrow(StoreOpenStatusText(opened))};
    }
    sqlite* to = localStore.get();
    LockWait localWait(&clock);
    sqlite_busy_handler(to, &LockWait::OnBusy, &localWait);
    FitPageCache(to, FileSize(ResolveDataPath(kLocalStoreName, DataBase::kCommonData)), size);
    {
        UniqueSqliteTable index;
        int rows = 0;
        int columns = 0;
        // Outside the merge's transaction: the index speeds the merge and serves lookups,
        // and a failure to make it is no reason to hold the update back.
        if (sqlite_get_table(to, schema::kFindLocalIndex, index.put(), &rows, &columns, nullptr) == SQLITE_OK &&
            rows == 0) {
            sqlite_exec(to, schema::kCreateLocalIndex, nullptr, nullptr, nullptr);
        }
    }
    const bool localHasCreateDate = LocalHasTable(to, "CreateDate");
    // The local store has no IDSSettings of its own: its rows are carried over only
    // where one was added.
    const bool localHasIds = LocalHasTable(to, "IDSSettings");
    sqlite_progress_handler(to, kProgressOps, &StatementClock::OnProgress, &clock);

    LocalWriter local(to, &clock, &merge);
    if (!local.Exec("BEGIN;")) return merge.failure();
    DWORD slept = 0;
    const bool merged =
        (!found.present[kLocalCache] || MergeRecords(merge, local)) &&
        (!found.present[kCreateDate] || MergeStamps(merge, local, localHasCreateDate)) &&
        (!found.present[kDigSigInfo3] || ReplaceTable(merge, local,
                                                      {"SELECT * FROM DigSigInfo3;", "DELETE FROM DigSigInfo3;",
                                                       "INSERT into DigSigInfo3 VALUES('%q', '%q');", 2, true, false},
                                                      &slept)) &&
        (!found.present[kSettings] || ReplaceTable(merge, local,
                                                   {"SELECT * FROM Settings;", "DELETE FROM Settings;",
                                                    "INSERT into Settings VALUES('%q', '%q');", 2, false, true},
                                                   &slept)) &&
        (!found.present[kLocalExpInfo] ||
         ReplaceTable(merge, local,
                      {"SELECT * FROM LocalExpInfo;", "DELETE FROM LocalExpInfo;",
                       "INSERT into LocalExpInfo VALUES('%q', '%q', '%q', '%q');", 4, false, true},
                      &slept)) &&
        (!found.present[kIDSSettings] || !localHasIds ||
         ReplaceTable(merge, local,
                      {"SELECT * FROM IDSSettings;", "DELETE FROM IDSSettings;",
                       "INSERT into IDSSettings VALUES('%q', '%q');", 2, false, false},
                      &slept)) &&
        local.Exec("COMMIT;");
    if (!merged) {
        // A failed COMMIT leaves the transaction open; closing would roll it back
        // too, but the lock goes now.
        sqlite_progress_handler(to, 0, nullptr, nullptr);
        sqlite_exec(to, "ROLLBACK;", nullptr, nullptr, nullptr);
        return merge.failure();
    }
    result.outcome = MergeOutcome::kMerged;
    return result;
}

void SignalReloadEvents() {
    NamedObjects& objects = ProcessObjects();
    for (HANDLE event : {objects.xcEvent.get(), objects.lcEvent.get(), objects.digSigEvent.get()}) {
        if (event != nullptr) ::SetEvent(event);
    }
}

}  // namespace

MergeResult MergeStoreFile(const std::wstring& path) {
    MergeResult result;
    try {
        result = MergeInto(path);
    } catch (const std::bad_alloc&) {
        result = {MergeOutcome::kRetry, "out of memory"};
    }
    SignalReloadEvents();
    return result;
}

std::string RecordStoreVersion() {
    std::string version = kEmptyStoreVersion;
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return version;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (sqlite_get_table(db.get(), "SELECT TimeStamp FROM CreateDate ORDER BY TimeStamp DESC;", table.put(), &rows,
                         &columns, nullptr) == SQLITE_OK &&
        table.valid() && rows > 0 && columns > 0) {
        const char* newest = table.get()[columns];
        if (newest == nullptr) return version;  // only NULL stamps sort last in descending order
        version = std::string(newest).substr(0, kMaxStoreVersionChars);
        if (registry::KeyExists(HKEY_LOCAL_MACHINE, keys::kTessary)) {
            registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kDbVersion, NarrowToWide(version), false);
        }
    }
    return version;
}

}  // namespace tessary
