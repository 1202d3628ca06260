// The network part of an update check of 26 products (78 requests: update
// record, history pointer and history text of each), as the wizard makes it
// (the products side by side, FetchLatestValues) and as it made it before
// (one request after the other over one Internet handle, 256-byte reads).
//
// On loopback: against the reference update server, next to the same 78 URLs
// fetched by the curl command-line tool in one invocation.
//
// Far away: every reply of the server reaches the wizard DELAY ms late (a
// delaying proxy in front of it, which also counts the connections the
// check opens), for the reference server over HTTP/1.1 and for nginx
// serving the server's static export over TLS with HTTP/2, the maker's
// production set-up (with a test certificate made here).
//
// Usage: CheckBench [--delays 0,50,150] [--rounds N] [--no-nginx]
//   --delays   the far delays in ms (default 0,50,150)
//   --rounds   rounds of each far figure (default 5; the one-after-the-other
//              check runs once from 50 ms on, where it takes 78 delays)
//   --no-nginx the reference server only
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

#include <QApplication>

#include "app/U_UpdateCheck.h"
#include "runtime/Application.h"
#include "runtime/BusyWait.h"
#include "runtime/MessageBox.h"
#include "tests/support/DelayProxy.h"
#include "tests/support/NginxProcess.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tools/update-server/StaticExport.h"
#include "tools/update-server/UpdateServer.h"

namespace {
constexpr int ProductCount = 26;
constexpr int LoopbackRounds = 31;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <class F>
double Milliseconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

std::vector<int> ParseList(const std::string& text) {
  std::vector<int> values;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t comma = std::min(text.find(',', at), text.size());
    values.push_back(std::max(0, std::atoi(text.substr(at, comma - at).c_str())));
    at = comma + 1;
  }
  return values;
}

// One check's Internet handle, as the wizard opens it.
std::unique_ptr<TInternetSession> OpenSession(const std::string& caFile) {
  THttpLimits limits;
  limits.CaFile = caFile;
  auto session = TInternetSession::Open("Brevant", limits);
  if (session) session->SetWaitHandler(ProcessEventsWithoutInput);
  return session;
}

// The whole body behind `url`, read as the wizard read it before: 256 bytes
// at a time; false when it failed.
bool WebText(TInternetSession& session, const std::string& url, std::string& text) {
  text.clear();
  const auto handle = session.OpenUrl(url);
  if (!handle) return false;
  char buffer[256];
  for (std::size_t got = 0;;) {
    if (!handle->Read(buffer, sizeof buffer, got)) return false;
    if (got == 0) return true;
    text.append(buffer, got);
  }
}

// The check as the wizard made it before: product after product, each one's
// record, pointer and history one after the other. The histories.
std::vector<std::string> OneAfterTheOther(TInternetSession& session, const TProductTable& table,
                                          const std::string& base) {
  std::vector<std::string> histories;
  for (int place = 0; place < ProductCount; ++place) {
    const std::size_t in = TProductTable::Installed(place);
    std::string text, history = HistoryErrorText;
    if (!WebText(session, UpdateRecordUrl(base, table.Code[in], table.ID[in]), text)) break;
    if (WebText(session, HistoryPointerUrl(base, table.ID[in]), text))
      if (const auto url = ParseHistoryPointer(text); url && WebText(session, *url, text)) history = text;
    histories.push_back(history);
  }
  return histories;
}

std::vector<std::string> SideBySide(TInternetSession& session, const TProductTable& table, const std::string& base) {
  std::vector<std::string> histories;
  const TLatestValues latest = FetchLatestValues(session, table, ProductCount, base);
  for (const TProductLatest& product : latest.Products) histories.push_back(product.History);
  if (latest.Failed) histories.pop_back();
  return histories;
}

using TCheck = std::function<std::vector<std::string>(TInternetSession&, const TProductTable&, const std::string&)>;

struct TFigure {
  double Ms = 0;
  double Connections = 0;  // per check, where a proxy counts them
  bool Ok = true;          // every check gave every history whole
};

