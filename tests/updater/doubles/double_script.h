#pragma once

// How tests script the COM test doubles of the update checker and read back
// what they were asked: registry values under HKEY_LOCAL_MACHINE
// kDoublesKey\<class> and a call log file per double. Test support only.
//
// Updater plug-in (classes kPluginA, kPluginB), values, all optional:
//   InitializeResult, InitializeCode, UpdateIdResult, DownloadFileResult,
//   StatusResult, Status, VersionResult, MergeResult, MergeCode, ReplaceResult,
//   ReplaceCode (DWORD; results default to S_OK, codes and status to 0)
//   UpdateId, Version, DownloadFile (string; defaults "TESTDB", "1.0", none)
//   NullStrings (DWORD 1: the string methods succeed with a null string)
//   HugeStrings (DWORD n: the string methods hand out n characters)
//   Throw (string: the name of the method that throws a C++ exception)
//   Keep (string: MergeDB and ReplaceDB copy the file they get to this path)
//   CallLog (string: each call appends one line "<method>[ <argument>]")
// Event broker (class kEventBroker), values:
//   Mode (string): "ok" (default), "fail-create", "fail-method", "null-sink", "fail-event"
//   CallLog (string): "GetEventSink <product> <component> <reserved> <flags> <iid>", "OnDatabaseUpdated";
//   served from broker_host.exe, also "LocalServer started" and "LocalServer stopped"

#include <windows.h>

#include <string>

#include "platform/registry.h"
#include "platform/text.h"

namespace tessary::testing {

inline constexpr wchar_t kDoublesKey[] = L"SOFTWARE\\TessaryTestDoubles";
inline constexpr wchar_t kPluginAText[] = L"{5E1D6A10-7C3B-4F21-9A4E-0000000000A1}";
inline constexpr wchar_t kPluginBText[] = L"{5E1D6A10-7C3B-4F21-9A4E-0000000000B2}";
inline constexpr wchar_t kEventBrokerText[] = L"{26016851-6AB3-449C-917F-198A8FB4FAE3}";
// Set by a test to end the broker's local server (broker_host.exe).
inline constexpr wchar_t kBrokerHostStopEvent[] = L"Local\\TessaryTestBrokerHostStop";
inline constexpr CLSID kPluginA = {0x5e1d6a10, 0x7c3b, 0x4f21, {0x9a, 0x4e, 0x00, 0x00, 0x00, 0x00, 0x00, 0xa1}};
inline constexpr CLSID kPluginB = {0x5e1d6a10, 0x7c3b, 0x4f21, {0x9a, 0x4e, 0x00, 0x00, 0x00, 0x00, 0x00, 0xb2}};

// Appends `line` to the call log named by the value CallLog of `scriptKey` (one
// UTF-8 line each); nothing without such a value.
inline void AppendDoubleCall(const std::wstring& scriptKey, const std::wstring& line) {
    std::wstring log;
    if (!registry::ReadString(HKEY_LOCAL_MACHINE, scriptKey.c_str(), L"CallLog", &log) || log.empty()) return;
    HANDLE file = ::CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = WideToUtf8(line) + "\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

}  // namespace tessary::testing
