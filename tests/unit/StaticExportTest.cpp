// The static export of the update server: the file names, the files, and
// Debian's nginx serving the export on 127.0.0.1 with exactly the reference
// server's replies (the download pages as redirects to what they link).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <set>

#include "tests/support/LoopbackHttp.h"
#include "tests/support/NginxProcess.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tools/update-server/StaticExport.h"
#include "tools/update-server/UpdateServer.h"

namespace fs = std::filesystem;

namespace {

void WriteFile(const TTempDir& dir, const std::string& name, const std::string& content) {
  fs::create_directories(fs::path(dir.File(name)).parent_path());
  dir.Write(name, content);
}

struct TOddProduct {
  std::string Id;
  std::string History;  // file name; empty: none
};

// IDs with every kind of character a file name or nginx's configuration
// could choke on, and IDs that one request may name together: one is
// another's %-decoding, one extends another at an "&".
const std::vector<TOddProduct>& OddProducts() {
  static const std::vector<TOddProduct> products = {
      {"imagetool", "imagetool.txt"},
      {"Q&A \"Pro\"; v=1+x", "notes/odd notes.rtf"},
      {"100% sure", "latin.txt"},
      {"x%41", "page.html"},
      {"xA", "imagetool.txt"},
      {"a", "imagetool.txt"},
      {"a&b", "imagetool.txt"},
      {"a&b&c", ""},
      {"../etc/passwd", "imagetool.txt"},
      {"Caf\xC3\xA9", "latin.txt"},
      {"Caf\xE9", "latin.txt"},
      {"UPPER", "imagetool.txt"},
      {"upper", "imagetool.txt"},
      {".hidden.", "imagetool.txt"},
      {"{$dollar};'x'", "imagetool.txt"},
      {"what?=yes", "imagetool.txt"},
      {"back\\slash~", "imagetool.txt"},
      {"~tilde", "imagetool.txt"},
      {"default", "imagetool.txt"},
      {std::string(StaticExport::LongestHashedId, 'L'), "imagetool.txt"},
      {std::string(StaticExport::LongestHashedId + 1, 'L'), "imagetool.txt"},
      {std::string(60, '%') + std::string(60, '&') + std::string(100, 'q'), ""},
  };
  return products;
}

void WriteOddCatalogue(const TTempDir& dir) {
  WriteFile(dir, "imagetool.txt", "Image Tool 2.2.0\r\n- Faster\r\n");
  WriteFile(dir, "notes/odd notes.rtf", "{\\rtf1 odd}");
  WriteFile(dir, "latin.txt", "Caf\xE9 cr\xE8me\r\n");
  WriteFile(dir, "page.html", "<p>History</p>");
  int n = 0;
  for (const TOddProduct& p : OddProducts()) {
    const std::string number = std::to_string(n++);
    WriteFile(dir, "p" + number + ".product",
              "id=" + p.Id + "\ndate=1" + std::to_string(n % 10) + "/03/2026\nversion=2." + number +
                  (p.History.empty() ? "" : "\nhistory=" + p.History) + "\ndownload=https://downloads.example/" +
                  number + "/caf\xE9/$x'y.exe?a=1&b=2" + "\ndownload_reg=https://downloads.example/reg/" + number +
                  ".exe\n");
  }
}

std::string PercentEncodeAll(const std::string& text, bool lowerCase = false) {
  static const char Upper[] = "0123456789ABCDEF";
  static const char Lower[] = "0123456789abcdef";
  const char* hex = lowerCase ? Lower : Upper;
  std::string out;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    out += '%';
    out += hex[b >> 4];
    out += hex[b & 0x0F];
  }
  return out;
}

