#include "Logging/etw_logging.h"

#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>

#include <new>

#include "Logging/etw_payload.h"
#include "Logging/logging.h"
#include "platform/paths.h"
#include "platform/product_registry.h"
#include "platform/registry.h"
#include "platform/unique_resource.h"
#include "platform/text.h"

namespace tessary::ETWLogging {
namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "payload strings are UTF-16");

constexpr wchar_t kPropertiesRoot[] = L"SOFTWARE\\Quellon.logging\\";
// {491FB070-54CC-11E0-B8AF-0800200C9A66}
constexpr GUID kDefaultSessionId = {0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
// {E16CA450-55CC-11E0-B8AF-0800200C9A66}
constexpr GUID kDefaultProviderId = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

std::u16string_view Utf16(std::wstring_view text) {
    return std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size());
}

bool ParseGuid(const std::wstring& text, GUID* guid) {
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
    return SUCCEEDED(::IIDFromString(text.c_str(), guid));
}

std::wstring ProgramDataFolder() {
    UniqueTaskString folder;
    std::wstring result;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_ProgramData, 0x8000, nullptr, folder.put())) && folder) {
        result = folder.get();
    }
    return result;
}

}  // namespace

bool internal::ETWAppProperties::Read(std::wstring_view application, std::wstring_view baseFolder) {
    loggingKey = keys::kLogging;
    controllerKey = loggingKey + L"\\Controller";
    providerKey = loggingKey + L"\\Provider";
    const std::wstring base(baseFolder);
    logPath = base + L"\\Quellon\\QNLOGS";
    traceFilePath = base + L"\\Quellon\\QNLOGS\\ETW";

    if (application.empty()) return false;
    const std::wstring key = kPropertiesRoot + std::wstring(application);
    if (registry::KeyExists(HKEY_LOCAL_MACHINE, key.c_str())) {
        std::wstring text;
        if (registry::ReadProtectedString(HKEY_LOCAL_MACHINE, key.c_str(), L"Log Path", &text) && !text.empty()) {
            logPath = text;
        }
        if (registry::ReadProtectedString(HKEY_LOCAL_MACHINE, key.c_str(), L"ETL Path", &text) && !text.empty()) {
            traceFilePath = text;
        }
        const std::wstring controller = key + L"\\Controller";
        const std::wstring session = key + L"\\Session";
        const std::wstring provider = key + L"\\Provider";
        std::wstring sessionGuid;
        std::wstring providerGuid;
        if (!registry::ReadProtectedString(HKEY_LOCAL_MACHINE, controller.c_str(), L"Controller Path",
                                           &controllerPath) ||
            !registry::ReadProtectedString(HKEY_LOCAL_MACHINE, controller.c_str(), L"Owner Mutex Name",
                                           &ownerMutexName) ||
            !registry::ReadProtectedString(HKEY_LOCAL_MACHINE, session.c_str(), L"Session ID Guid", &sessionGuid) ||
            !registry::ReadProtectedString(HKEY_LOCAL_MACHINE, session.c_str(), L"Session Name", &sessionName) ||
            !registry::ReadProtectedString(HKEY_LOCAL_MACHINE, provider.c_str(), L"Provider Guid", &providerGuid) ||
            !ParseGuid(sessionGuid, &sessionId) || !ParseGuid(providerGuid, &providerId)) {
            return false;
        }
    } else {
        if (application != kDefaultApplication) return false;
        controllerPath.clear();
        ownerMutexName = L"Global\\Quellon.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
        sessionName = L"Quellon.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
        sessionId = kDefaultSessionId;
        providerId = kDefaultProviderId;
    }
    traceFile = traceFilePath + L"\\qnlogs.etl";
    return true;
}

const TraceApi& SystemTraceApi() {
    static const TraceApi api = {::RegisterTraceGuidsW, ::UnregisterTraceGuids, ::GetTraceLoggerHandle,
                                 ::GetTraceEnableLevel, ::GetTraceEnableFlags,  ::TraceEvent};
    return api;
}

void FillTraceEventRecord(TraceEventRecord* record, DWORD severity, const std::vector<uint8_t>& payload,
                          std::string_view utf8Message) {
    ZeroMemory(record, sizeof(*record));
    record->header.Size = sizeof(TraceEventRecord);
    record->header.Flags = kEventFlags;
    record->header.Guid = kEventClassGuid;
    record->header.Class.Type = kEventType;
    record->header.Class.Version = kEventVersion;
    record->header.Class.Level = TraceLevelForSeverity(severity);
    record->data[0].DataPtr = reinterpret_cast<ULONG64>(payload.data());
    record->data[0].Length = static_cast<ULONG>(payload.size());
    record->data[1].DataPtr = reinterpret_cast<ULONG64>(utf8Message.data());
    record->data[1].Length = static_cast<ULONG>(utf8Message.size());
}

