#pragma once

// Helpers of the fault-injection tests: child processes that can be killed at a
// chosen moment, store files filled and read back row by row, and a listing of
// the common data directory to spot files a failed step left behind. Test support only.

#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/text.h"
#include "store/sqlite_adapter.h"

namespace tessary::testing {

// A process started from a command line; killed (exit code 99) on destruction
// when it is still running.
class ChildProcess {
public:
    explicit ChildProcess(std::wstring commandLine, const wchar_t* directory = nullptr) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, directory, &startup,
                             &info)) {
            process_ = info.hProcess;
            ::CloseHandle(info.hThread);
        }
    }
    ~ChildProcess() {
        if (process_ == nullptr) return;
        if (::WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
            ::TerminateProcess(process_, 99);
            ::WaitForSingleObject(process_, 60000);
        }
        ::CloseHandle(process_);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return process_ != nullptr; }
    HANDLE handle() const { return process_; }
    bool Running() const { return process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    // Ends the process at once; true when it was still running and is now gone.
    bool Kill(DWORD code = 3) {
        if (!Running() || !::TerminateProcess(process_, code)) return false;
        return ::WaitForSingleObject(process_, 60000) == WAIT_OBJECT_0;
    }
    // The exit code, or -1 when the process did not end within `ms`.
    long Wait(DWORD ms = 120000) const {
        if (process_ == nullptr || ::WaitForSingleObject(process_, ms) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        ::GetExitCodeProcess(process_, &code);
        return static_cast<long>(code);
    }

private:
    HANDLE process_ = nullptr;
};

// Runs `statements` on the store file at `path` (created when absent); false at
// the first statement that fails.
inline bool ExecOnFile(const std::wstring& path, const std::vector<std::string>& statements) {
    UniqueSqlite db(sqlite_open(WideToNarrow(path).c_str(), 0, nullptr));
    if (!db) return false;
    for (const std::string& sql : statements) {
        if (sqlite_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    }
    return true;
}

// The rows of `sql` on the open store, each row's cells joined by '|' (NULL as
// "<null>"); {"<failed>"} when the query fails.
inline std::vector<std::string> RowsOf(sqlite* db, const char* sql) {
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (db == nullptr || sqlite_get_table(db, sql, table.put(), &rows, &columns, nullptr) != SQLITE_OK) {
        return {"<failed>"};
    }
    std::vector<std::string> out;
    for (int r = 1; r <= rows; ++r) {
        std::string row;
        for (int c = 0; c < columns; ++c) {
            const char* cell = table.get()[r * columns + c];
            if (c > 0) row += '|';
            row += cell != nullptr ? cell : "<null>";
        }
        out.push_back(row);
    }
    return out;
}

// Names (relative, '\\'-separated) of every file below `dir`, directories descended.
inline std::set<std::wstring> FilesBelow(const std::wstring& dir, const std::wstring& prefix = L"") {
    std::set<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            for (const std::wstring& inner : FilesBelow(dir + L"\\" + name, prefix + name + L"\\")) names.insert(inner);
        } else {
            names.insert(prefix + name);
        }
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return names;
}

// `bytes` printable for a failure message: at most 60 characters, other bytes as '.'.
inline std::string Printable(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < 60; ++i) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
    }
    return bytes.size() > 60 ? out + "... (" + std::to_string(bytes.size()) + " bytes)" : out;
}

}  // namespace tessary::testing
