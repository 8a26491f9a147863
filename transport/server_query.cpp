#include "transport/server_query.h"

#include <objbase.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "Logging/log_builder.h"
#include "platform/product_registry.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "transport/service_exchange.h"

namespace tessary {
namespace {

constexpr char kRequestOpen[] = "<TSReq>";
constexpr char kRequestClose[] = "</TSReq>";

}  // namespace

bool SubmissionAllowed() {
    DWORD submit = 0;
    if (!registry::ReadProtectedDword(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit, &submit)) return true;
    return submit != 0;
}

std::string BuildQueryBody(std::wstring_view data) {
    std::string body = kRequestOpen;
    body += WideToNarrow(data);
    body += kRequestClose;
    return body;
}

HRESULT TessaryQuery(const wchar_t* url, const wchar_t* data, USHORT** response, LONG* responseLength,
                     LONG* plResult) noexcept {
    if (response == nullptr || responseLength == nullptr || plResult == nullptr) return E_POINTER;
    *response = nullptr;
    *responseLength = 0;

    if (!SubmissionAllowed()) {
        *plResult = kQueryDone;
        return S_OK;
    }

    std::string body;
    std::string answer;
    try {
        body = BuildQueryBody(data != nullptr ? std::wstring_view(data) : std::wstring_view());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    *plResult = kQueryDone;

    if (url == nullptr) {
        *plResult = kQueryFailed;
    } else if (ExchangeStatus status;
               !ServiceExchange(url, body.data(), static_cast<DWORD>(body.size()), &answer, nullptr, &status)) {
        // A refused request may still have sent an explanatory body; it is handed on.
        *plResult = kQueryFailed;
        try {
            TS_LOG(ETWLogging::kSeverityWarning, L"TsService", L"The raw query to %s failed: %s", url,
                   DescribeExchange(status).c_str());
        } catch (const std::bad_alloc&) {
            // The reason is lost; the result stands.
        }
    }

    // The answer's byte count bounds the converted text: an ANSI code page never
    // needs more UTF-16 characters than bytes.
    const size_t answerBytes = std::min<size_t>(answer.size(), LONG_MAX - 1);
    UniqueTaskMemory block(::CoTaskMemAlloc((answerBytes + 1) * sizeof(USHORT)));
    auto* text = static_cast<USHORT*>(block.get());
    if (text == nullptr) {
        *plResult = kQueryFailed;
        return E_OUTOFMEMORY;
    }
    std::memset(text, 0, (answerBytes + 1) * sizeof(USHORT));
    if (answerBytes > 0) {
        try {
            std::wstring wide = NarrowToWide(std::string_view(answer.data(), answerBytes));
            std::memcpy(text, wide.data(), std::min(wide.size(), answerBytes) * sizeof(USHORT));
        } catch (const std::bad_alloc&) {
            *plResult = kQueryFailed;
            return E_OUTOFMEMORY;
        }
    }
    *response = static_cast<USHORT*>(block.Take());
    *responseLength = static_cast<LONG>(answerBytes);
    return S_OK;
}

}  // namespace tessary
