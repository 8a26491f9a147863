// TSUpdChk.exe run as a process against the service emulator: what one pass
// sends, downloads, merges and writes to the registry and the data directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <cwchar>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <objbase.h>
#include <sddl.h>

#include "Logging/log_builder.h"
#include "Logging/logging.h"
#include "platform/protected_ini.h"
#include "platform/registry.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "store/data_paths.h"
#include "platform/product_registry.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "tests/support/emulator_control.h"
#include "tests/support/held_file.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/update_checker_process.h"
#include "tests/updater/updater_test_support.h"
#include "updater/update_pass.h"

namespace tessary {
namespace {

using testing::EmulatorControl;
using testing::FileExists;
using testing::Fixture;
using testing::JsonString;
using testing::ReadBytes;
using testing::RecordedRequest;
using testing::ScopedTempDir;
using testing::StoreHashes;
using testing::UpdateCheckerProcess;
using testing::WriteFileBytes;

constexpr char kCabinetStoreHash[] = "AAAA0000000000000000000000000001";
constexpr char kPlainStoreHash[] = "BBBB0000000000000000000000000001";

// A long text parameter of a manifest request: "[name]=value" up to the next "||".
std::string Parameter(const std::string& request, const std::string& name) {
    const std::string marker = "[" + name + "]=";
    const size_t at = request.find(marker);
    if (at == std::string::npos) return "<absent>";
    const size_t end = request.find("||", at);
    return request.substr(at + marker.size(), end == std::string::npos ? std::string::npos : end - at - marker.size());
}

class UpdateCheckerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rootTrusted_ = testing::SetTestRootTrusted(Fixture(L"signing\\root.der"), true);
        // Log lines name their function, so the tests can tell which routine wrote them.
        const std::wstring ini = GlobalLogIni();
        ::SHCreateDirectoryExW(nullptr, ini.substr(0, ini.rfind(L'\\')).c_str(), nullptr);
        ASSERT_TRUE(CObfuscatedIniReader(ini).WriteInt("Config", "Options", 0x30));
    }
    static void TearDownTestSuite() {
        testing::SetTestRootTrusted(Fixture(L"signing\\root.der"), false);
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kLogging);
        ::DeleteFileW(GlobalLogIni().c_str());
    }
    // The machine-wide settings file of every log ("Options": which fields a line carries).
    static std::wstring GlobalLogIni() {
        wchar_t folder[MAX_PATH] = {};
        ::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder);
        return std::wstring(folder) + L"\\Quellon\\QNLOGS\\log.ini";
    }

    void SetUp() override {
        ASSERT_NE(emulator_.port(), 0) << "TS_EMULATOR_PORT is not set";
        ASSERT_TRUE(emulator_.Reset());
        ASSERT_TRUE(process_.copied());
        common_ = ResolveDataPath(L"", DataBase::kCommonData);
        CleanMachine();
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", emulator_.Origin()));
        // The pass logs to a file, so its lines can be read back.
        ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, 1));
    }
    void TearDown() override { CleanMachine(); }

    void CleanMachine() { testing::CleanUpdateCheckerState(common_); }

    // Serves `text` as the command file ("{origin}" becomes the emulator's origin).
    void Manifest(const std::string& text) {
        ASSERT_TRUE(emulator_.Call(L"POST", L"catalogue", "{\"manifest\": " + JsonString(text) + "}"));
    }
    void Serve(const std::string& path, const std::string& body) {
        ASSERT_TRUE(
            emulator_.Script("{\"match\": {\"path\": " + JsonString(path) + "}, \"body\": " + JsonString(body) + "}"));
    }
    std::vector<RecordedRequest> Requests() const { return testing::ParseRequests(emulator_.Requests()); }
    std::vector<std::string> Paths() const {
        std::vector<std::string> paths;
        for (const auto& r : Requests()) paths.push_back(r.path);
        return paths;
    }
    // The request text of the last manifest request.
    std::string LastManifestRequest() const {
        std::string text;
        for (const auto& r : Requests()) {
            if (r.path == "/data/manifest/") text = r.requestText;
        }
        return text;
    }
    DWORD Dword(const wchar_t* key, const wchar_t* value, DWORD absent = 0xDEADBEEF) const {
        DWORD data = 0;
        return registry::ReadDword(HKEY_LOCAL_MACHINE, key, value, &data) ? data : absent;
    }
    std::wstring Common(const std::wstring& name) const { return common_ + L"\\" + name; }
    static void FillLocalStore(const std::vector<std::string>& statements) {
        UniqueSqlite db;
        ASSERT_TRUE(OpenLocalStore(&db));
        for (const auto& sql : statements) {
            ASSERT_EQ(sqlite_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        }
    }

    static bool rootTrusted_;
    EmulatorControl emulator_;
    UpdateCheckerProcess process_;
    std::wstring common_;
};
bool UpdateCheckerTest::rootTrusted_ = false;

