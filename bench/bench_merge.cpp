// The update checker's heavy steps next to their floors:
//   merge    MergeStoreFile of an update of 200,000 records into a local store of
//            200,000 (half of them overlapping), next to the same DELETE+INSERT
//            statements, in one transaction with the same page cache, run through
//            the host's native libsqlite3 on copies of the same files (measured by
//            bench_merge.sh in the same run), and, for
//            information, the same statements through sqlite3_exec under Wine.
//   cabinet  ExtractCab (the checked extraction with its name and size checks)
//            and the bare FDI extractor on a cabinet holding a 50 MiB store, next to cabextract
//            run natively on the same cabinet (measured by bench_merge.sh).
//   wine build/bin/bench_merge.exe prepare <dir> [records]
//       makes <dir>\seed.xdb (the local store) and <dir>\update.xdb (the update)
//   wine build/bin/bench_merge.exe merge <dir> <native-seconds> [runs] [cabinet cabextract-seconds]
//       times the merge (best of runs) and prints the rows
// The merge works on the local store below the common data directory; an
// existing local store is set aside for the run and put back afterwards.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "platform/text.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "updater/cab_extract.h"
#include "updater/store_merge.h"

namespace {

using namespace tessary;
using bench::Seconds;

std::string Hash(long long i) {
    char text[40];
    const unsigned long long mixed = static_cast<unsigned long long>(i) * 0x9E3779B97F4A7C15ull;
    std::snprintf(text, sizeof(text), "%016llX%016llX", mixed, static_cast<unsigned long long>(i));
    return text;
}

std::string Data(long long i, int generation) {
    char text[96];
    std::snprintf(text, sizeof(text), "[Class]=AB||[Name]=application%07lld.exe||[Gen]=%d||[end]=true", i, generation);
    return text;
}

bool Run(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

// A store file with the local store's schema and records first..first+count-1.
bool MakeStore(const std::wstring& path, long long first, long long count, int generation, bool index) {
    ::DeleteFileW(path.c_str());
    sqlite3* db = nullptr;
    if (sqlite3_open(WideToUtf8(path).c_str(), &db) != SQLITE_OK) return false;
    bool ok = Run(db, schema::kCreateLocalCache) && Run(db, schema::kCreateCreateDate) &&
              Run(db, schema::kCreateDigSigInfo3) && Run(db, schema::kCreateSettings) &&
              Run(db, schema::kCreateLocalExpInfo) && (!index || Run(db, schema::kCreateLocalIndex)) &&
              Run(db, "BEGIN;");
    sqlite3_stmt* insert = nullptr;
    ok = ok && sqlite3_prepare_v2(db, "INSERT INTO LocalCache VALUES(?, ?);", -1, &insert, nullptr) == SQLITE_OK;
    for (long long i = first; ok && i < first + count; ++i) {
        const std::string hash = Hash(i);
        const std::string data = Data(i, generation);
        sqlite3_bind_text(insert, 1, hash.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, data.c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(insert) == SQLITE_DONE;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    ok = ok && Run(db, "INSERT INTO CreateDate VALUES(20240105);") && Run(db, "COMMIT;");
    sqlite3_close(db);
    return ok;
}

long long Count(const std::wstring& path) {
    sqlite3* db = nullptr;
    long long count = -1;
    if (sqlite3_open(WideToUtf8(path).c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM LocalCache;", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            count = sqlite3_column_int64(s, 0);
        }
        sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return count;
}

// The update's rows, read before the raw run starts its clock.
std::vector<std::pair<std::string, std::string>> ReadRows(const std::wstring& path) {
    std::vector<std::pair<std::string, std::string>> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open(WideToUtf8(path).c_str(), &db) != SQLITE_OK) return rows;
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT Hash, Data FROM LocalCache;", -1, &s, nullptr) == SQLITE_OK) {
        while (sqlite3_step(s) == SQLITE_ROW) {
            rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)),
                              reinterpret_cast<const char*>(sqlite3_column_text(s, 1)));
        }
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return rows;
}

// The merge's record statements as text, each formatted with "%q" and run by
// sqlite3_exec under Wine, in one transaction with the merge's page cache.
double RawExec(const std::wstring& path, const std::vector<std::pair<std::string, std::string>>& rows,
               long long cacheKib) {
    sqlite3* db = nullptr;
    sqlite3_open(WideToUtf8(path).c_str(), &db);
    const std::string cache = "PRAGMA cache_size = -" + std::to_string(cacheKib) + ";";
    Run(db, cache.c_str());
    const double start = Seconds();
    Run(db, "BEGIN;");
    for (const auto& [hash, data] : rows) {
        char* remove = sqlite3_mprintf("DELETE FROM LocalCache WHERE HASH = '%q';", hash.c_str());
        if (Run(db, remove)) {
            char* insert = sqlite3_mprintf("INSERT into LocalCache VALUES('%q', '%q');", hash.c_str(), data.c_str());
            Run(db, insert);
            sqlite3_free(insert);
        }
        sqlite3_free(remove);
    }
    Run(db, "COMMIT;");
    const double elapsed = Seconds() - start;
    sqlite3_close(db);
    return elapsed;
}

void Row(const char* name, double figure, const std::string& baselineName, double baseline, const char* target) {
    std::printf("| %s | %.3f s | %s %.3f s | %.2f | %s |\n", name, figure, baselineName.c_str(), baseline,
                baseline > 0 ? figure / baseline : 0.0, target);
}

int Prepare(const std::wstring& dir, long long records) {
    ::CreateDirectoryW(dir.c_str(), nullptr);
    const long long overlap = records / 2;
    if (!MakeStore(dir + L"\\seed.xdb", 0, records, 1, true) ||
        !MakeStore(dir + L"\\update.xdb", records - overlap, records, 2, false)) {
        std::fprintf(stderr, "bench_merge: cannot build the stores\n");
        return 1;
    }
    return 0;
}

long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<long long>(ULONGLONG{data.nFileSizeHigh} << 32 | data.nFileSizeLow);
}

