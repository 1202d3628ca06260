#include "UpdateServer.h"

#include <arpa/inet.h>
#include <linux/tcp.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>

#include "runtime/TextCodec.h"
#include "runtime/TextUtil.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view ProductExtension = ".product";
constexpr std::size_t MaxUrlLength = 2048;

using namespace UpdateServerReplies;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool HasControlChar(std::string_view s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsValidDate(int day, int month, int year) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static constexpr std::array<int, 12> Days = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int last = month == 2 && leap ? 29 : Days[static_cast<std::size_t>(month - 1)];
  return day <= last;
}

// Date text "DD/MM/YYYY"; returns an error text or an empty one.
std::string CheckDate(std::string_view v) {
  if (v.size() != 10 || v[2] != '/' || v[5] != '/') return "date must be written DD/MM/YYYY, e.g. 15/03/2026";
  for (std::size_t i : {0u, 1u, 3u, 4u, 6u, 7u, 8u, 9u})
    if (!IsDigit(v[i])) return "date must be written DD/MM/YYYY, e.g. 15/03/2026";
  const int day = (v[0] - '0') * 10 + (v[1] - '0');
  const int month = (v[3] - '0') * 10 + (v[4] - '0');
  const int year = (v[6] - '0') * 1000 + (v[7] - '0') * 100 + (v[8] - '0') * 10 + (v[9] - '0');
  if (!IsValidDate(day, month, year)) return "'" + std::string(v) + "' is not a valid calendar date";
  return {};
}

std::string CheckVersion(std::string_view v) {
  if (v.empty()) return "version must not be empty";
  if (v.size() > TCatalogue::MaxVersionLength)
    return "version '" + std::string(v) + "' is longer than " + std::to_string(TCatalogue::MaxVersionLength) +
           " characters; the wizard reads only the first " + std::to_string(TCatalogue::MaxVersionLength);
  for (char c : v)
    if (!IsDigit(c) && c != '.')
      return "version '" + std::string(v) + "' may hold only digits and dots (the wizard drops every other character)";
  return {};
}

std::string CheckUrl(std::string_view v) {
  if (!StartsWithTextAscii(v, "http://") && !StartsWithTextAscii(v, "https://"))
    return "URL must start with http:// or https://";
  const std::size_t schemeLength = StartsWithTextAscii(v, "https://") ? 8 : 7;
  if (v.size() == schemeLength) return "URL names no host";
  if (v.size() > MaxUrlLength) return "URL is longer than " + std::to_string(MaxUrlLength) + " characters";
  for (char c : v) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '"' || c == '<' || c == '>' || c == '\\')
      return "URL holds a blank, a control character or one of \" < > \\ (write them %-encoded)";
  }
  return {};
}

// A history file name relative to the catalogue folder; "\" is taken as "/".
std::string CheckHistoryName(std::string& v) {
  std::replace(v.begin(), v.end(), '\\', '/');
  if (HasControlChar(v)) return "history file name holds a control character";
  if (v.front() == '/' || (v.size() >= 2 && v[1] == ':'))
    return "history file must be given relative to the catalogue folder";
  std::size_t start = 0;
  while (start <= v.size()) {
    const std::size_t end = std::min(v.find('/', start), v.size());
    const std::string_view part = std::string_view(v).substr(start, end - start);
    if (part.empty() || part == "." || part == "..")
      return "history file name '" + v + "' must not hold empty, '.' or '..' parts";
    start = end + 1;
  }
  return {};
}

struct TKeyInfo {
  std::string_view Name;
  bool Required;
};

constexpr std::array<TKeyInfo, 7> Keys = {{{"id", true},
                                           {"title", false},
                                           {"date", true},
                                           {"version", true},
                                           {"history", false},
                                           {"download", true},
                                           {"download_reg", false}}};

struct TParsedProduct {
  TProduct Product;
  std::map<std::string, int, std::less<>> Lines;  // key -> line it was given on
};

