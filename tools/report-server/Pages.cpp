#include "Pages.h"

#include <sodium.h>

#include <algorithm>
#include <ctime>
#include <map>

#include "HttpText.h"
#include "base/TextCodec.h"

using HttpText::EncodePath;
using HttpText::HtmlEscape;

namespace ReportPages {

namespace {

constexpr std::string_view Style = R"css(
body { font-family: sans-serif; margin: 1.5em 2em; color: #222; }
h1 { font-size: 1.5em; margin: 0 0 0.6em; }
h1 a { color: inherit; text-decoration: none; }
h2 { font-size: 1.15em; margin: 1.4em 0 0.5em; }
form { margin: 0 0 1em; }
form label { margin-right: 1em; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; padding: 0.35em 0.6em; border-bottom: 1px solid #ddd; vertical-align: top; }
th { background: #f2f4f7; font-weight: 600; }
td.count { text-align: right; font-variant-numeric: tabular-nums; font-weight: 600; }
.sig { font-family: monospace; }
.msg { color: #555; font-size: 0.9em; }
.nav { margin: 0.8em 0; }
.nav a { margin-right: 1em; }
dl { display: grid; grid-template-columns: max-content auto; gap: 0.2em 1em; }
dt { font-weight: 600; }
dd { margin: 0; }
pre { background: #f7f7f7; border: 1px solid #e3e3e3; padding: 0.6em; overflow-x: auto; }
.report h3 { font-size: 1em; margin: 1.2em 0 0.3em; }
svg .bar { fill: #1d5fa8; }
svg .axis { stroke: #999; stroke-width: 1; }
svg text { font-size: 10px; fill: #555; }
)css";

std::string Base64(const unsigned char* data, std::size_t size) {
  std::string out(sodium_base64_encoded_len(size, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(out.data(), out.size(), data, size, sodium_base64_VARIANT_ORIGINAL);
  out.resize(out.size() - 1);  // the terminating zero
  return out;
}

std::string Escape(std::string_view text) {
  return HtmlEscape(TextAsUtf8(text));
}

// Thousands grouped by commas: 1234567 -> "1,234,567".
std::string Number(std::int64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  const std::size_t start = n < 0 ? 1 : 0;
  out.append(digits, 0, start);
  for (std::size_t i = start; i < digits.size(); ++i) {
    if (i > start && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

std::string DayText(std::int64_t day, const char* format) {
  const std::time_t t = static_cast<std::time_t>(day * 86400);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

// The first line of a text, at most `limit` bytes, cut at a character's start.
std::string FirstLine(const std::string& text, std::size_t limit) {
  std::string line = text.substr(0, text.find('\n'));
  if (line.size() <= limit) return line;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
  return line.substr(0, cut) + "…";
}

std::string Head(const std::string& title) {
  return "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
         HtmlEscape(title) + "</title>\n<style>" + std::string(Style) +
         "</style>\n</head>\n<body>\n<h1><a href=\"/\">VEK reports</a></h1>\n";
}

constexpr std::string_view Foot = "</body>\n</html>\n";

std::string Location(const TGroup& g) {
  std::string where = g.Unit + " · " + (g.Class == "<N/A>" || g.Class.empty() ? "" : g.Class + ".") + g.Function;
  return where + " · line " + g.Line;
}

std::string VersionsText(const std::vector<TVersionCount>& versions, std::size_t most) {
  std::string text;
  for (std::size_t i = 0; i < versions.size() && i < most; ++i) {
    if (!text.empty()) text += ", ";
    text += (versions[i].Version.empty() ? std::string("unknown") : versions[i].Version) + " (" +
            Number(versions[i].Count) + ")";
  }
  if (versions.size() > most) text += ", …";
  return text;
}

std::string GroupsLink(const TGroupQuery& query, std::int64_t offset) {
  std::string link = "/?order=";
  link += query.Order == TGroupQuery::TOrder::Frequent ? "frequent" : "newest";
  if (!query.Program.empty()) link += "&program=" + EncodePath(query.Program);
  if (!query.Version.empty()) link += "&version=" + EncodePath(query.Version);
  if (offset > 0) link += "&page=" + std::to_string(offset / PageSize + 1);
  return HtmlEscape(link);
}

std::string Options(const std::vector<std::string>& values, const std::string& chosen, const std::string& all) {
  std::string html = "<option value=\"\">" + HtmlEscape(all) + "</option>";
  for (const std::string& v : values) {
    if (v.empty()) continue;
    html += "<option value=\"" + Escape(v) + "\"" + (v == chosen ? " selected" : "") + ">" + Escape(v) + "</option>";
  }
  return html;
}

}  // namespace

const std::string& ContentSecurityPolicy() {
  static const std::string policy = [] {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(Style.data()), Style.size());
    return "default-src 'none'; style-src 'sha256-" + Base64(digest, sizeof digest) +
           "'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'";
  }();
  return policy;
}

std::string TimeText(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
  return buf;
}

std::string GroupsPage(const TGroupList& list, const TGroupQuery& query, const std::vector<std::string>& programs,
                       const std::vector<std::string>& versions) {
  std::string html = Head("VEK reports: groups");
  const bool frequent = query.Order == TGroupQuery::TOrder::Frequent;
  html += "<form method=\"get\" action=\"/\">\n<label>Program <select name=\"program\">" +
          Options(programs, query.Program, "every program") +
          "</select></label>\n<label>Version <select name=\"version\">" +
          Options(versions, query.Version, "every version") +
          "</select></label>\n<label>Order <select name=\"order\"><option value=\"newest\"" +
          (frequent ? "" : " selected") + ">newest first</option><option value=\"frequent\"" +
          (frequent ? " selected" : "") + ">most frequent first</option></select></label>\n" +
          "<button type=\"submit\">Show</button>\n</form>\n";
  const std::int64_t first = list.Groups.empty() ? 0 : query.Offset + 1;
  const std::int64_t last = query.Offset + static_cast<std::int64_t>(list.Groups.size());
  html += "<p id=\"summary\">Groups " + Number(first) + "–" + Number(last) + " of " + Number(list.Total) + "</p>\n";
  html +=
      "<table id=\"groups\">\n<thead><tr><th>Reports</th><th>Program</th><th>Exception and place</th>"
      "<th>Versions</th><th>First seen</th><th>Last seen</th></tr></thead>\n<tbody>\n";
  for (const TGroup& g : list.Groups) {
    html += "<tr><td class=\"count\">" + Number(g.Count) + "</td><td>" + Escape(g.Program) +
            "</td><td><a class=\"sig\" href=\"/groups/" + std::to_string(g.Id) + "\">" + Escape(g.Type) + "</a><br>" +
            "<span class=\"sig\">" + Escape(Location(g)) + "</span><br><span class=\"msg\">" +
            Escape(FirstLine(g.Message, 160)) + "</span></td><td>" + Escape(VersionsText(g.Versions, 4)) + "</td><td>" +
            TimeText(g.FirstSeen) + "</td><td>" + TimeText(g.LastSeen) + "</td></tr>\n";
  }
  html += "</tbody>\n</table>\n<p class=\"nav\">";
  if (query.Offset > 0)
    html += "<a rel=\"prev\" href=\"" + GroupsLink(query, std::max<std::int64_t>(0, query.Offset - PageSize)) +
            "\">Newer page</a>";
  if (last < list.Total)
    html += "<a rel=\"next\" href=\"" + GroupsLink(query, query.Offset + PageSize) + "\">Next page</a>";
  html += "</p>\n";
  return html + std::string(Foot);
}

std::string DayChart(const std::vector<TDayCount>& days, std::int64_t today) {
  constexpr int Left = 30, Top = 16, Bottom = 22, Bar = 16, Gap = 4, Height = 150;
  constexpr int Width = Left + ChartDays * (Bar + Gap) + 24;
  std::map<std::int64_t, std::int64_t> counts;
  for (const TDayCount& d : days) counts[d.Day] = d.Count;
  std::int64_t most = 1;
  for (std::int64_t day = today - ChartDays + 1; day <= today; ++day) most = std::max(most, counts[day]);
  const int plot = Height - Top - Bottom;
  std::string svg = "<svg id=\"chart\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(Width) +
                    "\" height=\"" + std::to_string(Height) + "\" viewBox=\"0 0 " + std::to_string(Width) + " " +
                    std::to_string(Height) + "\" role=\"img\" aria-label=\"Reports per day over the last " +
                    std::to_string(ChartDays) + " days\">\n";
  svg += "<text x=\"0\" y=\"" + std::to_string(Top + 4) + "\">" + Number(most) + "</text>\n";
  svg += "<line class=\"axis\" x1=\"" + std::to_string(Left - 2) + "\" y1=\"" + std::to_string(Top + plot) +
         "\" x2=\"" + std::to_string(Width) + "\" y2=\"" + std::to_string(Top + plot) + "\"/>\n";
  for (int i = 0; i < ChartDays; ++i) {
    const std::int64_t day = today - ChartDays + 1 + i;
    const std::int64_t count = counts[day];
    const int height = static_cast<int>(count * plot / most);
    const int x = Left + i * (Bar + Gap);
    svg += "<rect class=\"bar\" data-day=\"" + DayText(day, "%Y-%m-%d") + "\" data-count=\"" + std::to_string(count) +
           "\" x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(Top + plot - height) + "\" width=\"" +
           std::to_string(Bar) + "\" height=\"" + std::to_string(height) + "\"><title>" + DayText(day, "%Y-%m-%d") +
           ": " + Number(count) + "</title></rect>\n";
    if (i % 5 == 4 || i == ChartDays - 1)
      svg += "<text x=\"" + std::to_string(x - 4) + "\" y=\"" + std::to_string(Height - 6) + "\">" +
             DayText(day, "%m-%d") + "</text>\n";
  }
  return svg + "</svg>\n";
}

std::string GroupPage(const TGroup& group, const std::vector<TDayCount>& days,
                      const std::vector<TStoredReport>& reports, std::int64_t offset, std::int64_t today) {
  std::string html = Head("VEK reports: " + TextAsUtf8(group.Type));
  html += "<h2 class=\"sig\">" + Escape(group.Type) + "</h2>\n<dl id=\"group\">\n";
  const auto item = [&](const std::string& name, const std::string& escapedValue) {
    html += "<dt>" + name + "</dt><dd>" + escapedValue + "</dd>\n";
  };
  item("Program", Escape(group.Program));
  item("Place", "<span class=\"sig\">" + Escape(Location(group)) + "</span>");
  item("Reports", "<span id=\"count\">" + Number(group.Count) + "</span>");
  item("Versions", Escape(VersionsText(group.Versions, 50)));
  item("First seen", TimeText(group.FirstSeen));
  item("Last seen", TimeText(group.LastSeen));
  html += "</dl>\n<h2>Reports per day, last " + std::to_string(ChartDays) + " days</h2>\n" + DayChart(days, today);
  html += "<h2>Reports, newest first</h2>\n";
  const std::size_t shown = std::min<std::size_t>(reports.size(), PageSize);
  if (shown == 0) html += "<p>No report of this group is kept any more.</p>\n";
  for (std::size_t i = 0; i < shown; ++i) {
    const TStoredReport& r = reports[i];
    const std::string ref = "R-" + std::to_string(r.Id);
    html += "<div class=\"report\" id=\"" + ref + "\">\n<h3>" + ref + " · " + TimeText(r.Received) + " · version " +
            Escape(r.Version.empty() ? std::string("unknown") : r.Version) +
            (r.Executable.empty() ? std::string() : " · executable " + Escape(r.Executable)) +
            " · <a href=\"/reports/" + std::to_string(r.Id) + "\">raw text</a></h3>\n<pre>" + Escape(r.Text) +
            "</pre>\n</div>\n";
  }
  html += "<p class=\"nav\">";
  const std::string base = "/groups/" + std::to_string(group.Id);
  if (offset > 0)
    html += "<a rel=\"prev\" href=\"" + base +
            (offset > PageSize ? "?page=" + std::to_string((offset - PageSize) / PageSize + 1) : std::string()) +
            "\">Newer reports</a>";
  if (reports.size() > static_cast<std::size_t>(PageSize))
    html +=
        "<a rel=\"next\" href=\"" + base + "?page=" + std::to_string(offset / PageSize + 2) + "\">Older reports</a>";
  html += "</p>\n";
  return html + std::string(Foot);
}

}  // namespace ReportPages
