#include "component/shared_perms.h"

#include <objbase.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <new>
#include <vector>

#include "component/app_lookup.h"
#include "component/file_identity.h"
#include "component/shared_perms_index.h"
#include "component/shared_perms_log.h"
#include "component/usage_stats.h"
#include "Logging/log_builder.h"
#include "platform/module_thread.h"
#include "platform/strings.h"
#include "platform/text.h"
#include "store/named_objects.h"
#include "store/reader_writer.h"
#include "store/stores.h"

TS_DEFINE_LOGSTREAM(L"QnTessarySharedPerms")

namespace tessary {
namespace {

using ETWLogging::kSeverityError;
using ETWLogging::kSeverityNormal;

// Records the TS submission thread looks at, at most.
constexpr size_t kMaxSubmittedRecords = 50;

std::atomic<uint64_t> g_loads{0};
std::atomic<long> g_submissionThreads{0};

void LogSetTimestamp(const char* function, const wchar_t* routine) {
    const uint64_t now = AdvanceSharedLastUpdateTime(LocalFileTimeNow());
    PERMS_LOG(kSeverityNormal, function) << L"QnTessarySharedPerms: " << routine
                                         << L": Setting last update time / shared timestamp to " << now;
}

// setSharedHelper: stores one decision under the database lock.
class SetSharedJob final : public ThreadJob {
public:
    SetSharedJob(std::wstring path, std::wstring hash, uint32_t product, uint32_t feature, uint32_t permission,
                 std::atomic<bool>* lockFailed)
        : path_(std::move(path)),
          hash_(std::move(hash)),
          product_(product),
          feature_(feature),
          permission_(permission),
          lockFailed_(lockFailed) {}

    unsigned Run() noexcept override {
        DatabaseLock lock;
        if (!lock.held()) {
            lockFailed_->store(true);
            return 1;
        }
        bool stored = false;
        try {
            stored = StoreOneSharedPermission(path_, WideToNarrow(hash_), product_, feature_, permission_);
        } catch (...) {
            stored = false;
            TS_LOG_CAUGHT(L"QnTessarySharedPerms", L"setSharedHelper");
        }
        LogSetTimestamp("setSharedHelper", L"setSharedHelper");
        return stored ? 0 : 1;
    }

private:
    std::wstring path_;
    std::wstring hash_;
    uint32_t product_;
    uint32_t feature_;
    uint32_t permission_;
    std::atomic<bool>* lockFailed_;  // the waiting caller's
};

// deleteSharedHelper: deletes the matching rows under the database lock.
class DeleteSharedJob final : public ThreadJob {
public:
    DeleteSharedJob(SharedPermFilters filters, std::atomic<bool>* lockFailed)
        : filters_(std::move(filters)), lockFailed_(lockFailed) {}

    unsigned Run() noexcept override {
        DatabaseLock lock;
        if (!lock.held()) {
            lockFailed_->store(true);
            return 1;
        }
        return DeleteSharedRows(filters_) ? 0 : 1;
    }

private:
    SharedPermFilters filters_;
    std::atomic<bool>* lockFailed_;  // the waiting caller's
};

// The TS submission thread: reports the new records of applications the service
// does not know, at most kMaxSubmittedRecords records with a path.
class SubmissionJob final : public ThreadJob {
public:
    explicit SubmissionJob(std::vector<tagQNTS_LOCAL_APP_PERMISSION> records) : records_(std::move(records)) {}