TParsedProduct ParseProductText(std::string_view text, const std::string& fileName, std::vector<std::string>& errors) {
  TParsedProduct parsed;
  TProduct& p = parsed.Product;
  p.SourceFile = fileName;
  auto fail = [&](int line, const std::string& message) {
    errors.push_back(fileName + ":" + std::to_string(line) + ": " + message);
  };

  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  if (text.find('\0') != std::string_view::npos) {
    errors.push_back(fileName + ": holds NUL bytes; a product file is a text file");
    return parsed;
  }

  int lineNo = 0;
  TLineReader lines(text);
  for (std::string_view raw; lines.Next(raw);) {
    ++lineNo;
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      fail(lineNo, "expected key=value");
      continue;
    }
    const std::string key = LowerAscii(Trim(line.substr(0, eq)));
    std::string value(Trim(line.substr(eq + 1)));
    const auto known = std::find_if(Keys.begin(), Keys.end(), [&](const TKeyInfo& k) { return k.Name == key; });
    if (known == Keys.end()) {
      std::string list;
      for (const TKeyInfo& k : Keys) list += (list.empty() ? "" : ", ") + std::string(k.Name);
      fail(lineNo, "unknown key '" + key + "' (known keys: " + list + ")");
      continue;
    }
    if (const auto seen = parsed.Lines.find(key); seen != parsed.Lines.end()) {
      fail(lineNo, "key '" + key + "' given twice (first on line " + std::to_string(seen->second) + ")");
      continue;
    }
    parsed.Lines.emplace(key, lineNo);

    std::string problem;
    if (value.empty() && known->Required)
      problem = "'" + key + "' must not be empty";
    else if (key == "id") {
      if (HasControlChar(value))
        problem = "id holds a control character";
      else if (value.find('#') != std::string::npos)
        problem = "id must not hold '#': HTTP clients never send what follows it";
      p.Id = value;
    } else if (key == "title") {
      if (HasControlChar(value)) problem = "title holds a control character";
      p.Title = value;
    } else if (key == "date") {
      problem = CheckDate(value);
      p.Date = value;
    } else if (key == "version") {
      problem = CheckVersion(value);
      p.Version = value;
    } else if (key == "history") {
      if (!value.empty()) problem = CheckHistoryName(value);
      p.History = value;
    } else if (key == "download") {
      problem = CheckUrl(value);
      p.Download = value;
    } else if (key == "download_reg") {
      if (!value.empty()) problem = CheckUrl(value);
      p.DownloadReg = value;
    }
    if (!problem.empty()) fail(lineNo, problem);
  }

  for (const TKeyInfo& k : Keys)
    if (k.Required && !parsed.Lines.contains(k.Name))
      errors.push_back(fileName + ": required key '" + std::string(k.Name) + "' is missing");
  if (p.Title.empty()) p.Title = p.Id;
  if (p.DownloadReg.empty()) p.DownloadReg = p.Download;
  return parsed;
}

// Reads a whole file of at most maxSize bytes; returns an error text or an empty one.
std::string ReadFileLimited(const fs::path& path, std::uintmax_t maxSize, std::string& content) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return "not found";
  if (!fs::is_regular_file(status)) return "not a regular file";
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return ec.message();
  if (size > maxSize) return "larger than " + std::to_string(maxSize) + " bytes";
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::string("cannot be opened: ") + std::strerror(errno);
  content.assign(static_cast<std::size_t>(size), '\0');
  in.read(content.data(), static_cast<std::streamsize>(size));
  if (static_cast<std::uintmax_t>(in.gcount()) != size) return "cannot be read whole";
  return {};
}

std::string HistoryContentType(const std::string& name, const std::string& content) {
  const std::string ext = LowerAscii(fs::path(name).extension().string());
  if (ext == ".rtf") return "application/rtf";
  const std::string charset = IsValidUtf8(content) ? "utf-8" : "windows-1252";
  if (ext == ".htm" || ext == ".html") return "text/html; charset=" + charset;
  return "text/plain; charset=" + charset;
}

