// The manifest answer to an updater plug-in comes from the service, and the
// extension it is rewritten to comes from the plug-in's download file: a rewrite
// of any answer changes nothing but the first file line's url extension, keeps the
// answer's length, leaves an answer it refuses untouched, and a second rewrite to
// the same extension finds nothing left to do.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "updater/plugin_request.h"

using tessary::fuzz::FuzzReader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzReader reader(data, size);
    const std::string_view downloadFile = reader.Bytes(reader.Byte());
    const std::string response(reader.Rest());

    const std::string_view extension = tessary::PathExtension(downloadFile);
    if (!extension.empty()) {
        FUZZ_CHECK(extension.front() == '.');
        FUZZ_CHECK(extension.find_first_of("/\\ ") == std::string_view::npos);
        FUZZ_CHECK(extension.find('.', 1) == std::string_view::npos);
        FUZZ_CHECK(downloadFile.substr(downloadFile.size() - extension.size()) == extension);
    }

    FUZZ_CHECK(!tessary::RewriteFileUrlExtension(nullptr, extension));
    std::string rewritten = response;
    if (!tessary::RewriteFileUrlExtension(&rewritten, extension)) {
        FUZZ_CHECK(rewritten == response);
        return 0;
    }
    FUZZ_CHECK(rewritten.size() == response.size());
    const size_t line = response.find("FILE=");
    FUZZ_CHECK(line != std::string::npos);
    const size_t urlEnd = response.find('|', line + 5);
    FUZZ_CHECK(urlEnd != std::string::npos && urlEnd - (line + 5) <= tessary::kMaxPluginUrlChars);
    FUZZ_CHECK(response.compare(urlEnd, 4, "||\r\n") == 0);
    FUZZ_CHECK(urlEnd - (line + 5) >= extension.size());
    const size_t at = urlEnd - extension.size();
    FUZZ_CHECK(rewritten.compare(0, at, response, 0, at) == 0);
    FUZZ_CHECK(rewritten.compare(at, extension.size(), extension) == 0);
    FUZZ_CHECK(rewritten.compare(urlEnd, std::string::npos, response, urlEnd, std::string::npos) == 0);
    FUZZ_CHECK(tessary::PathExtension(std::string_view(response).substr(line + 5, urlEnd - line - 5)).size() ==
               extension.size());

    const std::string once = rewritten;
    FUZZ_CHECK(!tessary::RewriteFileUrlExtension(&rewritten, extension));
    FUZZ_CHECK(rewritten == once);
    return 0;
}