    unsigned Run() noexcept override {
        size_t handled = 0;
        for (const tagQNTS_LOCAL_APP_PERMISSION& stored : records_) {
            if (handled >= kMaxSubmittedRecords) break;
            const std::wstring_view path = FieldView(stored.pwszPath, kSharedPathUnits);
            if (path.empty()) continue;
            ++handled;
            try {
                const AppRecord record = BuildFromPath(std::wstring(path));
                if (!IsKnownClass(record.className) && stored.dwID == 0) {
                    SubmitUsageStatistics(record, stored.mapPerm.dwPermission, stored.mapPerm.dwProduct,
                                          stored.mapPerm.dwFeature, 0, 0);
                }
            } catch (...) {
                // A record that cannot be built is not reported.
                TS_LOG_CAUGHT(L"QnTessarySharedPerms", L"The usage report of a stored permission");
            }
        }
        --g_submissionThreads;
        return 0;
    }

private:
    std::vector<tagQNTS_LOCAL_APP_PERMISSION> records_;
};

// Runs `job` on a module-holding worker and waits for it without limit.
bool RunAndWait(std::unique_ptr<ThreadJob> job) noexcept {
    UniqueHandle thread = StartWorkerThread(std::move(job), true);
    if (!thread) return false;
    ::WaitForSingleObject(thread.get(), INFINITE);
    return true;
}

// One record of SetPermissionsEx on the open store: a non-zero dwID updates that
// row, 0 inserts one; the index follows. False (logged, transaction rolled back)
// when the record's texts have no terminator or the statement fails.
bool StoreGivenRecord(sqlite* db, const tagQNTS_LOCAL_APP_PERMISSION& given) {
    constexpr const char* kFunction = "CQnTessarySharedPerms::SetPermissionsEx";
    const std::optional<std::wstring> path = FieldText(given.pwszPath, kSharedPathUnits);
    const std::optional<std::wstring> hash = FieldText(given.pwszMD5, kSharedHashUnits);
    std::optional<std::string> encoded;
    std::wstring lowerPath;
    std::string narrowHash;
    if (path && hash) {
        lowerPath = LowerAsciiPath(*path);
        encoded = B64EncodePath(lowerPath);
        narrowHash = WideToNarrow(*hash);
    }
    const tagQNTS_LOCAL_APP_PERMISSION stored =
        MakeSharedRecord(given.dwID, given.mapPerm.dwProduct, given.mapPerm.dwFeature, given.mapPerm.dwPermission,
                         lowerPath, hash ? *hash : std::wstring());
    const uint32_t product = given.mapPerm.dwProduct;
    const uint32_t feature = given.mapPerm.dwFeature;
    const uint32_t permission = given.mapPerm.dwPermission;

    if (given.dwID != 0) {
        if (encoded) ReplaceIndexRecordById(given.dwID, narrowHash, stored);
        if (!encoded || !UpdateSharedRowById(db, given.dwID, *encoded, narrowHash, product, feature, permission)) {
            RollbackSharedTransaction(db);
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Sqlite error updating shared permissions.";
            return false;
        }
        return true;
    }

    long long id = 0;
    if (!encoded || !InsertSharedRow(db, *encoded, narrowHash, product, feature, permission, &id)) {
        RollbackSharedTransaction(db);
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Sqlite error setting shared permission.";
        return false;
    }
    if (CurrentSharedIndex() != nullptr) {
        if (id <= 0) {
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not find shared permission that was just set.";
        } else {
            tagQNTS_LOCAL_APP_PERMISSION added = stored;
            added.dwID = static_cast<ULONG>(id);
            AddIndexRecord(narrowHash, added);
        }
    }
    return true;
}

}  // namespace

bool LockCache() noexcept {
    HANDLE semaphore = ProcessObjects().sharedPermsWriteSem.get();
    if (semaphore == nullptr) return false;
    if (!WaitForever(semaphore)) {
        PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::LockCache")
            << L"TSAPI: Could not lock shared permission cache.";
        return false;
    }
    return true;
}

void UnlockCache() noexcept {
    HANDLE semaphore = ProcessObjects().sharedPermsWriteSem.get();
    if (semaphore != nullptr) ::ReleaseSemaphore(semaphore, 1, nullptr);
}

namespace {

// LockCache for a scope; released on every way out, an exception included.
class CacheLockScope {
public:
    CacheLockScope() : held_(LockCache()) {}
    ~CacheLockScope() {
        if (held_) UnlockCache();
    }
    CacheLockScope(const CacheLockScope&) = delete;
    CacheLockScope& operator=(const CacheLockScope&) = delete;
    bool held() const { return held_; }

private:
    bool held_;
};

}  // namespace

bool CheckPermCache(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature,
                    tagQNTS_LOCAL_APP_PERMISSION** records, ULONG* count) noexcept {
    constexpr const char* kFunction = "CQnTessarySharedPerms::CheckPermCache";
    *records = nullptr;
    *count = 0;
    const CacheLocks locks = ProcessObjects().SharedPermissions();
    if (!SharedIndexPresent()) {
        if (locks.startMutex == nullptr || !WaitForever(locks.startMutex)) {
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not lock shared permissions for loading.";
            return false;
        }
        if (!SharedIndexPresent() && locks.reloadEvent != nullptr &&
            WaitSucceeded(::WaitForSingleObject(locks.reloadEvent, 0))) {
            if (!GetPermissionsEx({}, {}, 0, 0, nullptr, nullptr, false)) {
                PERMS_LOG(kSeverityError, kFunction)
                    << L"TSAPI: Could not build shared permission cache, resetting event.";
                ::SetEvent(locks.reloadEvent);
                ::ReleaseMutex(locks.startMutex);
                return false;
            }
        }
        ::ReleaseMutex(locks.startMutex);
    }

    ReaderScope reader(locks);
    if (!reader.held()) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not lock shared permission cache for reading.";
        return false;
    }
    try {
        bool allocationFailed = false;
        if (CopyIndexMatches(WideToNarrow(hash), LowerAsciiPath(path), product, feature, records, count,
                             &allocationFailed)) {
            return true;
        }
        if (allocationFailed) {
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not allocate shared permission array.";
        }
        return false;
    } catch (...) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not allocate shared permission array.";
        return false;
    }
}