void SetText(TReply& reply, int status, std::string_view text) {
  reply.Status = status;
  reply.ContentType = std::string(TextType);
  reply.Body = std::string(text);
  reply.Shared = nullptr;
}

std::string HostPart(const std::string& address, int port) {
  const bool v6 = address.find(':') != std::string::npos;
  return (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

std::string NowForLog() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t secs = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// Text helpers

namespace UpdateServerText {

std::string MakeBaseUrl(const std::string& address, int port) {
  return "http://" + HostPart(address, port) + "/";
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string EscapeForLog(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '\\') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

std::string EncodePath(std::string_view path) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c) || c == '-' || c == '.' || c == '_' ||
        c == '~' || c == '/') {
      out += c;
    } else {
      out += '%';
      out += Hex[u >> 4];
      out += Hex[u & 0x0F];
    }
  }
  return out;
}

std::string DecodePercent(std::string_view text) {
  auto hex = [](char c) -> int {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 && hex(text[i + 2]) >= 0) {
      out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace UpdateServerText

using namespace UpdateServerText;

// ---------------------------------------------------------------------------
// ECatalogue, TCatalogue

namespace {
std::string JoinLines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += (out.empty() ? "" : "\n") + l;
  return out;
}
}  // namespace

ECatalogue::ECatalogue(std::vector<std::string> errors)
    : std::runtime_error(JoinLines(errors)), Errors(std::move(errors)) {}

TProduct TCatalogue::ParseProduct(std::string_view text, const std::string& fileName,
                                  std::vector<std::string>& errors) {
  return ParseProductText(text, fileName, errors).Product;
}

TCatalogue TCatalogue::Load(const fs::path& folder) {
  TCatalogue catalogue;
  catalogue.FFolder = folder;
  std::vector<std::string> errors;
  const std::string folderName = folder.string();

  std::error_code ec;
  if (!fs::is_directory(folder, ec)) throw ECatalogue({folderName + ": catalogue folder not found"});

  std::vector<fs::path> files;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& path = it->path();
    if (LowerAscii(path.extension().string()) == ProductExtension) files.push_back(path);
  }
  if (ec) throw ECatalogue({folderName + ": cannot list the catalogue folder: " + ec.message()});
  std::sort(files.begin(), files.end());

  std::map<std::string, std::pair<std::string, int>> historyUsers;  // name -> first file, line
  for (const fs::path& path : files) {
    const std::string fileName = path.filename().string();
    std::string text;
    if (std::string problem = ReadFileLimited(path, MaxProductFileSize, text); !problem.empty()) {
      errors.push_back(fileName + ": " + problem);
      continue;
    }
    const std::size_t errorsBefore = errors.size();
    TParsedProduct parsed = ParseProductText(text, fileName, errors);
    if (errors.size() != errorsBefore) continue;
    TProduct& product = parsed.Product;
    if (const auto other = catalogue.FById.find(product.Id); other != catalogue.FById.end()) {
      errors.push_back(fileName + ":" + std::to_string(parsed.Lines.at("id")) + ": id '" + product.Id +
                       "' is already used by " + catalogue.FItems[other->second].SourceFile);
      continue;
    }
    if (!product.History.empty() && !historyUsers.contains(product.History))
      historyUsers.emplace(product.History, std::make_pair(fileName, parsed.Lines.at("history")));
    catalogue.FById.emplace(product.Id, catalogue.FItems.size());
    catalogue.FItems.push_back(std::move(product));
  }

  for (const auto& [name, user] : historyUsers) {
    std::string content;
    if (std::string problem = ReadFileLimited(folder / name, MaxHistoryFileSize, content); !problem.empty()) {
      errors.push_back(user.first + ":" + std::to_string(user.second) + ": history file '" + name + "': " + problem);
      continue;
    }
    const std::string type = HistoryContentType(name, content);
    catalogue.FHistories.emplace(name, THistoryText{std::move(content), type});
  }

  if (files.empty()) errors.push_back(folderName + ": no *.product files in the catalogue folder");
  if (!errors.empty()) throw ECatalogue(std::move(errors));
  return catalogue;
}

