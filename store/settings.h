#pragma once

// The service's published settings: the key/value rows of the local store's
// Settings table, read into the fixed record handed to the firewall, the single
// "StatPercent" read, and the update checker's own keys.

#include <windows.h>

#include <cstdint>
#include <string_view>

#include "store/firewall_settings_records.h"
#include "store/setting_number.h"

namespace tessary {

// Registry key and value the update checker copies "AutoSubmitInterval" to.
inline constexpr wchar_t kAutoSubmitKey[] = L"SOFTWARE\\Quellonhome\\Riduzaro Vidizuvu\\Assistant";
inline constexpr wchar_t kAutoSubmitValue[] = L"AutoSubmit";

// Percentage for usage statistics when the service published none.
inline constexpr int32_t kDefaultStatPercent = 10;

// Fills *settings from the Settings table. When the table has at least one row,
// every byte of the record is first set to 0xFF, then each row whose key matches
// one of the record's seventeen keys (any letter case) stores its value: numbers
// by ParseSettingNumber, texts converted from the thread's ANSI code page and cut
// at 255 characters (no terminator at full width). A later row wins over an
// earlier one; unknown keys are ignored; a NULL value reads as 0 or empty text.
// Returns true when the record was filled; false for a null pointer, a store that
// cannot be opened or read, or an empty table, and then *settings is untouched.
bool ReadServiceSettings(tagQNTS_FIREWALL_SETTINGS* settings) noexcept;

// The "StatPercent" setting: the number in the first matching row (0 for a NULL
// value); kDefaultStatPercent when there is none or the query fails (a store
// busy past its wait); 0 only when the store cannot be opened.
int32_t ReadStatPercent() noexcept;

// Update checker: for each "AutoSubmitInterval" row (any letter case) writes its
// number as REG_DWORD "AutoSubmit" under kAutoSubmitKey in HKEY_LOCAL_MACHINE, but
// only when that key already exists (it is never created). Returns true when the
// store could be opened, whatever the rows held.
bool ApplyUpdateCheckerSettings() noexcept;

// The firewall settings object's methods, as its COM class exposes them.
class FirewallSettings {
public:
    // E_POINTER for a null argument (nothing written). Otherwise S_OK with
    // *plResult 0 and *settings filled by ReadServiceSettings, or *plResult -1
    // and *settings untouched when there are no settings.
    HRESULT GetFirewallSettings(tagQNTS_FIREWALL_SETTINGS* settings, LONG* plResult) const noexcept;

    // E_POINTER for a null argument (nothing written). Otherwise S_OK with
    // *settings null, *count 0 and *plResult -1: intrusion-detection settings are
    // not handed out.
    HRESULT GetIDSSettings(tagQNTS_FIREWALL_IDS** settings, ULONG* count, LONG* plResult) const noexcept;
};

}  // namespace tessary
