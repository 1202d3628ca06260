// The network part of an update check of 26 products (78 requests: update
// record, history pointer and history text of each) against the reference
// update server on loopback, next to the same 78 URLs fetched by the curl
// command-line tool in one invocation. Prints both times and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include <QApplication>

#include "app/F_Main.h"
#include "app/U_UpdateCheck.h"
#include "runtime/Application.h"
#include "runtime/MessageBox.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tools/update-server/UpdateServer.h"

namespace {
constexpr int kProducts = 26;
constexpr int kRounds = 15;

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
}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  TApplication app(argc, argv);
  TMessageBox::SetAutoAnswer(true);

  TTempDir catalogue, descriptors;
  std::string history;
  for (int i = 0; i < 40; ++i) history += "Version 2." + std::to_string(i) + "\r\n- an improvement of some length\r\n";
  for (int i = 0; i < kProducts; ++i) {
    const std::string id = "p" + std::to_string(i);
    catalogue.Write(id + ".txt", history);
    catalogue.Write(id + ".product", "id=" + id + "\r\ndate=15/03/2026\r\nversion=2.2.0\r\nhistory=" + id +
                                         ".txt\r\ndownload=http://127.0.0.1/d\r\n");
    descriptors.Write(id + ".ini", "ID=" + id + "\r\nMODE=0\r\nVERSION=2.1.0\r\nTITLE=Product " + std::to_string(i) +
                                       "\r\nCODE=P\r\nDAY=1\r\nMONTH=1\r\nYEAR=2025\r\n");
  }
  TUpdateServer server(TCatalogue::Load(catalogue.Path()));
  server.Start("127.0.0.1", 0);
  qputenv("BREVANT_UPDATE_SERVER", QByteArray::fromStdString(server.BaseUrl()));

  TfmMain form(descriptors.Path());
  if (ProductCount != kProducts) {
    std::fprintf(stderr, "expected %d products, read %d\n", kProducts, ProductCount);
    return 1;
  }

  // The same 78 URLs for curl, in the check's order.
  const std::string base = server.BaseUrl();
  std::ofstream config(descriptors.File("curl.cfg"));
  for (int i = 0; i < kProducts; ++i) {
    const std::string id = "p" + std::to_string(i);
    for (const std::string& url :
         {UpdateRecordUrl(base, "P", id), HistoryPointerUrl(base, id), base + "history/" + id + ".txt"})
      config << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
  }
  config.close();

  std::vector<double> wizard, curl;
  for (int round = 0; round < kRounds; ++round) {
    wizard.push_back(Milliseconds([&] {
      form.OpenInternetHandle();
      form.FetchLatestValues();
      form.CloseInternetHandle();
    }));
    curl.push_back(Milliseconds([&] {
      RunAndRead({"curl", "--silent", "--show-error", "--noproxy", "*", "--config", descriptors.File("curl.cfg")}, {},
                 std::chrono::seconds(60));
    }));
  }
  const std::string& h = Products.History[TProductTable::Latest(kProducts - 1)];
  if (h != history) {
    std::fprintf(stderr, "the check did not fetch the history text (%zu bytes)\n", h.size());
    return 1;
  }
  const double w = Median(wizard), c = Median(curl);
  std::printf("network part of a check, %d products (%d requests), median of %d rounds:\n", kProducts, 3 * kProducts,
              kRounds);
  std::printf("  wizard (one Internet handle, 256-byte reads): %8.2f ms\n", w);
  std::printf("  curl command-line tool, one invocation:        %8.2f ms\n", c);
  std::printf("  ratio wizard / curl:                           %8.2f\n", w / c);
  server.Stop();
  return 0;
}