TEST_F(UpdateCheckerTest, WithSettingOneAbsentThePassFetchesTheManifestAndKeepsTheInterval) {
    EXPECT_EQ(process_.Run(), 0u);
    const std::wstring log = process_.Log();
    // The launch line names the program entry as its function.
    EXPECT_NE(log.find(L"wWinMain()]$ *** " + process_.program() + L" was launched"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"Update enabled: 1"), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"Sending url to server: " + emulator_.Origin() + L"/data/manifest/?[guid]="),
              std::wstring::npos)
        << log;
    EXPECT_EQ(Paths(), std::vector<std::string>{"/data/manifest/"});
    EXPECT_EQ(Dword(keys::kTessary, kTsCheckIntervalValue), kDefaultCheckInterval);

    // A pass right after the previous one fetches again; a set interval is kept.
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, kTsCheckIntervalValue, 60));
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(Paths().size(), 2u);
    EXPECT_EQ(Dword(keys::kTessary, kTsCheckIntervalValue), 60u);
}

TEST_F(UpdateCheckerTest, WithSettingOneZeroTheUpdateRoutineTouchesNothing) {
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kSettingOne, 0));
    // With events switched off the report step only stamps "LastSubmit": proof that it ran.
    FillLocalStore({"INSERT INTO Settings VALUES('EventsEnabled','0');"});
    ASSERT_TRUE(::CopyFileW(Fixture(L"x.xdb").c_str(), Common(kAppMergeFileName).c_str(), FALSE));
    Manifest("FILE={origin}/signed/x.xdb||data/summary/x.xdb||ffffffff\r\n");

    const DWORD before = static_cast<DWORD>(std::time(nullptr));
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_NE(process_.Log().find(L"Update enabled: 0"), std::wstring::npos) << process_.Log();
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(StoreHashes(Common(L"data\\TsLocal.xdb")).empty());
    EXPECT_TRUE(FileExists(Common(kAppMergeFileName))) << "no merge";
    EXPECT_FALSE(FileExists(Common(L"x.xdb")));
    EXPECT_GE(Dword(keys::kTessary, L"LastSubmit", 0), before) << "the event report still runs";
    EXPECT_EQ(Dword(keys::kTessary, kTsCheckIntervalValue), 0xDEADBEEFu);
    EXPECT_EQ(Dword(keys::kTessary, keys::kTsTime), 0xDEADBEEFu);
    EXPECT_EQ(Dword(kLodanKey, kEmptyCacheValue), 0xDEADBEEFu);
}

TEST_F(UpdateCheckerTest, RequestCarriesTimeSinceLastFetchEventCountAndStoreVersion) {
    // First run: no "TsTime", no event log, empty store.
    const DWORD before = static_cast<DWORD>(std::time(nullptr));
    EXPECT_EQ(process_.Run(), 0u);
    const DWORD after = static_cast<DWORD>(std::time(nullptr));
    std::string request = LastManifestRequest();
    const DWORD firstDtime = static_cast<DWORD>(std::stoul(Parameter(request, "dtime")));
    EXPECT_GE(firstDtime, before);
    EXPECT_LE(firstDtime, after);
    EXPECT_EQ(Parameter(request, "events"), "0");
    EXPECT_EQ(Parameter(request, "appdb"), "00000000");
    EXPECT_EQ(Parameter(request, "lang"), "en");
    EXPECT_EQ(Parameter(request, "build"), "18900");
    EXPECT_EQ(Parameter(request, "tsid"), "0000000000000000");
    EXPECT_EQ(Parameter(request, "guid").size(), 24u);
    EXPECT_EQ(request.substr(request.size() - 6), "||[VS]");
    EXPECT_GE(Dword(keys::kTessary, keys::kTsTime), before);
    EXPECT_EQ(Dword(keys::kTessary, L"NumEvents"), 0xDEADBEEFu) << "no event log, nothing written";
    EXPECT_EQ(Dword(keys::kTessary, L"DBVersion"), 0xDEADBEEFu);
    std::wstring version;
    EXPECT_FALSE(registry::ReadString(HKEY_LOCAL_MACHINE, keys::kTessary, L"DBVersion", &version));

    // 100 seconds later, 11 records in the event log of which 4 were reported, stamps in the store.
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kTsTime,
                                     static_cast<DWORD>(std::time(nullptr)) - 100));
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, L"NumEvents", 4));
    ASSERT_TRUE(WriteFileBytes(Common(L"data\\log.edb"), std::string(48 * 11, 'e')));
    FillLocalStore({"INSERT INTO CreateDate VALUES(20231231);", "INSERT INTO CreateDate VALUES(20240105);"});
    EXPECT_EQ(process_.Run(), 0u);
    request = LastManifestRequest();
    const int dtime = std::stoi(Parameter(request, "dtime"));
    EXPECT_GE(dtime, 100);
    EXPECT_LE(dtime, 103);
    EXPECT_EQ(Parameter(request, "events"), "6");
    EXPECT_EQ(Dword(keys::kTessary, L"NumEvents"), 10u);
    EXPECT_EQ(Parameter(request, "appdb"), "20240105");
    ASSERT_TRUE(registry::ReadString(HKEY_LOCAL_MACHINE, keys::kTessary, L"DBVersion", &version));
    EXPECT_EQ(version, L"20240105");

    // A count below "NumEvents" (a new event log) is reported whole; a log shorter
    // than one record holds no event.
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(Parameter(LastManifestRequest(), "events"), "0");
    ASSERT_TRUE(WriteFileBytes(Common(L"data\\log.edb"), std::string(48 * 3, 'e')));
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(Parameter(LastManifestRequest(), "events"), "2");
    ASSERT_TRUE(WriteFileBytes(Common(L"data\\log.edb"), std::string(20, 'e')));
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(Parameter(LastManifestRequest(), "events"), "0");
    EXPECT_EQ(Dword(keys::kTessary, L"NumEvents"), 0u);
}

