#include "component/com_app.h"

#include "component/local_perms.h"
#include "component/signature.h"
#include "component/submission_link.h"

namespace tessary {

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
    return SubmitApplication(details_.record(), url, plResult);
}

// IQnTessaryAppEntry:

IFACEMETHODIMP CQnTessaryAppEntry::GetApplicationDetails(LPCWSTR file, LPCWSTR hash, LONG localCheckOnly,
                                                         IQnTessaryAppDetails** details, LONG* plResult) noexcept {
    return ApplicationEntry::GetApplicationDetails(
        file, hash, localCheckOnly, details, plResult,
        [](std::unique_ptr<AppRecord> record, IQnTessaryAppDetails** out) noexcept -> HRESULT {
            Microsoft::WRL::ComPtr<CQnTessaryAppDetails> object;
            RETURN_IF_FAILED(CQnTessaryAppDetails::CreateInstance(&object));
            object->AttachRecord(std::move(record));
            return object->QueryInterface(IID_IQnTessaryAppDetails, reinterpret_cast<void**>(out));
        });
}

// IQnTessaryAppEntryUtil:

IFACEMETHODIMP CQnTessaryAppEntry::EmptyMemoryCache() noexcept { return ApplicationEntry::EmptyMemoryCache(); }

}  // namespace tessary
