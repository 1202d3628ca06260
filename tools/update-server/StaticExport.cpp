#include "StaticExport.h"

#include <arpa/inet.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "base/TextCodec.h"
#include "base/TextUtil.h"

namespace fs = std::filesystem;
using namespace UpdateServerReplies;

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";
constexpr std::size_t LongestName = 200;
constexpr std::size_t CutNameAt = 180;

bool IsAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

std::string HexByte(unsigned char b) {
  return {HexDigits[b >> 4], HexDigits[b & 0x0F]};
}

// --- nginx configuration text ----------------------------------------------

// A string in double quotes as nginx's configuration reader takes it back
// byte for byte ("\\", "\"" and the escapes of CR, LF and TAB).
std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '"':
        out += "\\\"";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

// A value where nginx expands variables: "$" has no escape of its own there,
// so it is taken from a variable that holds nothing but "$".
std::string QuoteValue(std::string_view text) {
  std::string withDollars;
  for (char c : text) {
    if (c == '$')
      withDollars += "${brevant_dollar}";
    else
      withDollars += c;
  }
  return Quote(withDollars);
}

// --- regular expressions of the ways an ID arrives ---------------------------
//
// They are matched (PCRE, byte by byte) against the productID value as sent.
// The reference server tries, in order: the value as sent, the value
// %-decoded, then its parts that end before an "&", longest first, each as
// sent and then decoded (TUpdateServer::ProductIdCandidates).

// One byte as it stands in the text.
std::string LiteralByte(unsigned char b) {
  if (IsAsciiAlnum(static_cast<char>(b))) return std::string(1, static_cast<char>(b));
  return "\\x" + HexByte(b);
}

// The ID exactly as sent.
std::string AsSent(std::string_view id) {
  std::string out;
  for (char c : id) out += LiteralByte(static_cast<unsigned char>(c));
  return out;
}

// One hexadecimal digit of a %XX sequence, in either letter case.
std::string HexDigitClass(char digit) {
  if (digit >= '0' && digit <= '9') return std::string(1, digit);
  return std::string("[") + digit + static_cast<char>(digit - 'A' + 'a') + "]";
}

// Every text that decodes to the ID: each byte either as it is or as %XX.
// A "%" as it is must not be followed by two hexadecimal digits, which the
// decoder would take as an escape (it leaves every other "%" as it is).
std::string Decoding(std::string_view id) {
  std::string out;
  for (char c : id) {
    const auto b = static_cast<unsigned char>(c);
    const std::string hex = HexByte(b);
    const std::string escaped = "%" + HexDigitClass(hex[0]) + HexDigitClass(hex[1]);
    const std::string literal = c == '%' ? std::string("%(?![0-9A-Fa-f]{2})") : LiteralByte(b);
    out += "(?:" + literal + "|" + escaped + ")";
  }
  return out;
}

// The rest of the value after a part that ends before an "&": `ampersands`
// "&"s in all ("1,16": from one to sixteen).
std::string AfterPart(const std::string& ampersands) {
  return "(?:&[^&]*){" + ampersands + "}$";
}

// Products whose IDs can be found in the same request by different
// candidates: one ID is another's decoding, or one begins with the other (or
// with its decoding) followed by "&". Their parts must be tried in the
// reference server's order; every other product's part can be matched in
// any order, since no other product can match any candidate of a request
// that names it.
std::vector<bool> ProductsSharingRequests(const std::vector<TProduct>& products) {
  std::vector<std::set<std::string>> forms;
  for (const TProduct& p : products) forms.push_back({p.Id, UpdateServerText::DecodePercent(p.Id)});
  auto extends = [](const std::set<std::string>& longer, const std::set<std::string>& shorter) {
    for (const std::string& a : longer)
      for (const std::string& b : shorter)
        if (a == b || a.starts_with(b + "&")) return true;
    return false;
  };
  std::vector<bool> sharing(products.size(), false);
  for (std::size_t i = 0; i < products.size(); ++i)
    for (std::size_t j = i + 1; j < products.size(); ++j)
      if (extends(forms[i], forms[j]) || extends(forms[j], forms[i])) sharing[i] = sharing[j] = true;
  return sharing;
}

std::string MapEntry(const std::string& regex, const std::string& name) {
  return "        " + Quote("~^" + regex) + " " + Quote(name) + ";\n";
}

