#include "component/usage_stats.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "component/app_lookup.h"
#include "component/file_identity.h"
#include "component/local_perms.h"
#include "component/shared_perms.h"
#include "component/shared_perms_db.h"
#include "tests/component/perms_test_support.h"
#include "tests/support/temp_dir.h"

namespace tessary {
namespace {

using testing::UsageReports;
using testing::WaitForReports;

TEST(StatisticsSampleTest, FollowsTheRangeFormula) {
    // 10 percent: range 1000, chosen while r / 32767 * 1000 + 1 stays at most 100.
    EXPECT_TRUE(StatisticsSampleChosen(10, 0));
    EXPECT_TRUE(StatisticsSampleChosen(10, 3276));
    EXPECT_FALSE(StatisticsSampleChosen(10, 3277));
    EXPECT_FALSE(StatisticsSampleChosen(10, 32767));
    // 100 percent: everything but the very top draw.
    EXPECT_TRUE(StatisticsSampleChosen(100, 32766));
    EXPECT_FALSE(StatisticsSampleChosen(100, 32767));
    // Above 100 the range is below 100 and every draw goes.
    EXPECT_TRUE(StatisticsSampleChosen(400, 32767));
    EXPECT_FALSE(StatisticsSampleChosen(0, 0));
    EXPECT_FALSE(StatisticsSampleChosen(-5, 0));
}

TEST(StatisticsSampleTest, DefaultPercentagePicksAboutOneInTen) {
    int chosen = 0;
    for (int r = 0; r <= 32767; ++r) chosen += StatisticsSampleChosen(10, r);
    EXPECT_EQ(chosen, 3277);
}

class UsageStatsTest : public testing::PermsEmulatorTest {
protected:
    static AppRecord Unknown() {
        AppRecord record = BuildFromPath(L"C:\\Stats\\App.exe");
        record.md5 = "0123456789ABCDEF0123456789ABCDEF";
        return record;
    }
};

TEST_F(UsageStatsTest, GoNoGoOneReportsEveryDecisionWithItsData) {
    GoNoGo(1);
    const AppRecord record = Unknown();
    SubmitUsageStatistics(record, 1, 5, 6, 0x0100007F, 8080);
    SubmitUsageStatistics(record, 3, 7, 8, 0, 0);
    ASSERT_TRUE(WaitForReports());
    const auto reports = UsageReports(emulator_);
    ASSERT_EQ(reports.size(), 2u);
    int withDestination = 0;
    for (const std::string& report : reports) {
        EXPECT_NE(report.find("[hash]=0123456789ABCDEF0123456789ABCDEF"), std::string::npos) << report;
        if (report.find("||[stat]=1||[prod]=5||[feat]=6||[ip]=16777343||[port]=8080") != std::string::npos) {
            ++withDestination;
        } else {
            EXPECT_NE(report.find("||[stat]=0||[prod]=7||[feat]=8"), std::string::npos) << report;
            EXPECT_EQ(report.find("[ip]="), std::string::npos) << report;
        }
    }
    EXPECT_EQ(withDestination, 1);
}

TEST_F(UsageStatsTest, GoNoGoTwoAndAZeroPercentageSendNothing) {
    const UsageStatisticsCounters before = UsageStatisticsCount();
    GoNoGo(2);
    SubmitUsageStatistics(Unknown(), 1, 5, 6, 0, 0);
    GoNoGo(1);
    LocalStore("INSERT INTO Settings VALUES('StatPercent','0');");
    SubmitUsageStatistics(Unknown(), 1, 5, 6, 0, 0);
    ASSERT_TRUE(WaitForReports());
    EXPECT_EQ(UsageStatisticsCount().started, before.started);
    EXPECT_TRUE(UsageReports(emulator_).empty());
}

TEST_F(UsageStatsTest, ConsentZeroStopsAReportTheSampleChose) {
    GoNoGo(1);
    Consent(0);
    const UsageStatisticsCounters before = UsageStatisticsCount();
    SubmitUsageStatistics(Unknown(), 1, 5, 6, 0, 0);
    ASSERT_TRUE(WaitForReports());
    EXPECT_EQ(UsageStatisticsCount().started, before.started + 1);
    EXPECT_EQ(UsageStatisticsCount().sent, before.sent);
    EXPECT_TRUE(UsageReports(emulator_).empty());
    // Any other consent value lets the report go.
    Consent(7);
    SubmitUsageStatistics(Unknown(), 1, 5, 6, 0, 0);
    ASSERT_TRUE(WaitForReports());
    EXPECT_EQ(UsageReports(emulator_).size(), 1u);
}

TEST_F(UsageStatsTest, ReportOutlivesTheReleasedDetailsObject) {
    GoNoGo(1);
    // The answer is held back so the report is still on its way when the object goes.
    ASSERT_TRUE(emulator_.Script("{\"match\": {\"endpoint\": \"query\"}, \"delay_ms\": 1000}"));
    std::unique_ptr<ApplicationDetails> details;
    LONG result = 99;
    ASSERT_EQ(ApplicationEntry::GetApplicationDetails(L"C:\\Stats\\Released.exe", L"00112233445566778899AABBCCDDEEFF",
                                                      1, &details, &result),
              S_OK);
    ASSERT_TRUE(details && details->record());
    const UsageStatisticsCounters before = UsageStatisticsCount();
    ASSERT_EQ(SetLocalPermission(details->record(), {5, 6, 1}, false, 0, 0, &result), S_OK);
    ASSERT_EQ(result, 0);
    // Released while the report waits for its answer.
    details.reset();
    EXPECT_EQ(UsageStatisticsCount().started, before.started + 1);

    ASSERT_TRUE(WaitForReports());
    const auto reports = UsageReports(emulator_);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("[hash]=00112233445566778899AABBCCDDEEFF"), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("[exe]=Released.exe"), std::string::npos) << reports[0];
    EXPECT_NE(reports[0].find("||[stat]=1||[prod]=5||[feat]=6"), std::string::npos) << reports[0];
}

TEST_F(UsageStatsTest, BatchOfSixtyNewRecordsReportsAtMostFifty) {
    GoNoGo(1);
    testing::ScopedTempDir dir;
    std::vector<tagQNTS_LOCAL_APP_PERMISSION> records;
    for (int i = 0; i < 60; ++i) {
        const std::wstring path = dir.File(L"app" + std::to_wstring(i) + L".exe");
        ASSERT_TRUE(testing::WriteFileBytes(path, "program " + std::to_string(i)));
        records.push_back(MakeSharedRecord(0, 3, 4, 1, path, L"0123456789ABCDEF0123456789ABCDEF"));
    }
    // A record without a path is skipped and not counted.
    records.insert(records.begin(), MakeSharedRecord(0, 3, 4, 1, L"", L"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"));
    LONG result = 99;
    ASSERT_EQ(SharedPermissions::SetPermissions(records.data(), ULONG(records.size()), &result), S_OK);
    ASSERT_EQ(result, 0);
    ASSERT_TRUE(WaitForReports());
    const auto reports = UsageReports(emulator_);
    EXPECT_EQ(reports.size(), 50u);
    // The reports are of the first fifty files, each once.
    std::set<int> files;
    for (const std::string& report : reports) {
        EXPECT_NE(report.find("||[stat]=1||[prod]=3||[feat]=4"), std::string::npos) << report;
        const size_t at = report.find("[exe]=app");
        ASSERT_NE(at, std::string::npos) << report;
        files.insert(std::stoi(report.substr(at + 9)));
    }
    EXPECT_EQ(files.size(), 50u);
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(*files.rbegin(), 49);
    EXPECT_EQ(SharedRowCount(), 61);
}

}  // namespace
}  // namespace tessary
