#include "transport/service_exchange.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "platform/module_thread.h"
#include "platform/no_destructor.h"
#include "platform/srw_lock.h"
#include "platform/unique_resource.h"
#include "store/named_objects.h"
#include "store/reader_writer.h"
#include "store/settings.h"
#include "transport/kept_registry_key.h"
#include "transport/winhttp_api.h"

namespace tessary {
namespace {

// The most body bytes asked for in one read: the buffer grows with what arrives,
// so a Content-Length the connection never delivers costs no memory.
constexpr DWORD kReadChunk = 64 * 1024;

// Time-outs kept once the settings were read. Two first exchanges may both read
// the settings; they store the same values.
std::atomic<bool> g_timeoutsKept{false};
std::atomic<DWORD> g_connectTimeout{kDefaultServiceTimeout};
std::atomic<DWORD> g_sendTimeout{kDefaultServiceTimeout};
std::atomic<DWORD> g_receiveTimeout{kDefaultServiceTimeout};

// Holds one of the process's exchange slots from a successful wait to the end of scope.
class ExchangeSlot {
public:
    ExchangeSlot() : semaphore_(ProcessObjects().serverSem.get()) {
        held_ = semaphore_ == nullptr || WaitForever(semaphore_);
    }
    ~ExchangeSlot() {
        if (held_ && semaphore_ != nullptr) ::ReleaseSemaphore(semaphore_, 1, nullptr);
    }
    ExchangeSlot(const ExchangeSlot&) = delete;
    ExchangeSlot& operator=(const ExchangeSlot&) = delete;

