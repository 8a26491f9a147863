// Traffic report over a large event database next to its floor: the raw SELECT
// of the same interval (every row read, nothing done with it). The report reads
// the same rows, selects, samples with the cryptographic random source, counts
// and builds the document.
//   wine build/bin/bench_report.exe [events] [runs] [file]
// The database (default: a log.edb in the temporary folder) is filled once and
// reused by later runs when it already holds the requested number of events.
// Prints one table row per configuration and the process's peak working set.
#include <windows.h>
#include <psapi.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_clock.h"
#include "platform/text.h"
#include "updater/event_report.h"

namespace {

using namespace tessary;
using bench::Seconds;

constexpr DWORD kEnd = 1700000000;

long long CountRows(const std::wstring& path) {
    UniqueSqlite db(sqlite_open(WideToNarrow(path).c_str(), 0, nullptr));
    char** table = nullptr;
    int rows = 0, columns = 0;
    if (!db ||
        sqlite_get_table(db.get(), "SELECT count(*) FROM LogEntries;", &table, &rows, &columns, nullptr) != SQLITE_OK) {
        return -1;
    }
    long long n = rows == 1 && table[1] ? std::atoll(table[1]) : -1;
    sqlite_free_table(table);
    return n;
}

// Events spread over the day before kEnd: 50,000 sources (one in eight private),
// 20 ports, TCP/UDP/ICMP and a few other protocols.
void Fill(const std::wstring& path, long long events) {
    ::DeleteFileW(path.c_str());
    CInboundEventDataMgr db(path);
    std::mt19937 random(1234);
    db.RunStatement("BEGIN;");
    for (long long i = 0; i < events; ++i) {
        CInboundEventItem item;
        uint32_t host = random() % 50000;
        item.ipFrom = (host % 8 == 0) ? (10u | (host << 8)) : (uint32_t{1u + host % 200} | (host << 8));
        item.ipTo = 0x0201A8C0;
        uint16_t port = static_cast<uint16_t>(20 + random() % 20);
        item.portTo = static_cast<uint16_t>((port >> 8) | (port << 8));
        static const uint8_t protocols[] = {6, 6, 6, 17, 17, 1, 2};
        item.protocol = protocols[random() % 7];
        item.time = kEnd - 1 - static_cast<int64_t>(random() % 86400);
        db.Insert(item);
    }
    db.RunStatement("COMMIT;");
}

int CountRow(void* arg, int, char**, char**) {
    ++*static_cast<long long*>(arg);
    return 0;
}

double RawSelect(const std::wstring& path, long long* rows) {
    UniqueSqlite db(sqlite_open(WideToNarrow(path).c_str(), 0, nullptr));
    const std::string sql = CInboundEventDataMgr::EnumerateStatement(0, static_cast<int32_t>(kEnd), 0, 0, false);
    *rows = 0;
    double start = Seconds();
    sqlite_exec(db.get(), sql.c_str(), CountRow, rows, nullptr);
    return Seconds() - start;
}

double Report(const std::wstring& path, ULONG maxEvents, ULONG percent, HCRYPTPROV provider, size_t* documentChars,
              uint64_t* taken) {
    CInboundEventDataMgr db(path);
    ReporterRandom random(provider);
    RandomDraw draw = [&random] { return random.Next(); };
    double start = Seconds();
    TrafficTable table(maxEvents);
    *taken = CollectTraffic(db, 0, kEnd, maxEvents, percent, draw, &table);
    *documentChars = table.Document(0, kEnd).size();
    return Seconds() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const long long events = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::wstring path;
    if (argc > 3) {
        path = NarrowToWide(argv[3]);
    } else {
        wchar_t temp[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, temp);
        path = std::wstring(temp) + L"bench_report_log.edb";
    }
    if (CountRows(path) != events) {
        std::printf("filling %lld events...\n", events);
        double start = Seconds();
        Fill(path, events);
        std::printf("filled in %.1f s\n", Seconds() - start);
    }
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) {
        std::printf("no cryptographic provider\n");
        return 1;
    }

    struct Config {
        const char* name;
        ULONG maxEvents;
        ULONG percent;
    };
    const Config configs[] = {{"defaults (500, 20%)", 500, 20}, {"MaxEvents 1,000,000, 100%", 1000000, 100}};
    for (const Config& config : configs) {
        double bestSelect = 1e9, bestReport = 1e9;
        long long rows = 0;
        size_t chars = 0;
        uint64_t taken = 0;
        for (int run = 0; run < runs; ++run) {
            bestSelect = std::min(bestSelect, RawSelect(path, &rows));
            try {
                bestReport =
                    std::min(bestReport, Report(path, config.maxEvents, config.percent, provider, &chars, &taken));
            } catch (const CSqliteException& e) {
                std::printf("report failed: %ls\n", e.Message().c_str());
                return 1;
            }
        }
        std::printf(
            "| traffic report, %s, %lld rows (%llu taken, %zu document characters) | %.3f s | raw SELECT of "
            "the interval %.3f s | %.2f | <= 1.50 |\n",
            config.name, rows, static_cast<unsigned long long>(taken), chars, bestReport, bestSelect,
            bestReport / bestSelect);
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("peak working set: %.1f MiB (target ratio: at most 1.50x)\n", memory.PeakWorkingSetSize / 1048576.0);
    ::CryptReleaseContext(provider, 0);
    return 0;
}
