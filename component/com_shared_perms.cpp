#include "component/com_root.h"
#include "component/shared_perms.h"

namespace tessary {

// IQnTessarySharedPerms:

IFACEMETHODIMP CQnTessarySharedPerms::GetPermissions(LPCWSTR pathFilter, LPCWSTR hashFilter, ULONG productFilter,
                                                     ULONG featureFilter, QNTS_LOCAL_APP_PERMISSION** permissions,
                                                     ULONG* count, LONG* plResult) noexcept {
    return SharedPermissions::GetPermissions(pathFilter, hashFilter, productFilter, featureFilter, permissions, count,
                                             plResult);
}

IFACEMETHODIMP CQnTessarySharedPerms::DeletePermissions(LPCWSTR pathFilter, LPCWSTR hashFilter, ULONG productFilter,
                                                        ULONG featureFilter, LONG* plResult) noexcept {
    return SharedPermissions::DeletePermissions(pathFilter, hashFilter, productFilter, featureFilter, plResult);
}

IFACEMETHODIMP CQnTessarySharedPerms::SetPermissions(QNTS_LOCAL_APP_PERMISSION* permissions, ULONG count,
                                                     LONG* plResult) noexcept {
    return SharedPermissions::SetPermissions(permissions, count, plResult);
}

}  // namespace tessary
