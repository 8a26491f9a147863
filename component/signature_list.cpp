#include "component/signature_list.h"

#include <windows.h>

#include <string>
#include <type_traits>
#include <string_view>
#include <vector>

#include "Logging/log_builder.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "store/named_objects.h"
#include "store/reloaded_list.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"

namespace tessary {
namespace {

constexpr wchar_t kSource[] = L"QnTessarySignature";

struct SignatureEntry {
    char type[kSignatureTypeChars + 1] = {};
    char data[kSignatureDataChars + 1] = {};
};
using SignatureEntries = std::vector<SignatureEntry>;

// Reads "SELECT * FROM DigSigInfo3" into `entries`. A row whose Type or Data is
// NULL stays an empty entry. False when the store or the table cannot be read.
bool ReadSignatureTable(SignatureEntries& entries) {
    UniqueSqlite db;
    if (!OpenLocalStore(&db, nullptr, StoreUse::kReadOnly)) return false;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (GetTableLogged(db.get(), "SELECT * FROM DigSigInfo3", &table, &rows, &columns, L"Reading the signature list") !=
        SQLITE_OK) {
        return false;
    }
    db.reset();
    // The row stride is the column count the query reports, so a table of another
    // shape is never walked past its end.
    if (columns < 2 || rows <= 0) return true;
    entries.resize(static_cast<size_t>(rows));
    for (int r = 1; r <= rows; ++r) {
        char** row = table.get() + static_cast<size_t>(r) * columns;
        if (row[0] == nullptr || row[1] == nullptr) continue;
        SignatureEntry& entry = entries[static_cast<size_t>(r - 1)];
        CopyTruncated(entry.type, sizeof(entry.type), row[0]);
        CopyTruncated(entry.data, sizeof(entry.data), row[1]);
    }
    return true;
}

// Every loader thread holds the module, also one that is waited for.
ReloadedList<SignatureEntries, ReadSignatureTable, /*HoldModuleWhenWaited=*/true> g_signatures;
// Never destroyed at exit (platform/no_destructor.h).
static_assert(std::is_trivially_destructible_v<decltype(g_signatures)>);

bool EntryMatches(const SignatureEntry& entry, std::string_view type, std::string_view text, bool substring) {
    if (!AsciiEqualsIgnoreCase(entry.type, type)) return false;
    if (substring) return text.find(entry.data) != std::string_view::npos;
    return AsciiEqualsIgnoreCase(entry.data, text);
}

}  // namespace

bool SignatureListContains(int type, const char* text, bool substring) noexcept {
    if (text == nullptr) return false;
    std::string utf8;
    std::string typeText;
    try {
        utf8 = WideToUtf8(NarrowToWide(text));
        typeText = std::to_string(type);
    } catch (...) {
        TS_LOG_CAUGHT(kSource, L"A signature list search");
        return false;
    }
    return g_signatures.Search(ProcessObjects().SignatureList(), [&](const SignatureEntries& entries) {
        for (const SignatureEntry& entry : entries) {
            if (EntryMatches(entry, typeText, utf8, substring)) return true;
        }
        return false;
    });
}

void FreeSignatureList() noexcept { g_signatures.Free(ProcessObjects().SignatureList().writeSem); }

}  // namespace tessary