TEST_F(UpdateCheckerTest, TsidLinesOfSixteenCharactersAssignTheInstallationId) {
    Manifest("TSID=00010002000300A4\r\n");
    EXPECT_EQ(process_.Run(), 0u);
    const std::string file = ReadBytes(Common(L"data\\tsid.idx"));
    ASSERT_EQ(file.size(), 20u);
    EXPECT_EQ(file, std::string("\x01\0\0\0\x02\0\0\0\x03\0\0\0\xa4\0\0\0\0\0\0\0", 20));

    // 15 and 17 characters, a "0000" group and non-hexadecimal text change nothing.
    Manifest("TSID=000900090009009\r\nTSID=00090009000900090\r\nTSID=0000000900090009\r\nTSID=zzzz000900090009\r\n");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(Parameter(LastManifestRequest(), "tsid"), "00010002000300a4");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(Parameter(LastManifestRequest(), "tsid"), "00010002000300a4") << "lower case in requests";
}

TEST_F(UpdateCheckerTest, TrustedCabinetUnderDataSummaryLandsAsTheDatabase) {
    ASSERT_TRUE(rootTrusted_) << "the test root could not be added to the machine's root store";
    Manifest("FILE={origin}/signed/x.xdb||data/summary/X.xdb||ffffffff\r\n");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(StoreHashes(Common(L"x.xdb")),
              (std::vector<std::string>{kCabinetStoreHash, "AAAA0000000000000000000000000002"}));
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/data/manifest/", "/signed/x.cab"}));
    EXPECT_FALSE(FileExists(Common(L"x.cab"))) << "the cabinet is deleted";
    const std::wstring log = process_.Log();
    EXPECT_NE(log.find(L"Checking digital signature of " + Common(L"x.cab") + L", result = 0"), std::wstring::npos)
        << log;
}

// A program folder named with characters no ANSI code page holds: the cabinet
// is downloaded, unpacked and moved into place there under its own name.
TEST_F(UpdateCheckerTest, TrustedCabinetLandsInAProgramFolderNamedOutsideTheAnsiCodePage) {
    ASSERT_TRUE(rootTrusted_);
    UpdateCheckerProcess process(L"\u03a4\u03b5\u03c3\u03c4-\u6570\u636e");
    ASSERT_TRUE(process.copied());
    Manifest("FILE={origin}/signed/x.xdb||x.xdb||ffffffff\r\n");
    EXPECT_EQ(process.Run(), 0u);
    const std::wstring log = process.Log();
    EXPECT_EQ(StoreHashes(process.ProgramDirFile(L"x.xdb")),
              (std::vector<std::string>{kCabinetStoreHash, "AAAA0000000000000000000000000002"}))
        << log;
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/data/manifest/", "/signed/x.cab"}));
    EXPECT_FALSE(FileExists(process.ProgramDirFile(L"x.cab")));
    EXPECT_NE(log.find(L"Successfully Extracted " + process.ProgramDirFile(L"x.cab")), std::wstring::npos) << log;
}

