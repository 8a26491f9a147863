// tsapi.dll through real COM activation: the server is registered in the test
// prefix and its objects are created with CoCreateInstance. Every test ends with
// DllCanUnloadNow answering S_OK, so a leaked object or lock fails the test that
// leaked it.

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "component/com_ids.h"
#include "platform/registry.h"
#include "tests/support/com_server_suite.h"
#include "tests/support/tsapi_server.h"
#include "tests/support/local_store.h"
#include "tests/support/silent_listener.h"
#include "tests/support/temp_dir.h"

using Microsoft::WRL::ComPtr;

namespace tessary::testing {
namespace {

constexpr LONG kSentinel = 0x5A5A5A5A;
constexpr CLSID kClsidTessarySend = {0x5F936876, 0xEB3C, 0x4C5B, {0x81, 0x0D, 0x05, 0xE1, 0xF3, 0x6C, 0xB1, 0x30}};
constexpr wchar_t kHash[] = L"00112233445566778899AABBCCDDEEFF";

std::wstring TakeTaskText(LPWSTR text) {
    std::wstring copy = text != nullptr ? text : L"";
    ::CoTaskMemFree(text);
    return copy;
}

class ComServerTest : public ComServerSuiteTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(ComServerSuiteTest::SetUp());
        ASSERT_EQ(CreateRoot(&root_), S_OK);
    }

    void TearDown() override {
        root_.Reset();
        EXPECT_EQ(server_->CanUnloadNow(), S_OK) << "an object or a lock of the server is still outstanding";
        ComServerSuiteTest::TearDown();
    }

    ComPtr<IQnTessaryAppDetails> Lookup(const wchar_t* file, const wchar_t* hash, LONG localOnly, LONG* result) {
        ComPtr<IQnTessaryAppEntry> entry;
        LONG ignored = kSentinel;
        EXPECT_EQ(root_->GetApplicationInterface(&entry, &ignored), S_OK);
        ComPtr<IQnTessaryAppDetails> details;
        EXPECT_EQ(entry->GetApplicationDetails(file, hash, localOnly, &details, result), S_OK);
        return details;
    }

    ComPtr<IQnTessary> root_;
};

// Class objects and the export table.

TEST_F(ComServerTest, NonCreatableClassesAndTessarySendAreRefused) {
    const CLSID* refused[] = {&CLSID_QnTessaryAppEntry, &CLSID_QnTessaryAppDetails,       &CLSID_QnTessaryServerQuery,
                              &CLSID_QnTessarySettings, &CLSID_QnTessaryFirewallSettings, &CLSID_QnTessarySharedPerms,
                              &kClsidTessarySend};
    for (const CLSID* clsid : refused) {
        void* object = reinterpret_cast<void*>(1);
        EXPECT_EQ(server_->GetClassObject(*clsid, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
        EXPECT_EQ(object, nullptr);
        ComPtr<IUnknown> unknown;
        EXPECT_EQ(::CoCreateInstance(*clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                     reinterpret_cast<void**>(unknown.GetAddressOf())),
                  CLASS_E_CLASSNOTAVAILABLE);
    }
    EXPECT_EQ(server_->GetClassObject(CLSID_QnTessary, IID_IClassFactory, nullptr), E_POINTER);
}

TEST_F(ComServerTest, TwoThreadsGetTheSameRootClassObject) {
    std::atomic<int> ready{0};
    IUnknown* seen[2] = {};
    HRESULT results[2] = {E_FAIL, E_FAIL};
    auto ask = [&](int i) {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        results[i] = server_->GetClassObject(CLSID_QnTessary, IID_IUnknown, reinterpret_cast<void**>(&seen[i]));
    };
    std::thread first(ask, 0), second(ask, 1);
    first.join();
    second.join();
    ASSERT_EQ(results[0], S_OK);
    ASSERT_EQ(results[1], S_OK);
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(server_->CanUnloadNow(), S_FALSE) << "a held class object keeps the server loaded";
    seen[0]->Release();
    seen[1]->Release();
}

TEST_F(ComServerTest, UnloadIsRefusedWhileAnObjectOrLockLives) {
    ComPtr<IQnVersion> version;
    ASSERT_EQ(::CoCreateInstance(kClsidQnTessaryVersion, nullptr, CLSCTX_INPROC_SERVER, IID_IQnVersion,
                                 reinterpret_cast<void**>(version.GetAddressOf())),
              S_OK);
    root_.Reset();
    EXPECT_EQ(server_->CanUnloadNow(), S_FALSE);
    version.Reset();
    EXPECT_EQ(server_->CanUnloadNow(), S_OK);

    ComPtr<IClassFactory> factory;
    ASSERT_EQ(
        server_->GetClassObject(CLSID_QnTessary, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())),
        S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(server_->CanUnloadNow(), S_FALSE) << "LockServer holds the server";
    ASSERT_EQ(
        server_->GetClassObject(CLSID_QnTessary, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf())),
        S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
}

// A controlling unknown that counts its references and answers IUnknown only.
class Outer final : public IUnknown {
public:
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        if (inner != nullptr) return inner->QueryInterface(riid, ppv);
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return ++references; }
    IFACEMETHODIMP_(ULONG) Release() override { return --references; }

    ULONG references = 1;
    IUnknown* inner = nullptr;
};

TEST_F(ComServerTest, CreatableClassesAggregate) {
    for (const CLSID* clsid : {&CLSID_QnTessary, &kClsidQnTessaryVersion}) {
        Outer outer;
        ComPtr<IUnknown> refused;
        EXPECT_EQ(::CoCreateInstance(*clsid, &outer, CLSCTX_INPROC_SERVER, IID_IQnTessary,
                                     reinterpret_cast<void**>(refused.GetAddressOf())),
                  CLASS_E_NOAGGREGATION);

        IUnknown* inner = nullptr;
        ASSERT_EQ(
            ::CoCreateInstance(*clsid, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&inner)),
            S_OK);
        outer.inner = inner;
        const IID& own = *clsid == CLSID_QnTessary ? IID_IQnTessary : IID_IQnVersion;
        IUnknown* face = nullptr;
        ASSERT_EQ(inner->QueryInterface(own, reinterpret_cast<void**>(&face)), S_OK);
        // The interface's IUnknown belongs to the outer object.
        EXPECT_EQ(outer.references, 2u);
        IUnknown* identity = nullptr;
        ASSERT_EQ(face->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)), S_OK);
        EXPECT_EQ(identity, &outer);
        identity->Release();
        face->Release();
        EXPECT_EQ(outer.references, 1u);
        EXPECT_EQ(inner->Release(), 0u);
    }
}