const TProduct* TCatalogue::Find(std::string_view id) const {
  const auto it = FById.find(id);
  return it == FById.end() ? nullptr : &FItems[it->second];
}

const THistoryText* TCatalogue::FindHistory(const std::string& relativeName) const {
  const auto it = FHistories.find(relativeName);
  return it == FHistories.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// TUpdateServer

namespace {

// One connection, from its accept to its close. The worker thread that owns
// the connection is the only one to touch it.
struct TConnectionState {
  std::string Client;  // "address:port"
  int Fd = -1;
  std::uint64_t HeadBytes = 0;  // bytes of the request heads answered so far
  bool Settled = false;         // its end is logged already (a refusal, a failed request)
};

// One request, from its request line to its end.
struct TRequestState {
  TConnectionState* Connection = nullptr;
  std::string Target;  // raw, as sent
  std::optional<TReply> Reply;
  bool Logged = false;
};

std::string AddressText(const sockaddr* address) {
  if (!address) return "-";
  char host[INET6_ADDRSTRLEN] = "-";
  int port = 0;
  if (address->sa_family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  } else if (address->sa_family == AF_INET6) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    port = ntohs(in6->sin6_port);
  } else {
    return "-";
  }
  return HostPart(host, port);
}

// Bytes the client has sent on the connection so far, as the kernel counts
// them; 0 when it cannot tell.
std::uint64_t BytesReceived(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (fd < 0 || ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
      length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
    return 0;
  // The count includes the client's FIN, one sequence number, once it came:
  // in the states after a FIN from the other side (the kernel's numbers; a
  // closed socket may have had a FIN or a reset, and counts as a FIN).
  constexpr std::uint8_t TimeWait = 6, Close = 7, CloseWait = 8, LastAck = 9, Closing = 11;
  const bool finReceived = info.tcpi_state == TimeWait || info.tcpi_state == Close || info.tcpi_state == CloseWait ||
                           info.tcpi_state == LastAck || info.tcpi_state == Closing;
  return info.tcpi_bytes_received - (finReceived && info.tcpi_bytes_received > 0 ? 1 : 0);
}

bool IsWildcard(const sockaddr* address) {
  if (address->sa_family == AF_INET)
    return reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == htonl(INADDR_ANY);
  if (address->sa_family == AF_INET6) {
    const in6_addr& a = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    return IN6_IS_ADDR_UNSPECIFIED(&a);
  }
  return false;
}

std::string HeaderValue(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value ? std::string(Trim(value)) : std::string();
}

}  // namespace

// The library's callbacks. They run on its worker threads; every one of them
// catches what it may throw (the library is C and must never see a C++
// exception), and a failure becomes "500" for the request or a closed
// connection.
struct TUpdateServer::TGlue {
  static void OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) noexcept {
    auto* server = static_cast<TUpdateServer*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      try {
        auto state = std::make_unique<TConnectionState>();
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
          state->Client = AddressText(info->client_addr);
        if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
          state->Fd = info->connect_fd;
        *socketContext = state.release();
      } catch (...) {
        *socketContext = nullptr;
      }
      return;
    }
    std::unique_ptr<TConnectionState> state(static_cast<TConnectionState*>(*socketContext));
    *socketContext = nullptr;
    if (!state || state->Settled) return;
    // Bytes that no answered request accounts for: a request line the
    // library could not parse (it closes such a connection, with or
    // without an error reply of its own) or a request cut short.
    if (BytesReceived(state->Fd) > state->HeadBytes) {
      try {
        server->Log(state->Client, "-", "-", "-", "-");
      } catch (...) {
      }
    }
  }

  static void* OnRequestLine(void* cls, const char* uri, MHD_Connection* connection) noexcept {
    (void)cls;
    try {
      auto request = std::make_unique<TRequestState>();
      if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT))
        request->Connection = static_cast<TConnectionState*>(info->socket_context);
      request->Target = uri ? uri : "";
      return request.release();
    } catch (...) {
      return nullptr;
    }
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* /*url*/, const char* method,
                              const char* /*version*/, const char* /*uploadData*/, std::size_t* uploadDataSize,
                              void** requestContext) noexcept {
    auto* server = static_cast<TUpdateServer*>(cls);
    auto* request = static_cast<TRequestState*>(*requestContext);
    if (!request || request->Logged) {
      // Never reached: a refusal goes out on the first call, before any
      // body is read, and closes the connection. Drop whatever arrives.
      *uploadDataSize = 0;
      return request ? MHD_YES : MHD_NO;
    }
    if (!request->Reply) {
      try {
        TRequestHead head;
        head.Method = method ? method : "";
        head.Target = request->Target;
        const std::string length = HeaderValue(connection, MHD_HTTP_HEADER_CONTENT_LENGTH);
        head.AnnouncesBody =
            (!length.empty() && length.find_first_not_of('0') != std::string::npos) ||
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
        head.HasContentEncoding =
            MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_ENCODING) != nullptr;
        request->Reply = server->Answer(head);
      } catch (...) {
        request->Reply = TReply{};
        SetText(*request->Reply, 500, TextServerError);
        request->Reply->Close = true;
      }
      // The library keeps a connection open only for a reply queued once
      // the whole request is in: a request without a body is whole at the
      // next call. A refusal goes out now, and the connection closes.
      if (!request->Reply->Close) return MHD_YES;
    }
    const TReply& reply = *request->Reply;

    const std::string_view body = reply.BodyView();
    MHD_Response* response = MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), reply.Shared ? MHD_RESPMEM_PERSISTENT : MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.ContentType.c_str());
    if (!reply.Allow.empty())
      MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, std::string(reply.Allow).c_str());
    if (reply.Close) MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.Status), response);
    MHD_destroy_response(response);

    request->Logged = true;
    if (TConnectionState* state = request->Connection) {
      if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE))
        state->HeadBytes += info->header_size;
      if (reply.Close) state->Settled = true;
    }
    try {
      server->Log(request->Connection ? request->Connection->Client : "-", method ? method : "-", request->Target,
                  std::to_string(reply.Status), std::to_string(reply.BodySize()));
    } catch (...) {
    }
    return queued;
  }

  static void OnRequestEnd(void* cls, MHD_Connection* connection, void** requestContext,
                           MHD_RequestTerminationCode /*code*/) noexcept {
    auto* server = static_cast<TUpdateServer*>(cls);
    std::unique_ptr<TRequestState> request(static_cast<TRequestState*>(*requestContext));
    *requestContext = nullptr;
    if (!request || request->Logged) return;
    // The library ended the request itself: a malformed or oversized head
    // (it answers with an error status of its own), or the client or the
    // server's stop cut it short. The connection closes after it.
    if (request->Connection) request->Connection->Settled = true;
    std::string status = "-";
    if (const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS))
      status = std::to_string(info->http_status);
    try {
      server->Log(request->Connection ? request->Connection->Client : "-", "-", request->Target, status, "-");
    } catch (...) {
    }
  }
};

