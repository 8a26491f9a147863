#pragma once

// Stream-style logging: each source file owns one wide output stream bound to the
// process logger. A statement holds the stream's critical section from its start
// to its flush, which hands the collected text to the logger's log operation with
// the format "%s" (so the enabled flag and the threshold apply as for TS_LOG).
//
//   TS_DEFINE_LOGSTREAM(L"QnTessarySharedPerms")   // once, at namespace scope of the .cpp
//   TS_SLOG(ETWLogging::kSeverityError) << L"cannot open " << path << L": " << error;

#include <windows.h>

#include <atomic>
#include <ostream>
#include <streambuf>
#include <string>

#include "Logging/logging_if.h"

namespace tessary::ETWLogging {

// Collects the characters of one statement.
class logstreambuf : public std::wstreambuf {
public:
    const std::wstring& text() const { return text_; }
    void clear() { text_.clear(); }

protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char_type* s, std::streamsize count) override;

private:
    std::wstring text_;
};

class logstream : public std::wostream {
public:
    // `sourceFile`: the name every line of this stream carries (kept as given).
    explicit logstream(std::wstring sourceFile);
    ~logstream() override;
    logstream(const logstream&) = delete;
    logstream& operator=(const logstream&) = delete;

    // Starts a statement: takes the critical section, clears the text and the
    // formatting state, records the fields.
    void Begin(DWORD severity, int line, const char* function);
    // Ends it: passes the text to `logger` (the process logger when null; nothing
    // when there is none) and releases the critical section. Returns the log result.
    DWORD End(CLoggingIf* logger = nullptr);

    const std::wstring& SourceFile() const { return sourceFile_; }

private:
    logstreambuf buffer_;
    const std::wstring sourceFile_;
    CRITICAL_SECTION lock_;
    DWORD severity_ = kSeverityInformation;
    int line_ = 0;
    std::wstring function_;
};

// Holds a source file's stream, created on first use under a spin lock and kept
// for the life of the process (so statements in static destructors still work).
class LogStreamSlot {
public:
    constexpr LogStreamSlot() = default;
    logstream& Get(const wchar_t* sourceFile);

private:
    std::atomic<logstream*> stream_{nullptr};
    std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
};

// One statement: Begin in the constructor, End in the destructor, so the text
// streamed into stream() in between is one line.
class LogStatement {
public:
    LogStatement(logstream& stream, DWORD severity, int line, const char* function);
    ~LogStatement();
    LogStatement(const LogStatement&) = delete;
    LogStatement& operator=(const LogStatement&) = delete;
    std::wostream& stream() { return stream_; }

private:
    logstream& stream_;
};

}  // namespace tessary::ETWLogging

#define TS_DEFINE_LOGSTREAM(sourceName)                                                                            \
    namespace {                                                                                                    \
    ::tessary::ETWLogging::LogStreamSlot ts_file_logstream_slot_;                                                  \
    inline ::tessary::ETWLogging::logstream& TsFileLogStream() { return ts_file_logstream_slot_.Get(sourceName); } \
    }

#define TS_SLOG(severity) \
    ::tessary::ETWLogging::LogStatement(TsFileLogStream(), (severity), __LINE__, __FUNCTION__).stream()
