#pragma once

// The process logger as the tests read it back. Test support only.

#include <windows.h>

#include <string>

#include "Logging/log_builder.h"
#include "Logging/logging.h"

namespace tessary::testing {

// Starts this process's logger as the file logger and returns its first log file
// (empty when the logger has no file output).
inline std::wstring StartFileLogger() {
    ETWLogging::CLoggingIf* logger = ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, nullptr, true).GetLogger();
    auto* file = static_cast<ETWLogging::CLogging*>(logger->QueryLogger(ETWLogging::LoggingMechanism::kFile));
    if (file == nullptr) return {};
    std::wstring path = file->LogFilePath(0);
    file->Release();
    return path;
}

}  // namespace tessary::testing
