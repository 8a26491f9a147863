// TSUpdChk.exe run as a process with the COM test doubles registered: which
// updater plug-in the pass loads from the registry, and how it tells the
// firewall (through the event broker) that a merge changed the local store.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"
#include "tests/support/emulator_control.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/doubles/registered_doubles.h"
#include "tests/updater/update_checker_process.h"
#include "tests/updater/updater_test_support.h"
#include "updater/update_pass.h"

namespace tessary {
namespace {

using testing::EmulatorControl;
using testing::FileExists;
using testing::kEventBrokerText;
using testing::kPluginAText;
using testing::kPluginBText;
using testing::RegisteredDoubles;
using testing::ScopedTempDir;

const std::wstring kPluginsKey = std::wstring(keys::kTessary) + L"\\Plugins";

class PluginPassTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(severity_.ok());
        ASSERT_NE(emulator_.port(), 0) << "TS_EMULATOR_PORT is not set";
        ASSERT_TRUE(emulator_.Reset());
        ASSERT_TRUE(process_.copied());
        ASSERT_TRUE(doubles_.ok()) << "tsdoubles.dll is not beside the test";
        common_ = ResolveDataPath(L"", DataBase::kCommonData);
        CleanMachine();
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", emulator_.Origin()));
        ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, 1));
        for (const wchar_t* clsid : {kPluginAText, kPluginBText, kEventBrokerText}) ASSERT_TRUE(doubles_.Reset(clsid));
        for (const wchar_t* clsid : {kPluginAText, kPluginBText}) {
            ASSERT_TRUE(doubles_.Set(clsid, L"DownloadFile", files_.File(L"update.xdb")));
        }
    }
    void TearDown() override {
        CleanMachine();
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kLogging);
    }
    void CleanMachine() { testing::CleanUpdateCheckerState(common_); }
    static void AddPluginKey(const std::wstring& name) {
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, (kPluginsKey + L"\\" + name).c_str(), L"Name", name));
    }
    std::vector<testing::RecordedRequest> Requests() const { return testing::ParseRequests(emulator_.Requests()); }
    DWORD EmptyCacheFlag() const {
        DWORD value = 0;
        return registry::ReadDword(HKEY_LOCAL_MACHINE, kLodanKey, kEmptyCacheValue, &value) ? value : 0xDEADBEEF;
    }

    testing::ScopedLogSeverity severity_{1};
    EmulatorControl emulator_;
    testing::UpdateCheckerProcess process_;
    RegisteredDoubles doubles_;
    ScopedTempDir files_;
    std::wstring common_;
};

TEST_F(PluginPassTest, WithoutPluginsKeyThereIsNothingToDo) {
    EXPECT_EQ(process_.Run(), 0u);
    const std::wstring log = process_.Log();
    EXPECT_NE(log.find(L"Created log file"), std::wstring::npos) << WideToUtf8(log);
    EXPECT_NE(log.find(L"The pluging key location " + kPluginsKey + L" wasn't found. Bailing out."), std::wstring::npos)
        << WideToUtf8(log);
    EXPECT_TRUE(doubles_.Calls(kPluginAText).empty());
    ASSERT_EQ(Requests().size(), 1u) << "only the pass's own manifest request";
}

TEST_F(PluginPassTest, OnlyTheFirstSubkeyIsLoadedAndItsDownloadNeverSurvives) {
    AddPluginKey(kPluginAText);
    AddPluginKey(kPluginBText);
    ASSERT_TRUE(emulator_.Script(R"({"match": {"endpoint": "manifest"}, "times": 1, "body": "FILE=)" +
                                 WideToNarrow(emulator_.Origin()) + R"(/unsigned/x.xdb||\r\n"})"));
    EXPECT_EQ(process_.Run(), 0u);
    const auto a = doubles_.Calls(kPluginAText);
    EXPECT_EQ(a, (std::vector<std::string>{"Initialize", "GetUpdateID", "GetDownloadFile", "GetLocalDBStatus",
                                           "ReplaceDB " + WideToUtf8(files_.File(L"update.xdb"))}));
    EXPECT_TRUE(doubles_.Calls(kPluginBText).empty()) << "the subkey at index 1 is not loaded";
    const auto requests = Requests();
    // The plug-in's request, its download (the unsigned cabinet is refused, the plain
    // file taken), then the pass's own request.
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_NE(requests[0].requestText.find("||[appdb]=0||[TESTDB]"), std::string::npos) << requests[0].requestText;
    EXPECT_EQ(requests[1].path, "/unsigned/x.cab");
    EXPECT_EQ(requests[2].path, "/unsigned/x.xdb");
    EXPECT_EQ(requests[3].path, "/data/manifest/");
    EXPECT_EQ(requests[3].requestText.substr(requests[3].requestText.size() - 6), "||[VS]");
    EXPECT_FALSE(FileExists(files_.File(L"update.xdb")));
    EXPECT_NE(process_.Log().find(std::wstring(L"Loaded the class for this plugin. CLSID ") + kPluginAText),
              std::wstring::npos);
}

