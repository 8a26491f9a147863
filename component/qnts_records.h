#pragma once

// Records of the type library that carry application data to callers, and their
// filling from the application record. The record layouts are fixed by the type
// library: text in arrays of 16-bit characters, terminated within each field.

#include <cstddef>
#include <cstdint>

#include "store/app_record.h"

// The records come from the type library's interface definition (qntessary.idl);
// their layout is part of the binary contract with callers.
#include "qntessary.h"

static_assert(sizeof(wchar_t) == 2 && sizeof(ULONG) == 4, "the type library's records use the Windows data model");

// The caller-visible copy of an application record (GetFileProperties): 2212 bytes.
static_assert(sizeof(tagQNTS_APP_DETAILS) == 2212);
static_assert(offsetof(tagQNTS_APP_DETAILS, sizeOnDisk) == 0);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszPath) == 4);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszMD5) == 526);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszExeName) == 592);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszApplicationName) == 1114);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszDescription) == 1636);
static_assert(offsetof(tagQNTS_APP_DETAILS, pwszVersion) == 2146);

// A permission triple: product, feature, permission (12 bytes).
static_assert(sizeof(tagQNTS_APP_PERMISSION) == 12);
static_assert(offsetof(tagQNTS_APP_PERMISSION, dwFeature) == 4);
static_assert(offsetof(tagQNTS_APP_PERMISSION, dwPermission) == 8);

// A stored decision of the shared permission store (604 bytes).
static_assert(sizeof(tagQNTS_LOCAL_APP_PERMISSION) == 604);
static_assert(offsetof(tagQNTS_LOCAL_APP_PERMISSION, mapPerm) == 4);
static_assert(offsetof(tagQNTS_LOCAL_APP_PERMISSION, pwszPath) == 16);
static_assert(offsetof(tagQNTS_LOCAL_APP_PERMISSION, pwszMD5) == 538);

namespace tessary {

// Fills every field of `*details` from `record`: narrow text is converted to wide
// text with the calling thread's code page; text longer than a field is cut so that
// the terminating zero fits (never inside a surrogate pair), and each field's unused
// tail is zero-filled. A null `details` is ignored. Throws only std::bad_alloc, and
// then leaves `*details` untouched.
void ToAppDetails(const AppRecord& record, tagQNTS_APP_DETAILS* details);

}  // namespace tessary
