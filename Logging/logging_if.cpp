#include "Logging/logging_if.h"

#include <cwchar>

namespace tessary::ETWLogging {

#define TS_LOG_FORWARD(severity)                                                     \
    va_list args;                                                                    \
    va_start(args, format);                                                          \
    const DWORD result = LogV((severity), sourceFile, function, line, format, args); \
    va_end(args);                                                                    \
    return result

DWORD CLoggingIf::Log(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                      const wchar_t* format, ...) {
    TS_LOG_FORWARD(severity);
}

DWORD CLoggingIf::LogNormal(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...) {
    TS_LOG_FORWARD(kSeverityNormal);
}

DWORD CLoggingIf::LogWarning(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...) {
    TS_LOG_FORWARD(kSeverityWarning);
}

DWORD CLoggingIf::LogInformation(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                                 ...) {
    TS_LOG_FORWARD(kSeverityInformation);
}

DWORD CLoggingIf::LogError(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...) {
    TS_LOG_FORWARD(kSeverityError);
}

DWORD CLoggingIf::LogCritical(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
                              ...) {
    TS_LOG_FORWARD(kSeverityCritical);
}

#undef TS_LOG_FORWARD

DWORD ClampMaxEntries(DWORD entries) noexcept {
    return entries < kMinMaxEntries ? kMinMaxEntries : (entries > kMaxMaxEntries ? kMaxMaxEntries : entries);
}

DWORD ClampMaxSize(DWORD bytes) noexcept {
    return bytes < kMinMaxSize ? kMinMaxSize : (bytes > kMaxMaxSize ? kMaxMaxSize : bytes);
}

DWORD ClampSeverity(DWORD severity) noexcept {
    return severity < kSeverityNormal ? kSeverityNormal
                                      : (severity > kSeverityInformationHigh ? kSeverityInformationHigh : severity);
}

CLoggerBase::CLoggerBase(LoggingMechanism mechanism, size_t messageLimit)
    : mechanism_(mechanism), messageLimit_(messageLimit) {}

LONG CLoggerBase::RefCount() const { return refs_.load(); }

CLoggingIf* CLoggerBase::QueryLogger(LoggingMechanism mechanism) {
    if (mechanism != mechanism_) return nullptr;
    AddRef();
    return this;
}

void CLoggerBase::SetEnabled(bool enabled) { enabled_.store(enabled); }

bool CLoggerBase::IsEnabled() const { return enabled_.load(); }

DWORD CLoggerBase::LogV(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                        const wchar_t* format, va_list args) {
    if (SeverityName(severity) == nullptr || format == nullptr) return kLogInvalidParameter;
    if (!IsInitialized()) return kLogNotInitialized;
    if (!IsEnabled() || !IsSeverityEnabled(severity) || !AcceptsLines()) return kLogSuccess;
    // One code unit more than the limit holds the terminator.
    constexpr size_t kStackUnits = kFileMessageLimit + 1;
    wchar_t stackBuffer[kStackUnits];
    const size_t capacity = messageLimit_ + 1 <= kStackUnits ? messageLimit_ + 1 : kStackUnits;
    size_t length = FormatMessageText(stackBuffer, capacity, format, args);
    // A cut that split a surrogate pair drops its first half.
    if (length == capacity - 1 && length > 0 && stackBuffer[length - 1] >= 0xD800 &&
        stackBuffer[length - 1] <= 0xDBFF) {
        stackBuffer[--length] = L'\0';
    }
    return Write(sourceFile, function, line, severity, stackBuffer);
}

bool CLoggerBase::IsSeverityEnabled(DWORD severity) const { return severity >= severity_.load(); }

void CLoggerBase::SetMaxEntries(DWORD entries) { maxEntries_.store(ClampMaxEntries(entries)); }

DWORD CLoggerBase::GetMaxEntries() const { return maxEntries_.load(); }

void CLoggerBase::SetMaxSize(DWORD bytes) { maxSize_.store(ClampMaxSize(bytes)); }

DWORD CLoggerBase::GetMaxSize() const { return maxSize_.load(); }

void CLoggerBase::SetSeverity(DWORD severity) { severity_.store(ClampSeverity(severity)); }

DWORD CLoggerBase::GetSeverity() const { return severity_.load(); }

LONG CLoggerBase::AddRef() { return ++refs_; }

LONG CLoggerBase::Release() {
    const LONG left = --refs_;
    if (left == 0) delete this;
    return left;
}

void CLoggerBase::RestoreDefaultSettings() {
    enabled_.store(true);
    severity_.store(kDefaultSeverity);
    maxEntries_.store(kDefaultMaxEntries);
    maxSize_.store(kDefaultMaxSize);
}

}  // namespace tessary::ETWLogging
