#include "store/exception_list.h"

#include <windows.h>

#include <string>
#include <type_traits>

#include "store/named_objects.h"
#include "store/reloaded_list.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "store/text_map.h"

namespace tessary {
namespace {

constexpr char kExceptionTable[] = "LocalExpInfo";

// Fills `map` with Hash -> BinName of the table's rows, up to the first row where
// either is missing. False when the store cannot be read.
bool ReadExceptionTable(TextMap& map) {
    UniqueSqlite db;
    if (!OpenLocalStore(&db, nullptr, StoreUse::kReadOnly)) return false;
    const std::string sql = std::string("SELECT * FROM ") + kExceptionTable;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (GetTableLogged(db.get(), sql.c_str(), &table, &rows, &columns, L"Reading the exception list") != SQLITE_OK) {
        return false;
    }
    db.reset();
    // The row stride is the column count the query reports, so a table of
    // another shape is never walked past its end.
    if (columns < 2) return true;
    for (int r = 1; r <= rows; ++r) {
        char** row = table.get() + static_cast<size_t>(r) * columns;
        if (row[0] == nullptr || row[1] == nullptr) break;
        map.try_emplace(row[0], row[1]);
    }
    return true;
}

// A loader that is waited for runs plainly; one left running holds the module.
ReloadedList<TextMap, ReadExceptionTable, /*HoldModuleWhenWaited=*/false> g_exceptions;
// Never destroyed at exit (platform/no_destructor.h).
static_assert(std::is_trivially_destructible_v<decltype(g_exceptions)>);

}  // namespace

bool IsListedException(const char* hash) noexcept {
    if (hash == nullptr) return false;
    return g_exceptions.Search(ProcessObjects().ExceptionList(),
                               [hash](const TextMap& list) { return list.find(hash) != list.end(); });
}

void FreeExceptionList() noexcept { g_exceptions.Free(ProcessObjects().ExceptionList().writeSem); }

}  // namespace tessary
