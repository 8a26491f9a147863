// A second (and third) process for the shared permission tests: it reaches the
// shared store through tsapi.dll as registered in the test prefix, exactly as
// another product of the suite would. Test support only.
//
//   shared_perms_helper hammer <id> <iterations>   fixed sequence of sets, updates, deletes
//   shared_perms_helper hold <ready-event>          takes the database mutex and never lets go
//   shared_perms_helper stale <hash> <ready> <go>   loads its index, waits, counts <hash>
//   shared_perms_helper count <hash>                counts <hash> in a freshly loaded index
//   shared_perms_helper lookup <hash>               looks the hash up (local only), then counts it
//
// Exit code: 0 (hammer, hold) or 100 + the count (stale, count, lookup) on success; 1-99 on failure.

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "component/com_ids.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr wchar_t kDatabaseMutex[] = L"Global\\{5A37A5DE-E415-46fe-BBB8-D60F74773D27}";
// The application both hammering processes decide about.
constexpr wchar_t kSharedHash[] = L"55555555555555555555555555555555";

std::wstring OwnHash(int id) { return L"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA" + std::to_wstring(id); }
std::wstring OwnPath(int id) { return L"C:\\Hammer\\P" + std::to_wstring(id) + L".exe"; }

std::wstring ExecutablePath() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

QNTS_LOCAL_APP_PERMISSION Record(ULONG id, ULONG product, ULONG feature, ULONG permission, const std::wstring& path,
                                 const std::wstring& hash) {
    QNTS_LOCAL_APP_PERMISSION record{};
    record.dwID = id;
    record.mapPerm = {product, feature, permission};
    wcsncpy(record.pwszPath, path.c_str(), 260);
    wcsncpy(record.pwszMD5, hash.c_str(), 32);
    return record;
}

#define CHECK(what, hr, result)                                                                       \
    do {                                                                                              \
        HRESULT check_hr_ = (hr);                                                                     \
        if (check_hr_ != S_OK || (result) != 0) {                                                     \
            std::fprintf(stderr, "helper: %s failed at %d: hr 0x%08lx result %ld\n", what, iteration, \
                         static_cast<unsigned long>(check_hr_), static_cast<long>(result));           \
            return 2;                                                                                 \
        }                                                                                             \
    } while (0)

class Server {
public:
    bool Open() {
        if (FAILED(::CoCreateInstance(CLSID_QnTessary, nullptr, CLSCTX_INPROC_SERVER, IID_IQnTessary,
                                      reinterpret_cast<void**>(root_.GetAddressOf())))) {
            return false;
        }
        LONG result = -1;
        return SUCCEEDED(root_->GetSharedPermsInterface(&perms_, &result)) &&
               SUCCEEDED(root_->GetApplicationInterface(&entry_, &result));
    }
    IQnTessarySharedPerms* perms() { return perms_.Get(); }
    ComPtr<IQnTessaryAppDetails> Details(const std::wstring& hash) {
        ComPtr<IQnTessaryAppDetails> details;
        LONG result = -1;
        entry_->GetApplicationDetails(ExecutablePath().c_str(), hash.c_str(), 1, &details, &result);
        return details;
    }
    // Number of records of `hash`, or -1 when the query fails.
    long Count(const wchar_t* hash) {
        QNTS_LOCAL_APP_PERMISSION* records = nullptr;
        ULONG count = 0;
        LONG result = -1;
        HRESULT hr = perms_->GetPermissions(L"", hash, 0, 0, &records, &count, &result);
        ::CoTaskMemFree(records);
        return hr == S_OK && result == 0 ? static_cast<long>(count) : -1;
    }

private:
    ComPtr<IQnTessary> root_;
    ComPtr<IQnTessarySharedPerms> perms_;
    ComPtr<IQnTessaryAppEntry> entry_;
};

