// The report collector through real HTTP on 127.0.0.1 (the library started
// in-process on an SQLite file), its stored rows, and its log importer.
#include <gtest/gtest.h>
#include <sodium.h>

#include <atomic>
#include <ctime>
#include <mutex>

#include "tests/support/LoopbackHttp.h"
#include "tests/support/TempDir.h"
#include "tools/report-server/LogImport.h"
#include "tools/report-server/ReportServer.h"
#include "tools/report-server/Retention.h"
#include "tools/report-server/SqliteStore.h"

namespace {

std::string ReportText(const std::string& line = "412", const std::string& message = "'12,5x' is not a valid value") {
  return "Type         : EConvertError ( Exception )\r\nUnit         : F_Main\r\nLine         : " + line +
         "\r\nClass        : TfmMain\r\nFunction     : btnNextClick\r\nAddress      : 0x004B2F1C\r\n"
         "Sender Class : TButton.TWinControl\r\nSender Name  : btnNext\r\nMessage      : " +
         message + "\r\nCall Stack   : F_Main::TfmMain.btnNextClick\r\n               Controls::TControl.Click";
}

std::string Body(const std::string& fields, const std::string& text = ReportText()) {
  return "VEK-Report 1\r\nProgram: Image Tool\r\n" + fields + "\r\n" + text + "\r\n";
}

THttpReply Post(int port, const std::string& body, const std::string& headers = "") {
  return RawRequest(port, "POST /reports HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n" + headers + "Connection: close\r\n\r\n" + body);
}

std::string Basic(const std::string& user, const std::string& password) {
  const std::string pair = user + ":" + password;
  std::string out(sodium_base64_encoded_len(pair.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(pair.data()), pair.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  out.pop_back();
  return "Authorization: Basic " + out + "\r\n";
}

// A store whose database can be taken away and given back.
class TFlakyStore final : public IReportStore {
 public:
  explicit TFlakyStore(IReportStore& real) : FReal(real) {}
  std::atomic<bool> Down{false};
  std::vector<TAddResult> Add(const std::vector<TNewReport>& r) override { return Check(), FReal.Add(r); }
  TGroupList Groups(const TGroupQuery& q) override { return Check(), FReal.Groups(q); }
  std::optional<TGroup> Group(std::int64_t id) override { return Check(), FReal.Group(id); }
  std::vector<TDayCount> GroupDays(std::int64_t g, std::int64_t d) override { return Check(), FReal.GroupDays(g, d); }
  std::vector<TStoredReport> GroupReports(std::int64_t g, std::int64_t o, int l) override {
    return Check(), FReal.GroupReports(g, o, l);
  }
  std::optional<TStoredReport> Report(std::int64_t id) override { return Check(), FReal.Report(id); }
  std::vector<std::string> Programs() override { return Check(), FReal.Programs(); }
  std::vector<std::string> Versions() override { return Check(), FReal.Versions(); }
  std::int64_t DeleteReportsBefore(std::int64_t b, int l) override { return Check(), FReal.DeleteReportsBefore(b, l); }

 private:
  void Check() const {
    if (Down) throw EStoreUnavailable("disk full");
  }
  IReportStore& FReal;
};

class ReportServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TUsers::SetPassword(Dir.File("users"), "dev", "correct horse");
    Users = std::make_unique<TUsers>(Dir.File("users"));
    Store = std::make_unique<TSqliteStore>(Dir.File("reports.db"));
    Flaky = std::make_unique<TFlakyStore>(*Store);
    Start({});
  }
  void Start(TReportServerOptions options) {
    Server.reset();
    Server = std::make_unique<TReportServer>(
        *Flaky, Users.get(),
        [this](const std::string& l) {
          std::lock_guard lock(LogMutex);
          Log += l + "\n";
        },
        options);
    Port = Server->Start("127.0.0.1", 0);
  }
  THttpReply Get(const std::string& target, const std::string& auth = Basic("dev", "correct horse")) {
    return HttpGet(Port, target, "", auth);
  }
  std::int64_t Groups() { return Store->Groups({}).Total; }

  TTempDir Dir;
  std::unique_ptr<TUsers> Users;
  std::unique_ptr<TSqliteStore> Store;
  std::unique_ptr<TFlakyStore> Flaky;
  std::mutex LogMutex;
  std::string Log;
  std::unique_ptr<TReportServer> Server;  // after what it uses
  int Port = 0;
};

TEST_F(ReportServerTest, FilesReportsInGroupsOnceByKey) {
  EXPECT_EQ(Post(Port, Body("Version: 2.2.0\r\nKey: k-1\r\n")).Body, "R-1\r\n");
  const THttpReply retry = Post(Port, Body("Version: 2.2.0\r\nKey: k-1\r\n"));
  EXPECT_EQ(retry.Status, 200);
  EXPECT_EQ(retry.Body, "R-1\r\n");
  const THttpReply second = Post(Port, Body("Version: 2.3.0\r\nKey: k-2\r\n"));
  EXPECT_EQ(second.Status, 201);
  EXPECT_EQ(second.Body, "R-2\r\n");
  EXPECT_EQ(second.Header("Location"), "/reports/2");
  EXPECT_EQ(Post(Port, Body("", ReportText("413"))).Body, "R-3\r\n");  // another line: another group

  const TGroupList groups = Store->Groups({TGroupQuery::TOrder::Frequent, "", ""});
  ASSERT_EQ(groups.Total, 2);
  const TGroup& g = groups.Groups[0];
  EXPECT_EQ(std::tie(g.Count, g.Program, g.Type, g.Unit, g.Function, g.Line),
            std::make_tuple(std::int64_t{2}, std::string("Image Tool"), std::string("EConvertError ( Exception )"),
                            std::string("F_Main"), std::string("btnNextClick"), std::string("412")));
  ASSERT_EQ(g.Versions.size(), 2u);
  EXPECT_EQ(Store->GroupDays(g.Id, 0).at(0).Count, 2);
  EXPECT_EQ(Store->Report(1)->Text, ReportText());
}

TEST_F(ReportServerTest, RefusesWhatIsNotAReportAndStoresNothing) {
  struct TCase {
    std::string Request;
    int Status;
    std::string Reason;
  };
  const auto post = [](const std::string& body) {
    return "POST /reports HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  };
  for (const TCase& c : std::vector<TCase>{
           {post(Body("", "Type         : E\r\nUnit         : U\r\nClass        : C\r\n")), 400,
            "Not a report: the report text: line 3: expected \"Line         : \""},
           {post("VEK-Report 2\r\nProgram: P\r\n\r\n" + ReportText()), 400,
            "Not a report: format version 2 is unknown; this server reads version 1"},
           {post("VEK-Report 1\r\nVersion: 1\r\n\r\n" + ReportText()), 400,
            "Not a report: the field \"Program\" is missing"},
           {post(Body("Key: no spaces allowed\r\n")), 400, "Not a report: line 3: Key must be 1 to 128"},
           {"POST /reports HTTP/1.1\r\nHost: x\r\nContent-Length: 300000\r\n\r\n", 413,
            "The report is larger than 256 KiB"},
           {"POST /reports HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", 411,
            "A Content-Length is required"},
           {"GET /reports HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 405, "Reports are sent with POST"},
       }) {
    // No body follows the 413's head: the reply comes without it.
    const THttpReply reply = RawRequest(Port, c.Request);
    EXPECT_EQ(reply.Status, c.Status) << c.Reason;
    EXPECT_TRUE(reply.Body.starts_with(c.Reason)) << reply.Body;
    EXPECT_EQ(reply.Header("X-Content-Type-Options"), "nosniff");
  }
  EXPECT_EQ(Groups(), 0);
}

TEST_F(ReportServerTest, ReadsBytesThatAreNotUtf8AsWindows1252) {
  ASSERT_EQ(Post(Port, Body("", ReportText("1", "Caf\xE9 \x80"))).Status, 201);
  EXPECT_EQ(Store->Report(1)->Text, ReportText("1", "Caf\xC3\xA9 \xE2\x82\xAC"));
}

TEST_F(ReportServerTest, LimitsReportsPerAddressAndRecoversFromTheDatabase) {
  TReportServerOptions options;
  options.ReportsPerMinute = 3;
  options.RetryAfterSeconds = 7;
  Start(options);
  Flaky->Down = true;
  const THttpReply down = Post(Port, Body("Key: a\r\n"));
  EXPECT_EQ(down.Status, 503);
  EXPECT_EQ(down.Header("Retry-After"), "7");
  EXPECT_NE(Log.find("the database is unavailable: disk full"), std::string::npos) << Log;
  EXPECT_EQ(Get("/").Status, 503);
  Flaky->Down = false;
  EXPECT_EQ(Post(Port, Body("Key: a\r\n")).Status, 201);
  EXPECT_EQ(Post(Port, Body("Key: b\r\n")).Status, 201);
  const THttpReply limited = Post(Port, Body("Key: c\r\n"));
  EXPECT_EQ(limited.Status, 429);
  EXPECT_GE(std::stoi(limited.Header("Retry-After")), 1);
  EXPECT_EQ(Store->Groups({}).Groups.at(0).Count, 2);
}

TEST_F(ReportServerTest, PagesNeedALoginAndSlowDownFailedOnes) {
  EXPECT_EQ(Get("/", "").Header("WWW-Authenticate"), "Basic realm=\"VEK reports\", charset=\"UTF-8\"");
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Get("/", Basic("dev", "wrong")).Status, 401);
  const THttpReply slowed = Get("/");
  EXPECT_EQ(slowed.Status, 429);  // even with the right password, for a while
  EXPECT_GE(std::stoi(slowed.Header("Retry-After")), 1);
  EXPECT_EQ(Log.find("wrong"), std::string::npos);
  EXPECT_EQ(Log.find("correct horse"), std::string::npos);
}

TEST_F(ReportServerTest, PagesShowGroupsAndReportsEscaped) {
  TReportServerOptions unlimited;
  unlimited.ReportsPerMinute = 0;
  Start(unlimited);
  const std::string hostile = "<script>alert(1)</script> \"><img src=x onerror=alert(2)>";
  ASSERT_EQ(Post(Port, Body("Version: 2.2.0\r\n", ReportText("7", hostile))).Status, 201);
  for (int i = 0; i < 55; ++i)
    ASSERT_EQ(Post(Port, "VEK-Report 1\r\nProgram: Other\r\n\r\n" + ReportText(std::to_string(100 + i))).Status, 201);

  const THttpReply groups = Get("/?order=frequent&program=Image+Tool&version=2.2.0");
  EXPECT_EQ(groups.Status, 200);
  EXPECT_NE(groups.Header("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
  EXPECT_EQ(groups.Body.find("<script"), std::string::npos);
  EXPECT_NE(groups.Body.find("&lt;script&gt;alert(1)&lt;/script&gt; &quot;&gt;&lt;img"), std::string::npos);
  EXPECT_NE(groups.Body.find("Groups 1–1 of 1"), std::string::npos);
  const THttpReply all = Get("/");
  EXPECT_NE(all.Body.find("Groups 1–50 of 56"), std::string::npos);
  EXPECT_NE(Get("/?page=2").Body.find("Groups 51–56 of 56"), std::string::npos);

  const THttpReply group = Get("/groups/1");
  EXPECT_EQ(group.Body.find("<script"), std::string::npos);
  EXPECT_NE(group.Body.find("data-count=\"1\""), std::string::npos);
  const THttpReply raw = Get("/reports/R-1");
  EXPECT_EQ(raw.Header("Content-Type"), "text/plain; charset=utf-8");
  EXPECT_EQ(raw.Body, ReportText("7", hostile) + "\r\n");
  EXPECT_EQ(Get("/groups/999").Status, 404);
}

TEST(ReportRetention, DeletesOldReportsAndKeepsTheCounts) {
  TTempDir dir;
  TSqliteStore store(dir.File("reports.db"));
  const std::int64_t now = 400LL * 86400;
  TNewReport report{"P", "1", "", "", "E", "U", "C", "F", "1", "m", "text", now - 200 * 86400};
  store.Add({report, report});
  report.Received = now - 10 * 86400;
  store.Add({report});
  EXPECT_EQ(TRetention::DeleteExpired(store, 180, now), 2);
  const std::optional<TGroup> group = store.Group(1);
  EXPECT_EQ(group->Count, 3);
  EXPECT_EQ(store.GroupReports(1, 0, 10).size(), 1u);
}

// --- the log importer

// A log entry as the log writes it: its further lines indented by its prefix.
std::string Entry(const std::string& prefix, const std::string& text) {
  std::string entry = prefix;
  for (std::size_t at = 0, next; at <= text.size(); at = next + 2) {
    next = std::min(text.find("\r\n", at), text.size());
    entry += (at == 0 ? "" : std::string(prefix.size(), ' ')) + text.substr(at, next - at) + "\r\n";
  }
  return entry;
}

const std::string Crash = Entry("# 9 Dec 2026 02:12:51 [ EXCEPT ] ", ReportText("43", "two\r\n               lines"));
const std::string SampleLog =
    "# ------\r\n# START LOGGING : Image Tool at 9 Dec 2026 02:12:50\r\n# \r\n"
    "# 9 Dec 2026 02:12:50 [ INFO   ] started\r\n" +
    Crash + "# 9 Dec 2026 02:12:52 [ EXCEPT ] Type         : cut short\r\n";

TEST(ReportLogImport, FindsEachExceptEntryWithItsProgramAndAStableKey) {
  const TLogScan scan = ScanLogForReports(SampleLog + Crash);
  ASSERT_EQ(scan.Reports.size(), 2u);
  ASSERT_EQ(scan.Problems.size(), 1u);
  EXPECT_EQ(scan.Problems[0], "line 17: the report ends before its line \"Unit         : \"");
  const TLoggedReport& r = scan.Reports[0];
  EXPECT_EQ(r.Program, "Image Tool");
  EXPECT_EQ(r.Fields.Message, "two\nlines");
  EXPECT_EQ(r.Fields.Line, "43");
  EXPECT_EQ(r.Time, 20796LL * 86400 + 2 * 3600 + 12 * 60 + 51);
  EXPECT_NE(r.Key, scan.Reports[1].Key);  // the same entry twice in one log is two reports
  EXPECT_EQ(ScanLogForReports(SampleLog).Reports.at(0).Key, r.Key);
}

TEST(ReportLogImport, ReadsTheLocalesTimeStamps) {
  const std::int64_t day = 20796LL * 86400;  // 2026-12-09
  for (const auto& [stamp, seconds] : std::vector<std::pair<std::string, std::optional<std::int64_t>>>{
           {"09/12/2026 23:41:40", day + 85300},
           {"12/13/26 11:41:40 PM", day + 4 * 86400 + 85300},
           {"12/09/2026 23:41:40", 20708LL * 86400 + 85300},
           {"2026-12-09 23:41", day + 85260},
           {"09.12.2026 00:00:00", day},
           {"Dec 9, 2026 1:00:00 AM", day + 3600},
           {"31/02/2026 10:00:00", std::nullopt},
           {"09/12/2026", std::nullopt},
           {"yesterday 10:00", std::nullopt},
       })
    EXPECT_EQ(ReadLogStamp(stamp), seconds) << stamp;
}

}  // namespace
