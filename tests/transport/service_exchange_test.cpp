#include "transport/service_exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "store/stores.h"
#include "store/data_paths.h"
#include "tests/support/emulator_control.h"
#include "transport/service_urls.h"
#include "transport/winhttp_api.h"

namespace tessary {
namespace {

using testing::CountOf;
using testing::EmulatorControl;

constexpr char kSentinel[] = "sentinel, untouched";

bool InsertSetting(const char* key, const char* value) {
    UniqueSqlite db;
    if (!OpenLocalStore(&db)) return false;
    return sqlite_exec_printf(db.get(), "INSERT INTO Settings VALUES(%Q,%Q);", nullptr, nullptr, nullptr, key, value) ==
           SQLITE_OK;
}

// Each test starts with a reset emulator, no settings, no proxy values, no
// origin override and no kept time-outs.
class ServiceExchangeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(winhttp::Load());
        ASSERT_TRUE(CreateNamedObjects(Deliverable::kUpdateChecker));
    }

    void SetUp() override {
        ASSERT_NE(emulator_.port(), 0) << "TS_EMULATOR_PORT is not set: run through tests/emulator/with_emulator.sh";
        ASSERT_TRUE(emulator_.Reset()) << "the emulator does not answer on port " << emulator_.port();
        Clean();
    }
    void TearDown() override { Clean(); }

    void Clean() {
        ::DeleteFileW(ResolveDataPath(kLocalStoreName, DataBase::kCommonData).c_str());
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kProxySettingsKey);
        registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, kServiceOriginValue);
        ResetExchangeTimeoutsForTesting();
    }

    // Scripts `rule` (JSON members without the braces) for GET/POST of `path`.
    void Answer(const std::string& path, const std::string& rule) {
        ASSERT_TRUE(emulator_.Script("{\"match\": {\"path\": \"" + path + "\"}, " + rule + "}"));
    }

    EmulatorControl emulator_;
};

