// tsctl as the suite's administrators run it: a process of its own, talking to the
// registered tsapi.dll through COM. Covers the commands that go through an
// application's details object (verify, local-perms) and their argument checks.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "tests/support/tsapi_server.h"
#include "tests/support/test_roots.h"

namespace tessary::testing {
namespace {

struct Outcome {
    DWORD exitCode = 0xFFFFFFFF;
    std::string out;
};

// Runs tsctl.exe (beside this test) with `arguments`; its standard output and
// error, written to one file, and its exit code. A file rather than a pipe: a
// process that inherited the handle could keep a pipe open after tsctl ended.
Outcome Tsctl(const std::wstring& arguments) {
    Outcome run;
    wchar_t folder[MAX_PATH] = {};
    wchar_t file[MAX_PATH] = {};
    if (::GetTempPathW(MAX_PATH, folder) == 0 || ::GetTempFileNameW(folder, L"tsc", 0, file) == 0) return run;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE output = ::CreateFileW(file, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (output == INVALID_HANDLE_VALUE) return run;
    std::wstring commandLine = L"\"" + ExecutableDir() + L"\\tsctl.exe\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    startup.hStdInput = nullptr;
    PROCESS_INFORMATION process{};
    const BOOL started =
        ::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    ::CloseHandle(output);
    if (started) {
        if (::WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
            ::GetExitCodeProcess(process.hProcess, &run.exitCode);
        } else {
            ::TerminateProcess(process.hProcess, 0xFFFFFFFF);
        }
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        // Shared for writing too: a process started during the run may still hold the inherited handle.
        HANDLE written = ::CreateFileW(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
        if (written != INVALID_HANDLE_VALUE) {
            char buffer[4096];
            DWORD got = 0;
            while (::ReadFile(written, buffer, sizeof(buffer), &got, nullptr) && got > 0) run.out.append(buffer, got);
            ::CloseHandle(written);
        }
    }
    ::DeleteFileW(file);
    return run;
}

std::wstring Signed(const wchar_t* name) { return L"\"" + ExecutableDir() + L"\\signature_pki\\" + name + L"\""; }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Both executables declare the systems they support (so version queries report
// Windows 10 and 11 as they are) and run as their invoker.
TEST(ExecutableManifest, DeclaresSupportedSystemsAndRunsAsInvoker) {
    for (const wchar_t* name : {L"tsctl.exe", L"TSUpdChk.exe"}) {
        const std::wstring path = ExecutableDir() + L"\\" + name;
        HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module, nullptr) << WideToUtf8(path) << ": " << ::GetLastError();
        HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
        std::string manifest;
        if (resource != nullptr) {
            const char* data = static_cast<const char*>(::LockResource(::LoadResource(module, resource)));
            if (data != nullptr) manifest.assign(data, ::SizeofResource(module, resource));
        }
        ::FreeLibrary(module);
        ASSERT_FALSE(manifest.empty()) << WideToUtf8(name) << " has no manifest resource 1";
        for (const char* part : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                                 "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                                 "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", "level=\"asInvoker\""}) {
            EXPECT_TRUE(Contains(manifest, part)) << WideToUtf8(name) << " lacks " << part;
        }
    }
}

// A copy of the version-block fixture named `name` in the temp folder; empty when
// it cannot be made.
std::wstring CopyOfIdentityFixture(const std::wstring& name) {
    wchar_t folder[MAX_PATH] = {};
    if (::GetTempPathW(MAX_PATH, folder) == 0) return {};
    const std::wstring path = std::wstring(folder) + name;
    if (!::CopyFileW((ExecutableDir() + L"\\identity_fixture_v61.exe").c_str(), path.c_str(), FALSE)) return {};
    return path;
}

// Output to a pipe or file is UTF-8, whatever the console code page: a path outside
// every ANSI code page comes out byte for byte. (A console gets the text through
// WriteConsoleW instead: NonAsciiPathReachesAConsoleAsItsCharacters.)
TEST(TsctlOutput, NonAsciiPathReachesAFileAsUtf8) {
    const std::wstring name = L"\u00c5ngstr\u00f6m \u0416\u0443\u043a \u6f22\u5b57 \U0001F600.exe";
    const std::wstring path = CopyOfIdentityFixture(name);
    ASSERT_FALSE(path.empty()) << ::GetLastError();
    const Outcome run = Tsctl(L"identify \"" + path + L"\"");
    ::DeleteFileW(path.c_str());
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    // The path line (the exe name goes through the ANSI code page by design).
    EXPECT_TRUE(Contains(run.out, "path: ")) << run.out;
    EXPECT_TRUE(Contains(run.out, "\\" + WideToUtf8(name))) << run.out;
    EXPECT_TRUE(Contains(run.out, "company: Quellon Fixtures Ltd")) << run.out;
}

// A console gets the text as characters (WriteConsoleW), whatever its code page:
// read back from the screen buffer of a console made for this test, with the OEM
// code page 437 that cannot spell the name, the path is there as it is.
TEST(TsctlOutput, NonAsciiPathReachesAConsoleAsItsCharacters) {
    // A console without a window, kept alive by a command interpreter waiting for
    // input that never comes; this process attaches to it.
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(::GetSystemDirectoryW(system, MAX_PATH), 0u);
    std::wstring holderLine = std::wstring(L"\"") + system + L"\\cmd.exe\" /k";
    STARTUPINFOW holderStartup{};
    holderStartup.cb = sizeof(holderStartup);
    PROCESS_INFORMATION holder{};
    ASSERT_TRUE(::CreateProcessW(nullptr, holderLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 nullptr, &holderStartup, &holder));
    struct ConsoleGone {
        PROCESS_INFORMATION& holder;
        ~ConsoleGone() {
            ::FreeConsole();
            ::TerminateProcess(holder.hProcess, 0);
            ::CloseHandle(holder.hThread);
            ::CloseHandle(holder.hProcess);
        }
    } consoleGone{holder};
    ::FreeConsole();
    bool attached = false;
    for (int i = 0; i < 100 && !attached; ++i) {
        attached = ::AttachConsole(holder.dwProcessId) != FALSE;
        if (!attached) ::Sleep(20);
    }
    if (!attached) GTEST_SKIP() << "no console to attach to: error " << ::GetLastError();
    ::SetConsoleOutputCP(437);
    const std::wstring name = L"\u00c5ngstr\u00f6m \u0416\u0443\u043a \u6f22\u5b57.exe";
    const std::wstring path = CopyOfIdentityFixture(name);
    ASSERT_FALSE(path.empty()) << ::GetLastError();
    // No standard handles given: tsctl writes to the console it shares with this process.
    std::wstring commandLine = L"\"" + ExecutableDir() + L"\\tsctl.exe\" identify \"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &process));
    DWORD exitCode = 0xFFFFFFFF;
    if (::WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
        ::GetExitCodeProcess(process.hProcess, &exitCode);
    } else {
        ::TerminateProcess(process.hProcess, exitCode);
    }
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    ::DeleteFileW(path.c_str());
    EXPECT_EQ(exitCode, 0u);

    HANDLE screen = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(screen, INVALID_HANDLE_VALUE);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ASSERT_TRUE(::GetConsoleScreenBufferInfo(screen, &info)) << ::GetLastError();
    std::wstring shown(static_cast<size_t>(info.dwSize.X) * (info.dwCursorPosition.Y + 1), L' ');
    DWORD read = 0;
    ASSERT_TRUE(
        ::ReadConsoleOutputCharacterW(screen, shown.data(), static_cast<DWORD>(shown.size()), COORD{0, 0}, &read));
    ::CloseHandle(screen);
    shown.resize(read);
    EXPECT_NE(shown.find(L"path: "), std::wstring::npos) << WideToUtf8(shown);
    EXPECT_NE(shown.find(L"\\" + name), std::wstring::npos) << WideToUtf8(shown);
}

class TsctlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        registered_ = Tsctl(L"register").exitCode == 0;
        rootInstalled_ = InstallMachineRoot(ExecutableDir() + L"\\signature_pki\\root_vs.cer");
    }
    static void TearDownTestSuite() { Tsctl(L"unregister"); }

