#pragma once

// Helpers shared by the update checker's tests: the fixture directory made by
// make_fixtures.py, the process's file log, and small file checks. Test support only.

#include <windows.h>

#include <shlobj.h>

#include <string>
#include <vector>

#include "platform/protected_ini.h"
#include "platform/text.h"
#include "store/sqlite_adapter.h"
#include "tests/support/process_log.h"
#include "tests/support/temp_dir.h"

namespace tessary::testing {

// The fixture directory (TS_UPDATER_FIXTURES, a Unix path seen through Wine's Z: drive).
inline std::wstring FixtureDirectory() {
    wchar_t value[1024] = {};
    const DWORD n = ::GetEnvironmentVariableW(L"TS_UPDATER_FIXTURES", value, 1024);
    if (n == 0 || n >= 1024) return {};
    std::wstring path = value;
    if (!path.empty() && path[0] == L'/') {
        for (wchar_t& c : path) {
            if (c == L'/') c = L'\\';
        }
        path = L"Z:" + path;
    }
    return path;
}

inline std::wstring Fixture(const std::wstring& name) { return FixtureDirectory() + L"\\" + name; }

// Last-write time as a 64-bit count of 100 ns units.
inline long long LastWriteTime(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    return static_cast<long long>(ULONGLONG{data.ftLastWriteTime.dwHighDateTime} << 32 |
                                  data.ftLastWriteTime.dwLowDateTime);
}

// A DOS date and time as universal time (100 ns units), read as local time unless `utc`.
inline long long DosStamp(WORD date, WORD time, bool utc) {
    FILETIME local{};
    FILETIME universal{};
    ::DosDateTimeToFileTime(date, time, &local);
    if (utc) {
        universal = local;
    } else {
        ::LocalFileTimeToFileTime(&local, &universal);
    }
    return static_cast<long long>(ULONGLONG{universal.dwHighDateTime} << 32 | universal.dwLowDateTime);
}

inline WORD DosDate(int year, int month, int day) {
    return static_cast<WORD>(((year - 1980) << 9) | (month << 5) | day);
}
inline WORD DosTime(int hour, int minute, int second) {
    return static_cast<WORD>((hour << 11) | (minute << 5) | (second / 2));
}

// The Hash column of a store file's LocalCache table, sorted (empty without the file or table).
inline std::vector<std::string> StoreHashes(const std::wstring& path) {
    std::vector<std::string> hashes;
    if (!FileExists(path)) return hashes;
    UniqueSqlite db(sqlite_open(path.c_str(), 0, nullptr));
    UniqueSqliteTable table;
    int rows = 0;
    int columns = 0;
    if (!db || sqlite_get_table(db.get(), "SELECT Hash FROM LocalCache ORDER BY Hash;", table.put(), &rows, &columns,
                                nullptr) != SQLITE_OK) {
        return hashes;
    }
    for (int i = 1; i <= rows; ++i) hashes.push_back(table.get()[i] != nullptr ? table.get()[i] : "");
    return hashes;
}

// The machine-wide logger settings file set to a severity threshold and the
// largest file size for the life of the object (loggers started meanwhile write
// lines of that severity and up);
// the file as it was comes back afterwards.
class ScopedLogSeverity {
public:
    explicit ScopedLogSeverity(int severity) {
        wchar_t folder[MAX_PATH] = {};
        ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
        const std::wstring root = std::wstring(folder) + L"\\Quellon\\QNLOGS";
        ::SHCreateDirectoryExW(nullptr, root.c_str(), nullptr);
        path_ = root + L"\\log.ini";
        had_ = FileExists(path_);
        saved_ = ReadBytes(path_);
        // Large files as well, so a test's lines stay in the first file.
        CObfuscatedIniReader settings(path_);
        ok_ = settings.WriteInt("Config", "Severity", severity) && settings.WriteInt("Config", "MaxSize", 10485760);
    }
    ~ScopedLogSeverity() {
        ::DeleteFileW(path_.c_str());
        if (had_) WriteFileBytes(path_, saved_);
    }
    ScopedLogSeverity(const ScopedLogSeverity&) = delete;
    ScopedLogSeverity& operator=(const ScopedLogSeverity&) = delete;
    bool ok() const { return ok_; }

private:
    std::wstring path_;
    std::string saved_;
    bool had_ = false;
    bool ok_ = false;
};

}  // namespace tessary::testing
