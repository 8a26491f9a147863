#pragma once

// WinHTTP loaded at run time. The library is loaded once per process (from the
// system directory, else by bare name) when the deliverable starts; each function
// is looked up on its first call. Every wrapper has the signature of the WinHTTP
// function it forwards to and fails like it (FALSE or null, last error
// ERROR_PROC_NOT_FOUND) when the library or the function is missing.

#include <windows.h>
#include <winhttp.h>

#include "platform/unique_resource.h"

namespace tessary::winhttp {

// Loads "winhttp.dll" from the system directory, falling back to the bare name.
// Returns true when the library is loaded (now or before). Thread-safe.
bool Load() noexcept;

// Releases the library and forgets every bound function (at unload, when no
// exchange runs any more); also closes the registry keys the exchanges keep open
// (transport/kept_registry_key.h). Later calls fail until Load() is called again.
void Unload() noexcept;

// True while the library is loaded.
bool Available() noexcept;

// One more reference to the loaded library, for a thread that may still be
// inside it when the process's own reference is released by Unload(); empty
// when the library is not loaded.
UniqueModule Pin() noexcept;

BOOL CrackUrl(LPCWSTR url, DWORD urlLength, DWORD flags, URL_COMPONENTS* components) noexcept;
HINTERNET Open(LPCWSTR agent, DWORD accessType, LPCWSTR proxy, LPCWSTR bypass, DWORD flags) noexcept;
BOOL SetTimeouts(HINTERNET handle, int resolve, int connect, int send, int receive) noexcept;
HINTERNET Connect(HINTERNET session, LPCWSTR server, INTERNET_PORT port, DWORD reserved) noexcept;
HINTERNET OpenRequest(HINTERNET connection, LPCWSTR verb, LPCWSTR objectName, LPCWSTR version, LPCWSTR referrer,
                      LPCWSTR* acceptTypes, DWORD flags) noexcept;
BOOL GetProxyForUrl(HINTERNET session, LPCWSTR url, WINHTTP_AUTOPROXY_OPTIONS* options,
                    WINHTTP_PROXY_INFO* proxyInfo) noexcept;
BOOL SetOption(HINTERNET handle, DWORD option, LPVOID buffer, DWORD length) noexcept;
BOOL SendRequest(HINTERNET request, LPCWSTR headers, DWORD headersLength, LPVOID optional, DWORD optionalLength,
                 DWORD totalLength, DWORD_PTR context) noexcept;
BOOL ReceiveResponse(HINTERNET request, LPVOID reserved) noexcept;
BOOL QueryHeaders(HINTERNET request, DWORD infoLevel, LPCWSTR name, LPVOID buffer, LPDWORD length,
                  LPDWORD index) noexcept;
BOOL ReadData(HINTERNET request, LPVOID buffer, DWORD toRead, LPDWORD read) noexcept;
// Waits (at most the receive time-out) until body bytes are there and tells how many.
BOOL QueryDataAvailable(HINTERNET request, LPDWORD available) noexcept;
BOOL CloseHandle(HINTERNET handle) noexcept;

namespace detail {
inline void CloseWinHttpHandle(HINTERNET handle) { winhttp::CloseHandle(handle); }
}  // namespace detail

}  // namespace tessary::winhttp

namespace tessary {

// A WinHTTP session, connection or request handle.
using UniqueWinHttp = UniqueResource<HINTERNET, winhttp::detail::CloseWinHttpHandle>;

}  // namespace tessary
