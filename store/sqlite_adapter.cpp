#include "store/sqlite_adapter.h"

#include <cstdarg>
#include <new>
#include <string>

#include "platform/text.h"

struct sqlite {
    sqlite3* db = nullptr;
    sqlite_busy_callback busy = nullptr;
    void* busyArg = nullptr;
};

namespace {

void SetError(char** errmsg, const char* text) {
    if (errmsg != nullptr) *errmsg = sqlite3_mprintf("%s", text);
}

// A freshly opened SQLite 3 connection has not read the file yet. Reading the
// schema forces the header and the first page to be checked.
int ProbeSchema(sqlite3* db) {
    return sqlite3_exec(db, "SELECT count(*) FROM sqlite_master;", nullptr, nullptr, nullptr);
}

int BusyTrampoline(void* arg, int attempts) {
    auto* handle = static_cast<sqlite*>(arg);
    return handle->busy != nullptr ? handle->busy(handle->busyArg, nullptr, attempts) : 0;
}

}  // namespace

sqlite* sqlite_open(const char* filename, int /*mode*/, char** errmsg) {
    if (errmsg != nullptr) *errmsg = nullptr;
    if (filename == nullptr) {
        SetError(errmsg, "no file name");
        return nullptr;
    }
    std::string utf8;
    try {
        utf8 = tessary::WideToUtf8(tessary::NarrowToWide(filename));
    } catch (const std::bad_alloc&) {
        SetError(errmsg, "out of memory");
        return nullptr;
    }
    if (utf8.empty() && filename[0] != '\0') {
        SetError(errmsg, "file name cannot be converted");
        return nullptr;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(utf8.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) rc = ProbeSchema(db);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT || rc == SQLITE_CANTOPEN ||
        (rc != SQLITE_OK && db == nullptr)) {
        SetError(errmsg, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    auto* handle = new (std::nothrow) sqlite;
    if (handle == nullptr) {
        sqlite3_close(db);
        SetError(errmsg, "out of memory");
        return nullptr;
    }
    handle->db = db;
    return handle;
}

void sqlite_close(sqlite* db) {
    if (db == nullptr) return;
    sqlite3_close_v2(db->db);
    delete db;
}

int sqlite_exec(sqlite* db, const char* sql, sqlite_callback callback, void* arg, char** errmsg) {
    if (errmsg != nullptr) *errmsg = nullptr;
    if (db == nullptr || sql == nullptr) {
        SetError(errmsg, "library routine called out of sequence");
        return SQLITE_MISUSE;
    }
    return sqlite3_exec(db->db, sql, callback, arg, errmsg);
}

int sqlite_exec_printf(sqlite* db, const char* sqlFormat, sqlite_callback callback, void* arg, char** errmsg, ...) {
    if (errmsg != nullptr) *errmsg = nullptr;
    if (sqlFormat == nullptr) return sqlite_exec(db, nullptr, callback, arg, errmsg);
    va_list ap;
    va_start(ap, errmsg);
    char* sql = sqlite3_vmprintf(sqlFormat, ap);
    va_end(ap);
    if (sql == nullptr) {
        SetError(errmsg, "out of memory");
        return SQLITE_NOMEM;
    }
    int rc = sqlite_exec(db, sql, callback, arg, errmsg);
    sqlite3_free(sql);
    return rc;
}

int sqlite_get_table(sqlite* db, const char* sql, char*** result, int* nrow, int* ncolumn, char** errmsg) {
    if (errmsg != nullptr) *errmsg = nullptr;
    if (result != nullptr) *result = nullptr;
    if (nrow != nullptr) *nrow = 0;
    if (ncolumn != nullptr) *ncolumn = 0;
    if (db == nullptr || sql == nullptr || result == nullptr) {
        SetError(errmsg, "library routine called out of sequence");
        return SQLITE_MISUSE;
    }
    int rows = 0;
    int columns = 0;
    int rc = sqlite3_get_table(db->db, sql, result, &rows, &columns, errmsg);
    if (rc != SQLITE_OK) {
        sqlite3_free_table(*result);
        *result = nullptr;
        return rc;
    }
    if (nrow != nullptr) *nrow = rows;
    if (ncolumn != nullptr) *ncolumn = columns;
    return rc;
}

int sqlite_get_table_printf(sqlite* db, const char* sqlFormat, char*** result, int* nrow, int* ncolumn,
                            char** errmsg, ...) {
    if (sqlFormat == nullptr) return sqlite_get_table(db, nullptr, result, nrow, ncolumn, errmsg);
    va_list ap;
    va_start(ap, errmsg);
    char* sql = sqlite3_vmprintf(sqlFormat, ap);
    va_end(ap);
    if (sql == nullptr) {
        if (result != nullptr) *result = nullptr;
        if (errmsg != nullptr) *errmsg = nullptr;
        SetError(errmsg, "out of memory");
        return SQLITE_NOMEM;
    }
    int rc = sqlite_get_table(db, sql, result, nrow, ncolumn, errmsg);
    sqlite3_free(sql);
    return rc;
}

void sqlite_free_table(char** result) { sqlite3_free_table(result); }

void sqlite_freemem(void* p) { sqlite3_free(p); }

char* sqlite_mprintf(const char* format, ...) {
    if (format == nullptr) return nullptr;
    va_list ap;
    va_start(ap, format);
    char* text = sqlite3_vmprintf(format, ap);
    va_end(ap);
    return text;
}

void sqlite_busy_handler(sqlite* db, sqlite_busy_callback handler, void* arg) {
    if (db == nullptr) return;
    db->busy = handler;
    db->busyArg = arg;
    sqlite3_busy_handler(db->db, handler != nullptr ? BusyTrampoline : nullptr, db);
}

void sqlite_busy_timeout(sqlite* db, int ms) {
    if (db == nullptr) return;
    db->busy = nullptr;
    db->busyArg = nullptr;
    sqlite3_busy_timeout(db->db, ms);
}

int sqlite_changes(sqlite* db) { return db != nullptr ? sqlite3_changes(db->db) : 0; }

long long sqlite_last_insert_rowid(sqlite* db) { return db != nullptr ? sqlite3_last_insert_rowid(db->db) : 0; }