TEST_F(ServiceExchangeTest, GetReturnsTheBodyWithATerminatingZeroAndSendsTheAgent) {
    Answer("/t/ok", "\"body\": \"hello\"");
    std::string response = kSentinel;
    ASSERT_TRUE(ServiceExchange(emulator_.Url(L"/t/ok?a=1").c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, "hello");
    EXPECT_EQ(response.c_str()[5], '\0');

    const std::string requests = emulator_.Requests();
    EXPECT_EQ(CountOf(requests, "\"method\": \"GET\""), 1u) << requests;
    EXPECT_EQ(CountOf(requests, "\"query\": \"a=1\""), 1u) << requests;
    EXPECT_EQ(CountOf(requests, "[\"User-Agent\", \"Lodanv\"]"), 1u) << requests;
}

TEST_F(ServiceExchangeTest, NoContentStatusWithZeroLengthIsSuccessWithAnEmptyBody) {
    Answer("/t/empty", "\"status\": 204, \"body\": \"\"");
    std::string response = kSentinel;
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/empty").c_str(), nullptr, 0, &response));
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(response.c_str()[0], '\0');
}

TEST_F(ServiceExchangeTest, ErrorStatusIsFailureButHandsTheBodyOut) {
    Answer("/t/missing", "\"status\": 404, \"body\": \"no such page\"");
    std::string response = kSentinel;
    EXPECT_FALSE(ServiceExchange(emulator_.Url(L"/t/missing").c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, "no such page");

    Answer("/t/redirect", "\"status\": 302, \"body\": \"elsewhere\", \"headers\": {\"Location\": \"/t/ok\"}");
    response = kSentinel;
    EXPECT_FALSE(ServiceExchange(emulator_.Url(L"/t/redirect").c_str(), nullptr, 0, &response));
}

TEST_F(ServiceExchangeTest, AnswerWithoutContentLengthIsFailureAndLeavesTheResponseUntouched) {
    Answer("/t/unsized", "\"body\": \"abc\", \"content_length\": \"omit\"");
    std::string response = kSentinel;
    EXPECT_FALSE(ServiceExchange(emulator_.Url(L"/t/unsized").c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, kSentinel);
}

TEST_F(ServiceExchangeTest, BodyShorterThanAnnouncedYieldsTheBytesThatCame) {
    Answer("/t/short", "\"body\": \"abc\", \"content_length\": 100");
    std::string response = kSentinel;
    bool complete = true;
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/short").c_str(), nullptr, 0, &response, &complete));
    EXPECT_EQ(response, "abc");
    EXPECT_FALSE(complete) << "97 announced bytes never came";
    // A download takes only a whole body.
    response = kSentinel;
    EXPECT_FALSE(DownloadWhole(emulator_.Url(L"/t/short").c_str(), &response));
    EXPECT_EQ(response, "abc");
}

TEST_F(ServiceExchangeTest, HugeAnnouncedLengthIsNotTrustedForTheBuffer) {
    // 4294967295 + 1 does not fit in 32 bits; the buffer must follow what arrives.
    Answer("/t/huge", "\"body\": \"tiny\", \"content_length\": 4294967295");
    std::string response;
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/huge").c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, "tiny");
}

TEST_F(ServiceExchangeTest, LongerBodyThanAnnouncedIsCutAtContentLength) {
    Answer("/t/long", "\"body\": \"0123456789\", \"content_length\": 4");
    std::string response;
    bool complete = false;
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/long").c_str(), nullptr, 0, &response, &complete));
    EXPECT_EQ(response, "0123");
    EXPECT_TRUE(complete) << "every announced byte came";
    EXPECT_TRUE(DownloadWhole(emulator_.Url(L"/t/long").c_str(), &response));
}

TEST_F(ServiceExchangeTest, BinaryBodyKeepsEmbeddedZeros) {
    Answer("/t/bin", "\"body_b64\": \"AAEAAgAD\"");
    std::string response;
    ASSERT_TRUE(ServiceExchange(emulator_.Url(L"/t/bin").c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, std::string("\0\1\0\2\0\3", 6));
}

TEST_F(ServiceExchangeTest, BodyWithLengthIsPostedAndAnEmptyBodyIsAGet) {
    const char body[] = "<TSReq>x</TSReq>";
    std::string response;
    ASSERT_TRUE(ServiceExchange(emulator_.Url(L"/t/raw").c_str(), body, sizeof(body) - 1, &response));
    EXPECT_EQ(response, "OK") << "the emulator's raw-query answer";
    ASSERT_FALSE(ServiceExchange(emulator_.Url(L"/t/nothing").c_str(), body, 0, &response))
        << "a GET of an unknown download is 404";

    const std::string requests = emulator_.Requests();
    EXPECT_EQ(CountOf(requests, "\"method\": \"POST\""), 1u) << requests;
    EXPECT_EQ(CountOf(requests, "\"body\": \"<TSReq>x</TSReq>\""), 1u) << requests;
    EXPECT_EQ(CountOf(requests, "\"method\": \"GET\""), 1u) << requests;
    EXPECT_EQ(CountOf(requests, "\"body\": \"\""), 1u) << requests;
}

TEST_F(ServiceExchangeTest, UnusableUrlsFailWithoutARequest) {
    std::string response = kSentinel;
    EXPECT_FALSE(ServiceExchange(nullptr, nullptr, 0, &response));
    EXPECT_FALSE(ServiceExchange(L"", nullptr, 0, &response));
    EXPECT_FALSE(ServiceExchange(L"not a url", nullptr, 0, &response));
    EXPECT_FALSE(ServiceExchange(L"ftp://127.0.0.1/file", nullptr, 0, &response));
    EXPECT_EQ(response, kSentinel);
    EXPECT_EQ(emulator_.Stat("requests"), 0);
}

// Every way an exchange can stop leaves its reason for the caller's log line.
TEST_F(ServiceExchangeTest, StatusSaysWhereAndWhyTheExchangeStopped) {
    Answer("/t/s404", "\"status\": 404, \"body\": \"gone\"");
    Answer("/t/sunsized", "\"body\": \"abc\", \"content_length\": \"omit\"");
    Answer("/t/sshort", "\"body\": \"abc\", \"content_length\": 100");
    Answer("/t/sok", "\"body\": \"hello\"");
    const struct {
        std::wstring url;
        bool result;
        ExchangeStep step;
        DWORD httpStatus;
        const wchar_t* text;
    } kCases[] = {
        {emulator_.Url(L"/t/s404"), false, ExchangeStep::kAnswered, 404, L"HTTP status 404"},
        {emulator_.Url(L"/t/sunsized"), false, ExchangeStep::kNoLength, 200,
         L"HTTP status 200 without a Content-Length"},
        {emulator_.Url(L"/t/sshort"), true, ExchangeStep::kAnswered, 200, L"the body ended after 3 of 100 bytes"},
        {emulator_.Url(L"/t/sok"), true, ExchangeStep::kAnswered, 200, L"HTTP status 200, 5 bytes"},
        {L"not a url", false, ExchangeStep::kBadUrl, 0, L"the URL lacks a scheme, host or path"},
        // Nothing listens on the discard port of the loopback.
        {L"http://127.0.0.1:9/t/none", false, ExchangeStep::kSend, 0, L"no answer: error "},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(WideToNarrow(c.url));
        ExchangeStatus status;
        status.httpStatus = 999;
        std::string response;
        EXPECT_EQ(ServiceExchange(c.url.c_str(), nullptr, 0, &response, nullptr, &status), c.result);
        EXPECT_EQ(status.step, c.step);
        EXPECT_EQ(status.httpStatus, c.httpStatus);
        EXPECT_EQ(DescribeExchange(status).rfind(c.text, 0), 0u) << WideToNarrow(DescribeExchange(status));
        if (c.step == ExchangeStep::kSend) {
            EXPECT_NE(status.error, 0u);
        }
    }
    ExchangeStatus status;
    std::string sunk;
    EXPECT_EQ(DownloadBounded(
                  emulator_.Url(L"/t/s404").c_str(), [&](const char* b, size_t n) { return sunk.append(b, n), true; },
                  1024, &status),
              DownloadOutcome::kFailed);
    EXPECT_EQ(DescribeExchange(status), L"HTTP status 404");
    EXPECT_TRUE(sunk.empty());
}

// True when the platform bounds the wait for the status line and headers by the
// receive time-out of WinHttpSetTimeouts (a raw request, not the code under test).
bool PlatformBoundsHeaderWaitByReceiveTimeout(const EmulatorControl& emulator) {
    emulator.Script("{\"match\": {\"path\": \"/t/probe\"}, \"body\": \"x\", \"delay_ms\": 2000, \"times\": 1}");
    HINTERNET session = ::WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    ::WinHttpSetTimeouts(session, 10000, 5000, 5000, 300);
    HINTERNET connection = ::WinHttpConnect(session, L"127.0.0.1", emulator.port(), 0);
    HINTERNET request = ::WinHttpOpenRequest(connection, L"GET", L"/t/probe", nullptr, nullptr, nullptr, 0);
    const bool answered =
        ::WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && ::WinHttpReceiveResponse(request, nullptr);
    ::WinHttpCloseHandle(request);
    ::WinHttpCloseHandle(connection);
    ::WinHttpCloseHandle(session);
    return !answered;
}

TEST_F(ServiceExchangeTest, ServiceThatNeverAnswersPastTheReceiveTimeoutFails) {
    ASSERT_TRUE(InsertSetting("ConnectTimeout", "5000"));
    ASSERT_TRUE(InsertSetting("SendTimeout", "5000"));
    ASSERT_TRUE(InsertSetting("ReceiveTimeout", "300"));
    Answer("/t/stall", "\"body\": \"late\", \"delay_ms\": 3000, \"times\": 1");
    std::string response = kSentinel;
    const bool answered = ServiceExchange(emulator_.Url(L"/t/stall").c_str(), nullptr, 0, &response);
    if (answered && !PlatformBoundsHeaderWaitByReceiveTimeout(emulator_)) {
        GTEST_SKIP() << "Wine's WinHTTP bounds the wait for response headers only by "
                        "WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT (infinite by default), not by the receive "
                        "time-out of WinHttpSetTimeouts";
    }
    EXPECT_FALSE(answered);
    EXPECT_EQ(response, kSentinel);

    // The same answer within a longer receive time-out arrives.
    ResetExchangeTimeoutsForTesting();
    ::DeleteFileW(ResolveDataPath(kLocalStoreName, DataBase::kCommonData).c_str());
    ASSERT_TRUE(InsertSetting("ReceiveTimeout", "20000"));
    Answer("/t/stall", "\"body\": \"late\", \"delay_ms\": 1000, \"times\": 1");
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/stall").c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, "late");
}

TEST_F(ServiceExchangeTest, BodyThatStallsPastTheReceiveTimeoutEndsTheRead) {
    ASSERT_TRUE(InsertSetting("ConnectTimeout", "5000"));
    ASSERT_TRUE(InsertSetting("SendTimeout", "5000"));
    ASSERT_TRUE(InsertSetting("ReceiveTimeout", "300"));
    Answer("/t/slowbody", "\"body\": \"late\", \"body_delay_ms\": 3000, \"times\": 1");
    std::string response = kSentinel;
    bool complete = true;
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/slowbody").c_str(), nullptr, 0, &response, &complete));
    EXPECT_EQ(response, "") << "the status was a success; the body never came in time";
    EXPECT_FALSE(complete);
}

// Bounded downloads: the body goes to a sink as it arrives, within a size cap and a deadline.

struct Received {
    std::string bytes;
    int calls = 0;
    bool refuse = false;
    DownloadSink Sink() {
        return [this](const char* data, size_t count) {
            ++calls;
            bytes.append(data, count);
            return !refuse;
        };
    }
};

TEST_F(ServiceExchangeTest, BoundedDownloadsHandTheBodyOverOnlyWhenWholeAndWithinTheCaps) {
    const std::string big(200 * 1024, 'b');
    Answer("/d/ok", "\"body\": \"" + big + "\"");
    Answer("/d/error", "\"status\": 404, \"body\": \"not found\"");
    Answer("/d/cut", "\"truncate\": 10, \"body\": \"0123456789abcdef\"");
    Answer("/d/nolength", "\"content_length\": \"omit\", \"body\": \"x\"");
    const struct {
        const wchar_t* path;
        uint64_t cap;
        bool refuse;
        DownloadOutcome outcome;
        size_t bytes;
    } cases[] = {
        {L"/d/ok", big.size(), false, DownloadOutcome::kComplete, big.size()},
        {L"/d/ok", big.size() - 1, false, DownloadOutcome::kTooLarge, 0},
        {L"/d/ok", big.size(), true, DownloadOutcome::kRefusedBySink, 0},
        {L"/d/error", 1000, false, DownloadOutcome::kFailed, 0},
        {L"/d/cut", 1000, false, DownloadOutcome::kFailed, 10},
        {L"/d/nolength", 1000, false, DownloadOutcome::kFailed, 0},
        {L"/d/missing", 1000, false, DownloadOutcome::kFailed, 0},
    };
    for (const auto& c : cases) {
        Received received;
        received.refuse = c.refuse;
        EXPECT_EQ(DownloadBounded(emulator_.Url(c.path).c_str(), received.Sink(), c.cap), c.outcome)
            << WideToUtf8(c.path) << " cap " << c.cap;
        if (c.refuse) {
            EXPECT_EQ(received.calls, 1) << "nothing is read after the sink refused";
        } else {
            EXPECT_EQ(received.bytes.size(), c.bytes) << WideToUtf8(c.path) << " cap " << c.cap;
        }
    }
    EXPECT_EQ(DownloadBounded(nullptr, Received().Sink(), 10), DownloadOutcome::kFailed);
}

TEST_F(ServiceExchangeTest, ATricklingBodyEndsAtTheDeadline) {
    // Deadline 300 + 300 + 10 * 200 ms = 2.6 s; the trickle would need about 100 s.
    ASSERT_TRUE(InsertSetting("ConnectTimeout", "300"));
    ASSERT_TRUE(InsertSetting("SendTimeout", "300"));
    ASSERT_TRUE(InsertSetting("ReceiveTimeout", "200"));
    EXPECT_EQ(DownloadDeadlineMs(ExchangeTimeouts()), 2600u);
    Answer("/d/trickle", "\"trickle_ms\": 50, \"body\": \"" + std::string(2000, 't') + "\"");
    Received received;
    ULONGLONG started = ::GetTickCount64();
    EXPECT_EQ(DownloadBounded(emulator_.Url(L"/d/trickle").c_str(), received.Sink(), 1 << 20),
              DownloadOutcome::kDeadline);
    EXPECT_LT(::GetTickCount64() - started, 20000u) << "bounded by the deadline, not by the trickle";
    EXPECT_GT(received.calls, 3) << "bytes kept arriving, each within the receive time-out";
    EXPECT_LT(received.bytes.size(), 2000u);

    // Header lines that keep coming, each within the receive time-out, never end
    // the headers: the deadline covers them too.
    Answer("/d/headers", "\"header_trickle_ms\": 100");
    Received none;
    ExchangeStatus status;
    started = ::GetTickCount64();
    EXPECT_EQ(DownloadBounded(emulator_.Url(L"/d/headers").c_str(), none.Sink(), 1 << 20, &status),
              DownloadOutcome::kDeadline);
    const ULONGLONG took = ::GetTickCount64() - started;
    EXPECT_GE(took, 2400u) << "the headers are waited for until the deadline";
    EXPECT_LT(took, 6000u) << "and not longer";
    EXPECT_EQ(none.calls, 0);
    EXPECT_EQ(status.step, ExchangeStep::kSend);
    EXPECT_EQ(status.error, static_cast<DWORD>(ERROR_TIMEOUT));
}

// Arrival times (seconds) of the recorded requests, in order.
std::vector<double> ArrivalTimes(const std::string& requests) {
    std::vector<double> times;
    const std::string key = "\"time\": ";
    for (size_t at = requests.find(key); at != std::string::npos; at = requests.find(key, at + key.size())) {
        times.push_back(std::stod(requests.substr(at + key.size(), 32)));
    }
    std::sort(times.begin(), times.end());
    return times;
}

TEST_F(ServiceExchangeTest, AtMostOneHundredExchangesRunAtOnce) {
    constexpr double kDelaySeconds = 2.5;
    Answer("/t/slow", "\"body\": \"done\", \"delay_ms\": 2500");
    constexpr int kExchanges = 101;
    std::vector<std::thread> threads;
    std::vector<int> results(kExchanges, -1);
    const std::wstring url = emulator_.Url(L"/t/slow");
    for (int i = 0; i < kExchanges; ++i) {
        threads.emplace_back([&results, &url, i] {
            std::string response;
            results[i] = ServiceExchange(url.c_str(), nullptr, 0, &response) && response == "done";
        });
    }
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < kExchanges; ++i) EXPECT_EQ(results[i], 1) << "exchange " << i;

    // No answer can be complete before the first request's delay has passed, so a
    // request that arrived within that delay started while every earlier one was
    // still in flight. (The emulator's own in-flight count can see one more: it
    // counts a handler until it returns, after the client already has the answer.)
    const std::vector<double> times = ArrivalTimes(emulator_.Requests());
    ASSERT_EQ(times.size(), static_cast<size_t>(kExchanges));
    const size_t withinFirstDelay =
        std::count_if(times.begin(), times.end(), [&](double t) { return t < times[0] + kDelaySeconds * 0.98; });
    EXPECT_EQ(withinFirstDelay, 100u) << "the hundred-and-first waited for a free slot; the others ran side by side";
}

TEST_F(ServiceExchangeTest, WithoutWinHttpEveryExchangeFails) {
    Answer("/t/ok", "\"body\": \"hello\"");
    winhttp::Unload();
    EXPECT_FALSE(winhttp::Available());
    std::string response = kSentinel;
    EXPECT_FALSE(ServiceExchange(emulator_.Url(L"/t/ok").c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, kSentinel);
    ASSERT_TRUE(winhttp::Load());
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/ok").c_str(), nullptr, 0, &response));
    EXPECT_EQ(emulator_.Stat("requests"), 1);
}

TEST_F(ServiceExchangeTest, BuiltInUrlsReachTheOriginOverride) {
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, kServiceOriginValue, emulator_.Origin()));
    std::string response;
    const char summary[] = "<events/>";
    ASSERT_TRUE(ServiceExchange(BuiltInUrl(ServiceEndpoint::kEvents).c_str(), summary, sizeof(summary) - 1, &response));
    EXPECT_EQ(response, "OK");
    ASSERT_TRUE(ServiceExchange(BuiltInUrl(ServiceEndpoint::kFeedback, L"Md5=00").c_str(), nullptr, 0, &response));
    EXPECT_NE(response.find("feedback"), std::string::npos);

    const std::string requests = emulator_.Requests();
    EXPECT_EQ(CountOf(requests, "\"endpoint\": \"events\""), 1u) << requests;
    EXPECT_EQ(CountOf(requests, "\"endpoint\": \"feedback\""), 1u) << requests;
}

// Target computation (no exchange).

class ExchangeTargetTest : public ServiceExchangeTest {};

TEST_F(ExchangeTargetTest, HttpsUrlGetsTheSecureFlagAndHttpDoesNot) {
    ExchangeTarget target;
    ASSERT_TRUE(CrackServiceUrl(L"https://ts.example/data/app/check/default2.asp?ABCD", &target));
    EXPECT_EQ(target.requestFlags, static_cast<DWORD>(WINHTTP_FLAG_REFRESH | WINHTTP_FLAG_SECURE));
    EXPECT_EQ(target.port, 443);
    EXPECT_EQ(target.host, L"ts.example");
    EXPECT_EQ(target.objectName, L"/data/app/check/default2.asp?ABCD");

    ASSERT_TRUE(CrackServiceUrl(L"http://127.0.0.1:18080/x/y?z=1", &target));
    EXPECT_EQ(target.requestFlags, static_cast<DWORD>(WINHTTP_FLAG_REFRESH));
    EXPECT_EQ(target.port, 18080);
    EXPECT_EQ(target.host, L"127.0.0.1");
    EXPECT_EQ(target.objectName, L"/x/y?z=1");
}

TEST_F(ExchangeTargetTest, UrlWithoutHostOrSchemeIsRefusedAndTargetUntouched) {
    ExchangeTarget target;
    target.host = L"keep";
    EXPECT_FALSE(CrackServiceUrl(L"/data/only/a/path", &target));
    EXPECT_FALSE(CrackServiceUrl(L"http:///nohost", &target));
    EXPECT_FALSE(CrackServiceUrl(L"", &target));
    EXPECT_FALSE(CrackServiceUrl(nullptr, &target));
    EXPECT_EQ(target.host, L"keep");
}

TEST_F(ExchangeTargetTest, HttpsExchangeWithAPlainServiceFails) {
    // The secure flag really reaches the request: a TLS handshake with a plain
    // HTTP listener cannot succeed.
    Answer("/t/ok", "\"body\": \"hello\"");
    std::wstring url = L"https://127.0.0.1:" + std::to_wstring(emulator_.port()) + L"/t/ok";
    std::string response = kSentinel;
    EXPECT_FALSE(ServiceExchange(url.c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, kSentinel);
}

// Time-outs from the settings.

class ExchangeTimeoutsTest : public ServiceExchangeTest {};

TEST_F(ExchangeTimeoutsTest, WithoutSettingsAllAreTenSecondsAndNothingIsKept) {
    ServiceTimeouts timeouts = ExchangeTimeouts();
    EXPECT_EQ(timeouts.resolve, 10000u);
    EXPECT_EQ(timeouts.connect, 10000u);
    EXPECT_EQ(timeouts.send, 10000u);
    EXPECT_EQ(timeouts.receive, 10000u);

    ASSERT_TRUE(InsertSetting("SendTimeout", "1234"));
    timeouts = ExchangeTimeouts();
    EXPECT_EQ(timeouts.send, 1234u) << "settings that appear later are read";
}

TEST_F(ExchangeTimeoutsTest, MissingTimeoutsArePassedOnAsAllBitsSet) {
    ASSERT_TRUE(InsertSetting("receivetimeout", "700"));
    const ServiceTimeouts timeouts = ExchangeTimeouts();
    EXPECT_EQ(timeouts.resolve, 10000u);
    EXPECT_EQ(timeouts.connect, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts.send, 0xFFFFFFFFu);
    EXPECT_EQ(timeouts.receive, 700u);
}

TEST_F(ExchangeTimeoutsTest, ReadSettingsAreKeptForTheProcess) {
    ASSERT_TRUE(InsertSetting("ConnectTimeout", "1111"));
    ASSERT_TRUE(InsertSetting("SendTimeout", "2222"));
    ASSERT_TRUE(InsertSetting("ReceiveTimeout", "3333"));
    Answer("/t/ok", "\"body\": \"hello\"");
    ASSERT_TRUE(ServiceExchange(emulator_.Url(L"/t/ok").c_str(), nullptr, 0, nullptr));

    // Settings that change later, or vanish, do not reach this process.
    ::DeleteFileW(ResolveDataPath(kLocalStoreName, DataBase::kCommonData).c_str());
    ASSERT_TRUE(InsertSetting("ConnectTimeout", "9"));
    const ServiceTimeouts timeouts = ExchangeTimeouts();
    EXPECT_EQ(timeouts.connect, 1111u);
    EXPECT_EQ(timeouts.send, 2222u);
    EXPECT_EQ(timeouts.receive, 3333u);
}

// Proxy values and the proxy choice.

class ProxyChoiceTest : public ServiceExchangeTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ServiceExchangeTest::SetUp());
        ResetProxyCacheForTesting();
    }
    void WriteRaw(const wchar_t* value, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProxySettingsKey, 0, nullptr, 0,
                                    KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        LONG rc = ::RegSetValueExW(key, value, 0, type, static_cast<const BYTE*>(data), size);
        ::RegCloseKey(key);
        ASSERT_EQ(rc, ERROR_SUCCESS);
    }
    void WriteText(const wchar_t* value, const std::wstring& text, DWORD type = REG_SZ) {
        WriteRaw(value, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    void WriteNumber(const wchar_t* value, DWORD number) { WriteRaw(value, REG_DWORD, &number, sizeof(number)); }
};

TEST_F(ProxyChoiceTest, ValuesOfTheRightTypeAreRead) {
    WriteNumber(kAutoDetectProxyValue, 1);
    WriteText(kAutoConfigUrlValue, L"http://wpad.example/proxy.pac");
    WriteText(kProxyServerListValue, std::wstring(259, L'p'));
    WriteRaw(kProxyBypassListValue, REG_SZ, L"<local>", 7 * sizeof(wchar_t));  // no terminator stored
    const ProxyRegistrySettings settings = ReadProxyRegistrySettings();
    EXPECT_EQ(settings.autoDetect, 1u);
    EXPECT_EQ(settings.autoConfigUrl, L"http://wpad.example/proxy.pac");
    EXPECT_EQ(settings.serverList, std::wstring(259, L'p'));
    EXPECT_EQ(settings.bypassList, L"<local>");
}

TEST_F(ProxyChoiceTest, ValuesOfTheWrongTypeOrRangeCountAsUnreadable) {
    WriteNumber(kAutoDetectProxyValue, 2);
    WriteText(kAutoConfigUrlValue, L"http://wpad.example/proxy.pac", REG_EXPAND_SZ);
    WriteText(kProxyServerListValue, std::wstring(260, L'p'));
    WriteNumber(kProxyBypassListValue, 7);
    ProxyRegistrySettings settings = ReadProxyRegistrySettings();
    EXPECT_FALSE(settings.autoDetect.has_value());
    EXPECT_TRUE(settings.autoConfigUrl.empty());
    EXPECT_TRUE(settings.serverList.empty());
    EXPECT_TRUE(settings.bypassList.empty());

    WriteText(kAutoDetectProxyValue, L"1");
    WriteText(kProxyServerListValue, L"proxy:8080\0second", REG_MULTI_SZ);
    settings = ReadProxyRegistrySettings();
    EXPECT_FALSE(settings.autoDetect.has_value());
    EXPECT_TRUE(settings.serverList.empty());
}

TEST_F(ProxyChoiceTest, EveryReadSeesTheValuesAsTheyAreNowAlsoFromManyThreads) {
    EXPECT_TRUE(ReadProxyRegistrySettings().serverList.empty()) << "no key yet";
    WriteText(kProxyServerListValue, L"a:1");
    EXPECT_EQ(ReadProxyRegistrySettings().serverList, L"a:1");
    WriteText(kProxyServerListValue, L"b:2");
    EXPECT_EQ(ReadProxyRegistrySettings().serverList, L"b:2");
    registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kProxySettingsKey);
    EXPECT_TRUE(ReadProxyRegistrySettings().serverList.empty()) << "the deleted key's value must not stay";
    WriteNumber(kAutoDetectProxyValue, 1);
    const ProxyRegistrySettings settings = ReadProxyRegistrySettings();
    EXPECT_EQ(settings.autoDetect, 1u) << "the key made anew is read";
    EXPECT_TRUE(settings.serverList.empty());

    // Readers on several threads while the key is deleted and made again.
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop.load()) {
                const std::wstring list = ReadProxyRegistrySettings().serverList;
                if (!list.empty() && list != L"a:1" && list != L"b:2") ++wrong;
            }
        });
    }
    for (int round = 0; round < 50; ++round) {
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, kProxySettingsKey);
        WriteText(kProxyServerListValue, round % 2 == 0 ? L"a:1" : L"b:2");
    }
    stop = true;
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(ReadProxyRegistrySettings().serverList, L"b:2");
}

