#include "platform/paths.h"

#include <gtest/gtest.h>

#include <shlobj.h>

#include <mutex>
#include <string>
#include <thread>

#include "platform/platform_log.h"
#include "platform/text.h"
#include "platform/unique_resource.h"
#include "tests/support/held_file.h"
#include "tests/support/security_calls.h"

namespace tessary {
namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(::towlower(c));
    return text;
}

TEST(PathTextTest, ParentDirectoryCutsAtTheLastSeparatorOfEitherKind) {
    EXPECT_EQ(ParentDirectory(L"C:\\ProgramData\\Quellon\\Tessary\\data\\TsLocal.xdb"),
              L"C:\\ProgramData\\Quellon\\Tessary\\data");
    EXPECT_EQ(ParentDirectory(L"C:\\a"), L"C:");
    EXPECT_EQ(ParentDirectory(L"data\\"), L"data");
    EXPECT_EQ(ParentDirectory(L"TsLocal.xdb"), L"");
    EXPECT_EQ(ParentDirectory(L"C:/dir/db.xdb"), L"C:/dir") << "never the drive root";
    EXPECT_EQ(ParentDirectory(L"C:\\a/b\\c.xdb"), L"C:\\a/b");
    EXPECT_EQ(ParentDirectory(L""), L"");
}

TEST(PathTextTest, QuoteSpacesQuotesOnlyPathsWithSpaces) {
    EXPECT_EQ(QuoteSpaces(L"C:\\Program Files\\Quellon\\tsupdchk.exe"),
              L"\"C:\\Program Files\\Quellon\\tsupdchk.exe\"");
    EXPECT_EQ(QuoteSpaces(L"C:\\Tools\\tsupdchk.exe"), L"C:\\Tools\\tsupdchk.exe");
    EXPECT_EQ(QuoteSpaces(L"\"C:\\Program Files\\x.exe\""), L"\"C:\\Program Files\\x.exe\"");
    EXPECT_EQ(QuoteSpaces(L""), L"");
    EXPECT_EQ(QuoteSpaces(L"\"C:\\a b"), L"\"\"C:\\a b\"");  // an opening quote alone does not enclose it
    EXPECT_EQ(QuoteSpaces(L" "), L"\" \"");
}

TEST(PathTextTest, QuoteSpacesHandlesPathsBeyondMaxPath) {
    std::wstring path = L"C:\\" + std::wstring(600, L'd') + L" x\\tsupdchk.exe";
    std::wstring quoted = QuoteSpaces(path);
    ASSERT_EQ(quoted.size(), path.size() + 2);
    EXPECT_EQ(quoted.front(), L'"');
    EXPECT_EQ(quoted.back(), L'"');
    EXPECT_EQ(quoted.substr(1, path.size()), path);
}

TEST(ShellFolderTest, CommonAppDataIsAnExistingAbsoluteDirectory) {
    std::wstring folder = L"sentinel";
    ASSERT_TRUE(GetShellFolder(CSIDL_COMMON_APPDATA, &folder));
    EXPECT_GT(folder.size(), 3u);
    EXPECT_EQ(folder[1], L':');
    EXPECT_TRUE(IsDirectory(folder));
}

TEST(ShellFolderTest, UnknownFolderFailsWithEmptyResult) {
    std::wstring folder = L"sentinel";
    EXPECT_FALSE(GetShellFolder(0xFE, &folder));
    EXPECT_TRUE(folder.empty());
    EXPECT_FALSE(GetShellFolder(CSIDL_COMMON_APPDATA, nullptr));
}

TEST(ModulePathTest, ExecutablePathMatchesLoader) {
    wchar_t expected[MAX_PATH] = {};
    ASSERT_GT(::GetModuleFileNameW(nullptr, expected, MAX_PATH), 0u);
    EXPECT_EQ(ModuleFilePath(nullptr), expected);
    const std::wstring kernel = Lower(ModuleFilePath(::GetModuleHandleW(L"kernel32.dll")));
    EXPECT_EQ(kernel, Lower(SystemDirectoryFile(L"kernel32.dll")));
    EXPECT_EQ(ModuleFilePath(reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x10))), L"");
}

TEST(ModulePathTest, SystemDirectoryFileJoinsWithOneBackslash) {
    const std::wstring dir = SystemDirectoryFile(nullptr);
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(IsDirectory(dir));
    EXPECT_EQ(SystemDirectoryFile(L""), dir);
    EXPECT_EQ(SystemDirectoryFile(L"version.dll"), dir + L"\\version.dll");
}

TEST(ModulePathTest, LoadSystemLibraryLoadsFromSystemDirectory) {
    UniqueModule module(LoadSystemLibrary(L"version.dll"));
    ASSERT_TRUE(module);
    EXPECT_EQ(Lower(ModuleFilePath(module.get())), Lower(SystemDirectoryFile(L"version.dll")));
    EXPECT_NE(::GetProcAddress(module.get(), "GetFileVersionInfoSizeW"), nullptr);
}