int Hammer(int id, int iterations) {
    Server server;
    if (!server.Open()) return 3;
    ComPtr<IQnTessaryAppDetails> shared = server.Details(kSharedHash);
    ComPtr<IQnTessaryAppDetails> own = server.Details(OwnHash(id));
    if (!shared || !own) return 4;
    const std::wstring ownHash = OwnHash(id);
    for (int iteration = 0; iteration < iterations; ++iteration) {
        LONG result = -1;
        const ULONG i = static_cast<ULONG>(iteration);
        // Overlapping keys: one decision both processes keep changing, one both set and delete.
        CHECK("shared set", shared->SetLocalPermission({7, 1, i % 3}, &result), result);
        if (iteration % 2 == 0) {
            CHECK("shared set 2", shared->SetLocalPermission({7, 2, i}, &result), result);
        } else {
            CHECK("shared delete 2", shared->DeleteLocalPermission(7, 2, &result), result);
        }
        // Distinct keys: a new row each time, deleted by filter every fifth time (from the fourth on).
        QNTS_LOCAL_APP_PERMISSION added = Record(0, 8, static_cast<ULONG>(id), i, OwnPath(id), ownHash);
        CHECK("batch insert", server.perms()->SetPermissions(&added, 1, &result), result);
        if (iteration % 5 == 3) {
            CHECK("filtered delete", server.perms()->DeletePermissions(L"", ownHash.c_str(), 8, id, &result), result);
        }
        // One decision changed through the details object, then by its row id.
        CHECK("own set", own->SetLocalPermission({9, 2, i}, &result), result);
        QNTS_LOCAL_APP_PERMISSION* records = nullptr;
        ULONG count = 0;
        CHECK("own get", server.perms()->GetPermissions(L"", ownHash.c_str(), 9, 2, &records, &count, &result), result);
        if (count != 1) {
            std::fprintf(stderr, "helper: %lu records of the own decision at %d\n", count, iteration);
            ::CoTaskMemFree(records);
            return 5;
        }
        QNTS_LOCAL_APP_PERMISSION update = records[0];
        ::CoTaskMemFree(records);
        update.mapPerm.dwPermission = 1000 + i;
        CHECK("update by id", server.perms()->SetPermissions(&update, 1, &result), result);
    }
    return 0;
}

int Hold(const wchar_t* readyName) {
    // The least access any account's process gets: enough to hold it for ever.
    HANDLE mutex = ::CreateMutexExW(nullptr, kDatabaseMutex, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
    if (mutex == nullptr || ready == nullptr) return 6;
    const DWORD wait = ::WaitForSingleObject(mutex, INFINITE);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) return 7;
    ::SetEvent(ready);
    ::Sleep(INFINITE);
    return 0;
}

int Stale(const wchar_t* hash, const wchar_t* readyName, const wchar_t* goName) {
    Server server;
    if (!server.Open()) return 3;
    if (server.Count(L"") < 1) return 8;  // the index is loaded now
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
    HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, goName);
    if (ready == nullptr || go == nullptr) return 6;
    ::SetEvent(ready);
    if (::WaitForSingleObject(go, 60000) != WAIT_OBJECT_0) return 9;
    const long count = server.Count(hash);
    return count < 0 ? 10 : 100 + static_cast<int>(count);
}

int CountFresh(const wchar_t* hash) {
    Server server;
    if (!server.Open()) return 3;
    const long count = server.Count(hash);
    return count < 0 ? 10 : 100 + static_cast<int>(count);
}

int LookUp(const wchar_t* hash) {
    Server server;
    if (!server.Open()) return 3;
    if (!server.Details(hash)) return 12;
    const long count = server.Count(hash);
    return count < 0 ? 10 : 100 + static_cast<int>(count);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 1;
    const std::wstring mode = argv[1];
    if (mode == L"hold" && argc == 3) return Hold(argv[2]);
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 11;
    int code = 1;
    if (mode == L"hammer" && argc == 4) code = Hammer(_wtoi(argv[2]), _wtoi(argv[3]));
    if (mode == L"stale" && argc == 5) code = Stale(argv[2], argv[3], argv[4]);
    if (mode == L"count" && argc == 3) code = CountFresh(argv[2]);
    if (mode == L"lookup" && argc == 3) code = LookUp(argv[2]);
    ::CoUninitialize();
    return code;
}