// Each check `rounds` times against `base` (check[i] rounds[i] times), each
// over an Internet handle of its own, the checks taking turns so that a
// change of the machine's load meanwhile falls on all of them alike.
std::vector<TFigure> Measure(const std::vector<TCheck>& checks, const std::vector<int>& rounds,
                             const TProductTable& table, const std::string& base, const std::string& caFile,
                             const std::string& history, const TDelayProxy* proxy) {
  std::vector<std::vector<double>> times(checks.size());
  std::vector<TFigure> figures(checks.size());
  for (int round = 0; round < *std::max_element(rounds.begin(), rounds.end()); ++round)
    for (std::size_t c = 0; c < checks.size(); ++c) {
      if (round >= rounds[c]) continue;
      const auto session = OpenSession(caFile);
      const int connectionsBefore = proxy ? proxy->Connections() : 0;
      std::vector<std::string> histories;
      times[c].push_back(Milliseconds([&] { histories = checks[c](*session, table, base); }));
      if (proxy) figures[c].Connections += static_cast<double>(proxy->Connections() - connectionsBefore) / rounds[c];
      figures[c].Ok = figures[c].Ok && histories.size() == ProductCount &&
                      std::all_of(histories.begin(), histories.end(), [&](const auto& h) { return h == history; });
    }
  for (std::size_t c = 0; c < checks.size(); ++c) figures[c].Ms = Median(times[c]);
  return figures;
}

// A far server: the proxy in front of it, the base address the wizard is
// given (the proxy's), the authority to trust.
struct TFarServer {
  std::string Name;
  std::unique_ptr<TDelayProxy> Proxy;
  std::string Base, CaFile;
  std::unique_ptr<TUpdateServer> Reference;
  std::unique_ptr<TTempDir> Folder;
  std::unique_ptr<TServerChild> Nginx;
};
}  // namespace

