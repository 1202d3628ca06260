// vek-report-server as the maker runs it: the program as a child process on
// an SQLite file and on a PostgreSQL server of the test's own, killed in the
// middle of a stream, two of them on one database, the database gone and
// back, and logs imported twice.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <map>
#include <mutex>
#include <thread>

#include "tests/support/LoopbackHttp.h"
#include "tests/support/PostgresProcess.h"
#include "tests/support/Process.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tools/report-server/OpenStore.h"
#include "tools/report-server/Users.h"

namespace {

std::string Report(const std::string& key, const std::string& line) {
  return "VEK-Report 1\r\nProgram: Image Tool\r\nVersion: 2.2.0\r\nKey: " + key +
         "\r\n\r\nType         : EConvertError ( Exception )\r\nUnit         : F_Main\r\nLine         : " + line +
         "\r\nClass        : TfmMain\r\nFunction     : btnNextClick\r\nAddress      : 0x1\r\n"
         "Sender Class : <N/A>\r\nSender Name  : <N/A>\r\nMessage      : sent as " +
         key + "\r\nCall Stack   : F_Main::TfmMain.btnNextClick\r\n";
}

std::unique_ptr<TServerChild> StartCollector(const TTempDir& dir, const std::string& database,
                                             const std::string& name) {
  if (!std::filesystem::exists(dir.File("users"))) TUsers::SetPassword(dir.File("users"), "dev", "correct horse");
  return std::make_unique<TServerChild>(
      std::vector<std::string>{REPORT_SERVER_EXE, "--port", "0", "--database", database, "--users", dir.File("users"),
                               "--reports-per-minute", "0"},
      dir.File(name + ".txt"));
}

// Sends reports on one kept-alive connection until `stop`, the server's end
// or `count` reports; records each acknowledged key with its reference.
void Stream(int port, const std::string& prefix, int count, const std::atomic<bool>& stop,
            std::map<std::string, std::int64_t>& acked, std::mutex& mutex) {
  std::unique_ptr<TLoopbackConnection> connection;
  for (int i = 0; i < count && !stop; ++i) {
    if (!connection) connection = std::make_unique<TLoopbackConnection>(port);
    const std::string key = prefix + "-" + std::to_string(i);
    const std::string body = Report(key, std::to_string(i % 8));
    if (!connection->Send("POST /reports HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\n\r\n" + body))
      return;
    const std::optional<THttpReply> reply = connection->ReadReply();
    if (!reply) return;
    if (reply->Status == 201 || reply->Status == 200) {
      std::lock_guard lock(mutex);
      acked[key] = std::stoll(reply->Body.substr(2));
    }
  }
}

// Every acknowledged key is stored under its reference.
void ExpectStored(const std::string& database, const std::map<std::string, std::int64_t>& acked) {
  const std::unique_ptr<IReportStore> store = OpenReportStore(database);
  for (const auto& [key, id] : acked) {
    const std::optional<TStoredReport> report = store->Report(id);
    ASSERT_TRUE(report) << key << " acknowledged as R-" << id << " is not stored";
    EXPECT_NE(report->Text.find("sent as " + key + "\r\n"), std::string::npos) << key;
  }
}

class ReportKillTest : public ::testing::TestWithParam<bool> {};

TEST_P(ReportKillTest, KilledServerLosesNoAcknowledgedReport) {
  TTempDir dir;
  std::unique_ptr<TPostgresServer> postgres;
  std::string database = dir.File("reports.db");
  if (GetParam()) {
    postgres = std::make_unique<TPostgresServer>();
    ASSERT_TRUE(postgres->Started()) << postgres->Problem();
    database = postgres->Url();
  }
  const std::unique_ptr<TServerChild> server = StartCollector(dir, database, "server");
  ASSERT_TRUE(server->Started()) << server->Output();
  std::atomic<bool> stop{false};
  std::map<std::string, std::int64_t> acked;
  std::mutex mutex;
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t)
    senders.emplace_back([&, t] { Stream(server->Port(), "s" + std::to_string(t), 1000000, stop, acked, mutex); });
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::lock_guard lock(mutex);
        return acked.size() >= 200;
      },
      std::chrono::seconds(60)));
  server->Process().Signal(SIGKILL);
  EXPECT_EQ(server->Process().Wait(std::chrono::seconds(10)), -SIGKILL);
  stop = true;
  for (std::thread& s : senders) s.join();
  ExpectStored(database, acked);
}

