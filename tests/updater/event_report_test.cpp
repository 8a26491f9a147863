// The event-report step run as a process of its own (event_report_runner, as the
// update checker's pass runs it) against a real log.edb and the emulator's events
// endpoint; the posted document is compared exactly.
#include "updater/event_report.h"

#include <gtest/gtest.h>

#include <ctime>
#include <thread>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"
#include "store/stores.h"
#include "tests/support/tsapi_server.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/recorded_requests.h"
#include "transport/server_query.h"
#include "transport/service_urls.h"

namespace tessary {
namespace {

using testing::EmulatorControl;
using testing::RecordedRequests;

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return a | (b << 8) | (c << 16) | (d << 24); }
constexpr uint16_t Port(uint16_t port) { return static_cast<uint16_t>((port >> 8) | (port << 8)); }

// Runs a program beside the test executable; returns its exit code (-1 when it
// could not run). `wait` false: returns 0 once started and hands the process out.
DWORD RunProgram(const std::wstring& commandLine, HANDLE* process = nullptr) {
    std::wstring line = commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return static_cast<DWORD>(-1);
    }
    ::CloseHandle(info.hThread);
    if (process != nullptr) {
        *process = info.hProcess;
        return 0;
    }
    ::WaitForSingleObject(info.hProcess, 60000);
    DWORD code = static_cast<DWORD>(-1);
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hProcess);
    return code;
}

std::wstring Beside(const wchar_t* program) { return L"\"" + testing::ExecutableDir() + L"\\" + program + L"\""; }

class EventReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(emulator_.port(), 0) << "run through tests/emulator/with_emulator.sh";
        ASSERT_TRUE(emulator_.Reset());
        path_ = FirewallEventLogPath();
        ASSERT_TRUE(CreateDirectoryTree(ParentDirectory(path_)));
        Clean();
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, kServiceOriginValue, emulator_.Origin()));
        now_ = static_cast<DWORD>(std::time(nullptr));
    }
    void TearDown() override {
        Clean();
        registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, kServiceOriginValue);
    }
    void Clean() {
        ::DeleteFileW(path_.c_str());
        ::DeleteFileW(ResolveDataPath(kLocalStoreName, DataBase::kCommonData).c_str());
        registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue);
        registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit);
    }

    // Settings rows of the local store; the table must hold at least one row for
    // settings to count as read.
    void Settings(std::vector<std::pair<const char*, const char*>> rows) {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        rows.emplace_back("Unrelated", "1");
        for (auto& [key, value] : rows) {
            ASSERT_EQ(sqlite_exec_printf(db.get(), "INSERT INTO Settings VALUES(%Q,%Q);", nullptr, nullptr, nullptr,
                                         key, value),
                      SQLITE_OK);
        }
    }

    void AddEvent(uint32_t source, uint16_t port, uint8_t protocol, int64_t time, uint8_t flags = 0, int count = 1) {
        CInboundEventDataMgr db(path_);
        CInboundEventItem item;
        item.ipFrom = source;
        item.ipTo = Ip(192, 168, 1, 2);
        item.portTo = Port(port);
        item.protocol = protocol;
        item.time = time;
        item.flags = flags;
        db.RunStatement("BEGIN;");
        for (int i = 0; i < count; ++i) db.Insert(item);
        ASSERT_EQ(db.RunStatement("COMMIT;"), SQLITE_OK);
    }

    DWORD LastSubmit() {
        DWORD value = 0;
        registry::ReadDword(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue, &value);
        return value;
    }

    DWORD RunReport() { return RunProgram(Beside(L"event_report_runner.exe")); }

    // The single posted document with its interval start and end replaced by S and E.
    std::string PostedDocument(DWORD* start = nullptr, DWORD* end = nullptr) {
        auto requests = RecordedRequests(emulator_, L"events");
        if (requests.size() != 1) return "<" + std::to_string(requests.size()) + " requests>";
        EXPECT_EQ(requests[0].method, "POST");
        std::string body = requests[0].body;
        const std::string startKey = "<Time start=\"";
        const std::string endKey = "\" end=\"";
        size_t s = body.find(startKey);
        size_t e = body.find(endKey);
        size_t close = body.find("\"/>", e == std::string::npos ? 0 : e);
        if (s == std::string::npos || e == std::string::npos || close == std::string::npos) return body;
        s += startKey.size();
        if (start) *start = std::stoul(body.substr(s, e - s));
        if (end) *end = std::stoul(body.substr(e + endKey.size(), close - e - endKey.size()));
        return body.substr(0, s) + "S" + endKey + "E" + body.substr(close);
    }

    EmulatorControl emulator_;
    std::wstring path_;
    DWORD now_ = 0;
};

