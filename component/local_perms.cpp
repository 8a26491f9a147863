#include "component/local_perms.h"

#include <objbase.h>

#include <mutex>
#include <type_traits>
#include <string>

#include "Logging/log_builder.h"
#include "component/app_lookup.h"
#include "component/shared_perms.h"
#include "component/usage_stats.h"
#include "platform/srw_lock.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "store/settings.h"

namespace tessary {
namespace {

constexpr wchar_t kSource[] = L"QnTessaryApp";

// The process's copy of the service settings for reports with a destination,
// read on the first such report.
struct DestinationSettings {
    SrwMutex lock;
    bool read = false;
    bool valid = false;
    tagQNTS_FIREWALL_SETTINGS settings{};
};
DestinationSettings g_destination;
// Globals of the component server are never destroyed at exit (platform/no_destructor.h).
static_assert(std::is_trivially_destructible_v<DestinationSettings>);

bool DestinationDisabled() noexcept {
    std::lock_guard<SrwMutex> guard(g_destination.lock);
    if (!g_destination.read) {
        g_destination.valid = ReadServiceSettings(&g_destination.settings);
        g_destination.read = true;
    }
    return g_destination.valid && g_destination.settings.pdwDisableFirstConnect == 1;
}

}  // namespace

void ResetLocalPermissionSettings() noexcept {
    std::lock_guard<SrwMutex> guard(g_destination.lock);
    g_destination.read = false;
    g_destination.valid = false;
}

HRESULT GetLocalPermission(const AppRecord* record, tagQNTS_APP_PERMISSION** permissions, LONG* count,
                           LONG* plResult) noexcept {
    if (plResult == nullptr || permissions == nullptr || count == nullptr) return E_POINTER;
    *permissions = nullptr;
    *count = 0;
    *plResult = kResultNoRecord;
    if (record == nullptr) return S_OK;
    *plResult = kResultUnknown;
    // Decisions are kept under the MD5: without one none can be stored, and an
    // empty hash filter would hand out every application's decisions.
    if (record->md5.empty()) return S_OK;
    try {
        const std::wstring hash = NarrowToWide(record->md5);
        tagQNTS_LOCAL_APP_PERMISSION* matches = nullptr;
        ULONG matchCount = 0;
        ClearDatabaseLockFailure();
        const bool ok = GetPermissionsEx(L"", hash, 0, 0, &matches, &matchCount, true);
        const UniqueTaskMemory found(matches);
        if (!ok) return DatabaseLockResult(plResult);
        *count = static_cast<LONG>(matchCount);
        if (matchCount == 0) return S_OK;
        auto* array =
            static_cast<tagQNTS_APP_PERMISSION*>(::CoTaskMemAlloc(matchCount * sizeof(tagQNTS_APP_PERMISSION)));
        if (array == nullptr) return S_OK;
        for (ULONG i = 0; i < matchCount; ++i) array[i] = matches[i].mapPerm;
        *permissions = array;
        *plResult = kResultOk;
    } catch (...) {
        // Nothing found.
        TS_LOG_CAUGHT(kSource, L"GetLocalPermissions");
    }
    return S_OK;
}

HRESULT SetLocalPermission(const AppRecord* record, const tagQNTS_APP_PERMISSION& permission, bool withDestination,
                           ULONG dstIp, USHORT dstPort, LONG* plResult) noexcept {
    const bool destinationDisabled = withDestination && DestinationDisabled();
    if (plResult == nullptr) return E_POINTER;
    *plResult = kResultNoRecord;
    if (record == nullptr || record->md5.empty()) return S_OK;
    try {
        const std::wstring hash = NarrowToWide(record->md5);
        ClearDatabaseLockFailure();
        tagQNTS_LOCAL_APP_PERMISSION* existing = nullptr;
        ULONG existingCount = 0;
        CheckPermCache(record->path, hash, permission.dwProduct, permission.dwFeature, &existing, &existingCount);
        const UniqueTaskMemory found(existing);
        const bool decidedBefore = existingCount > 0;

        if (!LockCache()) return E_UNEXPECTED;
        bool stored = false;
        bool existedInStore = false;
        if (decidedBefore) {
            stored =
                SetPermission(record->path, hash, permission.dwProduct, permission.dwFeature, permission.dwPermission);
        } else {
            // Decided atomically in the store: another thread or process may have
            // stored this decision since this process's index was read.
            stored = AddLocalDecision(record->path, hash, permission.dwProduct, permission.dwFeature,
                                      permission.dwPermission, &existedInStore);
        }
        UnlockCache();
        if (!stored) return DatabaseLockResult(plResult);

        if (!IsKnownClass(record->className) && !decidedBefore && !existedInStore) {
            const bool sendDestination = withDestination && !destinationDisabled;
            SubmitUsageStatistics(*record, permission.dwPermission, permission.dwProduct, permission.dwFeature,
                                  sendDestination ? dstIp : 0, sendDestination ? dstPort : 0);
        }
        *plResult = kResultOk;
    } catch (...) {
        // Nothing was stored: *plResult stays -1.
        TS_LOG_CAUGHT(kSource, L"SetLocalPermission");
    }
    return S_OK;
}

HRESULT DeleteLocalPermission(const AppRecord* record, ULONG product, ULONG feature, LONG* plResult) noexcept {
    if (plResult == nullptr) return E_POINTER;
    *plResult = kResultNoRecord;
    if (record == nullptr || record->md5.empty()) return S_OK;
    try {
        const std::wstring hash = NarrowToWide(record->md5);
        if (!LockCache()) return E_UNEXPECTED;
        ClearDatabaseLockFailure();
        if (DeletePermissionsEx(record->path, hash, product, feature)) *plResult = kResultOk;
        UnlockCache();
        if (*plResult != kResultOk) return DatabaseLockResult(plResult);
    } catch (...) {
        // Nothing deleted.
        TS_LOG_CAUGHT(kSource, L"DeleteLocalPermission");
    }
    return S_OK;
}

}  // namespace tessary