// A map of exact keys: nginx compares them without regard to letter case,
// and takes a leading "\" as an escape (of "default", "include", "~"...).
std::string HashEntry(const std::string& key, const std::string& value) {
  return "        " + Quote("\\" + key) + " " + value + ";\n";
}

std::string ProductMaps(const TCatalogue& catalogue) {
  const std::vector<TProduct>& products = catalogue.Items();
  std::vector<std::string> names, sent, decoded;
  for (const TProduct& p : products) {
    names.push_back(StaticExport::FileName(p.Id));
    sent.push_back(AsSent(p.Id));
    decoded.push_back(Decoding(p.Id));
  }
  const std::vector<bool> sharing = ProductsSharingRequests(products);
  const std::size_t count = products.size();
  const std::string maxParts = std::to_string(TUpdateServer::MaxIdParts);
  for (std::size_t i = 0; i < count; ++i)
    if (Quote("~^" + decoded[i] + AfterPart("1," + maxParts)).size() > StaticExport::LongestWord)
      throw EStaticExport(products[i].SourceFile + ": the id is too long for nginx's configuration (its regular " +
                          "expression would take more than " + std::to_string(StaticExport::LongestWord) + " bytes)");

  std::string out;
  out +=
      "    # The productID value: everything after the first \"productID=\" (the name in any\n"
      "    # letter case) at the start of the query or after an \"&\", to the end of the\n"
      "    # query. The wizard sends the ID last and unencoded, so it may hold \"&\" or \"=\".\n"
      "    map $args $brevant_id {\n"
      "        \"~^(?:[^&]*&)*?(?i:productid)=(?<brevant_rest>.*)$\" $brevant_rest;\n"
      "        default \"\";\n"
      "    }\n\n";

  // The wizard's requests: the value is an ID as it stands.
  out +=
      "    # A value that is a product's ID as it stands (the wizard's requests): found\n"
      "    # by its hash, then compared byte for byte, since hash keys ignore letter case.\n"
      "    map $brevant_id $brevant_sent_name {\n";
  std::set<std::string> folded;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string lower = LowerAscii(products[i].Id);
    // One key per letter case; the other IDs are found below all the same.
    if (products[i].Id.size() <= StaticExport::LongestHashedId && folded.insert(lower).second)
      out += HashEntry(products[i].Id, Quote(names[i]));
  }
  out +=
      "        default \"\";\n"
      "    }\n\n"
      "    map $brevant_sent_name $brevant_sent_id {\n";
  for (std::size_t i = 0; i < count; ++i)
    if (products[i].Id.size() <= StaticExport::LongestHashedId) out += HashEntry(names[i], QuoteValue(products[i].Id));
  out +=
      "        default \"\";\n"
      "    }\n\n"
      "    map \"$brevant_sent_id\\n$brevant_id\" $brevant_sent {\n"
      "        \"~^(.*)\\n\\1$\" $brevant_sent_name;\n"
      "        default \"\";\n"
      "    }\n\n";

  // Whether any product can be named at all, before the products are tried
  // one by one: a value that names none costs a few expressions only.
  out +=
      "    # Whether the value or a part of it before an \"&\" can name a product, as sent\n"
      "    # or decoded.\n"
      "    map $brevant_id $brevant_named {\n";
  std::vector<std::string> forms;
  for (std::size_t i = 0; i < count; ++i) forms.insert(forms.end(), {sent[i], decoded[i]});
  for (std::size_t i = 0; i < forms.size();) {
    // As many forms as one word of the configuration holds.
    std::string alternatives = forms[i++];
    while (i < forms.size() &&
           Quote("~^(?:" + alternatives + "|" + forms[i] + ")(?:&|$)").size() <= StaticExport::LongestWord)
      alternatives += "|" + forms[i++];
    out += "        " + Quote("~^(?:" + alternatives + ")(?:&|$)") + " 1;\n";
  }
  out +=
      "        default \"\";\n"
      "    }\n\n";

  out +=
      "    # The product's file name when the whole value names it: as sent, else\n"
      "    # %-decoded.\n"
      "    map $brevant_id $brevant_whole {\n";
  for (std::size_t i = 0; i < count; ++i) out += MapEntry(sent[i] + "$", names[i]);
  for (std::size_t i = 0; i < count; ++i) out += MapEntry(decoded[i] + "$", names[i]);
  out +=
      "        default \"\";\n"
      "    }\n\n";

  out +=
      "    # Else the parts of the value that end before an \"&\" (links that add\n"
      "    # parameters after the ID), the longest first, each as sent and then\n"
      "    # decoded; only the " +
      maxParts +
      " longest parts count.\n"
      "    map $brevant_id $brevant_part {\n"
      "        \"~^[^&]*$\" \"\";\n";
  if (std::find(sharing.begin(), sharing.end(), true) != sharing.end()) {
    out += "        # IDs that extend one another at an \"&\": a part with fewer \"&\" after it first.\n";
    for (std::size_t after = 1; after <= TUpdateServer::MaxIdParts; ++after) {
      for (std::size_t i = 0; i < count; ++i)
        if (sharing[i]) out += MapEntry(sent[i] + AfterPart(std::to_string(after)), names[i]);
      for (std::size_t i = 0; i < count; ++i)
        if (sharing[i]) out += MapEntry(decoded[i] + AfterPart(std::to_string(after)), names[i]);
    }
  }
  for (std::size_t i = 0; i < count; ++i)
    if (!sharing[i]) out += MapEntry(sent[i] + AfterPart("1," + maxParts), names[i]);
  for (std::size_t i = 0; i < count; ++i)
    if (!sharing[i]) out += MapEntry(decoded[i] + AfterPart("1," + maxParts), names[i]);
  out +=
      "        default \"\";\n"
      "    }\n\n"
      "    map $brevant_whole $brevant_tried {\n"
      "        \"~.\" $brevant_whole;\n"
      "        default $brevant_part;\n"
      "    }\n\n"
      "    map $brevant_named $brevant_found {\n"
      "        1 $brevant_tried;\n"
      "        default \"\";\n"
      "    }\n\n"
      "    # The product's file name; empty: no product.\n"
      "    map $brevant_sent $brevant_product {\n"
      "        \"~.\" $brevant_sent;\n"
      "        default $brevant_found;\n"
      "    }\n\n";

  out += "    map $brevant_product $brevant_has_history {\n";
  for (std::size_t i = 0; i < count; ++i)
    if (!products[i].History.empty()) out += HashEntry(names[i], "1");
  out +=
      "        default \"\";\n"
      "    }\n\n";

  for (const bool registered : {false, true}) {
    out += std::string("    map $brevant_product ") + (registered ? "$brevant_download_reg" : "$brevant_download") +
           " {\n";
    for (std::size_t i = 0; i < count; ++i)
      out += HashEntry(names[i], QuoteValue(StaticExport::RedirectTarget(registered ? products[i].DownloadReg
                                                                                    : products[i].Download)));
    out +=
        "        default \"\";\n"
        "    }\n\n";
  }
  return out;
}

