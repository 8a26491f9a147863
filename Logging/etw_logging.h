#pragma once

// The event-tracing logger: registers the process as a classic (registration
// based) trace provider and, while a trace controller has enabled it, emits one
// trace event per log line instead of writing files.

#include <windows.h>
#include <wmistr.h>
#include <evntrace.h>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "Logging/logging_if.h"

namespace tessary::ETWLogging {

// {CD1DAAD0-54CC-11E0-B8AF-0800200C9A66}: class of every event the logger emits.
inline constexpr GUID kEventClassGuid = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// Application whose properties have built-in defaults.
inline constexpr wchar_t kDefaultApplication[] = L"Dunmo";
// Event type and version of every event.
inline constexpr UCHAR kEventType = 1;
inline constexpr USHORT kEventVersion = 2;
// WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR.
inline constexpr ULONG kEventFlags = 0x120000;

namespace internal {

// Where the trace session of an application lives and which provider it enables.
struct ETWAppProperties {
    std::wstring loggingKey;     // "SOFTWARE\Quellon\Logging"
    std::wstring controllerKey;  // "SOFTWARE\Quellon\Logging\Controller"
    std::wstring providerKey;    // "SOFTWARE\Quellon\Logging\Provider"
    std::wstring logPath;
    std::wstring traceFilePath;
    std::wstring traceFile;
    std::wstring controllerPath;
    std::wstring ownerMutexName;
    std::wstring sessionName;
    GUID sessionId{};
    GUID providerId{};

    // Reads the properties of `application` from HKEY_LOCAL_MACHINE
    // "SOFTWARE\Quellon.logging\<application>" (protected values; subkeys
    // "Controller", "Session", "Provider"). When that key exists, "Controller
    // Path", "Owner Mutex Name", "Session ID Guid", "Session Name" and "Provider
    // Guid" must all be readable (the identifiers in "{...}" form). When it does
    // not exist, only "Dunmo" has properties: the built-in defaults, with the log
    // paths under `baseFolder`. Returns false (properties refused, contents
    // unspecified) otherwise.
    bool Read(std::wstring_view application, std::wstring_view baseFolder);
};

}  // namespace internal

// The event tracing functions the logger calls. The system's by default; a
// replacement lets the control logic run without a trace controller.
struct TraceApi {
    ULONG(WINAPI* registerTraceGuids)
    (WMIDPREQUEST, PVOID, LPCGUID, ULONG, PTRACE_GUID_REGISTRATION, LPCWSTR, LPCWSTR, PTRACEHANDLE);
    ULONG(WINAPI* unregisterTraceGuids)(TRACEHANDLE);
    TRACEHANDLE(WINAPI* getTraceLoggerHandle)(PVOID);
    UCHAR(WINAPI* getTraceEnableLevel)(TRACEHANDLE);
    ULONG(WINAPI* getTraceEnableFlags)(TRACEHANDLE);
    ULONG(WINAPI* traceEvent)(TRACEHANDLE, PEVENT_TRACE_HEADER);
};

// The system's event tracing functions (advapi32).
const TraceApi& SystemTraceApi();

// What TraceEvent receives: the header and two data blocks (payload, message).
struct TraceEventRecord {
    EVENT_TRACE_HEADER header;
    MOF_FIELD data[2];
};
static_assert(sizeof(TraceEventRecord) == 80, "the event header size is part of the trace format");

// Fills `record` for an event of `severity` with the two data blocks. The blocks
// are referenced, not copied: they must outlive the TraceEvent call.
void FillTraceEventRecord(TraceEventRecord* record, DWORD severity, const std::vector<uint8_t>& payload,
                          std::string_view utf8Message);

class CETWLogging;

// Turns a session's enable or disable into the logger's enabled flag and
// threshold, then lets the registry override both: "Enable" and "Severity"
// (REG_DWORD) under the provider key, then its subkey named after the group,
// then that key's subkey named after the module, each value found replacing the
// earlier one.
class CETWConfigurationListener {
public:
    virtual ~CETWConfigurationListener() = default;

