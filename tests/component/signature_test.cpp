// Signature verification on files signed at test time: the test PKI, signed
// executables and a cabinet come from signature_pki.py (a ctest fixture) in the
// "signature_pki" folder beside this executable; its roots are installed in the
// test prefix's machine root store here.

// Before <windows.h>, which the unit's header includes (the silent listener needs it).
#include <winsock2.h>

#include "component/signature.h"

#include <wininet.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "component/signature_list.h"
#include "platform/trust.h"
#include "store/data_paths.h"
#include "store/named_objects.h"
#include "store/sqlite_adapter.h"
#include "store/stores.h"
#include "tests/support/local_store.h"
#include "tests/support/silent_listener.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_roots.h"

namespace tessary {
namespace {

using testing::ReadWholeFile;
using testing::ScopedTempDir;
using testing::SilentListener;
using testing::StoreExec;

constexpr LONG kSentinel = 0x5A5A5A5A;

std::wstring ExecutableDir() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring Fixture(const wchar_t* name) { return ExecutableDir() + L"\\signature_pki\\" + name; }

bool Verify(const std::wstring& path) { return VerifyFileSignature(path.c_str(), path.size()); }

bool WriteWholeFile(const std::wstring& path, const std::vector<BYTE>& data) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = ::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    ::CloseHandle(file);
    return ok && written == data.size();
}

// File offset of the PE security directory entry (offset, size) of `image`.
size_t SecurityDirectoryAt(const std::vector<BYTE>& image) {
    DWORD pe = 0;
    std::memcpy(&pe, &image[0x3C], sizeof pe);
    WORD magic = 0;
    std::memcpy(&magic, &image[pe + 24], sizeof magic);
    return pe + 24 + (magic == 0x20B ? 112 : 96) + 4 * 8;
}

class SignatureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NE(::GetFileAttributesW(Fixture(L"ready").c_str()), INVALID_FILE_ATTRIBUTES)
            << "signature_pki.py has not prepared the signed files";
        for (const wchar_t* root : {L"root_vs.cer", L"root_other.cer", L"root_ut.cer"}) {
            ASSERT_TRUE(testing::InstallMachineRoot(Fixture(root))) << "cannot install the test root";
        }
    }

    void SetUp() override {
        ASSERT_TRUE(CreateNamedObjects(Deliverable::kComponentServer));
        FreeSignatureList();
    }
    void TearDown() override { FreeSignatureList(); }

    // Adds a signature list row; the list is read on its first use in the test.
    static void List(int type, const char* data) {
        ASSERT_TRUE(StoreExec("INSERT INTO DigSigInfo3 VALUES(%d,%Q);", type, data));
    }

    // A copy of fixture `name` in the temporary folder, changed by `change`.
    template <typename Change>
    std::wstring ChangedCopy(const wchar_t* name, Change change) {
        std::vector<BYTE> image = ReadWholeFile(Fixture(name));
        EXPECT_FALSE(image.empty());
        if (image.empty()) return std::wstring();
        change(image);
        const std::wstring copy = temp_.File(std::wstring(L"changed_") + std::to_wstring(++copies_) + L".exe");
        EXPECT_TRUE(WriteWholeFile(copy, image));
        return copy;
    }

    testing::ScopedNoLocalStore store_;
    ScopedTempDir temp_;
    int copies_ = 0;
};

TEST_F(SignatureTest, UnsignedMissingAndEmptyPathsAreNotGood) {
    EXPECT_FALSE(Verify(Fixture(L"unsigned.exe")));
    EXPECT_FALSE(Verify(Fixture(L"no_such_file.exe")));
    EXPECT_FALSE(Verify(L""));
    EXPECT_FALSE(VerifyFileSignature(nullptr, 10));
}

TEST_F(SignatureTest, MakerSignedThroughAcceptedRootIsGoodWithAnEmptyList) {
    EXPECT_TRUE(Verify(Fixture(L"quellon.exe")));
    EXPECT_TRUE(Verify(Fixture(L"quellon.cab")));
    // Each call verifies again: the same answer twice.
    EXPECT_TRUE(Verify(Fixture(L"quellon.exe")));
}

