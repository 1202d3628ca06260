#include "UpdateServer.h"

#include <algorithm>
#include <sstream>

#include "base/TextCodec.h"
#include "base/TextUtil.h"

using namespace UpdateServerReplies;
using namespace HttpText;

namespace {

THttpServerOptions HttpOptions(const TUpdateServerOptions& options) {
  THttpServerOptions http;
  http.MaxConnections = options.MaxConnections;
  http.MaxConnectionsPerAddress = options.MaxConnectionsPerAddress;
  http.Threads = options.Threads;
  http.IdleTimeoutSeconds = options.IdleTimeoutSeconds;
  return http;  // no bodies are read
}

void SetText(TReply& reply, int status, std::string_view text) {
  reply.Status = status;
  reply.ContentType = std::string(TextType);
  reply.Body = std::string(text);
  reply.Shared = nullptr;
}

}  // namespace

TUpdateServer::TUpdateServer(TCatalogue catalogue, TLogSink logSink, TUpdateServerOptions options)
    : FCatalogue(std::move(catalogue)),
      FOptions(std::move(options)),
      FHttp(*this, std::move(logSink), HttpOptions(FOptions)) {}

TUpdateServer::~TUpdateServer() {
  Stop();
}

std::string TUpdateServer::CheckPublicUrl(std::string_view url) {
  if (std::string problem = CheckCatalogueUrl(url); !problem.empty()) return problem;
  if (url.find('@') != std::string_view::npos) return "URL must not hold '@'";
  const std::size_t schemeLength = StartsWithTextAscii(url, "https://") ? 8 : 7;
  if (url[schemeLength] == '/' || url[schemeLength] == ':') return "URL names no host";
  if (url.find_first_of("?#") != std::string_view::npos) return "URL must not hold a query or a fragment";
  return {};
}

int TUpdateServer::Start(const std::string& address, int port) {
  if (FHttp.IsRunning()) throw EUpdateServer("the update server is running already");
  if (port < 0 || port > 65535) throw EUpdateServer("port " + std::to_string(port) + " is out of range (0 to 65535)");
  if (!FOptions.PublicUrl.empty()) {
    if (std::string problem = CheckPublicUrl(FOptions.PublicUrl); !problem.empty())
      throw EUpdateServer("public URL '" + FOptions.PublicUrl + "': " + problem);
  }
  if (FOptions.PublicUrl.empty() && THttpServer::IsWildcardAddress(address))
    throw EUpdateServer(address +
                        " listens on every interface, so it names no address that clients reach: "
                        "give the address of the history pointers as a public URL (--public-url)");
  int boundPort = 0;
  try {
    boundPort = FHttp.Start(address, port);
  } catch (const EHttpServer& e) {
    throw EUpdateServer(e.what());
  }
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
  FHttp.Stop();
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
