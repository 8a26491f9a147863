// Lookup costs side by side, each next to a floor measured in the same run that
// shares no code with the figure it bounds:
//   cache hit          vs the kernel-object waits and releases of its reader side
//   store-hit lookup   vs a raw indexed point query through the SQLite 3 API
//                      (open, prepare, step, close; not the product's adapter)
//   service lookup     vs a bare WinHTTP GET of the same URL, both answered by the
//                      reference responder (bench/reference_server.py, which shares
//                      no code with the emulator), and again both by the emulator;
//                      the emulator's own cost per exchange is shown beside
//   cache hits under 8 lookup threads of a mixed workload (hits, store hits, live
//                      lookups) vs the same mix on one thread (median hit)
// Run through bench/bench_lookup.sh (TS_EMULATOR_PORT, TS_REFERENCE_PORT); prints
// table rows.
#include <windows.h>
#include <winhttp.h>

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_clock.h"
#include "component/app_lookup.h"
#include "component/reputation_query.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "store/cipher.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/record_cache.h"
#include "store/stores.h"
#include "transport/service_exchange.h"
#include "transport/service_urls.h"
#include "transport/winhttp_api.h"

namespace {

using namespace tessary;
using bench::Seconds;

constexpr int kStoreRows = 20000;
// Hashes of the store rows each part uses for the first time.
constexpr int kStoreHitFirst = 0;        // store-hit lookup: 5 rounds of 1000
constexpr int kStoreFloorFirst = 10000;  // its floor
constexpr int kMixedFirst = 15000;       // the mixed workload

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

// Medians of `figure` and `baseline` in microseconds over `count` calls each,
// called alternately one by one: slower calls are spread over the exchanges, so
// the load of a shared machine cannot land on one side only.
template <typename Figure, typename Baseline>
Paired PairedMedianMicros(int count, Figure figure, Baseline baseline) {
    std::vector<double> figures;
    std::vector<double> baselines;
    for (int i = 0; i < count; ++i) {
        double start = Seconds();
        figure(i);
        figures.push_back((Seconds() - start) * 1e6);
        start = Seconds();
        baseline(i);
        baselines.push_back((Seconds() - start) * 1e6);
    }
    std::sort(figures.begin(), figures.end());
    std::sort(baselines.begin(), baselines.end());
    return {figures[figures.size() / 2], baselines[baselines.size() / 2]};
}

void Row(const char* name, double figure, const char* baselineName, double baseline, double target) {
    const double ratio = figure / baseline;
    if (target <= 0) {
        std::printf("| %s | %.1f us | %s %.1f us | %.2f | report only |\n", name, figure, baselineName, baseline,
                    ratio);
        return;
    }
    std::printf("| %s | %.1f us | %s %.1f us | %.2f | <= %.1f%s |\n", name, figure, baselineName, baseline, ratio,
                target, ratio <= target ? "" : " (missed)");
}

bool StoreExec(const char* sql) {
    UniqueSqlite db;
    return OpenLocalStore(&db) && sqlite_exec(db.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
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

// The floor of a store hit: the same point query through SQLite's own API.
void RawPointQuery(const std::string& path, const std::string& hash) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT * FROM LocalCache WHERE HASH=?", -1, &statement, nullptr) == SQLITE_OK) {
            sqlite3_bind_text(statement, 1, hash.c_str(), -1, SQLITE_STATIC);
            while (sqlite3_step(statement) == SQLITE_ROW) {
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
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

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs the mixed workload on `threads` threads at once and returns the median
// cache hit in microseconds. Each thread repeats a block of 8 lookups: 6 hits of
// hashes already cached, 1 store hit (a stored hash looked up for the first time)
// and 1 live lookup (a hash in neither place: store read, then the service).
// Store hashes come from *nextStored, live hashes from *nextLive.
double MixedMedianHit(int threads, int blocks, std::atomic<int>* nextStored, std::atomic<int>* nextLive) {
    std::vector<std::vector<double>> hits(threads);
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            std::vector<double>& mine = hits[t];
            mine.reserve(blocks * 6);
            ++ready;
            while (!go.load()) std::this_thread::yield();
            for (int block = 0; block < blocks; ++block) {
                for (int k = 0; k < 8; ++k) {
                    AppRecord record;
                    if (k == 3) {
                        record.md5 = Hash(nextStored->fetch_add(1));
                        LookupRecord(record, 1);
                    } else if (k == 7) {
                        char live[40];
                        std::snprintf(live, sizeof(live), "LIVE%028d", nextLive->fetch_add(1));
                        record.md5 = live;
                        record.exeName = "mixed.exe";
                        LookupRecord(record, 0);
                    } else {
                        record.md5 = Hash((t + block + k) % 8);
                        const double start = Seconds();
                        LookupRecord(record, 1);
                        mine.push_back((Seconds() - start) * 1e6);
                    }
                }
            }
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    go = true;
    for (std::thread& worker : workers) worker.join();
    std::vector<double> all;
    for (const auto& mine : hits) all.insert(all.end(), mine.begin(), mine.end());
    return Median(std::move(all));
}

}  // namespace

int wmain() {
    wchar_t port[16] = {};
    wchar_t referencePort[16] = {};
    if (::GetEnvironmentVariableW(L"TS_EMULATOR_PORT", port, 16) == 0 ||
        ::GetEnvironmentVariableW(L"TS_REFERENCE_PORT", referencePort, 16) == 0) {
        std::fprintf(stderr, "bench_lookup: run through bench/bench_lookup.sh\n");
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
    int nextHash = kStoreHitFirst;
    const Paired store = PairedMicrosPerCall(
        1000, 5,
        [&](int) {
            AppRecord record;
            record.md5 = Hash(nextHash++);
            FindRecord(record);
        },
        [&](int i) { RawPointQuery(storePath, Hash(kStoreFloorFirst + i)); });

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

    // Service lookup against the bare GET of the same query, measured twice: with
    // both sides talking to the reference responder (no emulator involved, so no
    // fault of the emulator can slow either side), and with both talking to the
    // emulator. A third pair shows the emulator's own cost per exchange next to
    // the responder's: a stalling emulator would show there.
    AppRecord probe;
    probe.md5 = "FEEDFACEFEEDFACEFEEDFACEFEEDFACE";
    probe.exeName = "probe.exe";
    std::vector<uint8_t> buffer = BuildRequestBuffer(probe, ProcessQueryEnvironment(), {});
    EncryptBlocks(buffer.data(), buffer.size());
    const std::wstring query = NarrowToWide(ToHexText(buffer.data(), buffer.size()));
    const std::wstring referenceOrigin = std::wstring(L"http://127.0.0.1:") + referencePort;
    const std::wstring emulatorUrl = origin + kQueryPath + query;
    const std::wstring referenceUrl = referenceOrigin + kQueryPath + query;
    auto lookup = [&](int) {
        AppRecord record = probe;
        QueryService(record, {});
    };
    auto bareReference = [&](int) { BareGet(referenceUrl); };
    auto bareEmulator = [&](int) { BareGet(emulatorUrl); };
    registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", referenceOrigin);
    // A store without the service settings: every exchange reads the settings
    // again for its time-outs, as it must until they exist (report only).
    const Paired fresh = PairedMedianMicros(300, lookup, bareReference);
    // The settings a merged store holds; the first exchange keeps their time-outs.
    if (!StoreExec("INSERT INTO Settings VALUES('ConnectTimeout','10000');"
                   "INSERT INTO Settings VALUES('SendTimeout','10000');"
                   "INSERT INTO Settings VALUES('ReceiveTimeout','10000');")) {
        std::fprintf(stderr, "bench_lookup: cannot add the service settings\n");
        return 1;
    }
    ResetExchangeTimeoutsForTesting();
    const Paired service = PairedMedianMicros(1500, lookup, bareReference);
    registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", origin);
    const Paired serviceEmulator = PairedMedianMicros(600, lookup, bareEmulator);
    const Paired servers = PairedMedianMicros(600, bareEmulator, bareReference);

    // Cache hits among concurrent lookups, one thread and eight, alternately.
    std::atomic<int> nextStored{kMixedFirst};
    std::atomic<int> nextLive{0};
    double single = 1e30;
    double eight = 1e30;
    for (int round = 0; round < 3; ++round) {
        single = std::min(single, MixedMedianHit(1, 60, &nextStored, &nextLive));
        eight = std::min(eight, MixedMedianHit(8, 30, &nextStored, &nextLive));
    }

    Row("cache-hit lookup", cache.figure, "reader-side waits/releases", cache.baseline, 1.3);
    Row("store-hit lookup (first lookup of a hash)", store.figure,
        "raw indexed point query, SQLite 3 API (open, prepare, step, close)", store.baseline, 1.5);
    Row("service lookup (QueryService, median; store holds the service settings), reference responder", service.figure,
        "bare WinHTTP GET of the same URL, reference responder", service.baseline, 1.2);
    Row("same service lookup (median), emulator", serviceEmulator.figure, "bare WinHTTP GET of the same URL, emulator",
        serviceEmulator.baseline, 1.2);
    Row("bare WinHTTP GET (median), emulator: the emulator's own cost per exchange", servers.figure,
        "bare WinHTTP GET, reference responder", servers.baseline, 0);
    Row("service lookup (median) before the store holds settings (time-outs read per exchange), reference responder",
        fresh.figure, "bare WinHTTP GET, reference responder", fresh.baseline, 0);
    Row("median cache hit, 8 lookup threads, mixed (6 hits : 1 store hit : 1 live lookup)", eight,
        "same mix on 1 thread", single, 3.0);

    registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
    FreeRecordCache();
    CloseNamedObjects();
    return 0;
}
