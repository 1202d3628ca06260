#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/DirEnum.h"
#include "tests/support/TempDir.h"

namespace {
std::vector<std::string> Names(const std::string& folder, const std::string& mask, std::uint32_t filter) {
  std::vector<std::string> names;
  TDirEnum e(folder, mask, filter);
  TDirEntry entry;
  while (e.Next(entry)) names.push_back(entry.Name);
  std::sort(names.begin(), names.end());
  return names;
}
using V = std::vector<std::string>;
}  // namespace

TEST(MatchesMask, WildcardsAndLetterCase) {
  EXPECT_TRUE(MatchesMask("a.ini", "*.ini"));
  EXPECT_TRUE(MatchesMask("A.INI", "*.ini"));
  EXPECT_TRUE(MatchesMask(".ini", "*.ini"));
  EXPECT_TRUE(MatchesMask("x.ini.ini", "*.ini"));
  EXPECT_FALSE(MatchesMask("a.ini2", "*.ini"));
  EXPECT_FALSE(MatchesMask("a.in", "*.ini"));
  EXPECT_FALSE(MatchesMask("ini", "*.ini"));
  EXPECT_TRUE(MatchesMask("ab", "a?"));
  EXPECT_FALSE(MatchesMask("a", "a?"));
  EXPECT_TRUE(MatchesMask("abcabd", "*ab?"));
  EXPECT_TRUE(MatchesMask("anything", "*"));
  EXPECT_TRUE(MatchesMask("Read Me", "read me"));
}

TEST(DirEnum, AttributeFilterDecidesOnHiddenAndFolders) {
  TTempDir dir;
  dir.Write("a.ini", "1234");
  dir.Write("B.INI", "");
  dir.Write(".hidden.ini", "");
  dir.Write("other.txt", "");
  ::mkdir(dir.File("x.ini").c_str(), 0755);
  EXPECT_EQ(Names(dir.Path(), "*.ini", faAnyFile), (V{".hidden.ini", "B.INI", "a.ini", "x.ini"}));
  EXPECT_EQ(Names(dir.Path(), "*.ini", 0), (V{"B.INI", "a.ini"}));
  EXPECT_EQ(Names(dir.Path(), "*.ini", faDirectory), (V{"B.INI", "a.ini", "x.ini"}));
  EXPECT_EQ(Names(dir.Path() + "/", "*.ini", faHidden), (V{".hidden.ini", "B.INI", "a.ini"}));
}

TEST(DirEnum, ReportsSizeAndAttributes) {
  TTempDir dir;
  const std::string ro = dir.Write("ro.ini", "12345");
  ::chmod(ro.c_str(), 0444);
  ::mkdir(dir.File("d.ini").c_str(), 0755);
  TDirEnum e(dir.Path(), "*.ini", faAnyFile);
  TDirEntry entry;
  int seen = 0;
  while (e.Next(entry)) {
    ++seen;
    if (entry.Name == "ro.ini") {
      EXPECT_EQ(entry.Size, 5);
      EXPECT_EQ(entry.Attr, faReadOnly | faArchive);
    } else {
      EXPECT_EQ(entry.Attr, faDirectory);
      EXPECT_EQ(entry.Size, 0);
    }
  }
  EXPECT_EQ(seen, 2);
}

TEST(DirEnum, MissingFolderGivesNothingAndAnError) {
  TTempDir dir;
  TDirEnum e(dir.File("nope"), "*", faAnyFile);
  TDirEntry entry;
  EXPECT_FALSE(e.Next(entry));
  EXPECT_NE(e.Error(), 0);
}