std::string ProductLocation(std::string_view path, const std::string& body) {
  return "        location = " + std::string(path) + " {\n" + "            if ($brevant_id = \"\") { return 404 " +
         Quote(TextMissingProductId) + "; }\n" + "            if ($brevant_product = \"\") { return 404 " +
         Quote(TextUnknownProduct) + "; }\n" + body + "        }\n\n";
}

// --- writing files ------------------------------------------------------------

void WriteWholeFile(const fs::path& path, std::string_view content) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (ec) throw EStaticExport("cannot create " + path.parent_path().string() + ": " + ec.message());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) throw EStaticExport("cannot write " + path.string() + ": " + std::strerror(errno));
}

void RemoveAll(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
  if (ec) throw EStaticExport("cannot remove " + path.string() + ": " + ec.message());
}

void Rename(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::rename(from, to, ec);
  if (ec) throw EStaticExport("cannot rename " + from.string() + " to " + to.string() + ": " + ec.message());
}

bool HoldsEarlierExport(const fs::path& folder) {
  std::ifstream in(folder / "nginx.conf", std::ios::binary);
  std::string first;
  return in && std::getline(in, first) && first == StaticExport::ConfigMarker;
}

bool HasControlChar(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
  });
}

// --- who reads the export ------------------------------------------------------

// The user and group nginx's workers run as when root starts nginx on the
// export: the export's owner (the folder's, or for a folder still to be made
// the exporting user), who can read it wherever it lies, a home folder or
// anything made by mktemp -d. None for root's own export, whose workers stay
// the unprivileged user nginx takes by itself (OpenToWorkers), nor for an
// owner without a name, which nginx cannot take.
struct TWorkerUser {
  std::string User, Group;
};