TEST_F(ProxyChoiceTest, ConfigurationScriptIsAskedWhenAutoDetectionIsUnreadable) {
    Answer("/proxy.pac",
           "\"body\": \"function FindProxyForURL(url, host) { return 'DIRECT'; }\", "
           "\"headers\": {\"Content-Type\": \"application/x-ns-proxy-autoconfig\"}");
    Answer("/t/ok", "\"body\": \"hello\"");
    WriteNumber(kAutoDetectProxyValue, 2);
    WriteText(kAutoConfigUrlValue, emulator_.Url(L"/proxy.pac"));
    std::string response;
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/ok").c_str(), nullptr, 0, &response));
    EXPECT_EQ(response, "hello");
    std::string requests = emulator_.Requests();
    const size_t fetched = CountOf(requests, "\"path\": \"/proxy.pac\"");
    EXPECT_GE(fetched, 1u) << requests;

    // The answer is kept for the host: the next exchange asks no script.
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/ok").c_str(), nullptr, 0, &response));
    requests = emulator_.Requests();
    EXPECT_EQ(CountOf(requests, "\"path\": \"/proxy.pac\""), fetched) << requests;
    // A changed setting is discovered anew.
    Answer("/proxy2.pac",
           "\"body\": \"function FindProxyForURL(url, host) { return 'DIRECT'; }\", "
           "\"headers\": {\"Content-Type\": \"application/x-ns-proxy-autoconfig\"}");
    WriteText(kAutoConfigUrlValue, emulator_.Url(L"/proxy2.pac"));
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/ok").c_str(), nullptr, 0, &response));
    requests = emulator_.Requests();
    EXPECT_GE(CountOf(requests, "\"path\": \"/proxy2.pac\""), 1u) << requests;
}