// The root object's getters.

TEST_F(ComServerTest, EveryGetterHandsOutANewObject) {
    ComPtr<IQnTessaryAppEntry> first, second;
    LONG result = kSentinel;
    ASSERT_EQ(root_->GetApplicationInterface(&first, &result), S_OK);
    EXPECT_EQ(result, 0);
    ASSERT_EQ(root_->GetApplicationInterface(&second, &result), S_OK);
    EXPECT_NE(first.Get(), second.Get());
    ComPtr<IQnTessaryAppEntryUtil> util;
    EXPECT_EQ(first.As(&util), S_OK);

    ComPtr<IQnTessarySettings> settings;
    ComPtr<IQnTessaryServerQuery> query;
    ComPtr<IQnTessaryFirewallSettings> firewall;
    ComPtr<IQnTessarySharedPerms> perms;
    result = kSentinel;
    EXPECT_EQ(root_->GetSettingsInterface(&settings, &result), S_OK);
    EXPECT_EQ(root_->GetServerInterface(&query, &result), S_OK);
    EXPECT_EQ(root_->GetFirewallSettingsInterface(&firewall, &result), S_OK);
    EXPECT_EQ(root_->GetSharedPermsInterface(&perms, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(settings && query && firewall && perms);
}

TEST_F(ComServerTest, GettersRefuseNullOutputs) {
    ComPtr<IQnTessaryAppEntry> entry;
    LONG result = kSentinel;
    EXPECT_EQ(root_->GetApplicationInterface(&entry, nullptr), E_POINTER);
    EXPECT_EQ(root_->GetApplicationInterface(nullptr, &result), E_POINTER);
    EXPECT_EQ(root_->GetSettingsInterface(nullptr, &result), E_POINTER);
    EXPECT_EQ(root_->GetServerInterface(nullptr, &result), E_POINTER);
    EXPECT_EQ(root_->GetFirewallSettingsInterface(nullptr, &result), E_POINTER);
    EXPECT_EQ(root_->GetSharedPermsInterface(nullptr, &result), E_POINTER);
}

TEST_F(ComServerTest, ReservedSlotFollowsTheGetters) {
    auto* reserved = static_cast<IQnTessaryReserved*>(root_.Get());
    LONG result = kSentinel;
    EXPECT_EQ(reserved->GetReservedInterface(reinterpret_cast<void*>(0x1234), &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(reserved->GetReservedInterface(nullptr, nullptr), E_POINTER);
}

// Settings object.

TEST_F(ComServerTest, EnableUpdatesStoresTheValueUnchanged) {
    ProductValuesGuard guard({L"SettingOne"});
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kTessary, L"SettingOne", 1));
    ComPtr<IQnTessarySettings> settings;
    LONG result = kSentinel;
    ASSERT_EQ(root_->GetSettingsInterface(&settings, &result), S_OK);
    for (LONG value : {0L, 7L, -1L, 1L}) {
        result = kSentinel;
        EXPECT_EQ(settings->EnableUpdates(value, &result), S_OK);
        EXPECT_EQ(result, 0);
        DWORD stored = 0xDEADBEEF;
        ASSERT_TRUE(registry::ReadDword(HKEY_LOCAL_MACHINE, keys::kTessary, L"SettingOne", &stored));
        EXPECT_EQ(stored, static_cast<DWORD>(value));
    }
    EXPECT_EQ(settings->EnableUpdates(1, nullptr), E_POINTER);
}

// Moves a key of HKEY_LOCAL_MACHINE aside (copy, then delete) and brings it back.
class KeyAside {
public:
    explicit KeyAside(const wchar_t* key) : key_(key), aside_(std::wstring(key) + L".aside") {
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, aside_.c_str());
        existed_ = registry::KeyExists(HKEY_LOCAL_MACHINE, key_);
        if (existed_ && Copy(key_, aside_.c_str())) registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, key_);
    }
    ~KeyAside() {
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, key_);
        if (existed_) Copy(aside_.c_str(), key_);
        registry::DeleteKeyTree(HKEY_LOCAL_MACHINE, aside_.c_str());
    }
    bool moved() const { return !registry::KeyExists(HKEY_LOCAL_MACHINE, key_); }