TUpdateServer::TUpdateServer(TCatalogue catalogue, TLogSink logSink, TUpdateServerOptions options)
    : FCatalogue(std::move(catalogue)), FLogSink(std::move(logSink)), FOptions(std::move(options)) {}

TUpdateServer::~TUpdateServer() {
  Stop();
}

std::string TUpdateServer::CheckPublicUrl(std::string_view url) {
  if (std::string problem = CheckUrl(url); !problem.empty()) return problem;
  if (url.find('@') != std::string_view::npos) return "URL must not hold '@'";
  const std::size_t schemeLength = StartsWithTextAscii(url, "https://") ? 8 : 7;
  if (url[schemeLength] == '/' || url[schemeLength] == ':') return "URL names no host";
  if (url.find_first_of("?#") != std::string_view::npos) return "URL must not hold a query or a fragment";
  return {};
}

int TUpdateServer::Start(const std::string& address, int port) {
  if (FDaemon) throw EUpdateServer("the update server is running already");
  if (port < 0 || port > 65535) throw EUpdateServer("port " + std::to_string(port) + " is out of range (0 to 65535)");
  const std::string where = HostPart(address, port);
  if (!FOptions.PublicUrl.empty()) {
    if (std::string problem = CheckPublicUrl(FOptions.PublicUrl); !problem.empty())
      throw EUpdateServer("public URL '" + FOptions.PublicUrl + "': " + problem);
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int error = ::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found); error != 0)
    throw EUpdateServer("cannot listen on " + where + ": " + ::gai_strerror(error));
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> results(found, ::freeaddrinfo);
  const addrinfo& chosen = *results;
  if (IsWildcard(chosen.ai_addr) && FOptions.PublicUrl.empty())
    throw EUpdateServer(address +
                        " listens on every interface, so it names no address that clients reach: "
                        "give the address of the history pointers as a public URL (--public-url)");

  const int fd = ::socket(chosen.ai_family, chosen.ai_socktype | SOCK_CLOEXEC, chosen.ai_protocol);
  if (fd < 0) throw EUpdateServer("cannot listen on " + where + ": " + std::strerror(errno));
  // SO_REUSEADDR lets a restart bind while old connections linger in
  // TIME_WAIT; no SO_REUSEPORT, so a second server on a busy port fails.
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  if (::bind(fd, chosen.ai_addr, chosen.ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    const int error = errno;
    ::close(fd);
    throw EUpdateServer("cannot listen on " + where + ": " + std::strerror(error));
  }
  const int boundPort = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

  unsigned threads = FOptions.Threads > 0 ? static_cast<unsigned>(FOptions.Threads)
                                          : std::max(2u, std::thread::hardware_concurrency());
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC;
  if (chosen.ai_family == AF_INET6) flags |= MHD_USE_IPv6;
  MHD_Daemon* daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &TGlue::OnRequest, this,                                       //
      MHD_OPTION_LISTEN_SOCKET, fd,                                                              //
      MHD_OPTION_THREAD_POOL_SIZE, threads,                                                      //
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(std::max(1, FOptions.MaxConnections)),  //
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(std::max(0, FOptions.MaxConnectionsPerAddress)),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(std::max(1, FOptions.IdleTimeoutSeconds)),  //
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<std::size_t>(MaxRequestHeadBytes),               //
      MHD_OPTION_URI_LOG_CALLBACK, &TGlue::OnRequestLine, this,                                        //
      MHD_OPTION_NOTIFY_COMPLETED, &TGlue::OnRequestEnd, this,                                         //
      MHD_OPTION_NOTIFY_CONNECTION, &TGlue::OnConnection, this,                                        //
      MHD_OPTION_END);
  if (!daemon) {
    ::close(fd);
    throw EUpdateServer("cannot serve on " + where + ": the HTTP library did not start");
  }
  FDaemon = daemon;
  FAddress = address;
  FPort = boundPort;
  FPublicUrl = HistoryBaseUrl(FOptions.PublicUrl, address, boundPort);
  return boundPort;
}

