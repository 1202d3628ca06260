#include "tests/support/NginxProcess.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

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

std::unique_ptr<TServerChild> StartNginx(const std::string& folder, const std::function<void(int port)>& exportAt,
                                         const std::string& outputFile) {
  const std::string nginx = NginxProgram();
  std::vector<std::string> argv;
  // Root's nginx would hand its workers to nobody anyway; run all of it as a
  // normal user, as the export is meant to run.
  const bool root = ::geteuid() == 0;
  if (root) argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  argv.insert(argv.end(),
              {nginx.empty() ? std::string("nginx") : nginx, "-p", folder, "-c", "nginx.conf", "-g", "daemon off;"});
  // nginx writes its pid file once it holds the port.
  const auto holdsPort = [folder](pid_t pid) {
    return std::atoi(ReadWholeFile(folder + "/logs/nginx.pid").c_str()) == pid;
  };
  std::unique_ptr<TServerChild> server;
  for (int attempt = 0; attempt < 3 && !(server && server->Started()); ++attempt) {
    const int port = FreeLoopbackPort();
    server.reset();
    exportAt(port);
    if (root) GiveToNobody(folder);
    server = std::make_unique<TServerChild>(argv, outputFile, port, holdsPort);
  }
  return server;
}