int MergeRows(const std::wstring& dir, double native, int runs) {
    const std::wstring local = ResolveDataPath(kLocalStoreName, DataBase::kCommonData);
    const std::wstring seed = dir + L"\\seed.xdb";
    const std::wstring updateSeed = dir + L"\\update.xdb";
    const std::wstring update = dir + L"\\appmrg.xdb";
    const std::wstring raw = dir + L"\\raw.xdb";
    const std::wstring kept = local + L".bench-keep";
    const bool hadStore = ::MoveFileExW(local.c_str(), kept.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
    const long long seedRecords = Count(seed);
    const long long updateRecords = Count(updateSeed);

    const long long expected = seedRecords + updateRecords - updateRecords / 2;
    double merge = 1e9;
    long long merged = 0;
    MergeResult result;
    // Every run must merge the whole update; only such runs are timed.
    bool mergesOk = true;
    for (int run = 0; run < runs && mergesOk; ++run) {
        if (!::CopyFileW(seed.c_str(), local.c_str(), FALSE) ||
            !::CopyFileW(updateSeed.c_str(), update.c_str(), FALSE)) {
            result.reason = "the store files could not be copied for a run";
            mergesOk = false;
            break;
        }
        const double start = Seconds();
        result = MergeStoreFile(update);
        const double elapsed = Seconds() - start;
        merged = Count(local);
        mergesOk = result.outcome == MergeOutcome::kMerged && merged == expected;
        if (mergesOk) merge = std::min(merge, elapsed);
    }
    // The page cache the merge gives itself, for the raw run under Wine.
    const long long cacheKib =
        std::clamp(FileSize(seed) + 2 * FileSize(updateSeed), 2ll * 1024 * 1024, kMergeMaxCacheBytes) / 1024;
    ::CopyFileW(seed.c_str(), raw.c_str(), FALSE);
    const double exec = RawExec(raw, ReadRows(updateSeed), cacheKib);
    const long long rawCount = Count(raw);
    const bool ok = mergesOk && rawCount == expected;

    for (const std::wstring& file : {update, raw}) ::DeleteFileW(file.c_str());
    ::DeleteFileW(local.c_str());
    if (hadStore) ::MoveFileExW(kept.c_str(), local.c_str(), MOVEFILE_REPLACE_EXISTING);
    if (!ok) {
        std::fprintf(stderr, "bench_merge: %s; %lld records after the merge, %lld raw, expected %lld\n",
                     result.reason.c_str(), merged, rawCount, expected);
        return 1;
    }

    char name[160];
    std::snprintf(name, sizeof(name),
                  "MergeStoreFile: %lld-record update into %lld records, half overlapping (best of %d)", updateRecords,
                  seedRecords, runs);
    Row(name, merge, "same statements, native libsqlite3, same cache", native, "<= 2");
    Row("same merge (informational)", merge, "same statements through sqlite3_exec under Wine", exec, "-");
    return 0;
}

void RemoveOutput(const std::wstring& dir) {
    ::DeleteFileW((dir + L"\\store.xdb").c_str());
    ::RemoveDirectoryW(dir.c_str());
}

int CabinetRows(const std::wstring& cabinet, double cabextract, int runs) {
    const std::wstring out = ResolveDataPath(L"bench_cab\\x", DataBase::kCommonData);
    const std::wstring dir = out.substr(0, out.size() - 2);
    double checked = 1e9;
    double fdi = 1e9;
    long long size = -1;
    // Extraction takes a fraction of a second: best of three at least, as cabextract's figure is.
    for (int run = 0; run < std::max(runs, 3); ++run) {
        RemoveOutput(dir);
        double start = Seconds();
        if (!ExtractCab(cabinet, dir)) return 1;
        checked = std::min(checked, Seconds() - start);
        size = FileSize(dir + L"\\store.xdb");

        RemoveOutput(dir);
        QnCabExtractor extractor;
        start = Seconds();
        if (!extractor.Initialize() || !extractor.Extract(cabinet, dir)) return 1;
        fdi = std::min(fdi, Seconds() - start);
        if (FileSize(dir + L"\\store.xdb") != size) return 1;
    }
    RemoveOutput(dir);
    char name[160];
    std::snprintf(name, sizeof(name), "ExtractCab (checked FDI extraction) of a %.1f MiB store", size / 1048576.0);
    Row(name, checked, "cabextract (native)", cabextract, "<= 1.2");
    Row("QnCabExtractor over Cabinet.dll FDI, same cabinet", fdi, "cabextract (native)", cabextract, "<= 1.2");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    CreateNamedObjects(Deliverable::kUpdateChecker);
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"prepare" && argc > 2) {
        return Prepare(argv[2], argc > 3 ? std::wcstoll(argv[3], nullptr, 10) : 200000);
    }
    if (mode == L"merge" && argc > 3) {
        const int runs = argc > 4 ? std::max(1, _wtoi(argv[4])) : 1;
        int status = MergeRows(argv[2], _wtof(argv[3]), runs);
        if (status == 0 && argc > 6) {
            status = CabinetRows(argv[5], _wtof(argv[6]), runs);
            if (status != 0) std::fprintf(stderr, "bench_merge: extraction failed\n");
        }
        return status;
    }
    std::fprintf(stderr,
                 "usage: bench_merge prepare <dir> [records]\n"
                 "       bench_merge merge <dir> <native-seconds> [runs] [cabinet cabextract-seconds]\n");
    return 2;
}