// What the wizard's HTTP client sends for an ID: blanks, control and 8-bit
// bytes as %XX, everything else as it is.
std::string AsTheWizardSends(const std::string& id) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : id) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F) {
      out += '%';
      out += Hex[b >> 4];
      out += Hex[b & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::string HtmlUnescape(std::string text) {
  for (const auto& [entity, c] : std::vector<std::pair<std::string, std::string>>{
           {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}})
    for (std::size_t at = text.find(entity); at != std::string::npos; at = text.find(entity, at + c.size()))
      text.replace(at, entity.size(), c);
  return text;
}

// A reply reduced to what both servers must agree on.
struct TSeen {
  int Status = 0;
  std::string ContentType;
  std::string Body;
  bool operator==(const TSeen&) const = default;
};

std::ostream& operator<<(std::ostream& out, const TSeen& seen) {
  return out << seen.Status << " [" << seen.ContentType << "] " << ::testing::PrintToString(seen.Body);
}

}  // namespace

// --- file names ----------------------------------------------------------------

TEST(StaticExportNames, KeepSafeBytesAndEscapeTheRest) {
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"imagetool", "imagetool"},
      {"1042", "1042"},
      {"image_tool-2.0", "image_tool-2.0"},
      {"ImageTool", "~49mage~54ool"},
      {"a b/c", "a~20b~2Fc"},
      {"../etc", "~2E.~2Fetc"},
      {".hidden.", "~2Ehidden~2E"},
      {"..", "~2E~2E"},
      {"~", "~7E"},
      {"100%", "100~25"},
      {"Caf\xC3\xA9", "~43af~C3~A9"},
      {"Q&A \"Pro\"; v=1+x", "~51~26~41~20~22~50ro~22~3B~20v~3D1~2Bx"},
  };
  for (const auto& [id, name] : rows) EXPECT_EQ(StaticExport::FileName(id), name) << id;
}

TEST(StaticExportNames, StayShortDistinctInAnyLetterCaseAndSafe) {
  std::set<std::string> ids;
  for (const TOddProduct& p : OddProducts()) ids.insert(p.Id);
  for (int c = 1; c < 256; ++c) ids.insert(std::string(1, static_cast<char>(c)));
  ids.insert(std::string(500, 'a'));
  ids.insert(std::string(499, 'a') + "b");
  ids.insert(std::string(300, '~'));
  ids.insert(std::string(179, 'a') + "~~" + std::string(100, 'b'));
  std::set<std::string> folded;
  for (const std::string& id : ids) {
    const std::string name = StaticExport::FileName(id);
    EXPECT_LE(name.size(), 200u) << id;
    EXPECT_NE(name.front(), '.') << id;
    EXPECT_NE(name.back(), '.') << id;
    EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789ABCDEF-_.~"), std::string::npos) << id;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    EXPECT_TRUE(folded.insert(lower).second) << "two IDs share " << name;
  }
}

// --- the export folder -----------------------------------------------------------

class StaticExportFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteOddCatalogue(CatalogueDir);
    Options.Port = 8999;
  }
  TTempDir CatalogueDir, Out;
  TStaticExportOptions Options;
};

