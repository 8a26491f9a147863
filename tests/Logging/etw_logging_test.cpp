#include "Logging/etw_logging.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/registry.h"

namespace tessary::ETWLogging {
namespace {

// A stand-in for the system's event tracing: records registrations and events and
// answers the control queries with what the test sets.
struct FakeTrace {
    ULONG registerResult = ERROR_SUCCESS;
    int registrations = 0;
    int unregistrations = 0;
    GUID registeredProvider{};
    GUID registeredClass{};
    WMIDPREQUEST callback = nullptr;
    PVOID context = nullptr;
    TRACEHANDLE handleForBuffer = 0;
    UCHAR level = 0;
    DWORD levelError = ERROR_SUCCESS;
    ULONG flags = 0;
    struct Event {
        TRACEHANDLE handle;
        EVENT_TRACE_HEADER header;
        std::vector<uint8_t> payload;
        std::string message;
    };
    std::vector<Event> events;
};
FakeTrace g_fake;

ULONG WINAPI FakeRegister(WMIDPREQUEST callback, PVOID context, LPCGUID provider, ULONG count,
                          PTRACE_GUID_REGISTRATION classes, LPCWSTR, LPCWSTR, PTRACEHANDLE handle) {
    ++g_fake.registrations;
    g_fake.callback = callback;
    g_fake.context = context;
    g_fake.registeredProvider = *provider;
    if (count == 1) g_fake.registeredClass = *classes[0].Guid;
    *handle = 0x5151;
    return g_fake.registerResult;
}
ULONG WINAPI FakeUnregister(TRACEHANDLE) {
    ++g_fake.unregistrations;
    return ERROR_SUCCESS;
}
TRACEHANDLE WINAPI FakeLoggerHandle(PVOID) { return g_fake.handleForBuffer; }
UCHAR WINAPI FakeLevel(TRACEHANDLE) {
    ::SetLastError(g_fake.levelError);
    return g_fake.level;
}
ULONG WINAPI FakeFlags(TRACEHANDLE) { return g_fake.flags; }
ULONG WINAPI FakeTraceEvent(TRACEHANDLE handle, PEVENT_TRACE_HEADER header) {
    const auto* record = reinterpret_cast<const TraceEventRecord*>(header);
    FakeTrace::Event e{handle, *header, {}, {}};
    const auto* p = reinterpret_cast<const uint8_t*>(record->data[0].DataPtr);
    e.payload.assign(p, p + record->data[0].Length);
    e.message.assign(reinterpret_cast<const char*>(record->data[1].DataPtr), record->data[1].Length);
    g_fake.events.push_back(e);
    return ERROR_SUCCESS;
}
const TraceApi kFakeApi = {FakeRegister, FakeUnregister, FakeLoggerHandle, FakeLevel, FakeFlags, FakeTraceEvent};

constexpr wchar_t kProviderKey[] = L"SOFTWARE\\Quellon\\Logging\\Provider";
constexpr wchar_t kPropertiesKey[] = L"SOFTWARE\\Quellon.logging\\EtwTestApp";
constexpr wchar_t kGroup[] = L"EtwTestGroup";

class EtwLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = FakeTrace();
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, (std::wstring(kProviderKey) + L"\\" + kGroup).c_str());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kPropertiesKey);
    }
    void TearDown() override { SetUp(); }

    // Enables the provider as a session with `handle` and `level` would.
    ULONG Enable(CETWLogging& logger, TRACEHANDLE handle, UCHAR level) {
        g_fake.handleForBuffer = handle;
        g_fake.level = level;
        WNODE_HEADER node{};
        return logger.HandleControlRequest(WMI_ENABLE_EVENTS, &node);
    }
};

