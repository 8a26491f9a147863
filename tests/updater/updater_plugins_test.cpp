// The updater plug-in manager in this process, with the scripted plug-in double
// (a real in-process COM server) and the service emulator: what it sends, what
// it downloads, which plug-in method it calls, and that a plug-in failing any
// step, handing out bad strings or throwing is skipped while the next one runs.

#include <gtest/gtest.h>

#include <objbase.h>

#include <functional>
#include <cwchar>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "platform/product_registry.h"
#include "tests/support/emulator_control.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/doubles/registered_doubles.h"
#include "tests/updater/update_checker_process.h"
#include "tests/updater/updater_test_support.h"
#include "transport/winhttp_api.h"
#include "updater/updater_plugins.h"

namespace tessary {
namespace {

using testing::EmulatorControl;
using testing::FileExists;
using testing::JsonString;
using testing::kPluginAText;
using testing::kPluginBText;
using testing::ReadBytes;
using testing::RegisteredDoubles;
using testing::ScopedTempDir;
using TSUpdaterPlugin::UpdaterPluginManager;

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

class UpdaterPluginsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        severity_ = new testing::ScopedLogSeverity(1);
        ::CoInitialize(nullptr);
        winhttp::Load();
        // This program's log files of earlier runs would rotate the lines away.
        wchar_t folder[MAX_PATH] = {};
        ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
        const std::wstring program = ModuleFilePath(nullptr);
        const std::wstring stem = program.substr(program.find_last_of(L'\\') + 1);
        ScopedTempDir::RemoveTree(std::wstring(folder) + L"\\Quellon\\QNLOGS\\TSAPI\\" +
                                  stem.substr(0, stem.rfind(L'.')));
        logFile_ = testing::StartFileLogger();
    }
    static void TearDownTestSuite() {
        ::CoUninitialize();
        delete severity_;
    }

    void SetUp() override {
        ASSERT_TRUE(severity_->ok());
        ASSERT_FALSE(logFile_.empty());
        ASSERT_NE(emulator_.port(), 0) << "TS_EMULATOR_PORT is not set";
        ASSERT_TRUE(emulator_.Reset());
        ASSERT_TRUE(doubles_.ok()) << "tsdoubles.dll is not beside the test";
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", emulator_.Origin()));
        for (const wchar_t* clsid : {kPluginAText, kPluginBText}) {
            ::CreateDirectoryW(ParentDirectory(DownloadFile(clsid)).c_str(), nullptr);
            ASSERT_TRUE(doubles_.Reset(clsid));
            ASSERT_TRUE(doubles_.Set(clsid, L"DownloadFile", DownloadFile(clsid)));
            ASSERT_TRUE(doubles_.Set(clsid, L"Keep", KeptFile(clsid)));
        }
        ASSERT_TRUE(doubles_.Set(kPluginBText, L"UpdateId", L"SECONDDB"));
        logStart_ = Log().size();
    }
    void TearDown() override { registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary); }

    std::wstring DownloadFile(const wchar_t* clsid) const {
        return files_.File(std::wstring(clsid == kPluginAText ? L"a" : L"b") + L"\\update.xdb");
    }
    std::wstring KeptFile(const wchar_t* clsid) const {
        return files_.File(std::wstring(clsid == kPluginAText ? L"kept_a" : L"kept_b"));
    }
    // The manifest answers the next `times` requests with `text` ("{origin}" is the emulator).
    void Answer(std::string text, int times = 1) {
        const std::string origin = WideToNarrow(emulator_.Origin());
        for (size_t at; (at = text.find("{origin}")) != std::string::npos;) text.replace(at, 8, origin);
        ASSERT_TRUE(emulator_.Script("{\"match\": {\"endpoint\": \"manifest\"}, \"times\": " + std::to_string(times) +
                                     ", \"body\": " + JsonString(text) + "}"));
    }
    void Serve(const std::string& path, const std::string& body) {
        ASSERT_TRUE(
            emulator_.Script("{\"match\": {\"path\": " + JsonString(path) + "}, \"body\": " + JsonString(body) + "}"));
    }
    std::vector<testing::RecordedRequest> Requests() const { return testing::ParseRequests(emulator_.Requests()); }
    std::wstring Log() const { return testing::ReadLogText(logFile_); }
    // What this test logged.
    std::wstring NewLog() const { return Log().substr(std::min(logStart_, Log().size())); }

    // A manager holding plug-in B behind plug-in A (A runs first).
    static void AddBoth(UpdaterPluginManager* manager) {
        ASSERT_EQ(manager->AddPlugin(kPluginBText), TSUpdaterPlugin::kPluginAdded);
        ASSERT_EQ(manager->AddPlugin(kPluginAText), TSUpdaterPlugin::kPluginAdded);
    }

    static testing::ScopedLogSeverity* severity_;
    static std::wstring logFile_;
    EmulatorControl emulator_;
    RegisteredDoubles doubles_{false};
    ScopedTempDir files_;
    size_t logStart_ = 0;
};
testing::ScopedLogSeverity* UpdaterPluginsTest::severity_ = nullptr;
std::wstring UpdaterPluginsTest::logFile_;

