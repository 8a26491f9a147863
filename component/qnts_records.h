#pragma once

// Records of the type library that carry application data to callers, and their
// filling from the application record. The record layouts are fixed by the type
// library: text in arrays of 16-bit characters, terminated within each field.

#include <cstddef>
#include <cstdint>

#include "store/app_record.h"

static_assert(sizeof(wchar_t) == 2, "the type library's text fields are 16-bit characters");

// The caller-visible copy of an application record (GetFileProperties): 2212 bytes.
typedef struct tagQNTS_APP_DETAILS {
    uint32_t sizeOnDisk;
    wchar_t pwszPath[261];
    wchar_t pwszMD5[33];
    wchar_t pwszExeName[261];
    wchar_t pwszApplicationName[261];
    wchar_t pwszDescription[255];
    wchar_t pwszVersion[32];
} QNTS_APP_DETAILS;

static_assert(sizeof(tagQNTS_APP_DETAILS) == 2212);
static_assert(offsetof(tagQNTS_APP_DETAILS, sizeOnDisk) == 0);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszPath) == 4);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszMD5) == 526);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszExeName) == 592);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszApplicationName) == 1114);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszDescription) == 1636);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszVersion) == 2146);

// The service's recommendation for an application (GetServerPermission): 12 bytes.
typedef struct tagQNTS_APP_PERMISSION {
    uint32_t dwProduct;
    uint32_t dwFeature;
    uint32_t dwPermission;
} QNTS_APP_PERMISSION;

static_assert(sizeof(tagQNTS_APP_PERMISSION) == 12);

namespace tessary {

// Fills every field of `*details` from `record`: narrow text is converted to wide
// text with the calling thread's code page; text longer than a field is cut so that
// the terminating zero fits (never inside a surrogate pair), and each field's unused
// tail is zero-filled. A null `details` is ignored. Throws only std::bad_alloc, and
// then leaves `*details` untouched.
void ToAppDetails(const AppRecord& record, tagQNTS_APP_DETAILS* details);

}  // namespace tessary
