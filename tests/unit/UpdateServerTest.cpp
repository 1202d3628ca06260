// The reference update server, through real HTTP on 127.0.0.1: the library
// started in-process, and the update-server program as a child process.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

#include "tests/support/LoopbackHttp.h"
#include "tests/support/Process.h"
#include "tests/support/ServerProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tools/update-server/UpdateServer.h"

namespace {

using TReply = THttpReply;

TReply Get(int port, const std::string& target, const std::string& host = "") {
  return HttpGet(port, target, host);
}

void WriteFile(const TTempDir& dir, const std::string& name, const std::string& content) {
  std::filesystem::create_directories(std::filesystem::path(dir.File(name)).parent_path());
  dir.Write(name, content);
}

// An 8-bit change log with CR LF line breaks.
const std::string ImageToolHistory =
    "Image Tool 2.2.0 (15/03/2026)\r\n- Faster thumbnails\r\n- Caf\xE9 theme\r\n\r\n"
    "Image Tool 2.1.0\r\n- First release\r\n";
const std::string OddId = "Q&A \"Pro\"; v=1+x";

// A catalogue of two products; the second has an ID with every character the
// wizard sends unencoded, an 8-bit title with markup characters, and no
// registered-customer link of its own.
void WriteCatalogue(const TTempDir& dir) {
  WriteFile(dir, "imagetool.product",
            "\xEF\xBB\xBF# Image Tool\r\nid=imagetool\r\nTitle = Image Tool \r\ndate=15/03/2026\r\n"
            "version=2.2.0\r\nhistory=imagetool.txt\r\n"
            "download=https://downloads.example/imagetool-setup.exe\r\n"
            "download_reg=https://downloads.example/reg/imagetool-full.exe\r\n");
  WriteFile(dir, "imagetool.txt", ImageToolHistory);
  WriteFile(dir, "odd.product",
            "id=" + OddId +
                "\ntitle=<B\xFC"
                "cher & Co>\ndate=29/02/2024\nversion=1.0\n"
                "history=notes\\odd notes.rtf\ndownload=https://downloads.example/odd.exe\n");
  WriteFile(dir, "notes/odd notes.rtf", "{\\rtf1 odd}");
}

std::string AfterMarker(const std::string& body) {
  const size_t a = body.find("@@");
  const size_t b = body.find("@@", a + 2);
  return a == std::string::npos || b == std::string::npos ? "" : body.substr(a + 2, b - a - 2);
}

class UpdateServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteCatalogue(Dir);
    Server = std::make_unique<TUpdateServer>(TCatalogue::Load(Dir.Path()), [this](const std::string& l) {
      std::lock_guard lock(LogMutex);
      LogLines.push_back(l);
    });
    Port = Server->Start("127.0.0.1", 0);
  }
  void TearDown() override { Server.reset(); }

  std::vector<std::string> Log() {
    std::lock_guard lock(LogMutex);
    return LogLines;
  }

  TTempDir Dir;
  std::mutex LogMutex;
  std::vector<std::string> LogLines;
  std::unique_ptr<TUpdateServer> Server;  // after the log it writes to
  int Port = 0;
};

TEST_F(UpdateServerTest, AnswersTheWizardsRequests) {
  TReply record = Get(Port, "/soft_update.php?referer=QMIT_Update&productID=imagetool");
  EXPECT_EQ(record.Status, 200);
  EXPECT_EQ(record.Body, "15/03/2026@@2.2.0\r\n");

  TReply pointer = Get(Port, "/soft_history.php?productID=imagetool");
  EXPECT_EQ(pointer.Status, 200);
  const std::string url = AfterMarker(pointer.Body);
  const std::string base = "http://127.0.0.1:" + std::to_string(Port);
  ASSERT_EQ(url, base + "/history/imagetool.txt");
  TReply history = Get(Port, url.substr(base.size()));
  EXPECT_EQ(history.Status, 200);
  EXPECT_EQ(history.Body, ImageToolHistory);  // bytes unchanged, CR LF kept
  EXPECT_NE(history.Head.find("charset=windows-1252"), std::string::npos);

  // A history name with a blank and a backslash: the pointer encodes it.
  TReply oddPointer = Get(Port, "/soft_history.php?productID=Q%26A%20%22Pro%22%3B%20v%3D1%2Bx");
  const std::string oddUrl = AfterMarker(oddPointer.Body);
  ASSERT_EQ(oddUrl, base + "/history/notes/odd%20notes.rtf");
  TReply rtf = Get(Port, oddUrl.substr(base.size()));
  EXPECT_EQ(rtf.Body, "{\\rtf1 odd}");
  EXPECT_NE(rtf.Head.find("application/rtf"), std::string::npos);
}

