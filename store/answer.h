#pragma once

#include <string_view>

#include "store/app_record.h"

namespace tessary {

// Fills `record` from a reputation text: fields separated by runs of "|", each
// cut at its first blank; keys "[Class]=", "[AppName]=", "[EXE]=", "[Desc]=",
// "[MD5]=" are found anywhere in a field without regard to case, the first
// matching key wins, and the value is the field minus as many leading characters
// as the key has. The class field is upper-cased first. The text must contain
// "[Class]" and, when `requireEndMarker` (live answers), "[end]=true" (both
// case-sensitive). Returns false and leaves the record unchanged otherwise.
// Portable: no Windows headers.
bool ParseAnswer(AppRecord& record, std::string_view text, bool requireEndMarker);

}  // namespace tessary
