#include "store/sqlite_adapter.h"

#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/text.h"

struct sqlite {
    sqlite3* db = nullptr;
    sqlite_busy_callback busy = nullptr;
    void* busyArg = nullptr;
};

struct sqlite_vm {
    sqlite3* db = nullptr;
    sqlite3_stmt* statement = nullptr;
    int failed = SQLITE_OK;  // code of the failed step, kept for sqlite_finalize
    std::string error;
    std::vector<const char*> values;
    std::vector<const char*> names;
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

// Records a failed step: later steps repeat the code, finalize hands out the text.
int Fail(sqlite_vm* vm, int rc) {
    vm->failed = rc;
    try {
        vm->error = rc == SQLITE_NOMEM ? "out of memory" : sqlite3_errmsg(vm->db);
    } catch (const std::bad_alloc&) {
        vm->error.clear();
    }
    return rc;
}

int BusyTrampoline(void* arg, int attempts) {
    auto* handle = static_cast<sqlite*>(arg);
    return handle->busy != nullptr ? handle->busy(handle->busyArg, nullptr, attempts) : 0;
}

}  // namespace

namespace {

// The first bytes of a database file written by the SQLite 2 library.
constexpr char kVersion2Header[] = "** This file contains an SQLite 2.1 database **";

// `filename` (ANSI code page) as UTF-16 into *wide; false when it cannot be
// converted (*rc and the message then say why).
bool WideName(const char* filename, std::wstring* wide, int* rc, char** errmsg) {
    try {
        *wide = tessary::NarrowToWide(filename);
    } catch (const std::bad_alloc&) {
        *rc = SQLITE_NOMEM;
        SetError(errmsg, "out of memory");
        return false;
    }
    if (wide->empty() && filename[0] != '\0') {
        *rc = SQLITE_CANTOPEN;
        SetError(errmsg, "file name cannot be converted");
        return false;
    }
    return true;
}

sqlite* OpenWith(const wchar_t* filename, int flags, int* code, char** errmsg, bool reading = false) {
    if (errmsg != nullptr) *errmsg = nullptr;
    int unused = 0;
    int& rc = code != nullptr ? *code : unused;
    rc = SQLITE_MISUSE;
    if (filename == nullptr) {
        SetError(errmsg, "no file name");
        return nullptr;
    }
    if (sqlite_is_version2_file(filename)) {
        // Another generation of the library wrote it: neither read nor touched here.
        rc = SQLITE_NOTADB;
        SetError(errmsg, "file is an SQLite 2 database");
        return nullptr;
    }
    // The library takes UTF-8 names and turns them back into UTF-16 for Windows.
    // A name that does not survive the round trip unchanged would name another file.
    std::string utf8;
    bool converted = false;
    try {
        utf8 = tessary::WideToUtf8(filename);
        converted = tessary::Utf8ToWide(utf8) == filename;
    } catch (const std::bad_alloc&) {
        rc = SQLITE_NOMEM;
        SetError(errmsg, "out of memory");
        return nullptr;
    }
    if (!converted) {
        rc = SQLITE_CANTOPEN;
        SetError(errmsg, "file name cannot be converted");
        return nullptr;
    }
    sqlite3* db = nullptr;
    rc = sqlite3_open_v2(utf8.c_str(), &db, flags, nullptr);
    if (rc == SQLITE_OK && reading) rc = sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) rc = ProbeSchema(db);
    if (rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT || rc == SQLITE_CANTOPEN || (rc != SQLITE_OK && db == nullptr) ||
        (rc != SQLITE_OK && (flags & SQLITE_OPEN_READONLY) != 0)) {
        SetError(errmsg, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        return nullptr;
    }
    auto* handle = new (std::nothrow) sqlite;
    if (handle == nullptr) {
        sqlite3_close(db);
        rc = SQLITE_NOMEM;
        SetError(errmsg, "out of memory");
        return nullptr;
    }
    rc = SQLITE_OK;
    handle->db = db;
    return handle;
}

void SetDbError(char** errmsg, sqlite3* db) {
    if (errmsg != nullptr && *errmsg == nullptr) *errmsg = sqlite3_mprintf("%s", sqlite3_errmsg(db));
}

}  // namespace

sqlite* sqlite_open(const wchar_t* filename, int /*mode*/, char** errmsg) {
    return OpenWith(filename, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr, errmsg);
}

sqlite* sqlite_open_reading(const wchar_t* filename, char** errmsg) {
    return OpenWith(filename, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr, errmsg, /*reading=*/true);
}

sqlite* sqlite_open_readonly(const wchar_t* filename, int* code, char** errmsg) {
    return OpenWith(filename, SQLITE_OPEN_READONLY, code, errmsg);
}