TEST_F(UpdateServerTest, DownloadPagesLinkTheRightDownloadAndEscapeTheCatalogue) {
  TReply free = Get(Port, "/soft_download.php?productID=imagetool");
  EXPECT_EQ(free.Status, 200);
  EXPECT_NE(free.Head.find("text/html"), std::string::npos);
  for (const char* part :
       {"<h1>Image Tool</h1>", "2.2.0", "15/03/2026", "href=\"https://downloads.example/imagetool-setup.exe\""})
    EXPECT_NE(free.Body.find(part), std::string::npos) << part;
  EXPECT_EQ(free.Body.find("/reg/"), std::string::npos);

  TReply reg = Get(Port, "/soft_download_reg.php?productID=imagetool");
  EXPECT_NE(reg.Body.find("href=\"https://downloads.example/reg/imagetool-full.exe\""), std::string::npos);

  // No registered link of its own: the free one. The 8-bit title comes out
  // as UTF-8 with its markup characters escaped.
  TReply odd = Get(Port, "/soft_download_reg.php?productID=Q%26A%20%22Pro%22%3B%20v%3D1%2Bx");
  EXPECT_NE(odd.Body.find("href=\"https://downloads.example/odd.exe\""), std::string::npos);
  EXPECT_NE(odd.Body.find("&lt;B\xC3\xBC"
                          "cher &amp; Co&gt;"),
            std::string::npos);
  EXPECT_EQ(odd.Body.find("<B"), std::string::npos);
}

TEST_F(UpdateServerTest, FindsIdsSentUnencoded) {
  // As the wizard sends them (a blank can only travel as %20), as a browser
  // encodes them, and with a parameter after the ID.
  for (const std::string target : {"/soft_update.php?referer=Q&A_Update&productID=Q&A%20\"Pro\";%20v=1+x",
                                   "/soft_update.php?referer=QA_Update&productID=Q%26A%20%22Pro%22%3B%20v%3D1%2Bx",
                                   "/soft_update.php?productid=Q&A%20\"Pro\";%20v=1+x&lang=en"}) {
    TReply reply = Get(Port, target);
    EXPECT_EQ(reply.Status, 200) << target;
    EXPECT_EQ(reply.Body, "29/02/2024@@1.0\r\n") << target;
  }
  EXPECT_EQ(Get(Port, "/soft_update.php?referer=X_Update&productID=imagetool&lang=en").Status, 200);
}

TEST_F(UpdateServerTest, HistoryPointerNamesTheConfiguredAddressNeverTheHostHeader) {
  // Behind a cache, one request with a Host of its choosing would give its
  // pointer to every customer: the Host header never counts.
  const std::string own = "http://127.0.0.1:" + std::to_string(Port) + "/history/imagetool.txt";
  EXPECT_EQ(Server->PublicUrl(), "http://127.0.0.1:" + std::to_string(Port) + "/");
  for (const std::string host : {"evil.example", "updates.example:8080", "[::1]:99", "a@@b/c"})
    EXPECT_EQ(AfterMarker(Get(Port, "/soft_history.php?productID=imagetool", host).Body), own) << host;
  EXPECT_EQ(AfterMarker(RawRequest(Port, "GET /soft_history.php?productID=imagetool HTTP/1.0\r\n\r\n").Body), own);

  // A public URL given: with or without its closing slash, a path kept.
  for (const std::string url : {"https://updates.example/wizard", "https://updates.example/wizard/"}) {
    TUpdateServerOptions options;
    options.PublicUrl = url;
    TUpdateServer configured(TCatalogue::Load(Dir.Path()), nullptr, options);
    const int port = configured.Start("127.0.0.1", 0);
    EXPECT_EQ(AfterMarker(Get(port, "/soft_history.php?productID=imagetool", "evil.example").Body),
              "https://updates.example/wizard/history/imagetool.txt")
        << url;
  }
}

