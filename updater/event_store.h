#pragma once

// The firewall's event database ("log.edb"): the LogEntries table of blocked
// inbound connection attempts, the classes that open and query it, and the
// exception every database failure raises. The update checker only enumerates;
// insertion and deletion complete the interface for the firewall side and tools.

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/unique_resource.h"
#include "store/sqlite_adapter.h"

namespace tessary {

// Name of the event table and the build number its version table records.
inline constexpr char kLogEntriesTable[] = "LogEntries";
inline constexpr int kLogEntriesBuildNumber = 18900;
// Relative name of the firewall's database; "data\" names resolve below the
// common data directory when the firewall's folder is unknown.
inline constexpr wchar_t kEventLogRelativeName[] = L"data\\log.edb";
// How long a statement that finds the database locked waits, once, before failing.
inline constexpr DWORD kEventLogBusyWaitMs = 2000;
// Longest database path, in characters.
inline constexpr size_t kMaxEventLogPath = 259;

// The firewall's database: the common application-data folder (created if
// needed) + "\Quellon\Lodan\data\log.edb"; kEventLogRelativeName when that folder
// cannot be determined. The "data" folder itself is not created.
std::wstring FirewallEventLogPath();

// Raised (by value) on every database failure: the library's message and the
// statement's result code (1 for an open failure).
class CSqliteException {
public:
    CSqliteException(std::wstring message, int code) : message_(std::move(message)), code_(code) {}
    const std::wstring& Message() const noexcept { return message_; }
    int Code() const noexcept { return code_; }

private:
    std::wstring message_;
    int code_;
};

// Base of a row object.
class CSqliteItem {
public:
    virtual ~CSqliteItem() = default;
};

// One LogEntries row. Addresses and ports keep the network byte order they are
// stored in (first octet in the lowest byte).
class CInboundEventItem : public CSqliteItem {
public:
    int32_t entryId = 0;
    uint16_t typeCode = 0;
    uint32_t ipFrom = 0;
    uint32_t ipTo = 0;
    uint16_t portFrom = 0;
    uint16_t portTo = 0;
    int64_t time = 0;  // seconds since 1970-01-01 UTC
    uint8_t flags = 0;
    uint8_t status = 0;
    uint8_t protocol = 0;  // the TCPControl column: IP protocol number
    uint8_t reserved = 0;
};

// One open database. Keeps the result code and message of the last statement
// and the last result table.
class CSqliteDataMgr {
public:
    CSqliteDataMgr() = default;
    CSqliteDataMgr(const CSqliteDataMgr&) = delete;
    CSqliteDataMgr& operator=(const CSqliteDataMgr&) = delete;
    // Closes the database and frees the table and the messages.
    virtual ~CSqliteDataMgr();

    const std::wstring& path() const noexcept { return path_; }
    // Result code of the last statement (SQLITE_OK after success).
    int lastResult() const noexcept { return lastResult_; }
    // Message of the last failed statement as the library gave it, widened ("" when none).
    const std::wstring& lastError() const noexcept { return lastErrorWide_; }

    // Runs statements that return no rows ("BEGIN;", "COMMIT;"); records the result
    // and message like every statement. Returns the result code; never throws
    // except std::bad_alloc.
    int RunStatement(const char* sql) { return Exec(sql, nullptr, nullptr); }

protected:
    // Closes what is open, then opens `path` (resolved: "data\..." below the common
    // data directory, anything else unchanged) with the busy rule: a locked
    // database is waited for once, kEventLogBusyWaitMs, then the statement fails
    // as busy. Throws CSqliteException (code 1) when the file cannot be opened or
    // the path is longer than kMaxEventLogPath.
    void Open(const std::wstring& path);

    // Runs `sql` with a row callback; records result and message. Returns the result code.
    int Exec(const char* sql, sqlite_callback callback, void* arg);
    // Runs `sql` into the kept result table. Returns the result code.
    int GetTable(const char* sql);
    // Throws CSqliteException with the last message and `code`.
    [[noreturn]] void Raise(int code) const;

    sqlite* db() const noexcept { return db_.get(); }
    int tableRows() const noexcept { return rows_; }

    // Keeps `code` and takes ownership of the library's `message` (may be null).
    void RecordError(int code, char* message);

private:
    std::wstring path_;
    UniqueSqlite db_;
    int lastResult_ = SQLITE_OK;
    UniqueSqliteMem lastError_;
    std::wstring lastErrorWide_;
    UniqueSqliteTable table_;
    int rows_ = 0;
    int columns_ = 0;
};

// The LogEntries table of one event database.
class CInboundEventDataMgr : public CSqliteDataMgr {
public:
    // Called for every row with the row's item (valid during the call only) and the
    // caller's data. Its result is ignored: enumeration never stops early.
    using RowCallback = int (*)(CInboundEventItem* item, void* userData);

    // Opens `path` (see CSqliteDataMgr::Open) and creates LogEntries with its version
    // table when missing; errors of that creation are recorded, not thrown.
    // Throws CSqliteException when the database cannot be opened.
    explicit CInboundEventDataMgr(const std::wstring& path);
    ~CInboundEventDataMgr() override = default;

    // Calls `callback` for every row with Time > fromTime (when fromTime is not 0),
    // Time < toTime (when not 0), PortTo > minPortTo (when not 0) and IPFrom >
    // minIpFrom (when not 0; compared as numbers), oldest first when `ascending`,
    // else newest first. Returns 0; throws CSqliteException on failure (rows already
    // delivered stay delivered).
    virtual int Enumerate(RowCallback callback, int32_t fromTime, int32_t toTime, int32_t minPortTo, int32_t minIpFrom,
                          bool ascending, void* userData);

    // Inserts `item` (its entry identifier is ignored; time 0 becomes now) and
    // returns the new row's identifier. Throws CSqliteException on failure.
    virtual int64_t Insert(const CInboundEventItem& item);

    // Deletes the row with the item's entry identifier. Returns 0 (also when no
    // such row exists); throws CSqliteException on failure.
    virtual int Delete(const CInboundEventItem& item);

    // The SELECT Enumerate runs for these arguments.
    static std::string EnumerateStatement(int32_t fromTime, int32_t toTime, int32_t minPortTo, int32_t minIpFrom,
                                          bool ascending);

    // The item of one LogEntries row in column order; every column read as a
    // decimal number (NULL and non-numeric text read as 0), kept to the field's width.
    static void ItemFromRow(int columns, char** values, CInboundEventItem* item) noexcept;

private:
    void CreateTablesIfMissing();
};

// The process's access to the firewall's event database: the data manager,
// created on first use and kept until the process ends, and the process-local
// mutex that serialises reports.
class CLogFileAccess {
public:
    // The process-wide object (created by the first call).
    static CLogFileAccess& Instance();

    CLogFileAccess(const CLogFileAccess&) = delete;
    CLogFileAccess& operator=(const CLogFileAccess&) = delete;
    virtual ~CLogFileAccess();

    // The unnamed report mutex (null when it could not be created).
    HANDLE mutex() const noexcept { return mutex_.get(); }

    // The data manager of FirewallEventLogPath(), opened by the first call that
    // succeeds. Throws CSqliteException when it cannot be opened.
    CInboundEventDataMgr& DataMgr();

private:
    CLogFileAccess();

    UniqueHandle mutex_;
    std::unique_ptr<CInboundEventDataMgr> dataMgr_;
};

}  // namespace tessary
