#pragma once

// The raw server query: an arbitrary text wrapped in "<TSReq>" ... "</TSReq>",
// posted to an arbitrary service URL, with the service's answer handed back as
// task-allocated UTF-16 text. tsapi's server query object and the update
// checker's traffic summary both go through it. It honours the user's opt-in.

#include <windows.h>

#include <string>
#include <string_view>

namespace tessary {

// Outcomes in *plResult.
inline constexpr LONG kQueryDone = 0;    // answer handed out, or opted out and nothing sent
inline constexpr LONG kQueryFailed = 7;  // no URL, exchange failed, or no answer buffer

// False only when "Submit" could be read and holds 0 (the user declined);
// a missing or unreadable value allows submission.
bool SubmissionAllowed();

// The request body: "<TSReq>", `data` in the calling thread's ANSI code page,
// "</TSReq>"; no terminator. Throws only std::bad_alloc.
std::string BuildQueryBody(std::wstring_view data);

// The query operation as the server query object exposes it.
// E_POINTER (nothing written) when `response`, `responseLength` or `plResult` is
// null. Otherwise *response is set to null and *responseLength to 0 first; then:
// - opted out: *plResult 0, nothing sent, S_OK;
// - else the body is posted to `url` (null `data` counts as empty text); *plResult
//   is 7 when `url` is null or the exchange fails (a status outside 200..299 still
//   hands out the body the service sent), else 0; *response receives a zeroed
//   CoTaskMemAlloc block of (answer bytes + 1) characters holding the answer
//   converted from the ANSI code page, which the caller frees with CoTaskMemFree;
//   *responseLength is the answer's length in bytes.
// E_OUTOFMEMORY when the request or the answer block cannot be allocated (then
// *response stays null and *plResult is 7 if the request had been built).
HRESULT TessaryQuery(const wchar_t* url, const wchar_t* data, USHORT** response, LONG* responseLength,
                     LONG* plResult) noexcept;

}  // namespace tessary
