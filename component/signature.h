#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

#include "component/app_lookup.h"

namespace tessary {

// Whether the file at `path` carries a good Authenticode signature: its
// embedded PKCS #7 signature has a signer, tried in index order until one
// succeeds, whose serial number the signature list does not reject, whose name
// the list or the built-in signer names accept, whose organisational unit passes
// the OU rule, whose certificate chain builds without error for code signing at
// the counter-signer's signing time (else now) to an accepted root and passes
// the Authenticode time-stamp chain policy; and WinVerifyTrust (wintrust.dll,
// generic verification, hash only, no revocation check, no policy usage) accepts
// the file. At most the first 261 of `length` characters of `path` are used.
// False for a null path, a missing or unsigned file, a file signed only through
// a catalog and every failure on the way. Writes no log and caches nothing: each
// call verifies again. Never throws.
bool VerifyFileSignature(const wchar_t* path, size_t length) noexcept;

// HasGoodDigitalSignature of a details object: E_POINTER when `plResult` or
// `validSignature` is null (nothing written). Otherwise *plResult is 0 and
// *validSignature 0; without a record *plResult becomes -1; with one, the
// record's file is verified (VerifyFileSignature), *validSignature is 1 for a
// good signature and the record's signature flag is set to match. A failed
// verification is never reported through *plResult. Returns S_OK.
HRESULT HasGoodDigitalSignature(ApplicationDetails& details, LONG* validSignature, LONG* plResult) noexcept;

// What the signing-time search of one signer found.
enum class SigningTimeResult {
    kNoAttributes,  // the signer has no unauthenticated attributes: stop looking for later signers too
    kNotFound,      // attributes but no usable UTCTime stamp: build the chain for now
    kFound,         // *time holds the last UTCTime signing time of the counter-signer
    kFailed,        // unreadable attributes, undecodable counter-signer or bad time: the signer fails
};

// The counter-signer's signing time of signer `index` of `message`: the first
// counter-signature attribute with a value, decoded as signer information, and
// the last of its 15-byte UTCTime signing-time attributes. *time is written only
// for kFound. Never throws.
SigningTimeResult ReadCounterSigningTime(HCRYPTMSG message, DWORD index, FILETIME* time) noexcept;

// The chain's verification under the Authenticode time-stamp chain policy with
// policy flags 0: true when the policy call succeeds with status error 0. Where
// the system lacks that policy (the call itself fails, which Windows never does)
// the plain Authenticode policy decides by the same rule. False for a null chain.
bool PassesAuthenticodeTimestampPolicy(PCCERT_CHAIN_CONTEXT chain) noexcept;

}  // namespace tessary