std::string TUpdateServer::HistoryBaseUrl(const std::string& publicUrl, const std::string& address, int port) {
  if (publicUrl.empty()) return MakeBaseUrl(address, port);
  return publicUrl.ends_with('/') ? publicUrl : publicUrl + "/";
}

std::string TUpdateServer::UpdateRecordBody(const TProduct& product) {
  return product.Date + "@@" + product.Version + "\r\n";
}

std::string TUpdateServer::HistoryPointerBody(const std::string& historyBaseUrl, const TProduct& product) {
  return "@@" + historyBaseUrl + std::string(HistoryPath.substr(1)) + EncodePath(product.History) + "@@\r\n";
}

void TUpdateServer::Stop() {
  if (!FDaemon) return;
  // Closes the listening socket and every connection, mid-request or not,
  // and joins the worker threads.
  MHD_stop_daemon(FDaemon);
  FDaemon = nullptr;
}

std::string TUpdateServer::BaseUrl() const {
  return FPort == 0 ? std::string() : MakeBaseUrl(FAddress, FPort);
}

std::vector<std::string> TUpdateServer::ProductIdCandidates(std::string_view target) {
  std::vector<std::string> candidates;
  const std::size_t question = target.find('?');
  if (question == std::string_view::npos) return candidates;
  const std::string_view query = target.substr(question + 1);
  constexpr std::string_view Name = "productID=";
  std::size_t at = 0;
  for (;;) {
    if (StartsWithTextAscii(query.substr(at), Name)) break;
    at = query.find('&', at);
    if (at == std::string_view::npos) return candidates;
    ++at;
  }
  // The wizard puts productID last and does not encode the value, so the
  // whole rest is the ID first of all. A browser or a hand-made link may
  // have encoded it, or added parameters after it: then the parts that end
  // before an "&", longest first (only so many: an ID holds few of them).
  const std::string_view rest = query.substr(at + Name.size());
  std::vector<std::string_view> parts{rest};
  for (std::size_t amp = rest.rfind('&'); amp != std::string_view::npos && amp > 0 && parts.size() <= MaxIdParts;
       amp = rest.rfind('&', amp - 1))
    parts.push_back(rest.substr(0, amp));
  for (const std::string_view part : parts) {
    for (std::string c : {std::string(part), DecodePercent(part)}) {
      if (!c.empty() && std::find(candidates.begin(), candidates.end(), c) == candidates.end())
        candidates.push_back(std::move(c));
    }
  }
  return candidates;
}

