#pragma once

// The process-wide logger: created once, on first use, as the file logger or the
// event-tracing logger, and the printf-style front end over it.
//
// Both deliverables start it with the group "TSAPI":
//   tsapi (DllMain / first use):  CDefaultLogBuilder(kLogGroup, tsapiModule).GetLogger();  // module "tsapi"
//   TSUpdChk (wWinMain):          CDefaultLogBuilder(kLogGroup, nullptr).GetLogger();      // module "TSUpdChk"
// and stop it when they unload or exit: ShutdownProcessLogger().
//
// A log statement:
//   TS_LOG(ETWLogging::kSeverityError, L"GoOnline", L"download of %s failed: %lu", url, error);

#include <windows.h>

#include <string>

#include "Logging/logging_if.h"

namespace tessary::ETWLogging {

inline constexpr wchar_t kLogGroup[] = L"TSAPI";

// Creates the process logger.
class CLogBuilderIf {
public:
    virtual ~CLogBuilderIf() = default;

    // The process logger: created and initialised by the first call in the
    // process, returned unchanged by every later call (whatever builder makes it).
    // Never null. The process owns the reference; callers do not release it.
    virtual CLoggingIf* GetLogger() = 0;
};

class CDefaultLogBuilder final : public CLogBuilderIf {
public:
    // `group`: null or a name such as kLogGroup. `module`: the module the logs
    // are named after (null: the process executable). `wantFileLogger`: the file
    // logger whatever the registry says.
    CDefaultLogBuilder(const wchar_t* group, HMODULE module, bool wantFileLogger = false);

    // Creates the file logger when asked or when "Logging Mechanism" is 1, else
    // the event-tracing logger, initialises it and installs the platform message
    // handler. An initialisation failure leaves a logger that writes nothing.
    CLoggingIf* GetLogger() override;

    // The mechanism the registry chooses: the file logger only when the protected
    // value "Logging Mechanism" reads 1.
    static LoggingMechanism ConfiguredMechanism();

private:
    std::wstring group_;
    bool hasGroup_;
    HMODULE module_;
    bool wantFileLogger_;
};

// The process logger, or null before any builder created it.
CLoggingIf* ProcessLogger() noexcept;

// Shuts the process logger down (unregisters the trace provider) before the
// module that created it unloads. The logger object stays; it writes nothing more.
void ShutdownProcessLogger() noexcept;

// Drops the process logger when the module that created it is freed (under the
// loader lock): uninstalls the platform message handler and releases the logger
// without shutting it down first, so nothing waits. A file logger holds nothing
// between lines; an event-tracing logger that registered its provider keeps its
// module loaded for the life of the process, so it never gets here registered.
// ProcessLogger() is null afterwards; GetLogger does not build a new one.
void ReleaseProcessLogger() noexcept;

// Routes the platform library's own messages to the process logger. Message kinds
// 0 and 1 become severity 1, kind 2 severity 4, every other kind severity 2.
class CPlinthLogHandler {
public:
    static DWORD SeverityForKind(int kind) noexcept;

    // Logs `text` through the process logger (if any) with the severity of `kind`.
    // Returns the log result, 0 when no logger exists or the severity is off.
    static DWORD OnMessage(int kind, const wchar_t* source, const wchar_t* function, int line,
                           const wchar_t* text) noexcept;
};

// The handler whose sink the builder installed (platform/platform_log.h), null
// before the logger exists and after it is shut down.
CPlinthLogHandler* PlatformLogHandler() noexcept;

// `function` (an ASCII name such as __FUNCTION__) as a wide string.
std::wstring WideFunctionName(const char* function);

// Logs at severity 2, through the process logger, that `doing` was given up
// because of the exception being handled: "<doing> abandoned: out of memory", or
// the exception's own text. Call it only inside a catch block, once at the
// boundary that swallows the exception. Never throws.
void LogCaughtException(const wchar_t* source, const char* function, int line, const wchar_t* doing) noexcept;

}  // namespace tessary::ETWLogging

// printf-style log statement through the process logger: tests the severity
// first, so the arguments are formatted only for lines that are written.
#define TS_LOG(severity, source, ...)                                                                            \
    do {                                                                                                         \
        ::tessary::ETWLogging::CLoggingIf* ts_logger_ = ::tessary::ETWLogging::ProcessLogger();                  \
        if (ts_logger_ != nullptr && ts_logger_->IsSeverityEnabled(severity)) {                                  \
            ts_logger_->Log((severity), (source), ::tessary::ETWLogging::WideFunctionName(__FUNCTION__).c_str(), \
                            __LINE__, __VA_ARGS__);                                                              \
        }                                                                                                        \
    } while (0)

// The exception being handled, logged once where it is swallowed (see LogCaughtException).
#define TS_LOG_CAUGHT(source, doing) \
    ::tessary::ETWLogging::LogCaughtException((source), __FUNCTION__, __LINE__, (doing))
