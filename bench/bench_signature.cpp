// Signature verification of a signed 10 MiB executable: full verifications per
// second (signature list, chain, policy and WinVerifyTrust) next to the bare
// WinVerifyTrust call with the same trust data, and their ratio. No target yet.
//
// Prepare the signed file and run (the test roots are installed in the prefix):
//   python3 tests/component/signature_pki.py build/bin/signature_pki build/bin/identity_fixture_plain.exe --big
//   wine build/bin/bench_signature.exe [signed-file] [runs]
// Without arguments the file is signature_pki\big.exe beside the program.

#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>

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

// Calls per second of `call` over `runs` calls; false when any call gives the wrong answer.
template <typename Call>
bool Rate(int runs, Call call, double* perSecond) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) {
        if (!call()) return false;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *perSecond = seconds > 0 ? runs / seconds : 0;
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring fixtures = ProgramDir() + L"\\signature_pki";
    const std::wstring file = argc > 1 ? argv[1] : fixtures + L"\\big.exe";
    const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 20;
    tessary::CreateNamedObjects(tessary::Deliverable::kComponentServer);
    if (argc <= 1) tessary::testing::InstallMachineRoot(fixtures + L"\\root_vs.cer");

    if (!tessary::VerifyFileSignature(file.c_str(), file.size())) {
        std::fwprintf(stderr, L"%ls does not verify as good; prepare it with signature_pki.py --big\n", file.c_str());
        return 1;
    }
    double full = 0;
    double bare = 0;
    // Warm both paths once (file cache, libraries) before measuring.
    BareWinVerifyTrust(file);
    if (!Rate(
            runs, [&] { return tessary::VerifyFileSignature(file.c_str(), file.size()); }, &full) ||
        !Rate(
            runs, [&] { return BareWinVerifyTrust(file) == 0; }, &bare)) {
        std::fwprintf(stderr, L"a verification changed its answer during the run\n");
        return 1;
    }
    tessary::FreeSignatureList();
    std::printf("signature: %d runs of a %.1f MiB file\n", runs,
                static_cast<double>(tessary::testing::ReadWholeFile(file).size()) / (1024.0 * 1024.0));
    std::printf("  VerifyFileSignature  %8.2f /s\n", full);
    std::printf("  bare WinVerifyTrust  %8.2f /s\n", bare);
    std::printf("  ratio (full / bare)  %8.3f\n", bare > 0 ? full / bare : 0.0);
    return 0;
}
