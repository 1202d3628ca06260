#pragma once
// The collector's pages for the maker's developers, drawn on the server:
// HTML with one inline style sheet and inline SVG, no script. Every text
// that comes from a report is escaped; the Content-Security-Policy allows no
// script, no frame, no outside resource, and the one style sheet by its
// digest.
#include <cstdint>
#include <string>
#include <vector>

#include "ReportStore.h"

namespace ReportPages {

// Groups and reports shown on one page.
inline constexpr int PageSize = 50;
// Days the chart of a group shows, today included.
inline constexpr int ChartDays = 30;

// The Content-Security-Policy of every reply.
const std::string& ContentSecurityPolicy();

// "2026-12-06 23:41 UTC".
std::string TimeText(std::int64_t seconds);

// The groups, newest or most frequent first, with the filter form and the
// links to the neighbouring pages.
std::string GroupsPage(const TGroupList& list, const TGroupQuery& query, const std::vector<std::string>& programs,
                       const std::vector<std::string>& versions);

// A group: its signature and counters, the chart of its last days, then its
// reports newest first (`reports` may hold one more than a page: then a
// link to the next page follows).
std::string GroupPage(const TGroup& group, const std::vector<TDayCount>& days,
                      const std::vector<TStoredReport>& reports, std::int64_t offset, std::int64_t today);

// The bar chart of reports per day over ChartDays days up to `today`, as an
// SVG element.
std::string DayChart(const std::vector<TDayCount>& days, std::int64_t today);

}  // namespace ReportPages
