#include "Logging/log_line.h"

namespace tessary::ETWLogging {
namespace {

// printf's "%W.Ws": the first `width` characters, padded on the left to `width`.
void AppendCutRightAligned(std::wstring* out, std::wstring_view text, size_t width) {
    if (text.size() > width) text = text.substr(0, width);
    out->append(width - text.size(), L' ');
    out->append(text);
}

// printf's "%Wu" / "%Wd" (never cut) and "%0Wu" when `fill` is '0'.
void AppendNumber(std::wstring* out, long long value, size_t width, wchar_t fill = L' ') {
    const std::wstring digits = std::to_wstring(value);
    if (digits.size() < width) out->append(width - digits.size(), fill);
    out->append(digits);
}

}  // namespace

const wchar_t* SeverityName(uint32_t severity) noexcept {
    switch (severity) {
        case kSeverityNormal:
            return L"Normal";
        case kSeverityWarning:
            return L"Warning";
        case kSeverityInformation:
        case kSeverityInformationHigh:
            return L"Information";
        case kSeverityError:
            return L"Error";
        case kSeverityCritical:
            return L"Critical";
        default:
            return nullptr;
    }
}

std::wstring FormatLogLine(const LineFields& f) {
    std::wstring out;
    out.reserve(96 + f.message.size());

    const unsigned hour12 = (f.time.hour % 12 == 0) ? 12 : f.time.hour % 12;
    AppendNumber(&out, f.time.month, 2, L'0');
    out += L'/';
    AppendNumber(&out, f.time.day, 2, L'0');
    out += L'/';
    AppendNumber(&out, f.time.year, 0);
    out += L' ';
    AppendNumber(&out, hour12, 2, L'0');
    out += L':';
    AppendNumber(&out, f.time.minute, 2, L'0');
    out += L':';
    AppendNumber(&out, f.time.second, 2, L'0');
    out += f.time.hour < 12 ? L" AM$" : L" PM$";

    const wchar_t* name = SeverityName(f.severity);
    out += L" -- (";
    out += name != nullptr ? name : L"";
    out += L")$";

    if (f.options & kOptionTag) {
        out += L' ';
        if (!f.tag.empty()) {
            out += L'[';
            AppendCutRightAligned(&out, f.tag, 15);
            out += L"]$";
        }
    }
    if (f.options & kOptionProcessThread) {
        out += L" [PID:";
        AppendNumber(&out, f.processId, 5);
        out += L" TID:";
        AppendNumber(&out, f.threadId, 5);
        out += L"]$";
    }
    if ((f.options & kOptionFileLine) && !f.sourceFile.empty()) {
        std::wstring_view file = f.sourceFile;
        const size_t slash = file.rfind(L'\\');
        if (slash != std::wstring_view::npos) file.remove_prefix(slash + 1);
        out += L" [";
        AppendCutRightAligned(&out, file, 20);
        out += L':';
        AppendNumber(&out, f.line, 5);
        out += L"]$";
    }
    if ((f.options & kOptionFunction) && !f.function.empty()) {
        out += L" [";
        AppendCutRightAligned(&out, f.function, 40);
        out += L"()]$";
    }
    out += L' ';
    out += f.message;
    if (f.message.empty() || f.message.back() != L'\n') out += L"\r\n";
    return out;
}

size_t CutLength(std::wstring_view text, size_t limit) noexcept {
    if (text.size() <= limit) return text.size();
    size_t length = limit;
    // Do not keep a high surrogate whose low half was cut away.
    if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) --length;
    return length;
}

}  // namespace tessary::ETWLogging