    bool held() const { return held_; }

private:
    HANDLE semaphore_;
    bool held_ = false;
};

// A REG_SZ of at most kMaxProxyValueChars characters; empty otherwise.
std::wstring ProxyText(const KeptRegistryKey::Value& value) {
    if (!value.present || value.type != REG_SZ) return {};
    std::wstring text(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / sizeof(wchar_t));
    text.resize(wcsnlen(text.c_str(), text.size()));
    if (text.size() > kMaxProxyValueChars) return {};
    return text;
}

// What proxy discovery (automatic detection, then the configuration script) gave
// for one URL host under one set of proxy settings.
struct DiscoveredProxy {
    std::wstring host;
    std::optional<DWORD> autoDetect;  // the settings the answer was found under
    std::wstring autoConfigUrl;
    ULONGLONG foundAt = 0;  // GetTickCount64
    bool found = false;     // false: neither way named a proxy
    DWORD accessType = 0;
    std::wstring proxy;
    std::wstring bypass;
};

// Discovery costs a network round (DHCP, DNS, script download) and, on a machine
// without the answering services, seconds of time-outs: its answer is kept per
// process for 15 minutes per URL host, including "none found". A change of the
// detection or script setting misses the cache and discovers anew.
constexpr ULONGLONG kProxyCacheMs = 15 * 60 * 1000;
constexpr size_t kProxyCacheHosts = 16;
// Never destroyed (platform/no_destructor.h): this code runs in the component server.
SrwMutex g_proxyCacheLock;
NoDestructor<std::vector<DiscoveredProxy>> g_proxyCache;

// Asks WinHTTP for the proxy of `url` by `options`; true with *out filled when it names one.
bool DiscoverProxy(HINTERNET session, const wchar_t* url, WINHTTP_AUTOPROXY_OPTIONS* options, DiscoveredProxy* out) {
    WINHTTP_PROXY_INFO info{};
    const bool found = winhttp::GetProxyForUrl(session, url, options, &info);
    // WinHTTP hands out the proxy strings in global memory.
    const UniqueGlobalMemory proxy(info.lpszProxy);
    const UniqueGlobalMemory bypass(info.lpszProxyBypass);
    if (!found) return false;
    out->found = true;
    out->accessType = info.dwAccessType;
    out->proxy = info.lpszProxy != nullptr ? info.lpszProxy : L"";
    out->bypass = info.lpszProxyBypass != nullptr ? info.lpszProxyBypass : L"";
    return true;
}

// The discovery answer for `url` under `settings`: from the cache while fresh,
// else found now (outside the lock: discovery can take seconds) and kept.
DiscoveredProxy Discover(HINTERNET session, const wchar_t* url, const ProxyRegistrySettings& settings) {
    DiscoveredProxy answer;
    ExchangeTarget target;
    if (CrackServiceUrl(url, &target)) answer.host = target.host;
    answer.autoDetect = settings.autoDetect;
    answer.autoConfigUrl = settings.autoConfigUrl;
    const ULONGLONG now = ::GetTickCount64();
    {
        std::lock_guard<SrwMutex> lock(g_proxyCacheLock);
        for (const DiscoveredProxy& kept : *g_proxyCache) {
            if (!answer.host.empty() && _wcsicmp(kept.host.c_str(), answer.host.c_str()) == 0 &&
                kept.autoDetect == answer.autoDetect && kept.autoConfigUrl == answer.autoConfigUrl &&
                now - kept.foundAt < kProxyCacheMs) {
                return kept;
            }
        }
    }
    bool found = false;
    if (settings.autoDetect == 1u) {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        options.fAutoLogonIfChallenged = TRUE;
        found = DiscoverProxy(session, url, &options, &answer);
    }
    if (!found && !settings.autoConfigUrl.empty()) {
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = settings.autoConfigUrl.c_str();
        options.fAutoLogonIfChallenged = TRUE;
        DiscoverProxy(session, url, &options, &answer);
    }
    answer.foundAt = ::GetTickCount64();
    if (!answer.host.empty()) {
        std::lock_guard<SrwMutex> lock(g_proxyCacheLock);
        std::vector<DiscoveredProxy>& cache = *g_proxyCache;
        auto slot = cache.end();
        for (auto it = cache.begin(); it != cache.end(); ++it) {
            if (_wcsicmp(it->host.c_str(), answer.host.c_str()) == 0) slot = it;
        }
        if (slot == cache.end() && cache.size() >= kProxyCacheHosts) {
            slot = cache.begin();
            for (auto it = cache.begin(); it != cache.end(); ++it) {
                if (it->foundAt < slot->foundAt) slot = it;
            }
        }
        if (slot == cache.end()) {
            cache.push_back(answer);
        } else {
            *slot = answer;
        }
    }
    return answer;
}

// Proxy choice, first success wins: automatic detection, configuration script
// (both through the discovery cache), fixed list. Failures only move on; without
// a choice the request keeps the session's access type.
void ChooseProxy(HINTERNET session, HINTERNET request, const wchar_t* url) {
    const ProxyRegistrySettings settings = ReadProxyRegistrySettings();
    if (settings.autoDetect == 1u || !settings.autoConfigUrl.empty()) {
        DiscoveredProxy discovered = Discover(session, url, settings);
        if (discovered.found) {
            WINHTTP_PROXY_INFO info{};
            info.dwAccessType = discovered.accessType;
            info.lpszProxy = discovered.proxy.empty() ? nullptr : discovered.proxy.data();
            info.lpszProxyBypass = discovered.bypass.empty() ? nullptr : discovered.bypass.data();
            if (winhttp::SetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof(info))) return;
        }
    }
    if (!settings.serverList.empty()) {
        std::wstring list = settings.serverList;
        std::wstring bypass = settings.bypassList;
        WINHTTP_PROXY_INFO info{};
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        info.lpszProxy = list.data();
        info.lpszProxyBypass = bypass.empty() ? nullptr : bypass.data();
        winhttp::SetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof(info));
    }
}

// Records a failed step with the thread's last error; returns false for the caller to pass on.
bool FailedAt(ExchangeStep step, ExchangeStatus* status) {
    status->step = step;
    status->error = ::GetLastError();
    return false;
}

// Reads the body of an answer with a Content-Length of `announced` bytes.
// Stops at the announced length, at a read of 0 bytes or at a failed read.
void ReadBody(HINTERNET request, DWORD announced, std::string* body) {
    body->reserve(announced < kReadChunk ? announced : kReadChunk);
    size_t total = 0;
    while (total < announced) {
        const DWORD missing = static_cast<DWORD>(announced - total);
        const DWORD ask = missing < kReadChunk ? missing : kReadChunk;
        body->resize(total + ask);
        DWORD got = 0;
        if (!winhttp::ReadData(request, body->data() + total, ask, &got) || got == 0) break;
        total += got < ask ? got : ask;
    }
    body->resize(total);
}

