#pragma once

// Local permissions: each product's own decision per application, product and
// feature, kept in the shared permission store under the application record's
// path and MD5. The methods of the details object, with the server's result
// convention; `record` is the object's record (null: *plResult -1, S_OK). A record
// without an MD5 has no decisions: Get gives 6, Set and Delete -1.

#include <windows.h>

#include "component/qnts_records.h"
#include "store/app_record.h"

namespace tessary {

// E_POINTER when an out-parameter is null. Otherwise S_OK with *plResult 0 and the
// stored triples of the record's MD5 in a task-allocated array (*count of them),
// or *plResult 6 with a null array and *count 0 when none is stored or the query
// failed.
HRESULT GetLocalPermission(const AppRecord* record, tagQNTS_APP_PERMISSION** permissions, LONG* count,
                           LONG* plResult) noexcept;

// Stores the decision (an update when one exists for the path, MD5, product and
// feature, else a new row) and, for a new decision about an application the
// service does not know, reports it as usage statistics: with `dstIp`/`dstPort`
// when `withDestination`, unless the service settings carry DisableFirstConnect 1.
// E_POINTER for a null plResult; E_UNEXPECTED (*plResult -1) when the cache lock
// or the machine-wide database lock cannot be taken (the latter is waited for at
// most kDatabaseLockTimeoutMs); otherwise S_OK with *plResult 0 when stored, -1 when not.
HRESULT SetLocalPermission(const AppRecord* record, const tagQNTS_APP_PERMISSION& permission, bool withDestination,
                           ULONG dstIp, USHORT dstPort, LONG* plResult) noexcept;

// Deletes the record's decisions for `product` and `feature` (0: any). E_POINTER
// for a null plResult; E_UNEXPECTED (*plResult -1) when the cache lock or the
// database lock cannot be taken; otherwise S_OK with *plResult 0 when deleted, -1 when not.
HRESULT DeleteLocalPermission(const AppRecord* record, ULONG product, ULONG feature, LONG* plResult) noexcept;

// Test support: forgets the process's copy of the service settings, so the next
// SetLocalPermission with a destination reads them again.
void ResetLocalPermissionSettings() noexcept;

}  // namespace tessary
