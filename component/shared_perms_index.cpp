#include "component/shared_perms_index.h"

#include <objbase.h>

#include <atomic>
#include <cwchar>

#include "platform/no_destructor.h"

namespace tessary {
namespace {

// Never destroyed (platform/no_destructor.h): the index goes with the process,
// or is dropped explicitly when the library is freed.
NoDestructor<std::unique_ptr<SharedIndex>> g_heldIndex;
std::unique_ptr<SharedIndex>& g_index = *g_heldIndex;
std::atomic<bool> g_indexPresent{false};

// A record matches when each given filter holds (the hash is chosen by the caller).
bool Matches(const tagQNTS_LOCAL_APP_PERMISSION& record, const std::wstring& lowerPath, uint32_t product,
             uint32_t feature) {
    if (product != 0 && record.mapPerm.dwProduct != product) return false;
    if (feature != 0 && record.mapPerm.dwFeature != feature) return false;
    if (!lowerPath.empty() && LowerAsciiPath(FieldView(record.pwszPath, kSharedPathUnits)) != lowerPath) return false;
    return true;
}

// Calls visit(iterator) for each matching record of the index, under `hash` when
// given, else over all records.
template <typename Visit>
void ForEachMatch(SharedIndex& index, const std::string& hash, const std::wstring& lowerPath, uint32_t product,
                  uint32_t feature, Visit visit) {
    if (!hash.empty()) {
        auto [first, last] = index.equal_range(hash);
        for (auto it = first; it != last; ++it) {
            if (Matches(it->second, lowerPath, product, feature)) visit(it);
        }
        return;
    }
    for (auto it = index.begin(); it != index.end(); ++it) {
        if (Matches(it->second, lowerPath, product, feature)) visit(it);
    }
}

}  // namespace

std::wstring_view FieldView(const wchar_t* field, size_t units) { return {field, ::wcsnlen(field, units)}; }

SharedIndex* CurrentSharedIndex() noexcept { return g_index.get(); }

bool SharedIndexPresent() noexcept { return g_indexPresent.load(); }

std::unique_ptr<SharedIndex> BuildSharedIndex(std::vector<SharedPermRow>& rows) {
    auto index = std::make_unique<SharedIndex>();
    for (SharedPermRow& row : rows) index->emplace(std::move(row.hash), row.record);
    return index;
}

void InstallSharedIndex(std::unique_ptr<SharedIndex> index) noexcept {
    g_index = std::move(index);
    g_indexPresent.store(true);
}

void DropSharedIndex() noexcept {
    g_indexPresent.store(false);
    g_index.reset();
}

bool CopyIndexMatches(const std::string& hash, const std::wstring& lowerPath, uint32_t product, uint32_t feature,
                      tagQNTS_LOCAL_APP_PERMISSION** records, ULONG* count, bool* allocationFailed) {
    *allocationFailed = false;
    if (!g_index) return false;
    ULONG matches = 0;
    ForEachMatch(*g_index, hash, lowerPath, product, feature, [&](SharedIndex::iterator) { ++matches; });
    auto* array = static_cast<tagQNTS_LOCAL_APP_PERMISSION*>(
        ::CoTaskMemAlloc(size_t(matches) * sizeof(tagQNTS_LOCAL_APP_PERMISSION)));
    if (array == nullptr && matches > 0) {
        *allocationFailed = true;
        return false;
    }
    ULONG next = matches;
    ForEachMatch(*g_index, hash, lowerPath, product, feature,
                 [&](SharedIndex::iterator it) { array[--next] = it->second; });
    *records = array;
    *count = matches;
    return true;
}

void EraseIndexMatches(const std::string& hash, const std::wstring& lowerPath, uint32_t product, uint32_t feature) {
    if (!g_index) return;
    std::vector<SharedIndex::iterator> doomed;
    ForEachMatch(*g_index, hash, lowerPath, product, feature, [&](SharedIndex::iterator it) { doomed.push_back(it); });
    for (auto it : doomed) g_index->erase(it);
}

void SetIndexPermission(const std::string& hash, const std::wstring& lowerPath, uint32_t product, uint32_t feature,
                        uint32_t permission) {
    if (!g_index || lowerPath.empty()) return;
    ForEachMatch(*g_index, hash, lowerPath, 0, 0, [&](SharedIndex::iterator it) {
        if (it->second.mapPerm.dwProduct == product && it->second.mapPerm.dwFeature == feature) {
            it->second.mapPerm.dwPermission = permission;
        }
    });
}

void ReplaceIndexRecordById(ULONG id, const std::string& hash, const tagQNTS_LOCAL_APP_PERMISSION& record) {
    if (!g_index) return;
    for (auto it = g_index->begin(); it != g_index->end(); ++it) {
        if (it->second.dwID != id) continue;
        g_index->erase(it);
        g_index->emplace(hash, record);
        break;
    }
}

void AddIndexRecord(const std::string& hash, const tagQNTS_LOCAL_APP_PERMISSION& record) {
    if (g_index) g_index->emplace(hash, record);
}

}  // namespace tessary