// Where a bounded download's body goes, and how the download ended.
struct BodyStream {
    const DownloadSink* sink = nullptr;
    uint64_t maxBytes = 0;
    ULONGLONG deadline = 0;  // GetTickCount64 value
    DownloadOutcome outcome = DownloadOutcome::kFailed;
    uint64_t received = 0;  // bytes the sink took
};

// Hands the body of an answer with a Content-Length of `announced` bytes to the
// stream's sink, read by read, while the deadline has not passed.
void StreamBody(HINTERNET request, DWORD announced, BodyStream* stream) {
    if (announced > stream->maxBytes) {
        stream->outcome = DownloadOutcome::kTooLarge;
        return;
    }
    std::vector<char> buffer(announced < kReadChunk ? announced : kReadChunk);
    uint64_t total = 0;
    while (total < announced) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= stream->deadline) {
            stream->outcome = DownloadOutcome::kDeadline;
            return;
        }
        // No single wait for bytes may reach past the deadline either.
        DWORD left = static_cast<DWORD>(stream->deadline - now < 0xFFFFFFF0u ? stream->deadline - now : 0xFFFFFFF0u);
        winhttp::SetOption(request, WINHTTP_OPTION_RECEIVE_TIMEOUT, &left, sizeof(left));
        // Only what is there already is read, so that a read returns with the bytes
        // that came instead of waiting for a whole buffer a trickle never fills.
        DWORD available = 0;
        if (!winhttp::QueryDataAvailable(request, &available) || available == 0) {
            stream->outcome = DownloadOutcome::kFailed;
            return;
        }
        const uint64_t missing = announced - total;
        DWORD ask = missing < buffer.size() ? static_cast<DWORD>(missing) : static_cast<DWORD>(buffer.size());
        if (available < ask) ask = available;
        DWORD got = 0;
        if (!winhttp::ReadData(request, buffer.data(), ask, &got) || got == 0) {
            stream->outcome = DownloadOutcome::kFailed;
            return;
        }
        if (got > ask) got = ask;
        if (!(*stream->sink)(buffer.data(), got)) {
            stream->outcome = DownloadOutcome::kRefusedBySink;
            return;
        }
        total += got;
        stream->received = total;
    }
    stream->outcome = DownloadOutcome::kComplete;
}

// Chooses the proxy, sends the request (connecting first) and waits for the
// answer's headers; false with the last error when any of it fails.
bool ChooseProxyAndSend(HINTERNET session, HINTERNET request, const wchar_t* url, const void* body, DWORD bodyLength) {
    ChooseProxy(session, request, url);
    const bool post = body != nullptr && bodyLength != 0;
    void* optional = post ? const_cast<void*>(body) : WINHTTP_NO_REQUEST_DATA;
    const DWORD optionalLength = post ? bodyLength : 0;
    return winhttp::SendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, optional, optionalLength, optionalLength,
                                0) &&
           winhttp::ReceiveResponse(request, nullptr);
}

// What a download's sending thread and the exchange that waits for it share.
// Proxy discovery, connect, send and the headers are blocking WinHTTP calls
// whose time-outs apply per wait, not in total: a server that sends one header
// line within every receive time-out holds ReceiveResponse for as long as it
// likes. So a download runs them on a thread of its own and waits for that
// thread only until its deadline. At the deadline the exchange closes the
// request handle (on Windows that ends the blocking call) and leaves; the
// thread never touches the request handle again after its call returns, and
// whichever side lets go last closes the session and connection.
struct PendingSend {
    std::mutex lock;
    UniqueWinHttp session;
    UniqueWinHttp connection;
    UniqueWinHttp request;
    std::wstring url;
    UniqueHandle done;  // manual reset, set when the thread's calls have returned
    bool finished = false;
    bool sent = false;
    DWORD error = 0;
};

class SendJob final : public ThreadJob {
public:
    explicit SendJob(std::shared_ptr<PendingSend> pending) : pin_(winhttp::Pin()), pending_(std::move(pending)) {}
    unsigned Run() noexcept override {
        PendingSend& p = *pending_;
        const bool sent = ChooseProxyAndSend(p.session.get(), p.request.get(), p.url.c_str(), nullptr, 0);
        const DWORD error = ::GetLastError();
        const std::lock_guard<std::mutex> hold(p.lock);
        p.finished = true;
        p.sent = sent;
        p.error = error;
        ::SetEvent(p.done.get());
        return 0;
    }

private:
    // Declared first, so released last: the library stays loaded until this
    // thread's share of the handles is closed, even when the pass ended and
    // unloaded it meanwhile.
    UniqueModule pin_;
    std::shared_ptr<PendingSend> pending_;
};