TEST_F(ProxyChoiceTest, ConfigurationScriptOfTheWrongTypeIsNotFetched) {
    Answer("/t/ok", "\"body\": \"hello\"");
    WriteText(kAutoConfigUrlValue, emulator_.Url(L"/proxy.pac"), REG_EXPAND_SZ);
    EXPECT_TRUE(ServiceExchange(emulator_.Url(L"/t/ok").c_str(), nullptr, 0, nullptr));
    const std::string requests = emulator_.Requests();
    EXPECT_EQ(CountOf(requests, "/proxy.pac"), 0u) << requests;
}

// True when the platform honours a proxy set on a request handle: a raw request
// to an unresolvable host, proxied through the emulator, reaches the emulator.
bool PlatformHonoursRequestProxy(const EmulatorControl& emulator) {
    HINTERNET session = ::WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connection = ::WinHttpConnect(session, L"probe.invalid", 80, 0);
    HINTERNET request = ::WinHttpOpenRequest(connection, L"GET", L"/t/probe", nullptr, nullptr, nullptr, 0);
    std::wstring proxy = L"127.0.0.1:" + std::to_wstring(emulator.port());
    WINHTTP_PROXY_INFO info{WINHTTP_ACCESS_TYPE_NAMED_PROXY, proxy.data(), nullptr};
    ::WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof(info));
    ::WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && ::WinHttpReceiveResponse(request, nullptr);
    ::WinHttpCloseHandle(request);
    ::WinHttpCloseHandle(connection);
    ::WinHttpCloseHandle(session);
    const bool reached = CountOf(emulator.Requests(), "/t/probe") > 0;
    emulator.Reset();
    return reached;
}

TEST_F(ProxyChoiceTest, FixedListSendsTheRequestThroughTheProxy) {
    if (!PlatformHonoursRequestProxy(emulator_)) {
        GTEST_SKIP() << "Wine's WinHTTP ignores WINHTTP_OPTION_PROXY set on a request handle";
    }
    Answer("http://service.invalid/t/proxied", "\"body\": \"via proxy\"");
    WriteText(kProxyServerListValue, L"127.0.0.1:" + std::to_wstring(emulator_.port()));
    std::string response;
    EXPECT_TRUE(ServiceExchange(L"http://service.invalid/t/proxied", nullptr, 0, &response));
    EXPECT_EQ(response, "via proxy");

    // The same list stored with the wrong type is no proxy at all.
    WriteText(kProxyServerListValue, L"127.0.0.1:" + std::to_wstring(emulator_.port()), REG_EXPAND_SZ);
    EXPECT_FALSE(ServiceExchange(L"http://service.invalid/t/proxied", nullptr, 0, &response));
}

}  // namespace
}  // namespace tessary
