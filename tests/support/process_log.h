#pragma once

// The process logger as the tests read it back. Test support only.

#include <windows.h>

#include <string>

#include "Logging/log_builder.h"
#include "Logging/logging.h"

namespace tessary::testing {

// Starts this process's logger as the file logger, empties its log files, and
// returns the first one, which the process's lines then go to
// (empty when the logger has no file output).
inline std::wstring StartFileLogger() {
    ETWLogging::CLoggingIf* logger = ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, nullptr, true).GetLogger();
    auto* file = static_cast<ETWLogging::CLogging*>(logger->QueryLogger(ETWLogging::LoggingMechanism::kFile));
    if (file == nullptr) return {};
    // Each test process starts at an empty file 0 that never rotates under it:
    // lines of earlier runs would otherwise fill it and move later lines on to
    // the next file.
    ::DeleteFileW(file->ModuleSettingsPath().c_str());
    for (unsigned long index = 0; index < ETWLogging::kMaxMaxEntries; ++index) {
        ::DeleteFileW(file->LogFilePath(index).c_str());
    }
    logger->SetMaxSize(ETWLogging::kMaxMaxSize);
    std::wstring path = file->LogFilePath(0);
    file->Release();
    return path;
}

}  // namespace tessary::testing
