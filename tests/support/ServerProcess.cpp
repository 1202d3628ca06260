#include "tests/support/ServerProcess.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <sstream>

#include "platform/SystemInfo_posix.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

TServerChild::TServerChild(const std::vector<std::string>& argv, const std::string& outputFile)
    : FOutputFile(outputFile), FProcess(std::make_unique<TChildProcess>(argv, std::vector<std::string>{}, outputFile)) {
  const std::string prefix = "Listening on ";
  WaitUntil(
      [&] {
        const std::string out = Output();
        const std::size_t at = out.find(prefix);
        const std::size_t eol = at == std::string::npos ? at : out.find('\n', at);
        if (eol != std::string::npos) FUrl = out.substr(at + prefix.size(), eol - at - prefix.size());
        return !FUrl.empty() || !FProcess->Running();
      },
      std::chrono::seconds(10), std::chrono::milliseconds(10));
  const std::size_t colon = FUrl.rfind(':');
  if (colon != std::string::npos) FPort = std::atoi(FUrl.c_str() + colon + 1);
}

TServerChild::TServerChild(const std::vector<std::string>& argv, const std::string& outputFile, int port,
                           const std::function<bool(pid_t)>& ready)
    : FOutputFile(outputFile), FProcess(std::make_unique<TChildProcess>(argv, std::vector<std::string>{}, outputFile)) {
  const auto accepts = [port] {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
  };
  const bool up = WaitUntil([&] { return !FProcess->Running() || (ready(FProcess->Pid()) && accepts()); },
                            std::chrono::seconds(10));
  if (up && FProcess->Running()) {
    FPort = port;
    FUrl = "http://127.0.0.1:" + std::to_string(port) + "/";
  }
}

TServerChild::~TServerChild() {
  if (!FProcess->Running()) return;
  FProcess->Signal(SIGTERM);
  FProcess->Wait(std::chrono::seconds(10));
}

std::string TServerChild::Output() const {
  return ReadWholeFile(FOutputFile);
}

bool TServerChild::WaitForOutput(const std::string& text, int count, std::chrono::milliseconds timeout) const {
  return WaitUntil(
      [&] {
        const std::string out = Output();
        int found = 0;
        for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + text.size())) ++found;
        return found >= count;
      },
      timeout, std::chrono::milliseconds(10));
}

std::uint64_t ProcessStatusBytes(int pid, const std::string& field) {
  std::uint64_t bytes = 0;
  return ProcFieldBytes(ReadWholeFile("/proc/" + std::to_string(pid) + "/status"), field, bytes) ? bytes : 0;
}

double ProcessCpuSeconds(int pid) {
  // Fields 14 and 15 of /proc/PID/stat, counted after the command name in
  // parentheses (which may hold blanks).
  const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  unsigned long long user = 0, system = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) user = std::strtoull(field.c_str(), nullptr, 10);
    if (i == 15) system = std::strtoull(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}
