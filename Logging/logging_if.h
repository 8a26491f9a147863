#pragma once

// The logger interface both diagnostic loggers implement (file logger CLogging,
// event-tracing logger CETWLogging), its result codes, and the state and
// operations the two share.

#include <windows.h>

#include <atomic>
#include <cstdarg>

#include "platform/platform_log.h"
#include "Logging/log_line.h"

namespace tessary::ETWLogging {

// Result codes of the logger operations. Any other value is the system error of
// a failed file or trace operation.
inline constexpr DWORD kLogSuccess = 0;
inline constexpr DWORD kLogInvalidParameter = ERROR_INVALID_PARAMETER;  // 87
inline constexpr DWORD kLogOutOfMemory = ERROR_OUTOFMEMORY;             // 14
inline constexpr DWORD kLogFileAlreadyOpen = ERROR_ALREADY_EXISTS;      // 183
inline constexpr DWORD kLogAlreadyInitialized = 20001;
inline constexpr DWORD kLogNotInitialized = 20002;

// Settings limits shared by both loggers' setters.
inline constexpr DWORD kMinMaxSize = 0x40000;   // 262144 bytes
inline constexpr DWORD kMaxMaxSize = 0xA00000;  // 10485760 bytes
inline constexpr DWORD kMinMaxEntries = 2;
inline constexpr DWORD kMaxMaxEntries = 100;
inline constexpr DWORD kDefaultMaxSize = kMinMaxSize;
inline constexpr DWORD kDefaultMaxEntries = 3;
inline constexpr DWORD kDefaultSeverity = kSeverityInformation;
inline constexpr DWORD kDefaultOptions = kOptionTag;
// Threshold that lets no line through (logging switched off for good).
inline constexpr DWORD kSeverityOff = 10000;

enum class LoggingMechanism {
    kFile,          // CLogging
    kEventTracing,  // CETWLogging
};

// A process logger. Operations never throw; results are codes above.
//
// Format strings follow the C runtime's wide printf: "%s" takes a wide string,
// "%hs" a narrow one. Source file and function are shown as given; the source
// file may be a path (only its name is shown) or a unit name such as "GoOnline".
class CLoggingIf {
public:
    // Destroys the logger (after Shutdown when it was initialised).
    virtual ~CLoggingIf() = default;

    // Binds the logger to `group` (null for none; e.g. L"TSAPI"), the module at
    // `modulePath` (a path or file name; null for the process executable) and
    // `suffix` (null for none). Returns 87 when `group` or `suffix` is given but
    // empty, 20001 when already initialised, 14 when out of memory, or the system
    // error that stopped it; on any failure the logger stays uninitialised with
    // its defaults.
    virtual DWORD Initialize(const wchar_t* group, const wchar_t* modulePath, const wchar_t* suffix) = 0;

    // Current reference count (diagnostics).
    virtual LONG RefCount() const = 0;
    // This logger with one more reference when it is of `mechanism`, else null.
    virtual CLoggingIf* QueryLogger(LoggingMechanism mechanism) = 0;

    // Releases paths, names and registrations and restores the defaults, so the
    // logger can be initialised again. Returns 20002 when not initialised.
    virtual DWORD Shutdown() = 0;

    virtual void SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() const = 0;

    // Formats and writes one line when the logger is enabled and `severity`
    // reaches the threshold; otherwise does nothing and returns 0. Returns 87 for
    // a severity outside 1..6 or a null format, 20002 when not initialised.
    // Message text beyond the logger's limit is cut.
    DWORD Log(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
    virtual DWORD LogV(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line,
                       const wchar_t* format, va_list args) = 0;

    // Writes `text` as one line of `severity` (no threshold test). Returns 87 for
    // an unknown severity or an empty text, 20002 when not initialised.
    virtual DWORD Write(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                        const wchar_t* text) = 0;

    // True when a line of `severity` would be written; test it before building
    // an expensive message.
    virtual bool IsSeverityEnabled(DWORD severity) const = 0;

    // Setters clamp: entries to 2..100, size to 262144..10485760, severity to 1..6.
    virtual void SetMaxEntries(DWORD entries) = 0;
    virtual DWORD GetMaxEntries() const = 0;
    virtual void SetMaxSize(DWORD bytes) = 0;
    virtual DWORD GetMaxSize() const = 0;
    virtual void SetSeverity(DWORD severity) = 0;
    virtual DWORD GetSeverity() const = 0;

    // Reference counting: the logger deletes itself when the count reaches zero.
    virtual LONG AddRef() = 0;
    virtual LONG Release() = 0;

    // Log with the severity fixed to 1, 2, 3, 4 and 5.
    DWORD LogNormal(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
    DWORD LogWarning(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
    DWORD LogInformation(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
    DWORD LogError(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
    DWORD LogCritical(const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format, ...);
};

// The bounded formatter every log line goes through (platform/platform_log.h).
using ::tessary::platform_log::FormatMessageText;

// Clamping of the setters.
DWORD ClampMaxEntries(DWORD entries) noexcept;
DWORD ClampMaxSize(DWORD bytes) noexcept;
DWORD ClampSeverity(DWORD severity) noexcept;

// State and operations common to both loggers: reference count, enabled flag and
// threshold, size and entry limits, and the log step that formats and calls Write.
class CLoggerBase : public CLoggingIf {
public:
    LONG RefCount() const override;
    CLoggingIf* QueryLogger(LoggingMechanism mechanism) override;
    void SetEnabled(bool enabled) override;
    bool IsEnabled() const override;
    DWORD LogV(DWORD severity, const wchar_t* sourceFile, const wchar_t* function, int line, const wchar_t* format,
               va_list args) override;
    bool IsSeverityEnabled(DWORD severity) const override;
    void SetMaxEntries(DWORD entries) override;
    DWORD GetMaxEntries() const override;
    void SetMaxSize(DWORD bytes) override;
    DWORD GetMaxSize() const override;
    void SetSeverity(DWORD severity) override;
    DWORD GetSeverity() const override;
    LONG AddRef() override;
    LONG Release() override;

protected:
    CLoggerBase(LoggingMechanism mechanism, size_t messageLimit);

    // Puts enabled flag, threshold and limits back to their defaults.
    void RestoreDefaultSettings();
    // Stores a threshold without clamping (settings file values, switch-off).
    void StoreSeverity(DWORD severity) { severity_.store(severity); }
    virtual bool IsInitialized() const = 0;
    // False while lines would be dropped anyway, so Log skips formatting them.
    virtual bool AcceptsLines() const { return true; }

private:
    const LoggingMechanism mechanism_;
    const size_t messageLimit_;
    std::atomic<LONG> refs_{1};
    std::atomic<bool> enabled_{true};
    std::atomic<DWORD> severity_{kDefaultSeverity};
    std::atomic<DWORD> maxEntries_{kDefaultMaxEntries};
    std::atomic<DWORD> maxSize_{kDefaultMaxSize};
};

}  // namespace tessary::ETWLogging
