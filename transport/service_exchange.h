#pragma once

// The one HTTP exchange both deliverables have with the reputation service: one
// synchronous request through WinHTTP (transport/winhttp_api.h; winhttp::Load()
// must have succeeded), the whole response body back in memory. At most
// names::kMaxServiceExchanges exchanges run at once in a process, counted by the
// process's server semaphore (store/named_objects.h); without that semaphore
// exchanges are not limited.

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "transport/download_deadline.h"

namespace tessary {

// User agent of every exchange.
inline constexpr wchar_t kServiceUserAgent[] = L"Lodanv";
// Registry key (HKEY_LOCAL_MACHINE) and values of the proxy choice.
inline constexpr wchar_t kProxySettingsKey[] = L"SOFTWARE\\Quellon\\Varo\\Update\\WinHTTP";
inline constexpr wchar_t kAutoDetectProxyValue[] = L"AutoDetectProxySettings";
inline constexpr wchar_t kAutoConfigUrlValue[] = L"AutoConfigUrl";
inline constexpr wchar_t kProxyServerListValue[] = L"ProxyServerList";
inline constexpr wchar_t kProxyBypassListValue[] = L"ProxyBypassList";
// Longest text value of the proxy choice, in characters without terminator.
inline constexpr size_t kMaxProxyValueChars = 259;

// Where an exchange stopped, for the log lines of its callers.
enum class ExchangeStep {
    kAnswered,     // the service answered (see httpStatus; the body may still be short)
    kBadUrl,       // no URL, or one without scheme, host or path
    kNoTransport,  // the HTTP library is not loaded
    kNoSlot,       // the process's exchange slot could not be waited for
    kOpen,         // the session, connection or request could not be opened
    kSend,         // sending the request or receiving the answer's headers failed
    kNoLength,     // the answer carries no Content-Length header
    kOutOfMemory,  // memory for the answer could not be had
};

struct ExchangeStatus {
    ExchangeStep step = ExchangeStep::kBadUrl;
    DWORD error = 0;         // the system error of a failed step (WinHTTP's ERROR_WINHTTP_* codes), else 0
    DWORD httpStatus = 0;    // the answer's status code once the service answered
    uint64_t announced = 0;  // the answer's Content-Length
    uint64_t received = 0;   // body bytes that arrived
};

// One line for logs: "HTTP status 404", "no answer: error 12029 while sending",
// "the body ended after 10 of 200 bytes", ...
std::wstring DescribeExchange(const ExchangeStatus& status);

// Sends one request to `url` (scheme, host and path required) and reads the answer.
// The method is POST with `body` when body is non-null and bodyLength non-zero,
// otherwise GET without a body; https URLs are sent secure.
// Returns true when the service answered with a status from 200 to 299.
// The body is read whenever the answer carries a Content-Length header, also with
// another status: *response then receives the bytes that arrived (at most the
// announced length; fewer when the connection ends early) and its c_str() ends
// them with a zero byte. Without a Content-Length header, or when the request
// fails, the result is false and *response is untouched. A null `response`
// discards the body. Never throws; no call waits longer than the time-outs.
// `complete` (optional) tells whether the whole announced body arrived: false
// when the connection ended or stalled early, or when the request failed. A
// caller that stores the body as a file must not take a partial one.
// `status` (optional) receives where the exchange stopped and why.
bool ServiceExchange(const wchar_t* url, const void* body, DWORD bodyLength, std::string* response,
                     bool* complete = nullptr, ExchangeStatus* status = nullptr) noexcept;

// A download: true only when the service answered with a success status and the
// whole announced body arrived into *response. `status` as for ServiceExchange.
bool DownloadWhole(const wchar_t* url, std::string* response, ExchangeStatus* status = nullptr) noexcept;

// Time-outs set on every exchange's session, in milliseconds.
struct ServiceTimeouts {
    DWORD resolve = kDefaultServiceTimeout;
    DWORD connect = kDefaultServiceTimeout;
    DWORD send = kDefaultServiceTimeout;
    DWORD receive = kDefaultServiceTimeout;
};

// The time-outs the next exchange uses. Once the service settings have been read,
// their connect, send and receive time-outs are kept for the life of the process
// (one missing from the settings stays all bits set and is passed on unchanged).
// Until then each call reads the settings again and, when there are none, gives
// kDefaultServiceTimeout for all four.
ServiceTimeouts ExchangeTimeouts() noexcept;

// Forgets the kept time-outs, so the next exchange reads the settings again.
void ResetExchangeTimeoutsForTesting() noexcept;

// Forgets every kept proxy discovery answer (kept 15 minutes per URL host and
// proxy detection/script setting), so the next exchange discovers anew.
void ResetProxyCacheForTesting() noexcept;

// How a bounded download ended.
enum class DownloadOutcome {
    kComplete,       // success status, and every announced byte reached the sink
    kFailed,         // no exchange, an error status, no Content-Length, or the body ended early
    kTooLarge,       // the announced length exceeds the caller's cap
    kDeadline,       // the headers or the body had not arrived when the download's deadline passed
    kRefusedBySink,  // the sink returned false (it could not store the bytes)
};

// Receives a download's body in the order it arrives, in pieces of any size;
// returns false to stop the download.
using DownloadSink = std::function<bool(const char* bytes, size_t count)>;

// The whole time one download may take with `timeouts`: DownloadDeadlineMs of
// its connect, send and receive time-outs (transport/download_deadline.h).
DWORD DownloadDeadlineMs(const ServiceTimeouts& timeouts) noexcept;

// A GET of `url` whose body goes to `sink` as it arrives instead of into memory,
// bounded in size and time: an announced length above `maxBytes` is refused
// before any byte is read, and the body must have arrived within
// DownloadDeadlineMs(ExchangeTimeouts()) of the call, from the first connect to
// the last byte: proxy choice, connect, send and the headers run on a thread of
// their own that the call waits for only until the deadline (a server that
// trickles header lines cannot hold it), the deadline is checked before each
// body read, and no single wait for bytes reaches past it. The body of an error
// status is not handed to the sink. `status` as for ServiceExchange. Never throws.
DownloadOutcome DownloadBounded(const wchar_t* url, const DownloadSink& sink, uint64_t maxBytes,
                                ExchangeStatus* status = nullptr) noexcept;

// The proxy values as the exchange reads them. A value that is absent, of the
// wrong type (not REG_DWORD / REG_SZ), longer than kMaxProxyValueChars, or an
// "AutoDetectProxySettings" above 1 counts as unreadable and is left empty.
struct ProxyRegistrySettings {
    std::optional<DWORD> autoDetect;
    std::wstring autoConfigUrl;
    std::wstring serverList;
    std::wstring bypassList;
};
ProxyRegistrySettings ReadProxyRegistrySettings();

// What the exchange sends to for `url`: host, port, object name (path and query)
// and request flags (WINHTTP_FLAG_REFRESH, plus WINHTTP_FLAG_SECURE for https).
struct ExchangeTarget {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring objectName;
    DWORD requestFlags = 0;
};
// False (and *target untouched) when the URL cannot be split or lacks a host or a path.
bool CrackServiceUrl(const wchar_t* url, ExchangeTarget* target);

}  // namespace tessary
