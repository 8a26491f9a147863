#pragma once

// Files held open by someone else for a while, as an antivirus scanner, an
// indexer or a backup agent holds a new or changed file. Test support only.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tests/support/temp_dir.h"

namespace tessary::testing {

// Holds `path` open without sharing until `holdMs` have passed on another
// thread; the handle is taken before this returns. Join the thread before the
// file is needed again.
inline std::thread HoldUnshared(const std::wstring& path, DWORD holdMs) {
    HANDLE held = ::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE) << ::GetLastError();
    return std::thread([held, holdMs] {
        ::Sleep(holdMs);
        if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    });
}

// True when replacing a file that another handle holds without sharing is
// refused (as Windows refuses it, with a sharing violation or access denied);
// tried once with MoveFileExW in `directory`.
inline bool ReplacingAnUnsharedFileIsRefused(const std::wstring& directory) {
    const std::wstring from = directory + L"\\probe-from.tmp";
    const std::wstring to = directory + L"\\probe-to.tmp";
    if (!WriteFileBytes(from, "new") || !WriteFileBytes(to, "old")) return false;
    HANDLE held = ::CreateFileW(to.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool refused = held != INVALID_HANDLE_VALUE &&
                         !::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (held != INVALID_HANDLE_VALUE) ::CloseHandle(held);
    ::DeleteFileW(from.c_str());
    ::DeleteFileW(to.c_str());
    return refused;
}

}  // namespace tessary::testing
