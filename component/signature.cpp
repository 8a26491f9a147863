#include "component/signature.h"

#include <softpub.h>
#include <wintrust.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "component/signature_list.h"
#include "component/signature_rules.h"
#include "Logging/log_builder.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "platform/unique_resource.h"

namespace tessary {
namespace {

constexpr wchar_t kSource[] = L"QnTessarySignature";

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
// The path is verified from a buffer of 262 characters including the terminator.
constexpr size_t kPathChars = 261;
// Hash only, no revocation check, no policy usage (VerifyFileWith adds cache-only
// URL retrieval).
constexpr DWORD kTrustProviderFlags = WTD_HASH_ONLY_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_NO_POLICY_USAGE_FLAG;
// Chain building never waits on the network: the check runs inside a lookup on
// the firewall's decision thread, and an account without internet access would
// wait about 15 s for each URL of the certificates (issuer downloads through
// authority-information access, root list updates). Only certificates embedded in
// the file, in the machine's stores or already in the URL cache are used; a
// signature whose intermediate is none of these, or whose root has not yet been
// brought into the machine's root store, fails its chain and is not accepted.
constexpr DWORD kChainFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL | CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE;

void CloseStoreForced(HCERTSTORE store) { ::CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG); }
void CloseMessage(HCRYPTMSG message) { ::CryptMsgClose(message); }
void FreeCertificate(PCCERT_CONTEXT certificate) { ::CertFreeCertificateContext(certificate); }
void FreeChain(PCCERT_CHAIN_CONTEXT chain) { ::CertFreeCertificateChain(chain); }

using UniqueCertStore = UniqueResource<HCERTSTORE, CloseStoreForced>;
using UniqueCryptMessage = UniqueResource<HCRYPTMSG, CloseMessage>;
using UniqueCertificate = UniqueResource<PCCERT_CONTEXT, FreeCertificate>;
using UniqueChain = UniqueResource<PCCERT_CHAIN_CONTEXT, FreeChain>;

// A buffer aligned for the structures the crypto API writes into it.
using AlignedBuffer = std::vector<uint64_t>;

template <typename T>
const T* BufferAs(const AlignedBuffer& buffer) {
    return reinterpret_cast<const T*>(buffer.data());
}

// CryptMsgGetParam into `buffer`, zero-filled past what the call wrote; false
// (last error set) when it fails. *size receives the size written.
bool GetMessageParam(HCRYPTMSG message, DWORD param, DWORD index, AlignedBuffer* buffer, DWORD* size) {
    *size = 0;
    if (!::CryptMsgGetParam(message, param, index, nullptr, size)) return false;
    buffer->assign(*size / sizeof(uint64_t) + 1, 0);
    return ::CryptMsgGetParam(message, param, index, buffer->data(), size) != FALSE;
}

// The certificate's friendly display name in the ANSI code page; empty when none.
std::string FriendlyName(PCCERT_CONTEXT certificate) {
    const DWORD size = ::CertGetNameStringA(certificate, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (size <= 1) return std::string();
    std::string name(size, '\0');
    const DWORD written =
        ::CertGetNameStringA(certificate, CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, name.data(), size);
    name.resize(written > 0 ? written - 1 : 0);
    return name.substr(0, name.find('\0'));
}

// The certificate's subject in OID form ("2.5.4.3=..., 2.5.4.11=..."), in the
// ANSI code page; empty when it cannot be written.
std::string OidFormSubject(PCCERT_CONTEXT certificate) {
    CERT_NAME_BLOB* subject = &certificate->pCertInfo->Subject;
    const DWORD size = ::CertNameToStrW(X509_ASN_ENCODING, subject, CERT_OID_NAME_STR, nullptr, 0);
    if (size <= 1) return std::string();
    std::wstring text(size, L'\0');
    const DWORD written = ::CertNameToStrW(X509_ASN_ENCODING, subject, CERT_OID_NAME_STR, text.data(), size);
    text.resize(written > 0 ? written - 1 : 0);
    return WideToNarrow(text.substr(0, text.find(L'\0')));
}

bool IsAcceptedSigner(const std::string& name) {
    return SignatureListContains(kSignatureAcceptedSigner, name.c_str(), false) || IsBuiltInSignerName(name);
}

bool IsAcceptedRoot(const std::string& name) {
    return SignatureListContains(kSignatureAcceptedRoot, name.c_str(), false) || IsBuiltInRootName(name);
}

bool PassesUnitRule(const std::string& subject) {
    return PassesOrganisationalUnitRule(subject, [](const std::string& unit) {
        return SignatureListContains(kSignatureAcceptedUnit, unit.c_str(), true);
    });
}

// The generic Authenticode verification of the file, exactly as configured here:
// no user interface, no revocation check, hash only, no policy usage.
bool TrustedBySystem(WinVerifyTrustFn verify, const wchar_t* path) {
    return VerifyFileWith(verify, path, kTrustProviderFlags, TrustState::kNone) == 0;
}

// Builds the chain of `certificate` for code signing at `time` (now when null)
// with the message's store as additional store, no revocation check and no
// network retrieval (kChainFlags).
UniqueChain BuildCodeSigningChain(PCCERT_CONTEXT certificate, const FILETIME* time, HCERTSTORE messageStore) {
    LPSTR usages[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    UniqueChain chain;
    FILETIME at{};
    if (time != nullptr) at = *time;
    if (!::CertGetCertificateChain(nullptr, certificate, time != nullptr ? &at : nullptr, messageStore, &para,
                                   kChainFlags, nullptr, chain.put())) {
        return UniqueChain();
    }
    return chain;
}

// Steps 5 and 6 of a signer: chain, accepted root, chain policy, WinVerifyTrust.
bool ChainAndFileAccepted(PCCERT_CONTEXT certificate, const FILETIME* time, HCERTSTORE messageStore,
                          WinVerifyTrustFn verify, const wchar_t* path) {
    UniqueChain chain = BuildCodeSigningChain(certificate, time, messageStore);
    if (!chain || chain.get()->TrustStatus.dwErrorStatus != 0) return false;
    const CERT_CHAIN_CONTEXT* context = chain.get();
    for (DWORD i = 0; i < context->cChain; ++i) {
        const CERT_SIMPLE_CHAIN* simple = context->rgpChain[i];
        if (simple == nullptr || simple->cElement == 0) continue;
        const CERT_CHAIN_ELEMENT* last = simple->rgpElement[simple->cElement - 1];
        if (last == nullptr || last->pCertContext == nullptr) continue;
        if (!IsAcceptedRoot(FriendlyName(last->pCertContext))) continue;
        // Only the first accepted root decides.
        return PassesAuthenticodeTimestampPolicy(context) && TrustedBySystem(verify, path);
    }
    return false;
}

// The whole check of one signer. `lookForTimestamps` is cleared for the rest of
// the verification once a signer has no unauthenticated attributes at all.
bool SignerAccepted(HCRYPTMSG message, HCERTSTORE store, DWORD index, bool* lookForTimestamps, WinVerifyTrustFn verify,
                    const wchar_t* path) {
    AlignedBuffer signerBuffer;
    DWORD size = 0;
    if (!GetMessageParam(message, CMSG_SIGNER_INFO_PARAM, index, &signerBuffer, &size) ||
        size < sizeof(CMSG_SIGNER_INFO)) {
        return false;
    }
    const CMSG_SIGNER_INFO* signer = BufferAs<CMSG_SIGNER_INFO>(signerBuffer);

    const std::string serial = SerialNumberText(signer->SerialNumber.pbData, signer->SerialNumber.cbData);
    if (SignatureListContains(kSignatureRejectedSerial, serial.c_str(), false)) return false;

    CERT_INFO wanted{};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    UniqueCertificate certificate(::CertGetSubjectCertificateFromStore(store, kEncoding, &wanted));
    if (!certificate) return false;

    if (!IsAcceptedSigner(FriendlyName(certificate.get()))) return false;
    if (!PassesUnitRule(OidFormSubject(certificate.get()))) return false;

    FILETIME stamp{};
    bool stamped = false;
    if (*lookForTimestamps) {
        switch (ReadCounterSigningTime(message, index, &stamp)) {
            case SigningTimeResult::kNoAttributes:
                *lookForTimestamps = false;
                break;
            case SigningTimeResult::kNotFound:
                break;
            case SigningTimeResult::kFound:
                stamped = true;
                break;
            case SigningTimeResult::kFailed:
                return false;
        }
    }
    return ChainAndFileAccepted(certificate.get(), stamped ? &stamp : nullptr, store, verify, path);
}

}  // namespace

SigningTimeResult ReadCounterSigningTime(HCRYPTMSG message, DWORD index, FILETIME* time) noexcept {
    if (message == nullptr || time == nullptr) return SigningTimeResult::kFailed;
    try {
        AlignedBuffer attributesBuffer;
        DWORD attributesSize = 0;
        if (!GetMessageParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, index, &attributesBuffer, &attributesSize)) {
            return static_cast<HRESULT>(::GetLastError()) == CRYPT_E_ATTRIBUTES_MISSING
                       ? SigningTimeResult::kNoAttributes
                       : SigningTimeResult::kFailed;
        }
        // An empty answer (some implementations give one instead of the error
        // above) holds no attribute either.
        if (attributesSize < sizeof(CRYPT_ATTRIBUTES)) return SigningTimeResult::kNoAttributes;
        const CRYPT_ATTRIBUTES* attributes = BufferAs<CRYPT_ATTRIBUTES>(attributesBuffer);
        const CRYPT_ATTRIBUTE* counterSignature = nullptr;
        for (DWORD i = 0; i < attributes->cAttr; ++i) {
            const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[i];
            if (attribute.pszObjId != nullptr && std::strcmp(attribute.pszObjId, szOID_RSA_counterSign) == 0 &&
                attribute.cValue > 0 && attribute.rgValue != nullptr && attribute.rgValue[0].cbData > 0) {
                counterSignature = &attribute;
                break;
            }
        }
        if (counterSignature == nullptr) return SigningTimeResult::kNotFound;

        const CRYPT_ATTR_BLOB& encoded = counterSignature->rgValue[0];
        DWORD size = 0;
        if (!::CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, encoded.pbData, encoded.cbData, 0, nullptr, &size)) {
            return SigningTimeResult::kFailed;
        }
        AlignedBuffer counterBuffer(size / sizeof(uint64_t) + 1, 0);
        if (!::CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, encoded.pbData, encoded.cbData, 0, counterBuffer.data(),
                                 &size) ||
            size < sizeof(CMSG_SIGNER_INFO)) {
            return SigningTimeResult::kFailed;
        }
        const CMSG_SIGNER_INFO* counterSigner = BufferAs<CMSG_SIGNER_INFO>(counterBuffer);