TEST_F(StaticExportFiles, WritesEachReplyOnceWithTheReferenceServersBytes) {
  const TCatalogue catalogue = TCatalogue::Load(CatalogueDir.Path());
  EXPECT_EQ(StaticExport::Export(catalogue, Out.Path(), Options), "http://127.0.0.1:8999/");
  TUpdateServerOptions options;
  options.PublicUrl = "http://127.0.0.1:8999/";
  TUpdateServer server(TCatalogue::Load(CatalogueDir.Path()), nullptr, options);
  server.Start("127.0.0.1", 0);  // it takes the public URL at the start
  std::set<std::string> updates, pointers;
  std::string table = "id\tname\tdownload\tdownload_reg\thistory\n";
  std::vector<std::string> rows;
  for (const TProduct& p : catalogue.Items()) {
    const std::string name = StaticExport::FileName(p.Id);
    const std::string id = PercentEncodeAll(p.Id);
    updates.insert(name);
    EXPECT_EQ(ReadWholeFile(Out.File("site/update/" + name)),
              server.Answer({"GET", "/soft_update.php?productID=" + id}).Body)
        << p.Id;
    const TReply pointer = server.Answer({"GET", "/soft_history.php?productID=" + id});
    EXPECT_EQ(fs::exists(Out.File("site/pointer/" + name)), pointer.Status == 200) << p.Id;
    if (pointer.Status == 200) {
      pointers.insert(name);
      EXPECT_EQ(ReadWholeFile(Out.File("site/pointer/" + name)), pointer.Body) << p.Id;
      EXPECT_EQ(ReadWholeFile(Out.File("site/history/" + p.History)), ReadWholeFile(CatalogueDir.File(p.History)));
    }
    rows.push_back(p.Id + "\t" + name + "\t" + p.Download + "\t" + p.DownloadReg + "\t" + p.History + "\n");
  }
  std::sort(rows.begin(), rows.end(), [](const std::string& a, const std::string& b) {
    return StaticExport::FileName(a.substr(0, a.find('\t'))) < StaticExport::FileName(b.substr(0, b.find('\t')));
  });
  for (const std::string& row : rows) table += row;
  EXPECT_EQ(ReadWholeFile(Out.File("products.tsv")), table);

  std::set<std::string> listed;
  for (const auto& e : fs::directory_iterator(Out.File("site/update"))) listed.insert(e.path().filename().string());
  EXPECT_EQ(listed, updates);
  listed.clear();
  for (const auto& e : fs::directory_iterator(Out.File("site/pointer"))) listed.insert(e.path().filename().string());
  EXPECT_EQ(listed, pointers);
  for (const char* folder : {"logs", "temp"}) EXPECT_TRUE(fs::is_directory(Out.File(folder))) << folder;
  EXPECT_TRUE(ReadWholeFile(Out.File("nginx.conf")).starts_with(std::string(StaticExport::ConfigMarker) + "\n"));
}

TEST_F(StaticExportFiles, ReplacesAnEarlierExportAndKeepsItsLogs) {
  StaticExport::Export(TCatalogue::Load(CatalogueDir.Path()), Out.Path(), Options);
  Out.Write("logs/access.log", "kept");
  TTempDir smaller;
  WriteFile(smaller, "only.product", "id=imagetool\ndate=01/04/2026\nversion=3.0\ndownload=https://d.example/x\n");
  Options.PublicUrl = "https://updates.example/wizard";
  EXPECT_EQ(StaticExport::Export(TCatalogue::Load(smaller.Path()), Out.Path(), Options),
            "https://updates.example/wizard/");
  EXPECT_EQ(ReadWholeFile(Out.File("site/update/imagetool")), "01/04/2026@@3.0\r\n");
  std::vector<std::string> left;
  for (const auto& e : fs::recursive_directory_iterator(Out.File("site")))
    left.push_back(fs::relative(e.path(), Out.Path()).string());
  EXPECT_EQ(left, std::vector<std::string>({"site/update", "site/update/imagetool"}));
  EXPECT_EQ(ReadWholeFile(Out.File("logs/access.log")), "kept");
  for (const char* staged : {"site.new", "site.old", "nginx.conf.new", "products.tsv.new"})
    EXPECT_FALSE(fs::exists(Out.File(staged))) << staged;
}

