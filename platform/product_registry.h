#pragma once

// The product's registry keys and values under HKEY_LOCAL_MACHINE, each named
// once for every layer (the logger reads its switch from here too).

namespace tessary::keys {

// The product key and its values.
inline constexpr wchar_t kTessary[] = L"SOFTWARE\\Quellon\\Tessary";
inline constexpr wchar_t kInstallDir[] = L"Install Dir";
inline constexpr wchar_t kDbVersion[] = L"DBVersion";
inline constexpr wchar_t kTsTime[] = L"TsTime";
inline constexpr wchar_t kTsTime2[] = L"TsTime2";
inline constexpr wchar_t kSettingOne[] = L"SettingOne";
// Protected DWORD steering the usage statistics.
inline constexpr wchar_t kGoNoGo[] = L"GoNoGo";

// The user's opt-in: a protected DWORD "Submit".
inline constexpr wchar_t kOptin[] = L"Software\\Quellon\\Varo\\Settings\\Optin";
inline constexpr wchar_t kOptinSubmit[] = L"Submit";

// The logger's switch: a protected DWORD, kLoggingMechanismFile for the file
// logger, anything else (kLoggingMechanismEtw written) for event tracing.
inline constexpr wchar_t kLogging[] = L"SOFTWARE\\Quellon\\Logging";
inline constexpr wchar_t kLoggingMechanism[] = L"Logging Mechanism";
inline constexpr unsigned long kLoggingMechanismFile = 1;
inline constexpr unsigned long kLoggingMechanismEtw = 0;

}  // namespace tessary::keys