std::optional<TWorkerUser> ExportOwner(const fs::path& folder) {
  struct stat st {};
  const uid_t uid = ::stat(folder.c_str(), &st) == 0 ? st.st_uid : ::geteuid();
  if (uid == 0) return std::nullopt;
  std::vector<char> buffer(1 << 16);
  passwd pw{};
  passwd* user = nullptr;
  if (::getpwuid_r(uid, &pw, buffer.data(), buffer.size(), &user) != 0 || !user) return std::nullopt;
  TWorkerUser owner{user->pw_name, {}};
  group gr{};
  group* primary = nullptr;
  if (::getgrgid_r(user->pw_gid, &gr, buffer.data(), buffer.size(), &primary) != 0 || !primary) return std::nullopt;
  owner.Group = primary->gr_name;
  return owner;
}

// Root's own export is read by nginx's unprivileged workers (nobody): the
// export folder and what it serves are opened to other users (the replies
// are public anyway). A folder above it that they may not enter would leave
// every request a 403: such an export is refused, before anything is
// written, with what to do instead.
void CheckWorkersMayEnter(const fs::path& folder) {
  const fs::path absolute = fs::absolute(folder).lexically_normal();
  for (fs::path above = absolute.parent_path(); !above.empty(); above = above.parent_path()) {
    struct stat st {};
    if (::stat(above.c_str(), &st) == 0 && !(st.st_mode & S_IXOTH))
      throw EStaticExport("nginx started by root runs its workers as an unprivileged user, who may not enter " +
                          above.string() +
                          ": export into a folder other users may enter (such as /srv), or as "
                          "the user nginx's workers should run as");
    if (above == above.root_path()) break;
  }
}

void OpenToWorkers(const fs::path& folder) {
  std::error_code ec;
  fs::permissions(folder, fs::perms::others_exec, fs::perm_options::add, ec);
  const fs::path site = folder / "site";
  fs::permissions(site, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add, ec);
  for (auto it = fs::recursive_directory_iterator(site, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    fs::permissions(it->path(),
                    it->is_directory() ? fs::perms::others_read | fs::perms::others_exec : fs::perms::others_read,
                    fs::perm_options::add, ec);
  if (ec) throw EStaticExport("cannot open " + site.string() + " to other users: " + ec.message());
}

}  // namespace

namespace StaticExport {

std::string FileName(std::string_view id) {
  std::string name;
  for (std::size_t i = 0; i < id.size(); ++i) {
    const char c = id[i];
    const bool inner = i != 0 && i + 1 != id.size();
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || (c == '.' && inner))
      name += c;
    else
      name += "~" + HexByte(static_cast<unsigned char>(c));
  }
  if (name.size() <= LongestName) return name;
  // Cut at a whole byte's form, never inside "~XX".
  std::size_t cut = CutNameAt;
  while (cut > 0 && (name[cut - 1] == '~' || (cut >= 2 && name[cut - 2] == '~'))) --cut;
  std::string hash;
  for (std::uint64_t h = Fnv1a64(id), i = 0; i < 16; ++i, h <<= 4) hash += HexDigits[h >> 60];
  return name.substr(0, cut) + "~~" + hash;
}

std::string RedirectTarget(std::string_view url) {
  std::string out;
  for (char c : TextAsUtf8(url)) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x80)
      out += "%" + HexByte(b);
    else
      out += c;
  }
  return out;
}

std::string CheckOptions(const TStaticExportOptions& options, std::string& historyBaseUrl) {
  in6_addr v6{};
  in_addr v4{};
  const bool isV4 = ::inet_pton(AF_INET, options.Address.c_str(), &v4) == 1;
  const bool isV6 = !isV4 && ::inet_pton(AF_INET6, options.Address.c_str(), &v6) == 1;
  if (!isV4 && !isV6) return "address '" + options.Address + "' is no numeric IPv4 or IPv6 address";
  if (options.Port < 1 || options.Port > 65535)
    return "port " + std::to_string(options.Port) + " is not one nginx can listen on (1 to 65535)";
  const bool wildcard = isV4 ? v4.s_addr == htonl(INADDR_ANY) : IN6_IS_ADDR_UNSPECIFIED(&v6);
  if (!options.PublicUrl.empty()) {
    if (std::string problem = TUpdateServer::CheckPublicUrl(options.PublicUrl); !problem.empty())
      return "public URL '" + options.PublicUrl + "': " + problem;
  } else if (wildcard) {
    return options.Address +
           " listens on every interface, so it names no address that clients reach: "
           "give the address of the history pointers as a public URL (--public-url)";
  }
  historyBaseUrl = TUpdateServer::HistoryBaseUrl(options.PublicUrl, options.Address, options.Port);
  return {};
}

