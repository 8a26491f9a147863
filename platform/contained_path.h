#pragma once

// The one answer to "does this name stay below the folder it is joined to", for
// every step of the update checker that writes a file whose name came from
// outside (command-file entry paths, cabinet file names and entry names, an
// updater plug-in's download file). Windows reads "\" and "/" alike as
// separators, drops trailing dots and spaces from a name element, opens a DOS
// device for names such as "NUL" or "com1.txt" in any folder, reads "C:x" as a
// drive, "\\server\share" as another machine and "a:b" as a stream. Portable (no
// Windows headers): narrow text is UTF-8 or an ANSI code page (bytes from 0x80
// are ordinary characters), wide text is UTF-16.

#include <cstddef>
#include <string>
#include <string_view>

namespace tessary {

// Longest name accepted, in characters (a relative name joined below a folder,
// or a full path): what fits MAX_PATH with its terminator.
inline constexpr size_t kMaxContainedPathChars = 259;

// Why a name was refused; kContained when it was not.
enum class PathVerdict {
    kContained,
    kEmpty,         // empty, or a separator at the end (no file name)
    kTooLong,       // more than kMaxContainedPathChars characters
    kRooted,        // leading separator: drive root, UNC or device namespace
    kColon,         // drive ("C:x") or stream ("a:b")
    kBadCharacter,  // control character or one of * ? " < > |
    kTraversal,     // an element of only dots and spaces with two dots or more
    kDeviceName,    // an element naming a DOS device (CON, NUL, COM1, ...)
};

// True for "\" and "/".
constexpr bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }
constexpr bool IsPathSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// Position of the last "\" or "/" in `path`, or npos.
size_t LastPathSeparator(std::string_view path);
size_t LastPathSeparator(std::wstring_view path);

// True when one name element (no separators) names a DOS device: CON, PRN, AUX,
// NUL, CLOCK$, CONIN$, CONOUT$, COM0-9 and LPT0-9 (also with a superscript 1, 2
// or 3), in any case, alone or followed by an extension, trailing dots or
// spaces, or leading spaces.
bool IsDosDeviceElement(std::string_view element);
bool IsDosDeviceElement(std::wstring_view element);

// The verdict on a relative name (one or more elements joined by "\" or "/")
// that is to be joined below a folder. "." elements and repeated separators are
// harmless; everything PathVerdict lists is refused.
PathVerdict CheckContainedPath(std::string_view name);
PathVerdict CheckContainedPath(std::wstring_view name);

// CheckContainedPath(name) == kContained.
bool IsContainedPath(std::string_view name);
bool IsContainedPath(std::wstring_view name);

// A contained path of exactly one element (a file name without any separator).
bool IsContainedFileName(std::string_view name);
bool IsContainedFileName(std::wstring_view name);

// True for a full path to a file: "X:\" or "X:/" followed by a contained path,
// or "\\server\share\" followed by a contained path (server and share being
// plain elements, so no "\\?\" or "\\.\" device namespace), at most
// kMaxContainedPathChars characters in all.
bool IsContainedFullPath(std::wstring_view path);

}  // namespace tessary