TEST_F(StaticExportFiles, RefusesWhatNginxCouldNotServe) {
  const TCatalogue catalogue = TCatalogue::Load(CatalogueDir.Path());
  struct TRow {
    std::string Address;
    int Port;
    std::string PublicUrl;
    std::string Error;
  };
  const std::vector<TRow> rows = {
      {"localhost", 8470, "", "address 'localhost' is no numeric IPv4 or IPv6 address"},
      {"127.0.0.1", 0, "", "port 0 is not one nginx can listen on (1 to 65535)"},
      {"0.0.0.0", 8470, "",
       "0.0.0.0 listens on every interface, so it names no address that clients reach: give the address of the "
       "history pointers as a public URL (--public-url)"},
      {"::", 8470, "",
       ":: listens on every interface, so it names no address that clients reach: give the address "
       "of the history pointers as a public URL (--public-url)"},
      {"127.0.0.1", 8470, "ftp://x/", "public URL 'ftp://x/': URL must start with http:// or https://"},
  };
  for (const TRow& row : rows) {
    TStaticExportOptions options{row.Address, row.Port, row.PublicUrl};
    try {
      StaticExport::Export(catalogue, Out.Path(), options);
      ADD_FAILURE() << row.Address << " " << row.Port << " was taken";
    } catch (const EStaticExport& e) {
      EXPECT_EQ(std::string(e.what()), row.Error);
    }
    EXPECT_TRUE(fs::is_empty(Out.Path())) << "written despite " << row.Error;
  }
  // An ID whose regular expressions nginx could not read.
  TTempDir huge;
  WriteFile(huge, "huge.product",
            "id=" + std::string(300, '%') + "\ndate=01/04/2026\nversion=3.0\ndownload=https://d.example/x\n");
  try {
    StaticExport::Export(TCatalogue::Load(huge.Path()), Out.Path(), Options);
    ADD_FAILURE() << "a 300-byte ID was exported";
  } catch (const EStaticExport& e) {
    EXPECT_EQ(std::string(e.what()),
              "huge.product: the id is too long for nginx's configuration (its regular expression would take more "
              "than 4000 bytes)");
  }
  EXPECT_TRUE(fs::is_empty(Out.Path()));
  // A folder that holds something else is never overwritten.
  Out.Write("index.html", "the maker's own page");
  EXPECT_THROW(StaticExport::Export(catalogue, Out.Path(), Options), EStaticExport);
  EXPECT_EQ(ReadWholeFile(Out.File("index.html")), "the maker's own page");
  EXPECT_FALSE(fs::exists(Out.File("site")));
}

TEST_F(StaticExportFiles, ListensWhereAskedAndRedirectsEscapedDollars) {
  const TCatalogue catalogue = TCatalogue::Load(CatalogueDir.Path());
  const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
      {"127.0.0.1", "", "listen 127.0.0.1:8999 backlog=4096;"},
      {"::1", "", "listen [::1]:8999 backlog=4096;"},
      {"::", "https://u.example/", "listen [::]:8999 backlog=4096 ipv6only=off;"},
      {"0.0.0.0", "https://u.example/", "listen 0.0.0.0:8999 backlog=4096;"},
  };
  for (const auto& [address, url, line] : rows) {
    const std::string config = StaticExport::NginxConfig(catalogue, {address, 8999, url});
    EXPECT_NE(config.find("        " + line + "\n"), std::string::npos) << address;
  }
  // "$" has no escape in nginx's values; the redirect targets take it from a variable.
  EXPECT_EQ(StaticExport::RedirectTarget("https://d.example/caf\xE9/$x'y.exe"), "https://d.example/caf%C3%A9/$x'y.exe");
  EXPECT_NE(StaticExport::NginxConfig(catalogue, Options).find("/caf%C3%A9/${brevant_dollar}x'y.exe?a=1&b=2\";"),
            std::string::npos);
}