TEST_F(UpdaterPluginsTest, AddPluginReportsEachFailureWithItsCode) {
    // Lines carry their source name only with the file-and-line field switched on.
    auto* file = static_cast<ETWLogging::CLogging*>(ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, nullptr)
                                                        .GetLogger()
                                                        ->QueryLogger(ETWLogging::LoggingMechanism::kFile));
    ASSERT_NE(file, nullptr);
    const DWORD options = file->GetOptions();
    file->SetOptions(options | ETWLogging::kOptionFileLine);
    UpdaterPluginManager manager;
    EXPECT_EQ(manager.AddPlugin(L"not-a-clsid"), TSUpdaterPlugin::kPluginBadClsid);
    EXPECT_EQ(manager.AddPlugin(nullptr), TSUpdaterPlugin::kPluginBadClsid);
    // A program identifier is not a class identifier, even where one would resolve.
    EXPECT_EQ(manager.AddPlugin(L"Scripting.Dictionary"), TSUpdaterPlugin::kPluginBadClsid);
    EXPECT_EQ(manager.AddPlugin(L"{00000000-1111-2222-3333-444444444444}"), TSUpdaterPlugin::kPluginNotCreated);
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"InitializeResult", static_cast<DWORD>(E_FAIL)));
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"InitializeCode", 77));
    EXPECT_EQ(manager.AddPlugin(kPluginAText), TSUpdaterPlugin::kPluginInitializeFailed);
    ASSERT_TRUE(doubles_.Set(kPluginBText, L"Throw", L"Initialize"));
    EXPECT_EQ(manager.AddPlugin(kPluginBText), TSUpdaterPlugin::kPluginInitializeFailed);
    EXPECT_EQ(manager.size(), 0u);

    const std::wstring log = NewLog();
    EXPECT_NE(log.find(L"I couldn't find the CLSID from not-a-clsid"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"I couldn't find the class for this plugin. Looking for CLSID "
                       L"{00000000-1111-2222-3333-444444444444}, hr="),
              std::wstring::npos)
        << log;
    EXPECT_NE(log.find(L"There was a problem initializing the class, return code=77"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"[UpdaterPluginManager:"), std::wstring::npos) << "the manager's source name";
    file->SetOptions(options);
    file->Release();

    ASSERT_TRUE(doubles_.Reset(kPluginAText));
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"InitializeCode", 5));
    EXPECT_EQ(manager.AddPlugin(kPluginAText), TSUpdaterPlugin::kPluginAdded);
    EXPECT_EQ(manager.size(), 1u);
    EXPECT_NE(
        NewLog().find(std::wstring(L"Loaded the class for this plugin. CLSID ") + kPluginAText + L", returnCode=5"),
        std::wstring::npos);
}

TEST_F(UpdaterPluginsTest, WithoutLocalDatabaseTheVersionIsZeroAndTheFileReplacesIt) {
    Answer("FILE={origin}/unsigned/x.xdb||\r\n");
    {
        UpdaterPluginManager manager;
        ASSERT_EQ(manager.AddPlugin(kPluginAText), 0);
        EXPECT_TRUE(manager.RunAllUpdates());
    }
    const auto requests = Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0].path, "/data/manifest/");
    const std::string& sent = requests[0].requestText;
    EXPECT_EQ(sent.substr(0, 7), "[guid]=") << sent;
    EXPECT_NE(sent.find("||[tsid]="), std::string::npos) << sent;
    EXPECT_TRUE(EndsWith(sent, "||[appdb]=0||[TESTDB]")) << sent;

    const auto calls = doubles_.Calls(kPluginAText);
    EXPECT_EQ(calls, (std::vector<std::string>{"Initialize", "GetUpdateID", "GetDownloadFile", "GetLocalDBStatus",
                                               "ReplaceDB " + WideToUtf8(DownloadFile(kPluginAText))}));
    EXPECT_EQ(testing::StoreHashes(KeptFile(kPluginAText)),
              std::vector<std::string>{"BBBB0000000000000000000000000001"});
    EXPECT_FALSE(FileExists(DownloadFile(kPluginAText))) << "the download file never survives";
    EXPECT_NE(NewLog().find(L"Merge completed with return code 0"), std::wstring::npos);
}