TReply TUpdateServer::Answer(const TRequestHead& request) const {
  TReply reply;
  // The server takes no bodies: refused from the head, before a byte of
  // one is read, and the connection is closed so that none is read after.
  if (request.AnnouncesBody) {
    SetText(reply, 413, TextNoBodies);
    reply.Close = true;
    return reply;
  }
  if (request.HasContentEncoding) {
    SetText(reply, 415, TextNoEncodings);
    reply.Close = true;
    return reply;
  }
  if (request.Method != "GET" && request.Method != "HEAD") {
    SetText(reply, 405, TextMethodNotAllowed);
    reply.Allow = "GET, HEAD";
    return reply;
  }
  const std::string_view target = request.Target;
  const std::string path = DecodePercent(target.substr(0, target.find('?')));
  if (path == "/soft_update.php")
    ServeUpdateRecord(target, reply);
  else if (path == "/soft_history.php")
    ServeHistoryPointer(target, reply);
  else if (path == "/soft_download.php")
    ServeDownloadPage(target, reply, false);
  else if (path == "/soft_download_reg.php")
    ServeDownloadPage(target, reply, true);
  else if (path.starts_with(HistoryPath))
    ServeHistoryText(path.substr(HistoryPath.size()), reply);
  else
    SetText(reply, 404, TextNotFound);
  return reply;
}

const TProduct* TUpdateServer::FindProduct(std::string_view target, TReply& reply) const {
  const std::vector<std::string> candidates = ProductIdCandidates(target);
  if (candidates.empty()) {
    SetText(reply, 404, TextMissingProductId);
    return nullptr;
  }
  for (const std::string& id : candidates)
    if (const TProduct* product = FCatalogue.Find(id)) return product;
  SetText(reply, 404, TextUnknownProduct);
  return nullptr;
}

