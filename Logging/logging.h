#pragma once

// The file logger: formatted UTF-16LE lines appended to rotating log files under
// the program-data folder, settings from the module's and the machine's "log.ini".
//
//   log root         <ProgramData>\Quellon\QNLOGS\ (with the trailing backslash)
//   log directory    <root><group>\<module>   (without a group: <root><module>)
//   module settings  <log directory>\log.ini  (section "Config", also "LastLogIdx")
//   global settings  <root>log.ini
//   log file         <log directory>\<module>[_<suffix>]<index as 3+ digits>.log
//
// Each line opens the current file, appends and closes it again, so several
// threads and processes can share a file: every writer opens it shared for
// reading and writing, and appends each line in one write through an append-only
// handle, so lines of different processes never tear or overwrite each other.
// Within the process, choosing the file (with rotation: emptying a reused file,
// storing "LastLogIdx"), writing and closing are serialised.

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "Logging/logging_if.h"

namespace tessary::ETWLogging {

class CLogging final : public CLoggerBase {
public:
    // A logger whose log root is the program-data folder's "Quellon\QNLOGS\".
    CLogging();
    // A logger whose log root is `logRoot` (a folder path; a trailing backslash is
    // added when missing). For tools and tests that keep logs elsewhere.
    explicit CLogging(std::wstring logRoot);
    ~CLogging() override;

    // CLoggingIf:
    DWORD Initialize(const wchar_t* group, const wchar_t* modulePath, const wchar_t* suffix) override;
    DWORD Shutdown() override;
    DWORD Write(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                const wchar_t* text) override;

    // Settings read at initialisation: "Options" bit mask (see log_line.h).
    DWORD GetOptions() const { return options_; }
    void SetOptions(DWORD options) { options_ = options; }

    // Paths and identity, empty until initialised.
    const std::wstring& LogRoot() const { return root_; }
    const std::wstring& LogDirectory() const { return directory_; }
    const std::wstring& ModuleSettingsPath() const { return moduleIni_; }
    const std::wstring& GlobalSettingsPath() const { return globalIni_; }
    const std::wstring& ModuleName() const { return module_; }
    const std::wstring& Tag() const { return tag_; }
    // Path of the log file with `index`.
    std::wstring LogFilePath(unsigned long index) const;

protected:
    bool IsInitialized() const override { return initialized_; }

private:
    DWORD InitializeUnchecked(const wchar_t* group, const wchar_t* modulePath, const wchar_t* suffix);
    void ReadSettings();
    void Reset();
    // Creates the log directory once; false (and logging off for good) when it fails.
    bool EnsureDirectory();
    // Opens the file for the next line, rotating when the current one is full.
    // The caller holds fileLock_.
    DWORD OpenCurrentFile(HANDLE* file);
    // "LastLogIdx" of the module settings file as it stands now (0 when the file
    // or value is missing). The caller holds fileLock_.
    int64_t ReadLastLogIndex();

    // What "LastLogIdx" read last, with the settings file's size and times then.
    // Reused only while the file still shows the same size and times, only when
    // the file could be read, and only when it had been left alone for longer than
    // the coarsest file-time step before it was read: a rewrite within the same
    // step (same size, same time stamp) is then read again rather than taken for
    // the file already seen. Guarded by fileLock_.
    struct IndexSnapshot {
        bool valid = false;
        uint64_t size = 0;
        uint64_t written = 0;
        uint64_t created = 0;
        int64_t index = 0;
    };

    std::wstring fixedRoot_;  // from the constructor; empty: program-data folder
    std::atomic<bool> initialized_{false};
    std::wstring root_;
    std::wstring rootBase_;  // the folder root_ lies in that the product does not own
    std::wstring group_;
    std::wstring module_;
    std::wstring tag_;
    std::wstring suffix_;
    std::wstring directory_;
    std::wstring moduleIni_;
    std::wstring globalIni_;
    DWORD processId_ = 0;
    std::atomic<DWORD> options_{kDefaultOptions};
    std::atomic<bool> directoryReady_{false};
    std::atomic<bool> directoryFailed_{false};
    std::mutex fileLock_;
    std::mutex directoryLock_;  // one thread at a time makes or checks the log folders
    IndexSnapshot lastIndex_;
};

// File name of `path` after its last backslash (or slash).
std::wstring FileNamePart(const std::wstring& path);
// `name` without its extension (the text from its last dot on).
std::wstring WithoutExtension(const std::wstring& name);

}  // namespace tessary::ETWLogging
