#pragma once

// Installs test root certificates into the machine's root store of the test
// prefix (the store persists there; no dialog is shown for the machine store).
// Test support only.

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace tessary::testing {

// Reads a whole file; empty when it cannot be read.
inline std::vector<BYTE> ReadWholeFile(const std::wstring& path) {
    std::vector<BYTE> data;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return data;
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(file, &size) && size.QuadPart > 0 && size.QuadPart < (1LL << 30)) {
        data.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        if (!::ReadFile(file, data.data(), static_cast<DWORD>(data.size()), &read, nullptr) || read != data.size()) {
            data.clear();
        }
    }
    ::CloseHandle(file);
    return data;
}

// Adds the DER certificate in `derPath` to the local machine's "Root" store
// (replacing an equal one). True when it is there afterwards.
inline bool InstallMachineRoot(const std::wstring& derPath) {
    const std::vector<BYTE> der = ReadWholeFile(derPath);
    if (der.empty()) return false;
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) return false;
    const BOOL added = ::CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    ::CertCloseStore(store, 0);
    return added != FALSE;
}

}  // namespace tessary::testing
