#include "Logging/log_builder.h"

#include <windows.h>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "Logging/logging.h"
#include "Logging/logstream.h"
#include "platform/paths.h"
#include "platform/platform_log.h"
#include "platform/product_registry.h"
#include "platform/registry.h"
#include "tests/support/temp_dir.h"

TS_DEFINE_LOGSTREAM(L"QnTessarySharedPerms")

namespace tessary::ETWLogging {
namespace {

using testing::ReadLogText;

void DeleteFolderFiles(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            ::DeleteFileW((folder + L"\\" + data.cFileName).c_str());
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    ::RemoveDirectoryW(folder.c_str());
}

// The process logger exists once per process: every test here shares it.
class ProcessLoggerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        logger_ = CDefaultLogBuilder(kLogGroup, nullptr, true).GetLogger();
        CLogging* file = static_cast<CLogging*>(logger_->QueryLogger(LoggingMechanism::kFile));
        ASSERT_NE(file, nullptr);
        logFile_ = file->LogFilePath(0);
        directory_ = file->LogDirectory();
        file->Release();
    }
    static void TearDownTestSuite() { DeleteFolderFiles(directory_); }
    void SetUp() override { ::DeleteFileW(logFile_.c_str()); }

    static CLoggingIf* logger_;
    static std::wstring logFile_;
    static std::wstring directory_;
};
CLoggingIf* ProcessLoggerTest::logger_ = nullptr;
std::wstring ProcessLoggerTest::logFile_;
std::wstring ProcessLoggerTest::directory_;

TEST_F(ProcessLoggerTest, IsCreatedOnceWithTheGroupAndTheExecutable) {
    EXPECT_EQ(ProcessLogger(), logger_);
    EXPECT_EQ(CDefaultLogBuilder(L"Other", nullptr, false).GetLogger(), logger_);
    EXPECT_EQ(logger_->QueryLogger(LoggingMechanism::kEventTracing), nullptr);
    EXPECT_NE(directory_.find(L"\\QNLOGS\\TSAPI\\Logging_log_builder_test"), std::wstring::npos) << directory_;
    EXPECT_NE(PlatformLogHandler(), nullptr);
}

TEST_F(ProcessLoggerTest, PrintfFrontEndWritesOnlyEnabledSeverities) {
    TS_LOG(kSeverityInformation, L"TSUpdChk", L"*** %s was launched", L"C:\\x\\TSUpdChk.exe");
    int evaluated = 0;
    TS_LOG(kSeverityNormal, L"TSUpdChk", L"%d", ++evaluated);
    EXPECT_EQ(evaluated, 0);  // arguments of a disabled line are not evaluated
    const std::wstring text = ReadLogText(logFile_);
    EXPECT_NE(text.find(L"$ *** C:\\x\\TSUpdChk.exe was launched\r\n"), std::wstring::npos) << text;
    EXPECT_EQ(text.find(L"(Normal)"), std::wstring::npos);
}

TEST_F(ProcessLoggerTest, StreamStatementBecomesOneLine) {
    TS_SLOG(kSeverityError) << L"open failed: " << 5 << L" size " << 0x123456789ull << L" " << std::hex << 255;
    TS_SLOG(kSeverityError) << L"next " << 255;  // formatting state does not leak
    TS_SLOG(kSeverityNormal) << L"below threshold";
    const std::wstring text = ReadLogText(logFile_);
    EXPECT_NE(text.find(L"(Error)$ [Logging_log_bui]$ open failed: 5 size 4886718345 ff\r\n"), std::wstring::npos)
        << text;
    EXPECT_NE(text.find(L"next 255\r\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L"below threshold"), std::wstring::npos);
    EXPECT_EQ(TsFileLogStream().SourceFile(), L"QnTessarySharedPerms");
}

TEST_F(ProcessLoggerTest, ConcurrentStreamStatementsStayWhole) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 50; ++i) TS_SLOG(kSeverityError) << L"<" << t << L"|" << i << L"|" << t << L">";
        });
    }
    for (std::thread& t : threads) t.join();
    const std::wstring text = ReadLogText(logFile_);
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 50; ++i) {
            const std::wstring body =
                L"<" + std::to_wstring(t) + L"|" + std::to_wstring(i) + L"|" + std::to_wstring(t) + L">\r\n";
            EXPECT_NE(text.find(body), std::wstring::npos) << "missing " << t << " " << i;
        }
    }
}