TEST(UpdateServerOptions, RefusesPublicUrlsThatCannotBeHistoryPointers) {
  for (const std::string good :
       {"http://updates.example/", "https://updates.example:8443/wizard", "http://[::1]:8470/"})
    EXPECT_EQ(TUpdateServer::CheckPublicUrl(good), "") << good;
  for (const std::string bad :
       {"", "updates.example", "ftp://updates.example/", "http://", "http:///x", "http://user@updates.example/",
        "http://up dates.example/", "http://updates.example/?a=b", "http://updates.example/#top"})
    EXPECT_NE(TUpdateServer::CheckPublicUrl(bad), "") << bad;

  // Every interface, no public URL: no address to name, refused before binding.
  TTempDir dir;
  WriteCatalogue(dir);
  for (const std::string wildcard : {"0.0.0.0", "::"}) {
    TUpdateServer server(TCatalogue::Load(dir.Path()));
    try {
      server.Start(wildcard, 0);
      ADD_FAILURE() << wildcard << " was taken without a public URL";
    } catch (const EUpdateServer& e) {
      EXPECT_NE(std::string(e.what()).find("every interface"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(server.IsRunning());
  }
  TUpdateServerOptions options;
  options.PublicUrl = "http://user@x/";
  TUpdateServer server(TCatalogue::Load(dir.Path()), nullptr, options);
  EXPECT_THROW(server.Start("127.0.0.1", 0), EUpdateServer);
}

TEST_F(UpdateServerTest, UnknownRequestsGet404WithoutRecordCharacters) {
  // The wizard ignores the status; a 404 body must not look like a record.
  std::vector<std::string> targets = {"/",
                                      "/index.html",
                                      "/history/nothere.txt",
                                      "/history/../imagetool.product",
                                      "/imagetool.product",
                                      "/soft_update.PHP?productID=imagetool"};
  for (const char* page : {"/soft_update.php", "/soft_history.php", "/soft_download.php", "/soft_download_reg.php"}) {
    targets.push_back(std::string(page) + "?referer=X_Update&productID=1.2@@3.4/5");
    targets.push_back(std::string(page) + "?referer=X_Update");
    targets.push_back(std::string(page) + "?productID=");
    targets.push_back(page);
  }
  for (const std::string& target : targets) {
    TReply reply = Get(Port, target);
    EXPECT_EQ(reply.Status, 404) << target;
    EXPECT_FALSE(reply.Body.empty()) << target;
    EXPECT_EQ(reply.Body.find_first_of("./0123456789@"), std::string::npos) << target;
  }
  TReply post = RawRequest(Port,
                           "POST /soft_update.php?productID=imagetool HTTP/1.1\r\nHost: x\r\n"
                           "Content-Length: 0\r\nConnection: close\r\n\r\n");
  EXPECT_GE(post.Status, 400);
  EXPECT_EQ(post.Body.find_first_of("./0123456789@"), std::string::npos);
}

size_t IgnoreBody(char*, size_t size, size_t count, void*) {
  return size * count;
}

TEST_F(UpdateServerTest, KeepsOneConnectionForManyRequests) {
  // The library's defaults close a connection after 5 requests.
  CURL* curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, IgnoreBody);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
  long connects = 0;
  for (int i = 0; i < 100; ++i) {
    const std::string url = Server->BaseUrl() + (i % 2 ? "soft_update.php?referer=X_Update&productID=imagetool"
                                                       : "soft_history.php?productID=imagetool");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    ASSERT_EQ(curl_easy_perform(curl), CURLE_OK);
    long status = 0, newConnections = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &newConnections);
    ASSERT_EQ(status, 200);
    connects += newConnections;
  }
  curl_easy_cleanup(curl);
  EXPECT_EQ(connects, 1);
}

TEST_F(UpdateServerTest, LogsOneLinePerRequest) {
  Get(Port, "/soft_update.php?referer=X_Update&productID=imagetool");
  Get(Port, "/no\x1b[2Jpe");
  std::vector<std::string> log = Log();
  ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);  // nothing more when the client closes first
  EXPECT_NE(log[0].find(" 127.0.0.1:"), std::string::npos) << log[0];
  EXPECT_TRUE(log[0].ends_with(" GET /soft_update.php?referer=X_Update&productID=imagetool 200 19")) << log[0];
  EXPECT_TRUE(log[1].ends_with(" GET /no\\x1B[2Jpe 404 11")) << log[1];
}

TEST(UpdateServerLifecycle, StartsStopsAndReportsABusyPort) {
  TTempDir dir;
  WriteCatalogue(dir);
  TUpdateServer first(TCatalogue::Load(dir.Path()));
  const int port = first.Start("127.0.0.1", 0);
  EXPECT_GT(port, 0);
  EXPECT_EQ(first.BaseUrl(), "http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_THROW(first.Start("127.0.0.1", 0), EUpdateServer);

  {
    TUpdateServer second(TCatalogue::Load(dir.Path()));
    try {
      second.Start("127.0.0.1", port);
      ADD_FAILURE() << "a busy port was taken";
    } catch (const EUpdateServer& e) {
      EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(port)), std::string::npos);
    }
  }

  first.Stop();
  first.Stop();
  EXPECT_FALSE(first.IsRunning());
  EXPECT_EQ(Get(port, "/").Status, 0);  // refused
  CURL* curl = curl_easy_init();
  ASSERT_NE(curl, nullptr);
  {
    // The same port again, then stopped by the destructor while a
    // keep-alive connection is still open.
    TUpdateServer again(TCatalogue::Load(dir.Path()));
    EXPECT_EQ(again.Start("127.0.0.1", port), port);
    const std::string url = again.BaseUrl() + "soft_update.php?productID=imagetool";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, IgnoreBody);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
    EXPECT_EQ(curl_easy_perform(curl), CURLE_OK);
  }
  curl_easy_cleanup(curl);
  EXPECT_EQ(Get(port, "/").Status, 0);
}

// --- catalogue checks

