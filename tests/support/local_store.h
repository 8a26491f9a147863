#pragma once

// The local store as the cache tests use it: statements run on it, and a test
// that starts and ends without the store file. Test support only.

#include <windows.h>

#include <string>

#include "store/data_paths.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"

namespace tessary::testing {

// Statements that give a store file 100,000 more schema entries in a second
// (written into the schema table directly, all sharing one root page): the
// library would parse every one of them on each open.
inline constexpr char kBloatedSchemaSql[] =
    "CREATE TABLE Bloat0(a); PRAGMA writable_schema=ON; "
    "WITH RECURSIVE c(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM c WHERE n < 100000) "
    "INSERT INTO sqlite_master SELECT 'table', 'Bloat' || n, 'Bloat' || n, "
    "(SELECT rootpage FROM sqlite_master WHERE name = 'Bloat0'), 'CREATE TABLE Bloat' || n || '(a)' FROM c; "
    "PRAGMA writable_schema=OFF;";

// Runs one statement, formatted with the "%q"/"%Q" forms, on the local store.
template <typename... Args>
bool StoreExec(const char* format, Args... args) {
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return false;
    UniqueSqliteMem sql(sqlite_mprintf(format, args...));
    return sql && sqlite_exec(db.get(), sql.get(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// No local store file from construction to destruction (deleted at both ends).
class ScopedNoLocalStore {
public:
    ScopedNoLocalStore() : path_(ResolveDataPath(kLocalStoreName, DataBase::kCommonData)) {
        ::DeleteFileW(path_.c_str());
    }
    ~ScopedNoLocalStore() { ::DeleteFileW(path_.c_str()); }
    ScopedNoLocalStore(const ScopedNoLocalStore&) = delete;
    ScopedNoLocalStore& operator=(const ScopedNoLocalStore&) = delete;

    const std::wstring& path() const { return path_; }

private:
    std::wstring path_;
};

}  // namespace tessary::testing
