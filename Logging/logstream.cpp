#include "Logging/logstream.h"

#include <new>

#include "Logging/log_builder.h"

namespace tessary::ETWLogging {

logstreambuf::int_type logstreambuf::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    try {
        text_.push_back(traits_type::to_char_type(ch));
    } catch (const std::bad_alloc&) {
        return traits_type::eof();
    }
    return ch;
}

std::streamsize logstreambuf::xsputn(const char_type* s, std::streamsize count) {
    if (count <= 0) return 0;
    try {
        text_.append(s, static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return count;
}

logstream::logstream(std::wstring sourceFile) : std::wostream(nullptr), sourceFile_(std::move(sourceFile)) {
    rdbuf(&buffer_);
    ::InitializeCriticalSection(&lock_);
}

logstream::~logstream() { ::DeleteCriticalSection(&lock_); }

void logstream::Begin(DWORD severity, int line, const char* function) {
    ::EnterCriticalSection(&lock_);
    buffer_.clear();
    clear();
    flags(std::ios_base::dec | std::ios_base::skipws);
    width(0);
    precision(6);
    fill(L' ');
    severity_ = severity;
    line_ = line;
    try {
        function_ = WideFunctionName(function);
    } catch (const std::bad_alloc&) {
        function_.clear();
    }
}

DWORD logstream::End(CLoggingIf* logger) {
    if (logger == nullptr) logger = ProcessLogger();
    DWORD result = kLogSuccess;
    if (logger != nullptr && !buffer_.text().empty()) {
        result = logger->Log(severity_, sourceFile_.c_str(), function_.c_str(), line_, L"%s", buffer_.text().c_str());
    }
    buffer_.clear();
    ::LeaveCriticalSection(&lock_);
    return result;
}

logstream& LogStreamSlot::Get(const wchar_t* sourceFile) {
    logstream* stream = stream_.load(std::memory_order_acquire);
    if (stream != nullptr) return *stream;
    while (lock_.test_and_set(std::memory_order_acquire)) ::SwitchToThread();
    stream = stream_.load(std::memory_order_relaxed);
    if (stream == nullptr) {
        // Deliberately never deleted: statements may run during process exit.
        try {
            stream = new logstream(sourceFile != nullptr ? sourceFile : L"");
        } catch (...) {
            lock_.clear(std::memory_order_release);
            throw;
        }
        stream_.store(stream, std::memory_order_release);
    }
    lock_.clear(std::memory_order_release);
    return *stream;
}

LogStatement::LogStatement(logstream& stream, DWORD severity, int line, const char* function) : stream_(stream) {
    stream_.Begin(severity, line, function);
}

LogStatement::~LogStatement() { stream_.End(); }

}  // namespace tessary::ETWLogging