void TUpdateServer::ServeUpdateRecord(std::string_view target, TReply& reply) const {
  const TProduct* product = FindProduct(target, reply);
  if (!product) return;
  reply.Status = 200;
  reply.ContentType = std::string(TextType);
  reply.Body = UpdateRecordBody(*product);
}

void TUpdateServer::ServeHistoryPointer(std::string_view target, TReply& reply) const {
  const TProduct* product = FindProduct(target, reply);
  if (!product) return;
  if (product->History.empty()) {
    SetText(reply, 404, TextNoHistory);
    return;
  }
  // The address comes from the configuration, never from the request: a
  // Host header is the client's to choose, and a cache in front of the
  // server would hand one client's choice to every customer.
  reply.Status = 200;
  reply.ContentType = std::string(TextType);
  reply.Body = HistoryPointerBody(FPublicUrl, *product);
}

void TUpdateServer::ServeHistoryText(const std::string& relativeName, TReply& reply) const {
  const THistoryText* history = FCatalogue.FindHistory(relativeName);
  if (!history) {
    SetText(reply, 404, TextNotFound);
    return;
  }
  reply.Status = 200;
  reply.ContentType = history->ContentType;
  reply.Shared = &history->Content;
}

void TUpdateServer::ServeDownloadPage(std::string_view target, TReply& reply, bool registered) const {
  const TProduct* product = FindProduct(target, reply);
  if (!product) return;
  const std::string title = HtmlEscape(TextAsUtf8(product->Title));
  const std::string version = HtmlEscape(product->Version);
  const std::string link = HtmlEscape(TextAsUtf8(registered ? product->DownloadReg : product->Download));
  std::ostringstream page;
  page << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
       << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
       << "<title>" << title << " " << version << " - Quellmark downloads</title>\n"
       << "<style>\n"
       << "body { font-family: sans-serif; max-width: 40em; margin: 3em auto; padding: 0 1em;"
          " color: #222; line-height: 1.5; }\n"
       << "h1 { font-size: 1.6em; margin-bottom: 0.2em; }\n"
       << ".release { color: #555; margin-top: 0; }\n"
       << "a.download { display: inline-block; padding: 0.6em 1.4em; background: #1d5fa8;"
          " color: #fff; text-decoration: none; border-radius: 4px; }\n"
       << "a.download:hover { background: #174c86; }\n"
       << "footer { margin-top: 3em; font-size: 0.85em; color: #777; }\n"
       << "</style>\n</head>\n<body>\n"
       << "<h1>" << title << "</h1>\n"
       << "<p class=\"release\">Version " << version << ", released " << product->Date << "</p>\n";
  if (registered)
    page << "<p>This is the download for registered customers: it installs the full version"
            " over your current one and keeps your registration.</p>\n";
  else
    page << "<p>This is the free download. Registered customers find their own download"
            " through the update wizard.</p>\n";
  page << "<p><a class=\"download\" href=\"" << link << "\">Download " << title << " " << version << "</a></p>\n"
       << "<footer>Quellmark update service</footer>\n</body>\n</html>\n";
  reply.Status = 200;
  reply.ContentType = "text/html; charset=utf-8";
  reply.Body = page.str();
}

void TUpdateServer::Log(const std::string& client, std::string_view method, std::string_view target,
                        const std::string& status, const std::string& bytes) const {
  if (!FLogSink) return;
  std::string line = NowForLog();
  line += ' ';
  line += client.empty() ? std::string("-") : client;
  line += ' ';
  line += method.empty() ? std::string("-") : EscapeForLog(method);
  line += ' ';
  line += target.empty() ? std::string("-") : EscapeForLog(target);
  line += ' ';
  line += status;
  line += ' ';
  line += bytes;
  std::lock_guard lock(FLogMutex);
  FLogSink(line);
}
