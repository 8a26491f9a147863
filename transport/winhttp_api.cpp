#include "transport/winhttp_api.h"

#include <atomic>
#include <mutex>

#include "platform/paths.h"
#include "platform/srw_lock.h"
#include "platform/unique_resource.h"
#include "transport/kept_registry_key.h"

namespace tessary::winhttp {
namespace {

enum Function {
    kCrackUrl,
    kOpen,
    kSetTimeouts,
    kConnect,
    kOpenRequest,
    kGetProxyForUrl,
    kSetOption,
    kSendRequest,
    kReceiveResponse,
    kQueryHeaders,
    kReadData,
    kCloseHandle,
    kQueryDataAvailable,
    kFunctionCount
};

constexpr const char* kFunctionNames[kFunctionCount] = {
    "WinHttpCrackUrl",           "WinHttpOpen",           "WinHttpSetTimeouts", "WinHttpConnect",
    "WinHttpOpenRequest",        "WinHttpGetProxyForUrl", "WinHttpSetOption",   "WinHttpSendRequest",
    "WinHttpReceiveResponse",    "WinHttpQueryHeaders",   "WinHttpReadData",    "WinHttpCloseHandle",
    "WinHttpQueryDataAvailable",
};

// Trivially destructible (platform/no_destructor.h).
SrwMutex g_loadLock;
std::atomic<HMODULE> g_module{nullptr};
std::atomic<FARPROC> g_functions[kFunctionCount];

// The bound function, looked up on first use; null (last error set) when missing.
template <typename Fn>
Fn Bind(Function which) noexcept {
    FARPROC proc = g_functions[which].load(std::memory_order_acquire);
    if (proc == nullptr) {
        HMODULE module = g_module.load(std::memory_order_acquire);
        if (module == nullptr) {
            ::SetLastError(ERROR_PROC_NOT_FOUND);
            return nullptr;
        }
        proc = BindProc<FARPROC>(module, kFunctionNames[which]);
        if (proc == nullptr) return nullptr;
        g_functions[which].store(proc, std::memory_order_release);
    }
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

}  // namespace

bool Load() noexcept {
    std::lock_guard<SrwMutex> lock(g_loadLock);
    if (g_module.load() != nullptr) return true;
    HMODULE module = LoadSystemLibrary(L"winhttp.dll");
    if (module == nullptr) module = ::LoadLibraryW(L"winhttp.dll");
    g_module.store(module, std::memory_order_release);
    return module != nullptr;
}

void Unload() noexcept {
    std::lock_guard<SrwMutex> lock(g_loadLock);
    const UniqueModule module(g_module.exchange(nullptr));
    for (auto& function : g_functions) function.store(nullptr);
    CloseKeptRegistryKeys();
}

bool Available() noexcept { return g_module.load(std::memory_order_acquire) != nullptr; }

UniqueModule Pin() noexcept {
    std::lock_guard<SrwMutex> lock(g_loadLock);
    HMODULE module = g_module.load();
    HMODULE pinned = nullptr;
    if (module != nullptr) {
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(module), &pinned);
    }
    return UniqueModule(pinned);
}

BOOL CrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, URL_COMPONENTS* components) noexcept {
    auto fn = Bind<decltype(&::WinHttpCrackUrl)>(kCrackUrl);
    return fn ? fn(url, urlLength, flags, components) : FALSE;
}

HINTERNET Open(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) noexcept {
    auto fn = Bind<decltype(&::WinHttpOpen)>(kOpen);
    return fn ? fn(agent, accessType, proxy, bypass, flags) : nullptr;
}

BOOL SetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive) noexcept {
    auto fn = Bind<decltype(&::WinHttpSetTimeouts)>(kSetTimeouts);
    return fn ? fn(handle, resolve, connect, send, receive) : FALSE;
}

HINTERNET Connect(HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved) noexcept {
    auto fn = Bind<decltype(&::WinHttpConnect)>(kConnect);
    return fn ? fn(session, server, port, reserved) : nullptr;
}

HINTERNET OpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version, LPCWSTR referrer,
                      LPCWSTR* acceptTypes, DWORD flags) noexcept {
    auto fn = Bind<decltype(&::WinHttpOpenRequest)>(kOpenRequest);
    return fn ? fn(connection, verb, objectName, version, referrer, acceptTypes, flags) : nullptr;
}

BOOL GetProxyForUrl(HINTERNET session, LPCWSTR url, WINHTTP_AUTOPROXY_OPTIONS* options,
                    WINHTTP_PROXY_INFO* proxyInfo) noexcept {
    auto fn = Bind<decltype(&::WinHttpGetProxyForUrl)>(kGetProxyForUrl);
    return fn ? fn(session, url, options, proxyInfo) : FALSE;
}

BOOL SetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) noexcept {
    auto fn = Bind<decltype(&::WinHttpSetOption)>(kSetOption);
    return fn ? fn(handle, option, buffer, length) : FALSE;
}

BOOL SendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional, DWORD optionalLength,
                 DWORD totalLength, DWORD_PTR context) noexcept {
    auto fn = Bind<decltype(&::WinHttpSendRequest)>(kSendRequest);
    return fn ? fn(request, headers, headersLength, optional, optionalLength, totalLength, context) : FALSE;
}

BOOL ReceiveResponse(HINTERNET request, LPVOID reserved) noexcept {
    auto fn = Bind<decltype(&::WinHttpReceiveResponse)>(kReceiveResponse);
    return fn ? fn(request, reserved) : FALSE;
}

BOOL QueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer, LPDWORD length,
                  LPDWORD index) noexcept {
    auto fn = Bind<decltype(&::WinHttpQueryHeaders)>(kQueryHeaders);
    return fn ? fn(request, infoLevel, name, buffer, length, index) : FALSE;
}

BOOL ReadData(HINTERNET request, LPVOID buffer, DWORD toRead, LPDWORD read) noexcept {
    auto fn = Bind<decltype(&::WinHttpReadData)>(kReadData);
    return fn ? fn(request, buffer, toRead, read) : FALSE;
}

BOOL QueryDataAvailable(HINTERNET request, LPDWORD available) noexcept {
    auto fn = Bind<decltype(&::WinHttpQueryDataAvailable)>(kQueryDataAvailable);
    return fn ? fn(request, available) : FALSE;
}

BOOL CloseHandle(HINTERNET handle) noexcept {
    auto fn = Bind<decltype(&::WinHttpCloseHandle)>(kCloseHandle);
    return fn ? fn(handle) : FALSE;
}

}  // namespace tessary::winhttp