TEST(StaticExportProgram, ExportsFromTheCommandLine) {
  TTempDir out;
  const char* source = std::getenv("BREVANT_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  const std::string demo = std::string(source) + "/demo/catalogue";
  const std::optional<std::string> said = RunAndRead(
      {UPDATE_SERVER_EXE, "--catalogue", demo, "--export", out.Path(), "--port", "9470"}, {}, std::chrono::seconds(30));
  ASSERT_TRUE(said);
  EXPECT_EQ(*said, "Exported 4 product(s) to " + out.Path() +
                       "; history pointers name http://127.0.0.1:9470/\nStart it with: nginx -p " + out.Path() +
                       " -c nginx.conf\n");
  EXPECT_EQ(ReadWholeFile(out.File("site/update/imagetool")), "15/03/2026@@2.2.0\r\n");

  // Exit codes: 2 for a wrong command line, 1 for what cannot be exported.
  TTempDir other, output;
  const std::vector<std::pair<std::vector<std::string>, int>> rows = {
      {{"--export", other.Path(), "--max-connections", "10"}, 2},
      {{"--export", other.Path(), "--port", "0"}, 1},
      {{"--export", other.Path(), "--address", "0.0.0.0"}, 1},
  };
  for (const auto& [args, code] : rows) {
    std::vector<std::string> argv = {UPDATE_SERVER_EXE, "--catalogue", demo};
    argv.insert(argv.end(), args.begin(), args.end());
    TChildProcess program(argv, {}, output.File("out.txt"));
    EXPECT_EQ(program.Wait(std::chrono::seconds(30)), code) << args[2];
  }
  EXPECT_TRUE(fs::is_empty(other.Path()));
}

// As an operator runs it: nginx started by root hands its workers to another
// user, who must read the export wherever it was made, in a folder that only
// its owner may enter (mktemp -d makes one, and home folders are).
TEST(StaticExportProgram, ServesWhetherRootOrTheExportsOwnerStartsNginx) {
  if (::geteuid() != 0) GTEST_SKIP() << "starts nginx as root and as another user: needs root";
  ASSERT_FALSE(NginxProgram().empty()) << "nginx is not installed: scripts/install-deps.sh installs it";
  const std::string demo = std::string(std::getenv("BREVANT_SOURCE_DIR")) + "/demo/catalogue";
  const struct {
    std::string Exporter, Starter;  // users; "root", or a user of its own home folder
  } rows[] = {{"root", "root"}, {"www-data", "root"}, {"www-data", "www-data"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Exporter + " exports, " + row.Starter + " starts nginx");
    TTempDir home, output;  // home: mode 0700
    std::string folder = home.Path(), catalogue = demo;
    std::vector<std::string> argv, env;
    if (row.Exporter != "root") {
      // The user's own copy: the source tree may lie where only root may enter (/root).
      catalogue = home.File("catalogue");
      fs::copy(demo, catalogue, fs::copy_options::recursive);
      for (const auto& entry : fs::recursive_directory_iterator(home.Path()))
        ASSERT_EQ(::chown(entry.path().c_str(), 33, 33), 0);
      ASSERT_EQ(::chown(home.Path().c_str(), 33, 33), 0);
      folder = home.File("export");
      argv = {"setpriv", "--reuid=33", "--regid=33", "--clear-groups"};
      env = SanitizerEnvironmentIn(home.Path());
    }
    const int port = FreeLoopbackPort();
    argv.insert(argv.end(),
                {UPDATE_SERVER_EXE, "--catalogue", catalogue, "--export", folder, "--port", std::to_string(port)});
    ASSERT_TRUE(RunAndRead(argv, env, std::chrono::seconds(30)));
    const auto nginx = RunNginx(folder, port, output.File("nginx.out"), row.Starter == "root" ? "" : row.Starter);
    ASSERT_TRUE(nginx->Started()) << nginx->Output();
    EXPECT_EQ(HttpGet(port, "/soft_update.php?productID=imagetool").Body, "15/03/2026@@2.2.0\r\n");
  }
}

// --- nginx serving the export ------------------------------------------------------

class StaticExportNginx : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(NginxProgram().empty()) << "nginx is not installed: scripts/install-deps.sh installs it";
    WriteOddCatalogue(CatalogueDir);
    Nginx = StartNginx(
        Out.Path(),
        [this](int port) {
          Options.Port = port;
          StaticExport::Export(TCatalogue::Load(CatalogueDir.Path()), Out.Path(), Options);
        },
        Log.File("nginx.out"));
    ASSERT_TRUE(Nginx->Started()) << Nginx->Output();
    TUpdateServerOptions options;
    options.PublicUrl = Nginx->Url();
    Reference = std::make_unique<TUpdateServer>(TCatalogue::Load(CatalogueDir.Path()), nullptr, options);
    Reference->Start("127.0.0.1", 0);
  }

  // The reference server's reply, with a download page as the redirect that
  // nginx sends instead: 302 to the address the page links.
  TSeen Expected(const std::string& target, const std::string& method = "GET") const {
    const TReply reply = Reference->Answer({method, target});
    TSeen seen{reply.Status, reply.ContentType, std::string(reply.BodyView())};
    const std::string marker = "class=\"download\" href=\"";
    if (const std::size_t at = seen.Body.find(marker); reply.Status == 200 && at != std::string::npos) {
      const std::size_t from = at + marker.size();
      seen = {302, "",
              "Location: " +
                  StaticExport::RedirectTarget(HtmlUnescape(seen.Body.substr(from, seen.Body.find('"', from) - from)))};
    }
    if (method == "HEAD") seen.Body.clear();
    return seen;
  }

  static TSeen Seen(const THttpReply& reply) {
    if (reply.Status == 302) return {302, "", "Location: " + reply.Header("Location")};
    return {reply.Status, reply.Header("Content-Type"), reply.Body};
  }

  // Asks nginx, several requests on one connection as the wizard does.
  std::vector<TSeen> Ask(const std::vector<std::string>& targets, const std::string& method = "GET") {
    std::vector<TSeen> seen;
    std::unique_ptr<TLoopbackConnection> connection;
    for (const std::string& target : targets) {
      if (!connection || seen.size() % 500 == 0) connection = std::make_unique<TLoopbackConnection>(Nginx->Port());
      connection->Send(method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
      const std::optional<THttpReply> reply = connection->ReadReply(method == "HEAD");
      seen.push_back(reply ? Seen(*reply) : TSeen{});
      if (!reply) connection.reset();
    }
    return seen;
  }

  void ExpectSameReplies(const std::vector<std::string>& targets, const std::string& method = "GET") {
    const std::vector<TSeen> seen = Ask(targets, method);
    for (std::size_t i = 0; i < targets.size(); ++i) EXPECT_EQ(seen[i], Expected(targets[i], method)) << targets[i];
  }

  TTempDir CatalogueDir, Out, Log;
  TStaticExportOptions Options;
  std::unique_ptr<TServerChild> Nginx;
  std::unique_ptr<TUpdateServer> Reference;
};

