#pragma once

// The process's in-memory index of the shared permission store: records keyed by
// their Hash column as stored, held by value. The index is absent until a load
// installs it; a load replaces it whole, changes edit it in place. Nothing here
// locks: the caller holds the cache lock to change the index and a reader scope
// of the shared permission objects to read it (component/shared_perms.h).

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "component/qnts_records.h"
#include "component/shared_perms_db.h"

namespace tessary {

using SharedIndex = std::unordered_multimap<std::string, tagQNTS_LOCAL_APP_PERMISSION>;

// The text of a fixed record field up to its first zero unit or its end.
std::wstring_view FieldView(const wchar_t* field, size_t units);

// The process's index; null while absent.
SharedIndex* CurrentSharedIndex() noexcept;
// True once a load installed an index and until it is dropped.
bool SharedIndexPresent() noexcept;
// A new index holding the rows (their hashes moved out). Throws std::bad_alloc.
std::unique_ptr<SharedIndex> BuildSharedIndex(std::vector<SharedPermRow>& rows);
// Replaces the process's index with `index` and marks it present.
void InstallSharedIndex(std::unique_ptr<SharedIndex> index) noexcept;
// Drops the index; the next query loads again.
void DropSharedIndex() noexcept;

// Matching: a record matches when each given filter holds: product and feature
// when non-zero, the path (already lower-cased A-Z) when not empty, compared with
// the record's path lower-cased. A non-empty hash restricts the search to the
// records under that key; an empty one searches every record.

// Copies the matching records of the present index into a task-allocated array
// (also for no match; the caller frees it with CoTaskMemFree), the first match
// last. False, outputs untouched, when the index is absent or the array cannot
// be allocated (*allocationFailed then true). Throws std::bad_alloc.
bool CopyIndexMatches(const std::string& hash, const std::wstring& lowerPath, uint32_t product, uint32_t feature,
                      tagQNTS_LOCAL_APP_PERMISSION** records, ULONG* count, bool* allocationFailed);

// Removes the matching records; nothing when the index is absent.
void EraseIndexMatches(const std::string& hash, const std::wstring& lowerPath, uint32_t product, uint32_t feature);

// Gives `permission` to the records of `hash` and `lowerPath` (a non-empty path)
// whose product and feature are exactly the given ones; nothing when absent.
void SetIndexPermission(const std::string& hash, const std::wstring& lowerPath, uint32_t product, uint32_t feature,
                        uint32_t permission);

// Replaces the first record with `id` (in iteration order) by `record` under
// `hash`; nothing when no record has the id or the index is absent.
void ReplaceIndexRecordById(ULONG id, const std::string& hash, const tagQNTS_LOCAL_APP_PERMISSION& record);

// Adds `record` under `hash`; nothing when the index is absent.
void AddIndexRecord(const std::string& hash, const tagQNTS_LOCAL_APP_PERMISSION& record);

}  // namespace tessary
