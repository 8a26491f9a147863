#pragma once

// The application entry object and the application details object: the COM
// faces of the application lookup (component/app_lookup.h).

#include <windows.h>

#include "component/app_lookup.h"
#include "component/com_ids.h"
#include "component/com_object.h"

namespace tessary {

class CQnTessaryAppDetails final : public com::ComObject<CQnTessaryAppDetails, IQnTessaryAppDetails> {
public:
    // Takes the record, freeing any earlier one. Done before the object is handed out.
    void AttachRecord(std::unique_ptr<AppRecord> record) noexcept { details_.AttachRecord(std::move(record)); }

    // IQnTessaryAppDetails (without a record every method gives *plResult -1):
    IFACEMETHODIMP GetFileProperties(QNTS_APP_DETAILS* details, LONG* plResult) noexcept override;
    IFACEMETHODIMP IsKnown(LONG* known, LONG* plResult) noexcept override;
    IFACEMETHODIMP GetServerPermission(QNTS_APP_PERMISSION* permission, LONG* plResult) noexcept override;
    // Local permissions: component/local_perms.h.
    IFACEMETHODIMP GetLocalPermission(QNTS_APP_PERMISSION** permissions, LONG* count, LONG* plResult) noexcept override;
    IFACEMETHODIMP SetLocalPermission(QNTS_APP_PERMISSION permission, LONG* plResult) noexcept override;
    IFACEMETHODIMP SetLocalPermissionWithIp(QNTS_APP_PERMISSION permission, ULONG dstIp, USHORT dstPort,
                                            LONG* plResult) noexcept override;
    IFACEMETHODIMP DeleteLocalPermission(ULONG product, ULONG feature, LONG* plResult) noexcept override;
    // *validSignature 1 when the record's file carries a good signature
    // (VerifyFileSignature), else 0, and the record's signature flag set to
    // match; *plResult 0, or -1 (and 0) without a record. E_POINTER when either
    // out-parameter is null.
    IFACEMETHODIMP HasGoodDigitalSignature(LONG* validSignature, LONG* plResult) noexcept override;
    // The submission link of an application the service does not know
    // (SubmitApplication, component/submission_link.h).
    IFACEMETHODIMP SubmitApplicationToTessary(LPWSTR* url, LONG* plResult) noexcept override;

private:
    ApplicationDetails details_;
};

class CQnTessaryAppEntry final : public com::ComObject<CQnTessaryAppEntry, IQnTessaryAppEntry, IQnTessaryAppEntryUtil> {
public:
    // IQnTessaryAppEntry: builds and looks up the record of `file` and/or `hash`
    // (BuildApplicationRecord), then hands out a new details object owning it.
    // E_POINTER when `details` or `plResult` is null or both texts are null; the
    // failure of building the record or creating the object (*details stays null).
    IFACEMETHODIMP GetApplicationDetails(LPCWSTR file, LPCWSTR hash, LONG localCheckOnly,
                                         IQnTessaryAppDetails** details, LONG* plResult) noexcept override;

    // IQnTessaryAppEntryUtil: empties the process's record cache; always S_OK.
    IFACEMETHODIMP EmptyMemoryCache() noexcept override;
};

}  // namespace tessary