        bool found = false;
        FILETIME last{};
        for (DWORD i = 0; i < counterSigner->AuthAttrs.cAttr; ++i) {
            const CRYPT_ATTRIBUTE& attribute = counterSigner->AuthAttrs.rgAttr[i];
            if (attribute.pszObjId == nullptr || std::strcmp(attribute.pszObjId, szOID_RSA_signingTime) != 0 ||
                attribute.cValue == 0 || attribute.rgValue == nullptr) {
                continue;
            }
            UtcTimeFields fields;
            switch (ParseDerUtcTime(attribute.rgValue[0].pbData, attribute.rgValue[0].cbData, &fields)) {
                case SigningTimeParse::kIgnored:
                    continue;
                case SigningTimeParse::kMalformed:
                    return SigningTimeResult::kFailed;
                case SigningTimeParse::kParsed:
                    break;
            }
            SYSTEMTIME system{};
            system.wYear = static_cast<WORD>(fields.year);
            system.wMonth = static_cast<WORD>(fields.month);
            system.wDay = static_cast<WORD>(fields.day);
            system.wHour = static_cast<WORD>(fields.hour);
            system.wMinute = static_cast<WORD>(fields.minute);
            system.wSecond = static_cast<WORD>(fields.second);
            if (!::SystemTimeToFileTime(&system, &last)) return SigningTimeResult::kFailed;
            found = true;
        }
        if (!found) return SigningTimeResult::kNotFound;
        *time = last;
        return SigningTimeResult::kFound;
    } catch (...) {
        TS_LOG_CAUGHT(kSource, L"Reading the signing time");
        return SigningTimeResult::kFailed;
    }
}