TEST_F(UpdaterPluginsTest, WithLocalDatabaseTheFileIsMergedUnlessItIsTheFullDatabase) {
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"Status", 1));
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"Version", L"20240105"));
    Answer("FILE={origin}/unsigned/x.xdb||\r\n");
    {
        UpdaterPluginManager manager;
        ASSERT_EQ(manager.AddPlugin(kPluginAText), 0);
        EXPECT_TRUE(manager.RunAllUpdates());
    }
    std::string sent = Requests().at(0).requestText;
    EXPECT_TRUE(EndsWith(sent, "||[appdb]=20240105||[TESTDB]")) << sent;
    auto calls = doubles_.Calls(kPluginAText);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "MergeDB " + WideToUtf8(DownloadFile(kPluginAText)));

    // "_0.xdb" (or "_0.cab") in the answer: a full database, which replaces.
    ASSERT_TRUE(emulator_.Reset());
    ASSERT_TRUE(doubles_.Reset(kPluginAText));
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"Status", 1));
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"DownloadFile", DownloadFile(kPluginAText)));
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"Keep", KeptFile(kPluginAText)));
    Serve("/full/db_0.xdb", "FULL DATABASE");
    Answer("FILE={origin}/full/db_0.xdb||\r\n");
    {
        UpdaterPluginManager manager;
        ASSERT_EQ(manager.AddPlugin(kPluginAText), 0);
        EXPECT_TRUE(manager.RunAllUpdates());
    }
    calls = doubles_.Calls(kPluginAText);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "ReplaceDB " + WideToUtf8(DownloadFile(kPluginAText)));
    EXPECT_EQ(ReadBytes(KeptFile(kPluginAText)), "FULL DATABASE");
    EXPECT_NE(NewLog().find(L"The tmp XDB downloaded is the full cache DB."), std::wstring::npos);
    EXPECT_FALSE(FileExists(DownloadFile(kPluginAText)));
}

TEST_F(UpdaterPluginsTest, CabinetUrlIsRewrittenToTheDownloadExtensionSoTheSignedCabinetIsTriedFirst) {
    ASSERT_TRUE(testing::SetTestRootTrusted(testing::Fixture(L"signing\\root.der"), true));
    // A download file written with "/": the cabinet still goes beside it, not to the drive's root.
    std::wstring slashed = DownloadFile(kPluginAText);
    for (wchar_t& c : slashed) c = c == L'\\' ? L'/' : c;
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"DownloadFile", slashed));
    Answer("FILE={origin}/signed/x.cab||\r\n");
    {
        UpdaterPluginManager manager;
        ASSERT_EQ(manager.AddPlugin(kPluginAText), 0);
        EXPECT_TRUE(manager.RunAllUpdates());
    }
    testing::SetTestRootTrusted(testing::Fixture(L"signing\\root.der"), false);
    std::vector<std::string> paths;
    for (const auto& r : Requests()) paths.push_back(r.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/data/manifest/", "/signed/x.cab"}));
    // The database the signed cabinet carried, not the plain file beside it.
    EXPECT_EQ(testing::StoreHashes(KeptFile(kPluginAText)),
              (std::vector<std::string>{"AAAA0000000000000000000000000001", "AAAA0000000000000000000000000002"}));
    EXPECT_FALSE(FileExists(DownloadFile(kPluginAText)));
    EXPECT_FALSE(FileExists(files_.File(L"a\\x.cab")));
    EXPECT_FALSE(FileExists(L"\\x.cab"));
    EXPECT_FALSE(FileExists(L"C:\\x.cab"));
    // The log names the file as Windows resolves the caller's spelling.
    EXPECT_NE(NewLog().find(L"Checking digital signature of " + files_.File(L"a\\x.cab") + L", result = 0"),
              std::wstring::npos)
        << WideToUtf8(NewLog());
    // Nothing of the extraction is left beside the download file.
    WIN32_FIND_DATAW found{};
    UniqueFind find(::FindFirstFileW(files_.File(L"a\\*").c_str(), &found));
    ASSERT_TRUE(find);
    do {
        const std::wstring name = found.cFileName;
        EXPECT_TRUE(name == L"." || name == L"..") << WideToUtf8(name);
    } while (::FindNextFileW(find.get(), &found));
}

