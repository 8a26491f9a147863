#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "component/qnts_records.h"
#include "store/app_record.h"

namespace tessary {

// Results reported through plResult.
inline constexpr LONG kResultOk = 0;
inline constexpr LONG kResultNoRecord = -1;
inline constexpr LONG kResultUnknown = 6;

// Product and feature of the service's recommendation.
inline constexpr uint32_t kServerProduct = 0x10000;
inline constexpr uint32_t kServerFeature = 0x1000;
// Permission bits of the service's recommendation, named after what sets them:
// the class letters (see PermissionBits) or an exception-list entry.
inline constexpr uint32_t kPermissionAllowBit = 0x1;       // "G" or "O", or a trusted maker
inline constexpr uint32_t kPermissionTBit = 0x2;           // "T"
inline constexpr uint32_t kPermissionAskBit = 0x4;         // any of "/@SA."
inline constexpr uint32_t kExceptionBit = 0x8;             // a file in the exception list
inline constexpr uint32_t kPermissionMBit = 0x10;          // "M", or a trusted maker
inline constexpr uint32_t kPermissionCaretBit = 0x20;      // "^"
inline constexpr uint32_t kPermissionAmpersandBit = 0x40;  // "&"
inline constexpr uint32_t kPermissionPBit = 0x80;          // "P"

// True when the service knows the application: the class is not empty and
// holds no "?". Portable.
bool IsKnownClass(std::string_view className);

// The permission bits of a class text (see the table in the .cpp), with the
// trusted-maker flag adding 0x1 and 0x10 and an exception-list entry adding 0x8.
// Portable.
uint32_t PermissionBits(std::string_view className, bool trustedMaker, bool listedException);

// True when the company text names the suite's maker (case-sensitive), so a
// signed file of it is trusted whatever the service says.
bool IsMakerCompany(std::string_view company);

// Finds the record's reputation: the record cache, then the local store, then
// (unless localCheckOnly is exactly 1) the reputation service. True when a
// record was found or a live answer parsed; a garbled answer leaves class "?".
// Never throws.
bool LookupRecord(AppRecord& record, LONG localCheckOnly) noexcept;

// Builds the application record for a path and/or hash and looks it up:
// a non-empty hash is used exactly as given (with the file's identity, not its
// content, when a path is given too); otherwise the path's file is hashed;
// with neither, the record stays empty and is not looked up. *plResult is 0
// when the lookup succeeded with a known class, else 6. E_POINTER when `record`
// or `plResult` is null or both file and hash are null; E_OUTOFMEMORY when the
// record cannot be built. Outputs are cleared first.
HRESULT BuildApplicationRecord(const wchar_t* file, const wchar_t* hash, LONG localCheckOnly,
                               std::unique_ptr<AppRecord>* record, LONG* plResult) noexcept;

// The logic of an application details object: owns one record (or none) and
// answers the questions about it. Every method returns S_OK unless a required
// out-parameter is null (E_POINTER); without a record *plResult is -1.
class ApplicationDetails {
public:
    ApplicationDetails() = default;
    virtual ~ApplicationDetails() = default;
    ApplicationDetails(const ApplicationDetails&) = delete;
    ApplicationDetails& operator=(const ApplicationDetails&) = delete;

    // Takes the record, freeing any earlier one. Done before the object is
    // handed out; afterwards only the signature flag of the record changes.
    void AttachRecord(std::unique_ptr<AppRecord> record) noexcept { record_ = std::move(record); }
    const AppRecord* record() const noexcept { return record_.get(); }
    // Sets the record's signature flag (1 good, 0 not); nothing without a record.
    // Other threads may read or copy the record meanwhile: the flag is atomic.
    void SetGoodSignature(bool good) noexcept {
        if (record_) record_->goodSignature.store(good ? 1 : 0);
    }

    // IQnTessaryAppDetails:
    // Copies the record into *details (text cut at each field's width).
    HRESULT GetFileProperties(tagQNTS_APP_DETAILS* details, LONG* plResult) noexcept;
    // *known is 1 for a known class, else 0 (also without a record).
    HRESULT IsKnown(LONG* known, LONG* plResult) noexcept;
    // The service's recommendation as product 0x10000, feature 0x1000 and the
    // permission bits; *plResult 6 (and *permission untouched) when the class is
    // unknown, the hash is not an exception and the maker is not trusted.
    HRESULT GetServerPermission(tagQNTS_APP_PERMISSION* permission, LONG* plResult) noexcept;

protected:
    std::unique_ptr<AppRecord> record_;
    // Set once the maker's file passed trust validation; never cleared.
    std::atomic<LONG> trustedMaker_{0};
};

// The logic of the application entry object.
class ApplicationEntry {
public:
    // IQnTessaryAppEntry, for any details type: E_POINTER (nothing touched) when
    // `details` or `plResult` is null; otherwise *details is cleared, the record
    // built and looked up (BuildApplicationRecord, whose failure is returned) and
    // handOut(std::move(record), details) creates the details object owning it,
    // stores it in *details and gives the result. The COM method and the
    // in-process form below both run through here.
    template <typename Details, typename HandOut>
    static HRESULT GetApplicationDetails(const wchar_t* file, const wchar_t* hash, LONG localCheckOnly,
                                         Details* details, LONG* plResult, HandOut handOut) noexcept {
        if (details == nullptr || plResult == nullptr) return E_POINTER;
        *details = nullptr;
        std::unique_ptr<AppRecord> record;
        const HRESULT hr = BuildApplicationRecord(file, hash, localCheckOnly, &record, plResult);
        if (FAILED(hr)) return hr;
        return handOut(std::move(record), details);
    }
    // The same with a plain details object; E_OUTOFMEMORY when it cannot be made.
    static HRESULT GetApplicationDetails(const wchar_t* file, const wchar_t* hash, LONG localCheckOnly,
                                         std::unique_ptr<ApplicationDetails>* details, LONG* plResult) noexcept;
    // IQnTessaryAppEntryUtil: drops every record of the process's record cache.
    static HRESULT EmptyMemoryCache() noexcept;
};

}  // namespace tessary
