#pragma once

// The database call surface the stores are written against: the classic
// sqlite_* functions (open by file name, exec with callback, get_table with
// the column names as the first row, "%q" quoting through the printf forms),
// implemented on the SQLite 3 library. Result codes are SQLite's (SQLITE_OK,
// SQLITE_BUSY, ...). Error messages handed out through `errmsg` belong to the
// caller and are freed with sqlite_freemem.

#include <sqlite3.h>

#include "platform/unique_resource.h"

struct sqlite;
struct sqlite_vm;
using sqlite_callback = int (*)(void* arg, int columns, char** values, char** names);
using sqlite_busy_callback = int (*)(void* arg, const char* table, int attempts);

// Opens (creating when absent) the database file `filename`, given in the
// calling thread's ANSI code page; `mode` is accepted and ignored. Returns null,
// with a message in *errmsg when errmsg is not null, when the file cannot be
// opened or is not a database (wrong header or a damaged first page). A file
// that is merely locked by another connection is opened: only content that is
// certainly not a database is refused, so callers that delete refused files
// never lose a busy store. A file of the older SQLite 2 format is refused with
// the message "file is an SQLite 2 database" and is never written to.
sqlite* sqlite_open(const char* filename, int mode, char** errmsg);

// As sqlite_open, but the check of the file runs inside a read transaction that
// is left open on the returned handle ("BEGIN;" already run), so the caller's
// first queries share the check's lock and reads of the file. The caller ends it
// with "COMMIT;" before it writes or begins a transaction of its own.
sqlite* sqlite_open_reading(const char* filename, char** errmsg);

// Opens an existing database file for reading only: nothing is created, and no
// statement on the handle can change the file. Refuses what sqlite_open refuses;
// *code (when not null) then tells why: SQLITE_NOTADB for a file that is not an
// SQLite 3 database (an SQLite 2 file included), SQLITE_CORRUPT, SQLITE_CANTOPEN
// for a file that is absent or cannot be opened now, another code otherwise.
sqlite* sqlite_open_readonly(const char* filename, int* code, char** errmsg);

// True when the file `filename` (ANSI code page) exists and starts with the
// header of an SQLite 2 database ("** This file contains an SQLite 2.1 database **").
bool sqlite_is_version2_file(const char* filename);

// The same four calls with the file name as UTF-16 text, as Windows names files:
// every name Windows can hold reaches the file whatever the thread's ANSI code
// page (which cannot hold, say, Greek and Chinese together). A name that cannot
// be handed to the library unchanged (an unpaired surrogate) is refused as one
// that cannot be opened (SQLITE_CANTOPEN, "file name cannot be converted").
sqlite* sqlite_open(const wchar_t* filename, int mode, char** errmsg);
sqlite* sqlite_open_reading(const wchar_t* filename, char** errmsg);
sqlite* sqlite_open_readonly(const wchar_t* filename, int* code, char** errmsg);
bool sqlite_is_version2_file(const wchar_t* filename);

// Closes a handle from sqlite_open; null is ignored.
void sqlite_close(sqlite* db);

// Runs one or more statements; the callback (may be null) sees each result row
// and aborts the run by returning non-zero (SQLITE_ABORT).
int sqlite_exec(sqlite* db, const char* sql, sqlite_callback callback, void* arg, char** errmsg);

// sqlite_exec on the text formatted from `sqlFormat` ("%q" doubles single quotes,
// "%Q" adds the quotes and writes NULL for a null string).
int sqlite_exec_printf(sqlite* db, const char* sqlFormat, sqlite_callback callback, void* arg, char** errmsg, ...);

// Runs `sql` and returns its rows as one array: the column names first, then
// *nrow rows of *ncolumn values each (null for SQL NULL). Free it with
// sqlite_free_table. A query that returns no row succeeds with *nrow 0, its
// column count in *ncolumn and the column names in the array. When `sql` holds
// several statements, the columns and rows are those of the statements that
// return rows, which must agree in their column count. On failure *result is null.
int sqlite_get_table(sqlite* db, const char* sql, char*** result, int* nrow, int* ncolumn, char** errmsg);
int sqlite_get_table_printf(sqlite* db, const char* sqlFormat, char*** result, int* nrow, int* ncolumn, char** errmsg,
                            ...);
void sqlite_free_table(char** result);

// Frees memory handed out by these functions (error messages, sqlite_mprintf).
void sqlite_freemem(void* p);

// Formats with the "%q"/"%Q" extensions; free with sqlite_freemem. Null on failure.
char* sqlite_mprintf(const char* format, ...);

// Installs a handler that is asked whether to retry when the file is locked:
// it receives its argument, the table name (null when unknown) and the number
// of earlier attempts, and returns non-zero to retry. Null removes it.
void sqlite_busy_handler(sqlite* db, sqlite_busy_callback handler, void* arg);

// Retries locked files for up to `ms` milliseconds (replaces any busy handler).
void sqlite_busy_timeout(sqlite* db, int ms);

// Statement stepping: rows are handed out one at a time instead of as a whole table.
// sqlite_compile prepares the first statement of `sql` (*tail, when not null,
// receives the rest of the text); on failure *vm is null and the result code and
// *errmsg tell why. sqlite_step runs it to its next row: SQLITE_ROW with *columns
// values in *values (null for SQL NULL) and the column names in *names (either
// pointer may be null), valid until the next step or the finalize; SQLITE_DONE
// when no row is left; any other code is an error, whose text sqlite_finalize
// hands out. sqlite_finalize frees the statement and returns the code of its
// failed step (SQLITE_OK when none failed); null is ignored.
int sqlite_compile(sqlite* db, const char* sql, const char** tail, sqlite_vm** vm, char** errmsg);
int sqlite_step(sqlite_vm* vm, int* columns, const char*** values, const char*** names);
int sqlite_finalize(sqlite_vm* vm, char** errmsg);

// Calls `handler` with `arg` about every `ops` virtual machine instructions of
// any statement on the handle; a non-zero return interrupts the statement, which
// then fails with SQLITE_INTERRUPT. A null handler removes it.
void sqlite_progress_handler(sqlite* db, int ops, int (*handler)(void*), void* arg);

// Largest text or blob value, in bytes, that a statement on the handle may make
// or read; a larger one fails the statement (SQLITE_TOOBIG). Returns the old limit.
int sqlite_limit_value_bytes(sqlite* db, int bytes);

// Number of rows changed by the last statement; rowid of the last insert.
int sqlite_changes(sqlite* db);
long long sqlite_last_insert_rowid(sqlite* db);

namespace tessary {
namespace detail {
inline void CloseSqlite(sqlite* db) { sqlite_close(db); }
inline void FreeSqliteTable(char** table) { sqlite_free_table(table); }
inline void FreeSqliteMem(char* p) { sqlite_freemem(p); }
inline void FinalizeSqliteVm(sqlite_vm* vm) { sqlite_finalize(vm, nullptr); }
}  // namespace detail

using UniqueSqlite = UniqueResource<sqlite*, detail::CloseSqlite>;
using UniqueSqliteTable = UniqueResource<char**, detail::FreeSqliteTable>;
using UniqueSqliteMem = UniqueResource<char*, detail::FreeSqliteMem>;
using UniqueSqliteVm = UniqueResource<sqlite_vm*, detail::FinalizeSqliteVm>;
}  // namespace tessary
