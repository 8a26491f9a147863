#pragma once

// Runs TSUpdChk.exe as a process against the service emulator and reads what it
// left: its log, the emulator's request log. Test support only.

#include <windows.h>
#include <wincrypt.h>

#include <shlobj.h>

#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"
#include "tests/support/emulator_control.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/updater_test_support.h"
#include "updater/update_pass.h"

namespace tessary::testing {

// One request the emulator recorded.
struct RecordedRequest {
    std::string path;
    std::string query;
    std::string requestText;  // manifest requests: the decoded parameter list
};

// `text` as a JSON string literal (bytes above 0x7F as \u00XX: the emulator reads them as Latin-1).
inline std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// The string value of `"key": "..."` at or after `from` in JSON text (simple escapes undone).
inline std::string JsonField(const std::string& json, const std::string& key, size_t from, size_t until) {
    const std::string marker = "\"" + key + "\": \"";
    size_t at = json.find(marker, from);
    if (at == std::string::npos || at >= until) return {};
    std::string value;
    for (at += marker.size(); at < json.size() && json[at] != '"'; ++at) {
        if (json[at] == '\\' && at + 1 < json.size()) {
            const char next = json[++at];
            if (next == 'u' && at + 4 < json.size()) {
                value += static_cast<char>(std::stoi(json.substr(at + 1, 4), nullptr, 16));
                at += 4;
            } else {
                value += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
            }
        } else {
            value += json[at];
        }
    }
    return value;
}

inline std::vector<RecordedRequest> ParseRequests(const std::string& json) {
    std::vector<RecordedRequest> requests;
    const std::string start = "{\"time\": ";
    for (size_t at = json.find(start); at != std::string::npos;) {
        const size_t next = json.find(start, at + 1);
        const size_t end = next == std::string::npos ? json.size() : next;
        requests.push_back({JsonField(json, "path", at, end), JsonField(json, "query", at, end),
                            JsonField(json, "request_text", at, end)});
        at = next;
    }
    return requests;
}

// Adds (or removes) the test root of the fixtures in the machine's root store.
inline bool SetTestRootTrusted(const std::wstring& derPath, bool trusted) {
    const std::string der = ReadBytes(derPath);
    if (der.empty()) return false;
    HCERTSTORE store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) return false;
    PCCERT_CONTEXT added = nullptr;
    BOOL ok =
        ::CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                           static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, &added);
    if (ok && !trusted) {
        ok = ::CertDeleteCertificateFromStore(added);  // frees the context
    } else if (added != nullptr) {
        ::CertFreeCertificateContext(added);
    }
    ::CertCloseStore(store, 0);
    return ok != FALSE;
}

// What a pass reads and leaves on the machine, gone: the product key, the
// firewall's flag key and the common data directory `common` (made anew, with
// its data folder, as the component would make it).
inline void CleanUpdateCheckerState(const std::wstring& common) {
    registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
    registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kLodanKey);
    ScopedTempDir::RemoveTree(common);
    ResolveDataPath(L"data\\x", DataBase::kCommonData);
}

// A copy of TSUpdChk.exe in a directory of its own (its downloads without
// "data/summary/" land beside it), the emulator it talks to and its log.
class UpdateCheckerProcess {
public:
    // `subfolder` (when not empty) names a subfolder of the throwaway directory that
    // holds the copy instead.
    explicit UpdateCheckerProcess(const std::wstring& subfolder = L"") {
        const std::wstring built = ParentDirectory(ModuleFilePath(nullptr)) + L"\\TSUpdChk.exe";
        directory_ = subfolder.empty() ? programDir_.path() : programDir_.File(subfolder);
        program_ = directory_ + L"\\TSUpdChk.exe";
        copied_ = (subfolder.empty() || ::CreateDirectoryW(directory_.c_str(), nullptr)) &&
                  ::CopyFileW(built.c_str(), program_.c_str(), FALSE) != FALSE;
        wchar_t folder[MAX_PATH] = {};
        ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
        logDir_ = std::wstring(folder) + L"\\Quellon\\QNLOGS\\TSAPI\\TSUpdChk";
    }

    bool copied() const { return copied_; }
    const std::wstring& program() const { return program_; }
    std::wstring ProgramDirFile(const std::wstring& name) const { return directory_ + L"\\" + name; }

    // Runs one pass; returns its exit code (0xFFFFFFFF when it could not start or
    // did not end within two minutes). `dllOverrides` replaces WINEDLLOVERRIDES.
    DWORD Run(const wchar_t* dllOverrides = nullptr) {
        ScopedTempDir::RemoveTree(logDir_);
        wchar_t saved[512] = {};
        const DWORD had = ::GetEnvironmentVariableW(L"WINEDLLOVERRIDES", saved, 512);
        if (dllOverrides != nullptr) ::SetEnvironmentVariableW(L"WINEDLLOVERRIDES", dllOverrides);
        std::wstring commandLine = L"\"" + program_ + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        const BOOL started = ::CreateProcessW(program_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                              directory_.c_str(), &startup, &process);
        if (dllOverrides != nullptr) ::SetEnvironmentVariableW(L"WINEDLLOVERRIDES", had > 0 ? saved : nullptr);
        if (!started) return 0xFFFFFFFF;
        DWORD code = 0xFFFFFFFF;
        if (::WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
            ::GetExitCodeProcess(process.hProcess, &code);
        } else {
            ::TerminateProcess(process.hProcess, 0xFFFFFFFF);
        }
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        return code;
    }

    std::wstring Log() const { return ReadLogText(logDir_ + L"\\TSUpdChk000.log"); }

private:
    ScopedTempDir programDir_;
    std::wstring directory_;
    std::wstring program_;
    std::wstring logDir_;
    bool copied_ = false;
};

}  // namespace tessary::testing