TEST_F(UpdateCheckerTest, ATargetThatIsTheCabinetUnderAnySpellingIsNeverReplacedByIt) {
    ASSERT_TRUE(rootTrusted_);
    // Each spelling names the cabinet "x.cab" itself: fetched over the target, it
    // would be deleted with the cabinet after a logged success.
    for (const char* spelling : {"data/summary/./x.cab", "data/summary/x.cab.", "data/summary/x.cab. .",
                                 "data/summary/X.CAB", "data/summary\\.\\x.cab", "data/summary/data/../x.cab"}) {
        SCOPED_TRACE(spelling);
        CleanMachine();
        ASSERT_TRUE(emulator_.Reset());
        ASSERT_TRUE(WriteFileBytes(Common(L"x.cab"), "old"));
        Manifest(std::string("FILE={origin}/signed/x.xdb||") + spelling + "||ffffffff\r\n");
        EXPECT_EQ(process_.Run(), 0u);
        const std::wstring log = process_.Log();
        EXPECT_EQ(log.find(L" successfully"), std::wstring::npos) << log;
        const std::vector<std::string> paths = Paths();
        EXPECT_EQ(std::count(paths.begin(), paths.end(), "/signed/x.cab"), 0) << "the cabinet is not fetched";
        EXPECT_TRUE(FileExists(Common(L"x.cab"))) << "the target is kept";
        // A spelling the command file may use ends with the plain file in place.
        if (std::count(paths.begin(), paths.end(), "/signed/x.xdb") == 1) {
            EXPECT_EQ(StoreHashes(Common(L"x.cab")), std::vector<std::string>{kPlainStoreHash});
        } else {
            EXPECT_EQ(ReadBytes(Common(L"x.cab")), "old");
        }
    }
}

