#include "component/app_lookup.h"

#include <new>

#include "component/file_identity.h"
#include "component/reputation_query.h"
#include "platform/text.h"
#include "platform/trust.h"
#include "store/exception_list.h"
#include "store/record_cache.h"

namespace tessary {
namespace {

bool Contains(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }
bool ContainsAnyOf(std::string_view text, std::string_view chars) {
    return text.find_first_of(chars) != std::string_view::npos;
}

}  // namespace

bool IsKnownClass(std::string_view className) { return !className.empty() && !Contains(className, '?'); }

uint32_t PermissionBits(std::string_view c, bool trustedMaker, bool listedException) {
    uint32_t bits = 0;
    if (Contains(c, 'T')) bits |= kPermissionTBit;
    if (ContainsAnyOf(c, "GO") || trustedMaker) bits |= kPermissionAllowBit;
    if (ContainsAnyOf(c, "/@SA.")) bits |= kPermissionAskBit;
    if (Contains(c, 'M') || trustedMaker) bits |= kPermissionMBit;
    if (Contains(c, '&')) bits |= kPermissionAmpersandBit;
    if (Contains(c, '^')) bits |= kPermissionCaretBit;
    if (listedException) bits |= kExceptionBit;
    if (Contains(c, 'P')) bits |= kPermissionPBit;
    return bits;
}

bool IsMakerCompany(std::string_view company) {
    return company.find("Quellon") != std::string_view::npos ||
           company.find("Vorland Security") != std::string_view::npos;
}

bool LookupRecord(AppRecord& record, LONG localCheckOnly) noexcept {
    if (FindRecord(record)) return true;
    if (localCheckOnly == 1) return false;
    return QueryService(record, QueryExtras{});
}

HRESULT BuildApplicationRecord(const wchar_t* file, const wchar_t* hash, LONG localCheckOnly,
                               std::unique_ptr<AppRecord>* out, LONG* plResult) noexcept {
    if (out == nullptr || plResult == nullptr) return E_POINTER;
    out->reset();
    *plResult = kResultUnknown;
    if (file == nullptr && hash == nullptr) return E_POINTER;
    try {
        const bool haveHash = hash != nullptr && hash[0] != L'\0';
        const bool haveFile = file != nullptr && file[0] != L'\0';
        auto record = std::make_unique<AppRecord>();
        bool looked = false;
        if (haveHash) {
            if (haveFile) {
                *record = BuildFromPathAndHash(file, hash);
            } else {
                record->md5 = WideToNarrow(hash);
            }
            looked = true;
        } else if (haveFile) {
            *record = BuildFromPath(file);
            looked = true;
        }
        if (looked && LookupRecord(*record, localCheckOnly) && IsKnownClass(record->className)) {
            *plResult = kResultOk;
        }
        *out = std::move(record);
        return S_OK;
    } catch (const std::bad_alloc&) {
        out->reset();
        return E_OUTOFMEMORY;
    }
}

HRESULT ApplicationDetails::GetFileProperties(tagQNTS_APP_DETAILS* details, LONG* plResult) noexcept {
    if (details == nullptr || plResult == nullptr) return E_POINTER;
    if (!record_) {
        *plResult = kResultNoRecord;
        return S_OK;
    }
    try {
        ToAppDetails(*record_, details);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *plResult = kResultOk;
    return S_OK;
}

HRESULT ApplicationDetails::IsKnown(LONG* known, LONG* plResult) noexcept {
    if (plResult == nullptr) return E_POINTER;
    if (known != nullptr) *known = 0;
    if (!record_) {
        *plResult = kResultNoRecord;
        return S_OK;
    }
    *plResult = kResultOk;
    if (known != nullptr && IsKnownClass(record_->className)) *known = 1;
    return S_OK;
}

HRESULT ApplicationDetails::GetServerPermission(tagQNTS_APP_PERMISSION* permission, LONG* plResult) noexcept {
    if (plResult == nullptr) return E_POINTER;
    if (!record_) {
        *plResult = kResultNoRecord;
        return S_OK;
    }
    if (permission == nullptr) return E_POINTER;
    *plResult = kResultOk;

    const bool exception = IsListedException(record_->md5.c_str());
    if (IsMakerCompany(record_->company) && trustedMaker_.load() == 0 && IsFileTrusted(record_->path)) {
        trustedMaker_.store(1);
    }
    const bool trusted = trustedMaker_.load() != 0;
    if (!exception && !IsKnownClass(record_->className) && !trusted) {
        *plResult = kResultUnknown;
        return S_OK;
    }
    permission->dwProduct = kServerProduct;
    permission->dwFeature = kServerFeature;
    permission->dwPermission = PermissionBits(record_->className, trusted, exception);
    return S_OK;
}

HRESULT ApplicationEntry::GetApplicationDetails(const wchar_t* file, const wchar_t* hash, LONG localCheckOnly,
                                                std::unique_ptr<ApplicationDetails>* details, LONG* plResult) noexcept {
    return GetApplicationDetails(
        file, hash, localCheckOnly, details, plResult,
        [](std::unique_ptr<AppRecord> record, std::unique_ptr<ApplicationDetails>* out) noexcept -> HRESULT {
            auto object = std::unique_ptr<ApplicationDetails>(new (std::nothrow) ApplicationDetails);
            if (!object) return E_OUTOFMEMORY;
            object->AttachRecord(std::move(record));
            *out = std::move(object);
            return S_OK;
        });
}

HRESULT ApplicationEntry::EmptyMemoryCache() noexcept {
    tessary::EmptyMemoryCache();
    return S_OK;
}

}  // namespace tessary