TEST(ModulePathTest, LoadSystemLibraryRefusesPathsAndMissingFiles) {
    const std::wstring full = SystemDirectoryFile(L"version.dll");
    const wchar_t* names[] = {full.c_str(), L"..\\version.dll", L"sub/version.dll", L"C:version.dll", L"", nullptr};
    for (const wchar_t* name : names) {
        ::SetLastError(0);
        EXPECT_EQ(LoadSystemLibrary(name), nullptr);
        EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(LoadSystemLibrary(L"tessary-no-such-library.dll"), nullptr);
}

// Works in its own directory under the temporary folder, removed afterwards.
class CreateDirectoryTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        wchar_t temp[MAX_PATH] = {};
        ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
        root_ = std::wstring(temp) + L"tessary_paths_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                std::to_wstring(::GetTickCount64());
    }

    void TearDown() override {
        std::wstring from = root_ + L'\0';  // SHFileOperationW takes a double-terminated list
        SHFILEOPSTRUCTW op = {};
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_NO_UI;
        ::SHFileOperationW(&op);
    }

    std::wstring root_;
};

constexpr DirectoryCreation kBothWays[] = {DirectoryCreation::kShell, DirectoryCreation::kKernel};

TEST_F(CreateDirectoryTreeTest, CreatesMissingParentsAndAcceptsExisting) {
    for (DirectoryCreation how : kBothWays) {
        const std::wstring base = root_ + L"\\" + std::to_wstring(static_cast<int>(how));
        const std::wstring deep = base + L"\\Quellon\\Tessary\\data";
        ASSERT_TRUE(CreateDirectoryTree(deep, how));
        EXPECT_TRUE(IsDirectory(deep));
        EXPECT_TRUE(CreateDirectoryTree(deep, how));
        EXPECT_TRUE(CreateDirectoryTree(base, how));
    }
}