bool GetPermissionsEx(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature,
                      tagQNTS_LOCAL_APP_PERMISSION** records, ULONG* count, bool cacheMode) noexcept {
    if (cacheMode) {
        if (CheckPermCache(path, hash, product, feature, records, count)) return true;
        PERMS_LOG(kSeverityNormal, "CQnTessarySharedPerms::GetPermissionsEx")
            << L"TSAPI: Could not find shared perm in cache.";
        return false;
    }
    try {
        SharedPermFilters filters{std::wstring(path), std::wstring(hash), product, feature};
        std::vector<SharedPermRow> rows;
        uint64_t queryTime = 0;
        // The cache lock is held from before the rows are read until the index is
        // in place (cache lock, then database lock, the order every writer takes):
        // a set or delete of this process cannot fall between the read and the
        // install, where the index would miss it until the module unloads.
        CacheLockScope cacheLock;
        if (!cacheLock.held()) return false;
        ++g_loads;
        if (!LoadSharedRows(filters, &rows, &queryTime)) return false;
        // An empty table leaves the index absent: the next query loads again.
        if (rows.empty()) return true;
        std::unique_ptr<SharedIndex> index = BuildSharedIndex(rows);
        PERMS_LOG(kSeverityNormal, "CQnTessarySharedPerms::GetPermissionsEx")
            << L"QnTessarySharedPerms: Loading a new shared cache table.";
        InstallSharedIndex(std::move(index));
        if (filters.none()) {
            const uint64_t time = AdvanceSharedLastUpdateTime(queryTime);
            PERMS_LOG(kSeverityNormal, "CQnTessarySharedPerms::GetPermissionsEx")
                << L"QnTessarySharedPerms: Setting LastUpdatetime to " << time;
        }
        return true;
    } catch (...) {
        PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::GetPermissionsEx")
            << L"TSAPI: Caught exception building shared permission cache.";
        return false;
    }
}

bool SetPermissionsEx(const tagQNTS_LOCAL_APP_PERMISSION* records, ULONG count) noexcept {
    constexpr const char* kFunction = "CQnTessarySharedPerms::SetPermissionsEx";
    if (records == nullptr || count == 0) return false;
    DatabaseLock lock;
    if (!lock.held()) return false;
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not open shared permissions database.";
        return false;
    }
    try {
        for (ULONG i = 0; i < count; ++i) {
            if (!StoreGivenRecord(db.get(), records[i])) return false;
        }
        LogSetTimestamp(kFunction, L"SetPermissionsEx");
        return true;
    } catch (...) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Caught exception setting shared permissions.";
        return false;
    }
}