private:
    static bool Copy(const wchar_t* from, const wchar_t* to) {
        HKEY source = nullptr, target = nullptr;
        bool ok = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, from, 0, KEY_READ | KEY_WOW64_64KEY, &source) == ERROR_SUCCESS &&
                  ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, to, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr,
                                    &target, nullptr) == ERROR_SUCCESS &&
                  ::RegCopyTreeW(source, nullptr, target) == ERROR_SUCCESS;
        if (source != nullptr) ::RegCloseKey(source);
        if (target != nullptr) ::RegCloseKey(target);
        return ok;
    }

    const wchar_t* key_;
    std::wstring aside_;
    bool existed_ = false;
};

TEST_F(ComServerTest, EnableUpdatesNeverCreatesTheProductKey) {
    KeyAside aside(keys::kTessary);
    ASSERT_TRUE(aside.moved());
    ComPtr<IQnTessarySettings> settings;
    LONG result = kSentinel;
    ASSERT_EQ(root_->GetSettingsInterface(&settings, &result), S_OK);
    result = kSentinel;
    EXPECT_EQ(settings->EnableUpdates(1, &result), S_OK);
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(registry::KeyExists(HKEY_LOCAL_MACHINE, keys::kTessary));
}

// Version object.

class VersionTest : public ComServerTest {
protected:
    void SetUp() override {
        ComServerTest::SetUp();
        ASSERT_EQ(::CoCreateInstance(kClsidQnTessaryVersion, nullptr, CLSCTX_INPROC_SERVER, IID_IQnVersion,
                                     reinterpret_cast<void**>(version_.GetAddressOf())),
                  S_OK);
    }
    void TearDown() override {
        version_.Reset();
        ComServerTest::TearDown();
    }

    void InstallServerAs(const wchar_t* name) {
        ASSERT_TRUE(::CopyFileW(ServerPath().c_str(), dir_.File(name).c_str(), FALSE));
    }

    std::wstring Versions(LONG* result) {
        LPWSTR text = reinterpret_cast<LPWSTR>(1);
        EXPECT_EQ(version_->GetModuleVersions(&text, result), S_OK);
        return TakeTaskText(text);
    }
    std::wstring Missing(LONG* result) {
        LPWSTR text = reinterpret_cast<LPWSTR>(1);
        EXPECT_EQ(version_->GetMissingModules(&text, result), S_OK);
        return TakeTaskText(text);
    }

    ProductValuesGuard guard_{{L"Install Dir"}};
    ScopedTempDir dir_;
    ComPtr<IQnVersion> version_;
};

TEST_F(VersionTest, LinesNameEachDeliverableWithItsVersion) {
    InstallServerAs(L"TSAPI.dll");
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"Install Dir", dir_.path()));
    LONG result = kSentinel;
    EXPECT_EQ(Versions(&result), L"TSAPI.dll=18.9.142.0\nTSUpdChk.exe=\n\n");
    EXPECT_EQ(result, 0);
    result = kSentinel;
    EXPECT_EQ(Missing(&result), L"TSUpdChk.exe\n\n");
    EXPECT_EQ(result, 0);

    // A trailing backslash reads the same files.
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"Install Dir", dir_.path() + L"\\"));
    EXPECT_EQ(Versions(&result), L"TSAPI.dll=18.9.142.0\nTSUpdChk.exe=\n\n");
}

TEST_F(VersionTest, NothingMissingGivesTheEmptyText) {
    InstallServerAs(L"TSAPI.dll");
    // The update checker as built: its own version block.
    ASSERT_TRUE(::CopyFileW((ExecutableDir() + L"\\TSUpdChk.exe").c_str(), dir_.File(L"TSUpdChk.exe").c_str(), FALSE));
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"Install Dir", dir_.path()));
    LONG result = kSentinel;
    EXPECT_EQ(Missing(&result), L"");
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Versions(&result), L"TSAPI.dll=18.9.142.0\nTSUpdChk.exe=18.9.142.0\n\n");
}