TEST_F(EventReportTest, ReportsPublicSourcesOfNamedProtocolsAndCountsRepeats) {
    Settings({{"SubmitPercent", "100"}});
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue, now_ - 1000));
    AddEvent(Ip(10, 1, 2, 3), 80, 6, now_ - 10);
    AddEvent(Ip(172, 31, 255, 255), 80, 6, now_ - 10);
    AddEvent(Ip(192, 168, 0, 1), 80, 6, now_ - 10);
    AddEvent(Ip(8, 8, 8, 8), 80, 2, now_ - 10);       // protocol 2 is not reported
    AddEvent(Ip(8, 8, 4, 4), 80, 6, now_ - 10, 0x7);  // flags 0-2 all set
    AddEvent(Ip(8, 8, 4, 4), 80, 6, now_ - 2000);     // before LastSubmit
    AddEvent(Ip(172, 32, 0, 1), 80, 6, now_ - 20, 0x3);
    AddEvent(Ip(172, 32, 0, 1), 80, 6, now_ - 30);
    AddEvent(Ip(203, 0, 113, 9), 53, 17, now_ - 40);
    AddEvent(Ip(203, 0, 113, 9), 0, 1, now_ - 50);

    EXPECT_EQ(RunReport(), 0u);
    DWORD start = 0, end = 0;
    EXPECT_EQ(PostedDocument(&start, &end),
              "<TSReq><Traffic><Time start=\"S\" end=\"E\"/>"
              "<Entry prot=\"TCP\" port=\"80\"><Src ip=\"172.32.0.1\" count=\"2\"/></Entry>"
              "<Entry prot=\"UDP\" port=\"53\"><Src ip=\"203.0.113.9\" count=\"1\"/></Entry>"
              "<Entry prot=\"ICMP\" port=\"0\"><Src ip=\"203.0.113.9\" count=\"1\"/></Entry>"
              "</Traffic></TSReq>");
    EXPECT_EQ(start, now_ - 1000);
    EXPECT_GE(end, now_);
    // LastSubmit becomes the time taken before the report, at most its end.
    EXPECT_GE(LastSubmit(), now_);
    EXPECT_LE(LastSubmit(), end);
}

TEST_F(EventReportTest, MaxEventsTakesTheNewestEligibleEvents) {
    Settings({{"SubmitPercent", "100"}, {"MaxEvents", "500"}});
    AddEvent(Ip(198, 51, 100, 1), 443, 6, now_ - 300, 0, 100);
    AddEvent(Ip(10, 0, 0, 1), 443, 6, now_ - 100, 0, 50);  // newest, but private
    AddEvent(Ip(198, 51, 100, 2), 443, 6, now_ - 200, 0, 500);
    EXPECT_EQ(RunReport(), 0u);
    EXPECT_EQ(PostedDocument(),
              "<TSReq><Traffic><Time start=\"S\" end=\"E\"/>"
              "<Entry prot=\"TCP\" port=\"443\"><Src ip=\"198.51.100.2\" count=\"500\"/></Entry>"
              "</Traffic></TSReq>");
}

TEST_F(EventReportTest, DefaultsAndEventsUrlSetting) {
    Settings({{"EventsURL", "PLACEHOLDER"}});
    {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        const std::string url = WideToNarrow(emulator_.Url(L"/custom/events"));
        ASSERT_EQ(sqlite_exec_printf(db.get(), "UPDATE Settings SET Value=%Q WHERE Key='EventsURL';", nullptr, nullptr,
                                     nullptr, url.c_str()),
                  SQLITE_OK);
    }
    // 20 percent of 2000 events of one source: a count near 400, never all of them.
    AddEvent(Ip(198, 51, 100, 7), 25, 6, now_ - 5, 0, 2000);
    EXPECT_EQ(RunReport(), 0u);
    EXPECT_TRUE(RecordedRequests(emulator_, L"events").empty());
    auto raw = RecordedRequests(emulator_, L"raw");
    ASSERT_EQ(raw.size(), 1u);
    EXPECT_EQ(raw[0].path, "/custom/events");
    const std::string& body = raw[0].body;
    size_t at = body.find("count=\"");
    ASSERT_NE(at, std::string::npos) << body;
    const unsigned long count = std::stoul(body.substr(at + 7));
    EXPECT_GT(count, 250u);
    EXPECT_LT(count, 550u);
}

TEST_F(EventReportTest, NothingToReportSendsNothingButAdvances) {
    Settings({});
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue, now_ - 100));
    AddEvent(Ip(10, 9, 9, 9), 80, 6, now_ - 10);
    EXPECT_EQ(RunReport(), 0u);
    EXPECT_TRUE(RecordedRequests(emulator_, L"events").empty());
    EXPECT_GE(LastSubmit(), now_);
}

