// Lines per second of the file logger, which opens, appends to and closes the log
// file for every line (and reads "LastLogIdx" from its settings file each time),
// next to a plain loop appending the same UTF-16 lines to one file held open.
// Usage: bench_logging [lines] [runs]. Prints one table row; the ratio is logger
// lines per second over plain lines per second (best runs).

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Logging/logging.h"

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

}  // namespace

int main(int argc, char** argv) {
    const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

    wchar_t temp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"ts_bench_logging";

    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    double bestLogger = 0;
    double bestPlain = 0;
    for (int run = 0; run < runs; ++run) {
        CLogging logger(root);
        if (logger.Initialize(L"TSAPI", L"tsapi", nullptr) != 0) {
            std::fprintf(stderr, "bench_logging: cannot initialise the logger\n");
            return 1;
        }
        RemoveLogs(logger.LogDirectory());
        LARGE_INTEGER start, stop;
        ::QueryPerformanceCounter(&start);
        for (int i = 0; i < lines; ++i) {
            if (logger.Log(3, L"TSUpdChk", L"getTsData", 120, L"%s", Message(i).c_str()) != 0) {
                std::fprintf(stderr, "bench_logging: log failed at line %d\n", i);
                return 1;
            }
        }
        ::QueryPerformanceCounter(&stop);
        bestLogger = std::max(bestLogger, lines / Seconds(start, stop, frequency));

        // The same lines as the logger formats them, appended through one handle.
        const std::wstring plainPath = logger.LogDirectory() + L"\\plain.log";
        ::QueryPerformanceCounter(&start);
        HANDLE file = ::CreateFileW(plainPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return 1;
        const wchar_t bom = 0xFEFF;
        DWORD written = 0;
        ::WriteFile(file, &bom, sizeof(bom), &written, nullptr);
        for (int i = 0; i < lines; ++i) {
            tessary::ETWLogging::LineFields fields;
            SYSTEMTIME now;
            ::GetLocalTime(&now);
            fields.time = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
            const std::wstring message = Message(i);
            fields.message = message;
            const std::wstring line = tessary::ETWLogging::FormatLogLine(fields);
            ::WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
        }
        ::CloseHandle(file);
        ::QueryPerformanceCounter(&stop);
        bestPlain = std::max(bestPlain, lines / Seconds(start, stop, frequency));
        RemoveLogs(logger.LogDirectory());
        logger.Shutdown();
    }
    std::printf(
        "| file logger, %d lines (open, append, close per line; best of %d) | %.0f lines/s | plain append loop "
        "%.0f lines/s | %.4f | none yet |\n",
        lines, runs, bestLogger, bestPlain, bestLogger / bestPlain);
    return 0;
}