TEST(UpdateServerCatalogue, ReadsValuesAndDefaults) {
  TTempDir dir;
  WriteCatalogue(dir);
  const TCatalogue catalogue = TCatalogue::Load(dir.Path());
  ASSERT_EQ(catalogue.Count(), 2);
  const TProduct* tool = catalogue.Find("imagetool");
  ASSERT_NE(tool, nullptr);
  EXPECT_EQ(tool->Title, "Image Tool");  // key case and blanks around the value do not count
  EXPECT_EQ(tool->Version, "2.2.0");
  const TProduct* odd = catalogue.Find(OddId);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->History, "notes/odd notes.rtf");
  EXPECT_EQ(odd->DownloadReg, odd->Download);
  EXPECT_EQ(catalogue.Find("IMAGETOOL"), nullptr);

  std::vector<std::string> errors;
  const TProduct untitled =
      TCatalogue::ParseProduct("id=x\rdate=01/01/2000\rversion=1\rdownload=http://a.example/\r", "u.product", errors);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(untitled.Title, "x");
}

TEST(UpdateServerCatalogue, NamesFileAndLineOfEachMistake) {
  const std::string good = "id=x\ndate=15/03/2026\nversion=2.2.0\ndownload=https://a.example/x.exe\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {good + "just text", "f.product:5: expected key=value"},
      {good + "colour=red",
       "f.product:5: unknown key 'colour' (known keys: id, title, date, version, history, download, download_reg)"},
      {good + "VERSION=2.3", "f.product:5: key 'version' given twice (first on line 3)"},
      {"date=31/02/2025", "f.product:1: '31/02/2025' is not a valid calendar date"},
      {"date=2026-03-15", "f.product:1: date must be written DD/MM/YYYY, e.g. 15/03/2026"},
      {"version=2.10.1",
       "f.product:1: version '2.10.1' is longer than 5 characters; the wizard reads only the first 5"},
      {"version=2.1b",
       "f.product:1: version '2.1b' may hold only digits and dots (the wizard drops every other character)"},
      {"version=", "f.product:1: 'version' must not be empty"},
      {"download=ftp://a.example/x", "f.product:1: URL must start with http:// or https://"},
      {"download_reg=https://a.example/my file.exe",
       "f.product:1: URL holds a blank, a control character or one of \" < > \\ (write them %-encoded)"},
      {"history=../secret.txt",
       "f.product:1: history file name '../secret.txt' must not hold empty, '.' or '..' parts"},
      {"history=/etc/passwd", "f.product:1: history file must be given relative to the catalogue folder"},
      {"id=a#b", "f.product:1: id must not hold '#': HTTP clients never send what follows it"},
      {"id=a\x01", "f.product:1: id holds a control character"},
      {std::string("id=x\0y", 6), "f.product: holds NUL bytes; a product file is a text file"},
      {"\n\n# comment\n", "f.product: required key 'id' is missing"},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<std::string> errors;
    TCatalogue::ParseProduct(text, "f.product", errors);
    ASSERT_FALSE(errors.empty()) << expected;
    EXPECT_EQ(errors.front(), expected) << text;
  }
}

TEST(UpdateServerCatalogue, LoadReportsEveryProblemOfTheFolder) {
  const auto errorsOf = [](const std::string& folder) {
    try {
      TCatalogue::Load(folder);
    } catch (const ECatalogue& e) {
      return e.Errors;
    }
    return std::vector<std::string>{};
  };
  TTempDir dir;
  EXPECT_EQ(errorsOf(dir.Path()),
            std::vector<std::string>{dir.Path() + ": no *.product files in the catalogue folder"});
  EXPECT_EQ(errorsOf(dir.File("none")), std::vector<std::string>{dir.File("none") + ": catalogue folder not found"});

  const std::string good = "date=15/03/2026\nversion=2.2.0\ndownload=https://a.example/x.exe\n";
  WriteFile(dir, "a.product", "id=x\n" + good + "history=gone.txt\n");
  WriteFile(dir, "b.product", "id=x\n" + good);
  WriteFile(dir, "c.product", "id=y\nversion=123456\n");
  WriteFile(dir, "d.product", std::string(TCatalogue::MaxProductFileSize + 1, '#'));
  WriteFile(dir, "readme.txt", "not a product");
  EXPECT_EQ(errorsOf(dir.Path()),
            (std::vector<std::string>{
                "b.product:1: id 'x' is already used by a.product",
                "c.product:2: version '123456' is longer than 5 characters; the wizard reads only the first 5",
                "c.product: required key 'date' is missing",
                "c.product: required key 'download' is missing",
                "d.product: larger than 65536 bytes",
                "a.product:5: history file 'gone.txt': not found",
            }));
}

// --- the demo: the catalogue loads and fits the sample descriptors

