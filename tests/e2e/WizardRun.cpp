#include "tests/e2e/WizardRun.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <QImage>
#include <QRect>

#include "tests/support/NginxProcess.h"
#include "tests/support/Wait.h"

using namespace std::chrono_literals;

bool HasLibrary(const TChildProcess& process, const std::string& name) {
  return ReadWholeFile("/proc/" + std::to_string(process.Pid()) + "/maps").find(name) != std::string::npos;
}

bool ButtonShowsAt(const TXvfb& x, const std::string& window, int centreX, int centreY) {
  const QImage shown = x.Grab(window);
  const QRect band(centreX - 30, centreY - 3, 61, 7);
  if (shown.isNull() || !shown.rect().contains(band)) return false;
  const QRgb plain = shown.pixel(band.topLeft());
  for (int row = band.top(); row <= band.bottom(); ++row)
    for (int column = band.left(); column <= band.right(); ++column)
      if (shown.pixel(column, row) != plain) return true;
  return false;
}

std::string InstallWizard(const TTempDir& dir) {
  const std::string exe = dir.File("Brevant");
  std::filesystem::copy_file(BREVANT_EXE, exe);
  return exe;
}

std::string DemoCatalogue() {
  return std::string(BREVANT_SOURCE_DIR) + "/demo/catalogue";
}

void InstallDemoDescriptors(const TTempDir& dir) {
  for (const auto& e : std::filesystem::directory_iterator(std::string(BREVANT_SOURCE_DIR) + "/demo/descriptors"))
    std::filesystem::copy_file(e.path(), dir.File(e.path().filename().string()));
}

TServerProcess::TServerProcess(const TTempDir& dir, const std::string& catalogue)
    : FOut(dir.File("server-out.txt")),
      FProcess({UPDATE_SERVER_EXE, "--port", "0", "--catalogue", catalogue}, {}, FOut) {
  WaitUntil(
      [&] {
        const std::string out = ReadWholeFile(FOut);
        const auto at = out.find("Listening on ");
        const auto eol = out.find('\n', at);
        if (at != std::string::npos && eol != std::string::npos) FUrl = out.substr(at + 13, eol - at - 13);
        return !FUrl.empty();
      },
      10s, 50ms);
}

bool TServerProcess::WaitForRequests(int requests) const {
  return WaitUntil(
      [&] {
        // The server logs one line per request.
        const std::string log = Log();
        int answered = 0;
        for (auto at = log.find(" GET /"); at != std::string::npos; at = log.find(" GET /", at + 1)) ++answered;
        return answered >= requests;
      },
      15s, 50ms);
}

TNginxExport::TNginxExport(const std::string& catalogue) {
  FServer = StartNginx(
      FSite.Path(),
      [&](int port) {
        RunAndRead(
            {UPDATE_SERVER_EXE, "--catalogue", catalogue, "--export", FSite.Path(), "--port", std::to_string(port)}, {},
            60s);
      },
      FLogs.File("nginx-out.txt"));
}

bool TNginxExport::WaitForRequests(int requests) const {
  // nginx logs one line per request, within a second.
  return WaitUntil(
      [&] {
        const std::string log = ReadWholeFile(FSite.File("logs/access.log"));
        int answered = 0;
        for (auto at = log.find("\"GET /"); at != std::string::npos; at = log.find("\"GET /", at + 1)) ++answered;
        return answered >= requests;
      },
      15s);
}

std::string TNginxExport::Download(const std::string& id, bool registered) const {
  // products.tsv: id, file name, download, download_reg, history.
  std::istringstream table(ReadWholeFile(FSite.File("products.tsv")));
  for (std::string line; std::getline(table, line);) {
    std::vector<std::string> fields;
    for (std::size_t at = 0; at <= line.size();) {
      const std::size_t tab = std::min(line.find('\t', at), line.size());
      fields.push_back(line.substr(at, tab - at));
      at = tab + 1;
    }
    if (fields.size() == 5 && fields[0] == id) return fields[registered ? 3 : 2];
  }
  return {};
}

const char* const ListedDescriptor =
    "[Product]\r\nID=7\r\nMODE=0\r\nVERSION=2.1.0\r\nTITLE=Image "
    "Tool\r\nCODE=IMT\r\nDAY=14\r\nMONTH=03\r\nYEAR=2025\r\n";
const char* const OlderImageToolDescriptor =
    "ID=imagetool\r\nMODE=0\r\nVERSION=2.1.0\r\nTITLE=Image Tool\r\nCODE=IMT\r\nDAY=1\r\nMONTH=1\r\nYEAR=2025\r\n";

std::string InstallOpener(const TTempDir& dir, int exitCode) {
  const std::string bin = dir.File("bin");
  std::filesystem::create_directory(bin);
  std::ofstream(bin + "/xdg-open") << "#!/bin/sh\nprintf '%s %s\\n' \"$(date +%s.%N)\" \"$1\" >> '"
                                   << dir.File("opened.txt") << "'\nexit " << exitCode << "\n";
  ::chmod((bin + "/xdg-open").c_str(), 0755);
  return bin;
}

TListener::TListener() {
  FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(FFd, 8);
  socklen_t len = sizeof a;
  ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
  FPort = ntohs(a.sin_port);
}

TListener::~TListener() {
  ::close(FFd);
}

std::string TListener::Url() const {
  return "http://127.0.0.1:" + std::to_string(FPort) + "/";
}

int TListener::Accepted() {
  int n = 0;
  for (int c; (c = ::accept(FFd, nullptr, nullptr)) >= 0; ++n) ::close(c);
  return n;
}
