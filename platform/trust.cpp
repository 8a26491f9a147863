#include "platform/trust.h"

#include <objbase.h>
#include <softpub.h>
#include <wintrust.h>

#include "platform/paths.h"
#include "platform/unique_resource.h"

namespace tessary {
namespace {

WinVerifyTrustFn LoadWinVerifyTrust() {
    // Loaded once and kept for the life of the process.
    static const WinVerifyTrustFn fn = [] {
        HMODULE module = LoadSystemLibrary(L"wintrust.dll");
        return BindProc<WinVerifyTrustFn>(module, "WinVerifyTrust");
    }();
    return fn;
}

}  // namespace

LONG FileTrustCode(const std::wstring& path) noexcept {
    WinVerifyTrustFn verify = LoadWinVerifyTrust();
    if (verify == nullptr) return static_cast<LONG>(TRUST_E_PROVIDER_UNKNOWN);
    if (path.empty()) return static_cast<LONG>(TRUST_E_SUBJECT_FORM_UNKNOWN);

    return VerifyFileWith(verify, path.c_str(), 0, TrustState::kKeepAndClose);
}

LONG VerifyFileWith(WinVerifyTrustFn verify, const wchar_t* path, DWORD providerFlags, TrustState state) noexcept {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;
    file.hFile = nullptr;
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = state == TrustState::kKeepAndClose ? WTD_STATEACTION_VERIFY : WTD_STATEACTION_IGNORE;
    // Never waits on the network (the verification can run inside a lookup): only
    // certificates in the file, the machine's stores or the URL cache build the
    // chain; one whose intermediate must be downloaded fails.
    data.dwProvFlags = providerFlags | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG status = verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (state == TrustState::kKeepAndClose) {
        data.dwStateAction = WTD_STATEACTION_CLOSE;
        verify(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    }
    return status;
}

bool IsFileTrusted(const std::wstring& path) noexcept { return FileTrustCode(path) == 0; }

bool IsCallerTrusted() noexcept { return true; }

bool IsCreatedObjectTrusted(REFCLSID) noexcept { return true; }

HRESULT CreateTrustedObject(REFCLSID clsid, DWORD context, REFIID iid, void** object) noexcept {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsCreatedObjectTrusted(clsid)) return E_ACCESSDENIED;
    const HRESULT hr = ::CoCreateInstance(clsid, nullptr, context, iid, object);
    if (FAILED(hr)) *object = nullptr;
    return hr;
}

}  // namespace tessary
