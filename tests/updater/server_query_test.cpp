#include "transport/server_query.h"

#include <objbase.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>

#include "component/com_ids.h"
#include "platform/registry.h"
#include "store/named_objects.h"
#include "platform/product_registry.h"
#include "tests/support/tsapi_server.h"
#include "tests/updater/recorded_requests.h"
#include "transport/winhttp_api.h"

namespace tessary {
namespace {

using Microsoft::WRL::ComPtr;
using testing::EmulatorControl;
using testing::RecordedRequests;

constexpr LONG kSentinel = 0x5A5A5A5A;
USHORT* const kSentinelText = reinterpret_cast<USHORT*>(0x1234);

// Size in bytes of a task-allocated block.
SIZE_T TaskBlockSize(void* block) {
    ComPtr<IMalloc> malloc;
    if (FAILED(::CoGetMalloc(1, &malloc))) return 0;
    return malloc->GetSize(block);
}

std::wstring Text(const USHORT* text) { return text ? reinterpret_cast<const wchar_t*>(text) : L"<null>"; }

class ServerQueryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(winhttp::Load());
        ASSERT_TRUE(CreateNamedObjects(Deliverable::kUpdateChecker));
    }
    void SetUp() override {
        ASSERT_NE(emulator_.port(), 0) << "run through tests/emulator/with_emulator.sh";
        ASSERT_TRUE(emulator_.Reset());
        registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit);
        url_ = emulator_.Url(L"/raw/query");
    }
    void TearDown() override {
        registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit);
        ::CoTaskMemFree(response_);
    }

    HRESULT Query(const wchar_t* url, const wchar_t* data) {
        ::CoTaskMemFree(response_);
        response_ = kSentinelText;
        length_ = kSentinel;
        result_ = kSentinel;
        return TessaryQuery(url, data, &response_, &length_, &result_);
    }

    EmulatorControl emulator_;
    std::wstring url_;
    USHORT* response_ = nullptr;
    LONG length_ = 0;
    LONG result_ = 0;
};

TEST_F(ServerQueryTest, OptedOutSendsNothing) {
    ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit, 0));
    EXPECT_EQ(Query(url_.c_str(), L"abc"), S_OK);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(response_, nullptr);
    EXPECT_EQ(length_, 0);
    EXPECT_TRUE(RecordedRequests(emulator_, L"raw").empty());
}

TEST_F(ServerQueryTest, AbsentOrOtherOptInPostsTheEnvelope) {
    ASSERT_TRUE(emulator_.Script(R"({"match": {"path": "/raw/query"}, "times": 1, "body": "twenty bytes answer!"})"));
    EXPECT_EQ(Query(url_.c_str(), L"abc"), S_OK);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(length_, 20);
    EXPECT_EQ(Text(response_), L"twenty bytes answer!");
    EXPECT_EQ(TaskBlockSize(response_), 21 * sizeof(USHORT));

    ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit, 2));
    EXPECT_EQ(Query(url_.c_str(), L""), S_OK);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(Text(response_), L"OK");

    auto requests = RecordedRequests(emulator_, L"raw");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].body, "<TSReq>abc</TSReq>");
    EXPECT_EQ(requests[0].body.size(), 18u);
    EXPECT_EQ(requests[1].body, "<TSReq></TSReq>");
}

TEST_F(ServerQueryTest, UnreadableOptInCountsAsAllowed) {
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kOptin, keys::kOptinSubmit, 0));  // not protected
    EXPECT_EQ(Query(url_.c_str(), nullptr), S_OK);
    EXPECT_EQ(result_, 0);
    auto requests = RecordedRequests(emulator_, L"raw");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "<TSReq></TSReq>");
}

TEST_F(ServerQueryTest, NullUrlGivesSevenAndAnEmptyString) {
    EXPECT_EQ(Query(nullptr, L"abc"), S_OK);
    EXPECT_EQ(result_, 7);
    ASSERT_NE(response_, nullptr);
    EXPECT_EQ(response_[0], 0);
    EXPECT_EQ(length_, 0);
    EXPECT_TRUE(RecordedRequests(emulator_, L"raw").empty());
}

TEST_F(ServerQueryTest, ErrorStatusHandsOnTheBodyWithSeven) {
    ASSERT_TRUE(emulator_.Script(R"({"times": 1, "status": 503, "body": "busy"})"));
    EXPECT_EQ(Query(url_.c_str(), L"abc"), S_OK);
    EXPECT_EQ(result_, 7);
    EXPECT_EQ(Text(response_), L"busy");
    EXPECT_EQ(length_, 4);

    ASSERT_TRUE(emulator_.Script(R"({"times": 1, "drop": "before_response"})"));
    EXPECT_EQ(Query(url_.c_str(), L"abc"), S_OK);
    EXPECT_EQ(result_, 7);
    EXPECT_EQ(Text(response_), L"");
    EXPECT_EQ(length_, 0);
}

TEST_F(ServerQueryTest, NullOutputsAreRefused) {
    USHORT* response = kSentinelText;
    LONG length = kSentinel;
    LONG result = kSentinel;
    EXPECT_EQ(TessaryQuery(url_.c_str(), L"a", nullptr, &length, &result), E_POINTER);
    EXPECT_EQ(TessaryQuery(url_.c_str(), L"a", &response, nullptr, &result), E_POINTER);
    EXPECT_EQ(TessaryQuery(url_.c_str(), L"a", &response, &length, nullptr), E_POINTER);
    EXPECT_EQ(response, kSentinelText);
    EXPECT_EQ(length, kSentinel);
    EXPECT_EQ(result, kSentinel);
    EXPECT_TRUE(RecordedRequests(emulator_, L"raw").empty());
}

// The component server's object runs the same operation.
TEST_F(ServerQueryTest, ServerObjectPostsThroughTheComponent) {
    testing::ServerModule server(testing::ServerPath());
    ASSERT_TRUE(server.loaded());
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(
        server.GetClassObject(CLSID_QnTessary, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())),
        S_OK);
    {
        ComPtr<IQnTessary> root;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IQnTessary, reinterpret_cast<void**>(root.GetAddressOf())),
                  S_OK);
        ComPtr<IQnTessaryServerQuery> query;
        LONG result = kSentinel;
        ASSERT_EQ(root->GetServerInterface(&query, &result), S_OK);
        std::wstring data = L"xyz";
        USHORT* response = kSentinelText;
        LONG length = kSentinel;
        EXPECT_EQ(query->TessaryQuery(url_.data(), data.data(), &response, &length, &result), S_OK);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(Text(response), L"OK");
        EXPECT_EQ(length, 2);
        ::CoTaskMemFree(response);
        EXPECT_EQ(query->TessaryQuery(url_.data(), data.data(), nullptr, &length, &result), E_POINTER);
    }
    factory.Reset();
    auto requests = RecordedRequests(emulator_, L"raw");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].body, "<TSReq>xyz</TSReq>");
}

}  // namespace
}  // namespace tessary