std::wstring FileVersionString(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return {};
    std::vector<BYTE> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return {};
    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                          &length) ||
        translations == nullptr || length < sizeof(Translation)) {
        return {};
    }
    wchar_t query[64];
    ::swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\FileVersion", translations[0].language,
               translations[0].codePage);
    wchar_t* version = nullptr;
    if (!::VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&version), &length) || version == nullptr ||
        length == 0) {
        return {};
    }
    // The length counts the terminator when the resource has one.
    std::wstring result(version, length);
    while (!result.empty() && result.back() == L'\0') result.pop_back();
    return result;
}

void CETWConfigurationListener::OnConfigurationChange(CETWLogging& logger, bool enable, DWORD level, ULONG) {
    logger.SetEnabled(enable);
    logger.SetSeverity(level);
    const std::wstring& providerKey = logger.Properties().providerKey;
    if (providerKey.empty()) return;
    std::vector<std::wstring> keys{providerKey};
    if (!logger.Group().empty()) {
        keys.push_back(providerKey + L"\\" + logger.Group());
        if (!logger.ModuleName().empty()) keys.push_back(keys.back() + L"\\" + logger.ModuleName());
    }
    for (const std::wstring& key : keys) {
        DWORD value = 0;
        if (registry::ReadDword(HKEY_LOCAL_MACHINE, key.c_str(), L"Enable", &value)) logger.SetEnabled(value != 0);
        if (registry::ReadDword(HKEY_LOCAL_MACHINE, key.c_str(), L"Severity", &value)) logger.SetSeverity(value);
    }
}

CETWLogging::CETWLogging() : CETWLogging(SystemTraceApi(), kDefaultApplication) {}

CETWLogging::CETWLogging(const TraceApi& api, std::wstring application)
    : CLoggerBase(LoggingMechanism::kEventTracing, kEventMessageLimit),
      api_(api),
      application_(std::move(application)) {}

CETWLogging::~CETWLogging() {
    // The system must not call back into a destroyed logger.
    if (initialized_) Shutdown();
}

DWORD CETWLogging::Initialize(const wchar_t* group, const wchar_t* modulePath, const wchar_t* suffix) {
    return Initialize(group, modulePath, suffix, nullptr);
}

DWORD CETWLogging::Initialize(const wchar_t* group, const wchar_t* modulePath, const wchar_t*,
                              std::unique_ptr<CETWConfigurationListener> listener) {
    if (initialized_) return kLogAlreadyInitialized;
    if (group != nullptr && *group == L'\0') return kLogInvalidParameter;
    DWORD result;
    try {
        result = InitializeUnchecked(group, modulePath, std::move(listener));
    } catch (const std::bad_alloc&) {
        result = kLogOutOfMemory;
    }
    if (result != kLogSuccess) Reset();
    return result;
}

DWORD CETWLogging::InitializeUnchecked(const wchar_t* group, const wchar_t* modulePath,
                                       std::unique_ptr<CETWConfigurationListener> listener) {
    if (!properties_.Read(application_, ProgramDataFolder())) return kLogInvalidParameter;

    const std::wstring processPath = ModuleFilePath(nullptr);
    const std::wstring path = modulePath != nullptr ? std::wstring(modulePath) : processPath;
    if (path.empty()) return kLogInvalidParameter;
    group_ = group != nullptr ? group : L"";
    module_ = WithoutExtension(FileNamePart(path));
    processName_ = FileNamePart(processPath);
    const size_t slash = path.find_last_of(L"\\/");
    moduleDirectory_ = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    moduleVersion_ = FileVersionString(path);
    processId_ = ::GetCurrentProcessId();

    listener_ = listener ? std::move(listener) : std::make_unique<CETWConfigurationListener>();
    listener_->OnConfigurationChange(*this, true, kSeverityInformation, 0);
    initialized_ = true;
    const DWORD registered = Register();
    if (registered != ERROR_SUCCESS) return registered;
    return kLogSuccess;
}

DWORD CETWLogging::Register() {
    std::lock_guard<std::mutex> lock(lock_);
    if (registration_ != 0) return ERROR_SUCCESS;
    // The class registration refers to a GUID that must live as long as the
    // registration; kEventClassGuid is static.
    TRACE_GUID_REGISTRATION eventClass{&kEventClassGuid, nullptr};
    TRACEHANDLE handle = 0;
    const ULONG result = api_.registerTraceGuids(&CETWLogging::ControlCallback, this, &properties_.providerId, 1,
                                                 &eventClass, nullptr, nullptr, &handle);
    if (result != ERROR_SUCCESS) return result;
    registration_ = handle;
    // The module holding the callback stays loaded for the life of the process:
    // unregistering waits for callbacks in flight, which must not happen under
    // the loader lock at unload, and a registration left behind an unloaded
    // module would call into freed code.
    HMODULE pinned = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&CETWLogging::ControlCallback), &pinned);
    return ERROR_SUCCESS;
}