TEST_F(StaticExportNginx, AnswersEveryProductAsTheReferenceServerInEveryForm) {
  std::vector<std::string> targets;
  for (const TOddProduct& p : OddProducts()) {
    const std::string sent = AsTheWizardSends(p.Id);
    for (const std::string& id : {sent, PercentEncodeAll(p.Id), PercentEncodeAll(p.Id, true), sent + "&lang=en",
                                  sent + "&a&b&c", PercentEncodeAll(p.Id) + "&x=%41"}) {
      targets.push_back("/soft_update.php?referer=C&D_Update&productID=" + id);
      targets.push_back("/soft_update.php?PRODUCTID=" + id);
      targets.push_back("/soft_history.php?productID=" + id);
      targets.push_back("/soft_download.php?productID=" + id);
      targets.push_back("/soft_download_reg.php?x=1&productid=" + id);
    }
    const TReply pointer = Reference->Answer({"GET", "/soft_history.php?productID=" + sent});
    if (pointer.Status == 200) {
      const std::string url = pointer.Body.substr(2, pointer.Body.find("@@", 2) - 2);
      ASSERT_TRUE(url.starts_with(Nginx->Url())) << url;
      targets.push_back("/" + url.substr(Nginx->Url().size()));
    }
  }
  ExpectSameReplies(targets);
  // Every ID found, not merely both servers failing alike.
  for (const TOddProduct& p : OddProducts())
    EXPECT_EQ(Ask({"/soft_update.php?productID=" + AsTheWizardSends(p.Id)})[0].Status, 200) << p.Id;
}

