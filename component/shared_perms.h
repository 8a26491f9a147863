#pragma once

// The shared permission cache: each process's in-memory index of the shared
// permission store, the queries answered from it and the changes made to it and
// (through worker threads that hold the machine-wide database lock) to the store.
// Also the logic of the COM class CQnTessarySharedPerms.
//
// Lock order: the cache lock (LockCache), then the database lock. SetPermission,
// SetPermissionsEx, AddLocalDecision and DeletePermissionsEx expect the caller to
// hold the cache lock; CheckPermCache and GetPermissionsEx must be called without it.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "component/qnts_records.h"
#include "component/shared_perms_db.h"

namespace tessary {

// Takes the cache lock (the write semaphore of the shared permission objects),
// waiting without limit. False when the semaphore does not exist (no log line) or
// the wait fails (logged). The holder calls UnlockCache.
bool LockCache() noexcept;
void UnlockCache() noexcept;

// Matching records of the index (loaded first when absent) in a task-allocated
// array (also for no match) that the caller frees with CoTaskMemFree; the first
// record matched is the array's last element. A record matches when its path
// equals `path` ignoring A-Z case, and its product and feature equal the given
// ones; empty texts and 0 mean "any"; with a hash only the records under that hash
// (in the thread's ANSI code page) are considered. False, with *records null and
// *count 0, when the index cannot be loaded (an empty store leaves it absent) or
// the array cannot be allocated.
bool CheckPermCache(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature,
                    tagQNTS_LOCAL_APP_PERMISSION** records, ULONG* count) noexcept;

// In cache mode: CheckPermCache, logging a failure. Otherwise the load: under the
// cache lock, reads every row of the store and, when there is at least one,
// replaces the index with them and records the load time (no filter given), so
// no set or delete of this process falls between the read and the install.
// Outside cache mode the outputs are left null/0.
bool GetPermissionsEx(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature,
                      tagQNTS_LOCAL_APP_PERMISSION** records, ULONG* count, bool cacheMode) noexcept;

// Stores `count` records in array order under the database lock: a non-zero dwID
// updates that row (an unknown id changes nothing), dwID 0 inserts a new row. The
// index follows each change. Records whose path or MD5 field holds no terminator,
// or whose MD5 is empty, fail the call; records written before a failing one stay
// written. False for a null array or a count of 0.
bool SetPermissionsEx(const tagQNTS_LOCAL_APP_PERMISSION* records, ULONG count) noexcept;

// One decision for `path`/`hash`: the index's matching records get `permission`
// at once, then a waited-for worker (setSharedHelper) changes every row of the
// hash, product and feature in the store, or inserts one when there is none.
// False when the worker cannot be started or the texts exceed the record's fields.
bool SetPermission(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature,
                   uint32_t permission) noexcept;

// A new decision for `path`/`hash`, product and feature, made atomically in the
// store: under the database lock, the rows of that path, hash, product and feature
// get `permission` when any exists (*existed true), else one row is inserted
// (*existed false). The index then holds the rows as stored. False when the store
// cannot be changed or the texts exceed the record's fields.
bool AddLocalDecision(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature,
                      uint32_t permission, bool* existed) noexcept;

// Removes the matching records from the index, then runs a waited-for worker
// (deleteSharedHelper) that deletes the matching rows from the store. False, with
// nothing touched, when every filter is empty (logged) or a text exceeds the
// record's field; false when the worker cannot be started.
bool DeletePermissionsEx(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature) noexcept;

// Drops the process's index (module unload); the next query loads it again.
void FreeSharedPermissionIndex() noexcept;

// Test and diagnostics support: number of store loads this process made; the
// index's records in its iteration order (nothing when absent; false then).
uint64_t SharedPermissionLoads() noexcept;
// TS submission threads started and not yet finished.
long SubmissionThreadsRunning() noexcept;
bool VisitSharedPermissionIndex(
    const std::function<void(const std::string&, const tagQNTS_LOCAL_APP_PERMISSION&)>& visit);

// The methods of CQnTessarySharedPerms, with the server's result convention.
class SharedPermissions {
public:
    // E_POINTER when an out-parameter is null. Otherwise S_OK with the matching
    // records (null filters read as empty) and *plResult 0, or *plResult -1 with
    // no records when the index could not be had; E_UNEXPECTED (*plResult -1, no
    // records) when loading it needed the database lock and could not take it
    // within kDatabaseLockTimeoutMs.
    static HRESULT GetPermissions(const wchar_t* pathFilter, const wchar_t* hashFilter, ULONG productFilter,
                                  ULONG featureFilter, tagQNTS_LOCAL_APP_PERMISSION** permissions, ULONG* count,
                                  LONG* plResult) noexcept;
    // E_POINTER for a null plResult; E_UNEXPECTED (*plResult -1) when the cache
    // lock or the database lock cannot be taken; otherwise S_OK with *plResult 0
    // or -1 (DeletePermissionsEx failed).
    static HRESULT DeletePermissions(const wchar_t* pathFilter, const wchar_t* hashFilter, ULONG productFilter,
                                     ULONG featureFilter, LONG* plResult) noexcept;
    // E_POINTER for a null plResult. A count of 0 gives S_OK, *plResult 0; a null
    // array with a count gives *plResult -1. E_UNEXPECTED (*plResult -1) when the
    // cache lock or the database lock cannot be taken. After a successful store the TS submission thread
    // reports the new records of unknown applications (not waited for).
    static HRESULT SetPermissions(const tagQNTS_LOCAL_APP_PERMISSION* permissions, ULONG count,
                                  LONG* plResult) noexcept;
};

}  // namespace tessary
