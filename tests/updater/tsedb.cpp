// tsedb: the firewall's event database from the command line. Adds blocked
// inbound events (for demos and tests of the traffic report), lists them, and
// holds the database locked for a while (as a busy firewall would).
//
//   tsedb path
//   tsedb add SOURCE-IP PORT PROTOCOL [--time T] [--flags F] [--count N] [--db FILE]
//   tsedb list [--db FILE]
//   tsedb lock SECONDS [READY-EVENT] [--db FILE]
//
// Exit codes: 0 done, 1 database failure, 2 usage.

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "updater/event_store.h"

using namespace tessary;

namespace {

constexpr wchar_t kUsage[] =
    L"usage:\n"
    L"  tsedb path                          print the firewall's event database path\n"
    L"  tsedb add SOURCE-IP PORT PROTOCOL [--time T] [--flags F] [--count N] [--db FILE]\n"
    L"                                      add N events (default 1) from SOURCE-IP (dotted) to\n"
    L"                                      PORT (decimal) with PROTOCOL (1 ICMP, 6 TCP, 17 UDP);\n"
    L"                                      T seconds since 1970 (default: now), F flags (default 0)\n"
    L"  tsedb list [--db FILE]              list the events, newest first\n"
    L"  tsedb lock SECONDS [EVENT] [--db FILE]\n"
    L"                                      hold the database locked; signal the named EVENT once locked\n";

bool ParseNumber(const wchar_t* text, unsigned long long max, unsigned long long* value) {
    if (text == nullptr || *text == 0) return false;
    wchar_t* end = nullptr;
    unsigned long long n = std::wcstoull(text, &end, 10);
    if (*end != 0 || n > max || text[0] == L'-') return false;
    *value = n;
    return true;
}

// Dotted IPv4 text as stored: first octet in the lowest byte.
bool ParseAddress(const wchar_t* text, uint32_t* address) {
    unsigned a, b, c, d;
    wchar_t rest;
    if (std::swscanf(text, L"%u.%u.%u.%u%lc", &a, &b, &c, &d, &rest) != 4 || a > 255 || b > 255 || c > 255 || d > 255) {
        return false;
    }
    *address = a | (b << 8) | (c << 16) | (d << 24);
    return true;
}

std::wstring Dotted(uint32_t address) {
    return std::to_wstring(address & 0xFF) + L"." + std::to_wstring((address >> 8) & 0xFF) + L"." +
           std::to_wstring((address >> 16) & 0xFF) + L"." + std::to_wstring(address >> 24);
}

uint16_t SwapBytes(uint16_t port) { return static_cast<uint16_t>((port >> 8) | (port << 8)); }

struct Options {
    std::vector<std::wstring> positional;
    std::wstring db;
    unsigned long long time = 0;
    unsigned long long flags = 0;
    unsigned long long count = 1;
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
    for (int i = 2; i < argc; ++i) {
        std::wstring arg = argv[i];
        auto next = [&]() -> const wchar_t* { return i + 1 < argc ? argv[++i] : nullptr; };
        if (arg == L"--db") {
            const wchar_t* value = next();
            if (value == nullptr) return false;
            options->db = value;
        } else if (arg == L"--time") {
            if (!ParseNumber(next(), 0x7FFFFFFF, &options->time)) return false;
        } else if (arg == L"--flags") {
            if (!ParseNumber(next(), 255, &options->flags)) return false;
        } else if (arg == L"--count") {
            if (!ParseNumber(next(), 100000000, &options->count)) return false;
        } else if (arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-') {
            return false;
        } else {
            options->positional.push_back(arg);
        }
    }
    return true;
}

int Add(CInboundEventDataMgr& db, const Options& options) {
    if (options.positional.size() != 3) return 2;
    CInboundEventItem item;
    unsigned long long port = 0;
    unsigned long long protocol = 0;
    if (!ParseAddress(options.positional[0].c_str(), &item.ipFrom) ||
        !ParseNumber(options.positional[1].c_str(), 65535, &port) ||
        !ParseNumber(options.positional[2].c_str(), 255, &protocol)) {
        return 2;
    }
    item.portTo = SwapBytes(static_cast<uint16_t>(port));
    item.protocol = static_cast<uint8_t>(protocol);
    item.flags = static_cast<uint8_t>(options.flags);
    item.time = static_cast<int64_t>(options.time);
    db.RunStatement("BEGIN;");
    for (unsigned long long i = 0; i < options.count; ++i) db.Insert(item);
    if (db.RunStatement("COMMIT;") != SQLITE_OK) throw CSqliteException(db.lastError(), db.lastResult());
    std::wprintf(L"added %llu event(s)\n", options.count);
    return 0;
}

int PrintRow(CInboundEventItem* item, void*) {
    std::wprintf(L"%d time=%lld src=%ls dst-port=%u protocol=%u flags=%u\n", item->entryId,
                 static_cast<long long>(item->time), Dotted(item->ipFrom).c_str(), SwapBytes(item->portTo),
                 item->protocol, item->flags);
    return 0;
}

int Lock(CInboundEventDataMgr& db, const Options& options) {
    unsigned long long seconds = 0;
    if (options.positional.empty() || options.positional.size() > 2 ||
        !ParseNumber(options.positional[0].c_str(), 3600, &seconds)) {
        return 2;
    }
    if (db.RunStatement("BEGIN EXCLUSIVE;") != SQLITE_OK) throw CSqliteException(db.lastError(), db.lastResult());
    if (options.positional.size() == 2) {
        HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, options.positional[1].c_str());
        if (ready != nullptr) {
            ::SetEvent(ready);
            ::CloseHandle(ready);
        }
    }
    std::wprintf(L"locked for %llu s\n", seconds);
    std::fflush(stdout);
    ::Sleep(static_cast<DWORD>(seconds * 1000));
    db.RunStatement("ROLLBACK;");
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputws(kUsage, stderr);
        return 2;
    }
    const std::wstring command = argv[1];
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fputws(kUsage, stderr);
        return 2;
    }
    const std::wstring path = options.db.empty() ? FirewallEventLogPath() : options.db;
    if (command == L"path") {
        std::wprintf(L"%ls\n", path.c_str());
        return 0;
    }
    if (command != L"add" && command != L"list" && command != L"lock") {
        std::fputws(kUsage, stderr);
        return 2;
    }
    try {
        CInboundEventDataMgr db(path);
        int rc = 2;
        if (command == L"add") {
            rc = Add(db, options);
        } else if (command == L"list") {
            rc = options.positional.empty() ? db.Enumerate(PrintRow, 0, 0, 0, 0, false, nullptr) : 2;
        } else {
            rc = Lock(db, options);
        }
        if (rc == 2) std::fputws(kUsage, stderr);
        return rc;
    } catch (const CSqliteException& e) {
        std::fwprintf(stderr, L"tsedb: %ls: %ls (%d)\n", path.c_str(), e.Message().c_str(), e.Code());
        return 1;
    }
}