TEST_F(SignatureTest, FileModifiedAfterSigningIsNotGood) {
    const std::wstring changed = ChangedCopy(L"quellon.exe", [](std::vector<BYTE>& image) {
        const char stub[] = "This program";
        auto at = std::search(image.begin(), image.end(), stub, stub + sizeof stub - 1);
        ASSERT_NE(at, image.end());
        *at = 't';
    });
    EXPECT_FALSE(Verify(changed));
    EXPECT_TRUE(Verify(Fixture(L"quellon.exe")));
}

TEST_F(SignatureTest, RejectedSerialFailsTheSignerInEitherCase) {
    List(kSignatureAcceptedSigner, "Quellon, Inc.");
    List(kSignatureRejectedSerial, "0A1B2C3D4E5F");
    EXPECT_FALSE(Verify(Fixture(L"quellon.exe")));
    // Another certificate of the same name is not affected.
    EXPECT_TRUE(Verify(Fixture(L"fragment.exe")));
}

TEST_F(SignatureTest, RejectedSerialInLowerCase) {
    List(kSignatureRejectedSerial, "0a1b2c3d4e5f");
    EXPECT_FALSE(Verify(Fixture(L"quellon.exe")));
}

TEST_F(SignatureTest, AbsurdlyLongSerialIsWrittenAndRejectedWhole) {
    EXPECT_TRUE(Verify(Fixture(L"bigserial.exe")));
    FreeSignatureList();
    ASSERT_TRUE(::SetEvent(ProcessObjects().SignatureList().reloadEvent));
    std::string serial = "7f";
    for (int i = 0; i < 63; ++i) serial += "ab";
    List(kSignatureRejectedSerial, serial.c_str());
    EXPECT_FALSE(Verify(Fixture(L"bigserial.exe")));
}

TEST_F(SignatureTest, UnlistedSignerIsAcceptedOnlyThroughTheList) {
    EXPECT_FALSE(Verify(Fixture(L"unlisted.exe")));
    FreeSignatureList();
    ASSERT_TRUE(::SetEvent(ProcessObjects().SignatureList().reloadEvent));
    List(kSignatureAcceptedSigner, "UNLISTED MAKER LTD");
    EXPECT_TRUE(Verify(Fixture(L"unlisted.exe")));
}

TEST_F(SignatureTest, UnitFragmentIsMatchedCaseSensitively) {
    EXPECT_FALSE(Verify(Fixture(L"unit.exe")));
    FreeSignatureList();
    ASSERT_TRUE(::SetEvent(ProcessObjects().SignatureList().reloadEvent));
    List(kSignatureAcceptedUnit, "core services");
    EXPECT_FALSE(Verify(Fixture(L"unit.exe")));
    FreeSignatureList();
    ASSERT_TRUE(::SetEvent(ProcessObjects().SignatureList().reloadEvent));
    List(kSignatureAcceptedUnit, "Core Services");
    EXPECT_TRUE(Verify(Fixture(L"unit.exe")));
    // Eighty other units before the matching one, thousands of characters of subject.
    EXPECT_TRUE(Verify(Fixture(L"longname.exe")));
}

TEST_F(SignatureTest, BuiltInSubjectFragmentAcceptsAnUnlistedUnit) {
    EXPECT_TRUE(Verify(Fixture(L"fragment.exe")));
    EXPECT_FALSE(Verify(Fixture(L"longname.exe")));
}

TEST_F(SignatureTest, RootIsAcceptedByTheListOrTheBuiltInNames) {
    EXPECT_FALSE(Verify(Fixture(L"other.exe")));
    FreeSignatureList();
    ASSERT_TRUE(::SetEvent(ProcessObjects().SignatureList().reloadEvent));
    List(kSignatureAcceptedRoot, "tessary test root");
    EXPECT_TRUE(Verify(Fixture(L"other.exe")));
}

TEST_F(SignatureTest, TradeMarkRootNameMatchesInCodePage1252) {
    if (::GetACP() != 1252) GTEST_SKIP() << "the prefix's ANSI code page is " << ::GetACP() << ", not 1252";
    EXPECT_TRUE(Verify(Fixture(L"usertrust.exe")));
}

