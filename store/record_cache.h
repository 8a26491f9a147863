#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/app_record.h"

namespace tessary {

// The per-process record cache: reputation record texts keyed by the exact hash
// text, filled from the local store's LocalCache table on first lookup of a hash
// and from live answers of the service. An entry, once present, is never
// replaced; entries leave only through EmptyMemoryCache. The cache is guarded by
// the process's record cache objects (ProcessObjects().RecordCache()), which
// must exist before any of these functions is called.

// Looks `record.md5` up in the cache and then in LocalCache (the hash text is
// used exactly as given; a lower-case hash does not find an upper-case row).
// Returns true when a record was found; `record` is then filled from its text
// (class, application name, exe name, description, MD5 as the text carries them;
// a stored text that does not parse changes nothing). A store row without Data
// counts as found, fills nothing and is not cached. Returns false, with `record`
// unchanged, when the hash is in neither place or a lock, the store or memory
// fails. A store that reports a damaged file (corrupt, not a database, I/O
// error) while the row is read is closed and reset (ResetLocalStore).
// A hash containing a zero byte is never looked for in the store.
// The store is read without holding the cache's write side, so lookups that hit
// the cache never wait for another thread's store read; the process's store
// reads (and the reset after a damaged one) run one at a time, and a hash missed
// by several threads at once is read from the store once.
bool FindRecord(AppRecord& record) noexcept;

// Adds `answer` (a live answer that parsed) under `record.md5`, creating the
// cache when it does not exist. A hash already present keeps its earlier record.
// When the write lock or memory fails the answer is dropped.
void KeepServerRecord(const AppRecord& record, std::string_view answer) noexcept;

// Removes every entry and gives the map its starting bucket count again; the
// cache itself stays. Does nothing when the write lock cannot be taken.
void EmptyMemoryCache() noexcept;

// Frees the cache when the deliverable unloads (before the named objects are
// closed); waits for nothing: a cache whose write semaphore is not free at once
// is left to the process. A later FindRecord finds no cache until KeepServerRecord creates one
// or the record cache event is signaled again.
void FreeRecordCache() noexcept;

// Diagnostics: how many times LocalCache has been queried by this process, and
// how many records the cache holds now (0 when it does not exist or its lock
// cannot be taken).
uint64_t RecordCacheStoreReads() noexcept;
size_t RecordCacheEntries() noexcept;

}  // namespace tessary
