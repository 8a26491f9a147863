#pragma once

// The submission link of the details object: the address of the service's
// feedback page where a user can describe and submit an application the service
// does not know. Building the link sends nothing.

#include <windows.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/app_record.h"

namespace tessary {

// plResult of SubmitApplicationToTessary for an application the service knows.
inline constexpr LONG kResultAlreadyKnown = 2;

// The installation identifier as four 16-bit parts; all zero means none is held.
using SubmissionTsid = std::array<uint16_t, 4>;

// The submission link for `md5` (narrow text, used as is): the built-in feedback
// page followed by "Md5=" and the hash, then "&tsid=" and the identifier as
// "%04X%04X%04X%04X" when any part of `tsid` is non-zero. Nothing is escaped.
// Throws only std::bad_alloc.
std::wstring SubmissionLink(std::string_view md5, const SubmissionTsid& tsid);

// SubmitApplicationToTessary of a details object whose record is `record`:
// E_POINTER when `url` or `plResult` is null (nothing written). Otherwise S_OK,
// *url null and *plResult -1 without a record; *plResult 2 (no text) when the
// record's class is known; else the link of the record's MD5 (no installation
// identifier: this component never loads one) in a task-allocated text that
// the caller frees with CoTaskMemFree, and *plResult 0. When the text cannot be
// built or allocated, *plResult stays -1 and *url null.
HRESULT SubmitApplication(const AppRecord* record, LPWSTR* url, LONG* plResult) noexcept;

}  // namespace tessary
