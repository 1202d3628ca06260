#include "app/U_UpdateCheck.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#ifndef BREVANT_UPDATE_SERVER_DEFAULT
#define BREVANT_UPDATE_SERVER_DEFAULT "http://127.0.0.1:8470/"
#endif

namespace {
// Copy(s, start, count) with a 1-based start, as far as the text reaches.
std::string Copy(const std::string& s, std::size_t start, std::size_t count) {
  if (start < 1 || start > s.size()) return {};
  return s.substr(start - 1, count);
}
}  // namespace

std::string FilterUpdateRecord(const std::string& reply) {
  std::string f;
  for (const char c : reply)
    if (c == '.' || c == '/' || c == '@' || (c >= '0' && c <= '9')) f += c;
  return f;
}

TUpdateRecord ParseUpdateRecord(const std::string& reply) {
  const std::string f = FilterUpdateRecord(reply);
  const auto found = f.find("@@");
  const std::size_t p = found == std::string::npos ? 0 : found + 1;  // 1-based; 0 = no marker
  TUpdateRecord r;
  r.Version = Copy(f, p + 2, 5);
  r.DateText = p > 10 ? Copy(f, p - 10, 10) : Copy(f, 1, 10);
  return r;
}

TLatestDate ConvertLatestDate(const std::string& dateText) {
  TLatestDate d;
  d.Day = StrToInt(Copy(dateText, 1, 2));
  d.Month = StrToInt(Copy(dateText, 4, 2));
  d.Year = StrToInt(Copy(dateText, 7, 4));
  d.Date = EncodeDate(d.Year, d.Month, d.Day);
  return d;
}

std::optional<std::string> ParseHistoryPointer(const std::string& reply) {
  const auto first = reply.find("@@");
  if (first == std::string::npos) return std::nullopt;
  const auto second = reply.find("@@", first + 2);
  if (second == std::string::npos) return std::nullopt;
  return reply.substr(first + 2, second - first - 2);
}

int CompareVersionText(const std::string& a, const std::string& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::vector<int> PlacesWithUpdates(const TProductTable& products, int count) {
  std::vector<int> places;
  for (int place = 0; place < count; ++place) {
    const std::size_t in = TProductTable::Installed(place), out = TProductTable::Latest(place);
    if (products.Date[in] < products.Date[out] || CompareVersionText(products.Version[in], products.Version[out]) < 0)
      places.push_back(place);
  }
  if (places.size() >= 2)
    std::erase_if(places, [&](int place) { return products.ID[TProductTable::Installed(place)] == "0"; });
  return places;
}

const char* BuiltInUpdateServer() {
  return BREVANT_UPDATE_SERVER_DEFAULT;
}

std::string UpdateServerBase() {
  const char* env = std::getenv("BREVANT_UPDATE_SERVER");
  std::string base = env && *env ? env : BuiltInUpdateServer();
  if (base.empty() || base.back() != '/') base += '/';
  return base;
}

std::string UpdateRecordUrl(const std::string& base, const std::string& code, const std::string& id) {
  return base + "soft_update.php?referer=" + code + "_Update&productID=" + id;
}

std::string HistoryPointerUrl(const std::string& base, const std::string& id) {
  return base + "soft_history.php?productID=" + id;
}

std::string DownloadPageUrl(const std::string& base, std::int32_t mode, const std::string& id) {
  return base + (mode == 0 ? "soft_download.php?productID=" : "soft_download_reg.php?productID=") + id;
}