// Sends a download's request and waits for its headers until `deadline`
// (GetTickCount64). The three handles move to the sending thread and come back
// when it finished in time. False with the last error when sending failed, or
// with ERROR_TIMEOUT (the request handle closed, the others left to the thread)
// when the deadline passed first.
bool SendWithinDeadline(const wchar_t* url, UniqueWinHttp* session, UniqueWinHttp* connection, UniqueWinHttp* request,
                        ULONGLONG deadline) {
    auto pending = std::make_shared<PendingSend>();
    pending->url = url;
    pending->done.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pending->done) return false;
    pending->session = std::move(*session);
    pending->connection = std::move(*connection);
    pending->request = std::move(*request);
    auto giveBack = [&] {
        *session = std::move(pending->session);
        *connection = std::move(pending->connection);
        *request = std::move(pending->request);
    };
    if (!StartWorkerThread(std::make_unique<SendJob>(pending), true)) {
        const DWORD error = ::GetLastError();
        giveBack();
        ::SetLastError(error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    const ULONGLONG now = ::GetTickCount64();
    const ULONGLONG left = deadline > now ? deadline - now : 0;
    ::WaitForSingleObject(pending->done.get(), left < 0xFFFFFFF0u ? static_cast<DWORD>(left) : 0xFFFFFFF0u);
    const std::lock_guard<std::mutex> hold(pending->lock);
    if (!pending->finished) {
        winhttp::CloseHandle(pending->request.Take());
        ::SetLastError(ERROR_TIMEOUT);
        return false;
    }
    giveBack();
    ::SetLastError(pending->error);
    return pending->sent;
}

bool QueryNumberHeader(HINTERNET request, DWORD query, DWORD* value) {
    DWORD size = sizeof(*value);
    return winhttp::QueryHeaders(request, query | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX, value, &size,
                                 WINHTTP_NO_HEADER_INDEX) != FALSE;
}

bool Exchange(const wchar_t* url, const void* body, DWORD bodyLength, std::string* response, bool* complete,
              ExchangeStatus* status, BodyStream* stream = nullptr) {
    *status = ExchangeStatus();
    if (url == nullptr) return false;
    if (!winhttp::Available()) return FailedAt(ExchangeStep::kNoTransport, status);
    ExchangeTarget target;
    if (!CrackServiceUrl(url, &target)) return false;

    // Declared before the slot, so the slot is given back before the handles close.
    UniqueWinHttp session;
    UniqueWinHttp connection;
    UniqueWinHttp request;
    ExchangeSlot slot;
    if (!slot.held()) return FailedAt(ExchangeStep::kNoSlot, status);

    const bool post = body != nullptr && bodyLength != 0;
    session.reset(winhttp::Open(kServiceUserAgent,
                                post ? WINHTTP_ACCESS_TYPE_DEFAULT_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY,
                                WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session) return FailedAt(ExchangeStep::kOpen, status);
    // A time-out the platform refuses leaves its own default in place; the
    // exchange still goes ahead.
    ServiceTimeouts timeouts = ExchangeTimeouts();
    if (stream != nullptr) {
        // A download is bounded by its deadline: no single wait may outlast it
        // (a time-out of 0 or all bits set means no limit to WinHTTP).
        const DWORD bound = DownloadDeadlineMs(timeouts);
        for (DWORD* value : {&timeouts.connect, &timeouts.send, &timeouts.receive}) {
            if (*value == 0 || *value > bound) *value = bound;
        }
    }
    winhttp::SetTimeouts(session.get(), static_cast<int>(timeouts.resolve), static_cast<int>(timeouts.connect),
                         static_cast<int>(timeouts.send), static_cast<int>(timeouts.receive));
    connection.reset(winhttp::Connect(session.get(), target.host.c_str(), target.port, 0));
    if (!connection) return FailedAt(ExchangeStep::kOpen, status);
    request.reset(winhttp::OpenRequest(connection.get(), post ? L"POST" : L"GET", target.objectName.c_str(), nullptr,
                                       WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, target.requestFlags));
    if (!request) return FailedAt(ExchangeStep::kOpen, status);

    if (stream != nullptr) {
        if (!SendWithinDeadline(url, &session, &connection, &request, stream->deadline)) {
            if (::GetLastError() == ERROR_TIMEOUT) stream->outcome = DownloadOutcome::kDeadline;
            return FailedAt(ExchangeStep::kSend, status);
        }
    } else if (!ChooseProxyAndSend(session.get(), request.get(), url, body, bodyLength)) {
        return FailedAt(ExchangeStep::kSend, status);
    }

    DWORD httpStatus = 0;
    const bool success = QueryNumberHeader(request.get(), WINHTTP_QUERY_STATUS_CODE, &httpStatus) &&
                         httpStatus >= 200 && httpStatus <= 299;
    status->step = ExchangeStep::kAnswered;
    status->httpStatus = httpStatus;
    DWORD contentLength = 0;
    if (!QueryNumberHeader(request.get(), WINHTTP_QUERY_CONTENT_LENGTH, &contentLength)) {
        return FailedAt(ExchangeStep::kNoLength, status);
    }
    status->announced = contentLength;

    if (stream != nullptr) {
        // A download's body is wanted only with a success status.
        if (success) StreamBody(request.get(), contentLength, stream);
        status->received = stream->received;
        return success;
    }

    std::string received;
    ReadBody(request.get(), contentLength, &received);
    status->received = received.size();
    if (complete != nullptr) *complete = received.size() == contentLength;
    if (response != nullptr) response->swap(received);
    return success;
}

}  // namespace

bool ServiceExchange(const wchar_t* url, const void* body, DWORD bodyLength, std::string* response, bool* complete,
                     ExchangeStatus* status) noexcept {
    if (complete != nullptr) *complete = false;
    ExchangeStatus ignored;
    ExchangeStatus* out = status != nullptr ? status : &ignored;
    try {
        return Exchange(url, body, bodyLength, response, complete, out);
    } catch (const std::bad_alloc&) {
        if (complete != nullptr) *complete = false;
        out->step = ExchangeStep::kOutOfMemory;
        out->error = ERROR_OUTOFMEMORY;
        return false;
    }
}

bool DownloadWhole(const wchar_t* url, std::string* response, ExchangeStatus* status) noexcept {
    bool complete = false;
    return ServiceExchange(url, nullptr, 0, response, &complete, status) && complete;
}

std::wstring DescribeExchange(const ExchangeStatus& status) {
    wchar_t text[160];
    const auto error = static_cast<unsigned long>(status.error);
    switch (status.step) {
        case ExchangeStep::kAnswered:
            if (status.httpStatus < 200 || status.httpStatus > 299) {
                std::swprintf(text, std::size(text), L"HTTP status %lu", static_cast<unsigned long>(status.httpStatus));
            } else if (status.received < status.announced) {
                std::swprintf(text, std::size(text), L"the body ended after %llu of %llu bytes",
                              static_cast<unsigned long long>(status.received),
                              static_cast<unsigned long long>(status.announced));
            } else {
                std::swprintf(text, std::size(text), L"HTTP status %lu, %llu bytes",
                              static_cast<unsigned long>(status.httpStatus),
                              static_cast<unsigned long long>(status.received));
            }
            return text;
        case ExchangeStep::kBadUrl:
            return L"the URL lacks a scheme, host or path";
        case ExchangeStep::kNoTransport:
            return L"the HTTP library is not loaded";
        case ExchangeStep::kNoSlot:
            std::swprintf(text, std::size(text), L"no exchange slot: error %lu", error);
            return text;
        case ExchangeStep::kOpen:
            std::swprintf(text, std::size(text), L"the connection could not be opened: error %lu", error);
            return text;
        case ExchangeStep::kSend:
            std::swprintf(text, std::size(text), L"no answer: error %lu", error);
            return text;
        case ExchangeStep::kNoLength:
            std::swprintf(text, std::size(text), L"HTTP status %lu without a Content-Length",
                          static_cast<unsigned long>(status.httpStatus));
            return text;
        case ExchangeStep::kOutOfMemory:
            return L"out of memory";
    }
    return L"failed";
}

DWORD DownloadDeadlineMs(const ServiceTimeouts& timeouts) noexcept {
    return DownloadDeadlineMs(timeouts.connect, timeouts.send, timeouts.receive);
}

DownloadOutcome DownloadBounded(const wchar_t* url, const DownloadSink& sink, uint64_t maxBytes,
                                ExchangeStatus* status) noexcept {
    BodyStream stream;
    stream.sink = &sink;
    stream.maxBytes = maxBytes;
    stream.deadline = ::GetTickCount64() + DownloadDeadlineMs(ExchangeTimeouts());
    ExchangeStatus ignored;
    ExchangeStatus* out = status != nullptr ? status : &ignored;
    try {
        Exchange(url, nullptr, 0, nullptr, nullptr, out, &stream);
    } catch (const std::bad_alloc&) {
        out->step = ExchangeStep::kOutOfMemory;
        out->error = ERROR_OUTOFMEMORY;
        return DownloadOutcome::kFailed;
    }
    return stream.outcome;
}

ServiceTimeouts ExchangeTimeouts() noexcept {
    ServiceTimeouts timeouts;
    if (!g_timeoutsKept.load(std::memory_order_acquire)) {
        tagQNTS_FIREWALL_SETTINGS settings;
        std::memset(&settings, 0xFF, sizeof(settings));
        if (!ReadServiceSettings(&settings)) return timeouts;
        g_connectTimeout.store(settings.pdwConnectTimeout, std::memory_order_relaxed);
        g_sendTimeout.store(settings.pdwSendTimeout, std::memory_order_relaxed);
        g_receiveTimeout.store(settings.pdwReceiveTimeout, std::memory_order_relaxed);
        g_timeoutsKept.store(true, std::memory_order_release);
    }
    timeouts.connect = g_connectTimeout.load(std::memory_order_relaxed);
    timeouts.send = g_sendTimeout.load(std::memory_order_relaxed);
    timeouts.receive = g_receiveTimeout.load(std::memory_order_relaxed);
    return timeouts;
}

void ResetProxyCacheForTesting() noexcept {
    std::lock_guard<SrwMutex> lock(g_proxyCacheLock);
    g_proxyCache->clear();
}

void ResetExchangeTimeoutsForTesting() noexcept { g_timeoutsKept.store(false, std::memory_order_release); }

ProxyRegistrySettings ReadProxyRegistrySettings() {
    // Read afresh for every exchange, through the key the process keeps open.
    KeptRegistryKey::Value values[4];
    values[0].name = kAutoDetectProxyValue;
    values[1].name = kAutoConfigUrlValue;
    values[2].name = kProxyServerListValue;
    values[3].name = kProxyBypassListValue;
    ProxySettingsRegistryKey().ReadAll(values, 4);

    ProxyRegistrySettings settings;
    const KeptRegistryKey::Value& autoDetect = values[0];
    if (autoDetect.present && autoDetect.type == REG_DWORD && autoDetect.data.size() == sizeof(DWORD)) {
        DWORD number = 0;
        std::memcpy(&number, autoDetect.data.data(), sizeof(number));
        if (number <= 1) settings.autoDetect = number;
    }
    settings.autoConfigUrl = ProxyText(values[1]);
    settings.serverList = ProxyText(values[2]);
    settings.bypassList = ProxyText(values[3]);
    return settings;
}

bool CrackServiceUrl(const wchar_t* url, ExchangeTarget* target) {
    if (url == nullptr || target == nullptr) return false;
    URL_COMPONENTS parts;
    static_assert(sizeof(parts) == 104, "the structure size WinHTTP expects on 64-bit Windows");
    std::memset(&parts, 0, sizeof(parts));
    parts.dwStructSize = sizeof(parts);
    // Non-zero lengths with null buffers ask for pointers into the URL.
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!winhttp::CrackUrl(url, 0, 0, &parts)) return false;
    if (parts.lpszHostName == nullptr || parts.dwHostNameLength == 0 || parts.lpszUrlPath == nullptr ||
        parts.dwUrlPathLength == 0) {
        return false;
    }
    ExchangeTarget result;
    result.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    result.port = parts.nPort;
    result.objectName.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
    if (parts.lpszExtraInfo != nullptr) result.objectName.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    result.requestFlags = WINHTTP_FLAG_REFRESH | (parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    *target = std::move(result);
    return true;
}

}  // namespace tessary
