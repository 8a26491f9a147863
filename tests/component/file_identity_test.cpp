#include "component/file_identity.h"

#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/unique_resource.h"
#include "tests/component/test_files.h"
#include "tests/support/process_log.h"

namespace tessary {
namespace {

using testing::FixturePath;
using testing::ReadFileBytes;
using testing::TempTree;
using testing::WriteFileBytes;

std::wstring Upper(std::wstring text) {
    ::CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// The text of the process's UTF-16 log file (after its byte order mark).
std::wstring LogText(const std::wstring& path) {
    const std::string bytes = ReadFileBytes(path);
    if (bytes.size() < 2) return {};
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
}

// "C:\TsIdentity-..." as the normalisation reports it: drive letter in lower case.
std::wstring Normalised(const std::wstring& path) { return L"c" + path.substr(1); }

// An absent file's record: path, name and (when the caller gave one) the caller's hash.
void ExpectOnlyPathAndName(const AppRecord& record, const std::wstring& path, const std::string& exeName,
                           const std::string& md5 = "") {
    EXPECT_EQ(record.path, path);
    EXPECT_EQ(record.exeName, exeName);
    EXPECT_EQ(record.sizeOnDisk, 0u);
    EXPECT_EQ(record.version, "");
    EXPECT_EQ(record.company, "");
    EXPECT_EQ(record.applicationName, "");
    EXPECT_EQ(record.md5, md5);
    EXPECT_EQ(record.digest, Md5Digest{});
}

class FileIdentityTest : public ::testing::Test {
protected:
    // Copies a fixture program into the tree under `relative`; returns its full path.
    std::wstring Place(const wchar_t* fixture, std::wstring_view relative) {
        const std::wstring path = tree_.MakeParents(relative);
        EXPECT_TRUE(::CopyFileW(FixturePath(fixture).c_str(), path.c_str(), FALSE)) << ::GetLastError();
        return path;
    }

    TempTree tree_;
};

TEST_F(FileIdentityTest, UpperCasePathGetsNamesAsStoredOnDisk) {
    const std::wstring stored = Place(L"identity_fixture_v61.exe", L"Program Files\\App\\App.exe");
    const std::string content = ReadFileBytes(stored);

    const AppRecord record = BuildFromPath(Upper(stored));

    EXPECT_EQ(record.path, Normalised(stored));
    EXPECT_EQ(record.exeName, "App.exe");
    EXPECT_EQ(record.sizeOnDisk, content.size());
    EXPECT_EQ(record.version, "6.1");
    EXPECT_EQ(record.company, "Quellon Fixtures Ltd");
    EXPECT_EQ(record.applicationName, "Tessary Identity Fixture");
    EXPECT_EQ(record.digest, ComputeMd5(content));
    EXPECT_EQ(record.md5, Md5ToHex(ComputeMd5(content)));
    EXPECT_EQ(record.description, "");
    EXPECT_EQ(record.className, "");
    EXPECT_EQ(record.goodSignature, 0u);
}

TEST_F(FileIdentityTest, GivenHashReplacesHashingAndLeavesDigestZero) {
    const std::wstring stored = Place(L"identity_fixture_v61.exe", L"Tools\\Given.EXE");
    const AppRecord record = BuildFromPathAndHash(stored, L"00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(record.md5, "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(record.digest, Md5Digest{});
    EXPECT_EQ(record.path, Normalised(stored));
    EXPECT_EQ(record.exeName, "Given.EXE");
    EXPECT_EQ(record.version, "6.1");
    EXPECT_NE(record.sizeOnDisk, 0u);
}

TEST_F(FileIdentityTest, ContentHashCrossesReadChunks) {
    const std::wstring million = tree_.MakeParents(L"a.bin");
    ASSERT_TRUE(WriteFileBytes(million, std::string(1000000, 'a')));
    const AppRecord record = BuildFromPath(million);
    EXPECT_EQ(record.md5, "7707D6AE4E027C70EEA2A935C2296F21");
    EXPECT_EQ(record.sizeOnDisk, 1000000u);

    const std::wstring empty = tree_.MakeParents(L"empty.bin");
    ASSERT_TRUE(WriteFileBytes(empty, ""));
    EXPECT_EQ(BuildFromPath(empty).md5, "D41D8CD98F00B204E9800998ECF8427E");
}

TEST_F(FileIdentityTest, MissingDriveLetterGivesPathAndNameOnly) {
    const DWORD drives = ::GetLogicalDrives();
    wchar_t letter = 0;
    for (wchar_t c = L'Y'; c >= L'D' && letter == 0; --c) {
        const wchar_t root[] = {c, L':', L'\\', 0};
        if (!(drives & (1u << (c - L'A'))) && ::GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) letter = c;
    }
    if (letter == 0) GTEST_SKIP() << "every drive letter from D: to Y: is in use in this prefix";
    const std::wstring log = testing::StartFileLogger();
    ASSERT_FALSE(log.empty());
    // The line is of severity 2, below the default threshold.
    ETWLogging::CLoggingIf* logger = ETWLogging::ProcessLogger();
    const DWORD severity = logger->GetSeverity();
    logger->SetSeverity(ETWLogging::kSeverityWarning);
    const std::wstring path = std::wstring(1, letter) + L":\\Vendor\\Tool.exe";
    ExpectOnlyPathAndName(BuildFromPath(path), path, "Tool.exe");
    // The line says which drive is missing: a drive mapped in another logon session
    // (a user's network drive seen from the service) looks just like this one.
    EXPECT_NE(LogText(log).find(L"No hash of " + path + L": drive " + std::wstring(1, letter) +
                                L": does not exist in this logon session."),
              std::wstring::npos)
        << WideToUtf8(LogText(log));
    logger->SetSeverity(severity);
    ExpectOnlyPathAndName(BuildFromPathAndHash(path, L"00112233445566778899AABBCCDDEEFF"), path, "Tool.exe",
                          "00112233445566778899AABBCCDDEEFF");
}

TEST_F(FileIdentityTest, DeletedFileKeepsTheCallersHash) {
    const std::wstring gone = Place(L"identity_fixture_v61.exe", L"Gone.exe");
    ASSERT_TRUE(::DeleteFileW(gone.c_str()));
    ExpectOnlyPathAndName(BuildFromPath(gone), gone, "Gone.exe");
    ExpectOnlyPathAndName(BuildFromPathAndHash(gone, L"ffeeddccbbaa99887766554433221100"), gone, "Gone.exe",
                          "ffeeddccbbaa99887766554433221100");
}

TEST_F(FileIdentityTest, PathLongerThanBuffersIsKeptWhole) {
    std::wstring path = tree_.root();
    for (int i = 0; i < 60; ++i) path += L"\\Directory" + std::to_wstring(i);
    path += L"\\Deep.exe";
    ASSERT_GT(path.size(), 2u * MAX_PATH);
    ExpectOnlyPathAndName(BuildFromPath(path), path, "Deep.exe");
}

TEST_F(FileIdentityTest, FileLockedWithoutReadSharingHasNoHash) {
    const std::wstring path = Place(L"identity_fixture_v61.exe", L"Locked.exe");
    const uint32_t size = static_cast<uint32_t>(ReadFileBytes(path).size());
    {
        UniqueFile writer(
            ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer) << ::GetLastError();
        const AppRecord record = BuildFromPath(path);
        EXPECT_EQ(record.md5, "");
        EXPECT_EQ(record.digest, Md5Digest{});
        EXPECT_EQ(record.sizeOnDisk, size);
        EXPECT_EQ(record.exeName, "Locked.exe");
    }
    EXPECT_EQ(BuildFromPath(path).md5.size(), 32u);
}

// Hashing shares reads, writes and deletion: a program holding the file open for
// any of them (sharing reads) leaves it the same file with the same hash.
TEST_F(FileIdentityTest, FileHeldOpenByAWriterOrDeleterStillHashes) {
    const std::wstring path = Place(L"identity_fixture_v61.exe", L"Shared.exe");
    const std::string expected = Md5ToHex(ComputeMd5(ReadFileBytes(path)));
    const struct {
        DWORD access;
        DWORD share;
    } holders[] = {
        {GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE},
        {GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ},
        {DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE},
        {GENERIC_READ, FILE_SHARE_READ},
    };
    for (const auto& holder : holders) {
        UniqueFile held(::CreateFileW(path.c_str(), holder.access, holder.share, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held) << ::GetLastError();
        EXPECT_EQ(BuildFromPath(path).md5, expected) << "access " << holder.access << " share " << holder.share;
    }
}

// A path of more than MAX_PATH characters is read through its "\\?\" form.
TEST_F(FileIdentityTest, FileBeyondMaxPathHashes) {
    std::wstring path = tree_.root();
    std::vector<std::wstring> directories;
    while (path.size() < MAX_PATH + 20) {
        path += L"\\Directory" + std::to_wstring(directories.size());
        directories.push_back(path);
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + path).c_str(), nullptr)) << ::GetLastError();
    }
    path += L"\\Deep.exe";
    const std::string content = ReadFileBytes(FixturePath(L"identity_fixture_v61.exe"));
    ASSERT_TRUE(WriteFileBytes(L"\\\\?\\" + path, content));

    const AppRecord record = BuildFromPath(Upper(path));
    EXPECT_EQ(record.md5, Md5ToHex(ComputeMd5(content)));
    EXPECT_EQ(record.sizeOnDisk, content.size());
    EXPECT_EQ(record.version, "6.1");
    EXPECT_EQ(record.path, Normalised(path));
    EXPECT_EQ(record.exeName, "Deep.exe");

    // The tree's own removal uses plain paths; take the deep part away here.
    EXPECT_TRUE(::DeleteFileW((L"\\\\?\\" + path).c_str()));
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) ::RemoveDirectoryW((L"\\\\?\\" + *it).c_str());
}

TEST_F(FileIdentityTest, FileOf4GiBOrMoreHasNoHashAndLow32BitSize) {
    const std::wstring path = tree_.MakeParents(L"Huge.bin");
    {
        UniqueFile file(
            ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        DWORD ignored = 0;
        // Best effort: Wine's files on a Linux file system are sparse anyway.
        ::DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
        LARGE_INTEGER end;
        end.QuadPart = 0x100000000LL + 4096 + 5;
        if (!::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) {
            GTEST_SKIP() << "cannot extend a file to 4 GiB here (error " << ::GetLastError() << ")";
        }
        LARGE_INTEGER size;
        ASSERT_TRUE(::GetFileSizeEx(file.get(), &size));
        ASSERT_EQ(size.QuadPart, end.QuadPart);
    }
    const AppRecord record = BuildFromPath(path);
    EXPECT_EQ(record.sizeOnDisk, 4096u + 5u);
    EXPECT_EQ(record.md5, "");
    EXPECT_EQ(record.digest, Md5Digest{});
    EXPECT_EQ(record.exeName, "Huge.bin");
}

// Version block rules, one fixture program each.
class VersionStringsTest : public FileIdentityTest {
protected:
    AppRecord Identify(const wchar_t* fixture) { return BuildFromPath(Place(fixture, L"Fixture.exe")); }
};

TEST_F(VersionStringsTest, MajorVersionZeroGivesNoVersionText) {
    const AppRecord record = Identify(L"identity_fixture_v05.exe");
    EXPECT_EQ(record.version, "");
    EXPECT_EQ(record.applicationName, "Half Version");
    EXPECT_EQ(record.company, "Quellon Fixtures Ltd");
}

TEST_F(VersionStringsTest, EmptyDescriptionFallsBackToProductName) {
    const AppRecord record = Identify(L"identity_fixture_product.exe");
    EXPECT_EQ(record.applicationName, "Fixture Product Name");
    EXPECT_EQ(record.version, "2.7");
}

TEST_F(VersionStringsTest, StringsOnlyUnderCodePage1252AreFound) {
    const AppRecord record = Identify(L"identity_fixture_cp1252.exe");
    EXPECT_EQ(record.company, "Code Page Co");
    EXPECT_EQ(record.applicationName, "Western Strings");
}

TEST_F(VersionStringsTest, FirstSuccessfulTranslationWinsEvenWhenEmpty) {
    const AppRecord record = Identify(L"identity_fixture_first_wins.exe");
    EXPECT_EQ(record.applicationName, "First Table");
    EXPECT_EQ(record.company, "Retry Co");
}

TEST_F(VersionStringsTest, MissingOrDamagedBlockGivesNoStrings) {
    for (const wchar_t* fixture : {L"identity_fixture_plain.exe", L"identity_fixture_garbage.exe"}) {
        const AppRecord record = Identify(fixture);
        EXPECT_EQ(record.version, "");
        EXPECT_EQ(record.company, "");
        EXPECT_EQ(record.applicationName, "");
        EXPECT_EQ(record.md5.size(), 32u);
        EXPECT_NE(record.sizeOnDisk, 0u);
    }
}

TEST_F(VersionStringsTest, BlockWithoutFixedInfoSignatureIsNotTrusted) {
    std::string bytes = ReadFileBytes(FixturePath(L"identity_fixture_v61.exe"));
    const std::string signature("\xBD\x04\xEF\xFE", 4);
    const size_t at = bytes.find(signature);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(bytes.find(signature, at + 1), std::string::npos);
    bytes[at] = '\x00';
    const std::wstring path = tree_.MakeParents(L"Patched.exe");
    ASSERT_TRUE(WriteFileBytes(path, bytes));

    const AppRecord record = BuildFromPath(path);
    EXPECT_EQ(record.version, "");
    EXPECT_EQ(record.company, "");
    EXPECT_EQ(record.applicationName, "");
}

TEST(NormalizePath, NetworkPathBecomesLowerCase) {
    EXPECT_EQ(NormalizePath(L"\\\\Server\\Share\\Tool.exe"), L"\\\\server\\share\\tool.exe");
    EXPECT_EQ(NormalizePath(L"\\\\SERVER\\SHARE"), L"\\\\server\\share");
}

TEST(NormalizePath, ComponentsNotOnDiskStayLowerCase) {
    EXPECT_EQ(NormalizePath(L"C:\\No Such Dir\\Tool.EXE"), L"c:\\no such dir\\tool.exe");
    EXPECT_EQ(NormalizePath(L"Relative\\Tool.exe"), L"relative\\tool.exe");
    EXPECT_EQ(NormalizePath(L"C:\\Dir\\\\Tool.exe\\"), L"c:\\dir\\\\tool.exe\\");
    EXPECT_EQ(NormalizePath(L""), L"");
}

TEST(NormalizePath, WildcardComponentIsNotReplacedByAMatch) {
    EXPECT_EQ(NormalizePath(L"C:\\WINDOWS\\*"), L"c:\\windows\\*");
    EXPECT_EQ(NormalizePath(L"C:\\WIND?WS"), L"c:\\wind?ws");
}

TEST(NormalizePath, OverlongPathKeepsLengthAndStructure) {
    std::wstring path = L"C:\\WINDOWS";
    for (int i = 0; i < 100; ++i) path += L"\\COMPONENT";
    const std::wstring result = NormalizePath(path);
    ASSERT_EQ(result.size(), path.size());
    EXPECT_EQ(result.rfind(L"\\component"), path.size() - 10);
    EXPECT_EQ(result.substr(0, 2), L"c:");
}

}  // namespace
}  // namespace tessary
