#pragma once

// Built-in URLs of the reputation service's endpoints. Each endpoint has a fixed
// path on a built-in origin (scheme, host and port). The REG_SZ value
// "ServiceOrigin" of HKEY_LOCAL_MACHINE "SOFTWARE\Quellon\Tessary", when it holds
// a usable origin such as "http://127.0.0.1:18080", replaces the origin of every
// endpoint and keeps the paths. Settings that name a whole URL ("TsUrl",
// "EventsURL") are not formed here and win over these defaults at their callers.

#include <string>
#include <string_view>

namespace tessary {

enum class ServiceEndpoint {
    kQuery,     // reputation query (GET with the encrypted hexadecimal request)
    kFeedback,  // submission page
    kManifest,  // manifest with the command file
    kEvents,    // traffic summary (POST)
};

inline constexpr wchar_t kServiceOriginValue[] = L"ServiceOrigin";

// Fixed paths, each with the separator its callers' parameters follow.
inline constexpr wchar_t kQueryPath[] = L"/data/app/check/default2.asp?";
inline constexpr wchar_t kFeedbackPath[] = L"/library/app/feedback/?";
inline constexpr wchar_t kManifestPath[] = L"/data/manifest/?";
inline constexpr wchar_t kEventsPath[] = L"/data/services/LodanP/events/LodanPevents.tsservice";

// The origin in front of `endpoint`'s path, without a trailing slash: the
// "ServiceOrigin" override when it is a REG_SZ naming an http or https origin with
// a host (anything after the host and port is dropped), else the built-in origin.
// The value is read on every call (through the key the process keeps open).
std::wstring ServiceOrigin(ServiceEndpoint endpoint);

// The endpoint's fixed path on ServiceOrigin(endpoint), followed by `suffix`
// (for example the hexadecimal query of a reputation request).
std::wstring BuiltInUrl(ServiceEndpoint endpoint, std::wstring_view suffix = {});

}  // namespace tessary