bool SetPermission(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature,
                   uint32_t permission) noexcept {
    constexpr const char* kFunction = "CQnTessarySharedPerms::SetPermission";
    try {
        if (path.size() > kMaxSharedPathLength || hash.size() > kMaxSharedHashLength) {
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Failed setting shared permissions.";
            return false;
        }
        if (CurrentSharedIndex() != nullptr && !path.empty()) {
            SetIndexPermission(WideToNarrow(hash), LowerAsciiPath(path), product, feature, permission);
        }
        std::atomic<bool> lockFailed{false};
        auto job = std::make_unique<SetSharedJob>(std::wstring(path), std::wstring(hash), product, feature, permission,
                                                  &lockFailed);
        if (!RunAndWait(std::move(job))) {
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not create thread for saving shared permissions.";
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Failed setting shared permissions.";
            return false;
        }
        if (lockFailed) NoteDatabaseLockFailure();
        return true;
    } catch (...) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Failed setting shared permissions.";
        return false;
    }
}

bool AddLocalDecision(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature,
                      uint32_t permission, bool* existed) noexcept {
    constexpr const char* kFunction = "CQnTessarySharedPerms::SetPermissionsEx";
    *existed = false;
    if (path.size() > kMaxSharedPathLength || hash.empty() || hash.size() > kMaxSharedHashLength) return false;
    DatabaseLock lock;
    if (!lock.held()) return false;
    UniqueSqlite db;
    if (!OpenSharedStore(&db)) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not open shared permissions database.";
        return false;
    }
    try {
        const std::wstring lowerPath = LowerAsciiPath(path);
        const std::optional<std::string> encoded = B64EncodePath(lowerPath);
        if (!encoded) return false;
        const std::string narrowHash = WideToNarrow(hash);
        std::vector<ULONG> ids;
        if (!StoreSharedDecision(db.get(), *encoded, narrowHash, product, feature, permission, &ids, existed)) {
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Sqlite error setting shared permission.";
            return false;
        }
        if (CurrentSharedIndex() != nullptr) {
            EraseIndexMatches(narrowHash, lowerPath, product, feature);
            for (ULONG id : ids) {
                AddIndexRecord(narrowHash, MakeSharedRecord(id, product, feature, permission, lowerPath, hash));
            }
        }
        LogSetTimestamp(kFunction, L"SetPermissionsEx");
        return true;
    } catch (...) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Caught exception setting shared permissions.";
        return false;
    }
}

bool DeletePermissionsEx(std::wstring_view path, std::wstring_view hash, uint32_t product, uint32_t feature) noexcept {
    constexpr const char* kFunction = "CQnTessarySharedPerms::DeletePermissionsEx";
    if (path.empty() && hash.empty() && product == 0 && feature == 0) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Refusing to delete entire shared permission database.";
        return false;
    }
    try {
        // A filter longer than a record's field matches no stored row; cutting it
        // could match another application's rows.
        if (path.size() > kMaxSharedPathLength || hash.size() > kMaxSharedHashLength) {
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not delete shared permissions.";
            return false;
        }
        EraseIndexMatches(WideToNarrow(hash), LowerAsciiPath(path), product, feature);
        std::atomic<bool> lockFailed{false};
        auto job = std::make_unique<DeleteSharedJob>(
            SharedPermFilters{std::wstring(path), std::wstring(hash), product, feature}, &lockFailed);
        if (!RunAndWait(std::move(job))) {
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not create thread deleting shared permissions.";
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not delete shared permissions.";
            return false;
        }
        if (lockFailed) NoteDatabaseLockFailure();
        return true;
    } catch (...) {
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not delete shared permissions.";
        return false;
    }
}

void FreeSharedPermissionIndex() noexcept { DropSharedIndex(); }

uint64_t SharedPermissionLoads() noexcept { return g_loads.load(); }

long SubmissionThreadsRunning() noexcept { return g_submissionThreads.load(); }