void CETWLogging::Reset() {
    {
        std::lock_guard<std::mutex> lock(lock_);
        SetEnabled(false);
        if (registration_ != 0) {
            api_.unregisterTraceGuids(registration_);
            registration_ = 0;
        }
        traceHandle_ = 0;
    }
    initialized_ = false;
    listener_.reset();
    properties_ = internal::ETWAppProperties();
    for (std::wstring* s : {&group_, &module_, &processName_, &moduleDirectory_, &moduleVersion_}) s->clear();
    processId_ = 0;
    RestoreDefaultSettings();
}

DWORD CETWLogging::Shutdown() {
    if (!initialized_) return kLogNotInitialized;
    Reset();
    return kLogSuccess;
}

bool CETWLogging::IsSeverityEnabled(DWORD severity) const {
    return severity == kSeverityInformation || CLoggerBase::IsSeverityEnabled(severity);
}

ULONG WINAPI CETWLogging::ControlCallback(WMIDPREQUESTCODE request, PVOID context, ULONG*, PVOID buffer) {
    if (context == nullptr) return ERROR_INVALID_PARAMETER;
    return static_cast<CETWLogging*>(context)->HandleControlRequest(request, buffer);
}

ULONG CETWLogging::HandleControlRequest(WMIDPREQUESTCODE request, PVOID buffer) {
    if (!listener_) return ERROR_INVALID_PARAMETER;
    switch (request) {
        case WMI_ENABLE_EVENTS: {
            ::SetLastError(ERROR_SUCCESS);
            const TRACEHANDLE handle = api_.getTraceLoggerHandle(buffer);
            if (handle == 0 || handle == static_cast<TRACEHANDLE>(-1)) {
                const DWORD error = ::GetLastError();
                return error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
            }
            const TRACEHANDLE held = traceHandle_.load();
            if (held != 0 && held != handle) return ERROR_SUCCESS;
            ::SetLastError(ERROR_SUCCESS);
            const UCHAR level = api_.getTraceEnableLevel(handle);
            if (level == 0) return ::GetLastError();
            const ULONG flags = api_.getTraceEnableFlags(handle);
            // The handle is kept only for a request that succeeds.
            traceHandle_ = handle;
            listener_->OnConfigurationChange(*this, true, level, flags);
            return ERROR_SUCCESS;
        }
        case WMI_DISABLE_EVENTS: {
            listener_->OnConfigurationChange(*this, false, GetSeverity(), 0);
            const TRACEHANDLE handle = api_.getTraceLoggerHandle(buffer);
            TRACEHANDLE held = traceHandle_.load();
            if (held != 0 && held == handle) traceHandle_.compare_exchange_strong(held, 0);
            return ERROR_SUCCESS;
        }
        default:
            return ERROR_INVALID_PARAMETER;
    }
}

DWORD CETWLogging::Write(const wchar_t* sourceFile, const wchar_t* function, int line, DWORD severity,
                         const wchar_t* text) {
    if (!initialized_) return kLogNotInitialized;
    if (SeverityName(severity) == nullptr || text == nullptr || *text == L'\0') return kLogInvalidParameter;
    const TRACEHANDLE handle = traceHandle_.load();
    if (handle == 0 || !IsEnabled() || !IsSeverityEnabled(severity)) return kLogSuccess;
    try {
        const std::wstring_view message(text);
        const std::string utf8 = WideToUtf8(message.substr(0, CutLength(message, kEventMessageLimit)));
        EventPayloadFields fields;
        fields.processId = processId_;
        fields.threadId = ::GetCurrentThreadId();
        fields.processName = Utf16(processName_);
        fields.sourceFile = Utf16(sourceFile != nullptr ? sourceFile : L"");
        fields.function = Utf16(function != nullptr ? function : L"");
        fields.line = line;
        fields.moduleDirectory = Utf16(moduleDirectory_);
        fields.moduleVersion = Utf16(moduleVersion_);
        fields.group = Utf16(group_);
        fields.messageBytes = utf8.size();
        const std::vector<uint8_t> payload = BuildEventPayload(fields);
        TraceEventRecord record;
        FillTraceEventRecord(&record, severity, payload, utf8);
        return api_.traceEvent(handle, &record.header);
    } catch (const std::bad_alloc&) {
        return kLogOutOfMemory;
    }
}

}  // namespace tessary::ETWLogging
