#pragma once

#include <string>
#include <string_view>

namespace tessary {

// Narrow text inside the system is in the calling thread's ANSI code page
// (CP_THREAD_ACP). Characters that code page cannot hold become the system's
// default character. Empty input gives empty output; never throws except
// std::bad_alloc.
std::string WideToNarrow(std::wstring_view text);
std::wstring NarrowToWide(std::string_view text);

// UTF-8 conversions (for SQLite file names and the service's UTF-8 texts).
std::string WideToUtf8(std::wstring_view text);
std::wstring Utf8ToWide(std::string_view text);

}  // namespace tessary
