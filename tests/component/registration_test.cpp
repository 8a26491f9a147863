// Self-registration of tsapi.dll: the registry script's keys, values and flags,
// the module path replacement, the type library, and the thread locale.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "component/com_ids.h"
#include "platform/registry.h"
#include "tests/support/tsapi_server.h"
#include "tests/support/temp_dir.h"

namespace tessary::testing {
namespace {

constexpr wchar_t kAppId[] = L"{02FCCD7B-1F18-458D-B1C3-B6AEB20124FD}";

struct RegisteredClass {
    const wchar_t* clsid;
    const wchar_t* description;
};

const RegisteredClass kClasses[] = {
    {L"{36C29AB6-FF73-4f74-A2D1-C5C09B54E5C9}", L"QnTessary Class"},
    {L"{85DADE1D-E53C-4E3A-8514-19FFB6B00423}", L"QnTessaryAppEntry Class"},
    {L"{231727DB-4A5A-4c85-B844-64E3A30BE7A3}", L"QnTessaryAppDetails Class"},
    {L"{0CE809D3-1D8B-4321-9F89-3F49CEA8B15C}", L"QnTessaryServerQuery Class"},
    {L"{A0EBB878-FDC0-4514-AEE9-F68E4337E7D2}", L"QnTessarySettings Class"},
    {L"{07AA2658-7A1A-47e5-B01A-701DC9EECD6F}", L"QnTessaryFirewallSettings Class"},
    {L"{FB49CFE3-C775-48f1-B0C6-BEBABF84EFF9}", L"QnTessarySharedPerms Class"},
    {L"{6021CE48-B556-4f11-BC68-A647F056F8CC}", L"QnTessaryVersion Class"},
};

std::wstring ClassKey(const wchar_t* clsid) { return std::wstring(L"CLSID\\") + clsid; }

bool TypeLibRegistered() {
    return registry::KeyExists(HKEY_CLASSES_ROOT, L"TypeLib\\{9A05CED2-C82B-4E04-8164-DF7F08E86834}\\1.0");
}

class RegistrationTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.loaded()); }
    // Leave the server registered from its usual place for the other tests.
    void TearDown() override { EXPECT_EQ(server_.Register(), S_OK); }

    // Every key and value of the script for a server at `path`.
    static void ExpectRegisteredAt(const std::wstring& path) {
        for (const RegisteredClass& c : kClasses) {
            const std::wstring key = ClassKey(c.clsid);
            EXPECT_EQ(ClassesString(key, nullptr), c.description) << key;
            EXPECT_EQ(ClassesString(key, L"AppID"), kAppId) << key;
            EXPECT_EQ(ClassesString(key + L"\\InprocServer32", nullptr), path) << key;
            EXPECT_EQ(ClassesString(key + L"\\InprocServer32", L"ThreadingModel"), L"Both") << key;
            EXPECT_EQ(ClassesString(key + L"\\TypeLib", nullptr), L"{9A05CED2-C82B-4e04-8164-DF7F08E86834}") << key;
            EXPECT_TRUE(registry::KeyExists(HKEY_CLASSES_ROOT, (key + L"\\Programmable").c_str())) << key;
        }
        EXPECT_EQ(ClassesString(std::wstring(L"AppID\\") + kAppId, nullptr), L"QnTessaryLib");
        EXPECT_EQ(ClassesString(L"AppID\\tsapi.dll", L"AppID"), kAppId);
        EXPECT_FALSE(registry::KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\{5F936876-EB3C-4C5B-810D-05E1F36CB130}"))
            << "TessarySend is described, never registered";
        EXPECT_TRUE(TypeLibRegistered());
    }

    ServerModule server_{ServerPath()};
};

TEST_F(RegistrationTest, RegistersEveryClassWithThreadingModelAndAppId) {
    ASSERT_EQ(server_.Register(), S_OK);
    ExpectRegisteredAt(ServerPath());
}

