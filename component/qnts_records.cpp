#include "component/qnts_records.h"

#include <string>
#include <string_view>

#include "platform/strings.h"
#include "platform/text.h"

namespace tessary {
namespace {

template <size_t N>
void CopyField(wchar_t (&field)[N], std::wstring_view text) {
    // Keep a surrogate pair whole: cut before its first half rather than between halves.
    if (text.size() >= N) {
        size_t keep = N - 1;
        if (keep > 0 && text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) --keep;
        text = text.substr(0, keep);
    }
    CopyTruncated(field, N, text);
}

}  // namespace

void ToAppDetails(const AppRecord& record, tagQNTS_APP_DETAILS* details) {
    if (details == nullptr) return;
    // Convert everything first, so a failed allocation leaves the output untouched.
    const std::wstring md5 = NarrowToWide(record.md5);
    const std::wstring exeName = NarrowToWide(record.exeName);
    const std::wstring applicationName = NarrowToWide(record.applicationName);
    const std::wstring description = NarrowToWide(record.description);
    const std::wstring version = NarrowToWide(record.version);

    details->sizeOnDisk = record.sizeOnDisk;
    CopyField(details->pwszPath, record.path);
    CopyField(details->pwszMD5, md5);
    CopyField(details->pwszExeName, exeName);
    CopyField(details->pwszApplicationName, applicationName);
    CopyField(details->pwszDescription, description);
    CopyField(details->pwszVersion, version);
}

}  // namespace tessary
