// A misbehaving reputation service: connections dropped mid-answer, stalls past
// the receive time-out, error statuses, wrong Content-Length, a 50 MiB body,
// binary junk. A lookup must come back with a defined "no answer" and cache and
// store nothing; a TSUpdChk pass must end with exit code 0, keep the local store
// and leave its download targets and the data directory as they were.
//
// Wine's WinHTTP does not bound the wait for the status line and headers by the
// receive time-out (only the read of the body), so a stall before the headers
// would cost the whole delay here; the stalls below come after the headers.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "component/app_lookup.h"
#include "platform/registry.h"
#include "store/data_paths.h"
#include "store/exception_list.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/record_cache.h"
#include "store/stores.h"
#include "tests/faults/fault_support.h"
#include "tests/support/component_suite.h"
#include "tests/support/emulator_control.h"
#include "tests/support/temp_dir.h"
#include "tests/updater/update_checker_process.h"
#include "transport/service_exchange.h"
#include "transport/service_urls.h"
#include "transport/winhttp_api.h"
#include "updater/update_pass.h"

namespace tessary {
namespace {

using testing::EmulatorControl;
using testing::FilesBelow;
using testing::JsonString;
using testing::Printable;
using testing::QueryTexts;
using testing::ReadBytes;
using testing::RowsOf;
using testing::ScopedTempDir;
using testing::UpdateCheckerProcess;
using testing::WriteFileBytes;

constexpr char kGoodAnswer[] = "[Class]=GO||[AppName]=Fault Test||[end]=true";
constexpr int kFiftyMiB = 50 * 1024 * 1024;

// One way the service misbehaves: the members of an emulator rule (without
// braces and without "match").
struct ServiceFault {
    const char* name;
    std::string rule;
    // Every announced byte arrives (the body is short only because the service
    // announced less): a download may take it.
    bool announcedBodyArrives = false;
};

// Faults where no complete, well-formed answer arrives. The answer the emulator
// would send otherwise (or the body given) is a well-formed one, so a client that
// accepted a damaged transfer would show it.
std::vector<ServiceFault> TransferFaults(const std::string& goodBody) {
    const std::string body = "\"body\": " + JsonString(goodBody);
    return {
        {"status 500", "\"status\": 500, " + body},
        {"status 403", "\"status\": 403, " + body},
        {"status 429", "\"status\": 429, \"headers\": {\"Retry-After\": \"3600\"}, " + body},
        {"reset before the status line", "\"drop\": \"before_response\""},
        {"reset after the headers", "\"drop\": \"after_headers\", " + body},
        {"reset mid-body", "\"drop\": \"mid_body\", " + body},
        {"no Content-Length", "\"content_length\": \"omit\", " + body},
        {"Content-Length shorter than the body", "\"content_length\": 9, " + body, true},
        {"closed after 12 of the announced bytes", "\"truncate\": 12, " + body},
        {"body stalls past the receive time-out", "\"body_delay_ms\": 2500, " + body},
    };
}

// Faults where a complete transfer carries no usable answer.
std::vector<ServiceFault> JunkFaults() {
    return {
        {"3000 bytes of binary junk", "\"junk\": 3000"},
        {"50 MiB of binary junk", "\"junk\": " + std::to_string(kFiftyMiB)},
        // The end marker behind a zero byte: the text the store would keep ends at the zero.
        {"an answer cut by a zero byte", "\"body\": " + JsonString(std::string("[Class]=GO\0||[end]=true", 23))},
    };
}

bool StoreStatements(const std::vector<std::string>& statements) {
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return false;
    for (const std::string& sql : statements) {
        if (sqlite_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    }
    return true;
}

// Every row of the local store's tables, as text.
std::vector<std::string> LocalStoreContents() {
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return {"<store does not open>"};
    std::vector<std::string> all;
    for (const char* sql :
         {"SELECT * FROM LocalCache ORDER BY Hash;", "SELECT * FROM CreateDate;",
          "SELECT * FROM Settings ORDER BY Key;", "SELECT * FROM LocalExpInfo;", "SELECT * FROM DigSigInfo3;"}) {
        for (std::string& row : RowsOf(db.get(), sql)) all.push_back(sql + std::string(" ") + row);
    }
    return all;
}

// The local store of every test: one stored record, an exception entry, a stamp,
// and time-outs short enough that a stalled service costs a fraction of a second.
const std::vector<std::string> kStoreRows = {
    "INSERT INTO LocalCache VALUES('5A5A0000000000000000000000000001','[Class]=SA||[AppName]=Stored||[end]=true');",
    "INSERT INTO LocalExpInfo VALUES('5A5A0000000000000000000000000002','tool.exe','d','1');",
    "INSERT INTO CreateDate VALUES(20240105);",
    "INSERT INTO Settings VALUES('ConnectTimeout','3000');",
    "INSERT INTO Settings VALUES('SendTimeout','3000');",
    "INSERT INTO Settings VALUES('ReceiveTimeout','400');",
};

// Lookups of the component library against the faulty service.

class LookupFaultTest : public testing::EmulatorSuiteTest {
protected:
    static void TearDownTestSuite() {
        EmulatorSuiteTest::TearDownTestSuite();
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
        testing::RemoveCommonStore(kLocalStoreName);
    }

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(EmulatorSuiteTest::SetUp());
        ASSERT_TRUE(StoreStatements(kStoreRows));
        ResetExchangeTimeoutsForTesting();
        FreeRecordCache();
        FreeExceptionList();
        ::SetEvent(ProcessObjects().lcEvent.get());
        ::SetEvent(ProcessObjects().xcEvent.get());
    }

    // A live lookup of `hash`: its result and class ("<none>" without a record).
    std::pair<LONG, std::string> Lookup(const std::wstring& hash) {
        std::unique_ptr<ApplicationDetails> details;
        LONG result = -99;
        EXPECT_EQ(ApplicationEntry::GetApplicationDetails(nullptr, hash.c_str(), 0, &details, &result), S_OK);
        if (!details || details->record() == nullptr) return {result, "<none>"};
        return {result, details->record()->className};
    }

    void CheckFault(const ServiceFault& fault, int index) {
        SCOPED_TRACE(fault.name);
        ASSERT_TRUE(emulator_.Reset());
        wchar_t hash[33];
        swprintf(hash, 33, L"FA%030d", index);
        const std::vector<std::string> before = LocalStoreContents();
        ASSERT_TRUE(emulator_.Script("{\"match\": {\"endpoint\": \"query\"}, \"times\": 1, " + fault.rule + "}"));

        const auto [result, className] = Lookup(hash);
        EXPECT_EQ(result, 6) << "a failed exchange is an unknown application";
        EXPECT_TRUE(className.empty() || className == "?") << "class taken from a damaged answer: " << className;
        EXPECT_EQ(QueryTexts(emulator_).size(), 1u);
        EXPECT_EQ(LocalStoreContents(), before) << "the store is only read by a lookup";

        // Nothing was kept in memory either: the next lookup asks again and gets the real answer.
        ASSERT_TRUE(emulator_.Call(L"POST", L"catalogue",
                                   "{\"answers\": {\"" + WideToNarrow(hash) + "\": " + JsonString(kGoodAnswer) + "}}"));
        const auto [retryResult, retryClass] = Lookup(hash);
        EXPECT_EQ(retryResult, 0);
        EXPECT_EQ(retryClass, "GO");
        EXPECT_EQ(QueryTexts(emulator_).size(), 2u) << "the failed answer must not have been cached";
    }
};

TEST_F(LookupFaultTest, BrokenTransfersGiveUnknownAndCacheNothing) {
    int index = 0;
    for (const ServiceFault& fault : TransferFaults(kGoodAnswer)) CheckFault(fault, ++index);
}

TEST_F(LookupFaultTest, JunkAnswersGiveUnknownAndCacheNothing) {
    int index = 100;
    for (const ServiceFault& fault : JunkFaults()) CheckFault(fault, ++index);
}

TEST_F(LookupFaultTest, StoredRecordIsStillFoundWhileTheServiceFails) {
    ASSERT_TRUE(emulator_.Script("{\"drop\": \"mid_body\"}"));
    const auto [result, className] = Lookup(L"5A5A0000000000000000000000000001");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(className, "SA");
    EXPECT_TRUE(QueryTexts(emulator_).empty()) << "a stored record needs no exchange";
}

// TSUpdChk passes against the faulty service.

constexpr char kTargetOld[] = "old content of the download target";
constexpr char kManifestEntry[] = "FILE={origin}/faults/x.xdb||data/summary/x.xdb||ffffffff\r\n";

class UpdatePassFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(emulator_.port(), 0) << "TS_EMULATOR_PORT is not set";
        ASSERT_TRUE(process_.copied());
        common_ = ResolveDataPath(L"", DataBase::kCommonData);
    }
    void TearDown() override { CleanMachine(); }