INSTANTIATE_TEST_SUITE_P(Databases, ReportKillTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

TEST(ReportPostgres, TwoServersOnOneDatabaseLoseNoCount) {
  TPostgresServer postgres;
  ASSERT_TRUE(postgres.Started()) << postgres.Problem();
  TTempDir dir;
  const std::unique_ptr<TServerChild> first = StartCollector(dir, postgres.Url(), "first");
  const std::unique_ptr<TServerChild> second = StartCollector(dir, postgres.Url(), "second");
  ASSERT_TRUE(first->Started() && second->Started()) << first->Output() << second->Output();
  // Four senders a server, the same keys to both: every key once, every
  // group's counters as many as its keys.
  std::atomic<bool> stop{false};
  std::map<std::string, std::int64_t> acked;
  std::mutex mutex;
  std::vector<std::thread> senders;
  for (int t = 0; t < 8; ++t)
    senders.emplace_back(
        [&, t] { Stream((t % 2 ? first : second)->Port(), "k" + std::to_string(t / 2), 150, stop, acked, mutex); });
  for (std::thread& s : senders) s.join();
  ASSERT_EQ(acked.size(), 4u * 150u);
  ExpectStored(postgres.Url(), acked);
  const std::unique_ptr<IReportStore> store = OpenReportStore(postgres.Url());
  TGroupQuery query;
  const TGroupList groups = store->Groups(query);
  ASSERT_EQ(groups.Total, 8);
  for (const TGroup& g : groups.Groups) {
    const std::int64_t keys = 4 * (150 / 8 + (std::stoi(g.Line) < 150 % 8 ? 1 : 0));  // the keys of its line
    EXPECT_EQ(g.Count, keys) << g.Line;
    ASSERT_EQ(g.Versions.size(), 1u);
    EXPECT_EQ(g.Versions[0].Count, keys);
    std::int64_t days = 0;
    for (const TDayCount& d : store->GroupDays(g.Id, 0)) days += d.Count;
    EXPECT_EQ(days, keys);
    EXPECT_EQ(static_cast<std::int64_t>(store->GroupReports(g.Id, 0, 1000).size()), keys);
  }
}

TEST(ReportPostgres, DatabaseGoneGives503AndTheServerRecovers) {
  TPostgresServer postgres;
  ASSERT_TRUE(postgres.Started()) << postgres.Problem();
  TTempDir dir;
  const std::unique_ptr<TServerChild> server = StartCollector(dir, postgres.Url(), "server");
  ASSERT_TRUE(server->Started()) << server->Output();
  const auto post = [&](const std::string& key) {
    const std::string body = Report(key, "1");
    return RawRequest(server->Port(), "POST /reports HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
                                          std::to_string(body.size()) + "\r\n\r\n" + body);
  };
  EXPECT_EQ(post("before").Status, 201);
  ASSERT_TRUE(postgres.Stop());
  const THttpReply down = post("while-down");
  EXPECT_EQ(down.Status, 503);
  EXPECT_EQ(down.Header("Retry-After"), "30");
  ASSERT_TRUE(postgres.Start());
  EXPECT_EQ(post("after").Status, 201);
  EXPECT_EQ(post("while-down").Status, 201);
  EXPECT_TRUE(server->Process().Running());
}

TEST(ReportImport, FilesEachLogEntryOnceHoweverOftenImported) {
  TTempDir dir;
  const std::string entry = "# 9 Dec 2026 02:12:51 [ EXCEPT ] Type         : SIGSEGV ( Fatal signal )\r\n" + [] {
    std::string rest;
    for (const char* line :
         {"Unit         : CrashHelper", "Line         : 43", "Class        : TCrasher", "Function     : NullPointer",
          "Address      : 0x1", "Sender Class : <N/A>", "Sender Name  : <N/A>", "Message      : Segmentation fault",
          "Call Stack   : CrashHelper::TCrasher.NullPointer"})
      rest += std::string(33, ' ') + line + "\r\n";
    return rest;
  }();
  const std::string log = dir.Write("Crasher.log", "# START LOGGING : Crasher at 9 Dec 2026 02:12:50\r\n" + entry);
  const std::string copy = dir.Write("copy.log", "# older lines scrolled out\r\n" + entry + entry);
  const std::string database = dir.File("reports.db");
  const auto import = [&](const std::string& file) {
    return RunAndRead({REPORT_SERVER_EXE, "--database", database, "--keep-days", "36500", "--import", file}, {},
                      std::chrono::seconds(30));
  };
  EXPECT_EQ(import(log), log + ": 1 report(s) filed, 0 filed before, 0 older than 36500 days, 0 not readable\n");
  EXPECT_EQ(import(log), log + ": 0 report(s) filed, 1 filed before, 0 older than 36500 days, 0 not readable\n");
  EXPECT_EQ(import(copy), copy + ": 1 report(s) filed, 1 filed before, 0 older than 36500 days, 0 not readable\n");
  const TGroupList groups = OpenReportStore(database)->Groups({});
  ASSERT_EQ(groups.Total, 2);  // the copy's program is its file's name
  EXPECT_EQ(groups.Groups[0].Program, "copy");
  EXPECT_EQ(groups.Groups[1].Program, "Crasher");
}

}  // namespace
