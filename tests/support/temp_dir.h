#pragma once

// A throwaway directory below the system's temporary folder, removed with its
// contents when the object goes away. Test support only.

#include <windows.h>

#include <string>

#include "platform/paths.h"

namespace tessary::testing {

class ScopedTempDir {
public:
    ScopedTempDir() {
        wchar_t base[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, base);
        static LONG counter = 0;
        path_ = std::wstring(base) + L"tstest_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                std::to_wstring(::InterlockedIncrement(&counter)) + L"_" + std::to_wstring(::GetTickCount());
        ::CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~ScopedTempDir() { RemoveTree(path_); }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

    // Removes a directory tree; true when it is gone. Through the product's own
    // RemoveTree (links are removed, never followed); an absolute path goes with
    // the extended-length prefix, so trees deeper than MAX_PATH go too.
    static bool RemoveTree(const std::wstring& dir) {
        const bool absolute = dir.size() > 2 && dir[1] == L':' && dir[2] == L'\\';
        tessary::RemoveTree(absolute ? L"\\\\?\\" + dir : dir);
        return ::GetFileAttributesW(dir.c_str()) == INVALID_FILE_ATTRIBUTES;
    }

private:
    std::wstring path_;
};

// Writes `bytes` to `path`, replacing the file; true on success.
inline bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(h);
    return ok && written == bytes.size();
}

// The whole file (empty when it cannot be read); the file may be open elsewhere.
inline std::string ReadBytes(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) bytes.append(buffer, got);
    ::CloseHandle(file);
    return bytes;
}

// The text of a UTF-16 log file after its byte order mark; empty when it has none.
inline std::wstring ReadLogText(const std::wstring& path) {
    const std::string bytes = ReadBytes(path);
    if (bytes.size() < 2 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
        static_cast<unsigned char>(bytes[1]) != 0xFE) {
        return {};
    }
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

inline bool FileExists(const std::wstring& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace tessary::testing
