#include "platform/platform_log.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>
#include <stdio.h>

namespace tessary::platform_log {
namespace {

std::atomic<Sink> g_sink{nullptr};
std::atomic<WantsKind> g_wants{nullptr};
// Set while the sink runs on this thread: the logger writing a line may itself
// call into this library, and a message from there must not log recursively.
thread_local bool t_inSink = false;

constexpr size_t kMaxFunctionChars = 128;

}  // namespace

size_t FormatMessageText(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) noexcept {
    if (buffer == nullptr || capacity == 0) return 0;
    // Zero first: the runtime's _vsnwprintf leaves the buffer unterminated when it
    // cuts, and may stop part-way on a format it rejects.
    std::wmemset(buffer, L'\0', capacity);
    if (format == nullptr) return 0;
    va_list copy;
    va_copy(copy, args);
    // The runtime's own wide printf, where "%s" takes a wide string.
    const int written = ::_vsnwprintf(buffer, capacity - 1, format, copy);
    va_end(copy);
    buffer[capacity - 1] = L'\0';
    if (written >= 0 && static_cast<size_t>(written) < capacity) return static_cast<size_t>(written);
    return std::wcslen(buffer);
}

void InstallSink(Sink sink, WantsKind wants) noexcept {
    g_sink.store(nullptr, std::memory_order_release);
    g_wants.store(wants, std::memory_order_release);
    g_sink.store(sink, std::memory_order_release);
}

Sink InstalledSink() noexcept { return g_sink.load(std::memory_order_acquire); }

namespace {

// Sets the thread's last error back to what it was when the object was made.
class LastErrorKeeper {
public:
    LastErrorKeeper() : error_(::GetLastError()) {}
    ~LastErrorKeeper() { ::SetLastError(error_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD error_;
};

}  // namespace

void Report(int kind, const char* function, int line, const wchar_t* format, ...) noexcept {
    // The caller usually goes on to return the failure it reports: its last error
    // must survive the logging, thread-local lookups included.
    const LastErrorKeeper keeper;
    const Sink sink = InstalledSink();
    if (sink == nullptr || format == nullptr || t_inSink) return;
    const WantsKind wants = g_wants.load(std::memory_order_acquire);
    if (wants != nullptr && !wants(kind)) return;

    wchar_t text[kMaxMessageChars + 1];
    va_list args;
    va_start(args, format);
    FormatMessageText(text, kMaxMessageChars + 1, format, args);
    va_end(args);

    wchar_t functionName[kMaxFunctionChars + 1];
    size_t length = 0;
    if (function != nullptr) {
        for (; function[length] != '\0' && length < kMaxFunctionChars; ++length) {
            functionName[length] = static_cast<wchar_t>(static_cast<unsigned char>(function[length]));
        }
    }
    functionName[length] = L'\0';

    t_inSink = true;
    sink(kind, kSource, functionName, line, text);
    t_inSink = false;
}

}  // namespace tessary::platform_log
