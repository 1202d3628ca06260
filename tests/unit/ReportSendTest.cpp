// Sending a report to the maker's collector: the real vek-report-server on
// SQLite (a child on loopback), a server that never answers and a closed
// port; what the user reads after each; the collector's replies as outside
// text; the crash reports kept for a later start in a folder of the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/U_VEK_PendingReports.h"
#include "diag/U_VEK_Report.h"
#include "tests/support/FaultServer.h"
#include "tests/support/LoopbackHttp.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tools/report-server/Users.h"

namespace fs = std::filesystem;

namespace {

[[maybe_unused]] const bool NoProxy = [] {
  ::setenv("no_proxy", "*", 1);
  return true;
}();

const std::string SampleText =
    "Type         : EConvertError ( Exception )\r\nUnit         : VekDemo\r\nLine         : 168\r\n"
    "Class        : TfmVekDemo\r\nFunction     : btnConversionErrorClick\r\nAddress      : 0x0000559338314C69\r\n"
    "Sender Class : QPushButton > QAbstractButton > QWidget > QObject\r\nSender Name  : btnConversionError\r\n"
    "Message      : '12 pieces' is not a valid integer value\r\nCall Stack   : "
    "VekDemo::TfmVekDemo.btnConversionErrorClick\r\n"
    "               VekDemo::main";

TVEKReport Report(const std::string& Text = SampleText) {
  return {"vek-demo", "1.0.0", "gnu-build-id:5f5f0c38", NewVEKReportKey(), Text};
}

class ReportSendTest : public ::testing::Test {
 protected:
  // A collector on SQLite with the developer "dev", and its extra options.
  std::unique_ptr<TServerChild> Collector(const std::vector<std::string>& Options = {}) {
    const std::string name = "c" + std::to_string(Count++);
    TUsers::SetPassword(Dir.File("users"), "dev", "password");
    std::vector<std::string> argv{REPORT_SERVER_EXE, "--port",         "0", "--database", Dir.File(name + ".db"),
                                  "--users",         Dir.File("users")};
    argv.insert(argv.end(), Options.begin(), Options.end());
    auto child = std::make_unique<TServerChild>(argv, Dir.File(name + ".txt"));
    EXPECT_TRUE(child->Started()) << child->Output();
    return child;
  }
  TTempDir Dir;
  int Count = 0;
};

TEST_F(ReportSendTest, AReportIsFiledAsShownAndOnceHoweverOftenItIsSent) {
  const auto collector = Collector();
  const TVEKReport report = Report();
  TVEKReportSender sender;
  // A retry carries the same key: the collector files the report once.
  for (int i = 0; i < 2; ++i) {
    const TVEKSendResult result = sender.Send(collector->Url(), report, {});
    EXPECT_EQ(VEKSendResultText(result), "The report was sent. Its reference is R-1.");
  }
  EXPECT_EQ(VEKSendResultText(sender.Send(collector->Url(), Report(), {})),
            "The report was sent. Its reference is R-2.");
  const THttpReply filed = HttpGet(collector->Port(), "/reports/R-1", "", "Authorization: Basic ZGV2OnBhc3N3b3Jk\r\n");
  EXPECT_EQ(filed.Status, 200);
  EXPECT_NE(filed.Body.find(SampleText), std::string::npos) << filed.Body;
}

TEST_F(ReportSendTest, EveryFailureEndsInAClearMessage) {
  const auto collector = Collector({"--reports-per-minute", "1"});
  TFaultServer silent;
  silent.Silent("/reports");
  struct TRow {
    const char* Name;
    std::string Server;
    std::string Text;
    TVEKSendOutcome Outcome;
    std::string Expected;
  };
  const TRow rows[] = {
      {"filed", collector->Url(), SampleText, TVEKSendOutcome::Sent, "The report was sent. Its reference is R-1."},
      {"too many", collector->Url(), SampleText, TVEKSendOutcome::TooMany,
       "The report was not sent: the collector has taken too many reports from this computer lately. Try again "
       "later."},
      {"down", "http://127.0.0.1:" + std::to_string(TFaultServer::ClosedPort()) + "/", SampleText,
       TVEKSendOutcome::NoAnswer,
       "The report was not sent: the collector did not answer (Couldn't connect to server)."},
      {"slow", silent.BaseUrl(), SampleText, TVEKSendOutcome::NoAnswer,
       "The report was not sent: the collector did not answer (no answer within 1 second)."},
      {"no such address", "ftp://127.0.0.1/", SampleText, TVEKSendOutcome::NoAnswer,
       "The report was not sent: the collector did not answer (only http:// and https:// URLs can be opened)."},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TVEKReportSender sender;
    sender.BoundMs = 1000;
    const TVEKSendResult result = sender.Send(row.Server, Report(row.Text), {});
    EXPECT_EQ(result.Outcome, row.Outcome);
    EXPECT_EQ(VEKSendResultText(result), row.Expected);
  }
  // Refusals from a collector that takes any number.
  const auto open = Collector();
  const std::pair<std::string, std::string> refusals[] = {
      {std::string(300 * 1024, 'x'), "HTTP 413: The report is larger than 256 KiB"},
      {"not a report", "HTTP 400: Not a report: the report text: line 1: expected \"Type         : \""},
  };
  for (const auto& [text, reason] : refusals) {
    TVEKReportSender sender;
    EXPECT_EQ(VEKSendResultText(sender.Send(open->Url(), Report(text), {})),
              "The report was not sent: the collector refused it (" + reason + ").");
  }
}

TEST(ReportReply, OnlyAWellFormedReferenceIsTakenAndReasonsAreBounded) {
  struct TRow {
    long Status;
    std::string Body;
    TVEKSendOutcome Outcome;
    std::string Reference;
    std::string Reason;
  };
  const TRow rows[] = {
      {201, "R-1234\r\n", TVEKSendOutcome::Sent, "R-1234", ""},
      {200, "  R-7", TVEKSendOutcome::Sent, "R-7", ""},  // filed before under the key
      {201, "R-12x\r\n", TVEKSendOutcome::Sent, "", ""},
      {201, "R-1234567890123456789", TVEKSendOutcome::Sent, "", ""},  // 19 digits
      {413, "The report is larger than 256 KiB\r\n", TVEKSendOutcome::Refused, "",
       "HTTP 413: The report is larger than 256 KiB"},
      {400, "a\x01\x1b[2Jb\tc\r\nsecond line", TVEKSendOutcome::Refused, "", "HTTP 400: a  [2Jb c"},
      {418, std::string(300, 'x'), TVEKSendOutcome::Refused, "", "HTTP 418: " + std::string(200, 'x')},
      {400, "\xe9t\xe9", TVEKSendOutcome::Refused, "", "HTTP 400: \xc3\xa9t\xc3\xa9"},  // Windows-1252
      {429, "Too many reports from this address; send again later\r\n", TVEKSendOutcome::TooMany, "",
       "Too many reports from this address; send again later"},
      {503, "The report database is unavailable; send the report again later\r\n", TVEKSendOutcome::Unavailable, "",
       "The report database is unavailable; send the report again later"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Body.substr(0, 40));
    const TVEKSendResult result = VEKSendResultOf(row.Status, row.Body);
    EXPECT_EQ(result.Outcome, row.Outcome);
    EXPECT_EQ(result.Reference, row.Reference);
    EXPECT_EQ(result.Reason, row.Reason);
  }
  EXPECT_EQ(VEKSendResultText(VEKSendResultOf(503, "")),
            "The report was not sent: the collector cannot take reports now. Try again later.");
}

// ---------------------------------------------------------------------------
// Pending crash reports

class PendingReportsTest : public ::testing::Test {
 protected:
  void TearDown() override { StopCrashReports(); }
  // A pending report's file as a crash at Seconds of process 42 leaves it.
  std::string Pending(const std::string& Program, std::uint64_t Seconds, const std::string& Content) {
    char digits[21];
    std::snprintf(digits, sizeof digits, "%020llu", static_cast<unsigned long long>(Seconds));
    fs::create_directories(Folder);
    return Dir.Write("pending/" + Program + "." + digits + ".42.vekreport", Content);
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TTempDir Dir;
  std::string Folder = Dir.File("pending");
};

TEST_F(PendingReportsTest, AtMostTwentyOfAProgramAreKeptTheOldestDropped) {
  const std::string body = VEKReportBody(Report());
  for (std::uint64_t s = 1; s <= 25; ++s) Pending("Demo", s, body);
  const std::string other = Pending("Other", 1, body);
  ASSERT_TRUE(PrepareCrashReports(Folder, "Demo", Report("")));
  ASSERT_TRUE(KeepCrashReport(SampleText));
  const auto reports = PendingReports(Folder, "Demo");
  ASSERT_EQ(reports.size(), 20u);
  EXPECT_EQ(reports.front().Time, 7);  // 1 to 6 dropped
  EXPECT_EQ(reports.back().Report.Text, SampleText);
  EXPECT_TRUE(fs::exists(other));  // another program's
}

TEST_F(PendingReportsTest, TheListingDropsWhatIsNoPendingReportOfTheProgram) {
  const std::string body = VEKReportBody(Report());
  Pending("Demo", 3, body);
  Pending("Demo", 2, body);
  Pending("Demo", 4, "VEK-Report 1\r\nProgram: Demo\r\n\r\n" + SampleText);  // no key: dropped
  Dir.Write("pending/.Demo.00000000000000000005.42.vekreport.tmp", body);    // a write cut short: dropped
  Dir.Write("pending/Demo.5.42.vekreport", body);                            // not the name of one: kept
  Pending("Other", 1, "garbage");                                            // not this program's: kept
  const auto reports = PendingReports(Folder, "Demo");
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].Time, 2);
  EXPECT_EQ(reports[1].Time, 3);
  RemovePendingReport(reports[0]);
  EXPECT_EQ(Files(), (std::vector<std::string>{"Demo.00000000000000000003.42.vekreport", "Demo.5.42.vekreport",
                                               "Other.00000000000000000001.42.vekreport"}));
}