TEST_F(PluginPassTest, SubkeyThatIsNoClassIdentifierIsReportedWithCodeMinusOne) {
    AddPluginKey(L"not-a-clsid");
    EXPECT_EQ(process_.Run(), 0u);
    const std::wstring log = process_.Log();
    EXPECT_NE(log.find(L"I couldn't find the CLSID from not-a-clsid"), std::wstring::npos) << WideToUtf8(log);
    EXPECT_NE(log.find(L"There was a problem adding this plugin not-a-clsid. Return code -1"), std::wstring::npos);
    EXPECT_EQ(Requests().size(), 1u) << "the pass goes on with its own request";
}

// What the broker is asked for when a merge changed the store.
constexpr char kExpectedBrokerCall[] =
    "GetEventSink Lodan {E24B62F6-EA17-4b97-9E25-801115CF0B26} null 0 {86E89D22-C79D-4604-8961-208343B74092}";

TEST_F(PluginPassTest, MergeNotifiesTheFirewallOnceOrSetsTheFlagWhenThatFails) {
    const std::string expectedCall = kExpectedBrokerCall;
    struct Case {
        const wchar_t* mode;
        std::vector<std::string> calls;
        DWORD flag;
    };
    const Case cases[] = {
        {L"ok", {expectedCall, "OnDatabaseUpdated"}, 0xDEADBEEF},
        {L"fail-create", {}, 1},
        {L"fail-method", {expectedCall}, 1},
        // Success without a sink told the firewall nothing: the flag is its only way to learn.
        {L"null-sink", {expectedCall}, 1},
        {L"fail-event", {expectedCall, "OnDatabaseUpdated"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.mode));
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kLodanKey);
        ASSERT_TRUE(doubles_.Reset(kEventBrokerText));
        ASSERT_TRUE(doubles_.Set(kEventBrokerText, L"Mode", std::wstring(c.mode)));
        ASSERT_TRUE(
            ::CopyFileW(testing::Fixture(L"x.xdb").c_str(), (common_ + L"\\" + kAppMergeFileName).c_str(), FALSE));
        EXPECT_EQ(process_.Run(), 0u);
        EXPECT_FALSE(FileExists(common_ + L"\\" + kAppMergeFileName)) << "merged";
        EXPECT_EQ(doubles_.Calls(kEventBrokerText), c.calls);
        EXPECT_EQ(EmptyCacheFlag(), c.flag);
    }

    // No merge file: no notification at all.
    registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kLodanKey);
    ASSERT_TRUE(doubles_.Reset(kEventBrokerText));
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_TRUE(doubles_.Calls(kEventBrokerText).empty());
    EXPECT_EQ(EmptyCacheFlag(), 0xDEADBEEFu);
}

// The broker in a process of its own (a COM local server): the checker reaches
// it, and the firewall's sink it hands out, only through real proxies (the
// broker's own proxy DLL, and the type library for the sink's interface).
TEST_F(PluginPassTest, BrokerInAnotherProcessReceivesTheNotificationThroughProxies) {
    ASSERT_TRUE(doubles_.ServeBrokerOutOfProcess());
    ASSERT_TRUE(::CopyFileW(testing::Fixture(L"x.xdb").c_str(), (common_ + L"\\" + kAppMergeFileName).c_str(), FALSE));
    EXPECT_EQ(process_.Run(), 0u);
    doubles_.StopBrokerHost();
    std::vector<std::string> calls;
    for (int i = 0; i < 200; ++i) {
        calls = doubles_.Calls(kEventBrokerText);
        if (!calls.empty() && calls.back() == "LocalServer stopped") break;
        ::Sleep(50);
    }
    EXPECT_EQ(calls, (std::vector<std::string>{"LocalServer started", kExpectedBrokerCall, "OnDatabaseUpdated",
                                               "LocalServer stopped"}));
    EXPECT_EQ(EmptyCacheFlag(), 0xDEADBEEFu) << "the firewall was told through the sink";
}

}  // namespace
}  // namespace tessary