TEST_F(SignatureTest, ChainToAnUntrustedRootIsNotGoodEvenWhenTheRootIsListed) {
    List(kSignatureAcceptedRoot, "Tessary Uninstalled Root");
    EXPECT_FALSE(Verify(Fixture(L"absent.exe")));
}

// The embedded signature of a file: its certificate store and signed message,
// closed when the object goes. `found` is false (with `error`) when the file
// carries none that crypt32 can read.
struct EmbeddedSignature {
    explicit EmbeddedSignature(const std::wstring& file) {
        found = ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, file.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                                   CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, &store, &message,
                                   nullptr) != FALSE;
        error = found ? 0 : ::GetLastError();
    }
    ~EmbeddedSignature() {
        if (message != nullptr) ::CryptMsgClose(message);
        if (store != nullptr) ::CertCloseStore(store, 0);
    }
    EmbeddedSignature(const EmbeddedSignature&) = delete;
    EmbeddedSignature& operator=(const EmbeddedSignature&) = delete;

    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    bool found = false;
    DWORD error = 0;
};

TEST_F(SignatureTest, SecondSignerPassesWhenTheFirstFails) {
    // two_signers.exe: one message whose first signer (not accepted by name) and
    // second signer (the maker) both sign the same content.
    {
        const EmbeddedSignature signature(Fixture(L"two_signers.exe"));
        if (!signature.found) {
            if (signature.error == static_cast<DWORD>(CRYPT_E_NO_MATCH)) {
                GTEST_SKIP() << "crypt32 cannot decode a PKCS #7 signed message with two SignerInfos "
                                "(CryptQueryObject answers CRYPT_E_NO_MATCH; Wine 8 lacks this)";
            }
            FAIL() << "CryptQueryObject failed with " << std::hex << signature.error;
        }
        DWORD signers = 0;
        DWORD size = sizeof signers;
        EXPECT_TRUE(::CryptMsgGetParam(signature.message, CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size));
        EXPECT_EQ(signers, 2u);
    }

    EXPECT_TRUE(Verify(Fixture(L"two_signers.exe")));
    // The second signer is the one that passes: rejecting it leaves none.
    FreeSignatureList();
    ASSERT_TRUE(::SetEvent(ProcessObjects().SignatureList().reloadEvent));
    List(kSignatureRejectedSerial, "0a1b2c3d4e5f");
    EXPECT_FALSE(Verify(Fixture(L"two_signers.exe")));
}

TEST_F(SignatureTest, CounterSignedFileCarriesItsSigningTime) {
    EXPECT_TRUE(Verify(Fixture(L"stamped.exe")));

    const EmbeddedSignature stamped(Fixture(L"stamped.exe"));
    ASSERT_TRUE(stamped.found);
    FILETIME time{0x1234, 0x5678};
    EXPECT_EQ(ReadCounterSigningTime(stamped.message, 0, &time), SigningTimeResult::kFound);
    // Stamped when the fixture was made: after 2024 and not in the future.
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    SYSTEMTIME system{};
    ASSERT_TRUE(::FileTimeToSystemTime(&time, &system));
    EXPECT_GE(system.wYear, 2024);
    EXPECT_LE(::CompareFileTime(&time, &now), 0);
    EXPECT_EQ(ReadCounterSigningTime(stamped.message, 1, &time), SigningTimeResult::kFailed);
    EXPECT_EQ(ReadCounterSigningTime(nullptr, 0, &time), SigningTimeResult::kFailed);

    const EmbeddedSignature plain(Fixture(L"quellon.exe"));
    ASSERT_TRUE(plain.found);
    time = FILETIME{0x1234, 0x5678};
    EXPECT_EQ(ReadCounterSigningTime(plain.message, 0, &time), SigningTimeResult::kNoAttributes);
    EXPECT_EQ(time.dwLowDateTime, 0x1234u);
}

