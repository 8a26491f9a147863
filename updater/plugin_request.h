#pragma once

// The text side of an updater plug-in's exchange with the manifest service,
// free of any system interface: the request that names the plug-in's database,
// the file line rewrite that makes the service's url ask for the extension of
// the plug-in's download file, and the test for a full database.

#include <string>
#include <string_view>

namespace tessary {

// Longest url of a rewritable file line, in bytes.
inline constexpr size_t kMaxPluginUrlChars = 2095;

// "<base>||[appdb]=<version>||[<id>]": the manifest request of one plug-in.
std::string PluginRequest(std::string_view base, std::string_view version, std::string_view id);

// The extension of `path`: from its last '.' after the last '/', '\' or space
// (empty when there is none).
std::string_view PathExtension(std::string_view path);

// When the text from the first "FILE=" of `response` is "FILE=", a url of 1 to
// kMaxPluginUrlChars bytes without '|', then "||" and CR LF, and the url's
// extension differs (ignoring ASCII case) from `extension`, replaces the url's
// extension by `extension` in place, but only when that keeps the url's length;
// the rest of the response is left as it was. Returns true when it rewrote.
bool RewriteFileUrlExtension(std::string* response, std::string_view extension);

// True when the answer delivers a full database ("_0.xdb" or "_0.cab") that
// replaces the plug-in's database instead of being merged into it.
bool GetIsFullCacheFileDB(std::string_view response);

}  // namespace tessary