bool PassesAuthenticodeTimestampPolicy(PCCERT_CHAIN_CONTEXT chain) noexcept {
    if (chain == nullptr) return false;
    CERT_CHAIN_POLICY_PARA para{};
    para.cbSize = sizeof(para);
    para.dwFlags = 0;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof(status);
    if (::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain, &para, &status)) {
        return status.dwError == 0;
    }
    // The time-stamp variant is unavailable (Windows always has it; some
    // compatible systems do not): the plain Authenticode policy decides instead.
    CERT_CHAIN_POLICY_STATUS fallback{};
    fallback.cbSize = sizeof(fallback);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE, chain, &para, &fallback)) return false;
    return fallback.dwError == 0;
}

bool VerifyFileSignature(const wchar_t* path, size_t length) noexcept {
    if (path == nullptr) return false;
    wchar_t copied[kPathChars + 1] = {};
    // Never reads past the caller's terminator, whatever length it claims.
    const size_t used = ::wcsnlen(path, length < kPathChars ? length : kPathChars);
    std::wmemcpy(copied, path, used);
    copied[used] = L'\0';

    try {
        UniqueModule wintrust;
        const std::wstring systemPath = SystemDirectoryFile(L"wintrust.dll");
        if (!systemPath.empty()) wintrust.reset(::LoadLibraryW(systemPath.c_str()));
        if (!wintrust) wintrust.reset(::LoadLibraryW(L"wintrust.dll"));
        if (!wintrust) return false;
        const auto verify = BindProc<WinVerifyTrustFn>(wintrust.get(), "WinVerifyTrust");
        if (verify == nullptr) return false;

        UniqueCertStore store;
        UniqueCryptMessage message;
        DWORD encoding = 0;
        DWORD contentType = 0;
        DWORD formatType = 0;
        if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, copied, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType, store.put(),
                                message.put(), nullptr)) {
            return false;
        }
        if (!store || !message) return false;

        DWORD signerCount = 0;
        DWORD size = sizeof(signerCount);
        if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &size) || signerCount == 0) {
            return false;
        }
        bool lookForTimestamps = true;
        for (DWORD index = 0; index < signerCount; ++index) {
            if (SignerAccepted(message.get(), store.get(), index, &lookForTimestamps, verify, copied)) return true;
        }
        return false;
    } catch (...) {
        TS_LOG_CAUGHT(kSource, L"Checking the file's signers");
        return false;
    }
}

HRESULT HasGoodDigitalSignature(ApplicationDetails& details, LONG* validSignature, LONG* plResult) noexcept {
    if (plResult == nullptr || validSignature == nullptr) return E_POINTER;
    *plResult = kResultOk;
    *validSignature = 0;
    const AppRecord* record = details.record();
    if (record == nullptr) {
        *plResult = kResultNoRecord;
        return S_OK;
    }
    const bool good = VerifyFileSignature(record->path.c_str(), record->path.size());
    details.SetGoodSignature(good);
    *validSignature = good ? 1 : 0;
    return S_OK;
}

}  // namespace tessary
