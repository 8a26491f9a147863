#include "component/submission_link.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "component/app_lookup.h"
#include "platform/text.h"
#include "transport/service_urls.h"

namespace tessary {
namespace {

// tsapi never loads the installation identifier, so no link carries one.
constexpr SubmissionTsid kNoTsid = {0, 0, 0, 0};

}  // namespace

std::wstring SubmissionLink(std::string_view md5, const SubmissionTsid& tsid) {
    std::string query = "Md5=";
    query.append(md5);
    if (tsid[0] != 0 || tsid[1] != 0 || tsid[2] != 0 || tsid[3] != 0) {
        char text[17] = {};
        std::snprintf(text, sizeof(text), "%04X%04X%04X%04X", tsid[0], tsid[1], tsid[2], tsid[3]);
        query.append("&tsid=").append(text);
    }
    return BuiltInUrl(ServiceEndpoint::kFeedback, NarrowToWide(query));
}

HRESULT SubmitApplication(const AppRecord* record, LPWSTR* url, LONG* plResult) noexcept {
    if (url == nullptr || plResult == nullptr) return E_POINTER;
    *url = nullptr;
    *plResult = kResultNoRecord;
    if (record == nullptr) return S_OK;
    if (IsKnownClass(record->className)) {
        *plResult = kResultAlreadyKnown;
        return S_OK;
    }
    try {
        const std::wstring link = SubmissionLink(record->md5, kNoTsid);
        auto* block = static_cast<wchar_t*>(::CoTaskMemAlloc((link.size() + 1) * sizeof(wchar_t)));
        if (block == nullptr) return S_OK;
        std::memcpy(block, link.c_str(), (link.size() + 1) * sizeof(wchar_t));
        *url = block;
        *plResult = kResultOk;
    } catch (const std::bad_alloc&) {
        // The link could not be built: *plResult stays -1.
    }
    return S_OK;
}

}  // namespace tessary