TEST_F(SignatureTest, ChainPolicyAcceptsATrustedChainAndRefusesAnUntrustedOne) {
    EXPECT_FALSE(PassesAuthenticodeTimestampPolicy(nullptr));
    for (const auto& [name, trusted] : {std::pair{L"quellon.exe", true}, std::pair{L"absent.exe", false}}) {
        const EmbeddedSignature signature(Fixture(name));
        ASSERT_TRUE(signature.found);
        PCCERT_CONTEXT leaf = ::CertFindCertificateInStore(signature.store, X509_ASN_ENCODING, 0,
                                                           CERT_FIND_SUBJECT_STR_W, L"Quellon", nullptr);
        ASSERT_NE(leaf, nullptr);
        CERT_CHAIN_PARA para{};
        para.cbSize = sizeof para;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        ASSERT_TRUE(::CertGetCertificateChain(nullptr, leaf, nullptr, signature.store, &para, 0, nullptr, &chain));
        EXPECT_EQ(PassesAuthenticodeTimestampPolicy(chain), trusted) << name;
        ::CertFreeCertificateChain(chain);
        ::CertFreeCertificateContext(leaf);
    }
}

TEST_F(SignatureTest, PathIsVerifiedUnderItsFirst261Characters) {
    // Folders nested until the copy's full path is exactly 261 characters.
    std::wstring dir = temp_.path();
    const std::wstring fileName = L"\\q.exe";
    while (dir.size() + fileName.size() < 261) {
        const size_t room = 261 - dir.size() - fileName.size();
        const size_t part = room > 40 ? 40 : (room > 1 ? room - 1 : 0);
        if (part == 0) break;
        dir += L"\\" + std::wstring(part, L'd');
        ASSERT_TRUE(::CreateDirectoryW(dir.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS);
    }
    std::wstring path = dir + fileName;
    if (path.size() < 261) {
        path = dir + L"\\" + std::wstring(261 - dir.size() - 5, L'q') + L".exe";
    }
    ASSERT_EQ(path.size(), 261u);
    if (!::CopyFileW(Fixture(L"quellon.exe").c_str(), path.c_str(), FALSE)) {
        GTEST_SKIP() << "the file system refuses a path of 261 characters (error " << ::GetLastError() << ")";
    }
    EXPECT_TRUE(Verify(path));
    const std::wstring longer = path + L"\\beyond\\the\\copied\\part";
    EXPECT_TRUE(VerifyFileSignature(longer.c_str(), longer.size()));
    // The length given is honoured too.
    EXPECT_FALSE(VerifyFileSignature(path.c_str(), 200));
    ::DeleteFileW(path.c_str());
}

TEST_F(SignatureTest, MalformedCertificateTablesAreNotGood) {
    std::vector<std::wstring> damaged;
    // Truncated message: the file ends inside the signature.
    damaged.push_back(ChangedCopy(L"quellon.exe", [](std::vector<BYTE>& image) { image.resize(image.size() - 300); }));
    // Table size far beyond the file.
    damaged.push_back(ChangedCopy(L"quellon.exe", [](std::vector<BYTE>& image) {
        const DWORD huge = 0x7FFFFFF8;
        std::memcpy(&image[SecurityDirectoryAt(image) + 4], &huge, sizeof huge);
    }));
    // Table offset beyond the file.
    damaged.push_back(ChangedCopy(L"quellon.exe", [](std::vector<BYTE>& image) {
        const DWORD beyond = 0x40000000;
        std::memcpy(&image[SecurityDirectoryAt(image)], &beyond, sizeof beyond);
    }));
    // Entry length of the certificate record garbled.
    damaged.push_back(ChangedCopy(L"quellon.exe", [](std::vector<BYTE>& image) {
        DWORD offset = 0;
        std::memcpy(&offset, &image[SecurityDirectoryAt(image)], sizeof offset);
        const DWORD garbage = 0xFFFFFFF0;
        std::memcpy(&image[offset], &garbage, sizeof garbage);
    }));
    // Message bytes overwritten in the middle (certificates and signer data).
    damaged.push_back(ChangedCopy(L"quellon.exe", [](std::vector<BYTE>& image) {
        DWORD offset = 0;
        DWORD size = 0;
        std::memcpy(&offset, &image[SecurityDirectoryAt(image)], sizeof offset);
        std::memcpy(&size, &image[SecurityDirectoryAt(image) + 4], sizeof size);
        for (DWORD i = offset + size / 3; i < offset + size / 3 + 64; ++i) image[i] = 0xFF;
    }));
    for (const std::wstring& file : damaged) {
        ASSERT_FALSE(file.empty());
        EXPECT_FALSE(Verify(file));
    }
}

TEST_F(SignatureTest, ListWithNullsAndOverlongRowsLeavesTheAnswerDefined) {
    ASSERT_TRUE(StoreExec("INSERT INTO DigSigInfo3 VALUES(NULL,NULL);"));
    ASSERT_TRUE(StoreExec("INSERT INTO DigSigInfo3 VALUES(2,NULL);"));
    ASSERT_TRUE(StoreExec("INSERT INTO DigSigInfo3 VALUES(NULL,'Unlisted Maker Ltd');"));
    const std::string overlong(100000, 'Z');
    List(kSignatureAcceptedRoot, overlong.c_str());
    List(kSignatureAcceptedUnit, overlong.c_str());
    EXPECT_TRUE(Verify(Fixture(L"quellon.exe")));
    EXPECT_FALSE(Verify(Fixture(L"unlisted.exe")));
    EXPECT_FALSE(Verify(Fixture(L"unit.exe")));
}

// A maker's leaf whose issuing CA is neither in the file nor in any store of the
// prefix (fetch.exe): the leaf names a loopback port as where to fetch that CA
// and as its OCSP responder (and its CRL), and a listener there accepts every
// connection and never answers. A check that went to the network would hang on
// it, about 15 s per URL on Windows; the check must fail at once without
// connecting. fetch_chained.exe carries the issuing CA too.

constexpr DWORD kNoNetworkBoundMs = 5000;

struct EmbeddedCertificates {
    int count = 0;
    std::vector<std::wstring> authorityUrls;  // every URL of the certificates' authority information access
    unsigned short issuerPort = 0;            // port of a loopback caIssuers URL among them
};

EmbeddedCertificates ReadEmbeddedCertificates(const std::wstring& file) {
    EmbeddedCertificates found;
    const EmbeddedSignature signature(file);
    if (!signature.found) return found;
    const wchar_t kLoopback[] = L"http://127.0.0.1:";
    PCCERT_CONTEXT certificate = nullptr;
    while ((certificate = ::CertEnumCertificatesInStore(signature.store, certificate)) != nullptr) {
        ++found.count;
        const CERT_INFO* info = certificate->pCertInfo;
        const CERT_EXTENSION* extension =
            ::CertFindExtension(szOID_AUTHORITY_INFO_ACCESS, info->cExtension, info->rgExtension);
        CERT_AUTHORITY_INFO_ACCESS* access = nullptr;
        DWORD size = 0;
        if (extension == nullptr ||
            !::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_AUTHORITY_INFO_ACCESS, extension->Value.pbData,
                                   extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &access, &size)) {
            continue;
        }
        for (DWORD i = 0; i < access->cAccDescr; ++i) {
            const CERT_ACCESS_DESCRIPTION& entry = access->rgAccDescr[i];
            if (entry.AccessLocation.dwAltNameChoice != CERT_ALT_NAME_URL) continue;
            const wchar_t* url = entry.AccessLocation.pwszURL;
            found.authorityUrls.push_back(url);
            if (std::strcmp(entry.pszAccessMethod, szOID_PKIX_CA_ISSUERS) == 0 &&
                std::wcsncmp(url, kLoopback, std::size(kLoopback) - 1) == 0) {
                found.issuerPort =
                    static_cast<unsigned short>(std::wcstoul(url + std::size(kLoopback) - 1, nullptr, 10));
            }
        }
        ::LocalFree(access);
    }
    return found;
}

