#include "updater/event_store.h"

#include <shlobj.h>

#include <cstdio>
#include <ctime>
#include <exception>

#include "platform/paths.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "store/data_paths.h"

namespace tessary {
namespace {

constexpr wchar_t kFirewallDataFolder[] = L"\\Quellon\\Lodan\\";
constexpr wchar_t kDataPrefix[] = L"data\\";

constexpr char kFindTableFormat[] = "SELECT name FROM sqlite_master WHERE type='table' AND name like upper('%s');";
constexpr char kCreateLogEntries[] =
    "CREATE TABLE LogEntries(EntryID INTEGER PRIMARY KEY,TypeCode INTEGER,IPFrom VARCHAR(8),IPTo VARCHAR(8),"
    "PortFrom INTEGER,PortTo INTEGER,Time TIMESTAMP,Flags INTEGER,Status INTEGER,TCPControl INTEGER,"
    "Reserved INTEGER);";
constexpr char kCreateVersionFormat[] = "CREATE TABLE %sVersion( VersionID INTEGER PRIMARY KEY, BuildNumber INTEGER);";
constexpr char kInsertVersionFormat[] = "INSERT into %sVersion VALUES(NULL, '%d');";
constexpr char kInsertFormat[] =
    "INSERT into LogEntries (TypeCode, IPFrom, IPTo, PortFrom, PortTo, Time, Flags, Status, TCPControl, Reserved) "
    "VALUES('%d', '%d', '%d', '%d', '%d', '%lld', '%d', '%d', '%d', '%d');";
constexpr char kDeleteFormat[] = "DELETE from LogEntries WHERE EntryID = '%d';";

// The database is shared with the firewall: a locked file is waited for once,
// then the statement gives up as busy rather than stalling the pass.
int WaitOnceWhenBusy(void*, const char*, int attempts) {
    if (attempts > 0) return 0;
    ::Sleep(kEventLogBusyWaitMs);
    return 1;
}

// A column as the decimal number it holds. Values are read 64 bits wide and then
// kept to the field's width, so both the signed form the table is written with and
// an unsigned decimal of the same bits read alike.
// Hand-parsed: the row callback runs for every event of the interval, and the
// runtime's strtoll costs more than the rest of the row's handling. Leading white
// space and a sign are accepted; parsing stops at the first non-digit; digits beyond
// 64 bits wrap (such values are garbage either way).
int64_t ColumnNumber(const char* text) noexcept {
    if (text == nullptr) return 0;
    while (*text == ' ' || *text == '\t') ++text;
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') ++text;
    uint64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<uint64_t>(*text - '0');
    return static_cast<int64_t>(negative ? 0 - value : value);
}

bool StartsWithDataPrefix(const std::wstring& path) {
    const size_t n = std::size(kDataPrefix) - 1;
    return path.size() >= n && _wcsnicmp(path.c_str(), kDataPrefix, n) == 0;
}

std::wstring ResolveEventLogPath(const std::wstring& path) {
    return StartsWithDataPrefix(path) ? ResolveDataPath(path, DataBase::kCommonData) : path;
}

struct EnumerateContext {
    CInboundEventDataMgr::RowCallback callback;
    void* userData;
    std::exception_ptr failure;
};

int DeliverRow(void* arg, int columns, char** values, char**) {
    auto* context = static_cast<EnumerateContext*>(arg);
    try {
        CInboundEventItem item;
        CInboundEventDataMgr::ItemFromRow(columns, values, &item);
        if (context->callback != nullptr) context->callback(&item, context->userData);
    } catch (...) {
        // Nothing may unwind through the database library: stop and rethrow after it.
        context->failure = std::current_exception();
        return 1;
    }
    return 0;
}

}  // namespace

std::wstring FirewallEventLogPath() {
    std::wstring folder;
    if (!GetShellFolder(CSIDL_COMMON_APPDATA, &folder)) return kEventLogRelativeName;
    return folder + kFirewallDataFolder + kEventLogRelativeName;
}

// CSqliteDataMgr

CSqliteDataMgr::~CSqliteDataMgr() = default;

void CSqliteDataMgr::Open(const std::wstring& path) {
    table_.reset();
    rows_ = columns_ = 0;
    db_.reset();
    path_ = ResolveEventLogPath(path);
    if (path_.empty() || path_.size() > kMaxEventLogPath) {
        lastResult_ = 1;
        lastErrorWide_ = L"database path is empty or too long";
        throw CSqliteException(lastErrorWide_, 1);
    }
    char* message = nullptr;
    db_.reset(sqlite_open(path_.c_str(), 0, &message));
    if (!db_) {
        RecordError(1, message);
        throw CSqliteException(lastErrorWide_, 1);
    }
    sqlite_busy_timeout(db_.get(), static_cast<int>(kEventLogBusyWaitMs));
    sqlite_busy_handler(db_.get(), WaitOnceWhenBusy, nullptr);
}

void CSqliteDataMgr::RecordError(int code, char* message) {
    lastResult_ = code;
    lastError_.reset(message);
    lastErrorWide_ = message != nullptr ? NarrowToWide(message) : std::wstring();
}

int CSqliteDataMgr::Exec(const char* sql, sqlite_callback callback, void* arg) {
    char* message = nullptr;
    int rc = sqlite_exec(db_.get(), sql, callback, arg, &message);
    RecordError(rc, message);
    return rc;
}

int CSqliteDataMgr::GetTable(const char* sql) {
    char* message = nullptr;
    char** table = nullptr;
    int rows = 0;
    int columns = 0;
    table_.reset();
    int rc = sqlite_get_table(db_.get(), sql, &table, &rows, &columns, &message);
    table_.reset(table);
    rows_ = rc == SQLITE_OK ? rows : 0;
    columns_ = rc == SQLITE_OK ? columns : 0;
    RecordError(rc, message);
    return rc;
}

void CSqliteDataMgr::Raise(int code) const {
    throw CSqliteException(lastErrorWide_.empty() ? L"database error " + std::to_wstring(code) : lastErrorWide_, code);
}

// CInboundEventDataMgr

CInboundEventDataMgr::CInboundEventDataMgr(const std::wstring& path) {
    Open(path);
    CreateTablesIfMissing();
}

void CInboundEventDataMgr::CreateTablesIfMissing() {
    char find[260];
    std::snprintf(find, sizeof(find), kFindTableFormat, kLogEntriesTable);
    if (GetTable(find) == SQLITE_OK && tableRows() > 0) return;
    if (Exec(kCreateLogEntries, nullptr, nullptr) != SQLITE_OK) return;
    char* message = nullptr;
    int rc = sqlite_exec_printf(db(), kCreateVersionFormat, nullptr, nullptr, &message, kLogEntriesTable);
    RecordError(rc, message);
    if (rc != SQLITE_OK) return;
    message = nullptr;
    rc = sqlite_exec_printf(db(), kInsertVersionFormat, nullptr, nullptr, &message, kLogEntriesTable,
                            kLogEntriesBuildNumber);
    RecordError(rc, message);
}

std::string CInboundEventDataMgr::EnumerateStatement(int32_t fromTime, int32_t toTime, int32_t minPortTo,
                                                     int32_t minIpFrom, bool ascending) {
    std::string sql = "SELECT * FROM LogEntries WHERE '1'='1' ";
    char clause[64];
    if (fromTime != 0) {
        std::snprintf(clause, sizeof(clause), "AND time > '%d' ", static_cast<int>(fromTime));
        sql += clause;
    }
    if (toTime != 0) {
        std::snprintf(clause, sizeof(clause), "AND time < '%d' ", static_cast<int>(toTime));
        sql += clause;
    }
    if (minPortTo != 0) {
        std::snprintf(clause, sizeof(clause), "AND PortTo > '%d' ", static_cast<int>(minPortTo));
        sql += clause;
    }
    if (minIpFrom != 0) {
        // IPFrom is declared VARCHAR, so the stored decimals have text affinity and a
        // plain comparison would order them as text ('9' > '10'). The cast compares
        // them as the numbers they are. Time and PortTo have numeric affinity already.
        std::snprintf(clause, sizeof(clause), "AND CAST(IpFrom AS INTEGER) > '%d' ", static_cast<int>(minIpFrom));
        sql += clause;
    }
    sql += ascending ? "ORDER BY Time Asc;" : "ORDER BY Time Desc;";
    return sql;
}

void CInboundEventDataMgr::ItemFromRow(int columns, char** values, CInboundEventItem* item) noexcept {
    auto column = [&](int index) -> int64_t {
        return values != nullptr && index < columns ? ColumnNumber(values[index]) : 0;
    };
    item->entryId = static_cast<int32_t>(column(0));
    item->typeCode = static_cast<uint16_t>(column(1));
    item->ipFrom = static_cast<uint32_t>(column(2));
    item->ipTo = static_cast<uint32_t>(column(3));
    item->portFrom = static_cast<uint16_t>(column(4));
    item->portTo = static_cast<uint16_t>(column(5));
    item->time = column(6);
    item->flags = static_cast<uint8_t>(column(7));
    item->status = static_cast<uint8_t>(column(8));
    item->protocol = static_cast<uint8_t>(column(9));
    item->reserved = static_cast<uint8_t>(column(10));
}

int CInboundEventDataMgr::Enumerate(RowCallback callback, int32_t fromTime, int32_t toTime, int32_t minPortTo,
                                    int32_t minIpFrom, bool ascending, void* userData) {
    const std::string sql = EnumerateStatement(fromTime, toTime, minPortTo, minIpFrom, ascending);
    EnumerateContext context{callback, userData, nullptr};
    int rc = Exec(sql.c_str(), DeliverRow, &context);
    if (context.failure) std::rethrow_exception(context.failure);
    if (rc != SQLITE_OK) Raise(rc);
    return 0;
}

int64_t CInboundEventDataMgr::Insert(const CInboundEventItem& item) {
    const long long time = item.time != 0 ? item.time : static_cast<long long>(std::time(nullptr));
    char* message = nullptr;
    int rc = sqlite_exec_printf(db(), kInsertFormat, nullptr, nullptr, &message, int(item.typeCode),
                                static_cast<int>(item.ipFrom), static_cast<int>(item.ipTo), int(item.portFrom),
                                int(item.portTo), time, int(item.flags), int(item.status), int(item.protocol),
                                int(item.reserved));
    RecordError(rc, message);
    if (rc != SQLITE_OK) Raise(rc);
    return sqlite_last_insert_rowid(db());
}

int CInboundEventDataMgr::Delete(const CInboundEventItem& item) {
    char* message = nullptr;
    int rc = sqlite_exec_printf(db(), kDeleteFormat, nullptr, nullptr, &message, static_cast<int>(item.entryId));
    RecordError(rc, message);
    if (rc != SQLITE_OK) Raise(rc);
    return 0;
}

// CLogFileAccess

CLogFileAccess& CLogFileAccess::Instance() {
    static CLogFileAccess access;
    return access;
}

CLogFileAccess::CLogFileAccess() : mutex_(::CreateMutexW(nullptr, FALSE, nullptr)) {}

CLogFileAccess::~CLogFileAccess() = default;

CInboundEventDataMgr& CLogFileAccess::DataMgr() {
    if (!dataMgr_) dataMgr_ = std::make_unique<CInboundEventDataMgr>(FirewallEventLogPath());
    return *dataMgr_;
}

}  // namespace tessary