    void SetUp() override {
        ASSERT_TRUE(registered_) << "tsctl register failed";
        // No usage statistics leave for the decisions set here.
        ASSERT_EQ(Tsctl(L"gonogo none").exitCode, 0u);
    }

    ProductValuesGuard values_{{L"GoNoGo"}};
    static inline bool registered_ = false;
    static inline bool rootInstalled_ = false;
};

// The proxies beside the server are registered with it and go with it.
TEST_F(TsctlTest, RegisterAndUnregisterTakeTheProxiesBesideTheServerAlong) {
    const auto proxyServer = [] {
        wchar_t value[MAX_PATH] = {};
        DWORD size = sizeof(value);
        const LSTATUS status =
            ::RegGetValueW(HKEY_CLASSES_ROOT, L"CLSID\\{44B3BCF5-7465-4E27-902E-161D1C0105C7}\\InprocServer32", nullptr,
                           RRF_RT_REG_SZ, nullptr, value, &size);
        return status == ERROR_SUCCESS ? std::wstring(value) : std::wstring();
    };
    EXPECT_NE(proxyServer().find(L"tsapips.dll"), std::wstring::npos) << WideToUtf8(proxyServer());
    Outcome gone = Tsctl(L"unregister");
    EXPECT_EQ(gone.exitCode, 0u) << gone.out;
    EXPECT_TRUE(Contains(gone.out, "tsapips.dll")) << gone.out;
    EXPECT_EQ(proxyServer(), L"");
    Outcome back = Tsctl(L"register");
    ASSERT_EQ(back.exitCode, 0u) << back.out;
    EXPECT_TRUE(Contains(back.out, "tsapi.dll")) << back.out;
    EXPECT_NE(proxyServer().find(L"tsapips.dll"), std::wstring::npos) << WideToUtf8(proxyServer());
}

TEST_F(TsctlTest, VerifyExitsZeroOnlyWhenEveryFileCarriesAGoodSignature) {
    ASSERT_TRUE(rootInstalled_) << "the signature fixtures' root cannot be installed";
    Outcome good = Tsctl(L"verify " + Signed(L"quellon.exe"));
    EXPECT_EQ(good.exitCode, 0u) << good.out;
    EXPECT_TRUE(Contains(good.out, "quellon.exe: good signature")) << good.out;

    // Each file gets its own verdict; one bad file makes the whole run fail.
    Outcome mixed =
        Tsctl(L"verify " + Signed(L"unsigned.exe") + L" " + Signed(L"quellon.exe") + L" " + Signed(L"absent.exe"));
    EXPECT_EQ(mixed.exitCode, 1u) << mixed.out;
    EXPECT_TRUE(Contains(mixed.out, "unsigned.exe: no good signature")) << mixed.out;
    EXPECT_TRUE(Contains(mixed.out, "quellon.exe: good signature")) << mixed.out;
    EXPECT_TRUE(Contains(mixed.out, "absent.exe: no good signature")) << mixed.out;

    EXPECT_NE(Tsctl(L"verify " + Signed(L"no-such-file.exe")).exitCode, 0u);
    EXPECT_EQ(Tsctl(L"verify").exitCode, 2u);
}

TEST_F(TsctlTest, LocalPermissionsAreStoredListedAndDeletedPerProductAndFeature) {
    const std::wstring app = Signed(L"unit.exe");
    Tsctl(L"local-perms delete " + app);  // whatever an earlier run left

    Outcome none = Tsctl(L"local-perms list " + app);
    EXPECT_EQ(none.exitCode, 0u) << none.out;
    EXPECT_TRUE(Contains(none.out, "result: 6")) << none.out;

    EXPECT_EQ(Tsctl(L"local-perms set " + app + L" --product 2 --feature 1 --permission 4").exitCode, 0u);
    EXPECT_EQ(Tsctl(L"local-perms set " + app +
                    L" --product 3 --feature 0x10 --permission 1 --ip 203.0.113.7 "
                    L"--port 443")
                  .exitCode,
              0u);
    // Setting the same product and feature again replaces the decision.
    EXPECT_EQ(Tsctl(L"local-perms set " + app + L" --product 2 --feature 1 --permission 0x8").exitCode, 0u);
    Outcome listed = Tsctl(L"local-perms list " + app);
    EXPECT_EQ(listed.exitCode, 0u) << listed.out;
    EXPECT_TRUE(Contains(listed.out, "product=0x2 feature=0x1 permission=0x8")) << listed.out;
    EXPECT_FALSE(Contains(listed.out, "permission=0x4")) << listed.out;
    EXPECT_TRUE(Contains(listed.out, "product=0x3 feature=0x10 permission=0x1")) << listed.out;

    // The decisions live in the suite's shared permission store.
    Outcome identity = Tsctl(L"identify " + app);
    const size_t at = identity.out.find("md5: ");
    ASSERT_NE(at, std::string::npos) << identity.out;
    const std::string md5 = identity.out.substr(at + 5, 32);
    Outcome shared = Tsctl(L"perms list --hash " + NarrowToWide(md5) + L" --product 3");
    EXPECT_TRUE(Contains(shared.out, "feature=0x10 permission=0x1 md5=" + md5)) << shared.out;

    EXPECT_EQ(Tsctl(L"local-perms delete " + app + L" --product 2 --feature 1").exitCode, 0u);
    listed = Tsctl(L"local-perms list " + app);
    EXPECT_FALSE(Contains(listed.out, "product=0x2")) << listed.out;
    EXPECT_TRUE(Contains(listed.out, "product=0x3")) << listed.out;
    EXPECT_EQ(Tsctl(L"local-perms delete " + app).exitCode, 0u);
    EXPECT_TRUE(Contains(Tsctl(L"local-perms list " + app).out, "result: 6"));
}

TEST_F(TsctlTest, LocalPermissionArgumentsAreCheckedBeforeAnyCall) {
    const std::wstring app = Signed(L"unit.exe");
    for (const std::wstring& arguments : std::vector<std::wstring>{
             L"local-perms", L"local-perms list", L"local-perms show " + app, L"local-perms list --product 1",
             L"local-perms set " + app + L" --product 1",                               // no permission
             L"local-perms set " + app + L" --permission 1 --ip 10.0.0.1",              // address without port
             L"local-perms set " + app + L" --permission 1 --port 80",                  // port without address
             L"local-perms set " + app + L" --permission 1 --ip 10.0.0 --port 80",      // three octets
             L"local-perms set " + app + L" --permission 1 --ip 10.0.0.256 --port 80",  // octet too large
             L"local-perms set " + app + L" --permission 1 --ip 10..0.1 --port 80",
             L"local-perms set " + app + L" --permission 1 --ip 10.0.0.1 --port 65536",
             L"local-perms set " + app + L" --permission x",
             L"local-perms delete " + app + L" --ip 10.0.0.1 --port 80",  // only set takes a destination
             L"local-perms list " + app + L" --product",                  // option without value
         }) {
        Outcome run = Tsctl(arguments);
        EXPECT_EQ(run.exitCode, 2u) << WideToUtf8(arguments) << "\n" << run.out;
    }
    EXPECT_TRUE(Contains(Tsctl(L"local-perms list " + app).out, "result: 6")) << "nothing was stored";
}

}  // namespace
}  // namespace tessary::testing