TEST(UpdateServerDemo, CatalogueFitsTheSampleDescriptors) {
  const char* source = std::getenv("BREVANT_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const TCatalogue catalogue = TCatalogue::Load(std::string(source) + "/demo/catalogue");
  int descriptors = 0, newer = 0, upToDate = 0, registered = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::string(source) + "/demo/descriptors")) {
    if (entry.path().extension() != ".ini") continue;
    ++descriptors;
    const std::string text = ReadWholeFile(entry.path().string());
    std::map<std::string, std::string> values;
    for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos; pos = end + 1) {
      EXPECT_TRUE(end > 0 && text[end - 1] == '\r') << entry.path() << ": lines end in CR LF";
      const std::string line = text.substr(pos, end - pos - 1);
      if (const size_t eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    const TProduct* product = catalogue.Find(values["ID"]);
    ASSERT_NE(product, nullptr) << entry.path();
    EXPECT_LE(values["VERSION"].size(), 5u);
    const auto installed =
        std::make_tuple(std::stoi(values["YEAR"]), std::stoi(values["MONTH"]), std::stoi(values["DAY"]));
    const auto latest = std::make_tuple(std::stoi(product->Date.substr(6)), std::stoi(product->Date.substr(3, 2)),
                                        std::stoi(product->Date.substr(0, 2)));
    newer += installed < latest || (installed == latest && values["VERSION"] < product->Version);
    upToDate += installed == latest && values["VERSION"] == product->Version;
    registered += values["MODE"] != "0";
  }
  EXPECT_EQ(descriptors, 4);
  EXPECT_EQ(newer, 3);
  EXPECT_EQ(upToDate, 1);
  EXPECT_GE(registered, 1);
  const THistoryText* log = catalogue.FindHistory("imagetool-history.txt");
  ASSERT_NE(log, nullptr);
  EXPECT_GE(std::count(log->Content.begin(), log->Content.end(), '\n'), 50);
  EXPECT_EQ(log->Content.find("\n"), log->Content.find("\r\n") + 1);
}

// --- the program, as a child process (stdout and stderr go to one file)

class UpdateServerProgram : public ::testing::TestWithParam<int> {};

TEST_P(UpdateServerProgram, ServesUntilSignalledAndExitsCleanly) {
  TTempDir dir;
  WriteCatalogue(dir);
  TServerChild server({UPDATE_SERVER_EXE, "--port", "0", "--catalogue=" + dir.Path()}, dir.File("output.txt"));
  ASSERT_TRUE(server.Started()) << server.Output();
  EXPECT_TRUE(server.Url().starts_with("http://127.0.0.1:")) << server.Url();
  EXPECT_EQ(Get(server.Port(), "/soft_update.php?referer=X_Update&productID=imagetool").Body, "15/03/2026@@2.2.0\r\n");
  server.Process().Signal(GetParam());
  EXPECT_EQ(server.Process().Wait(std::chrono::seconds(10)), 0);
  const std::string output = server.Output();
  EXPECT_NE(output.find(" GET /soft_update.php?referer=X_Update&productID=imagetool 200 19\n"), std::string::npos);
  EXPECT_NE(output.find(std::string(sigabbrev_np(GetParam())) + ", stopping"), std::string::npos) << output;
}

INSTANTIATE_TEST_SUITE_P(Signals, UpdateServerProgram, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

TEST(UpdateServerProgramErrors, ExplainsBadStarts) {
  TTempDir dir;
  dir.Write("bad.product", "id=x\ndate=1/1/2026\n");
  TTempDir good;
  WriteCatalogue(good);
  const std::string output = dir.File("output.txt");
  struct TCase {
    std::vector<std::string> Args;
    int Exit;
    std::string Message;
  };
  for (const TCase& c : std::vector<TCase>{
           {{"--catalogue", dir.Path(), "--port", "0"}, 1, "bad.product:2: date must be"},
           {{"--port", "0"}, 2, "--catalogue DIR is required"},
           {{"--catalogue", dir.Path(), "--port", "65536"}, 2, "--port wants a number"},
           {{"--verbose"}, 2, "unknown option '--verbose'"},
           {{"--catalogue", good.Path(), "--port", "0", "--address", "0.0.0.0"}, 1, "listens on every interface"},
           {{"--catalogue", good.Path(), "--port", "0", "--address=::"}, 1, "(--public-url)"},
           {{"--catalogue", good.Path(), "--public-url", "updates.example"}, 2, "--public-url 'updates.example': URL"},
           {{"--catalogue", good.Path(), "--max-connections", "0"}, 2, "--max-connections wants a number from 1"},
       }) {
    std::vector<std::string> argv{UPDATE_SERVER_EXE};
    argv.insert(argv.end(), c.Args.begin(), c.Args.end());
    TChildProcess child(argv, {}, output);
    EXPECT_EQ(child.Wait(std::chrono::seconds(10)), c.Exit) << c.Message;
    EXPECT_NE(ReadWholeFile(output).find(c.Message), std::string::npos) << c.Message << "\n" << ReadWholeFile(output);
  }
}

// --- on the open internet: what clients can do to the program

constexpr std::size_t BigHistory = 1024 * 1024;
constexpr std::size_t HugeHistory = TCatalogue::MaxHistoryFileSize;
// Memory the program may gain over a test; a reply built per range or a
// buffered body is hundreds of times more.
constexpr std::uint64_t FlatMemory = 64 * 1024 * 1024;

std::string HistoryOfSize(std::size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i) text += "Version 2." + std::to_string(i) + ": a change of some length\r\n";
  text.resize(size);
  return text;
}

