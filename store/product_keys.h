#pragma once

// Registry keys and values of the product under HKEY_LOCAL_MACHINE.

namespace tessary::keys {

inline constexpr wchar_t kTessary[] = L"SOFTWARE\\Quellon\\Tessary";
inline constexpr wchar_t kInstallDir[] = L"Install Dir";
inline constexpr wchar_t kDbVersion[] = L"DBVersion";
inline constexpr wchar_t kTsTime[] = L"TsTime";
inline constexpr wchar_t kTsTime2[] = L"TsTime2";
inline constexpr wchar_t kSettingOne[] = L"SettingOne";

}  // namespace tessary::keys
