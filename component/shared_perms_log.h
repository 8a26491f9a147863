#pragma once

// Log statements of the shared permission units: the source "QnTessarySharedPerms"
// (TS_DEFINE_LOGSTREAM in each .cpp) and the routine name each line carries, given
// explicitly because the compiler's __FUNCTION__ drops the class name.
//
//   PERMS_LOG(ETWLogging::kSeverityError, "CQnTessarySharedPerms::LockCache") << L"TSAPI: ...";

#include "Logging/log_line.h"
#include "Logging/logstream.h"

#define PERMS_LOG(severity, function) \
    ::tessary::ETWLogging::LogStatement(TsFileLogStream(), (severity), __LINE__, (function)).stream()