TEST_F(EtwLoggerTest, RegistersTheDefaultProviderWithTheEventClass) {
    CETWLogging logger(kFakeApi, L"Dunmo");
    ASSERT_EQ(logger.Initialize(L"TSAPI", L"C:\\Program Files\\Quellon\\tsapi.dll", nullptr), kLogSuccess);
    EXPECT_EQ(g_fake.registrations, 1);
    const GUID provider = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
    EXPECT_TRUE(IsEqualGUID(g_fake.registeredProvider, provider));
    EXPECT_TRUE(IsEqualGUID(g_fake.registeredClass, kEventClassGuid));
    EXPECT_EQ(g_fake.context, &logger);
    EXPECT_EQ(logger.ModuleName(), L"tsapi");
    EXPECT_EQ(logger.ModuleDirectory(), L"C:\\Program Files\\Quellon");
    EXPECT_EQ(logger.Properties().sessionName, L"Quellon.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}");
    EXPECT_TRUE(std::wstring_view(logger.Properties().traceFile).ends_with(L"\\Quellon\\QNLOGS\\ETW\\qnlogs.etl"))
        << logger.Properties().traceFile;
    EXPECT_TRUE(logger.IsEnabled());
    EXPECT_EQ(logger.GetSeverity(), 3u);
    EXPECT_EQ(logger.Initialize(L"TSAPI", nullptr, nullptr), kLogAlreadyInitialized);
    EXPECT_EQ(logger.Shutdown(), kLogSuccess);
    EXPECT_EQ(g_fake.unregistrations, 1);
    EXPECT_EQ(logger.Shutdown(), kLogNotInitialized);
}

TEST_F(EtwLoggerTest, RefusesEmptyGroupUnknownApplicationAndFailedRegistration) {
    CETWLogging logger(kFakeApi, L"Dunmo");
    EXPECT_EQ(logger.Initialize(L"", nullptr, nullptr), kLogInvalidParameter);
    CETWLogging unknown(kFakeApi, L"EtwTestApp");
    EXPECT_EQ(unknown.Initialize(L"TSAPI", nullptr, nullptr), kLogInvalidParameter);
    EXPECT_EQ(unknown.Log(3, L"T", L"F", 1, L"x"), kLogNotInitialized);
    g_fake.registerResult = ERROR_ACCESS_DENIED;
    EXPECT_EQ(logger.Initialize(L"TSAPI", nullptr, nullptr), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(logger.Shutdown(), kLogNotInitialized);
}

TEST_F(EtwLoggerTest, RegistryPropertiesNeedAllFiveValues) {
    const std::wstring key = kPropertiesKey;
    ASSERT_TRUE(registry::WriteProtectedString(HKEY_LOCAL_MACHINE, (key + L"\\Controller").c_str(), L"Controller Path",
                                               L"C:\\ctl.exe"));
    ASSERT_TRUE(registry::WriteProtectedString(HKEY_LOCAL_MACHINE, (key + L"\\Controller").c_str(), L"Owner Mutex Name",
                                               L"Global\\m"));
    ASSERT_TRUE(registry::WriteProtectedString(HKEY_LOCAL_MACHINE, (key + L"\\Session").c_str(), L"Session ID Guid",
                                               L"{00000001-0002-0003-0405-060708090A0B}"));
    ASSERT_TRUE(
        registry::WriteProtectedString(HKEY_LOCAL_MACHINE, (key + L"\\Session").c_str(), L"Session Name", L"S"));
    internal::ETWAppProperties properties;
    EXPECT_FALSE(properties.Read(L"EtwTestApp", L"C:\\Base"));

    ASSERT_TRUE(registry::WriteProtectedString(HKEY_LOCAL_MACHINE, (key + L"\\Provider").c_str(), L"Provider Guid",
                                               L"{10000001-0002-0003-0405-060708090A0B}"));
    ASSERT_TRUE(registry::WriteProtectedString(HKEY_LOCAL_MACHINE, key.c_str(), L"ETL Path", L"D:\\etl"));
    ASSERT_TRUE(properties.Read(L"EtwTestApp", L"C:\\Base"));
    EXPECT_EQ(properties.providerId.Data1, 0x10000001u);
    EXPECT_EQ(properties.sessionId.Data4[7], 0x0B);
    EXPECT_EQ(properties.controllerPath, L"C:\\ctl.exe");
    EXPECT_EQ(properties.logPath, L"C:\\Base\\Quellon\\QNLOGS");
    EXPECT_EQ(properties.traceFile, L"D:\\etl\\qnlogs.etl");

    // A plain (unprotected) value does not count.
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, (key + L"\\Provider").c_str(), L"Provider Guid",
                                      L"{10000001-0002-0003-0405-060708090A0B}"));
    EXPECT_FALSE(properties.Read(L"EtwTestApp", L"C:\\Base"));
}

