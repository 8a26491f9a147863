#include "Logging/log_builder.h"

#include <atomic>
#include <exception>
#include <iterator>
#include <new>

#include "Logging/etw_logging.h"
#include "Logging/logging.h"
#include "platform/no_destructor.h"
#include "platform/paths.h"
#include "platform/platform_log.h"
#include "platform/product_registry.h"
#include "platform/registry.h"

namespace tessary::ETWLogging {
namespace {

struct BuildRequest {
    const wchar_t* group;
    HMODULE module;
    bool wantFileLogger;
};

INIT_ONCE g_once = INIT_ONCE_STATIC_INIT;
std::atomic<CLoggingIf*> g_logger{nullptr};
CPlinthLogHandler g_handler;

// An object that satisfies GetLogger's "never null" when even the allocation of
// a logger failed: uninitialised, so every log call returns 20002.
class CNullLogger final : public CLoggerBase {
public:
    CNullLogger() : CLoggerBase(LoggingMechanism::kFile, kFileMessageLimit) {}
    DWORD Initialize(const wchar_t*, const wchar_t*, const wchar_t*) override { return kLogOutOfMemory; }
    DWORD Shutdown() override { return kLogNotInitialized; }
    DWORD Write(const wchar_t*, const wchar_t*, int, DWORD, const wchar_t*) override { return kLogNotInitialized; }
    LONG Release() override { return 1; }  // static storage, never deleted

protected:
    bool IsInitialized() const override { return false; }
};
// Never destroyed (platform/no_destructor.h): the logger code runs in the
// component server, whose static destructors MinGW runs at process exit too.
NoDestructor<CNullLogger> g_nullLogger;

void PlatformSink(int kind, const wchar_t* source, const wchar_t* function, int line, const wchar_t* text) noexcept {
    CPlinthLogHandler::OnMessage(kind, source, function, line, text);
}

bool PlatformWants(int kind) noexcept {
    CLoggingIf* logger = ProcessLogger();
    return logger != nullptr && logger->IsSeverityEnabled(CPlinthLogHandler::SeverityForKind(kind));
}

BOOL CALLBACK CreateProcessLogger(PINIT_ONCE, PVOID parameter, PVOID*) {
    const auto* request = static_cast<const BuildRequest*>(parameter);
    CLoggingIf* logger = nullptr;
    try {
        const bool file =
            request->wantFileLogger || CDefaultLogBuilder::ConfiguredMechanism() == LoggingMechanism::kFile;
        if (file) {
            logger = new CLogging();
        } else {
            logger = new CETWLogging();
        }
        std::wstring modulePath;
        if (request->module != nullptr) modulePath = ModuleFilePath(request->module);
        logger->Initialize(request->group, modulePath.empty() ? nullptr : modulePath.c_str(), nullptr);
    } catch (const std::bad_alloc&) {
        if (logger == nullptr) logger = g_nullLogger.get();
    }
    g_logger.store(logger);
    platform_log::InstallSink(&PlatformSink, &PlatformWants);
    return TRUE;
}

}  // namespace

CDefaultLogBuilder::CDefaultLogBuilder(const wchar_t* group, HMODULE module, bool wantFileLogger)
    : group_(group != nullptr ? group : L""),
      hasGroup_(group != nullptr),
      module_(module),
      wantFileLogger_(wantFileLogger) {}

CLoggingIf* CDefaultLogBuilder::GetLogger() {
    BuildRequest request{hasGroup_ ? group_.c_str() : nullptr, module_, wantFileLogger_};
    ::InitOnceExecuteOnce(&g_once, CreateProcessLogger, &request, nullptr);
    CLoggingIf* logger = g_logger.load();
    return logger != nullptr ? logger : g_nullLogger.get();
}

LoggingMechanism CDefaultLogBuilder::ConfiguredMechanism() {
    DWORD value = 0;
    if (registry::ReadProtectedDword(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, &value) &&
        value == keys::kLoggingMechanismFile) {
        return LoggingMechanism::kFile;
    }
    return LoggingMechanism::kEventTracing;
}

CLoggingIf* ProcessLogger() noexcept { return g_logger.load(); }

void ShutdownProcessLogger() noexcept {
    platform_log::InstallSink(nullptr);
    CLoggingIf* logger = g_logger.load();
    if (logger != nullptr) logger->Shutdown();
}

void ReleaseProcessLogger() noexcept {
    platform_log::InstallSink(nullptr);
    CLoggingIf* logger = g_logger.exchange(nullptr);
    // The null logger is static; a real one is deleted by its last release.
    if (logger != nullptr) logger->Release();
}

DWORD CPlinthLogHandler::SeverityForKind(int kind) noexcept {
    switch (kind) {
        case 0:
        case 1:
            return kSeverityNormal;
        case 2:
            return kSeverityError;
        default:
            return kSeverityWarning;
    }
}

DWORD CPlinthLogHandler::OnMessage(int kind, const wchar_t* source, const wchar_t* function, int line,
                                   const wchar_t* text) noexcept {
    CLoggingIf* logger = ProcessLogger();
    const DWORD severity = SeverityForKind(kind);
    if (logger == nullptr || text == nullptr || !logger->IsSeverityEnabled(severity)) return kLogSuccess;
    return logger->Log(severity, source, function, line, L"%s", text);
}

CPlinthLogHandler* PlatformLogHandler() noexcept {
    return platform_log::InstalledSink() == &PlatformSink ? &g_handler : nullptr;
}

void LogCaughtException(const wchar_t* source, const char* function, int line, const wchar_t* doing) noexcept {
    CLoggingIf* logger = ProcessLogger();
    if (logger == nullptr || !logger->IsSeverityEnabled(kSeverityWarning)) return;
    const char* what = "an exception of unknown type";
    // Outside a catch block there is nothing to rethrow (a bare throw would end the process).
    if (const std::exception_ptr current = std::current_exception()) {
        try {
            std::rethrow_exception(current);
        } catch (const std::bad_alloc&) {
            what = "out of memory";
        } catch (const std::exception& error) {
            what = error.what();
        } catch (...) {
        }
    }
    wchar_t functionName[128] = {};
    for (size_t i = 0; function != nullptr && function[i] != '\0' && i + 1 < std::size(functionName); ++i) {
        functionName[i] = static_cast<wchar_t>(static_cast<unsigned char>(function[i]));
    }
    logger->Log(kSeverityWarning, source, functionName, line, L"%s abandoned: %hs.", doing != nullptr ? doing : L"",
                what != nullptr ? what : "");
}

std::wstring WideFunctionName(const char* function) {
    std::wstring out;
    if (function == nullptr) return out;
    for (const char* p = function; *p != '\0'; ++p) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*p)));
    return out;
}

}  // namespace tessary::ETWLogging