TEST_F(EventReportTest, DisabledBuildsNothingAndAdvances) {
    Settings({{"EventsEnabled", "0"}});
    AddEvent(Ip(8, 8, 8, 8), 80, 6, now_ - 10);
    EXPECT_EQ(RunReport(), 0u);
    EXPECT_TRUE(RecordedRequests(emulator_, L"events").empty());
    EXPECT_GE(LastSubmit(), now_);
}

TEST_F(EventReportTest, OptedOutStillCountsAsReported) {
    Settings({});
    ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit, 0));
    AddEvent(Ip(8, 8, 8, 8), 80, 6, now_ - 10);
    EXPECT_EQ(RunReport(), 0u);
    EXPECT_TRUE(RecordedRequests(emulator_, L"events").empty());
    EXPECT_GE(LastSubmit(), now_);
}

TEST_F(EventReportTest, UnreadableSettingsOrOtherEnabledValueDoNothing) {
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue, 77));
    AddEvent(Ip(8, 8, 8, 8), 80, 6, now_ - 10);
    EXPECT_EQ(RunReport(), 1u);  // no Settings rows at all
    Settings({{"EventsEnabled", "2"}});
    EXPECT_EQ(RunReport(), 1u);
    EXPECT_TRUE(RecordedRequests(emulator_, L"events").empty());
    EXPECT_EQ(LastSubmit(), 77u);
}

TEST_F(EventReportTest, LockedOrMissingDatabaseKeepsLastSubmit) {
    Settings({});
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, kLastSubmitValue, 77));
    AddEvent(Ip(8, 8, 8, 8), 80, 6, now_ - 10);

    const std::wstring readyName = L"tsedb_ready_" + std::to_wstring(::GetCurrentProcessId());
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    ASSERT_NE(ready, nullptr);
    HANDLE holder = nullptr;
    ASSERT_EQ(RunProgram(Beside(L"tsedb.exe") + L" lock 15 " + readyName + L" --db \"" + path_ + L"\"", &holder), 0u);
    ASSERT_EQ(::WaitForSingleObject(ready, 30000), WAIT_OBJECT_0) << "tsedb did not lock the database";
    EXPECT_EQ(RunReport(), 1u);
    ::TerminateProcess(holder, 0);
    ::WaitForSingleObject(holder, 10000);
    ::CloseHandle(holder);
    ::CloseHandle(ready);
    EXPECT_TRUE(RecordedRequests(emulator_, L"events").empty());
    EXPECT_EQ(LastSubmit(), 77u);

    // A damaged file and a missing folder fail the same way.
    ::DeleteFileW(path_.c_str());
    ASSERT_TRUE(testing::WriteFileBytes(path_, std::string(2048, 'z')));
    EXPECT_EQ(RunReport(), 1u);
    EXPECT_EQ(LastSubmit(), 77u);
    ::DeleteFileW(path_.c_str());
    const std::wstring folder = ParentDirectory(path_);
    ASSERT_TRUE(::RemoveDirectoryW(folder.c_str()));
    EXPECT_EQ(RunReport(), 1u);
    EXPECT_EQ(LastSubmit(), 77u);
    EXPECT_TRUE(CreateDirectoryTree(folder));
}

// Another report of the process holds the report mutex: this one gives up after
// its wait and sends nothing. (The database is not opened on that path, so the
// test process keeps no handle on log.edb.)
TEST_F(EventReportTest, BusyReportMutexFailsTheReport) {
    AddEvent(Ip(8, 8, 8, 8), 80, 6, now_ - 10);
    HANDLE mutex = CLogFileAccess::Instance().mutex();
    ASSERT_NE(mutex, nullptr);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE held = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        ::WaitForSingleObject(mutex, INFINITE);
        ::SetEvent(held);
        ::WaitForSingleObject(release, INFINITE);
        ::ReleaseMutex(mutex);
    });
    ASSERT_EQ(::WaitForSingleObject(held, 10000), WAIT_OBJECT_0);
    const DWORD started = ::GetTickCount();
    EXPECT_FALSE(ReportEvents(0, 500, 100, emulator_.Url(kEventsPath), [] { return 0.0; }));
    EXPECT_GE(::GetTickCount() - started, kReportMutexWaitMs - 50);
    ::SetEvent(release);
    holder.join();
    ::CloseHandle(release);
    ::CloseHandle(held);
    EXPECT_TRUE(RecordedRequests(emulator_, L"events").empty());
}

}  // namespace
}  // namespace tessary