TEST_F(EtwLoggerTest, NothingIsEmittedBeforeAnEnable) {
    CETWLogging logger(kFakeApi, L"Dunmo");
    ASSERT_EQ(logger.Initialize(L"TSAPI", nullptr, nullptr), kLogSuccess);
    EXPECT_EQ(logger.TraceLoggerHandle(), 0u);
    EXPECT_EQ(logger.Log(5, L"T", L"F", 1, L"early"), kLogSuccess);
    EXPECT_EQ(logger.Write(L"T", L"F", 1, 5, L"early"), kLogSuccess);
    EXPECT_TRUE(g_fake.events.empty());
}

TEST_F(EtwLoggerTest, EnabledProviderEmitsTheEventLayout) {
    CETWLogging logger(kFakeApi, L"Dunmo");
    ASSERT_EQ(logger.Initialize(L"TSAPI", L"C:\\Q\\tsapi.dll", nullptr), kLogSuccess);
    ASSERT_EQ(Enable(logger, 0x77, 4), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(logger.TraceLoggerHandle(), 0x77u);
    EXPECT_EQ(logger.GetSeverity(), 4u);

    EXPECT_EQ(logger.Log(6, L"GoOnline", L"Fn", 12, L"caf\u00e9 %d", 7), kLogSuccess);
    ASSERT_EQ(g_fake.events.size(), 1u);
    const FakeTrace::Event& e = g_fake.events[0];
    EXPECT_EQ(e.handle, 0x77u);
    EXPECT_EQ(e.header.Size, 80);
    EXPECT_EQ(e.header.Class.Level, 3);
    EXPECT_EQ(e.header.Class.Type, 1);
    EXPECT_EQ(e.header.Class.Version, 2);
    EXPECT_EQ(e.message, "caf\xc3\xa9 7");
    // Payload: pid, tid, then the counted process name.
    uint32_t pid;
    std::memcpy(&pid, e.payload.data(), 4);
    EXPECT_EQ(pid, ::GetCurrentProcessId());
    const size_t nameUnits = e.payload[8] | (e.payload[9] << 8);
    EXPECT_EQ(nameUnits, logger.ProcessName().size());
    // The payload ends with the UTF-8 length (7 bytes) and is preceded by the group.
    uint64_t bytes;
    std::memcpy(&bytes, e.payload.data() + e.payload.size() - 8, 8);
    EXPECT_EQ(bytes, 7u);
    const uint8_t group[] = {5, 0, 'T', 0, 'S', 0, 'A', 0, 'P', 0, 'I', 0};
    EXPECT_EQ(std::memcmp(e.payload.data() + e.payload.size() - 8 - sizeof(group), group, sizeof(group)), 0);
}

TEST_F(EtwLoggerTest, SeverityThreeIsAlwaysEnabledAndLowerOnesFollowTheThreshold) {
    CETWLogging logger(kFakeApi, L"Dunmo");
    ASSERT_EQ(logger.Initialize(L"TSAPI", nullptr, nullptr), kLogSuccess);
    ASSERT_EQ(Enable(logger, 0x77, 4), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_TRUE(logger.IsSeverityEnabled(3));
    EXPECT_FALSE(logger.IsSeverityEnabled(2));
    logger.Log(3, L"T", L"F", 1, L"three");
    logger.Log(2, L"T", L"F", 1, L"two");
    logger.Log(5, L"T", L"F", 1, L"five");
    ASSERT_EQ(g_fake.events.size(), 2u);
    EXPECT_EQ(g_fake.events[0].message, "three");
    EXPECT_EQ(g_fake.events[1].header.Class.Level, 5);
    EXPECT_EQ(logger.Log(9, L"T", L"F", 1, L"bad"), kLogInvalidParameter);
}

TEST_F(EtwLoggerTest, LongMessageIsCutTo2079) {
    CETWLogging logger(kFakeApi, L"Dunmo");
    ASSERT_EQ(logger.Initialize(L"TSAPI", nullptr, nullptr), kLogSuccess);
    ASSERT_EQ(Enable(logger, 0x77, 3), static_cast<ULONG>(ERROR_SUCCESS));
    const std::wstring text(3000, L'm');
    logger.Log(3, L"T", L"F", 1, L"%s", text.c_str());
    logger.Write(L"T", L"F", 1, 3, text.c_str());
    ASSERT_EQ(g_fake.events.size(), 2u);
    for (const FakeTrace::Event& e : g_fake.events) {
        EXPECT_EQ(e.message, std::string(2079, 'm'));
        uint64_t bytes;
        std::memcpy(&bytes, e.payload.data() + e.payload.size() - 8, 8);
        EXPECT_EQ(bytes, 2079u);
    }
}

TEST_F(EtwLoggerTest, ControlCallbackKeepsOneSessionAndHandlesDisable) {
    CETWLogging logger(kFakeApi, L"Dunmo");
    ASSERT_EQ(logger.Initialize(L"TSAPI", nullptr, nullptr), kLogSuccess);
    // Through the callback the system would call.
    g_fake.handleForBuffer = 0x10;
    g_fake.level = 5;
    WNODE_HEADER node{};
    ULONG size = 0;
    ASSERT_NE(g_fake.callback, nullptr);
    EXPECT_EQ(g_fake.callback(WMI_ENABLE_EVENTS, g_fake.context, &size, &node), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(logger.TraceLoggerHandle(), 0x10u);
    EXPECT_EQ(logger.GetSeverity(), 5u);

    // Another session while one is held: ignored.
    EXPECT_EQ(Enable(logger, 0x20, 1), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(logger.TraceLoggerHandle(), 0x10u);
    EXPECT_EQ(logger.GetSeverity(), 5u);

    // Disable from another session keeps ours; from ours forgets it.
    g_fake.handleForBuffer = 0x20;
    EXPECT_EQ(logger.HandleControlRequest(WMI_DISABLE_EVENTS, &node), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(logger.TraceLoggerHandle(), 0x10u);
    g_fake.handleForBuffer = 0x10;
    EXPECT_EQ(logger.HandleControlRequest(WMI_DISABLE_EVENTS, &node), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(logger.TraceLoggerHandle(), 0u);
    EXPECT_FALSE(logger.IsEnabled());
    EXPECT_EQ(logger.GetSeverity(), 5u);
    logger.Log(5, L"T", L"F", 1, L"after disable");
    EXPECT_TRUE(g_fake.events.empty());

    EXPECT_EQ(logger.HandleControlRequest(WMI_GET_ALL_DATA, &node), static_cast<ULONG>(ERROR_INVALID_PARAMETER));

    // A level of 0 fails with the system error and leaves the provider off.
    g_fake.levelError = ERROR_INVALID_HANDLE;
    EXPECT_EQ(Enable(logger, 0x30, 0), static_cast<ULONG>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(logger.TraceLoggerHandle(), 0u);
}

TEST_F(EtwLoggerTest, RegistryEnableAndSeverityOverrideTheSession) {
    const std::wstring groupKey = std::wstring(kProviderKey) + L"\\" + kGroup;
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, groupKey.c_str(), L"Severity", 2));
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, (groupKey + L"\\tsapi").c_str(), L"Severity", 9));
    CETWLogging logger(kFakeApi, L"Dunmo");
    ASSERT_EQ(logger.Initialize(kGroup, L"tsapi.dll", nullptr), kLogSuccess);
    EXPECT_EQ(logger.GetSeverity(), 6u);  // module key wins, clamped
    ASSERT_TRUE(registry::DeleteValue(HKEY_LOCAL_MACHINE, (groupKey + L"\\tsapi").c_str(), L"Severity"));
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, (groupKey + L"\\tsapi").c_str(), L"Enable", 0));
    ASSERT_EQ(Enable(logger, 0x40, 5), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(logger.GetSeverity(), 2u);
    EXPECT_FALSE(logger.IsEnabled());
    logger.Log(5, L"T", L"F", 1, L"disabled by registry");
    EXPECT_TRUE(g_fake.events.empty());
}

TEST(EtwSystemTest, RegistersWithTheSystemAndStaysQuietWithoutASession) {
    CETWLogging logger;
    const DWORD result = logger.Initialize(L"TSAPI", nullptr, nullptr);
    if (result == ERROR_CALL_NOT_IMPLEMENTED || result == ERROR_NOT_SUPPORTED) {
        GTEST_SKIP() << "RegisterTraceGuidsW is not implemented by this platform (result " << result << ")";
    }
    ASSERT_EQ(result, kLogSuccess);
    EXPECT_TRUE(logger.IsRegistered());
    EXPECT_EQ(logger.TraceLoggerHandle(), 0u);
    EXPECT_EQ(logger.Log(5, L"T", L"F", 1, L"no session"), kLogSuccess);
    EXPECT_EQ(logger.Shutdown(), kLogSuccess);
    EXPECT_FALSE(logger.IsRegistered());
}

}  // namespace
}  // namespace tessary::ETWLogging
