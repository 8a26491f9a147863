#pragma once

// The platform library's own messages. Platform code has no logger of its own:
// it reports a failure (a registry key it could not open, a directory it could
// not create, a library it could not load) to the one sink the process installs,
// which the logging layer routes to the process logger. Without a sink, or while
// the sink is already running on the thread (the logger itself reads its settings
// through this library), a message is dropped.

#include <windows.h>

#include <cstdarg>
#include <cstddef>

namespace tessary::platform_log {

// Message kinds, as the sink receives them.
inline constexpr int kTrace = 0;
inline constexpr int kInfo = 1;
inline constexpr int kError = 2;
inline constexpr int kWarning = 3;

// Source name of every platform message.
inline constexpr wchar_t kSource[] = L"Plinth";

// Longest message text, in characters; longer text is cut.
inline constexpr size_t kMaxMessageChars = 1024;

// Formats `format` with `args` into `buffer` of `capacity` code units (at least
// 1), cutting the text so that at most capacity - 1 units and a terminator fit.
// "%s" takes a wide string, as in the Windows runtime's wide printf. A format the
// runtime rejects gives whatever it produced before the error. Returns the length
// written.
size_t FormatMessageText(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) noexcept;

// Receives one message: kind, source, function, line and the formatted text.
using Sink = void (*)(int kind, const wchar_t* source, const wchar_t* function, int line, const wchar_t* text) noexcept;

// Tells whether a message of `kind` would be written at all; a message that would
// not is never formatted.
using WantsKind = bool (*)(int kind) noexcept;

// Installs `sink` for the whole process (null removes it), with `wants` (null:
// every kind is wanted). Thread-safe.
void InstallSink(Sink sink, WantsKind wants = nullptr) noexcept;

// The installed sink, null before one is installed.
Sink InstalledSink() noexcept;

// Formats `format` (printf-style, wide) and hands the text to the installed sink.
// `function` is an ASCII name such as __FUNCTION__. Does nothing without a sink,
// for a null format, for a kind the sink does not want, or when called from
// inside the sink on the same thread. Keeps the thread's last-error value.
void Report(int kind, const char* function, int line, const wchar_t* format, ...) noexcept;

}  // namespace tessary::platform_log

// A platform message from the current function and line.
#define PLATFORM_REPORT(kind, ...) ::tessary::platform_log::Report((kind), __FUNCTION__, __LINE__, __VA_ARGS__)