    void CleanMachine() { testing::CleanUpdateCheckerState(common_); }

    // A clean machine with the local store, an old download target and the manifest entry.
    void Prepare() {
        CleanMachine();
        ASSERT_TRUE(emulator_.Reset());
        ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", emulator_.Origin()));
        ASSERT_TRUE(StoreStatements(kStoreRows));
        ASSERT_TRUE(WriteFileBytes(common_ + L"\\x.xdb", kTargetOld));
        ASSERT_TRUE(emulator_.Call(L"POST", L"catalogue", "{\"manifest\": " + JsonString(kManifestEntry) + "}"));
    }

    // One pass; `targetKept` asks that the download target still holds its old content.
    void RunPass(const char* name, bool targetKept) {
        SCOPED_TRACE(name);
        const std::vector<std::string> storeBefore = LocalStoreContents();
        const std::set<std::wstring> filesBefore = FilesBelow(common_);
        EXPECT_EQ(process_.Run(), 0u);
        EXPECT_EQ(LocalStoreContents(), storeBefore) << "the store must open and keep every record";
        std::set<std::wstring> filesAfter = FilesBelow(common_);
        filesAfter.erase(L"data\\tsid.idx");  // the installation identity the pass may assign
        EXPECT_EQ(filesAfter, filesBefore) << "a failed step must leave no file behind";
        if (targetKept) {
            const std::string target = ReadBytes(common_ + L"\\x.xdb");
            EXPECT_TRUE(target == kTargetOld) << "target replaced by " << Printable(target);
        }
    }

