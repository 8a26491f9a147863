// Lookup costs side by side, each next to the floor it is measured against in
// the same run:
//   cache hit          vs the kernel-object waits and releases of its reader side
//   store-hit lookup   vs a raw indexed point query (open, query, close)
//   service lookup     vs a bare WinHTTP GET of the same URL
// Run through tests/emulator/with_emulator.sh (TS_EMULATOR_PORT); prints table rows.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "component/reputation_query.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "store/cipher.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/product_keys.h"
#include "store/record_cache.h"
#include "store/stores.h"
#include "transport/service_urls.h"
#include "transport/winhttp_api.h"

namespace {

using namespace tessary;
using bench::Seconds;

constexpr int kStoreRows = 20000;

std::string Hash(int i) {
    char text[40];
    std::snprintf(text, sizeof(text), "%032X", i);
    return text;
}

// Microseconds per call of `figure` and of `baseline` over `count` calls each,
// measured in alternating rounds and taking the best round of each, so that both
// see the same machine (a shared machine's load drifts between long blocks).
// Each body gets a call index that is new across rounds.
struct Paired {
    double figure = 1e30;
    double baseline = 1e30;
};
template <typename Figure, typename Baseline>
Paired PairedMicrosPerCall(int count, int rounds, Figure figure, Baseline baseline) {
    Paired best;
    for (int round = 0; round < rounds; ++round) {
        double start = Seconds();
        for (int i = 0; i < count; ++i) figure(round * count + i);
        best.figure = std::min(best.figure, (Seconds() - start) * 1e6 / count);
        start = Seconds();
        for (int i = 0; i < count; ++i) baseline(round * count + i);
        best.baseline = std::min(best.baseline, (Seconds() - start) * 1e6 / count);
    }
    return best;
}

void Row(const char* name, double figure, const char* baselineName, double baseline, double target) {
    const double ratio = figure / baseline;
    std::printf("| %s | %.1f us | %s %.1f us | %.2f | <= %.1f%s |\n", name, figure, baselineName, baseline, ratio,
                target, ratio <= target ? "" : " (missed)");
}

bool FillStore() {
    const std::wstring path = ResolveDataPath(kLocalStoreName, DataBase::kCommonData);
    ::DeleteFileW(path.c_str());
    for (int open = 0; open < 2; ++open) {  // the second open adds the index
        UniqueSqlite db;
        if (!OpenLocalStore(&db)) return false;
        if (open == 1) break;
        sqlite_exec(db.get(), "BEGIN;", nullptr, nullptr, nullptr);
        for (int i = 0; i < kStoreRows; ++i) {
            sqlite_exec_printf(db.get(), "INSERT INTO LocalCache VALUES('%q','[Class]=GO||[AppName]=App %d');", nullptr,
                               nullptr, nullptr, Hash(i).c_str(), i);
        }
        if (sqlite_exec(db.get(), "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    }
    return true;
}

bool BareGet(const std::wstring& url) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return false;
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    const std::wstring object(parts.lpszUrlPath, parts.dwUrlPathLength + parts.dwExtraInfoLength);
    HINTERNET session = ::WinHttpOpen(L"Lodanv", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = session ? ::WinHttpConnect(session, host.c_str(), parts.nPort, 0) : nullptr;
    HINTERNET request = connection ? ::WinHttpOpenRequest(connection, L"GET", object.c_str(), nullptr, nullptr, nullptr,
                                                          WINHTTP_FLAG_REFRESH)
                                   : nullptr;
    bool ok = request && ::WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) &&
              ::WinHttpReceiveResponse(request, nullptr);
    char buffer[4096];
    DWORD got = 0;
    while (ok && ::WinHttpReadData(request, buffer, sizeof(buffer), &got) && got > 0) {
    }
    if (request) ::WinHttpCloseHandle(request);
    if (connection) ::WinHttpCloseHandle(connection);
    if (session) ::WinHttpCloseHandle(session);
    return ok;
}

}  // namespace

int wmain() {
    wchar_t port[16] = {};
    if (::GetEnvironmentVariableW(L"TS_EMULATOR_PORT", port, 16) == 0) {
        std::fprintf(stderr, "bench_lookup: run through tests/emulator/with_emulator.sh\n");
        return 2;
    }
    if (!CreateNamedObjects(Deliverable::kComponentServer) || !winhttp::Load()) return 1;
    const std::wstring origin = std::wstring(L"http://127.0.0.1:") + port;
    registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", origin);
    registry::WriteProtectedTime(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime2, 0x7fffffff);
    if (!FillStore()) {
        std::fprintf(stderr, "bench_lookup: cannot fill the local store\n");
        return 1;
    }
    const std::string storePath = WideToNarrow(ResolveDataPath(kLocalStoreName, DataBase::kCommonData));

    // Store-hit lookup: every hash looked up for the first time.
    int nextHash = 0;
    const Paired store = PairedMicrosPerCall(
        1000, 5,
        [&](int) {
            AppRecord record;
            record.md5 = Hash(nextHash++);
            FindRecord(record);
        },
        [&](int i) {
            sqlite* db = sqlite_open(storePath.c_str(), 0, nullptr);
            char** table = nullptr;
            int rows = 0;
            int columns = 0;
            sqlite_get_table_printf(db, "SELECT * FROM LocalCache WHERE HASH='%q'", &table, &rows, &columns, nullptr,
                                    Hash(i + 10000).c_str());
            sqlite_free_table(table);
            sqlite_close(db);
        });

    // Cache hit: the same cached hash again and again, next to the reader side's
    // semaphore waits and releases alone.
    AppRecord cached;
    cached.md5 = Hash(0);
    FindRecord(cached);
    HANDLE r = ProcessObjects().lcReadSem.get();
    HANDLE w = ProcessObjects().lcWriteSem.get();
    const Paired cache = PairedMicrosPerCall(
        20000, 5,
        [&](int) {
            AppRecord record;
            record.md5 = Hash(0);
            FindRecord(record);
        },
        [&](int) {
            ::WaitForSingleObject(r, INFINITE);
            ::WaitForSingleObject(w, INFINITE);
            ::ReleaseSemaphore(r, 1, nullptr);
            ::WaitForSingleObject(r, INFINITE);
            ::ReleaseSemaphore(w, 1, nullptr);
            ::ReleaseSemaphore(r, 1, nullptr);
        });

    // Service lookup against the bare GET of the same query URL.
    AppRecord probe;
    probe.md5 = "FEEDFACEFEEDFACEFEEDFACEFEEDFACE";
    probe.exeName = "probe.exe";
    std::vector<uint8_t> buffer = BuildRequestBuffer(probe, ProcessQueryEnvironment(), {});
    EncryptBlocks(buffer.data(), buffer.size());
    const std::wstring url = BuiltInUrl(ServiceEndpoint::kQuery, NarrowToWide(ToHexText(buffer.data(), buffer.size())));
    const Paired service = PairedMicrosPerCall(
        100, 6,
        [&](int) {
            AppRecord record = probe;
            QueryService(record, {});
        },
        [&](int) { BareGet(url); });

    Row("cache-hit lookup", cache.figure, "reader-side waits/releases", cache.baseline, 1.3);
    Row("store-hit lookup (first lookup of a hash)", store.figure, "raw indexed query (open, query, close)",
        store.baseline, 1.5);
    Row("service lookup (emulator)", service.figure, "bare WinHTTP GET", service.baseline, 1.2);

    registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
    FreeRecordCache();
    CloseNamedObjects();
    return 0;
}