// A silent listener on the port fetch.exe's leaf names, with that leaf's URLs
// dropped from the URL cache first: Wine's URL retrieval stores even an empty
// answer there, and a later retrieval would read it instead of connecting. Null
// (with the failure reported) when the fixture or the port is not as expected.
std::unique_ptr<SilentListener> ListenWhereTheLeafPoints() {
    const EmbeddedCertificates lone = ReadEmbeddedCertificates(Fixture(L"fetch.exe"));
    if (lone.count != 1 || lone.issuerPort == 0 || lone.authorityUrls.size() != 2) {
        ADD_FAILURE() << "fetch.exe must carry its leaf alone, naming a loopback caIssuers URL and an OCSP URL";
        return nullptr;
    }
    for (const std::wstring& url : lone.authorityUrls) ::DeleteUrlCacheEntryW(url.c_str());
    auto listener = std::make_unique<SilentListener>(lone.issuerPort);
    if (!listener->listening()) {
        ADD_FAILURE() << "loopback port " << lone.issuerPort
                      << " is taken; delete the signature_pki folder so that another one is chosen";
        return nullptr;
    }
    return listener;
}

TEST_F(SignatureTest, IssuerReachableOnlyThroughItsUrlsFailsAtOnceWithoutConnecting) {
    std::unique_ptr<SilentListener> listener = ListenWhereTheLeafPoints();
    ASSERT_NE(listener, nullptr);

    bool good = true;
    const DWORD took =
        testing::RunAgainstSilentListener(*listener, kNoNetworkBoundMs, [&] { good = Verify(Fixture(L"fetch.exe")); });
    EXPECT_FALSE(good) << "the issuing CA is nowhere to be found";
    EXPECT_LT(took, kNoNetworkBoundMs);
    EXPECT_EQ(listener->accepted(), 0) << "the check connected to a URL of the leaf";

    // The same leaf with its issuing CA embedded chains to the installed root.
    EXPECT_EQ(ReadEmbeddedCertificates(Fixture(L"fetch_chained.exe")).count, 2);
    EXPECT_TRUE(Verify(Fixture(L"fetch_chained.exe")));

    // The chain engine allowed onto the network does connect (Wine 8's does too):
    // the checks above had a retrieval to avoid.
    const EmbeddedSignature signature(Fixture(L"fetch.exe"));
    ASSERT_TRUE(signature.found);
    PCCERT_CONTEXT leaf = ::CertEnumCertificatesInStore(signature.store, nullptr);
    ASSERT_NE(leaf, nullptr);
    DWORD chainErrors = 0;
    testing::RunAgainstSilentListener(*listener, 0, [&] {
        CERT_CHAIN_PARA para{};
        para.cbSize = sizeof para;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (::CertGetCertificateChain(nullptr, leaf, nullptr, signature.store, &para, 0, nullptr, &chain)) {
            chainErrors = chain->TrustStatus.dwErrorStatus;
            ::CertFreeCertificateChain(chain);
        }
    });
    ::CertFreeCertificateContext(leaf);
    EXPECT_NE(chainErrors & CERT_TRUST_IS_PARTIAL_CHAIN, 0u);
    if (listener->accepted() == 0) {
        GTEST_SKIP() << "the system's chain engine did not try the leaf's caIssuers URL even with retrieval allowed "
                        "(no retrieval of issuers named in authority information access, or the URL is held "
                        "offline after an earlier failure): the missing connection above shows nothing";
    }
}