TEST_F(UpdaterPluginsTest, OverlongUrlIsNotRewrittenButStillInterpreted) {
    const std::string longPath = "/" + std::string(2100, 'u') + ".cab";
    Answer("FILE={origin}" + longPath + "||\r\n");
    {
        UpdaterPluginManager manager;
        ASSERT_EQ(manager.AddPlugin(kPluginAText), 0);
        EXPECT_TRUE(manager.RunAllUpdates());
    }
    const auto requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].path, longPath) << "asked for as it stood, once";
    EXPECT_NE(NewLog().find(L"No file was saved for plugin TESTDB."), std::wstring::npos);
    EXPECT_EQ(doubles_.Calls(kPluginAText).back(), "GetLocalDBStatus") << "neither merge nor replace";
}

// Each way plug-in A can fail, with the log line that names it. B, behind A,
// must still be updated, and A's download file must be gone.
TEST_F(UpdaterPluginsTest, AFailingPluginIsSkippedAndTheNextOneStillRuns) {
    struct Case {
        const wchar_t* name;
        DWORD number;         // DWORD value, or
        const wchar_t* text;  // string value when set
        const wchar_t* logged;
    };
    const DWORD fail = static_cast<DWORD>(E_FAIL);
    const Case cases[] = {
        {L"UpdateIdResult", fail, nullptr, L"I couldn't get its ID. Skipping it."},
        {L"DownloadFileResult", fail, nullptr, L"error getting the download information for update TESTDB"},
        {L"StatusResult", fail, nullptr, L"problem getting the local DB status from an update. Skipping it."},
        {L"VersionResult", fail, nullptr, L"There was an error with update TESTDB"},
        {L"ReplaceResult", fail, nullptr, L"problem with replacing the DB for plugin TESTDB. Return Code=0"},
        {L"ReplaceCode", static_cast<DWORD>(-2), nullptr, L"replacing the DB for plugin TESTDB. Return Code=-2"},
        {L"MergeResult", fail, nullptr, L"problem with the merge for plugin TESTDB. Return Code=0"},
        {L"MergeCode", static_cast<DWORD>(-9), nullptr, L"the merge for plugin TESTDB. Return Code=-9"},
        {L"NullStrings", 1, nullptr, L"I couldn't get its ID. Skipping it."},
        {L"Throw", 0, L"GetUpdateID", L"A plugin failed unexpectedly"},
        {L"Throw", 0, L"MergeDB", L"A plugin failed unexpectedly"},
        {L"DownloadFile", 0, L"C:\\windows\\..\\escape.xdb", L"download information for update TESTDB"},
        {L"DownloadFile", 0, L"relative\\update.xdb", L"download information for update TESTDB"},
        {L"DownloadFile", 0, L"C:\\users\\update.xdb:stream", L"download information for update TESTDB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(std::wstring(c.name) + L" " + (c.text ? c.text : L"")));
        ASSERT_TRUE(emulator_.Reset());
        SetUp();
        // Both have a local database: B merges unless the answer is a full database.
        ASSERT_TRUE(doubles_.Set(kPluginAText, L"Status", 1));
        ASSERT_TRUE(doubles_.Set(kPluginBText, L"Status", 1));
        ASSERT_TRUE(c.text != nullptr ? doubles_.Set(kPluginAText, c.name, std::wstring(c.text))
                                      : doubles_.Set(kPluginAText, c.name, c.number));
        const bool replace = std::wcsncmp(c.name, L"Replace", 7) == 0;
        Answer(replace ? "FILE={origin}/full/db_0.xdb||\r\n" : "FILE={origin}/unsigned/x.xdb||\r\n", 2);
        Serve("/full/db_0.xdb", "FULL DATABASE");
        {
            UpdaterPluginManager manager;
            AddBoth(&manager);
            EXPECT_FALSE(manager.RunAllUpdates());
        }
        EXPECT_NE(NewLog().find(c.logged), std::wstring::npos) << WideToUtf8(NewLog());
        const auto b = doubles_.Calls(kPluginBText);
        ASSERT_FALSE(b.empty());
        EXPECT_EQ(b.back().substr(0, b.back().find(' ')), replace ? "ReplaceDB" : "MergeDB");
        EXPECT_FALSE(FileExists(DownloadFile(kPluginAText)));
        EXPECT_FALSE(FileExists(DownloadFile(kPluginBText)));
        EXPECT_FALSE(FileExists(L"C:\\windows\\escape.xdb"));
    }
}

TEST_F(UpdaterPluginsTest, HugeStringsReachNoFixedBufferAndThePassGoesOn) {
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"Status", 1));
    ASSERT_TRUE(doubles_.Set(kPluginBText, L"Status", 1));
    ASSERT_TRUE(doubles_.Set(kPluginAText, L"HugeStrings", 1 << 20));
    Answer("FILE={origin}/unsigned/x.xdb||\r\n", 2);
    {
        UpdaterPluginManager manager;
        AddBoth(&manager);
        EXPECT_FALSE(manager.RunAllUpdates()) << "a megabyte path is no download file";
    }
    EXPECT_NE(NewLog().find(L"There was an error getting the download information for update hhhh"),
              std::wstring::npos);
    ASSERT_FALSE(doubles_.Calls(kPluginBText).empty());
    EXPECT_EQ(doubles_.Calls(kPluginBText).back(), "MergeDB " + WideToUtf8(DownloadFile(kPluginBText)));
}