sqlite* sqlite_open(const char* filename, int mode, char** errmsg) {
    std::wstring wide;
    int rc = SQLITE_OK;
    if (filename != nullptr && !WideName(filename, &wide, &rc, errmsg)) return nullptr;
    return sqlite_open(filename != nullptr ? wide.c_str() : nullptr, mode, errmsg);
}

sqlite* sqlite_open_reading(const char* filename, char** errmsg) {
    std::wstring wide;
    int rc = SQLITE_OK;
    if (filename != nullptr && !WideName(filename, &wide, &rc, errmsg)) return nullptr;
    return sqlite_open_reading(filename != nullptr ? wide.c_str() : nullptr, errmsg);
}

sqlite* sqlite_open_readonly(const char* filename, int* code, char** errmsg) {
    std::wstring wide;
    int unused = SQLITE_OK;
    if (filename != nullptr && !WideName(filename, &wide, code != nullptr ? code : &unused, errmsg)) return nullptr;
    return sqlite_open_readonly(filename != nullptr ? wide.c_str() : nullptr, code, errmsg);
}

bool sqlite_is_version2_file(const char* filename) {
    if (filename == nullptr || filename[0] == '\0') return false;
    std::wstring wide;
    int rc = SQLITE_OK;
    return WideName(filename, &wide, &rc, nullptr) && sqlite_is_version2_file(wide.c_str());
}

