#include "component/reputation_query.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "Logging/log_builder.h"
#include "platform/text.h"
#include "store/answer.h"
#include "store/cipher.h"
#include "store/record_cache.h"
#include "transport/service_exchange.h"
#include "transport/service_urls.h"

namespace tessary {
namespace {

constexpr wchar_t kSource[] = L"TsService";

constexpr char kRequestFormat[] =
    "[exe]=%s||[size]=%d||[hash]=%s||[path]=%s||[application_name]=%s||[company]=%s||[version]=%s||[tsid]=%s||"
    "[os]=%s||[build]=%s||[lang]=%s%s%s%s%s%s%s%s%s%s";
static_assert(sizeof(kRequestFormat) - 1 == 153);

constexpr std::string_view kStatOne = "||[stat]=1";
constexpr std::string_view kStatZero = "||[stat]=0";
constexpr std::string_view kProdKey = "||[prod]=";
constexpr std::string_view kFeatKey = "||[feat]=";
constexpr std::string_view kIpKey = "||[ip]=";
constexpr std::string_view kPortKey = "||[port]=";
constexpr std::string_view kLanguage = "en";
constexpr size_t kMaxOsText = 259;

size_t RoundUpToBlock(size_t n) { return (n + 7) / 8 * 8; }

}  // namespace

std::string BuildRequestText(const AppRecord& record, const QueryEnvironment& env, const QueryExtras& extras) {
    std::string text;
    text.reserve(512);
    auto field = [&text](std::string_view key, std::string_view value) {
        if (!text.empty()) text += "||";
        text += key;
        text += value;
    };
    field("[exe]=", record.exeName);
    field("[size]=", std::to_string(static_cast<int32_t>(record.sizeOnDisk)));
    field("[hash]=", record.md5);
    field("[path]=", WideToNarrow(record.path));
    field("[application_name]=", record.applicationName);
    field("[company]=", record.company);
    field("[version]=", record.version);
    field("[tsid]=", env.tsid);
    field("[os]=", env.osText);
    field("[build]=", env.buildText);
    field("[lang]=", kLanguage);
    if (extras.includeUsage) {
        text += extras.permissionIsOne ? kStatOne : kStatZero;
        text += kProdKey;
        text += std::to_string(extras.product);
        text += kFeatKey;
        text += std::to_string(extras.feature);
    }
    if (extras.address != 0) {
        text += kIpKey;
        text += std::to_string(extras.address);
        text += kPortKey;
        text += std::to_string(extras.port);
    }
    return text;
}

std::vector<uint8_t> BuildRequestBuffer(const AppRecord& record, const QueryEnvironment& env,
                                        const QueryExtras& extras) {
    const std::string text = BuildRequestText(record, env, extras);
    // The buffer is sized from the parts' lengths (the path in characters) with
    // 40 bytes to spare, plus every optional group whether or not it is sent.
    const size_t sum = (sizeof(kRequestFormat) - 1) + record.exeName.size() + record.path.size() +
                       record.applicationName.size() + record.company.size() + record.version.size() + kPortKey.size() +
                       kIpKey.size() + kFeatKey.size() + kProdKey.size() + kStatOne.size() + kLanguage.size() +
                       env.buildText.size() + env.osText.size() + std::to_string(extras.product).size() +
                       std::to_string(extras.feature).size() + std::to_string(extras.address).size() +
                       std::to_string(extras.port).size() + env.tsid.size();
    // Smallest multiple of 8 greater than sum + 40; a code page with multi-byte
    // characters can make the text longer than that, so it always fits with its zero.
    const size_t length = std::max((sum + 40) / 8 * 8 + 8, RoundUpToBlock(text.size() + 1));
    std::vector<uint8_t> buffer(length, 0);
    std::copy(text.begin(), text.end(), buffer.begin());
    return buffer;
}

std::string OsVersionText() {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(&info)) return {};
#pragma GCC diagnostic pop
    char text[512];
    std::snprintf(text, sizeof(text), "Windows %s %lu.%lu (%lu) %s", info.dwPlatformId == 2 ? "NT" : "9x",
                  info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber,
                  WideToNarrow(info.szCSDVersion).c_str());
    std::string result(text);
    if (result.size() > kMaxOsText) result.resize(kMaxOsText);
    return result;
}

const QueryEnvironment& ProcessQueryEnvironment() {
    static const QueryEnvironment env{std::string(), OsVersionText(), std::to_string(kBuildNumber)};
    return env;
}

bool QueryService(AppRecord& record, const QueryExtras& extras) noexcept {
    try {
        std::vector<uint8_t> buffer = BuildRequestBuffer(record, ProcessQueryEnvironment(), extras);
        EncryptBlocks(buffer.data(), buffer.size());
        const std::wstring url =
            BuiltInUrl(ServiceEndpoint::kQuery, NarrowToWide(ToHexText(buffer.data(), buffer.size())));
        buffer.clear();
        buffer.shrink_to_fit();

        std::string body;
        ExchangeStatus status;
        if (!ServiceExchange(url.c_str(), nullptr, 0, &body, nullptr, &status) || body.empty()) {
            TS_LOG(ETWLogging::kSeverityWarning, kSource, L"The service query failed: %s",
                   DescribeExchange(status).c_str());
            return false;
        }
        // The answer is text and ends at its first zero byte, as the stored copy does:
        // an end marker behind a zero byte does not make a cut answer whole.
        if (const size_t zero = body.find('\0'); zero != std::string::npos) body.resize(zero);
        if (!ParseAnswer(record, body, true)) {
            TS_LOG(ETWLogging::kSeverityWarning, kSource, L"The service's answer (%llu bytes) could not be read.",
                   static_cast<unsigned long long>(body.size()));
            record.className.assign(1, '?');
            return false;
        }
        KeepServerRecord(record, body);
        return true;
    } catch (...) {
        // Out of memory or a refused buffer length: the query fails like a failed exchange.
        TS_LOG_CAUGHT(kSource, L"The service query");
        return false;
    }
}

}  // namespace tessary