// The slots a plug-in built elsewhere has: IUnknown 0-2, IDispatch 3-6, then
// Initialize, GetLocalDBStatus, ReplaceDB, GetUpdateID, GetAppDBVersion,
// GetDownloadFile, MergeDB. An object laid out by hand answers each call with
// the number of the slot it came through.
namespace raw_plugin {
int g_slot = -1;
template <int Slot>
HRESULT STDMETHODCALLTYPE Record(void*, void*, void*) {
    g_slot = Slot;
    return S_OK;
}
void* const kTable[14] = {
    reinterpret_cast<void*>(&Record<0>),  reinterpret_cast<void*>(&Record<1>),  reinterpret_cast<void*>(&Record<2>),
    reinterpret_cast<void*>(&Record<3>),  reinterpret_cast<void*>(&Record<4>),  reinterpret_cast<void*>(&Record<5>),
    reinterpret_cast<void*>(&Record<6>),  reinterpret_cast<void*>(&Record<7>),  reinterpret_cast<void*>(&Record<8>),
    reinterpret_cast<void*>(&Record<9>),  reinterpret_cast<void*>(&Record<10>), reinterpret_cast<void*>(&Record<11>),
    reinterpret_cast<void*>(&Record<12>), reinterpret_cast<void*>(&Record<13>)};
struct Object {
    void* const* table = kTable;
};
}  // namespace raw_plugin

TEST(PluginInterfaceTest, OwnMethodsSitInSlotsSevenToThirteen) {
    raw_plugin::Object object;
    IUpdaterPlugin* plugin = reinterpret_cast<IUpdaterPlugin*>(&object);
    LONG number = 0;
    BSTR text = nullptr;
    const std::pair<int, std::function<void()>> calls[] = {
        {0, [&] { plugin->QueryInterface(kUpdaterPluginIid, nullptr); }},
        {2, [&] { plugin->Release(); }},
        {6, [&] { plugin->Invoke(0, IID_NULL, 0, 0, nullptr, nullptr, nullptr, nullptr); }},
        {7, [&] { plugin->Initialize(&number); }},
        {8, [&] { plugin->GetLocalDBStatus(&number); }},
        {9, [&] { plugin->ReplaceDB(nullptr, &number); }},
        {10, [&] { plugin->GetUpdateID(&text); }},
        {11, [&] { plugin->GetAppDBVersion(&text); }},
        {12, [&] { plugin->GetDownloadFile(&text); }},
        {13, [&] { plugin->MergeDB(nullptr, &number); }},
    };
    for (const auto& [slot, call] : calls) {
        raw_plugin::g_slot = -1;
        call();
        EXPECT_EQ(raw_plugin::g_slot, slot);
    }
}

}  // namespace
}  // namespace tessary