// The program with a catalogue of a 1 MiB and a 16 MiB history.
class UpdateServerOnline : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteCatalogue(Dir);
    for (const auto& [id, size] : {std::pair<std::string, std::size_t>{"big", BigHistory}, {"huge", HugeHistory}}) {
      WriteFile(Dir, id + ".txt", HistoryOfSize(size));
      WriteFile(Dir, id + ".product",
                "id=" + id + "\ndate=15/03/2026\nversion=2.2.0\nhistory=" + id + ".txt\ndownload=http://d.example/\n");
    }
    Server = std::make_unique<TServerChild>(
        std::vector<std::string>{UPDATE_SERVER_EXE, "--port", "0", "--catalogue", Dir.Path()}, Dir.File("out.txt"));
    ASSERT_TRUE(Server->Started()) << Server->Output();
    Port = Server->Port();
    MemoryBefore = Memory();
    ASSERT_GT(MemoryBefore, 0u);
  }

  std::uint64_t Memory() { return ProcessStatusBytes(Server->Process().Pid(), "VmHWM"); }
  // A request that the program answers at once, as a client sees it.
  bool AnswersNormally() {
    TLoopbackConnection connection(Port, std::chrono::seconds(2));
    if (!connection.Send("GET /soft_update.php?referer=X_Update&productID=big HTTP/1.1\r\nHost: x\r\n\r\n"))
      return false;
    const std::optional<TReply> reply = connection.ReadReply();
    return reply && reply->Status == 200 && reply->Body == "15/03/2026@@2.2.0\r\n";
  }

  TTempDir Dir;
  std::unique_ptr<TServerChild> Server;
  int Port = 0;
  std::uint64_t MemoryBefore = 0;
};

TEST_F(UpdateServerOnline, IgnoresRangesWithMemoryFlat) {
  // 2,700 overlapping ranges of the whole text in an 8 KB head: the whole
  // text comes back once.
  std::string ranges = "0-";
  for (int i = 1; i < 2700; ++i) ranges += ",0-";
  const std::string whole = HistoryOfSize(BigHistory);
  for (const std::string& range : {"bytes=" + ranges, std::string("bytes=0-99"), std::string("bytes=-5")}) {
    TLoopbackConnection connection(Port);
    ASSERT_TRUE(connection.Send("GET /history/big.txt HTTP/1.1\r\nHost: x\r\nRange: " + range + "\r\n\r\n"));
    const std::optional<TReply> ranged = connection.ReadReply();
    ASSERT_TRUE(ranged) << range.substr(0, 20);
    EXPECT_EQ(ranged->Status, 200);
    EXPECT_EQ(ranged->Body.size(), BigHistory);
    EXPECT_EQ(ranged->Body, whole);
    EXPECT_EQ(ranged->Header("Content-Range"), "");
  }
  EXPECT_LT(Memory() - MemoryBefore, FlatMemory);
}

TEST_F(UpdateServerOnline, RefusesBodiesFromTheHeadWithMemoryFlat) {
  // The head alone gets the refusal: the program never waits for a body.
  struct TCase {
    std::string Head;
    int Status;
  };
  for (const TCase& c : std::vector<TCase>{
           {"POST /soft_update.php HTTP/1.1\r\nHost: x\r\nContent-Encoding: br\r\nContent-Length: 809\r\n\r\n", 413},
           {"POST /soft_update.php HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n", 413},
           {"GET /soft_update.php?productID=big HTTP/1.1\r\nHost: x\r\nContent-Length: 200000000\r\n\r\n", 413},
           {"PUT /history/big.txt HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 10\r\n\r\n", 413},
           {"GET /soft_update.php?productID=big HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\n\r\n", 415},
       }) {
    TLoopbackConnection connection(Port);
    ASSERT_TRUE(connection.Send(c.Head));
    const std::optional<TReply> reply = connection.ReadReply();
    ASSERT_TRUE(reply) << c.Head;
    EXPECT_EQ(reply->Status, c.Status) << c.Head;
    EXPECT_EQ(reply->Body.find_first_of("./0123456789@"), std::string::npos) << reply->Body;
    std::string rest;
    EXPECT_TRUE(connection.ReadToClose(rest)) << c.Head;  // and the connection closes
    EXPECT_EQ(rest, "") << c.Head;
  }

  // A client that pushes a 200 MB chunked body anyway finds the connection
  // gone after the first few megabytes that the kernels buffer.
  TLoopbackConnection pusher(Port);
  ASSERT_TRUE(pusher.Send("POST /soft_update.php HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"));
  const std::string chunk = "100000\r\n" + std::string(0x100000, 'a') + "\r\n";
  std::size_t sent = 0;
  while (sent < 200'000'000 && pusher.Send(chunk)) sent += chunk.size();
  EXPECT_LT(sent, 200'000'000u);
  EXPECT_LT(Memory() - MemoryBefore, FlatMemory);
  EXPECT_TRUE(AnswersNormally());
}

