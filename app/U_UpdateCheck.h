#pragma once
// What the update check asks the update server, and what it reads from the
// replies.
//
// Update record: every character but ".", "/", "0"-"9" and "@" is dropped
// from the reply. In what is left (the filtered text) the first "@@" is the
// marker; the ten characters just before it are the latest date (DD?MM?YYYY,
// any separators), the five after it the latest version. A marker within the
// first ten characters reads the date from the first ten characters; without
// a marker the marker counts as standing before the first character, so the
// version is characters 2 to 6 and the date characters 1 to 10.
//
// History pointer: the URL between the first and the second "@@" of the
// reply, taken whole.
//
// FetchLatestValues is the network part of the check: every product's
// update record, history pointer and history text, over the check's
// Internet handle, on the calling (GUI) thread.
#include <optional>
#include <string>
#include <vector>

#include "app/U_Products.h"
#include "base/Conversions.h"
#include "platform/Http.h"

struct TUpdateRecord {
  std::string Version;   // up to five characters
  std::string DateText;  // up to ten characters
};

std::string FilterUpdateRecord(const std::string& reply);
TUpdateRecord ParseUpdateRecord(const std::string& reply);

struct TLatestDate {
  std::int32_t Day = 0, Month = 0, Year = 0;
  TDate Date = 0;
};
// Reads day (characters 1-2), month (4-5) and year (7-10) of a date text.
// Raises EConvertError when a part is not a whole number or the three give no
// valid date.
TLatestDate ConvertLatestDate(const std::string& dateText);

// The URL of a history pointer reply; none when it holds fewer than two "@@".
std::optional<std::string> ParseHistoryPointer(const std::string& reply);

// Versions compare as text, byte by byte by their 8-bit codes; a proper
// beginning is smaller. Negative, zero or positive like strcmp.
int CompareVersionText(const std::string& a, const std::string& b);

// The places among the table's first `count` whose latest release is newer
// than the installed one, in table order. A release is newer when its date
// lies after the installed date or its version text is greater
// (CompareVersionText): either alone is enough, so a later date with a
// smaller version is newer. When two or more places are newer, those whose
// installed ID is "0" are left out; a lone one stays.
std::vector<int> PlacesWithUpdates(const TProductTable& products, int count);

// The history of a product whose history pointer or history text could not
// be fetched or read.
inline constexpr const char* HistoryErrorText = "Error while getting History file...";

// What the check learnt of one product.
struct TProductLatest {
  bool RecordFetched = false;         // false: the update record could not be fetched
  std::string Version;                // the latest version, as read from the record
  std::string History;                // the history text, or HistoryErrorText
  bool HistoryFailed = false;         // the history pointer or text could not be fetched or read
  std::optional<TLatestDate> Latest;  // none: the record's date is not readable or no valid date
};

// The outcome of the network part of a check.
struct TLatestValues {
  // The products from place 0 on, in table order: all of them, or up to
  // and including the first that fails the check (its update record not
  // fetched, or no valid date in it; the check then ends with it and the
  // later ones are not reported), or, when cancelled, those settled before.
  std::vector<TProductLatest> Products;
  bool Failed = false;     // the last product of Products fails the check
  bool Cancelled = false;  // the Internet handle was closed meanwhile (Cancel)
  // A failure was met: the check's second step shows its error mark.
  bool ErrorMark() const;
};

// Fetches the latest values of the table's first `count` products from the
// server at `base` over `session`: for each, its update record, then its
// history pointer, then the history text it names; a failed record ends
// its product there, and a failed pointer or text gives HistoryErrorText.
// The products' requests run concurrently (see TInternetSession::Fetch),
// after the first product's update record has been answered alone, and
// their outcomes are settled in table order, so that the first failure in
// table order decides as if the products had been asked one after the
// other. Once it has decided, the requests still under way are dropped:
// requests of products after a failed one may have been sent, and their
// answers are ignored. Returns when every product is settled, the check has
// failed, or the session was cancelled (from its wait handler).
TLatestValues FetchLatestValues(TInternetSession& session, const TProductTable& products, int count,
                                const std::string& base);

// The update server's base address, ending in "/": the environment variable
// BREVANT_UPDATE_SERVER when set and not empty, else the address fixed at
// build time, BuiltInUpdateServer().
std::string UpdateServerBase();
const char* BuiltInUpdateServer();

// The addresses the wizard asks and opens. Values go in unchanged.
std::string UpdateRecordUrl(const std::string& base, const std::string& code, const std::string& id);
std::string HistoryPointerUrl(const std::string& base, const std::string& id);
std::string DownloadPageUrl(const std::string& base, std::int32_t mode, const std::string& id);