TEST_F(VersionTest, MissingInstallDirGivesEmptyTextAndTheErrorCode) {
    ASSERT_TRUE(registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kTessary, L"Install Dir"));
    LONG result = kSentinel;
    EXPECT_EQ(Versions(&result), L"");
    EXPECT_EQ(result, 0x06000002);
    result = kSentinel;
    EXPECT_EQ(Missing(&result), L"");
    EXPECT_EQ(result, 0x06000002);
}

TEST_F(VersionTest, OverlongInstallDirIsAReadFailure) {
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"Install Dir", std::wstring(300, L'x')));
    LONG result = kSentinel;
    EXPECT_EQ(Versions(&result), L"");
    EXPECT_EQ(result, 0x06000000 | ERROR_MORE_DATA);
}

TEST_F(VersionTest, NullOutputsAreRefused) {
    LPWSTR text = nullptr;
    LONG result = kSentinel;
    EXPECT_EQ(version_->GetModuleVersions(nullptr, &result), E_POINTER);
    EXPECT_EQ(version_->GetModuleVersions(&text, nullptr), E_POINTER);
    EXPECT_EQ(version_->GetMissingModules(nullptr, &result), E_POINTER);
    EXPECT_EQ(version_->GetMissingModules(&text, nullptr), E_POINTER);
}

// Application entry and details.

class AppObjectsTest : public ComServerTest {
protected:
    ProductValuesGuard guard_{{L"ServiceOrigin"}};
};