    EmulatorControl emulator_;
    UpdateCheckerProcess process_;
    std::wstring common_;
};

TEST_F(UpdatePassFaultTest, FaultyManifestAnswersEndThePassWithExitCodeZeroAndChangeNothing) {
    std::vector<ServiceFault> faults = TransferFaults(kManifestEntry);
    for (const ServiceFault& fault : JunkFaults()) faults.push_back(fault);
    for (const ServiceFault& fault : faults) {
        Prepare();
        ASSERT_TRUE(emulator_.Script("{\"match\": {\"endpoint\": \"manifest\"}, " + fault.rule + "}"));
        RunPass(fault.name, true);
    }
}

TEST_F(UpdatePassFaultTest, FaultyDownloadsKeepTheTargetAndLeaveNoPartialFile) {
    // The cabinet is tried first, then the plain file; both misbehave alike. A
    // body cut short or stalled counts as a failed download: the target keeps its
    // content. Only a Content-Length shorter than the body delivers what it
    // announced, which is then a whole (if short) file.
    const std::string goodFile(64 * 1024, 'D');
    for (const ServiceFault& fault : TransferFaults(goodFile)) {
        Prepare();
        ASSERT_TRUE(emulator_.Script("[{\"match\": {\"path\": \"/faults/x.cab\"}, " + fault.rule +
                                     "}, {\"match\": {\"path\": \"/faults/x.xdb\"}, " + fault.rule + "}]"));
        RunPass(fault.name, !fault.announcedBodyArrives);
    }
}

TEST_F(UpdatePassFaultTest, TricklingServersCannotHoldThePass) {
    // One byte every 50 ms would take the better part of an hour for these bodies.
    // With these time-outs each download's deadline is 0.5 + 0.5 + 10 * 0.2 = 3 s.
    const std::vector<std::string> shortTimeouts = {
        "DELETE FROM Settings;", "INSERT INTO Settings VALUES('ConnectTimeout','500');",
        "INSERT INTO Settings VALUES('SendTimeout','500');", "INSERT INTO Settings VALUES('ReceiveTimeout','200');"};
    const std::string trickle = "\"trickle_ms\": 50, \"body\": " + JsonString(std::string(64 * 1024, 'T'));
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"trickling cabinet and file", "[{\"match\": {\"path\": \"/faults/x.cab\"}, " + trickle +
                                           "}, {\"match\": {\"path\": \"/faults/x.xdb\"}, " + trickle + "}]"},
        {"trickling manifest", "{\"match\": {\"endpoint\": \"manifest\"}, \"trickle_ms\": 50, \"body\": " +
                                   JsonString(kManifestEntry + std::string(64 * 1024, '#')) + "}"},
        {"manifest headers that never end", "{\"match\": {\"endpoint\": \"manifest\"}, \"header_trickle_ms\": 200}"},
        {"cabinet and file headers that never end",
         "[{\"match\": {\"path\": \"/faults/x.cab\"}, \"header_trickle_ms\": 200}, "
         "{\"match\": {\"path\": \"/faults/x.xdb\"}, \"header_trickle_ms\": 200}]"},
    };
    for (const auto& [name, rules] : cases) {
        Prepare();
        ASSERT_TRUE(StoreStatements(shortTimeouts));
        ASSERT_TRUE(emulator_.Script(rules));
        const ULONGLONG started = ::GetTickCount64();
        RunPass(name, true);
        const ULONGLONG seconds = (::GetTickCount64() - started) / 1000;
        EXPECT_LT(seconds, 30u) << name << ": two downloads of 3 s each, not the whole trickle";
    }
}

TEST_F(UpdatePassFaultTest, JunkCabinetsAreDiscardedWithoutAPartialFile) {
    // A cabinet of junk fails the trust check and is deleted; the plain file is missing.
    for (const ServiceFault& fault : JunkFaults()) {
        Prepare();
        ASSERT_TRUE(emulator_.Script("[{\"match\": {\"path\": \"/faults/x.cab\"}, " + fault.rule +
                                     "}, {\"match\": {\"path\": \"/faults/x.xdb\"}, \"status\": 404}]"));
        RunPass(fault.name, true);
    }
}

}  // namespace
}  // namespace tessary