int main(int argc, char** argv) {
  std::vector<int> delays = {0, 50, 150};
  int farRounds = 5;
  bool withNginx = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--delays" && i + 1 < argc)
      delays = ParseList(argv[++i]);
    else if (arg == "--rounds" && i + 1 < argc)
      farRounds = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--no-nginx")
      withNginx = false;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ::setenv("no_proxy", "127.0.0.1", 1);
  TApplication app(argc, argv);
  TMessageBox::SetAutoAnswer(true);

  TTempDir catalogue, work;
  std::string history;
  for (int i = 0; i < 40; ++i) history += "Version 2." + std::to_string(i) + "\r\n- an improvement of some length\r\n";
  TProductTable table;
  for (int i = 0; i < ProductCount; ++i) {
    const std::string id = "p" + std::to_string(i);
    catalogue.Write(id + ".txt", history);
    catalogue.Write(id + ".product", "id=" + id + "\r\ndate=15/03/2026\r\nversion=2.2.0\r\nhistory=" + id +
                                         ".txt\r\ndownload=http://127.0.0.1/d\r\n");
    TDescriptor d;
    d.ID = id;
    d.Code = "P";
    d.Version = "2.1.0";
    d.Title = "Product " + std::to_string(i);
    table.Store(i, d);
  }
  const TCheck sequential = OneAfterTheOther, concurrent = SideBySide;

  // On loopback.
  TUpdateServer server(TCatalogue::Load(catalogue.Path()));
  server.Start("127.0.0.1", 0);
  const std::string base = server.BaseUrl();
  std::ofstream config(work.File("curl.cfg"));
  for (int i = 0; i < ProductCount; ++i) {
    const std::string id = "p" + std::to_string(i);
    for (const std::string& url :
         {UpdateRecordUrl(base, "P", id), HistoryPointerUrl(base, id), base + "history/" + id + ".txt"})
      config << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
  }
  config.close();
  std::vector<double> curl;
  for (int round = 0; round < LoopbackRounds; ++round)
    curl.push_back(Milliseconds([&] {
      RunAndRead({"curl", "--silent", "--show-error", "--noproxy", "*", "--config", work.File("curl.cfg")}, {},
                 std::chrono::seconds(60));
    }));
  const std::vector<TFigure> loopback =
      Measure({concurrent, sequential}, {LoopbackRounds, LoopbackRounds}, table, base, "", history, nullptr);
  const TFigure &now = loopback[0], &before = loopback[1];
  std::printf("network part of a check, %d products (%d requests), on loopback, median of %d rounds:\n", ProductCount,
              3 * ProductCount, LoopbackRounds);
  std::printf("  wizard, products side by side:                 %8.2f ms%s\n", now.Ms, now.Ok ? "" : "  WRONG RESULTS");
  std::printf("  one request after the other (256-byte reads):  %8.2f ms%s\n", before.Ms,
              before.Ok ? "" : "  WRONG RESULTS");
  std::printf("  curl command-line tool, one invocation:        %8.2f ms\n", Median(curl));
  std::printf("  ratio side by side / curl:                     %8.2f\n", now.Ms / Median(curl));

  // Far away.
  std::vector<TFarServer> far;
  {
    TFarServer reference;
    reference.Name = "update-server, HTTP/1.1";
    reference.Proxy = std::make_unique<TDelayProxy>(std::chrono::milliseconds(0));
    reference.Base = reference.Proxy->BaseUrl();
    TUpdateServerOptions options;
    options.PublicUrl = reference.Base;  // the history texts come through the proxy too
    reference.Reference = std::make_unique<TUpdateServer>(TCatalogue::Load(catalogue.Path()), nullptr, options);
    reference.Proxy->SetUpstream(reference.Reference->Start("127.0.0.1", 0));
    far.push_back(std::move(reference));
  }
  if (withNginx && NginxProgram().empty()) {
    std::fprintf(stderr, "nginx is not installed (scripts/install-deps.sh installs it): not measured\n");
  } else if (withNginx) {
    TFarServer nginx;
    nginx.Name = "nginx export, TLS, HTTP/2";
    nginx.Proxy = std::make_unique<TDelayProxy>(std::chrono::milliseconds(0));
    nginx.Base = nginx.Proxy->BaseUrl("https");
    nginx.Folder = std::make_unique<TTempDir>();
    bool tls = true;
    nginx.Nginx = StartNginx(
        nginx.Folder->Path(),
        [&](int port) {
          TStaticExportOptions options;
          options.Port = port;
          options.PublicUrl = nginx.Base;
          StaticExport::Export(TCatalogue::Load(catalogue.Path()), nginx.Folder->Path(), options);
          tls = ServeExportOverTls(nginx.Folder->Path());
        },
        work.File("nginx.out"));
    if (!tls || !nginx.Nginx->Started()) {
      std::fprintf(stderr, "nginx over TLS did not start:\n%s\n", nginx.Nginx->Output().c_str());
      return 1;
    }
    nginx.CaFile = nginx.Folder->File("test-cert.pem");
    nginx.Proxy->SetUpstream(nginx.Nginx->Port());
    far.push_back(std::move(nginx));
  }
  std::printf("\nfar away: every reply DELAY ms late; median of %d rounds (one after the other: 1 round from 50 ms)\n",
              farRounds);
  std::printf("%-28s %6s %14s %12s %16s %12s\n", "server", "delay", "side by side", "connections", "one after other",
              "connections");
  for (const int delay : delays)
    for (TFarServer& target : far) {
      target.Proxy->SetDelay(std::chrono::milliseconds(delay));
      const int sequentialRounds = delay >= 50 ? 1 : farRounds;
      const std::vector<TFigure> figures = Measure({concurrent, sequential}, {farRounds, sequentialRounds}, table,
                                                   target.Base, target.CaFile, history, target.Proxy.get());
      const TFigure &side = figures[0], &one = figures[1];
      std::printf("%-28s %4d ms %11.0f ms %12.1f %13.0f ms %12.1f%s\n", target.Name.c_str(), delay, side.Ms,
                  side.Connections, one.Ms, one.Connections, side.Ok && one.Ok ? "" : "  WRONG RESULTS");
      std::fflush(stdout);
    }
  return 0;
}