TEST_F(RegistrationTest, ClassKeysAreReplacedWhole) {
    const std::wstring stale = ClassKey(kClasses[2].clsid) + L"\\Stale";
    ASSERT_TRUE(registry::WriteString(HKEY_CLASSES_ROOT, stale.c_str(), nullptr, L"left over"));
    ASSERT_TRUE(registry::WriteString(HKEY_CLASSES_ROOT, (ClassKey(kClasses[2].clsid) + L"\\InprocServer32").c_str(),
                                      L"Extra", L"x"));
    ASSERT_EQ(server_.Register(), S_OK);
    EXPECT_FALSE(registry::KeyExists(HKEY_CLASSES_ROOT, stale.c_str()));
    EXPECT_EQ(ClassesString(ClassKey(kClasses[2].clsid) + L"\\InprocServer32", L"Extra"), std::nullopt);
}

TEST_F(RegistrationTest, UnregistrationRemovesItsKeysAndKeepsTheShared) {
    ASSERT_EQ(server_.Register(), S_OK);
    // A key of another component below AppID must survive.
    ASSERT_TRUE(registry::WriteString(HKEY_CLASSES_ROOT, L"AppID\\other.dll", L"AppID", L"{x}"));
    ASSERT_EQ(server_.Unregister(), S_OK);
    for (const RegisteredClass& c : kClasses) {
        EXPECT_FALSE(registry::KeyExists(HKEY_CLASSES_ROOT, ClassKey(c.clsid).c_str())) << c.clsid;
    }
    EXPECT_FALSE(registry::KeyExists(HKEY_CLASSES_ROOT, (std::wstring(L"AppID\\") + kAppId).c_str()));
    EXPECT_FALSE(registry::KeyExists(HKEY_CLASSES_ROOT, L"AppID\\tsapi.dll"));
    EXPECT_TRUE(registry::KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
    EXPECT_TRUE(registry::KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
    EXPECT_TRUE(registry::KeyExists(HKEY_CLASSES_ROOT, L"AppID\\other.dll"));
    EXPECT_FALSE(TypeLibRegistered());
    registry::DeleteKeyTree(HKEY_CLASSES_ROOT, L"AppID\\other.dll");

    // Unregistering what is not registered is not an error.
    EXPECT_EQ(server_.Unregister(), S_OK);
}

TEST_F(RegistrationTest, ModulePathQuotesAreDoubledInTheScript) {
    ScopedTempDir dir;
    const std::wstring quoted = dir.File(L"it's here");
    ASSERT_TRUE(::CreateDirectoryW(quoted.c_str(), nullptr));
    const std::wstring path = quoted + L"\\tsapi.dll";
    ASSERT_TRUE(::CopyFileW(ServerPath().c_str(), path.c_str(), FALSE));
    {
        ServerModule copy(path);
        ASSERT_TRUE(copy.loaded());
        ASSERT_EQ(copy.Register(), S_OK);
        // The loader may report the path in another letter case; compare the file.
        const auto registered = ClassesString(ClassKey(kClasses[0].clsid) + L"\\InprocServer32", nullptr);
        ASSERT_TRUE(registered.has_value());
        EXPECT_EQ(::CompareStringOrdinal(registered->c_str(), -1, path.c_str(), -1, TRUE), CSTR_EQUAL)
            << std::string(registered->begin(), registered->end());
    }
}

TEST_F(RegistrationTest, LocaleIsRestoredAfterSuccessAndFailure) {
    const LCID german = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), SORT_DEFAULT);
    ASSERT_TRUE(::SetThreadLocale(german));
    EXPECT_EQ(server_.Register(), S_OK);
    EXPECT_EQ(::GetThreadLocale(), german);
    EXPECT_EQ(server_.Unregister(), S_OK);
    EXPECT_EQ(::GetThreadLocale(), german);

    // A module path of 260 characters or more cannot be registered.
    ScopedTempDir dir;
    std::wstring deep = dir.path();
    while (deep.size() < 270) {
        deep += L"\\" + std::wstring(40, L'd');
        ::CreateDirectoryW(deep.c_str(), nullptr);
    }
    const std::wstring path = deep + L"\\tsapi.dll";
    if (!::CopyFileW(ServerPath().c_str(), path.c_str(), FALSE)) GTEST_SKIP() << "long paths unavailable here";
    ServerModule copy(path);
    if (!copy.loaded()) GTEST_SKIP() << "the loader cannot load a module from a path this long";
    EXPECT_EQ(copy.Register(), HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(::GetThreadLocale(), german);
    ::SetThreadLocale(LOCALE_USER_DEFAULT);
}

}  // namespace
}  // namespace tessary::testing
