// A process of its own for the module lifetime tests: it loads a copy of
// tsapi.dll by path and watches what the load does and does not do. Test support only.
//
//   lifetime_child cycle <dll> <cycles>   loads and frees the copy <cycles> times
//   lifetime_child exit <dll>             leaves the process with lookup threads in flight
//
// Exit code 0 on success; 10 when winhttp.dll was in the process before the first
// load (the check cannot be made); any other code names the failed check.

#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "component/com_ids.h"
#include "store/object_names.h"

using Microsoft::WRL::ComPtr;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

bool WinHttpLoaded() { return ::GetModuleHandleW(L"winhttp.dll") != nullptr; }

// The process's first named object, made when the module starts, not when it loads.
bool NamedObjectsExist() {
    const std::wstring name = std::wstring(tessary::names::kDigSigEvent) + std::to_wstring(::GetCurrentProcessId());
    HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    if (event == nullptr) return false;
    ::CloseHandle(event);
    return true;
}

ComPtr<IQnTessary> CreateRoot(HMODULE module) {
    auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    ComPtr<IQnTessary> root;
    if (getClassObject == nullptr ||
        FAILED(getClassObject(CLSID_QnTessary, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()))) ||
        FAILED(factory->CreateInstance(nullptr, IID_IQnTessary, reinterpret_cast<void**>(root.GetAddressOf())))) {
        return nullptr;
    }
    return root;
}

int Cycle(const wchar_t* dll, int cycles) {
    if (WinHttpLoaded()) return 10;
    const wchar_t* name = std::wcsrchr(dll, L'\\') != nullptr ? std::wcsrchr(dll, L'\\') + 1 : dll;
    for (int i = 0; i < cycles; ++i) {
        HMODULE module = ::LoadLibraryW(dll);
        if (module == nullptr) return 20;
        // Nothing but the module's own bookkeeping happened under the loader lock.
        // (winhttp.dll, once loaded by a first call, stays for the process.)
        if (i == 0 && WinHttpLoaded()) return 21;
        if (NamedObjectsExist()) return 22;
        {
            ComPtr<IQnTessary> root = CreateRoot(module);
            if (!root) return 23;
            // The first call started the module, outside the loader lock.
            if (!WinHttpLoaded()) return 24;
            if (!NamedObjectsExist()) return 25;
            ComPtr<IQnTessaryAppEntry> entry;
            LONG result = -1;
            if (root->GetApplicationInterface(&entry, &result) != S_OK) return 26;
            ComPtr<IQnTessaryAppDetails> details;
            if (entry->GetApplicationDetails(L"C:\\Cycle\\App.exe", L"0123456789ABCDEF0123456789ABCDEF", 1, &details,
                                             &result) != S_OK) {
                return 27;
            }
        }
        ::FreeLibrary(module);
        if (::GetModuleHandleW(name) != nullptr) return 28;
        // The unload closed the process's objects again.
        if (NamedObjectsExist()) return 29;
    }
    return 0;
}

int ExitInFlight(const wchar_t* dll) {
    HMODULE module = ::LoadLibraryW(dll);
    if (module == nullptr) return 30;
    ComPtr<IQnTessary> root = CreateRoot(module);
    if (!root) return 31;
    ComPtr<IQnTessaryAppEntry> entry;
    LONG result = -1;
    if (root->GetApplicationInterface(&entry, &result) != S_OK) return 32;
    std::atomic<long> lookups{0};
    IQnTessaryAppEntry* shared = entry.Get();
    for (int t = 0; t < 4; ++t) {
        // Never joined: the process ends under them.
        std::thread([shared, t, &lookups] {
            wchar_t hash[33] = {};
            for (unsigned n = 0;; ++n) {
                std::swprintf(hash, 33, L"%08X%08X0123456789ABCDEF", static_cast<unsigned>(t), n);
                ComPtr<IQnTessaryAppDetails> details;
                LONG found = -1;
                shared->GetApplicationDetails(L"C:\\InFlight\\App.exe", hash, 1, &details, &found);
                ++lookups;
            }
        }).detach();
    }
    while (lookups.load() < 50) ::Sleep(5);
    // Ends the process with the lookup threads in the module's locks and caches.
    ::ExitProcess(0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 3;
    if (argc >= 4 && std::wcscmp(argv[1], L"cycle") == 0)
        return Cycle(argv[2], static_cast<int>(std::wcstol(argv[3], nullptr, 10)));
    if (argc >= 3 && std::wcscmp(argv[1], L"exit") == 0) return ExitInFlight(argv[2]);
    return 2;
}