TEST_F(CreateDirectoryTreeTest, FileInTheWayOrEmptyPathFails) {
    ASSERT_TRUE(CreateDirectoryTree(root_));
    const std::wstring file = root_ + L"\\TsLocal.xdb";
    UniqueFile handle(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(handle);
    handle.reset();
    EXPECT_FALSE(IsDirectory(file));
    for (DirectoryCreation how : kBothWays) {
        EXPECT_FALSE(CreateDirectoryTree(file, how));
        EXPECT_FALSE(CreateDirectoryTree(file + L"\\sub", how));
        EXPECT_FALSE(CreateDirectoryTree(L"", how));
    }
}

TEST_F(CreateDirectoryTreeTest, RelativePathIsTakenFromWorkingDirectory) {
    ASSERT_TRUE(CreateDirectoryTree(root_));
    wchar_t previous[MAX_PATH] = {};
    ASSERT_GT(::GetCurrentDirectoryW(MAX_PATH, previous), 0u);
    ASSERT_TRUE(::SetCurrentDirectoryW(root_.c_str()));
    const bool shell = CreateDirectoryTree(L"data\\inner");
    const bool kernel = CreateDirectoryTree(L"logs\\inner", DirectoryCreation::kKernel);
    ::SetCurrentDirectoryW(previous);
    EXPECT_TRUE(shell);
    EXPECT_TRUE(kernel);
    EXPECT_TRUE(IsDirectory(root_ + L"\\data\\inner"));
    EXPECT_TRUE(IsDirectory(root_ + L"\\logs\\inner"));
}

using security::Secured;
using security::SecurityCall;
using testing::RecordedSecurityCalls;

TEST_F(CreateDirectoryTreeTest, ProductFoldersAreCreatedOrTakenOverWithTheModelsDescriptor) {
    ASSERT_TRUE(CreateDirectoryTree(root_));
    RecordedSecurityCalls calls;
    ASSERT_TRUE(SecureFolderTree(root_, L"Quellon\\Tessary\\data", Secured::kProductFolder, Secured::kDataFolder));
    const std::wstring product = RecordedSecurityCalls::Model(Secured::kProductFolder);
    const std::wstring data = RecordedSecurityCalls::Model(Secured::kDataFolder);
    struct Level {
        std::wstring path;
        const std::wstring& model;
    };
    const Level levels[] = {{root_ + L"\\Quellon", product},
                            {root_ + L"\\Quellon\\Tessary", product},
                            {root_ + L"\\Quellon\\Tessary\\data", data}};
    for (const Level& level : levels) {
        EXPECT_TRUE(IsDirectory(level.path));
        const auto made = calls.On(level.path);
        ASSERT_EQ(made.size(), 1u);
        EXPECT_EQ(made[0].call, SecurityCall::kCreateDirectory);
        EXPECT_EQ(made[0].described, level.model);
    }

    // Found existing: whatever it carries differs from the model is replaced
    // through the opened handle, with the model's descriptor again.
    RecordedSecurityCalls::Clear();
    ASSERT_TRUE(SecureFolder(levels[2].path, Secured::kDataFolder));
    const auto found = calls.On(levels[2].path);
    ASSERT_GE(found.size(), 1u);
    for (const security::SecurityEvent& event : found) EXPECT_EQ(event.described, data);
    if (found.size() == 1) {
        // Windows: the descriptor was kept, so the folder is left as it is.
        EXPECT_EQ(found[0].call, SecurityCall::kCreateDirectory);
    } else {
        // Wine keeps no folder descriptor (the owner always reads back as the
        // running user), so every check finds it changed and takes it over again.
        EXPECT_EQ(found[1].call, SecurityCall::kSetSecurity);
    }

    // A file where a folder belongs is refused, and nothing below it is made.
    const std::wstring file = root_ + L"\\QNLOGS";
    UniqueFile handle(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(handle);
    handle.reset();
    EXPECT_FALSE(SecureFolderTree(root_, L"QNLOGS\\TSAPI", Secured::kProductFolder, Secured::kProductFolder));
    EXPECT_TRUE(calls.On(file + L"\\TSAPI").empty());
}

TEST_F(CreateDirectoryTreeTest, RemoveTreeDeletesThroughHandlesAndRemovesLinksAsLinks) {
    const std::wstring tree = root_ + L"\\tree";
    const std::wstring outside = root_ + L"\\outside";
    ASSERT_TRUE(CreateDirectoryTree(tree + L"\\a\\b"));
    ASSERT_TRUE(CreateDirectoryTree(outside));
    for (const std::wstring& name : {tree + L"\\top.txt", tree + L"\\a\\b\\deep.txt", outside + L"\\kept.txt"}) {
        UniqueFile file(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(file);
    }
    ASSERT_TRUE(::SetFileAttributesW((tree + L"\\a\\b\\deep.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(::SetFileAttributesW((tree + L"\\a").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY));
    // A link inside the tree to a folder outside it, where the system can make one.
    const std::wstring link = tree + L"\\link";
    const bool linked = ::CreateSymbolicLinkW(link.c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) != FALSE;

    EXPECT_TRUE(RemoveTree(tree));
    EXPECT_EQ(::GetFileAttributesW(tree.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(RemoveTree(tree)) << "nothing left counts as removed";
    EXPECT_NE(::GetFileAttributesW((outside + L"\\kept.txt").c_str()), INVALID_FILE_ATTRIBUTES)
        << "the link's target must be left alone";
    if (!linked) {
        GTEST_SKIP() << "Wine 8 cannot create a directory symbolic link or junction (CreateSymbolicLinkW failed with "
                     << ::GetLastError() << "): removing a link as a link is not shown here";
    }
}

std::mutex g_reportLock;
std::wstring g_reported;

void CaptureReport(int, const wchar_t*, const wchar_t*, int, const wchar_t* text) noexcept {
    std::lock_guard<std::mutex> lock(g_reportLock);
    g_reported.append(text).append(L"\n");
}

// A file held without sharing for a moment (a scanner) is waited for; one held
// past the bounded retry leaves the removal incomplete, and the report says which.
TEST_F(CreateDirectoryTreeTest, RemoveTreeWaitsForAShortLivedHolderAndReportsALastingOne) {
    const std::wstring tree = root_ + L"\\held";
    const std::wstring file = tree + L"\\scanned.exe";
    auto make = [&] {
        ASSERT_TRUE(CreateDirectoryTree(tree));
        UniqueFile created(::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(created);
    };
    ASSERT_NO_FATAL_FAILURE(make());
    std::thread holder = testing::HoldUnshared(file, 100);
    EXPECT_TRUE(RemoveTree(tree));
    holder.join();
    EXPECT_EQ(::GetFileAttributesW(tree.c_str()), INVALID_FILE_ATTRIBUTES);

    ASSERT_NO_FATAL_FAILURE(make());
    UniqueFile held(::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    const platform_log::Sink previous = platform_log::InstalledSink();
    platform_log::InstallSink(CaptureReport);
    const bool removed = RemoveTree(tree);
    platform_log::InstallSink(previous);
    EXPECT_FALSE(removed);
    EXPECT_NE(g_reported.find(L"Cannot open \"scanned.exe\" for removal: error 32."), std::wstring::npos)
        << WideToUtf8(g_reported);
    held.reset();
    EXPECT_TRUE(RemoveTree(tree));
}

}  // namespace
}  // namespace tessary
