#include "platform/text.h"

#include <windows.h>

#include <climits>

namespace tessary {
namespace {

std::string FromWide(UINT codePage, std::wstring_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    int n =
        ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string out(static_cast<size_t>(n), '\0');
    n = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::wstring ToWide(UINT codePage, std::string_view text) {
    if (text.empty() || text.size() > INT_MAX) return {};
    int n = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0) return {};
    std::wstring out(static_cast<size_t>(n), L'\0');
    n = ::MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

}  // namespace

std::string WideToNarrow(std::wstring_view text) { return FromWide(CP_THREAD_ACP, text); }
std::wstring NarrowToWide(std::string_view text) { return ToWide(CP_THREAD_ACP, text); }
std::string WideToUtf8(std::wstring_view text) { return FromWide(CP_UTF8, text); }
std::wstring Utf8ToWide(std::string_view text) { return ToWide(CP_UTF8, text); }

}  // namespace tessary
