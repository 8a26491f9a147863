#include "updater/plugin_request.h"

namespace tessary {
namespace {

bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::string PluginRequest(std::string_view base, std::string_view version, std::string_view id) {
    std::string request;
    request.reserve(base.size() + version.size() + id.size() + 14);
    request.append(base).append("||[appdb]=").append(version).append("||[").append(id).append("]");
    return request;
}

std::string_view PathExtension(std::string_view path) {
    size_t dot = std::string_view::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '.') {
            dot = i;
        } else if (c == '/' || c == '\\' || c == ' ') {
            dot = std::string_view::npos;
        }
    }
    return dot == std::string_view::npos ? std::string_view() : path.substr(dot);
}

bool RewriteFileUrlExtension(std::string* response, std::string_view extension) {
    if (response == nullptr) return false;
    const size_t line = response->find("FILE=");
    if (line == std::string::npos) return false;
    const size_t urlStart = line + 5;
    const size_t urlEnd = response->find('|', urlStart);
    if (urlEnd == std::string::npos || urlEnd == urlStart || urlEnd - urlStart > kMaxPluginUrlChars) return false;
    if (response->compare(urlEnd, 4, "||\r\n") != 0) return false;

    const std::string_view url(response->data() + urlStart, urlEnd - urlStart);
    const std::string_view current = PathExtension(url);
    if (EqualsIgnoreAsciiCase(current, extension)) return false;
    // A different extension length would move the rest of the line: such a url stays.
    if (current.size() != extension.size()) return false;
    response->replace(urlEnd - current.size(), current.size(), extension);
    return true;
}

bool GetIsFullCacheFileDB(std::string_view response) {
    return response.find("_0.xdb") != std::string_view::npos || response.find("_0.cab") != std::string_view::npos;
}

}  // namespace tessary