// A target another program holds without sharing for the whole pass: the
// cabinet's database and then the plain file are each refused after the bounded
// wait, each failure is logged with its error, and the target keeps its content.
TEST_F(UpdateCheckerTest, ATargetHeldThroughoutThePassKeepsItsContentAndEachFailedReplaceIsLogged) {
    ASSERT_TRUE(rootTrusted_);
    if (!testing::ReplacingAnUnsharedFileIsRefused(common_)) {
        GTEST_SKIP() << "this Wine's MoveFileExW replaces a file another handle holds without sharing; only "
                        "Windows refuses it with a sharing violation";
    }
    ASSERT_TRUE(WriteFileBytes(Common(L"x.xdb"), "old"));
    Manifest("FILE={origin}/signed/x.xdb||data/summary/x.xdb||ffffffff\r\n");
    {
        const UniqueFile held(
            ::CreateFileW(Common(L"x.xdb").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        const ULONGLONG start = ::GetTickCount64();
        EXPECT_EQ(process_.Run(), 0u);
        EXPECT_GE(::GetTickCount64() - start, 2000u) << "each replace waited out the bound before it gave up";
    }
    EXPECT_EQ(ReadBytes(Common(L"x.xdb")), "old");
    const std::wstring log = process_.Log();
    EXPECT_NE(log.find(L"Failed to renamed "), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"x.xdb to " + Common(L"x.xdb") + L" with error "), std::wstring::npos) << log;
    EXPECT_NE(log.find(L"Failed to replace " + Common(L"x.xdb") + L" with the download, error "), std::wstring::npos)
        << log;
    EXPECT_EQ(log.find(L"successfully"), std::wstring::npos) << log;
    EXPECT_EQ(log.find(L"bytes written to " + Common(L"x.xdb")), std::wstring::npos) << log;
    EXPECT_FALSE(FileExists(Common(L"x.cab"))) << "the cabinet is deleted all the same";
}

TEST_F(UpdateCheckerTest, LeftoversOfKilledPassesAreRemovedByTheNextPass) {
    // "fffffff0" is no process's identifier; this test's own process runs.
    const std::wstring dead = L"~tsfffffff0-";
    wchar_t live[32];
    std::swprintf(live, std::size(live), L"~ts%lx-1.tmp", static_cast<unsigned long>(::GetCurrentProcessId()));
    ASSERT_TRUE(WriteFileBytes(Common(dead + L"1.tmp"), std::string(1 << 20, 'x')));
    ASSERT_TRUE(WriteFileBytes(Common(dead + L"2"), "a name that lost its extension"));
    ASSERT_TRUE(::CreateDirectoryW(Common(L"sub").c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(Common(L"sub\\" + dead + L"3.cab").c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(Common(L"sub\\" + dead + L"3.cab\\x.xdb"), "half extracted"));
    ASSERT_TRUE(WriteFileBytes(Common(live), "a pass running beside"));
    ASSERT_TRUE(WriteFileBytes(Common(L"~tsfffffff0.tmp"), "not a staging name"));
    ASSERT_TRUE(WriteFileBytes(process_.ProgramDirFile(dead + L"5.tmp"), "beside the program"));
    // A private folder that is a link goes as a link; what it points at stays.
    ScopedTempDir outside;
    ASSERT_TRUE(WriteFileBytes(outside.File(L"keep.txt"), "outside"));
    const bool linked = ::CreateSymbolicLinkW(Common(dead + L"4.cab").c_str(), outside.path().c_str(),
                                              SYMBOLIC_LINK_FLAG_DIRECTORY) != FALSE &&
                        FileExists(Common(dead + L"4.cab"));
    Manifest("");
    EXPECT_EQ(process_.Run(), 0u);
    for (const std::wstring& gone : {Common(dead + L"1.tmp"), Common(dead + L"2"), Common(L"sub\\" + dead + L"3.cab"),
                                     process_.ProgramDirFile(dead + L"5.tmp")}) {
        EXPECT_FALSE(FileExists(gone)) << WideToNarrow(gone);
    }
    EXPECT_TRUE(FileExists(Common(live)));
    EXPECT_TRUE(FileExists(Common(L"~tsfffffff0.tmp")));
    EXPECT_TRUE(FileExists(Common(L"sub")));
    const std::wstring log = process_.Log();
    EXPECT_NE(log.find(L"Removed " + std::to_wstring(linked ? 4 : 3) + L" staged files and folders left in " + common_),
              std::wstring::npos)
        << log;
    if (!linked) {
        GTEST_SKIP() << "Wine 8's CreateSymbolicLinkW reports success for a folder link but leaves nothing behind; "
                        "only Windows can show a linked private folder removed as a link";
    }
    EXPECT_FALSE(FileExists(Common(dead + L"4.cab")));
    EXPECT_EQ(ReadBytes(outside.File(L"keep.txt")), "outside");
}

TEST_F(UpdateCheckerTest, UntrustedCabinetFallsBackToThePlainFile) {
    Manifest("FILE={origin}/unsigned/x.xdb||data/summary/x.xdb||ffffffff\r\n");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(StoreHashes(Common(L"x.xdb")), std::vector<std::string>{kPlainStoreHash});
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/data/manifest/", "/unsigned/x.cab", "/unsigned/x.xdb"}));
    EXPECT_FALSE(FileExists(Common(L"x.cab")));
    // The trust check's own code: non-zero, not a 0/1 flag.
    EXPECT_NE(process_.Log().find(L"x.cab, result = -"), std::wstring::npos) << process_.Log();

    // No cabinet on the server: the plain file all the same.
    ScopedTempDir::RemoveTree(common_);
    Manifest("FILE={origin}/signed/appmrg.xdb||data/summary/other.xdb||ffffffff\r\n");
    ASSERT_TRUE(emulator_.Script(R"({"match": {"path": "/signed/appmrg.cab"}, "status": 404})"));
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(StoreHashes(Common(L"other.xdb")), std::vector<std::string>{kPlainStoreHash});
    EXPECT_NE(process_.Log().find(L"Downloading cab failed, fallback to xdb."), std::wstring::npos);
}

TEST_F(UpdateCheckerTest, WithoutAdvpackTheProgramsOwnExtractorUnpacksTheCabinet) {
    ASSERT_TRUE(rootTrusted_);
    Manifest("FILE={origin}/signed/x.xdb||data/summary/x.xdb||ffffffff\r\n");
    // Wine's per-program load order: advpack.dll disabled for TSUpdChk.exe only.
    const std::wstring overrides = L"Software\\Wine\\AppDefaults\\TSUpdChk.exe\\DllOverrides";
    ASSERT_TRUE(registry::WriteString(HKEY_CURRENT_USER, overrides.c_str(), L"advpack", L""));
    const DWORD code = process_.Run();
    registry::DeleteKeyTree(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\TSUpdChk.exe");
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(StoreHashes(Common(L"x.xdb")).size(), 2u);
    const std::wstring log = process_.Log();
    // advpack is never used: its ExtractFiles writes names that cannot be checked first.
    EXPECT_EQ(log.find(L"AdvPack.dll"), std::wstring::npos) << log;
    const std::wstring extracted = L"Successfully Extracted " + Common(L"x.cab") + L" to " + common_;
    EXPECT_NE(log.find(extracted), std::wstring::npos) << log;
    EXPECT_EQ(log.find(extracted + L" using"), std::wstring::npos) << log;
}

TEST_F(UpdateCheckerTest, MinimumAgeSkipsAYoungTarget) {
    ASSERT_TRUE(WriteFileBytes(Common(L"x.xdb"), "young"));
    Manifest("FILE={origin}/unsigned/x.xdb||data/summary/x.xdb||0000003c\r\n");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(ReadBytes(Common(L"x.xdb")), "young");
    EXPECT_EQ(Paths(), std::vector<std::string>{"/data/manifest/"});

    // Two hours old: downloaded.
    HANDLE file = ::CreateFileW(Common(L"x.xdb").c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER old{{now.dwLowDateTime, now.dwHighDateTime}};
    old.QuadPart -= 2ull * 3600 * 10000000;
    FILETIME stamp{old.LowPart, old.HighPart};
    ::SetFileTime(file, nullptr, nullptr, &stamp);
    ::CloseHandle(file);
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(StoreHashes(Common(L"x.xdb")), std::vector<std::string>{kPlainStoreHash});
}

TEST_F(UpdateCheckerTest, ReportPageIsStoredOnlyWithTheMarker) {
    ASSERT_TRUE(WriteFileBytes(Common(L"page.htm"), "old page"));
    Manifest("HFILE={origin}/report/page.htm||data/summary/page.htm||ffffffff\r\n");
    Serve("/report/page.htm", "<html>no marker</html>");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(ReadBytes(Common(L"page.htm")), "old page");

    ASSERT_TRUE(emulator_.Reset());
    Manifest("HFILE={origin}/report/page.htm||data/summary/page.htm||ffffffff\r\n");
    Serve("/report/page.htm", "<html><!--Report OK--></html>");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(ReadBytes(Common(L"page.htm")), "<html><!--Report OK--></html>");
}

TEST_F(UpdateCheckerTest, HostileCommandFilesDownloadNothingAndThePassGoesOn) {
    const std::string longUrl = "{origin}/" + std::string(9000, 'u') + ".xdb";
    Manifest(
        "FILE={origin}/unsigned/x.xdb||data/summary/../x.xdb||ffffffff\r\n"
        "FILE={origin}/unsigned/x.xdb||..\\x.xdb||ffffffff\r\n"
        "FILE={origin}/unsigned/x.xdb||C:\\x.xdb||ffffffff\r\n"
        "FILE={origin}/unsigned/x.xdb||\\x.xdb||ffffffff\r\n"
        "FILE={origin}/unsigned/x.xdb||\\\\server\\share\\x.xdb||ffffffff\r\n"
        "FILE={origin}/unsigned/x.xdb||data/summary/x.xdb:stream||ffffffff\r\n" +
        std::string("FILE={origin}/unsigned/x.xdb||data/summary/a\0b.xdb||ffffffff\r\n", 64) + "FILE=" + longUrl +
        "||data/summary/x.xdb||ffffffff\r\n"
        "FILE={origin}/unsigned/x.xdb\r\n"
        "no equals sign here\r\n"
        "HFILE=||||\r\n"
        "FILE={origin}/unsigned/x.xdb||data/summary/ok.xdb||ffffffff");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(Paths(), (std::vector<std::string>{"/data/manifest/", "/unsigned/x.cab", "/unsigned/x.xdb"}))
        << "only the last, sound entry downloads";
    EXPECT_EQ(StoreHashes(Common(L"ok.xdb")), std::vector<std::string>{kPlainStoreHash});
    EXPECT_FALSE(FileExists(Common(L"x.xdb")));
    EXPECT_FALSE(FileExists(L"C:\\x.xdb"));
    EXPECT_FALSE(FileExists(common_ + L"\\..\\x.xdb"));
    EXPECT_FALSE(FileExists(process_.ProgramDirFile(L"..\\x.xdb")));
}

TEST_F(UpdateCheckerTest, DeliveredMergeFileIsMergedAndWithoutBrokerTheFlagIsSet) {
    ASSERT_TRUE(rootTrusted_);
    FillLocalStore({"INSERT INTO LocalCache VALUES('CCCC0000000000000000000000000001','[Class]=KE||[end]=true');",
                    std::string("INSERT INTO LocalCache VALUES('") + kCabinetStoreHash + "','old');"});
    Manifest("FILE={origin}/signed/appmrg.xdb||data/summary/appmrg.xdb||ffffffff\r\n");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_FALSE(FileExists(Common(kAppMergeFileName))) << "consumed by the merge";
    EXPECT_EQ(StoreHashes(Common(L"data\\TsLocal.xdb")),
              (std::vector<std::string>{kCabinetStoreHash, "AAAA0000000000000000000000000002",
                                        "CCCC0000000000000000000000000001"}));
    EXPECT_EQ(Dword(kLodanKey, kEmptyCacheValue), 1u) << "no event broker is registered";
    EXPECT_NE(process_.Log().find(Common(kAppMergeFileName) + L" was found and merged into local db."),
              std::wstring::npos);

    // The next pass reports the merged stamp; without a merge file nothing is touched.
    registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kLodanKey);
    Manifest("");
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_EQ(Parameter(LastManifestRequest(), "appdb"), "20240105");
    EXPECT_FALSE(registry::KeyExists(HKEY_LOCAL_MACHINE, kLodanKey));
}

TEST_F(UpdateCheckerTest, BadMergeFilesAndALockedStoreLoseNoLocalData) {
    FillLocalStore({"INSERT INTO LocalCache VALUES('CCCC0000000000000000000000000001','kept');"});
    const std::wstring merge = Common(kAppMergeFileName);
    const std::wstring tries = merge + kMergeAttemptsSuffix;
    ASSERT_TRUE(WriteFileBytes(merge, "not a database"));
    ASSERT_TRUE(WriteFileBytes(merge + L"-wal", "log"));
    ASSERT_TRUE(WriteFileBytes(merge + L"-shm", "index"));
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_FALSE(FileExists(merge)) << "a file that is no store is deleted";
    EXPECT_FALSE(FileExists(merge + L"-wal")) << "with the library's files beside it";
    EXPECT_FALSE(FileExists(merge + L"-shm"));
    EXPECT_NE(
        process_.Log().find(merge + L" was refused and deleted: the file cannot be opened: file is not a database"),
        std::wstring::npos)
        << process_.Log();
    EXPECT_EQ(process_.Log().find(L"merged into local db."), std::wstring::npos) << "no success is claimed";
    EXPECT_EQ(Dword(kLodanKey, kEmptyCacheValue), 1u) << "the file existed, so the firewall is told";
    EXPECT_EQ(StoreHashes(Common(L"data\\TsLocal.xdb")), std::vector<std::string>{"CCCC0000000000000000000000000001"});

    // Another process holds the local store locked for the whole pass: the file
    // stays for the next pass, which merges it.
    ASSERT_TRUE(::CopyFileW(Fixture(L"x.xdb").c_str(), merge.c_str(), FALSE));
    auto lockedPass = [this] {
        UniqueSqlite holder(sqlite_open(WideToNarrow(Common(L"data\\TsLocal.xdb")).c_str(), 0, nullptr));
        EXPECT_EQ(sqlite_exec(holder.get(), "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr), SQLITE_OK);
        EXPECT_EQ(process_.Run(), 0u);
        sqlite_exec(holder.get(), "COMMIT;", nullptr, nullptr, nullptr);
    };
    lockedPass();
    EXPECT_EQ(StoreHashes(Common(L"data\\TsLocal.xdb")), std::vector<std::string>{"CCCC0000000000000000000000000001"});
    EXPECT_TRUE(FileExists(merge));
    EXPECT_NE(process_.Log().find(L"kept for the next pass (attempt 1 of 5)"), std::wstring::npos) << process_.Log();
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_FALSE(FileExists(merge));
    EXPECT_FALSE(FileExists(tries)) << "the count goes with the file";
    EXPECT_EQ(StoreHashes(Common(L"data\\TsLocal.xdb")).size(), StoreHashes(Fixture(L"x.xdb")).size() + 1);
    EXPECT_NE(process_.Log().find(merge + L" was found and merged into local db."), std::wstring::npos);

    // One file that keeps failing is given up at its fifth attempt; a count no
    // pass wrote makes the attempt the last one, never a count beyond it.
    for (const char* count : {"4", "-2"}) {
        SCOPED_TRACE(count);
        ASSERT_TRUE(::CopyFileW(Fixture(L"x.xdb").c_str(), merge.c_str(), FALSE));
        WIN32_FILE_ATTRIBUTE_DATA data{};
        ASSERT_TRUE(::GetFileAttributesExW(merge.c_str(), GetFileExInfoStandard, &data));
        const unsigned long long written = static_cast<unsigned long long>(data.ftLastWriteTime.dwHighDateTime) << 32 |
                                           data.ftLastWriteTime.dwLowDateTime;
        ASSERT_TRUE(WriteFileBytes(
            tries, std::string(count) + " " + std::to_string(data.nFileSizeLow) + " " + std::to_string(written)));
        lockedPass();
        EXPECT_FALSE(FileExists(merge));
        EXPECT_FALSE(FileExists(tries));
        const std::wstring log = process_.Log();
        EXPECT_NE(log.find(L"deleted after 5 attempts."), std::wstring::npos) << log;
        EXPECT_EQ(log.find(L"deleted after 4294967295"), std::wstring::npos) << log;
    }
}

TEST_F(UpdateCheckerTest, ProductKeyWithoutFullAccessStillRunsTheUpdate) {
    // A pass that may read but not change the product key (a user without
    // administrator rights) does not see "SettingOne": updates run even when it is 0.
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, keys::kSettingOne, 0));
    UniqueRegKey key;
    ASSERT_EQ(
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys::kTessary, 0, READ_CONTROL | WRITE_DAC | KEY_WOW64_64KEY, key.put()),
        ERROR_SUCCESS);
    // Everyone may read the key; nobody may change it.
    PSECURITY_DESCRIPTOR readOnly = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KR;;;WD)(A;;RCWD;;;WD)",
                                                                       SDDL_REVISION_1, &readOnly, nullptr));
    const LONG set = ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, readOnly);
    ::LocalFree(readOnly);
    ASSERT_EQ(set, ERROR_SUCCESS);
    UniqueRegKey probe;
    const LONG full =
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keys::kTessary, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, probe.put());
    probe.reset();
    if (full == ERROR_SUCCESS) {
        PSECURITY_DESCRIPTOR open = nullptr;
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;WD)", SDDL_REVISION_1, &open, nullptr);
        ::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, open);
        ::LocalFree(open);
        GTEST_SKIP() << "Wine grants every registry access whatever the key's access list says";
    }

    EXPECT_EQ(process_.Run(), 0u);
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;WD)", SDDL_REVISION_1, &open, nullptr));
    EXPECT_EQ(::RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, open), ERROR_SUCCESS);
    ::LocalFree(open);
    EXPECT_NE(process_.Log().find(L"Update enabled: 1"), std::wstring::npos) << process_.Log();
    EXPECT_EQ(Paths(), std::vector<std::string>{"/data/manifest/"}) << "the manifest is fetched";
}

