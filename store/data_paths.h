#pragma once

#include <string>
#include <string_view>

namespace tessary {

// The two bases every data path is relative to.
enum class DataBase {
    kCommonData,  // common application-data folder + "\Quellon\Tessary"
    kInstall,     // "Install Dir" of the product key, else program files + "\Quellon\Tessary"
};

// Longest path the stores work with, terminator included.
inline constexpr size_t kMaxDataPath = 260;

// Joins `relative` (may be empty) to `base` with a backslash and creates the
// directory that holds the result (all missing parents; a failure to create is
// ignored, and logged). Below the common application-data folder every level
// (Quellon, Tessary, data, ...) is made with, or taken over to, the model's
// descriptor (platform/security_descriptor.h; "data" gets the data folder's),
// once per folder and process, and a reparse point in a folder's place is
// refused. When the base folder cannot be found, returns `relative` alone.
// An "Install Dir" value that does not fit in kMaxDataPath characters counts as
// unreadable.
std::wstring ResolveDataPath(std::wstring_view relative, DataBase base);

}  // namespace tessary
