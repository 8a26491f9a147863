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
using sqlite_callback = int (*)(void* arg, int columns, char** values, char** names);
using sqlite_busy_callback = int (*)(void* arg, const char* table, int attempts);

// Opens (creating when absent) the database file `filename`, given in the
// calling thread's ANSI code page; `mode` is accepted and ignored. Returns null,
// with a message in *errmsg when errmsg is not null, when the file cannot be
// opened or is not a database (wrong header or a damaged first page). A file
// that is merely locked by another connection is opened: only content that is
// certainly not a database is refused, so callers that delete refused files
// never lose a busy store.
sqlite* sqlite_open(const char* filename, int mode, char** errmsg);

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
// sqlite_free_table. On failure *result is null.
int sqlite_get_table(sqlite* db, const char* sql, char*** result, int* nrow, int* ncolumn, char** errmsg);
int sqlite_get_table_printf(sqlite* db, const char* sqlFormat, char*** result, int* nrow, int* ncolumn,
                            char** errmsg, ...);
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

// Number of rows changed by the last statement; rowid of the last insert.
int sqlite_changes(sqlite* db);
long long sqlite_last_insert_rowid(sqlite* db);

namespace tessary {
namespace detail {
inline void CloseSqlite(sqlite* db) { sqlite_close(db); }
inline void FreeSqliteTable(char** table) { sqlite_free_table(table); }
inline void FreeSqliteMem(char* p) { sqlite_freemem(p); }
}  // namespace detail

using UniqueSqlite = UniqueResource<sqlite*, detail::CloseSqlite>;
using UniqueSqliteTable = UniqueResource<char**, detail::FreeSqliteTable>;
using UniqueSqliteMem = UniqueResource<char*, detail::FreeSqliteMem>;
}  // namespace tessary
