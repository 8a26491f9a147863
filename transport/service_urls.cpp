#include "transport/service_urls.h"

#include <windows.h>

#include <cstdint>
#include <vector>

#include "transport/kept_registry_key.h"

namespace tessary {
namespace {

const wchar_t* DefaultOrigin(ServiceEndpoint endpoint) {
    switch (endpoint) {
        case ServiceEndpoint::kQuery:
            return L"http://tsquery.quellon.com";
        case ServiceEndpoint::kFeedback:
            return L"http://tsfeedback.quellon.com";
        case ServiceEndpoint::kManifest:
            return L"http://tsupdate.quellon.com";
        case ServiceEndpoint::kEvents:
            return L"http://tsevents.quellon.com";
    }
    return L"http://tsquery.quellon.com";
}

const wchar_t* FixedPath(ServiceEndpoint endpoint) {
    switch (endpoint) {
        case ServiceEndpoint::kQuery:
            return kQueryPath;
        case ServiceEndpoint::kFeedback:
            return kFeedbackPath;
        case ServiceEndpoint::kManifest:
            return kManifestPath;
        case ServiceEndpoint::kEvents:
            return kEventsPath;
    }
    return kQueryPath;
}

bool StartsWithIgnoreCase(std::wstring_view text, std::wstring_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (::towlower(text[i]) != ::towlower(prefix[i])) return false;
    }
    return true;
}

// "scheme://host[:port]" of the override, or empty when there is no usable one.
std::wstring OverrideOrigin() {
    DWORD type = 0;
    std::vector<uint8_t> data;
    if (!ProductRegistryKey().Read(kServiceOriginValue, &type, &data) || type != REG_SZ) return {};
    std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    text = text.substr(0, text.find(L'\0'));
    size_t hostStart = 0;
    if (StartsWithIgnoreCase(text, L"http://")) {
        hostStart = 7;
    } else if (StartsWithIgnoreCase(text, L"https://")) {
        hostStart = 8;
    } else {
        return {};
    }
    const size_t hostEnd = text.find_first_of(L"/?#", hostStart);
    std::wstring origin = text.substr(0, hostEnd);
    if (origin.size() == hostStart || origin[hostStart] == L':') return {};
    for (wchar_t c : origin) {
        if (c <= L' ' || c == L'\\') return {};
    }
    return origin;
}

}  // namespace

std::wstring ServiceOrigin(ServiceEndpoint endpoint) {
    std::wstring origin = OverrideOrigin();
    return origin.empty() ? std::wstring(DefaultOrigin(endpoint)) : origin;
}

std::wstring BuiltInUrl(ServiceEndpoint endpoint, std::wstring_view suffix) {
    std::wstring url = ServiceOrigin(endpoint);
    url += FixedPath(endpoint);
    url += suffix;
    return url;
}

}  // namespace tessary
