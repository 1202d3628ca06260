#include "app/U_UpdateCheck.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
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

// The requests of one check: each product's chain of three, the chains
// side by side, the outcomes settled in table order.
class TLatestValuesFetch {
 public:
  TLatestValuesFetch(TInternetSession& session, const TProductTable& products, int count, const std::string& base)
      : FSession(session), FProducts(products), FBase(base), FChains(static_cast<std::size_t>(std::max(count, 0))) {}

  TLatestValues Run() {
    if (!FChains.empty()) {
      // The first record alone: a server that is not there, or does not
      // know the first product, is asked nothing more; and the connection
      // it opens tells whether the others can share it (HTTP/2).
      AskRecord(0, [this] {
        for (std::size_t place = 1; place < FChains.size(); ++place) AskRecord(place);
      });
      FValues.Cancelled = !FSession.RunFetches();
    }
    return std::move(FValues);
  }

 private:
  struct TChain {
    bool Ended = false;
    std::string DateText;
    TProductLatest Latest;
  };

  std::string Id(std::size_t place) const { return FProducts.ID[TProductTable::Installed(static_cast<int>(place))]; }

  // The whole text behind `url`, or a failure, to `done` once it has come.
  void GetWebText(const std::string& url, TInternetSession::TFetchDone done) { FSession.Fetch(url, std::move(done)); }

  // `then` runs once the record has been answered, unless that decided the check.
  void AskRecord(std::size_t place, std::function<void()> then = {}) {
    const std::string code = FProducts.Code[TProductTable::Installed(static_cast<int>(place))];
    GetWebText(UpdateRecordUrl(FBase, code, Id(place)), [this, place, then](TWebFetch&& reply) {
      TChain& chain = FChains[place];
      if (!reply.Ok) {
        End(place);
      } else {
        const TUpdateRecord record = ParseUpdateRecord(reply.Body);
        chain.Latest.RecordFetched = true;
        chain.Latest.Version = record.Version;
        chain.DateText = record.DateText;
        AskPointer(place);
      }
      if (then && !FValues.Failed) then();
    });
  }

  void AskPointer(std::size_t place) {
    GetWebText(HistoryPointerUrl(FBase, Id(place)), [this, place](TWebFetch&& reply) {
      const std::optional<std::string> url = reply.Ok ? ParseHistoryPointer(reply.Body) : std::nullopt;
      if (!url) return EndWithoutHistory(place);
      GetWebText(*url, [this, place](TWebFetch&& history) {
        if (!history.Ok) return EndWithoutHistory(place);
        FChains[place].Latest.History = std::move(history.Body);
        End(place);
      });
    });
  }

  void EndWithoutHistory(std::size_t place) {
    FChains[place].Latest.History = HistoryErrorText;
    FChains[place].Latest.HistoryFailed = true;
    End(place);
  }

  // The product's chain has ended: settle every product, in table order, whose
  // chain has ended and all before it; the first that fails the check ends it.
  void End(std::size_t place) {
    FChains[place].Ended = true;
    while (!FValues.Failed && FValues.Products.size() < FChains.size() && FChains[FValues.Products.size()].Ended) {
      TChain& chain = FChains[FValues.Products.size()];
      if (chain.Latest.RecordFetched) {
        try {
          chain.Latest.Latest = ConvertLatestDate(chain.DateText);
        } catch (const std::exception&) {
          chain.Latest.Latest.reset();
        }
      }
      FValues.Failed = !chain.Latest.RecordFetched || !chain.Latest.Latest;
      FValues.Products.push_back(std::move(chain.Latest));
    }
    if (FValues.Failed) FSession.StopFetches();  // the answers still to come would be ignored
  }

  TInternetSession& FSession;
  const TProductTable& FProducts;
  const std::string FBase;
  std::vector<TChain> FChains;
  TLatestValues FValues;
};
}  // namespace

bool TLatestValues::ErrorMark() const {
  return Failed || std::any_of(Products.begin(), Products.end(), [](const auto& p) { return p.HistoryFailed; });
}

TLatestValues FetchLatestValues(TInternetSession& session, const TProductTable& products, int count,
                                const std::string& base) {
  return TLatestValuesFetch(session, products, count, base).Run();
}

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