// The platform's WinVerifyTrust check (downloaded cabinets, the maker's files in
// GetServerPermission) of the same file: refused at once, without connecting.
TEST_F(SignatureTest, PlatformTrustCheckOfAnIssuerReachableOnlyThroughItsUrlsFailsWithoutConnecting) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr) {
        GTEST_SKIP() << "Wine 8's WinVerifyTrust ignores WTD_CACHE_ONLY_URL_RETRIEVAL (it builds the signer's "
                        "chain with retrieval allowed and connects to the leaf's caIssuers URL, waiting on it without "
                        "a bound), and then answers 0 for the chain that stops at the leaf's unknown issuer";
    }
    std::unique_ptr<SilentListener> listener = ListenWhereTheLeafPoints();
    ASSERT_NE(listener, nullptr);
    LONG code = 0;
    const DWORD took = testing::RunAgainstSilentListener(*listener, kNoNetworkBoundMs,
                                                         [&] { code = FileTrustCode(Fixture(L"fetch.exe")); });
    EXPECT_NE(code, 0);
    EXPECT_LT(took, kNoNetworkBoundMs);
    EXPECT_EQ(listener->accepted(), 0) << "WinVerifyTrust connected to a URL of the leaf";
}

// HasGoodDigitalSignature of a details object.