bool VisitSharedPermissionIndex(
    const std::function<void(const std::string&, const tagQNTS_LOCAL_APP_PERMISSION&)>& visit) {
    const CacheLocks locks = ProcessObjects().SharedPermissions();
    ReaderScope reader(locks);
    const SharedIndex* index = CurrentSharedIndex();
    if (!reader.held() || index == nullptr) return false;
    for (const auto& [hash, record] : *index) visit(hash, record);
    return true;
}

HRESULT SharedPermissions::GetPermissions(const wchar_t* pathFilter, const wchar_t* hashFilter, ULONG productFilter,
                                          ULONG featureFilter, tagQNTS_LOCAL_APP_PERMISSION** permissions, ULONG* count,
                                          LONG* plResult) noexcept {
    if (plResult == nullptr || permissions == nullptr || count == nullptr) return E_POINTER;
    *permissions = nullptr;
    *count = 0;
    *plResult = 0;
    ClearDatabaseLockFailure();
    if (!GetPermissionsEx(pathFilter != nullptr ? pathFilter : L"", hashFilter != nullptr ? hashFilter : L"",
                          productFilter, featureFilter, permissions, count, true)) {
        *plResult = -1;
    }
    return DatabaseLockResult(plResult);
}

HRESULT SharedPermissions::DeletePermissions(const wchar_t* pathFilter, const wchar_t* hashFilter, ULONG productFilter,
                                             ULONG featureFilter, LONG* plResult) noexcept {
    if (plResult == nullptr) return E_POINTER;
    if (!LockCache()) {
        *plResult = -1;
        PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::DeletePermissions")
            << L"TSAPI: Could not lock shared cache for deleting.";
        return E_UNEXPECTED;
    }
    ClearDatabaseLockFailure();
    *plResult = 0;
    if (!DeletePermissionsEx(pathFilter != nullptr ? pathFilter : L"", hashFilter != nullptr ? hashFilter : L"",
                             productFilter, featureFilter)) {
        *plResult = -1;
        PERMS_LOG(kSeverityError, "CQnTessarySharedPerms::DeletePermissions") << L"TSAPI: Error deleting shared rules.";
    }
    UnlockCache();
    return DatabaseLockResult(plResult);
}

HRESULT SharedPermissions::SetPermissions(const tagQNTS_LOCAL_APP_PERMISSION* permissions, ULONG count,
                                          LONG* plResult) noexcept {
    constexpr const char* kFunction = "CQnTessarySharedPerms::SetPermissions";
    if (plResult == nullptr) return E_POINTER;
    if (count == 0) {
        *plResult = 0;
        return S_OK;
    }
    if (permissions == nullptr) {
        *plResult = -1;
        return S_OK;
    }
    if (!LockCache()) {
        *plResult = -1;
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not lock shared cache for modification.";
        return E_UNEXPECTED;
    }
    ClearDatabaseLockFailure();
    *plResult = 0;
    if (!SetPermissionsEx(permissions, count)) {
        *plResult = -1;
        PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not modify shared cache.";
    } else {
        std::vector<tagQNTS_LOCAL_APP_PERMISSION> copy;
        try {
            copy.assign(permissions, permissions + count);
            for (tagQNTS_LOCAL_APP_PERMISSION& record : copy) {
                const std::wstring lower = LowerAsciiPath(FieldView(record.pwszPath, kSharedPathUnits));
                CopyTruncated(record.pwszPath, kSharedPathUnits, lower);
            }
        } catch (...) {
            copy.clear();
            PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not allocate shared permissions.";
        }
        if (!copy.empty()) {
            std::unique_ptr<SubmissionJob> job(new (std::nothrow) SubmissionJob(std::move(copy)));
            if (!job) {
                PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not allocate TS submission data.";
            } else {
                ++g_submissionThreads;
                if (!StartWorkerThread(std::move(job), true)) {
                    --g_submissionThreads;
                    PERMS_LOG(kSeverityError, kFunction) << L"TSAPI: Could not start TS submission thread.";
                }
            }
        }
    }
    UnlockCache();
    return DatabaseLockResult(plResult);
}

}  // namespace tessary
