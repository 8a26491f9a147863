#include "transport/service_urls.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "platform/product_registry.h"

namespace tessary {
namespace {

class ServiceUrlsTest : public ::testing::Test {
protected:
    void SetUp() override { registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, kServiceOriginValue); }
    void TearDown() override { SetUp(); }

    static void SetOverride(const std::wstring& text, DWORD type = REG_SZ) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keys::kTessary, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY,
                                    nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        LONG rc = ::RegSetValueExW(key, kServiceOriginValue, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
        ASSERT_EQ(rc, ERROR_SUCCESS);
    }
};

TEST_F(ServiceUrlsTest, BuiltInUrlsArePlainHttpWithTheFixedPaths) {
    const std::wstring query = BuiltInUrl(ServiceEndpoint::kQuery, L"0A1B");
    EXPECT_EQ(query.rfind(L"http://", 0), 0u) << query;
    EXPECT_EQ(query.substr(query.size() - 33), L"/data/app/check/default2.asp?0A1B") << query;
    const std::wstring events = BuiltInUrl(ServiceEndpoint::kEvents);
    EXPECT_EQ(events, ServiceOrigin(ServiceEndpoint::kEvents) + L"/data/services/LodanP/events/LodanPevents.tsservice");
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kManifest), ServiceOrigin(ServiceEndpoint::kManifest) + L"/data/manifest/?");
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kFeedback, L"Md5=1"),
              ServiceOrigin(ServiceEndpoint::kFeedback) + L"/library/app/feedback/?Md5=1");
}

TEST_F(ServiceUrlsTest, OverrideReplacesTheOriginOfEveryEndpointAndKeepsThePaths) {
    SetOverride(L"http://127.0.0.1:18080");
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kQuery, L"AB"), L"http://127.0.0.1:18080/data/app/check/default2.asp?AB");
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kFeedback), L"http://127.0.0.1:18080/library/app/feedback/?");
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kManifest), L"http://127.0.0.1:18080/data/manifest/?");
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kEvents),
              L"http://127.0.0.1:18080/data/services/LodanP/events/LodanPevents.tsservice");

    // Anything after the host and port is not part of the origin.
    SetOverride(L"HTTPS://service.example:8443/ignored/path?q");
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kManifest), L"HTTPS://service.example:8443/data/manifest/?");
}

TEST_F(ServiceUrlsTest, UnusableOverridesLeaveTheBuiltInOrigins) {
    const std::wstring builtIn = BuiltInUrl(ServiceEndpoint::kQuery);
    for (const wchar_t* bad : {L"", L"127.0.0.1:18080", L"ftp://127.0.0.1", L"http://", L"http:///path", L"http://:80/",
                               L"http://host name/"}) {
        SetOverride(bad);
        EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kQuery), builtIn) << "override \"" << bad << "\"";
    }
    SetOverride(L"http://127.0.0.1:18080", REG_EXPAND_SZ);
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kQuery), builtIn) << "a value of the wrong type";
}

TEST_F(ServiceUrlsTest, OverrideIsReadAnewAfterTheKeyIsDeletedAndMadeAgain) {
    const std::wstring builtIn = BuiltInUrl(ServiceEndpoint::kQuery);
    SetOverride(L"http://127.0.0.1:18080");
    EXPECT_EQ(ServiceOrigin(ServiceEndpoint::kQuery), L"http://127.0.0.1:18080");
    registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, keys::kTessary);
    EXPECT_EQ(BuiltInUrl(ServiceEndpoint::kQuery), builtIn) << "the deleted key's value must not stay";
    SetOverride(L"http://127.0.0.1:18081");
    EXPECT_EQ(ServiceOrigin(ServiceEndpoint::kQuery), L"http://127.0.0.1:18081");
    // A value far longer than most is read whole.
    SetOverride(L"http://127.0.0.1:18082/" + std::wstring(3000, L'x'));
    EXPECT_EQ(ServiceOrigin(ServiceEndpoint::kQuery), L"http://127.0.0.1:18082");
}

}  // namespace
}  // namespace tessary