TEST(PendingReportParse, TakesOnlyAReportWithItsKey) {
  const std::string text = "Type         : E\r\nMessage      : m";
  std::string fields;
  for (int i = 0; i < 40; ++i) fields += "Later: x\r\n";
  struct TRow {
    const char* Name;
    std::string Content;
    bool Taken;
  };
  const TRow rows[] = {
      {"whole", "VEK-Report 1\r\nProgram: Demo\r\nVersion: 1.0\r\nKey: k-1\r\n\r\n" + text + "\r\n", true},
      {"LF line ends, unknown field", "VEK-Report 1\nProgram: Demo\nLater: x\nKey: k\n\n" + text, true},
      {"no key", "VEK-Report 1\r\nProgram: Demo\r\n\r\n" + text, false},
      {"another version", "VEK-Report 2\r\nProgram: Demo\r\nKey: k\r\n\r\n" + text, false},
      {"no text", "VEK-Report 1\r\nProgram: Demo\r\nKey: k\r\n\r\n\r\n", false},
      {"a key of blanks", "VEK-Report 1\r\nProgram: Demo\r\nKey: a b\r\n\r\n" + text, false},
      {"a control character", "VEK-Report 1\r\nProgram: De\x1bmo\r\nKey: k\r\n\r\n" + text, false},
      {"a NUL byte", "VEK-Report 1\r\nProgram: Demo\r\nKey: k\r\n\r\n" + std::string(1, '\0') + text, false},
      {"endless fields", "VEK-Report 1\r\nProgram: Demo\r\nKey: k\r\n" + fields + "\r\n" + text, false},
      {"too large", "VEK-Report 1\r\nProgram: Demo\r\nKey: k\r\n\r\n" + std::string(MaxPendingReportBytes, 'x'), false},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const auto report = ParsePendingReport(row.Content);
    EXPECT_EQ(report.has_value(), row.Taken);
    if (report) {
      EXPECT_EQ(report->Text, text);
    }
  }
}

}  // namespace
