#pragma once

// The one place that decides what the suite trusts: files by their Authenticode
// signature, callers of the class objects and objects created for the suite.
// Callers and created objects are accepted by default; a stricter policy
// replaces these functions and nothing else.

#include <windows.h>

#include <string>

namespace tessary {

// True when WinVerifyTrust (wintrust.dll from the system directory) accepts
// the file's Authenticode signature with the generic verification action, that
// is, returns 0. False for an unsigned or badly signed file, a missing file or
// when wintrust.dll cannot be loaded.
bool IsFileTrusted(const std::wstring& path) noexcept;

// The code WinVerifyTrust gives for the file (generic verification action, no
// revocation check): 0 when trusted, else the trust error, for instance
// TRUST_E_NOSIGNATURE for an unsigned file. TRUST_E_PROVIDER_UNKNOWN when
// wintrust.dll cannot be loaded, TRUST_E_SUBJECT_FORM_UNKNOWN for an empty path.
LONG FileTrustCode(const std::wstring& path) noexcept;

// WinVerifyTrust as bound from wintrust.dll.
using WinVerifyTrustFn = LONG(WINAPI*)(HWND, GUID*, LPVOID);

// How a file's signature is put to WinVerifyTrust.
enum class TrustState {
    kKeepAndClose,  // verify keeping the provider's state, then release it with a second call
    kNone,          // verify without keeping state (one call)
};

// Asks `verify` about file `path` with the generic verification action, no user
// interface, no revocation check, no network retrieval (cache-only URL retrieval
// added to `providerFlags`) and the provider flags `providerFlags`. Returns
// the code of the verification: 0 when trusted, else the trust error.
LONG VerifyFileWith(WinVerifyTrustFn verify, const wchar_t* path, DWORD providerFlags, TrustState state) noexcept;

// Whether a caller of the component's class objects may use them.
bool IsCallerTrusted() noexcept;

// Whether an object created for the suite (updater plug-in, event broker) may be used.
bool IsCreatedObjectTrusted(REFCLSID clsid) noexcept;

// The suite's object creation: CoCreateInstance of `clsid` in the class contexts
// `context` for `iid`, only for a class IsCreatedObjectTrusted accepts
// (E_ACCESSDENIED otherwise). `object` is null on every failure; E_POINTER
// when it is null itself.
HRESULT CreateTrustedObject(REFCLSID clsid, DWORD context, REFIID iid, void** object) noexcept;

}  // namespace tessary
