#pragma once

namespace tessary {

// The per-process signature list: the rows of the local store's DigSigInfo3
// table (Type, Data), read whole by a loader thread and searched in memory.
// Guarded by the process's signature list objects
// (ProcessObjects().SignatureList()), which must exist before these are called.

// Entry types of the list.
inline constexpr int kSignatureAcceptedRoot = 1;    // friendly name of an accepted root authority
inline constexpr int kSignatureAcceptedSigner = 2;  // friendly name of an accepted signer
inline constexpr int kSignatureRejectedSerial = 3;  // serial number text of a rejected certificate
inline constexpr int kSignatureAcceptedUnit = 4;    // fragment of an accepted organisational unit

// Kept lengths of an entry's fields (longer values are cut).
inline constexpr int kSignatureTypeChars = 32;
inline constexpr int kSignatureDataChars = 254;

// True when an entry has Type equal (ignoring ASCII case) to the decimal text of
// `type` and, with `substring` off, Data equal to `text` ignoring ASCII case, or,
// with `substring` on, Data contained in `text` (case-sensitive). `text` is in
// the thread's ANSI code page and is compared as UTF-8, the encoding of Data.
// The first call that finds the list absent and the reload event signaled loads
// the list on a loader thread (holding the module) and waits for it; a reload
// event seen signaled after the search reloads the list in the background. A
// load that fails (the store locked past its wait, or not to be opened) leaves
// the list absent and the reload event signaled again, so a later call loads
// once more. False for a null text, an empty or absent list (the store could not be read)
// and whenever a lock or the loader fails. Never throws.
bool SignatureListContains(int type, const char* text, bool substring) noexcept;

// Frees the list (at unload, before the named objects are closed), only when its
// write semaphore is free at once. It stays
// absent until the reload event is signaled again.
void FreeSignatureList() noexcept;

}  // namespace tessary