bool sqlite_is_version2_file(const wchar_t* filename) {
    if (filename == nullptr || filename[0] == L'\0') return false;
    tessary::UniqueFile file(::CreateFileW(filename, GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char header[sizeof(kVersion2Header) - 1] = {};
    DWORD read = 0;
    return ::ReadFile(file.get(), header, sizeof(header), &read, nullptr) && read == sizeof(header) &&
           std::memcmp(header, kVersion2Header, sizeof(header)) == 0;
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
    // Cells are kept in the layout sqlite3_free_table frees: a slot holding the
    // number of slots, then the column names, then the values.
    std::vector<char*> cells;
    auto freeCells = [&cells] {
        for (char* cell : cells) sqlite3_free(cell);
        cells.clear();
    };
    int rows = 0;
    int columns = 0;
    int rc = SQLITE_OK;
    try {
        auto copy = [&cells](const unsigned char* text) -> bool {
            if (text == nullptr) {
                cells.push_back(nullptr);
                return true;
            }
            char* cell = sqlite3_mprintf("%s", reinterpret_cast<const char*>(text));
            if (cell == nullptr) return false;
            cells.push_back(cell);
            return true;
        };
        const char* rest = sql;
        while (rc == SQLITE_OK && rest != nullptr && *rest != '\0') {
            sqlite3_stmt* statement = nullptr;
            const char* tail = nullptr;
            rc = sqlite3_prepare_v2(db->db, rest, -1, &statement, &tail);
            if (rc != SQLITE_OK) break;
            rest = tail;
            if (statement == nullptr) continue;  // white space or a comment
            const int count = sqlite3_column_count(statement);
            if (count > 0 && columns == 0) {
                columns = count;
                for (int c = 0; c < count && rc == SQLITE_OK; ++c) {
                    if (!copy(reinterpret_cast<const unsigned char*>(sqlite3_column_name(statement, c)))) {
                        rc = SQLITE_NOMEM;
                    }
                }
            } else if (count > 0 && count != columns) {
                SetError(errmsg, "sqlite_get_table() called with two or more incompatible queries");
                rc = SQLITE_ERROR;
            }
            while (rc == SQLITE_OK) {
                const int step = sqlite3_step(statement);
                if (step != SQLITE_ROW) break;
                for (int c = 0; c < count && rc == SQLITE_OK; ++c) {
                    const unsigned char* text =
                        sqlite3_column_type(statement, c) == SQLITE_NULL ? nullptr : sqlite3_column_text(statement, c);
                    if (text == nullptr && sqlite3_column_type(statement, c) != SQLITE_NULL) {
                        rc = SQLITE_NOMEM;
                    } else if (!copy(text)) {
                        rc = SQLITE_NOMEM;
                    }
                }
                if (rc == SQLITE_OK) ++rows;
            }
            const int finalized = sqlite3_finalize(statement);
            if (rc == SQLITE_OK) rc = finalized;
        }
    } catch (const std::bad_alloc&) {
        rc = SQLITE_NOMEM;
    }
    if (rc != SQLITE_OK) {
        freeCells();
        if (rc == SQLITE_NOMEM) {
            SetError(errmsg, "out of memory");
        } else {
            SetDbError(errmsg, db->db);
        }
        return rc;
    }
    char** block = static_cast<char**>(sqlite3_malloc64((cells.size() + 1) * sizeof(char*)));
    if (block == nullptr) {
        freeCells();
        SetError(errmsg, "out of memory");
        return SQLITE_NOMEM;
    }
    block[0] = reinterpret_cast<char*>(static_cast<intptr_t>(cells.size() + 1));
    std::copy(cells.begin(), cells.end(), block + 1);
    cells.clear();
    *result = block + 1;
    if (nrow != nullptr) *nrow = rows;
    if (ncolumn != nullptr) *ncolumn = columns;
    return SQLITE_OK;
}

int sqlite_get_table_printf(sqlite* db, const char* sqlFormat, char*** result, int* nrow, int* ncolumn, char** errmsg,
                            ...) {
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

int sqlite_compile(sqlite* db, const char* sql, const char** tail, sqlite_vm** vm, char** errmsg) {
    if (errmsg != nullptr) *errmsg = nullptr;
    if (tail != nullptr) *tail = nullptr;
    if (vm == nullptr) return SQLITE_MISUSE;
    *vm = nullptr;
    if (db == nullptr || sql == nullptr) {
        SetError(errmsg, "library routine called out of sequence");
        return SQLITE_MISUSE;
    }
    auto* machine = new (std::nothrow) sqlite_vm;
    if (machine == nullptr) {
        SetError(errmsg, "out of memory");
        return SQLITE_NOMEM;
    }
    machine->db = db->db;
    const int rc = sqlite3_prepare_v2(db->db, sql, -1, &machine->statement, tail);
    if (rc != SQLITE_OK || machine->statement == nullptr) {
        SetDbError(errmsg, db->db);
        delete machine;
        return rc != SQLITE_OK ? rc : SQLITE_MISUSE;
    }
    *vm = machine;
    return SQLITE_OK;
}

int sqlite_step(sqlite_vm* vm, int* columns, const char*** values, const char*** names) {
    if (columns != nullptr) *columns = 0;
    if (values != nullptr) *values = nullptr;
    if (names != nullptr) *names = nullptr;
    if (vm == nullptr) return SQLITE_MISUSE;
    if (vm->failed != SQLITE_OK) return vm->failed;
    const int rc = sqlite3_step(vm->statement);
    if (rc == SQLITE_DONE) return rc;
    if (rc != SQLITE_ROW) return Fail(vm, rc);
    const int count = sqlite3_column_count(vm->statement);
    try {
        vm->values.resize(static_cast<size_t>(count));
        if (vm->names.size() != static_cast<size_t>(count)) {
            vm->names.resize(static_cast<size_t>(count));
            for (int c = 0; c < count; ++c) vm->names[c] = sqlite3_column_name(vm->statement, c);
        }
    } catch (const std::bad_alloc&) {
        return Fail(vm, SQLITE_NOMEM);
    }
    for (int c = 0; c < count; ++c) {
        if (sqlite3_column_type(vm->statement, c) == SQLITE_NULL) {
            vm->values[c] = nullptr;
            continue;
        }
        const unsigned char* text = sqlite3_column_text(vm->statement, c);
        if (text == nullptr) return Fail(vm, SQLITE_NOMEM);
        vm->values[c] = reinterpret_cast<const char*>(text);
    }
    if (columns != nullptr) *columns = count;
    if (values != nullptr) *values = vm->values.data();
    if (names != nullptr) *names = vm->names.data();
    return SQLITE_ROW;
}

int sqlite_finalize(sqlite_vm* vm, char** errmsg) {
    if (errmsg != nullptr) *errmsg = nullptr;
    if (vm == nullptr) return SQLITE_OK;
    const int rc = vm->failed;
    if (rc != SQLITE_OK) SetError(errmsg, vm->error.c_str());
    sqlite3_finalize(vm->statement);
    delete vm;
    return rc;
}

void sqlite_progress_handler(sqlite* db, int ops, int (*handler)(void*), void* arg) {
    if (db == nullptr) return;
    sqlite3_progress_handler(db->db, handler != nullptr ? ops : 0, handler, arg);
}

int sqlite_limit_value_bytes(sqlite* db, int bytes) {
    return db != nullptr ? sqlite3_limit(db->db, SQLITE_LIMIT_LENGTH, bytes) : 0;
}

int sqlite_changes(sqlite* db) { return db != nullptr ? sqlite3_changes(db->db) : 0; }

long long sqlite_last_insert_rowid(sqlite* db) { return db != nullptr ? sqlite3_last_insert_rowid(db->db) : 0; }
