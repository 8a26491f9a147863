// Signature verification of a signed 10 MiB executable: the time of one full
// verification (signature list, chain, policy and WinVerifyTrust) next to the bare
// WinVerifyTrust call with the same trust data on the same file, measured in the
// same run, and their ratio. Reported without a target.
//
// bench/bench_signature.sh prepares the signed file and runs this; by hand:
//   python3 tests/component/signature_pki.py build/bin/signature_pki build/bin/identity_fixture_plain.exe --big
//   wine build/bin/bench_signature.exe [signed-file] [runs]
// Without a file (or with "") the file is signature_pki\big.exe beside the program. Prints
// the table rows on stdout and the rates on stderr.

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "component/signature.h"
#include "component/signature_list.h"
#include "store/named_objects.h"
#include "tests/support/test_roots.h"

namespace {

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

LONG BareWinVerifyTrust(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwProvFlags = WTD_HASH_ONLY_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_NO_POLICY_USAGE_FLAG;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

using Clock = std::chrono::steady_clock;

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring fixtures = ProgramDir() + L"\\signature_pki";
    // An empty first argument also means the default file (to give only the runs).
    const bool defaultFile = argc <= 1 || argv[1][0] == L'\0';
    const std::wstring file = defaultFile ? fixtures + L"\\big.exe" : argv[1];
    const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 20;
    tessary::CreateNamedObjects(tessary::Deliverable::kComponentServer);
    if (defaultFile) tessary::testing::InstallMachineRoot(fixtures + L"\\root_vs.cer");

    if (!tessary::VerifyFileSignature(file.c_str(), file.size())) {
        std::fwprintf(stderr, L"%ls does not verify as good; prepare it with signature_pki.py --big\n", file.c_str());
        return 1;
    }
    // Warm both paths once (file cache, libraries) before measuring, then time the
    // two calls alternately so both see the same machine load; medians per call.
    BareWinVerifyTrust(file);
    std::vector<double> full;
    std::vector<double> bare;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        const bool good = tessary::VerifyFileSignature(file.c_str(), file.size());
        full.push_back(MillisecondsSince(start));
        start = Clock::now();
        const LONG trust = BareWinVerifyTrust(file);
        bare.push_back(MillisecondsSince(start));
        if (!good || trust != 0) {
            std::fwprintf(stderr, L"a verification changed its answer during the run\n");
            return 1;
        }
    }
    tessary::FreeSignatureList();
    const double fullMs = Median(full);
    const double bareMs = Median(bare);
    const double mib = static_cast<double>(tessary::testing::ReadWholeFile(file).size()) / (1024.0 * 1024.0);
    std::fprintf(stderr,
                 "signature: %d runs of a %.1f MiB file: VerifyFileSignature %.2f /s, bare WinVerifyTrust %.2f /s\n",
                 runs, mib, fullMs > 0 ? 1000 / fullMs : 0.0, bareMs > 0 ? 1000 / bareMs : 0.0);
    std::printf(
        "| VerifyFileSignature of a signed %.0f MiB executable (median of %d, Wine) | %.1f ms | bare WinVerifyTrust, "
        "same "
        "trust data %.1f ms | %.2f | report only (no target) |\n",
        mib, runs, fullMs, bareMs, bareMs > 0 ? fullMs / bareMs : 0.0);
    return 0;
}