    // `enable` true for an enable request; `level` is the session's enable level
    // (for a disable, the logger's current threshold); `flags` its enable flags.
    virtual void OnConfigurationChange(CETWLogging& logger, bool enable, DWORD level, ULONG flags);
};

class CETWLogging final : public CLoggerBase {
public:
    // A logger for application "Dunmo" using the system's event tracing.
    CETWLogging();
    // A logger for `application` using `api` (which must outlive the logger).
    CETWLogging(const TraceApi& api, std::wstring application);
    ~CETWLogging() override;

    // CLoggingIf: `suffix` is not used. See the overload.
    DWORD Initialize(const wchar_t* group, const wchar_t* modulePath, const wchar_t* suffix) override;
    // Reads the properties (87 when refused; 87 for an empty group, 20001 when
    // already initialised), records the names, directory and version of the module
    // at `modulePath` (null: process executable), installs `listener` (null: the
    // default one) and applies it once as an enable with level 3, then registers
    // the provider. On failure the logger stays uninitialised and unregistered.
    DWORD Initialize(const wchar_t* group, const wchar_t* modulePath, const wchar_t* suffix,
                     std::unique_ptr<CETWConfigurationListener> listener);
    // Disables the logger and unregisters the provider.
    DWORD Shutdown() override;
    // Emits `text` (cut to 2079 code units, sent as UTF-8) as one event when a
    // controller has enabled the provider and `severity` is enabled; otherwise
    // returns 0 without emitting. Returns TraceEvent's error when it fails.
    DWORD Write(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                const wchar_t* text) override;
    // True when `severity` reaches the threshold, and always for severity 3.
    bool IsSeverityEnabled(DWORD severity) const override;

    // The control logic of the provider (what the system's callback runs):
    // WMI_ENABLE_EVENTS takes the session's logger handle, level and flags; a
    // request from another session while one is held is ignored; a level of 0
    // fails with the system error. WMI_DISABLE_EVENTS hands the listener a disable
    // and forgets the handle when it is the one held. Anything else: 87.
    ULONG HandleControlRequest(WMIDPREQUESTCODE request, PVOID buffer);

    // The trace logger handle a controller gave, 0 while none has enabled us.
    TRACEHANDLE TraceLoggerHandle() const { return traceHandle_.load(); }
    bool IsRegistered() const { return registration_ != 0; }
    const internal::ETWAppProperties& Properties() const { return properties_; }
    const std::wstring& Group() const { return group_; }
    const std::wstring& ModuleName() const { return module_; }
    const std::wstring& ProcessName() const { return processName_; }
    const std::wstring& ModuleDirectory() const { return moduleDirectory_; }
    const std::wstring& ModuleVersion() const { return moduleVersion_; }

protected:
    bool IsInitialized() const override { return initialized_; }
    // Nothing is emitted until a controller has enabled the provider.
    bool AcceptsLines() const override { return traceHandle_.load() != 0; }

private:
    static ULONG WINAPI ControlCallback(WMIDPREQUESTCODE request, PVOID context, ULONG* bufferSize, PVOID buffer);
    DWORD InitializeUnchecked(const wchar_t* group, const wchar_t* modulePath,
                              std::unique_ptr<CETWConfigurationListener> listener);
    DWORD Register();
    void Reset();

    const TraceApi& api_;
    const std::wstring application_;
    std::mutex lock_;  // registration and unregistration
    std::atomic<bool> initialized_{false};
    internal::ETWAppProperties properties_;
    std::unique_ptr<CETWConfigurationListener> listener_;
    std::wstring group_;
    std::wstring module_;
    std::wstring processName_;
    std::wstring moduleDirectory_;
    std::wstring moduleVersion_;
    DWORD processId_ = 0;
    TRACEHANDLE registration_ = 0;
    std::atomic<TRACEHANDLE> traceHandle_{0};
};

// FileVersion string of the version resource of the file at `path` (first
// language and code page of its translation table); empty when it has none.
std::wstring FileVersionString(const std::wstring& path);

}  // namespace tessary::ETWLogging
