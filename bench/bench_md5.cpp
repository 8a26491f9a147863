// Throughput of the content hash as the reputation lookup computes it: the time
// BuildFromPath takes on one file, dominated by reading it in 4096-byte chunks and
// hashing them. Usage: bench_md5 <file> [runs]. Prints one line of key=value pairs;
// best_mbps is the figure (10^6 bytes per second of the fastest run).

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "component/file_identity.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_md5 <file> [runs]\n");
        return 2;
    }
    const std::wstring path = argv[1];
    const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;

    WIN32_FILE_ATTRIBUTE_DATA attributes;
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes)) {
        std::fprintf(stderr, "bench_md5: cannot read %ls (error %lu)\n", path.c_str(), ::GetLastError());
        return 1;
    }
    const double bytes =
        static_cast<double>(attributes.nFileSizeLow) + static_cast<double>(attributes.nFileSizeHigh) * 4294967296.0;

    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    std::vector<double> mbps;
    std::string md5;
    for (int i = 0; i < runs; ++i) {
        LARGE_INTEGER start, stop;
        ::QueryPerformanceCounter(&start);
        const tessary::AppRecord record = tessary::BuildFromPath(path);
        ::QueryPerformanceCounter(&stop);
        if (record.md5.empty()) {
            std::fprintf(stderr, "bench_md5: no MD5 for %ls\n", path.c_str());
            return 1;
        }
        md5 = record.md5;
        const double seconds = static_cast<double>(stop.QuadPart - start.QuadPart) / frequency.QuadPart;
        mbps.push_back(bytes / 1e6 / seconds);
    }
    std::sort(mbps.begin(), mbps.end());
    std::printf("bench_md5 bytes=%.0f runs=%d best_mbps=%.1f median_mbps=%.1f md5=%s\n", bytes, runs, mbps.back(),
                mbps[mbps.size() / 2], md5.c_str());
    return 0;
}