// The record of a hash-only lookup of kHash, read through `details`.
void ExpectHashOnlyProperties(IQnTessaryAppDetails* details) {
    QNTS_APP_DETAILS properties;
    std::memset(&properties, 0xCC, sizeof properties);
    LONG result = kSentinel;
    ASSERT_EQ(details->GetFileProperties(&properties, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(properties.pwszMD5, kHash);
    EXPECT_STREQ(properties.pwszPath, L"");
    EXPECT_STREQ(properties.pwszExeName, L"");
    EXPECT_EQ(properties.sizeOnDisk, 0u);
}

TEST_F(AppObjectsTest, HashOnlyRecordCarriesTheHashAndALink) {
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", L"http://127.0.0.1:9"));
    LONG result = kSentinel;
    ComPtr<IQnTessaryAppDetails> details = Lookup(nullptr, kHash, 1, &result);
    ASSERT_TRUE(details);
    EXPECT_EQ(result, 6);
    ExpectHashOnlyProperties(details.Get());

    LONG known = kSentinel;
    EXPECT_EQ(details->IsKnown(&known, &result), S_OK);
    EXPECT_EQ(known, 0);

    LPWSTR url = reinterpret_cast<LPWSTR>(1);
    result = kSentinel;
    ASSERT_EQ(details->SubmitApplicationToTessary(&url, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(TakeTaskText(url), std::wstring(L"http://127.0.0.1:9/library/app/feedback/?Md5=") + kHash);
}

TEST_F(AppObjectsTest, EmptyPathAndHashGiveAnEmptyRecord) {
    LONG result = kSentinel;
    ComPtr<IQnTessaryAppDetails> details = Lookup(L"", L"", 0, &result);
    ASSERT_TRUE(details);
    EXPECT_EQ(result, 6);
    QNTS_APP_DETAILS properties;
    std::memset(&properties, 0xCC, sizeof properties);
    ASSERT_EQ(details->GetFileProperties(&properties, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(properties.pwszMD5, L"");
    EXPECT_STREQ(properties.pwszPath, L"");
}

TEST_F(AppObjectsTest, OverlongInputsAreCutToTheRecordFields) {
    const std::wstring longHash(1000, L'A');
    const std::wstring longPath = L"C:\\" + std::wstring(4000, L'p') + L".exe";
    LONG result = kSentinel;
    ComPtr<IQnTessaryAppDetails> details = Lookup(longPath.c_str(), longHash.c_str(), 1, &result);
    ASSERT_TRUE(details);
    EXPECT_EQ(result, 6);
    QNTS_APP_DETAILS properties;
    std::memset(&properties, 0xCC, sizeof properties);
    ASSERT_EQ(details->GetFileProperties(&properties, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::wstring(properties.pwszMD5), longHash.substr(0, 32));
    EXPECT_EQ(std::wstring(properties.pwszPath), longPath.substr(0, 260));
}

TEST_F(AppObjectsTest, NullArgumentsAreRefusedEverywhere) {
    ComPtr<IQnTessaryAppEntry> entry;
    LONG result = kSentinel;
    ASSERT_EQ(root_->GetApplicationInterface(&entry, &result), S_OK);
    ComPtr<IQnTessaryAppDetails> details;
    EXPECT_EQ(entry->GetApplicationDetails(nullptr, nullptr, 1, &details, &result), E_POINTER);
    EXPECT_EQ(entry->GetApplicationDetails(nullptr, kHash, 1, nullptr, &result), E_POINTER);
    EXPECT_EQ(entry->GetApplicationDetails(nullptr, kHash, 1, &details, nullptr), E_POINTER);
    EXPECT_FALSE(details);

    details = Lookup(nullptr, kHash, 1, &result);
    ASSERT_TRUE(details);
    QNTS_APP_DETAILS properties;
    QNTS_APP_PERMISSION permission;
    LONG value = kSentinel;
    LPWSTR url = nullptr;
    EXPECT_EQ(details->GetFileProperties(nullptr, &result), E_POINTER);
    EXPECT_EQ(details->GetFileProperties(&properties, nullptr), E_POINTER);
    EXPECT_EQ(details->IsKnown(&value, nullptr), E_POINTER);
    EXPECT_EQ(details->GetServerPermission(&permission, nullptr), E_POINTER);
    EXPECT_EQ(details->GetServerPermission(nullptr, &result), E_POINTER);
    EXPECT_EQ(details->SubmitApplicationToTessary(nullptr, &result), E_POINTER);
    EXPECT_EQ(details->SubmitApplicationToTessary(&url, nullptr), E_POINTER);

    ComPtr<IQnTessaryAppEntryUtil> util;
    ASSERT_EQ(entry.As(&util), S_OK);
    EXPECT_EQ(util->EmptyMemoryCache(), S_OK);
}

TEST_F(AppObjectsTest, UnknownHashHasNoServerPermission) {
    LONG result = kSentinel;
    ComPtr<IQnTessaryAppDetails> details = Lookup(nullptr, kHash, 1, &result);
    ASSERT_TRUE(details);
    QNTS_APP_PERMISSION permission = {1, 2, 3};
    result = kSentinel;
    EXPECT_EQ(details->GetServerPermission(&permission, &result), S_OK);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(permission.dwProduct, 1u);
    EXPECT_EQ(permission.dwPermission, 3u);
}

// Firewall settings object: intrusion-detection settings are never handed out.

TEST_F(ComServerTest, IdsSettingsAreNeverHandedOut) {
    ComPtr<IQnTessaryFirewallSettings> firewall;
    LONG result = kSentinel;
    ASSERT_EQ(root_->GetFirewallSettingsInterface(&firewall, &result), S_OK);
    QNTS_FIREWALL_IDS* ids = reinterpret_cast<QNTS_FIREWALL_IDS*>(1);
    ULONG count = 99;
    EXPECT_EQ(firewall->GetIDSSettings(&ids, &count, &result), S_OK);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(firewall->GetIDSSettings(nullptr, &count, &result), E_POINTER);
}

// Objects handed to other apartments.

// Runs `body` on a thread of its own in a single-threaded apartment.
template <typename Body>
void OnStaThread(Body body) {
    std::thread thread([&] {
        ASSERT_EQ(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        body();
        ::CoUninitialize();
    });
    thread.join();
}

// Marshals `object` as for another process (standard marshalling, which the
// free-threaded marshaller leaves to the registered proxies) into a new stream.
ComPtr<IStream> MarshalForAnotherProcess(REFIID iid, IUnknown* object) {
    ComPtr<IStream> stream;
    EXPECT_EQ(::CreateStreamOnHGlobal(nullptr, TRUE, &stream), S_OK);
    EXPECT_EQ(::CoMarshalInterface(stream.Get(), iid, object, MSHCTX_LOCAL, nullptr, MSHLFLAGS_NORMAL), S_OK);
    const LARGE_INTEGER start{};
    stream->Seek(start, STREAM_SEEK_SET, nullptr);
    return stream;
}

TEST_F(AppObjectsTest, ObjectsOfTheMultithreadedApartmentAreUsedDirectlyFromAnSta) {
    LONG result = kSentinel;
    ComPtr<IQnTessaryAppDetails> details = Lookup(nullptr, kHash, 1, &result);
    ASSERT_TRUE(details);
    IStream* stream = nullptr;
    ASSERT_EQ(::CoMarshalInterThreadInterfaceInStream(IID_IQnTessaryAppDetails, details.Get(), &stream), S_OK);
    OnStaThread([&] {
        ComPtr<IQnTessaryAppDetails> there;
        ASSERT_EQ(::CoGetInterfaceAndReleaseStream(stream, IID_IQnTessaryAppDetails,
                                                   reinterpret_cast<void**>(there.GetAddressOf())),
                  S_OK);
        EXPECT_EQ(there.Get(), details.Get()) << "the free-threaded marshaller hands over the object itself";
        ExpectHashOnlyProperties(there.Get());
    });

    // An aggregated object leaves marshalling to its outer object.
    ComPtr<IUnknown> plain;
    ASSERT_EQ(root_.As(&plain), S_OK);
    ComPtr<IMarshal> marshal;
    EXPECT_EQ(plain.As(&marshal), S_OK);
    Outer outer;
    IUnknown* inner = nullptr;
    ASSERT_EQ(::CoCreateInstance(CLSID_QnTessary, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                 reinterpret_cast<void**>(&inner)),
              S_OK);
    outer.inner = inner;
    IUnknown* refused = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(inner->QueryInterface(IID_IMarshal, reinterpret_cast<void**>(&refused)), E_NOINTERFACE);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(inner->Release(), 0u);
}

// The proxies of tsapips.dll carry records, arrays sized by a count and
// task-allocated texts to another apartment (as they would to another process),
// and the answers arrive as the object gave them.
TEST_F(AppObjectsTest, ProxyDllCarriesRecordsArraysAndTextsAcrossApartments) {
    ServerModule proxies(ExecutableDir() + L"\\tsapips.dll");
    ASSERT_TRUE(proxies.loaded());
    ASSERT_EQ(proxies.Register(), S_OK);
    struct Unregister {
        ServerModule& proxies;
        ~Unregister() {
            EXPECT_EQ(proxies.Unregister(), S_OK);
            // The proxies' removal takes every interface key with it; the type
            // library's own entries come back with the server's registration.
            EXPECT_EQ(server_->Register(), S_OK);
        }
    } unregister{proxies};

    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin", L"http://127.0.0.1:9"));
    LONG result = kSentinel;
    ComPtr<IQnTessaryAppDetails> details = Lookup(nullptr, kHash, 1, &result);
    ASSERT_TRUE(details);
    ComPtr<IQnTessarySharedPerms> perms;
    ASSERT_EQ(root_->GetSharedPermsInterface(&perms, &result), S_OK);
    // The settings record as the object gives it in its own apartment.
    ComPtr<IQnTessaryFirewallSettings> local;
    ASSERT_EQ(root_->GetFirewallSettingsInterface(&local, &result), S_OK);
    QNTS_FIREWALL_SETTINGS direct;
    std::memset(&direct, 0xCC, sizeof direct);
    LONG directResult = kSentinel;
    ASSERT_EQ(local->GetFirewallSettings(&direct, &directResult), S_OK);
    ComPtr<IStream> detailsStream = MarshalForAnotherProcess(IID_IQnTessaryAppDetails, details.Get());
    ComPtr<IStream> rootStream = MarshalForAnotherProcess(IID_IQnTessary, root_.Get());
    ComPtr<IStream> permsStream = MarshalForAnotherProcess(IID_IQnTessarySharedPerms, perms.Get());

    OnStaThread([&] {
        ComPtr<IQnTessaryAppDetails> remote;
        ASSERT_EQ(::CoUnmarshalInterface(detailsStream.Get(), IID_IQnTessaryAppDetails,
                                         reinterpret_cast<void**>(remote.GetAddressOf())),
                  S_OK);
        EXPECT_NE(remote.Get(), details.Get()) << "a proxy, not the object";
        ExpectHashOnlyProperties(remote.Get());
        LONG read = kSentinel;
        LPWSTR url = nullptr;
        ASSERT_EQ(remote->SubmitApplicationToTessary(&url, &read), S_OK);
        EXPECT_EQ(TakeTaskText(url), std::wstring(L"http://127.0.0.1:9/library/app/feedback/?Md5=") + kHash);
        QNTS_APP_PERMISSION* local = reinterpret_cast<QNTS_APP_PERMISSION*>(1);
        LONG localCount = kSentinel;
        ASSERT_EQ(remote->GetLocalPermission(&local, &localCount, &read), S_OK);
        EXPECT_EQ(localCount, 0);
        EXPECT_EQ(local, nullptr);

        // The root hands out further proxies; the settings record arrives whole.
        ComPtr<IQnTessary> remoteRoot;
        ASSERT_EQ(::CoUnmarshalInterface(rootStream.Get(), IID_IQnTessary,
                                         reinterpret_cast<void**>(remoteRoot.GetAddressOf())),
                  S_OK);
        ComPtr<IQnTessaryFirewallSettings> firewall;
        ASSERT_EQ(remoteRoot->GetFirewallSettingsInterface(&firewall, &read), S_OK);
        ASSERT_TRUE(firewall);
        QNTS_FIREWALL_SETTINGS settings;
        std::memset(&settings, 0xCC, sizeof settings);
        LONG settingsResult = kSentinel;
        ASSERT_EQ(firewall->GetFirewallSettings(&settings, &settingsResult), S_OK);
        EXPECT_EQ(settingsResult, directResult);
        EXPECT_EQ(std::memcmp(&settings, &direct, offsetof(QNTS_FIREWALL_SETTINGS, pwszEventsURL)), 0);
        for (const auto field : {&QNTS_FIREWALL_SETTINGS::pwszEventsURL, &QNTS_FIREWALL_SETTINGS::pwszAppQueryURL,
                                 &QNTS_FIREWALL_SETTINGS::pwszManifestURL, &QNTS_FIREWALL_SETTINGS::pwszSummaryURL}) {
            EXPECT_EQ(std::wcsncmp(settings.*field, direct.*field, std::size(direct.*field)), 0);
        }

        // An array in, an array out, both sized by their counts.
        ComPtr<IQnTessarySharedPerms> remotePerms;
        ASSERT_EQ(::CoUnmarshalInterface(permsStream.Get(), IID_IQnTessarySharedPerms,
                                         reinterpret_cast<void**>(remotePerms.GetAddressOf())),
                  S_OK);
        QNTS_LOCAL_APP_PERMISSION records[2] = {};
        for (ULONG i = 0; i < 2; ++i) {
            records[i].mapPerm = {0x7A5E0000u + i, 3, 1 + i};
            std::swprintf(records[i].pwszPath, std::size(records[i].pwszPath), L"C:\\Proxied\\App%lu.exe", i);
            std::wcscpy(records[i].pwszMD5, kHash);
        }
        ASSERT_EQ(remotePerms->SetPermissions(records, 2, &read), S_OK);
        EXPECT_EQ(read, 0);
        QNTS_LOCAL_APP_PERMISSION* stored = nullptr;
        ULONG count = 0;
        ASSERT_EQ(remotePerms->GetPermissions(L"", kHash, 0, 3, &stored, &count, &read), S_OK);
        ASSERT_EQ(count, 2u);
        ASSERT_NE(stored, nullptr);
        std::vector<std::wstring> paths;
        for (ULONG i = 0; i < count; ++i) paths.push_back(stored[i].pwszPath);
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths, (std::vector<std::wstring>{L"C:\\Proxied\\App0.exe", L"C:\\Proxied\\App1.exe"}));
        ::CoTaskMemFree(stored);
        EXPECT_EQ(remotePerms->DeletePermissions(L"", kHash, 0, 3, &read), S_OK);
    });
}

// A statistics thread in flight when the caller lets go of the module.

TEST(StatisticsThreadTest, ModuleStaysLoadedUntilAnInFlightReportEnds) {
    SilentListener service;
    ASSERT_NE(service.port(), 0);
    ProductValuesGuard guard({L"ServiceOrigin", L"GoNoGo"});
    ScopedFileLogging fileLogging;  // a registered trace provider keeps the module loaded
    ASSERT_TRUE(registry::WriteString(HKEY_LOCAL_MACHINE, keys::kTessary, L"ServiceOrigin",
                                      L"http://127.0.0.1:" + std::to_wstring(service.port())));
    ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kTessary, L"GoNoGo", 1));
    ScopedNoLocalStore store;  // no settings row: the default percentage
    // A copy of its own name: this test decides alone when the module's last
    // outside reference goes.
    ScopedTempDir dir;
    const wchar_t kCopyName[] = L"tsapi_inflight.dll";
    ASSERT_TRUE(::CopyFileW(ServerPath().c_str(), dir.File(kCopyName).c_str(), FALSE));
    auto server = std::make_unique<ServerModule>(dir.File(kCopyName));
    ASSERT_TRUE(server->loaded());
    {
        ComPtr<IClassFactory> factory;
        ASSERT_EQ(server->GetClassObject(CLSID_QnTessary, IID_IClassFactory,
                                         reinterpret_cast<void**>(factory.GetAddressOf())),
                  S_OK);
        ComPtr<IQnTessary> root;
        ASSERT_EQ(factory->CreateInstance(nullptr, IID_IQnTessary, reinterpret_cast<void**>(root.GetAddressOf())),
                  S_OK);
        ComPtr<IQnTessaryAppEntry> entry;
        LONG result = kSentinel;
        ASSERT_EQ(root->GetApplicationInterface(&entry, &result), S_OK);
        wchar_t hash[33] = {};
        std::swprintf(hash, 33, L"%08lX%08lXAAAAAAAABBBBBBBB", ::GetCurrentProcessId(), ::GetTickCount());
        ComPtr<IQnTessaryAppDetails> details;
        ASSERT_EQ(entry->GetApplicationDetails(L"C:\\Stats\\InFlight.exe", hash, 1, &details, &result), S_OK);
        // A first decision about an unknown application starts a statistics thread.
        ASSERT_EQ(details->SetLocalPermission({7, 8, 1}, &result), S_OK);
        ASSERT_EQ(result, 0);
        EXPECT_EQ(details->DeleteLocalPermission(7, 8, &result), S_OK);
    }
    EXPECT_EQ(server->CanUnloadNow(), S_OK);
    ASSERT_TRUE(service.Accept(30000)) << "the statistics thread never asked the service";

    server.reset();
    EXPECT_NE(::GetModuleHandleW(kCopyName), nullptr) << "the thread in flight must keep the module loaded";
    service.Close();
    bool unloaded = false;
    for (int i = 0; i < 3000 && !unloaded; ++i) {
        unloaded = ::GetModuleHandleW(kCopyName) == nullptr;
        if (!unloaded) ::Sleep(10);
    }
    EXPECT_TRUE(unloaded) << "the finished thread must release the module";
}

// The module's lifetime, watched from a process of its own (lifetime_child).

// Runs lifetime_child with `arguments`; its exit code, or -1 when it did not end
// within `timeoutMs` (it is then killed).
DWORD RunLifetimeChild(const std::wstring& arguments, DWORD timeoutMs) {
    std::wstring commandLine = L"\"" + ExecutableDir() + L"\\lifetime_child.exe\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        ADD_FAILURE() << "lifetime_child did not start: " << ::GetLastError();
        return static_cast<DWORD>(-2);
    }
    DWORD code = static_cast<DWORD>(-1);
    if (::WaitForSingleObject(info.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(info.hProcess, &code);
    } else {
        ::TerminateProcess(info.hProcess, 99);
    }
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return code;
}

TEST(ModuleLifetimeTest, LoadDoesNothingUnderTheLoaderLockAndUnloadsAgainAndAgain) {
    // A copy of its own name, so the server registered in the prefix stays apart.
    ScopedNoLocalStore store;
    ScopedFileLogging fileLogging;  // a registered trace provider keeps the module loaded
    ScopedTempDir dir;
    const std::wstring copy = dir.File(L"tsapi_cycle.dll");
    ASSERT_TRUE(::CopyFileW(ServerPath().c_str(), copy.c_str(), FALSE));
    // Each cycle: right after LoadLibrary neither winhttp.dll nor the process's
    // named objects exist; the first DllGetClassObject makes both; FreeLibrary
    // unloads the module and closes the objects.
    const DWORD code = RunLifetimeChild(L"cycle \"" + copy + L"\" 5", 60000);
    if (code == 10) GTEST_SKIP() << "winhttp.dll was already loaded in a fresh process; the load cannot be watched";
    EXPECT_EQ(code, 0u) << "the failed check is numbered in lifetime_child.cpp (-1: it hung)";
}

TEST(ModuleLifetimeTest, ProcessEndsWithLookupThreadsInFlight) {
    // What Wine cannot show: on Windows the hang came from MinGW running the
    // module's static destructors in DLL_PROCESS_DETACH after ExitProcess killed
    // threads inside the module's locks. Wine runs the detach too, so a destructor
    // or detach step that waited on such a lock would hang here as well; the exact
    // Windows order of thread termination and detach is not reproduced.
    ScopedNoLocalStore store;
    ScopedTempDir dir;
    const std::wstring copy = dir.File(L"tsapi_exit.dll");
    ASSERT_TRUE(::CopyFileW(ServerPath().c_str(), copy.c_str(), FALSE));
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(RunLifetimeChild(L"exit \"" + copy + L"\"", 30000), 0u) << "round " << round << " (-1: it hung)";
    }
}

// The type library embedded in the server.

struct RecordSize {
    const wchar_t* name;
    ULONG size;
};

TEST(TypeLibraryTest, DescribesTheRecordsWithTheirSizes) {
    ComPtr<ITypeLib> library;
    ASSERT_EQ(::LoadTypeLib(ServerPath().c_str(), library.GetAddressOf()), S_OK);
    TLIBATTR* attributes = nullptr;
    ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
    EXPECT_EQ(attributes->guid, LIBID_QnTessaryLib);
    EXPECT_EQ(attributes->wMajorVerNum, 1);
    EXPECT_EQ(attributes->wMinorVerNum, 0);
    EXPECT_EQ(attributes->lcid, 0x409u);
    library->ReleaseTLibAttr(attributes);

    const RecordSize records[] = {{L"tagQNTS_APP_DETAILS", 2212},
                                  {L"tagQNTS_APP_PERMISSION", 12},
                                  {L"tagQNTS_FIREWALL_SETTINGS", 3104},
                                  {L"tagQNTS_FIREWALL_IDS", 8},
                                  {L"tagQNTS_LOCAL_APP_PERMISSION", 604}};
    for (const RecordSize& record : records) {
        ComPtr<ITypeInfo> info;
        MEMBERID member = 0;
        USHORT found = 1;
        std::wstring name = record.name;
        ASSERT_EQ(library->FindName(name.data(), 0, info.GetAddressOf(), &member, &found), S_OK) << record.name;
        ASSERT_EQ(found, 1) << record.name;
        TYPEATTR* type = nullptr;
        ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
        EXPECT_EQ(type->typekind, TKIND_RECORD) << record.name;
        EXPECT_EQ(type->cbSizeInstance, record.size) << record.name;
        info->ReleaseTypeAttr(type);
    }

    // Described: the interfaces of the library and TessarySend; not IQnVersion.
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(library->GetTypeInfoOfGuid(IID_IQnTessaryAppDetails, info.ReleaseAndGetAddressOf()), S_OK);
    TYPEATTR* type = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
    EXPECT_EQ(type->cFuncs, 9);
    info->ReleaseTypeAttr(type);
    EXPECT_EQ(library->GetTypeInfoOfGuid(kClsidTessarySend, info.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(library->GetTypeInfoOfGuid(IID_IQnVersion, info.ReleaseAndGetAddressOf()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(library->GetTypeInfoOfGuid(kClsidQnTessaryVersion, info.ReleaseAndGetAddressOf()),
              TYPE_E_ELEMENTNOTFOUND);
}

}  // namespace
}  // namespace tessary::testing