// The backlog of the listening socket on `port`, as the kernel reports it
// for listening sockets (inet_diag's wqueue); -1 when not found.
int ListenBacklog(int port) {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return -1;
  struct {
    nlmsghdr Header;
    inet_diag_req_v2 Request;
  } message{};
  message.Header.nlmsg_len = sizeof message;
  message.Header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.Header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.Request.sdiag_family = AF_INET;
  message.Request.sdiag_protocol = IPPROTO_TCP;
  message.Request.idiag_states = 1u << TCP_LISTEN;
  int backlog = -1;
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::send(fd, &message, sizeof message, 0) == static_cast<ssize_t>(sizeof message)) {
    alignas(nlmsghdr) char buffer[32768];
    for (bool done = false; !done;) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      auto left = static_cast<unsigned>(n);
      for (auto* h = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_type == NLMSG_DONE || h->nlmsg_type == NLMSG_ERROR) {
          done = true;
          break;
        }
        const auto* diag = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
        if (ntohs(diag->id.idiag_sport) == port) backlog = static_cast<int>(diag->idiag_wqueue);
      }
    }
  }
  ::close(fd);
  return backlog;
}

TEST_F(UpdateServerOnline, ListensWithTheSystemsLargestBacklog) {
  // The kernel caps the backlog at net.core.somaxconn.
  const int cap = std::atoi(ReadWholeFile("/proc/sys/net/core/somaxconn").c_str());
  ASSERT_GT(cap, 0);
  EXPECT_EQ(ListenBacklog(Port), std::min(SOMAXCONN, cap));

  // And 300 clients connecting at once all get their answers.
  std::vector<std::unique_ptr<TLoopbackConnection>> clients;
  for (int i = 0; i < 300; ++i) clients.push_back(std::make_unique<TLoopbackConnection>(Port));
  int answered = 0;
  for (auto& client : clients) {
    const std::optional<TReply> reply = client->Send("GET /soft_history.php?productID=big HTTP/1.1\r\nHost: x\r\n\r\n")
                                            ? client->ReadReply()
                                            : std::nullopt;
    answered += reply && reply->Status == 200;
  }
  EXPECT_EQ(answered, 300);
}