TEST_F(StaticExportNginx, FailsAsTheReferenceServerDoes) {
  ExpectSameReplies({
      "/soft_update.php?productID=nothing",
      "/soft_update.php?productID=IMAGETOOL",
      "/soft_update.php?productID=imagetoo",
      "/soft_update.php?productID=imagetool%",
      "/soft_update.php?productID=x%2541",
      "/soft_update.php?productID=x%41",
      "/soft_update.php?productID=x%2541&y",
      "/soft_update.php?productID=",
      "/soft_update.php?productID",
      "/soft_update.php?referer=x",
      "/soft_update.php",
      "/soft_update.php?xproductID=imagetool",
      "/soft_update.php?a=productID=imagetool",
      "/soft_update.php?productID=nothing&productID=imagetool",
      "/soft_history.php?productID=a%26b%26c",
      "/soft_history.php?productID=a&b&c",
      "/soft_update.php?productID=a&b&lang=en",
      "/soft_update.php?productID=a&b%26c&d",
      "/soft_update.php?productID=a%26b&c",
      "/soft_update.php?productID=x%41&a&b",
      "/soft_download.php?productID=nothing",
      "/soft_download_reg.php",
      "/soft_update.php/?productID=imagetool",
      "//soft_update.php?productID=imagetool",
      "/soft%5Fupdate.php?productID=imagetool",
      "/history/",
      "/history/missing.txt",
      "/history/imagetool.txt",
      "/history/notes/odd%20notes.rtf",
      "/history/latin.txt",
      "/update/imagetool",
      "/site/update/imagetool",
      "/nginx.conf",
      "/products.tsv",
      "/",
      "/index.html",
  });
  ExpectSameReplies({"/soft_update.php?productID=imagetool", "/soft_history.php?productID=nothing", "/nothing"},
                    "HEAD");
  const std::vector<TSeen> posted = Ask({"/soft_update.php?productID=imagetool"}, "DELETE");
  EXPECT_EQ(posted[0], (TSeen{405, "text/plain; charset=utf-8", "Only GET and HEAD are answered here\r\n"}));
  const THttpReply refused = RawRequest(Nginx->Port(), "PUT / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(refused.Header("Allow"), "GET, HEAD");
  EXPECT_EQ(HttpGet(Nginx->Port(), "/soft_update.php?productID=imagetool").Header("Allow"), "");
}

TEST_F(StaticExportNginx, FindsTheSameProductForAnyMixOfIdsEscapesAndAmpersands) {
  // Values built from pieces of the IDs, escapes and separators: whatever
  // the reference server makes of one, nginx must make of it too.
  const std::vector<std::string> pieces = {"a",   "a&b",       "a%26b", "&",  "&",   "&",        "b",
                                           "&c",  "c",         "%26",   "x",  "%41", "%25",      "41",
                                           "%61", "imagetool", "A",     "%2", "=",   "&lang=en", "%2541"};
  std::mt19937 random(20260315);
  std::vector<std::string> targets;
  std::set<std::string> found;
  for (int i = 0; i < 1500; ++i) {
    std::string value;
    const int length = 1 + static_cast<int>(random() % 5);
    for (int k = 0; k < length; ++k) value += pieces[random() % pieces.size()];
    const std::string target = "/soft_update.php?productID=" + value;
    targets.push_back(target);
    if (const TReply reply = Reference->Answer({"GET", target}); reply.Status == 200) found.insert(reply.Body);
  }
  EXPECT_GE(found.size(), 6u);  // the mix names several products, not only unknown ones
  ExpectSameReplies(targets);
}
