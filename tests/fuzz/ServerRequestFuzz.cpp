// Feeds arbitrary request heads to the update server's routes: the first
// byte chooses the method and what the head says about a body, the rest is
// the raw request target. Every reply has a status the routes give, a body
// of the size announced, and the error replies hold nothing that the wizard
// could read as an update record.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "UpdateServer.h"

namespace {
const TUpdateServer& Server() {
  static const std::unique_ptr<TUpdateServer> server = [] {
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "brevant-server-request-fuzz";
    std::filesystem::create_directories(dir);
    const auto write = [&](const char* name, const std::string& text) {
      std::FILE* f = std::fopen((dir / name).c_str(), "wb");
      std::fwrite(text.data(), 1, text.size(), f);
      std::fclose(f);
    };
    write("a.product", "id=a\ndate=15/03/2026\nversion=2.2.0\nhistory=a b.txt\ndownload=http://d.example/\n");
    write("odd.product", "id=Q&A v=1+x\ndate=29/02/2024\nversion=1.0\ndownload=http://d.example/\n");
    write("a b.txt", "Version 2.2.0\r\n");
    return std::make_unique<TUpdateServer>(TCatalogue::Load(dir));
  }();
  return *server;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const char* const Methods[] = {"GET", "HEAD", "POST", "OPTIONS"};
  TRequestHead head;
  head.Method = Methods[data[0] & 3];
  head.AnnouncesBody = (data[0] & 4) != 0;
  head.HasContentEncoding = (data[0] & 8) != 0;
  const std::string target(reinterpret_cast<const char*>(data) + 1, size - 1);
  head.Target = target;
  const TReply reply = Server().Answer(head);
  if (reply.BodyView().size() != reply.BodySize()) __builtin_trap();
  switch (reply.Status) {
    case 200:
      break;
    case 404:
    case 405:
    case 413:
    case 415:
      if (reply.Body.find_first_of("./0123456789@") != std::string::npos) __builtin_trap();
      break;
    default:
      __builtin_trap();
  }
  if ((head.AnnouncesBody || head.HasContentEncoding) && (reply.Status < 413 || !reply.Close)) __builtin_trap();
  return 0;
}