TEST_F(UpdateCheckerTest, FailedCoInitializeEndsThePassBeforePluginsUpdateAndReport) {
    // The pass runs on a thread that already joined the multithreaded apartment, so
    // the pass's apartment-threaded CoInitialize fails (RPC_E_CHANGED_MODE).
    FillLocalStore({"INSERT INTO Settings VALUES('EventsEnabled','0');"});
    ASSERT_TRUE(::CopyFileW(Fixture(L"x.xdb").c_str(), Common(kAppMergeFileName).c_str(), FALSE));
    // A plug-in that is not registered: looking for it would log its class identifier.
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE,
                                      L"SOFTWARE\\Quellon\\Tessary\\Plugins\\{00000000-0000-0000-0000-0000000000F1}",
                                      L"x", L"y"));
    // The pass's logger is this process's file logger: its file is known before the pass ends it.
    ETWLogging::CLoggingIf* logger = ETWLogging::CDefaultLogBuilder(ETWLogging::kLogGroup, nullptr, true).GetLogger();
    auto* file = static_cast<ETWLogging::CLogging*>(logger->QueryLogger(ETWLogging::LoggingMechanism::kFile));
    ASSERT_NE(file, nullptr);
    const std::wstring logFile = file->LogFilePath(0);
    file->Release();
    ::DeleteFileW(logFile.c_str());
    int code = -1;
    std::thread pass([&] {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        code = RunUpdateChecker(::GetModuleHandleW(nullptr));
        ::CoUninitialize();
    });
    pass.join();
    const std::wstring log = testing::ReadLogText(logFile);
    EXPECT_EQ(code, 0);
    EXPECT_NE(log.find(L"wWinMain()]$ CoInitialize failed with error 0x8"), std::wstring::npos) << log;
    EXPECT_EQ(log.find(L"Update enabled"), std::wstring::npos) << "no update routine";
    EXPECT_EQ(log.find(L"0000000000F1"), std::wstring::npos) << "no plug-in was looked for";
    EXPECT_TRUE(Requests().empty());
    EXPECT_TRUE(FileExists(Common(kAppMergeFileName))) << "no merge";
    EXPECT_EQ(Dword(keys::kTessary, L"LastSubmit"), 0xDEADBEEFu) << "no event report";
}

TEST_F(UpdateCheckerTest, NoAnswerFromTheServiceStillRecordsTheFetchTime) {
    ASSERT_TRUE(emulator_.Script(R"({"match": {"endpoint": "manifest"}, "status": 503})"));
    EXPECT_EQ(process_.Run(), 0u);
    EXPECT_NE(process_.Log().find(L"No response received from server"), std::wstring::npos) << process_.Log();
    EXPECT_NE(Dword(keys::kTessary, keys::kTsTime), 0xDEADBEEFu);

    // No service at all.
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", L"http://127.0.0.1:1"));
    EXPECT_EQ(process_.Run(), 0u);
}

}  // namespace
}  // namespace tessary