namespace {

// The workers' user for nginx started as root, the export's owner; nginx
// started by any other user ignores the line (and says so once).
std::string WorkerUserLine(const fs::path& folder) {
  const std::optional<TWorkerUser> owner = folder.empty() ? std::nullopt : ExportOwner(folder);
  if (!owner) return {};
  return "# Started as root, nginx runs its workers as the export's owner, who can read it.\n"
         "user " +
         Quote(owner->User) + " " + Quote(owner->Group) + ";\n";
}

}  // namespace

std::string NginxConfig(const TCatalogue& catalogue, const TStaticExportOptions& options, const fs::path& folder) {
  std::string historyBaseUrl;
  if (std::string problem = CheckOptions(options, historyBaseUrl); !problem.empty()) throw EStaticExport(problem);
  const bool v6 = options.Address.find(':') != std::string::npos;
  const std::string listen = (v6 ? "[" + options.Address + "]" : options.Address) + ":" + std::to_string(options.Port);
  std::string where = folder.empty() ? std::string("FOLDER") : fs::absolute(folder).lexically_normal().string();
  if (HasControlChar(where)) where = "FOLDER";

  std::string out;
  out += std::string(ConfigMarker) + "\n";
  out +=
      "# The update wizard's requests answered from the files of site/, as the\n"
      "# reference update server answers them from the catalogue. Export again after\n"
      "# editing the catalogue, then reload; do not edit this file.\n"
      "#\n"
      "# Every path here is relative to the folder given with -p; nothing needs root:\n"
      "#   nginx -p " +
      where +
      " -c nginx.conf                     start (in the background)\n"
      "#   nginx -p " +
      where +
      " -c nginx.conf -g 'daemon off;'    start in the foreground\n"
      "#   nginx -p " +
      where +
      " -c nginx.conf -s reload           after exporting again\n"
      "#   nginx -p " +
      where +
      " -c nginx.conf -s quit             stop\n"
      "# History pointers name " +
      historyBaseUrl +
      "\n\n"
      "worker_processes auto;\n" +
      WorkerUserLine(folder) +
      "pid logs/nginx.pid;\n"
      "error_log logs/error.log;\n"
      "pcre_jit on;\n\n"
      "events {\n"
      "    worker_connections 4096;\n"
      "}\n\n"
      "http {\n"
      "    access_log logs/access.log combined buffer=64k flush=1s;\n"
      "    client_body_temp_path temp/client_body;\n"
      "    proxy_temp_path temp/proxy;\n"
      "    fastcgi_temp_path temp/fastcgi;\n"
      "    uwsgi_temp_path temp/uwsgi;\n"
      "    scgi_temp_path temp/scgi;\n\n"
      "    server_tokens off;\n"
      "    sendfile on;\n"
      "    tcp_nopush on;\n"
      "    keepalive_timeout 5s;\n"
      "    client_header_timeout 5s;\n"
      "    reset_timedout_connection on;\n"
      "    merge_slashes off;\n"
      "    open_file_cache max=10000 inactive=60s;\n\n"
      "    map_hash_max_size " +
      std::to_string(std::max<std::size_t>(2048, 4 * catalogue.Items().size())) +
      ";\n"
      "    map_hash_bucket_size 512;\n\n"
      "    types { }\n"
      "    default_type " +
      Quote(TextType) +
      ";\n\n"
      "    # \"$\" for the download addresses, where nginx has no escape for it.\n"
      "    geo $brevant_dollar {\n"
      "        default \"$\";\n"
      "    }\n\n"
      "    map $request_method $brevant_allow {\n"
      "        \"~^(?:GET|HEAD)$\" \"\";\n"
      "        default \"GET, HEAD\";\n"
      "    }\n\n";
  out += ProductMaps(catalogue);

  out += "    server {\n        listen " + listen + " backlog=4096" +
         (v6 && options.Address.find_first_not_of(":0") == std::string::npos ? " ipv6only=off" : "") +
         ";\n"
         "        root site;\n"
         "        add_header Allow $brevant_allow always;\n"
         "        if ($brevant_allow) { return 405 " +
         Quote(TextMethodNotAllowed) + "; }\n\n";
  out += ProductLocation("/soft_update.php", "            rewrite ^ /update/$brevant_product break;\n");
  out += ProductLocation("/soft_history.php", "            if ($brevant_has_history = \"\") { return 404 " +
                                                  Quote(TextNoHistory) +
                                                  "; }\n"
                                                  "            rewrite ^ /pointer/$brevant_product break;\n");
  out += ProductLocation("/soft_download.php", "            return 302 $brevant_download;\n");
  out += ProductLocation("/soft_download_reg.php", "            return 302 $brevant_download_reg;\n");

  std::set<std::string> histories;
  for (const TProduct& p : catalogue.Items())
    if (!p.History.empty()) histories.insert(p.History);
  for (const std::string& name : histories) {
    const THistoryText* text = catalogue.FindHistory(name);
    if (!text) continue;
    out += "        location = " + Quote(std::string(HistoryPath) + name) + " {\n            default_type " +
           Quote(text->ContentType) + ";\n        }\n";
  }
  if (!histories.empty()) out += "\n";
  out += "        location / {\n            return 404 " + Quote(TextNotFound) +
         ";\n        }\n"
         "    }\n"
         "}\n";
  return out;
}

