#include "store/settings.h"

#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "platform/strings.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "store/stores.h"

namespace tessary {
namespace {

constexpr size_t kTextChars = 255;

struct NumberKey {
    const char* key;
    unsigned long tagQNTS_FIREWALL_SETTINGS::*field;
};

struct TextKey {
    const char* key;
    wchar_t (tagQNTS_FIREWALL_SETTINGS::*field)[kTextChars];
};

constexpr NumberKey kNumberKeys[] = {
    {"SubmitInterval", &tagQNTS_FIREWALL_SETTINGS::pdwSubmitInterval},
    {"MaxEvents", &tagQNTS_FIREWALL_SETTINGS::pdwMaxEvents},
    {"SubmitPercent", &tagQNTS_FIREWALL_SETTINGS::pdwSubmitPercent},
    {"EventsEnabled", &tagQNTS_FIREWALL_SETTINGS::pdwEventsEnabled},
    {"AppStatsEnabled", &tagQNTS_FIREWALL_SETTINGS::pdwAppStatsEnabled},
    {"AppQueryEnabled", &tagQNTS_FIREWALL_SETTINGS::pdwAppQueryEnabled},
    {"ManifestInterval", &tagQNTS_FIREWALL_SETTINGS::pdwManifestInterval},
    {"ConnectTimeout", &tagQNTS_FIREWALL_SETTINGS::pdwConnectTimeout},
    {"SendTimeout", &tagQNTS_FIREWALL_SETTINGS::pdwSendTimeout},
    {"ReceiveTimeout", &tagQNTS_FIREWALL_SETTINGS::pdwReceiveTimeout},
    {"DisableFirstConnect", &tagQNTS_FIREWALL_SETTINGS::pdwDisableFirstConnect},
};

constexpr TextKey kTextKeys[] = {
    {"EventsURL", &tagQNTS_FIREWALL_SETTINGS::pwszEventsURL},
    {"AppQueryURL", &tagQNTS_FIREWALL_SETTINGS::pwszAppQueryURL},
    {"AppStatsURL", &tagQNTS_FIREWALL_SETTINGS::pwszAppStatsURL},
    {"AppSubmitURL", &tagQNTS_FIREWALL_SETTINGS::pwszAppSubmitURL},
    {"ManifestURL", &tagQNTS_FIREWALL_SETTINGS::pwszManifestURL},
    {"SummaryURL", &tagQNTS_FIREWALL_SETTINGS::pwszSummaryURL},
};

// The rows of `sql` (key and value columns first) from the local store, which is
// closed again before this returns. False when the store cannot be opened or the
// statement fails.
bool ReadSettingsRows(const char* sql, UniqueSqliteTable* table, int* rows, int* columns) {
    UniqueSqlite db;
    if (!OpenLocalStore(&db, nullptr, StoreUse::kReadOnly)) return false;
    *rows = 0;
    *columns = 0;
    return GetTableLogged(db.get(), sql, table, rows, columns, L"Reading the settings") == SQLITE_OK && table->valid();
}

void StoreText(wchar_t (&field)[kTextChars], const char* value) {
    std::wstring wide = value ? NarrowToWide(value) : std::wstring();
    const size_t count = wide.size() < kTextChars ? wide.size() : kTextChars;
    std::memcpy(field, wide.data(), count * sizeof(wchar_t));
    std::memset(field + count, 0, (kTextChars - count) * sizeof(wchar_t));
}

void StoreSetting(tagQNTS_FIREWALL_SETTINGS& record, const char* key, const char* value) {
    for (const NumberKey& entry : kNumberKeys) {
        if (AsciiEqualsIgnoreCase(key, entry.key)) {
            record.*entry.field = static_cast<unsigned long>(static_cast<uint32_t>(ParseSettingNumber(value)));
            return;
        }
    }
    for (const TextKey& entry : kTextKeys) {
        if (AsciiEqualsIgnoreCase(key, entry.key)) {
            StoreText(record.*entry.field, value);
            return;
        }
    }
}

}  // namespace

bool ReadServiceSettings(tagQNTS_FIREWALL_SETTINGS* settings) noexcept {
    if (settings == nullptr) return false;
    try {
        UniqueSqliteTable table;
        int rows = 0;
        int columns = 0;
        if (!ReadSettingsRows("SELECT * FROM Settings", &table, &rows, &columns)) return false;
        if (rows <= 0) return false;

        // Filled aside and copied at the end, so a failure leaves the caller's record as it was.
        tagQNTS_FIREWALL_SETTINGS record;
        std::memset(&record, 0xFF, sizeof(record));
        char** cells = table.get();
        for (int row = 1; row <= rows; ++row) {
            const char* key = columns >= 1 ? cells[row * columns] : nullptr;
            const char* value = columns >= 2 ? cells[row * columns + 1] : nullptr;
            if (key != nullptr) StoreSetting(record, key, value);
        }
        std::memcpy(settings, &record, sizeof(record));
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

int32_t ReadStatPercent() noexcept {
    UniqueSqlite db;
    if (!OpenLocalStore(&db, nullptr, StoreUse::kReadOnly)) return 0;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    const int rc = sqlite_get_table(db.get(), "SELECT Value FROM Settings WHERE Key = 'StatPercent'", table.put(),
                                    &rows, &columns, nullptr);
    db.reset();
    // A store that opens but cannot answer (busy past the wait) counts as one without the key.
    if (rc != SQLITE_OK || !table.valid() || rows <= 0 || columns < 1) return kDefaultStatPercent;
    return ParseSettingNumber(table.get()[columns]);
}

bool ApplyUpdateCheckerSettings() noexcept {
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return false;
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (sqlite_get_table(db.get(), "SELECT * FROM Settings;", table.put(), &rows, &columns, nullptr) != SQLITE_OK ||
        !table.valid() || columns < 1) {
        return true;
    }
    char** cells = table.get();
    for (int row = 1; row <= rows; ++row) {
        const char* key = cells[row * columns];
        if (key == nullptr || !AsciiEqualsIgnoreCase(key, "AutoSubmitInterval")) continue;
        const char* value = columns >= 2 ? cells[row * columns + 1] : nullptr;
        // The key belongs to another product: set the value only where that product is installed.
        UniqueRegKey assistantKey;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kAutoSubmitKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY,
                            assistantKey.put()) != ERROR_SUCCESS) {
            continue;
        }
        const DWORD number = static_cast<DWORD>(ParseSettingNumber(value));
        ::RegSetValueExW(assistantKey.get(), kAutoSubmitValue, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                         sizeof(number));
    }
    return true;
}

HRESULT FirewallSettings::GetFirewallSettings(tagQNTS_FIREWALL_SETTINGS* settings, LONG* plResult) const noexcept {
    if (settings == nullptr || plResult == nullptr) return E_POINTER;
    *plResult = 0;
    if (!ReadServiceSettings(settings)) *plResult = -1;
    return S_OK;
}

HRESULT FirewallSettings::GetIDSSettings(tagQNTS_FIREWALL_IDS** settings, ULONG* count, LONG* plResult) const noexcept {
    if (settings == nullptr || count == nullptr || plResult == nullptr) return E_POINTER;
    *settings = nullptr;
    *count = 0;
    *plResult = -1;
    return S_OK;
}

}  // namespace tessary