std::unique_ptr<AppRecord> RecordFor(const std::wstring& path, uint32_t flag) {
    auto record = std::make_unique<AppRecord>();
    record->path = path;
    record->goodSignature = flag;
    return record;
}

TEST_F(SignatureTest, DetailsAnswerAndRecordFlagFollowTheVerification) {
    ApplicationDetails details;
    details.AttachRecord(RecordFor(Fixture(L"quellon.exe"), 0));
    LONG valid = kSentinel;
    LONG result = kSentinel;
    ASSERT_EQ(HasGoodDigitalSignature(details, &valid, &result), S_OK);
    EXPECT_EQ(valid, 1);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(details.record()->goodSignature, 1u);

    details.AttachRecord(RecordFor(Fixture(L"unsigned.exe"), 1));
    valid = kSentinel;
    result = kSentinel;
    ASSERT_EQ(HasGoodDigitalSignature(details, &valid, &result), S_OK);
    EXPECT_EQ(valid, 0);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(details.record()->goodSignature, 0u);
}

// Trusted-maker files in GetServerPermission: a file whose company names the
// maker and that passes the platform's trust validation.

void BreakSignedContent(std::vector<BYTE>& image) {
    const char stub[] = "This program";
    auto at = std::search(image.begin(), image.end(), stub, stub + sizeof stub - 1);
    ASSERT_NE(at, image.end());
    *at = 't';
}

TEST_F(SignatureTest, MakersFileGetsTheMakersBitsOnceTrustedAndIsRetriedAfterAFailure) {
    const std::vector<BYTE> signedImage = ReadWholeFile(Fixture(L"maker.exe"));
    ASSERT_FALSE(signedImage.empty());
    std::vector<BYTE> broken = signedImage;
    BreakSignedContent(broken);
    const std::wstring file = temp_.File(L"Maker.exe");
    ASSERT_TRUE(WriteWholeFile(file, broken));

    std::unique_ptr<ApplicationDetails> details;
    LONG result = kSentinel;
    ASSERT_EQ(ApplicationEntry::GetApplicationDetails(file.c_str(), L"00112233445566778899AABBCCDDEEFF", 1, &details,
                                                      &result),
              S_OK);
    EXPECT_EQ(result, 6) << "the class is unknown";
    ASSERT_TRUE(details && details->record());
    EXPECT_EQ(details->record()->company, "Quellon Fixtures Ltd");

    tagQNTS_APP_PERMISSION permission{0xAAAA, 0xBBBB, 0xCCCC};
    result = kSentinel;
    ASSERT_EQ(details->GetServerPermission(&permission, &result), S_OK);
    EXPECT_EQ(result, 6) << "a file that fails trust validation gets nothing";
    EXPECT_EQ(permission.dwPermission, 0xCCCCu);

    // The same object tries again once the file passes.
    ASSERT_TRUE(WriteWholeFile(file, signedImage));
    result = kSentinel;
    ASSERT_EQ(details->GetServerPermission(&permission, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(permission.dwProduct, 0x10000u);
    EXPECT_EQ(permission.dwFeature, 0x1000u);
    EXPECT_EQ(permission.dwPermission, 0x11u);

    // Once trusted, the object keeps the answer.
    ASSERT_TRUE(WriteWholeFile(file, broken));
    permission = {0xAAAA, 0xBBBB, 0xCCCC};
    ASSERT_EQ(details->GetServerPermission(&permission, &result), S_OK);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(permission.dwPermission, 0x11u);
}

TEST_F(SignatureTest, DetailsWithoutRecordOrOutputs) {
    ApplicationDetails empty;
    LONG valid = kSentinel;
    LONG result = kSentinel;
    ASSERT_EQ(HasGoodDigitalSignature(empty, &valid, &result), S_OK);
    EXPECT_EQ(valid, 0);
    EXPECT_EQ(result, -1);

    valid = kSentinel;
    EXPECT_EQ(HasGoodDigitalSignature(empty, &valid, nullptr), E_POINTER);
    EXPECT_EQ(valid, kSentinel);
    result = kSentinel;
    EXPECT_EQ(HasGoodDigitalSignature(empty, nullptr, &result), E_POINTER);
    EXPECT_EQ(result, kSentinel);
}

}  // namespace
}  // namespace tessary
