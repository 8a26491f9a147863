#include "component/com_app.h"

#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "component/local_perms.h"
#include "component/signature.h"
#include "platform/text.h"
#include "transport/service_urls.h"

namespace tessary {
namespace {

// tsapi never loads the installation identifier, so no link carries one.
constexpr InstallationId kNoInstallationId = {0, 0, 0, 0};

}  // namespace

std::wstring SubmissionLink(std::string_view md5, const InstallationId& id) {
    std::string query = "Md5=";
    query.append(md5);
    if (id[0] != 0 || id[1] != 0 || id[2] != 0 || id[3] != 0) {
        char tsid[17] = {};
        std::snprintf(tsid, sizeof(tsid), "%04X%04X%04X%04X", id[0], id[1], id[2], id[3]);
        query.append("&tsid=").append(tsid);
    }
    return BuiltInUrl(ServiceEndpoint::kFeedback, NarrowToWide(query));
}

// IQnTessaryAppDetails:

IFACEMETHODIMP CQnTessaryAppDetails::GetFileProperties(QNTS_APP_DETAILS* details, LONG* plResult) noexcept {
    return details_.GetFileProperties(details, plResult);
}

IFACEMETHODIMP CQnTessaryAppDetails::IsKnown(LONG* known, LONG* plResult) noexcept {
    return details_.IsKnown(known, plResult);
}

IFACEMETHODIMP CQnTessaryAppDetails::GetServerPermission(QNTS_APP_PERMISSION* permission, LONG* plResult) noexcept {
    return details_.GetServerPermission(permission, plResult);
}

IFACEMETHODIMP CQnTessaryAppDetails::GetLocalPermission(QNTS_APP_PERMISSION** permissions, LONG* count,
                                                        LONG* plResult) noexcept {
    return tessary::GetLocalPermission(details_.record(), permissions, count, plResult);
}

IFACEMETHODIMP CQnTessaryAppDetails::SetLocalPermission(QNTS_APP_PERMISSION permission, LONG* plResult) noexcept {
    return tessary::SetLocalPermission(details_.record(), permission, false, 0, 0, plResult);
}

IFACEMETHODIMP CQnTessaryAppDetails::SetLocalPermissionWithIp(QNTS_APP_PERMISSION permission, ULONG dstIp,
                                                              USHORT dstPort, LONG* plResult) noexcept {
    return tessary::SetLocalPermission(details_.record(), permission, true, dstIp, dstPort, plResult);
}

IFACEMETHODIMP CQnTessaryAppDetails::DeleteLocalPermission(ULONG product, ULONG feature, LONG* plResult) noexcept {
    return tessary::DeleteLocalPermission(details_.record(), product, feature, plResult);
}

IFACEMETHODIMP CQnTessaryAppDetails::HasGoodDigitalSignature(LONG* validSignature, LONG* plResult) noexcept {
    return tessary::HasGoodDigitalSignature(details_, validSignature, plResult);
}

IFACEMETHODIMP CQnTessaryAppDetails::SubmitApplicationToTessary(LPWSTR* url, LONG* plResult) noexcept {
    if (url == nullptr || plResult == nullptr) return E_POINTER;
    *url = nullptr;
    *plResult = kResultNoRecord;
    const AppRecord* record = details_.record();
    if (record == nullptr) return S_OK;
    if (IsKnownClass(record->className)) {
        *plResult = kResultAlreadyKnown;
        return S_OK;
    }
    try {
        const std::wstring link = SubmissionLink(record->md5, kNoInstallationId);
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

// IQnTessaryAppEntry:

IFACEMETHODIMP CQnTessaryAppEntry::GetApplicationDetails(LPCWSTR file, LPCWSTR hash, LONG localCheckOnly,
                                                         IQnTessaryAppDetails** details, LONG* plResult) noexcept {
    if (details == nullptr || plResult == nullptr) return E_POINTER;
    *details = nullptr;
    std::unique_ptr<AppRecord> record;
    RETURN_IF_FAILED(BuildApplicationRecord(file, hash, localCheckOnly, &record, plResult));
    Microsoft::WRL::ComPtr<CQnTessaryAppDetails> object;
    RETURN_IF_FAILED(CQnTessaryAppDetails::CreateInstance(&object));
    object->AttachRecord(std::move(record));
    return object->QueryInterface(IID_IQnTessaryAppDetails, reinterpret_cast<void**>(details));
}

// IQnTessaryAppEntryUtil:

IFACEMETHODIMP CQnTessaryAppEntry::EmptyMemoryCache() noexcept { return ApplicationEntry::EmptyMemoryCache(); }

}  // namespace tessary
