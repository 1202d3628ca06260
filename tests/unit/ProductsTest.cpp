#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>

#include "app/U_FileList.h"
#include "app/U_Products.h"
#include "app/U_UpdateCheck.h"
#include "base/Exceptions.h"
#include "platform/DirEnum.h"
#include "tests/support/TempDir.h"

using V = std::vector<std::string>;

namespace {
std::string ParseError(const V& lines) {
  try {
    ParseDescriptor(lines);
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "no error";
}
const V Good = {"[Product]", "ID=42",  "MODE=0",   "VERSION=2.1.0", "TITLE=Image Tool",
                "CODE=IMT",  "DAY=14", "MONTH=03", "YEAR=2025"};
}  // namespace

TEST(LookupKey, FirstLineWhoseKeyMatchesWithoutRegardToCase) {
  const V lines = {"[One]",    "id=first", "[Two]",  "ID=second", "TITLE=A=B = C ",
                   "NOEQUALS", " MODE=1",  "DAY =2", "=empty key"};
  EXPECT_EQ(LookupKey(lines, "ID"), "first");
  EXPECT_EQ(LookupKey(lines, "TITLE"), "A=B = C ");
  EXPECT_EQ(LookupKey(lines, "MODE"), "");  // a blank before the key
  EXPECT_EQ(LookupKey(lines, "DAY"), "");   // a blank before the "="
  EXPECT_EQ(LookupKey(lines, "CODE"), "");
  EXPECT_EQ(LookupKey(lines, ""), "empty key");
}

TEST(ParseDescriptor, ReadsEveryKey) {
  const TDescriptor d = ParseDescriptor(Good);
  EXPECT_EQ(d.ID, "42");
  EXPECT_EQ(d.Mode, 0);
  EXPECT_EQ(d.Version, "2.1.0");
  EXPECT_EQ(d.Title, "Image Tool");
  EXPECT_EQ(d.Code, "IMT");
  EXPECT_EQ(d.Day * 10000 + d.Month * 100 + (d.Year - 2000), 140325);
  EXPECT_EQ(d.Date, EncodeDate(2025, 3, 14));
  const TDescriptor bare = ParseDescriptor({"MODE=3", "DAY=1", "MONTH=1", "YEAR=1"});
  EXPECT_EQ(bare.ID + bare.Version + bare.Title + bare.Code, "");
}

TEST(ParseDescriptor, ErrorsInReadingOrder) {
  V badMonth = Good;
  badMonth[7] = "MONTH=13";
  EXPECT_EQ(ParseError(badMonth), "Invalid argument to date encode");
  V noMode = Good;
  noMode.erase(noMode.begin() + 2);
  EXPECT_EQ(ParseError(noMode), "'' is not a valid integer value");
  V both = Good;  // MODE is converted before DAY
  both[2] = "MODE=x";
  both[6] = "DAY=y";
  EXPECT_EQ(ParseError(both), "'x' is not a valid integer value");
  V feb = Good;
  feb[6] = "DAY=29";
  feb[7] = "MONTH=2";
  feb[8] = "YEAR=2023";
  EXPECT_EQ(ParseError(feb), "Invalid argument to date encode");
  V year0 = Good;
  year0[8] = "YEAR=0";
  EXPECT_EQ(ParseError(year0), "Invalid argument to date encode");
}

TEST(ProductTable, GrowsInsteadOfWritingPastItsRoom) {
  TProductTable t;
  EXPECT_EQ(t.Room(), 26);
  TDescriptor d = ParseDescriptor(Good);
  for (int place = 0; place < 40; ++place) {
    d.Title = "P" + std::to_string(place);
    t.Store(place, d);
  }
  EXPECT_GE(t.Room(), 40);
  EXPECT_EQ(t.Title[TProductTable::Installed(0)], "P0");
  EXPECT_EQ(t.Title[TProductTable::Installed(39)], "P39");
  EXPECT_EQ(t.Title[TProductTable::Latest(39)], "");
}

TEST(FileList, FindsDescriptorsOfAnyAttributeAndLetterCase) {
  TTempDir dir;
  dir.Write("a.ini", "12345");
  dir.Write("B.INI", "");
  dir.Write(".h.ini", "");
  dir.Write("readme.txt", "");
  ::mkdir(dir.File("x.ini").c_str(), 0755);
  TFileList list(dir.Path(), "*.ini", faAnyFile);
  ASSERT_EQ(list.Count, 4);
  V names;
  for (int i = 0; i < list.Count; ++i) {
    const TFileItem& item = list.Items(i);
    EXPECT_EQ(item.Path, dir.Path() + "/");
    EXPECT_EQ(item.FullName, item.Path + item.FileName);
    if (item.FileName == "a.ini") {
      EXPECT_EQ(item.Size, 5);
    }
    names.push_back(item.FileName);
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (V{".h.ini", "B.INI", "a.ini", "x.ini"}));
  list.Search(dir.File("missing"), "*.ini", faAnyFile);
  EXPECT_EQ(list.Count, 0);
}

TEST(PlacesWithUpdates, ALaterDateOrAGreaterVersionAndIdZeroOnlyAlone) {
  struct TProduct {
    const char* ID;
    const char* Installed;  // version
    int InstalledDay;       // of March 2025
    const char* Latest;
    int LatestDay;
  };
  struct TCase {
    const char* Name;
    std::vector<TProduct> Products;
    std::vector<int> Places;
  };
  const TCase cases[] = {
      {"the rule",
       {{"same", "2.1.0", 14, "2.1.0", 14},
        {"later date, smaller version", "9.9", 14, "1.0", 15},
        {"proper beginning", "1.2", 14, "1.2.0", 14},
        {"greater as text", "1.10", 14, "1.9.0", 14},
        {"smaller as text", "1.9.0", 14, "1.10", 14},
        {"earlier date alone", "2.1.0", 14, "2.1.0", 13}},
       {1, 2, 3}},
      {"ID 0 goes when another remains", {{"0", "1.0", 14, "2.0", 15}, {"b", "1.0", 14, "2.0", 15}}, {1}},
      {"a lone ID 0 stays", {{"0", "1.0", 14, "2.0", 15}, {"c", "1.0", 14, "1.0", 14}}, {0}},
      {"two ID 0 leave none", {{"0", "1.0", 14, "2.0", 15}, {"0", "1.0", 14, "2.0", 15}}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TProductTable table;
    for (int place = 0; place < static_cast<int>(c.Products.size()); ++place) {
      const TProduct& p = c.Products[place];
      const std::size_t in = TProductTable::Installed(place), out = TProductTable::Latest(place);
      table.ID[in] = p.ID;
      table.Version[in] = p.Installed;
      table.Date[in] = EncodeDate(2025, 3, p.InstalledDay);
      table.Version[out] = p.Latest;
      table.Date[out] = EncodeDate(2025, 3, p.LatestDay);
    }
    EXPECT_EQ(PlacesWithUpdates(table, static_cast<int>(c.Products.size())), c.Places);
  }
}

TEST(UpdateRecord, FiltersAndReadsAroundTheMarker) {
  EXPECT_EQ(FilterUpdateRecord("<b>Date: 15/03/2026 @@ v2.2.0</b>\r\n"), "15/03/2026@@2.2.0/");
  TUpdateRecord r = ParseUpdateRecord("<html><body>Latest 15/03/2026@@2.2.0</body></html>");
  EXPECT_EQ(r.DateText, "15/03/2026");
  EXPECT_EQ(r.Version, "2.2.0");
  r = ParseUpdateRecord("xx1/01/2026@@1.10.3.9");  // only five characters of the version
  EXPECT_EQ(r.Version, "1.10.");
  EXPECT_EQ(r.DateText, "1/01/2026@");  // the marker within the first ten characters
  r = ParseUpdateRecord("15.03.2026@@3");
  EXPECT_EQ(r.Version, "3");
  EXPECT_EQ(r.DateText, "15.03.2026");
  r = ParseUpdateRecord("15/03/2026 2.0.0");  // no marker: it counts as standing at position 0
  EXPECT_EQ(r.DateText, "15/03/2026");
  EXPECT_EQ(r.Version, "5/03/");
  r = ParseUpdateRecord("");
  EXPECT_EQ(r.DateText + r.Version, "");
  r = ParseUpdateRecord("@@");
  EXPECT_EQ(r.DateText, "@@");
  EXPECT_EQ(r.Version, "");
  r = ParseUpdateRecord("999/12/2024@@@@1.0");  // the first "@@" is the marker
  EXPECT_EQ(r.DateText, "99/12/2024");
  EXPECT_EQ(r.Version, "@@1.0");
}

TEST(UpdateRecord, LatestDateConversion) {
  const TLatestDate d = ConvertLatestDate("15/03/2026");
  EXPECT_EQ(d.Date, EncodeDate(2026, 3, 15));
  EXPECT_EQ(d.Day + d.Month * 100 + d.Year * 10000, 20260315);
  EXPECT_THROW(ConvertLatestDate("31/02/2026"), EConvertError);
  EXPECT_THROW(ConvertLatestDate("15/03/"), EConvertError);
  EXPECT_THROW(ConvertLatestDate(""), EConvertError);
  EXPECT_THROW(ConvertLatestDate("@@/03/2026"), EConvertError);
}

TEST(HistoryPointer, TakesTheTextBetweenTheFirstTwoMarkers) {
  EXPECT_EQ(ParseHistoryPointer("<p>@@http://h/x.txt@@</p>@@more@@"), "http://h/x.txt");
  EXPECT_EQ(ParseHistoryPointer("@@@@"), "");
  EXPECT_EQ(ParseHistoryPointer("@@ a b @@"), " a b ");
  EXPECT_EQ(ParseHistoryPointer("@@only one"), std::nullopt);
  EXPECT_EQ(ParseHistoryPointer("@@@"), std::nullopt);
  EXPECT_EQ(ParseHistoryPointer(""), std::nullopt);
}

TEST(VersionText, ComparesByteByByte) {
  EXPECT_LT(CompareVersionText("1.2", "1.2.0"), 0);
  EXPECT_LT(CompareVersionText("1.10", "1.9.0"), 0);
  EXPECT_GT(CompareVersionText("2.1.0", "2.0.9"), 0);
  EXPECT_EQ(CompareVersionText("2.1.0", "2.1.0"), 0);
  EXPECT_LT(CompareVersionText("", "0"), 0);
  EXPECT_GT(CompareVersionText("\xe9", "z"), 0);  // 8-bit codes, not signed chars
}

TEST(ServerAddress, EnvironmentOverridesAndUrlsKeepValuesUnchanged) {
  ::setenv("BREVANT_UPDATE_SERVER", "http://127.0.0.1:9/base", 1);
  const std::string base = UpdateServerBase();
  EXPECT_EQ(base, "http://127.0.0.1:9/base/");
  ::setenv("BREVANT_UPDATE_SERVER", "", 1);
  EXPECT_EQ(UpdateServerBase().back(), '/');
  ::unsetenv("BREVANT_UPDATE_SERVER");
  EXPECT_EQ(UpdateRecordUrl(base, "IMT", "a b&c"), base + "soft_update.php?referer=IMT_Update&productID=a b&c");
  EXPECT_EQ(HistoryPointerUrl(base, "7;x"), base + "soft_history.php?productID=7;x");
  EXPECT_EQ(DownloadPageUrl(base, 0, "7"), base + "soft_download.php?productID=7");
  EXPECT_EQ(DownloadPageUrl(base, 1, "7"), base + "soft_download_reg.php?productID=7");
  EXPECT_EQ(DownloadPageUrl(base, -3, "7"), base + "soft_download_reg.php?productID=7");
}
