// The reference update server, through real HTTP on 127.0.0.1: the library
// started in-process, and the update-server program as a child process.
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tools/update-server/UpdateServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>

namespace {

struct TReply {
  int Status = 0;
  std::string Head;
  std::string Body;
};

// Sends one request exactly as given and reads the reply until the server
// closes (the request says "Connection: close"). Bounded by a 5 s timeout.
TReply RawRequest(int port, const std::string& request) {
  TReply reply;
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return reply;
  }
  (void)::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string data;
  char buf[4096];
  for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) data.append(buf, static_cast<size_t>(n));
  ::close(fd);
  const size_t split = data.find("\r\n\r\n");
  reply.Head = data.substr(0, split);
  if (split != std::string::npos) reply.Body = data.substr(split + 4);
  if (data.starts_with("HTTP/1.1 ")) reply.Status = std::atoi(data.c_str() + 9);
  return reply;
}

TReply Get(int port, const std::string& target, const std::string& host = "") {
  return RawRequest(port, "GET " + target +
                              " HTTP/1.1\r\nHost: " + (host.empty() ? "127.0.0.1:" + std::to_string(port) : host) +
                              "\r\nConnection: close\r\n\r\n");
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

TEST_F(UpdateServerTest, HistoryPointerNamesTheHostTheClientAskedFor) {
  EXPECT_EQ(AfterMarker(Get(Port, "/soft_history.php?productID=imagetool", "updates.example:8080").Body),
            "http://updates.example:8080/history/imagetool.txt");
  EXPECT_EQ(AfterMarker(Get(Port, "/soft_history.php?productID=imagetool", "[::1]:99").Body),
            "http://[::1]:99/history/imagetool.txt");
  // No Host header, or one that would break the record: the connection's own address.
  const std::string own = "http://127.0.0.1:" + std::to_string(Port) + "/history/imagetool.txt";
  EXPECT_EQ(AfterMarker(RawRequest(Port, "GET /soft_history.php?productID=imagetool HTTP/1.0\r\n\r\n").Body), own);
  EXPECT_EQ(AfterMarker(Get(Port, "/soft_history.php?productID=imagetool", "a@@b/c").Body), own);
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
  ASSERT_EQ(log.size(), 2u);
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
      {good + "colour=red", "f.product:5: unknown key 'colour'"},
      {good + "VERSION=2.3", "f.product:5: key 'version' given twice (first on line 3)"},
      {"date=31/02/2025", "f.product:1: '31/02/2025' is not a valid calendar date"},
      {"date=2026-03-15", "f.product:1: date must be written DD/MM/YYYY"},
      {"version=2.10.1", "f.product:1: version '2.10.1' is longer than 5"},
      {"version=2.1b", "f.product:1: version '2.1b' may hold only digits and dots"},
      {"version=", "f.product:1: 'version' must not be empty"},
      {"download=ftp://a.example/x", "f.product:1: URL must start with http:// or https://"},
      {"download_reg=https://a.example/my file.exe", "f.product:1: URL holds a blank"},
      {"history=../secret.txt", "f.product:1: history file name '../secret.txt' must not hold"},
      {"history=/etc/passwd", "f.product:1: history file must be given relative"},
      {"id=a#b", "f.product:1: id must not hold '#'"},
      {"id=a\x01", "f.product:1: id holds a control character"},
      {std::string("id=x\0y", 6), "f.product: holds NUL bytes"},
      {"\n\n# comment\n", "f.product: required key 'id' is missing"},
  };
  for (const auto& [text, expected] : cases) {
    std::vector<std::string> errors;
    TCatalogue::ParseProduct(text, "f.product", errors);
    ASSERT_FALSE(errors.empty()) << expected;
    EXPECT_TRUE(errors.front().starts_with(expected)) << errors.front() << "\nwanted: " << expected;
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

// Waits up to 10 s for the file to hold `text`; returns what it holds then.
std::string WaitForOutput(const std::string& file, const std::string& text) {
  std::string content;
  for (int i = 0; i < 1000 && (content = ReadWholeFile(file)).find(text) == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return content;
}

class UpdateServerProgram : public ::testing::TestWithParam<int> {};

TEST_P(UpdateServerProgram, ServesUntilSignalledAndExitsCleanly) {
  TTempDir dir;
  WriteCatalogue(dir);
  const std::string output = dir.File("output.txt");
  TChildProcess child({UPDATE_SERVER_EXE, "--port", "0", "--catalogue=" + dir.Path()}, {}, output);
  const std::string prefix = "Listening on http://127.0.0.1:";
  const std::string started = WaitForOutput(output, "/\n");
  const size_t at = started.find(prefix);
  ASSERT_NE(at, std::string::npos) << started;
  const int port = std::atoi(started.c_str() + at + prefix.size());
  EXPECT_EQ(Get(port, "/soft_update.php?referer=X_Update&productID=imagetool").Body, "15/03/2026@@2.2.0\r\n");
  child.Signal(GetParam());
  EXPECT_EQ(child.Wait(std::chrono::seconds(10)), 0);
  EXPECT_NE(ReadWholeFile(output).find(" GET /soft_update.php?referer=X_Update&productID=imagetool 200 19\n"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, UpdateServerProgram, ::testing::Values(SIGTERM, SIGINT));

TEST(UpdateServerProgramErrors, ExplainsBadStarts) {
  TTempDir dir;
  dir.Write("bad.product", "id=x\ndate=1/1/2026\n");
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
       }) {
    std::vector<std::string> argv{UPDATE_SERVER_EXE};
    argv.insert(argv.end(), c.Args.begin(), c.Args.end());
    TChildProcess child(argv, {}, output);
    EXPECT_EQ(child.Wait(std::chrono::seconds(10)), c.Exit) << c.Message;
    EXPECT_NE(ReadWholeFile(output).find(c.Message), std::string::npos) << c.Message;
  }
}

}  // namespace