// Connections that send a request head one byte at a time, from a thread of
// their own, until destroyed.
class TDrippers {
 public:
  TDrippers(int port, int count) {
    for (int i = 0; i < count; ++i) {
      FConnections.push_back(std::make_unique<TLoopbackConnection>(port));
      FConnections.back()->Send("GET /soft_update.php?productID=big HTTP/1.1\r\nHost: x\r\nX-Slow: ");
    }
    FThread = std::thread([this] {
      std::unique_lock lock(FMutex);
      // One byte each every 200 ms, never the end of the head.
      while (!FWake.wait_for(lock, std::chrono::milliseconds(200), [this] { return FStop; }))
        for (auto& c : FConnections) (void)::send(c->Fd(), "x", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
  }
  ~TDrippers() {
    {
      std::lock_guard lock(FMutex);
      FStop = true;
    }
    FWake.notify_all();
    FThread.join();
  }
  int Connected() const {
    return static_cast<int>(
        std::count_if(FConnections.begin(), FConnections.end(), [](const auto& c) { return c->Connected(); }));
  }

 private:
  std::vector<std::unique_ptr<TLoopbackConnection>> FConnections;
  std::mutex FMutex;
  std::condition_variable FWake;
  bool FStop = false;
  std::thread FThread;
};

TEST_F(UpdateServerOnline, SlowAndIdleClientsDoNotHoldUpOthers) {
  // 50 clients dripping their heads and 200 idle connections; every normal
  // request is answered all the same (each within its client's 2 s).
  TDrippers drippers(Port, 50);
  ASSERT_EQ(drippers.Connected(), 50);
  int answered = 0;
  for (int i = 0; i < 20; ++i) answered += AnswersNormally();
  EXPECT_EQ(answered, 20);

  std::vector<std::unique_ptr<TLoopbackConnection>> idle;
  for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<TLoopbackConnection>(Port));
  answered = 0;
  for (int i = 0; i < 20; ++i) answered += AnswersNormally();
  EXPECT_EQ(answered, 20);
}

TEST_F(UpdateServerOnline, PipelinedRequestsGetEveryReplyInOrder) {
  TLoopbackConnection connection(Port);
  ASSERT_TRUE(
      connection.Send("GET /soft_update.php?referer=X_Update&productID=big HTTP/1.1\r\nHost: x\r\n\r\n"
                      "HEAD /history/big.txt HTTP/1.1\r\nHost: x\r\n\r\n"
                      "GET /soft_update.php?productID=nothere HTTP/1.1\r\nHost: x\r\n\r\n"
                      "GET /soft_history.php?productID=big HTTP/1.1\r\nHost: x\r\n\r\n"));
  const std::optional<TReply> record = connection.ReadReply();
  const std::optional<TReply> head = connection.ReadReply(true);
  const std::optional<TReply> unknown = connection.ReadReply();
  const std::optional<TReply> pointer = connection.ReadReply();
  ASSERT_TRUE(record && head && unknown && pointer);
  EXPECT_EQ(record->Body, "15/03/2026@@2.2.0\r\n");
  EXPECT_EQ(head->Status, 200);
  EXPECT_EQ(head->Header("Content-Length"), std::to_string(BigHistory));
  EXPECT_EQ(unknown->Status, 404);
  EXPECT_EQ(AfterMarker(pointer->Body), Server->Url() + "history/big.txt");
  // The connection stays open for more.
  ASSERT_TRUE(connection.Send("GET /history/big.txt HTTP/1.1\r\nHost: x\r\n\r\n"));
  const std::optional<TReply> text = connection.ReadReply();
  ASSERT_TRUE(text);
  EXPECT_EQ(text->Body.size(), BigHistory);
}

TEST_F(UpdateServerOnline, CompressesNothingWhateverTheClientAccepts) {
  const double cpuBefore = ProcessCpuSeconds(Server->Process().Pid());
  for (const std::string accept : {"br", "gzip, deflate, br, zstd", "*"}) {
    TLoopbackConnection connection(Port, std::chrono::seconds(30));
    ASSERT_TRUE(
        connection.Send("GET /history/huge.txt HTTP/1.1\r\nHost: x\r\nAccept-Encoding: " + accept + "\r\n\r\n"));
    const std::optional<TReply> reply = connection.ReadReply();
    ASSERT_TRUE(reply) << accept;
    EXPECT_EQ(reply->Header("Content-Encoding"), "") << accept;
    EXPECT_EQ(reply->Body.size(), HugeHistory) << accept;
  }
  // Three 16 MiB replies copied, not compressed: far below a second.
  EXPECT_LT(ProcessCpuSeconds(Server->Process().Pid()) - cpuBefore, 2.0);
}

class UpdateServerOnlineStop : public UpdateServerOnline, public ::testing::WithParamInterface<int> {};

TEST_P(UpdateServerOnlineStop, StopsAtOnceWhateverTheClientsDo) {
  // Dripping heads, idle connections, and a client that reads nothing of a
  // 16 MiB reply: none of them holds up the stop.
  TDrippers drippers(Port, 50);
  std::vector<std::unique_ptr<TLoopbackConnection>> idle;
  for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<TLoopbackConnection>(Port));
  TLoopbackConnection stalled(Port);
  ASSERT_TRUE(stalled.Send("GET /history/huge.txt HTTP/1.1\r\nHost: x\r\n\r\n"));
  ASSERT_TRUE(AnswersNormally());
  ASSERT_TRUE(Server->WaitForOutput(" GET /history/huge.txt 200 "));
  Server->Process().Signal(GetParam());
  EXPECT_EQ(Server->Process().Wait(std::chrono::seconds(5)), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, UpdateServerOnlineStop, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

// --- the log: requests that fail to parse name their client too

TEST_F(UpdateServerTest, LogsRequestsThatFailToParseWithTheClientsAddress) {
  struct TCase {
    std::string Request;
    std::string Logged;  // what follows the client's address
  };
  for (const TCase& c : std::vector<TCase>{
           {"GARBAGE\r\n\r\n", " - - - -"},
           {"GET / HTTP/9.9\r\n\r\n", " - - - -"},
           {"GET /soft_update.php?productID=imagetool HTTP/1.1\r\nno colon\r\n\r\n",
            " - /soft_update.php?productID=imagetool 400 -"},
           {"GET /" + std::string(40000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", " - - - -"},
           {"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(40000, 'a') + "\r\n\r\n", " - / 431 -"},
       }) {
    TLoopbackConnection connection(Port);
    ASSERT_TRUE(connection.Connected());
    const std::string client = " 127.0.0.1:" + std::to_string(connection.LocalPort());
    connection.Send(c.Request);
    std::string reply;
    connection.ReadToClose(reply);  // whatever the library answers, it closes
    connection.Close();
    std::string found;
    WaitUntil(
        [&] {
          for (const std::string& line : Log())
            if (line.find(client) != std::string::npos) found = line;
          return !found.empty();
        },
        std::chrono::seconds(5), std::chrono::milliseconds(10));
    EXPECT_TRUE(found.ends_with(client + c.Logged)) << c.Request.substr(0, 40) << " logged: " << found;
  }
}

}  // namespace