TEST_F(ProcessLoggerTest, PlatformMessagesMapKindsToSeverities) {
    EXPECT_EQ(CPlinthLogHandler::SeverityForKind(0), 1u);
    EXPECT_EQ(CPlinthLogHandler::SeverityForKind(1), 1u);
    EXPECT_EQ(CPlinthLogHandler::SeverityForKind(2), 4u);
    EXPECT_EQ(CPlinthLogHandler::SeverityForKind(3), 2u);
    EXPECT_EQ(CPlinthLogHandler::SeverityForKind(-1), 2u);
    EXPECT_EQ(CPlinthLogHandler::OnMessage(2, L"Plinth", L"RegOpen", 9, L"key 100% missing"), kLogSuccess);
    EXPECT_EQ(CPlinthLogHandler::OnMessage(0, L"Plinth", L"RegOpen", 9, L"quiet"), kLogSuccess);
    EXPECT_EQ(CPlinthLogHandler::OnMessage(2, L"Plinth", L"RegOpen", 9, nullptr), kLogSuccess);
    const std::wstring text = ReadLogText(logFile_);
    EXPECT_NE(text.find(L"(Error)$ [Logging_log_bui]$ key 100% missing\r\n"), std::wstring::npos) << text;
    EXPECT_EQ(text.find(L"quiet"), std::wstring::npos);
}

// Platform code has no logger of its own: its failures reach the process logger
// through the installed sink, with the reason, at severity 2.
TEST_F(ProcessLoggerTest, PlatformFailuresAndSwallowedExceptionsReachTheLoggerWithTheirReason) {
    const DWORD saved = logger_->GetSeverity();
    logger_->SetSeverity(kSeverityWarning);
    const uint8_t garbage[] = {1, 2, 3};
    ASSERT_TRUE(registry::WriteBinary(HKEY_LOCAL_MACHINE, keys::kLogging, L"TamperedProbe", garbage, sizeof(garbage)));
    DWORD value = 7;
    EXPECT_FALSE(registry::ReadProtectedDword(HKEY_LOCAL_MACHINE, keys::kLogging, L"TamperedProbe", &value));
    registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kLogging, L"TamperedProbe");

    testing::ScopedTempDir dir;
    const std::wstring file = dir.path() + L"\\plain";
    ASSERT_TRUE(testing::WriteFileBytes(file, "x"));
    EXPECT_FALSE(CreateDirectoryTree(file + L"\\below", DirectoryCreation::kShell));

    // A swallowed exception is logged once, with what was being done and why it stopped.
    try {
        throw std::bad_alloc();
    } catch (...) {
        TS_LOG_CAUGHT(L"Probe", L"Building the probe");
    }
    try {
        throw std::runtime_error("disk on fire");
    } catch (...) {
        TS_LOG_CAUGHT(L"Probe", L"Writing the probe");
    }
    TS_LOG_CAUGHT(L"Probe", L"Outside a handler");

    // The reporting keeps the failing call's last error for its caller.
    ::SetLastError(1234);
    PLATFORM_REPORT(platform_log::kWarning, L"probe %s %d", L"text", 5);
    EXPECT_EQ(::GetLastError(), 1234u);
    logger_->SetSeverity(saved);
    PLATFORM_REPORT(platform_log::kWarning, L"below the threshold");

    const std::wstring text = ReadLogText(logFile_);
    EXPECT_NE(text.find(L"(Warning)$ [Logging_log_bui]$ Protected registry value TamperedProbe of "
                        L"SOFTWARE\\Quellon\\Logging is unreadable; it counts as absent.\r\n"),
              std::wstring::npos)
        << text;
    EXPECT_NE(text.find(L"Cannot create directory " + file + L"\\below: error "), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"probe text 5\r\n"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Building the probe abandoned: out of memory.\r\n"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Writing the probe abandoned: disk on fire.\r\n"), std::wstring::npos) << text;
    EXPECT_NE(text.find(L"Outside a handler abandoned: an exception of unknown type.\r\n"), std::wstring::npos) << text;
    EXPECT_EQ(text.find(L"below the threshold"), std::wstring::npos) << text;
}

TEST(LoggingMechanismTest, OnlyAProtectedOneChoosesTheFileLogger) {
    registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism);
    EXPECT_EQ(CDefaultLogBuilder::ConfiguredMechanism(), LoggingMechanism::kEventTracing);
    ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, 1));
    EXPECT_EQ(CDefaultLogBuilder::ConfiguredMechanism(), LoggingMechanism::kFile);
    ASSERT_TRUE(registry::WriteProtectedDword(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, 2));
    EXPECT_EQ(CDefaultLogBuilder::ConfiguredMechanism(), LoggingMechanism::kEventTracing);
    ASSERT_TRUE(registry::WriteDword(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism, 1));
    EXPECT_EQ(CDefaultLogBuilder::ConfiguredMechanism(), LoggingMechanism::kEventTracing);
    registry::DeleteValue(HKEY_LOCAL_MACHINE, keys::kLogging, keys::kLoggingMechanism);
}

}  // namespace
}  // namespace tessary::ETWLogging
