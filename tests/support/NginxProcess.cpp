#include "tests/support/NginxProcess.h"

#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

std::string NginxProgram() {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/usr/local/sbin";
  for (std::size_t at = 0; at <= path.size();) {
    const std::size_t colon = std::min(path.find(':', at), path.size());
    const std::string candidate = path.substr(at, colon - at) + "/nginx";
    if (colon > at && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    at = colon + 1;
  }
  return {};
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  ::close(fd);
  return port;
}

std::unique_ptr<TServerChild> RunNginx(const std::string& folder, int port, const std::string& outputFile,
                                       const std::string& user) {
  std::vector<std::string> argv;
  if (const passwd* pw = user.empty() ? nullptr : ::getpwnam(user.c_str()))
    argv = {"setpriv", "--reuid=" + std::to_string(pw->pw_uid), "--regid=" + std::to_string(pw->pw_gid),
            "--clear-groups"};
  const std::string nginx = NginxProgram();
  argv.insert(argv.end(),
              {nginx.empty() ? std::string("nginx") : nginx, "-p", folder, "-c", "nginx.conf", "-g", "daemon off;"});
  // nginx writes its pid file once it holds the port.
  const auto holdsPort = [folder](pid_t pid) {
    return std::atoi(ReadWholeFile(folder + "/logs/nginx.pid").c_str()) == pid;
  };
  return std::make_unique<TServerChild>(argv, outputFile, port, holdsPort);
}

std::unique_ptr<TServerChild> StartNginx(const std::string& folder, const std::function<void(int port)>& exportAt,
                                         const std::string& outputFile) {
  // Root's nginx would hand its workers to nobody anyway; run all of it as a
  // normal user, as the export is meant to run.
  const bool root = ::geteuid() == 0;
  std::unique_ptr<TServerChild> server;
  for (int attempt = 0; attempt < 3 && !(server && server->Started()); ++attempt) {
    const int port = FreeLoopbackPort();
    server.reset();
    exportAt(port);
    if (root) GiveToNobody(folder);
    server = RunNginx(folder, port, outputFile, root ? "nobody" : "");
  }
  return server;
}

bool ServeExportOverTls(const std::string& folder) {
  const std::string cert = folder + "/test-cert.pem", key = folder + "/test-key.pem";
  if (!RunAndRead(
          {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days",
           "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert},
          {}, std::chrono::seconds(30)))
    return false;
  std::string config = ReadWholeFile(folder + "/nginx.conf");
  const std::size_t listen = config.find(" backlog=");
  if (listen == std::string::npos || config.find("        root site;\n") == std::string::npos) return false;
  config.insert(listen, " ssl http2");
  config.insert(config.find("        root site;\n"), "        ssl_certificate " + cert +
                                                         ";\n        ssl_certificate_key " + key +
                                                         ";\n        ssl_protocols TLSv1.2 TLSv1.3;\n");
  std::ofstream out(folder + "/nginx.conf", std::ios::binary | std::ios::trunc);
  out << config;
  return static_cast<bool>(out.flush());
}
