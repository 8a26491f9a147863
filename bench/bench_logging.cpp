// Lines per second of the file logger, which opens, appends to and closes the log
// file for every line (and asks its settings file for "LastLogIdx" each time),
// next to its floor: a raw loop that does only the written minimum per line on
// the same log file, CreateFileW (open or create, shared for reading and writing),
// move to the end, format the line with its own swprintf, WriteFile, CloseHandle.
// The floor shares no code with the logger (not its line formatter either).
// Usage: bench_logging [lines] [runs]. Prints three table rows: the lines going
// into one file (the largest file size allowed) with the module settings file in
// place as after any rotation; the same before that file exists; and the default
// file size, where rotations fall among the timed lines. Logger and floor run in
// alternating rounds (best round of each), and the ratio is floor lines per
// second over logger lines per second, so above 1 means the logger is slower.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "Logging/logging.h"
#include "platform/protected_ini.h"

namespace {

using tessary::ETWLogging::CLogging;

double Seconds(const LARGE_INTEGER& start, const LARGE_INTEGER& stop, const LARGE_INTEGER& frequency) {
    return static_cast<double>(stop.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::wstring Message(int i) {
    return L"GetApplicationDetails: C:\\Program Files\\Vendor\\app" + std::to_wstring(i) +
           L".exe known, class AP, permission 0x00000003";
}

void RemoveLogs(const std::wstring& directory) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((directory + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ::DeleteFileW((directory + L"\\" + data.cFileName).c_str());
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
}

// The floor's line: the default line shape (time, severity, empty tag, message),
// formatted here without the logger's formatter.
int FormatRawLine(wchar_t* out, size_t size, const std::wstring& message) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const unsigned hour = now.wHour % 12 == 0 ? 12 : now.wHour % 12;
    return std::swprintf(out, size, L"%02hu/%02hu/%hu %02u:%02hu:%02hu %ls$ -- (Information)$  %ls\r\n", now.wMonth,
                         now.wDay, now.wYear, hour, now.wMinute, now.wSecond, now.wHour < 12 ? L"AM" : L"PM",
                         message.c_str());
}

// Appends `lines` lines to `path`, opening and closing the file for each.
bool RawLoop(const std::wstring& path, int lines) {
    wchar_t line[512];
    for (int i = 0; i < lines; ++i) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        if (::GetLastError() != ERROR_ALREADY_EXISTS) {
            const wchar_t bom = 0xFEFF;
            ::WriteFile(file, &bom, sizeof(bom), &written, nullptr);
        }
        ::SetFilePointer(file, 0, nullptr, FILE_END);
        const int length = FormatRawLine(line, sizeof(line) / sizeof(line[0]), Message(i));
        const bool ok =
            length > 0 && ::WriteFile(file, line, static_cast<DWORD>(length) * sizeof(wchar_t), &written, nullptr);
        ::CloseHandle(file);
        if (!ok) return false;
    }
    return true;
}

struct Rates {
    double logger = 0;
    double raw = 0;
};

// Leaves the module settings file as a machine has it long after its last
// rotation: holding "LastLogIdx" 0, last written an hour ago.
bool SettleModuleSettings(const std::wstring& path) {
    if (!tessary::CObfuscatedIniReader(path).WriteInt("Config", "LastLogIdx", 0)) return false;
    HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER value{{now.dwLowDateTime, now.dwHighDateTime}};
    value.QuadPart -= 3600ull * 10'000'000;
    const FILETIME old{value.LowPart, value.HighPart};
    const bool set = ::SetFileTime(file, &old, &old, &old) != FALSE;
    ::CloseHandle(file);
    return set;
}

// Best lines per second of the logger and of the raw loop over `runs` alternating
// rounds of `lines` lines each, with the logs of `root`; with `settled`, the
// module settings file is there and settled (else the log folder starts empty).
bool MeasureRounds(const std::wstring& root, int lines, int runs, bool settled, Rates* best) {
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    for (int run = 0; run < runs; ++run) {
        CLogging logger(root);
        if (logger.Initialize(L"TSAPI", L"tsapi", nullptr) != 0) {
            std::fprintf(stderr, "bench_logging: cannot initialise the logger\n");
            return false;
        }
        RemoveLogs(logger.LogDirectory());
        if (settled && !SettleModuleSettings(logger.ModuleSettingsPath())) {
            std::fprintf(stderr, "bench_logging: cannot write the module settings file\n");
            return false;
        }
        LARGE_INTEGER start, stop;
        ::QueryPerformanceCounter(&start);
        for (int i = 0; i < lines; ++i) {
            if (logger.Log(3, L"TSUpdChk", L"getTsData", 120, L"%s", Message(i).c_str()) != 0) {
                std::fprintf(stderr, "bench_logging: log failed at line %d\n", i);
                return false;
            }
        }
        ::QueryPerformanceCounter(&stop);
        best->logger = std::max(best->logger, lines / Seconds(start, stop, frequency));

        // The floor appends to the logger's first file, left as the logger left it.
        const std::wstring path = logger.LogFilePath(0);
        ::QueryPerformanceCounter(&start);
        if (!RawLoop(path, lines)) {
            std::fprintf(stderr, "bench_logging: the raw loop cannot append to the log file\n");
            return false;
        }
        ::QueryPerformanceCounter(&stop);
        best->raw = std::max(best->raw, lines / Seconds(start, stop, frequency));
        RemoveLogs(logger.LogDirectory());
        logger.Shutdown();
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"ts_bench_logging";
    const std::wstring globalSettings = root + L"\\log.ini";
    ::CreateDirectoryW(root.c_str(), nullptr);

    // Per-line cost: the machine's settings allow the largest file, so the timed
    // lines write one file as most lines do (a file holds thousands of lines); the
    // module settings file holds the index of the file, as after any rotation.
    Rates steady;
    if (!tessary::CObfuscatedIniReader(globalSettings)
             .WriteInt("Config", "MaxSize", tessary::ETWLogging::kMaxMaxSize) ||
        !MeasureRounds(root, lines, runs, /*settled=*/true, &steady)) {
        return 1;
    }
    // A fresh installation: no module settings file until the first rotation.
    Rates fresh;
    if (!MeasureRounds(root, lines, runs, /*settled=*/false, &fresh)) return 1;
    // Default settings: the file rotates every few hundred lines, and each rotation
    // stores the new index, which the lines after it read back from the settings file.
    ::DeleteFileW(globalSettings.c_str());
    Rates rotating;
    if (!MeasureRounds(root, lines, runs, /*settled=*/false, &rotating)) return 1;

    const double ratio = steady.raw / steady.logger;
    std::printf(
        "| file logger, %d lines into one file, module settings file in place (open, append, close per line; best of "
        "%d) | %.0f lines/s | raw "
        "open/append/close loop on the same file %.0f lines/s | %.2f | <= 1.3%s |\n",
        lines, runs, steady.logger, steady.raw, ratio, ratio <= 1.3 ? "" : " (missed)");
    std::printf(
        "| same, no module settings file yet (fresh installation) | %.0f lines/s | raw loop %.0f lines/s | %.2f | "
        "report only |\n",
        fresh.logger, fresh.raw, fresh.raw / fresh.logger);
    std::printf(
        "| same, default 256 KiB files (rotating about every 1000 lines) | %.0f lines/s | raw loop %.0f lines/s | "
        "%.2f | report only |\n",
        rotating.logger, rotating.raw, rotating.raw / rotating.logger);
    return 0;
}
