#pragma once

// One pass of the update checker: the program entry's steps, the update routine
// (manifest exchange, merge of a delivered application database) and the
// notification of the firewall after a merge. Log lines name the source "TSUpdChk".

#include <windows.h>

namespace tessary {

// Values under HKEY_LOCAL_MACHINE "SOFTWARE\Quellon\Tessary".
inline constexpr wchar_t kTsCheckIntervalValue[] = L"TsCheckInterval";
inline constexpr DWORD kDefaultCheckInterval = 14400;
// Merge file below the common data directory.
inline constexpr wchar_t kAppMergeFileName[] = L"appmrg.xdb";
// Beside a merge file that failed for a passing reason (a lock, an I/O failure):
// the count of failed attempts on it ("appmrg.xdb.tries").
inline constexpr wchar_t kMergeAttemptsSuffix[] = L".tries";
// Passes that try one merge file before it is given up and deleted.
inline constexpr unsigned kMaxMergeAttempts = 5;
// Set to 1 when the firewall could not be told directly that the store changed.
inline constexpr wchar_t kLodanKey[] = L"Software\\Quellon\\Lodan";
inline constexpr wchar_t kEmptyCacheValue[] = L"EmptyTSMemoryCache";
// The suite's event broker and what it is asked for.
inline constexpr CLSID kEventBrokerClsid = {
    0x26016851, 0x6ab3, 0x449c, {0x91, 0x7f, 0x19, 0x8a, 0x8f, 0xb4, 0xfa, 0xe3}};
inline constexpr IID kEventBrokerIid = {0xc21a5cd4, 0x8fcb, 0x4a25, {0xa0, 0x1d, 0x91, 0x9e, 0x2c, 0x1e, 0xda, 0x1a}};
inline constexpr wchar_t kFirewallProduct[] = L"Lodan";
inline constexpr wchar_t kFirewallComponent[] = L"{E24B62F6-EA17-4b97-9E25-801115CF0B26}";

// The event broker's first own method: the sink of `product`/`component` for `iid`.
struct IQnEventBroker : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE GetEventSink(BSTR product, BSTR component, void* reserved, DWORD flags,
                                                   REFIID iid, void** sink, DWORD* cookie) = 0;
};

// A DWORD setting of the product key: 0 when missing, except "TsCheckInterval",
// which reads 14400 and is then created with that value when the key exists.
DWORD ReadCheckerDword(const wchar_t* name);

// Merges "appmrg.xdb" of the common data directory into the local store and
// copies the auto-submit setting. The file is deleted when it was merged (logged
// "...was found and merged into local db." only then) or refused (hostile or not
// a store; logged with the reason). A merge that failed for a passing reason
// (a lock past the merge's wait, an I/O failure, a local store that cannot be
// opened) changes nothing and keeps the file for the next pass, counting the
// attempts in a file beside it; the kMaxMergeAttempts-th failure deletes it.
// Every failure is logged at severity 4 with SQLite's error text. Returns 1 when
// the file existed (whatever the merge achieved), else 0 without touching anything.
int processAppMergeFile();

// Tells the firewall through the event broker that the store changed; sets
// "EmptyTSMemoryCache" = 1 when the broker, its sink or the call fails. Call
// with COM initialised.
void NotifyFirewall();

// The update routine: with updates enabled ("SettingOne" missing or non-zero),
// the manifest exchange, the merge and, after a merge, the firewall
// notification. Returns 0.
DWORD TsUpdateThread();

// The whole pass of the program entry (logger, WinHTTP, COM, update routine).
// Returns the process exit code, 0 on every path.
int RunUpdateChecker(HINSTANCE instance) noexcept;

}  // namespace tessary