std::string Export(const TCatalogue& catalogue, const fs::path& folder, const TStaticExportOptions& options) {
  const std::string config = NginxConfig(catalogue, options, folder);
  std::string historyBaseUrl;
  CheckOptions(options, historyBaseUrl);

  std::map<std::string, const TProduct*> byName;
  for (const TProduct& p : catalogue.Items()) {
    const auto [at, added] = byName.emplace(FileName(p.Id), &p);
    if (!added)
      throw EStaticExport("the IDs '" + at->second->Id + "' and '" + p.Id + "' give the same file name " + at->first);
  }

  const bool forOthers = !ExportOwner(folder);
  if (forOthers) CheckWorkersMayEnter(folder);
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw EStaticExport("cannot create " + folder.string() + ": " + ec.message());
  const bool empty = fs::is_empty(folder, ec);
  if (ec) throw EStaticExport("cannot read " + folder.string() + ": " + ec.message());
  if (!empty && !HoldsEarlierExport(folder))
    throw EStaticExport(folder.string() + " is not empty and holds no earlier export; give a new or empty folder");

  const fs::path staged = folder / "site.new";
  RemoveAll(staged);
  std::string table = "id\tname\tdownload\tdownload_reg\thistory\n";
  for (const auto& [name, product] : byName) {
    WriteWholeFile(staged / "update" / name, TUpdateServer::UpdateRecordBody(*product));
    if (!product->History.empty())
      WriteWholeFile(staged / "pointer" / name, TUpdateServer::HistoryPointerBody(historyBaseUrl, *product));
    table += product->Id + "\t" + name + "\t" + product->Download + "\t" + product->DownloadReg + "\t" +
             product->History + "\n";
  }
  for (const TProduct& p : catalogue.Items())
    if (const THistoryText* text = p.History.empty() ? nullptr : catalogue.FindHistory(p.History))
      WriteWholeFile(staged / "history" / fs::path(p.History), text->Content);

  WriteWholeFile(folder / "nginx.conf.new", config);
  WriteWholeFile(folder / "products.tsv.new", table);
  const fs::path site = folder / "site", old = folder / "site.old";
  RemoveAll(old);
  if (fs::exists(site, ec)) Rename(site, old);
  Rename(staged, site);
  RemoveAll(old);
  Rename(folder / "nginx.conf.new", folder / "nginx.conf");
  Rename(folder / "products.tsv.new", folder / "products.tsv");
  for (const char* kept : {"logs", "temp"}) {
    fs::create_directories(folder / kept, ec);
    if (ec) throw EStaticExport("cannot create " + (folder / kept).string() + ": " + ec.message());
  }
  if (forOthers) OpenToWorkers(folder);
  return historyBaseUrl;
}

}  // namespace StaticExport
