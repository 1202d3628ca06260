#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <typeinfo>
#include <utility>

#include "base/Conversions.h"
#include "base/Demangle.h"
#include "base/Exceptions.h"
#include "base/TextFile.h"
#include "base/TextUtil.h"
#include "tests/support/TempDir.h"

namespace {
std::string ConvertMessage(const std::string& s) {
  try {
    StrToInt(s);
  } catch (const EConvertError& e) {
    return e.Message();
  }
  return "no error";
}
}  // namespace

TEST(StrToInt, AcceptsDecimalSignedAndHexadecimal) {
  EXPECT_EQ(StrToInt("12"), 12);
  EXPECT_EQ(StrToInt("  7"), 7);
  EXPECT_EQ(StrToInt("-2024"), -2024);
  EXPECT_EQ(StrToInt("+5"), 5);
  EXPECT_EQ(StrToInt("007"), 7);
  EXPECT_EQ(StrToInt("$1F"), 31);
  EXPECT_EQ(StrToInt("0x10"), 16);
  EXPECT_EQ(StrToInt("2147483647"), INT_MAX);
  EXPECT_EQ(StrToInt("-2147483648"), INT_MIN);
}

TEST(StrToInt, RejectsEverythingElseWithTheValueInTheMessage) {
  EXPECT_EQ(ConvertMessage(""), "'' is not a valid integer value");
  EXPECT_EQ(ConvertMessage("13x"), "'13x' is not a valid integer value");
  EXPECT_EQ(ConvertMessage("1 "), "'1 ' is not a valid integer value");
  EXPECT_EQ(ConvertMessage("-"), "'-' is not a valid integer value");
  EXPECT_EQ(ConvertMessage("2147483648"), "'2147483648' is not a valid integer value");
  EXPECT_EQ(ConvertMessage("-2147483649"), "'-2147483649' is not a valid integer value");
  EXPECT_EQ(ConvertMessage("99999999999999999999999"), "'99999999999999999999999' is not a valid integer value");
  EXPECT_EQ(ConvertMessage("1.5"), "'1.5' is not a valid integer value");
  EXPECT_EQ(ConvertMessage("$"), "'$' is not a valid integer value");
}

TEST(EncodeDate, CountsDaysFromTheEndOf1899) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0);
  EXPECT_EQ(EncodeDate(1900, 1, 1), 2);
  EXPECT_EQ(EncodeDate(2000, 1, 1), 36526);
  EXPECT_EQ(EncodeDate(1, 1, 1), -693593);
  EXPECT_LT(EncodeDate(2026, 3, 14), EncodeDate(2026, 3, 15));
  int y, m, d;
  for (TDate date :
       {EncodeDate(1, 1, 1), EncodeDate(1600, 2, 29), EncodeDate(2024, 12, 31), EncodeDate(9999, 12, 31)}) {
    DecodeDate(date, y, m, d);
    EXPECT_EQ(EncodeDate(y, m, d), date);
  }
  DecodeDate(EncodeDate(2024, 2, 29), y, m, d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 20240229);
}

TEST(EncodeDate, RejectsImpossibleDatesAndYearsOutside1To9999) {
  for (auto [y, m, d] : {std::tuple{2023, 2, 29},
                         {1900, 2, 29},
                         {2024, 13, 1},
                         {2024, 0, 1},
                         {2024, 4, 31},
                         {2024, 1, 0},
                         {0, 1, 1},
                         {10000, 1, 1},
                         {-5, 1, 1}}) {
    try {
      EncodeDate(y, m, d);
      ADD_FAILURE() << y << "-" << m << "-" << d;
    } catch (const EConvertError& e) {
      EXPECT_EQ(e.Message(), "Invalid argument to date encode");
    }
  }
  EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
}

TEST(TextFile, SplitsAtCrLfAndCrLf) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), (V{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n"), (V{"a"}));
  EXPECT_EQ(SplitLines("a\n\rb"), (V{"a", "", "b"}));
  EXPECT_EQ(SplitLines("\r\n\r\n"), (V{"", ""}));
  EXPECT_EQ(SplitLines(""), V{});
  EXPECT_EQ(SplitLines(std::string("x\0y\r", 4)), (V{std::string("x\0y", 3)}));
}

// Long lines are searched for their break eight bytes at a time: a break at
// every place of such a step, and bytes below CR that are no break (or far
// above it) beside it, split as in a short text.
TEST(TextFile, SplitsLongLinesAtEveryPlace) {
  using V = std::vector<std::string>;
  const std::string filler = std::string("ab\tc\x0c\x0e\0d\x80\xff", 10) + "0123456789ABCDEF";
  for (const char* lineBreak : {"\r", "\n", "\r\n"})
    for (std::size_t at = 0; at <= 18; ++at) {
      const std::string first = filler.substr(0, at), second = filler.substr(at % 5);
      EXPECT_EQ(SplitLines(first + lineBreak + second + lineBreak), (V{first, second})) << at << " "
                                                                                        << (lineBreak[0] == '\n' ? "LF"
                                                                                            : lineBreak[1] ? "CR LF"
                                                                                                           : "CR");
    }
}

TEST(TextUtil, LetterCaseFoldsTheAsciiLettersOnly) {
  EXPECT_TRUE(SameTextAscii("Open", "oPEN"));
  EXPECT_TRUE(StartsWithTextAscii("HTTP/1.1 200", "http/"));
  EXPECT_FALSE(StartsWithTextAscii("htt", "http"));
  // Neighbours of the letters that a fold by bit 0x20 would equate, and
  // 8-bit letters that a locale's fold would: all stay apart.
  EXPECT_FALSE(SameTextAscii("[@^", "{`~"));
  EXPECT_FALSE(SameTextAscii("\xC4", "\xE4"));
  EXPECT_FALSE(SameTextAscii("\xC3\x84", "\xC3\xA4"));
  EXPECT_FALSE(SameTextAscii("ab", "abc"));
  EXPECT_EQ(LowerAscii("A-Z\xC4@[z"), "a-z\xC4@[z");
  EXPECT_EQ(UpperAscii("a-z\xE4`{Z"), "A-Z\xE4`{Z");
}

TEST(TextUtil, LineReaderLeavesTheRestAfterTheLineBreak) {
  TLineReader reader("one\r\ntwo\rthree");
  std::string_view line;
  ASSERT_TRUE(reader.Next(line));
  EXPECT_EQ(line, "one");
  EXPECT_EQ(reader.Rest(), "two\rthree");
  ASSERT_TRUE(reader.Next(line));
  ASSERT_TRUE(reader.Next(line));
  EXPECT_EQ(line, "three");
  EXPECT_FALSE(reader.Next(line));
  EXPECT_EQ(reader.Rest(), "");
}

TEST(TextFile, RefusesWhatIsNoReadableRegularFile) {
  TTempDir dir;
  auto message = [](const std::string& path) {
    try {
      LoadTextLines(path);
    } catch (const EInOutError& e) {
      return e.Message();
    }
    return std::string("no error");
  };
  EXPECT_EQ(message(dir.File("missing.ini")),
            "Cannot open file \"" + dir.File("missing.ini") + "\". No such file or directory");
  ::mkdir(dir.File("x.ini").c_str(), 0755);
  EXPECT_EQ(message(dir.File("x.ini")), "Cannot open file \"" + dir.File("x.ini") + "\". Is a directory");
  ::mkfifo(dir.File("pipe.ini").c_str(), 0644);  // opening it would block for ever
  EXPECT_EQ(message(dir.File("pipe.ini")), "Cannot open file \"" + dir.File("pipe.ini") + "\". Not a regular file");
  const std::string locked = dir.Write("locked.ini", "MODE=0\r\n");
  ::chmod(locked.c_str(), 0);
  if (::geteuid() != 0) {  // root reads it all the same
    EXPECT_EQ(message(locked), "Cannot open file \"" + locked + "\". Permission denied");
  }
  const std::string big = dir.Write("big.ini", "");
  ASSERT_EQ(::truncate(big.c_str(), static_cast<off_t>(MaxTextFileSize) + 1), 0);
  EXPECT_EQ(message(big), "Cannot open file \"" + big + "\". File too large");
}

TEST(TextFile, ReadsBytesAsTheyAre) {
  TTempDir dir;
  const std::string path = dir.Write("a.ini", std::string("TITLE=Caf\xe9\0x\r\nMODE=1", 20));
  EXPECT_EQ(LoadTextLines(path), (std::vector<std::string>{std::string("TITLE=Caf\xe9\0x", 12), "MODE=1"}));
}

TEST(Demangle, GivesReadableNamesAndLeavesOthersAlone) {
  EXPECT_EQ(Demangle("_ZN7TfmMain12btnNextClickEv"), "TfmMain::btnNextClick()");
  EXPECT_EQ(Demangle(typeid(EConvertError).name()), "EConvertError");
  EXPECT_EQ(Demangle("main"), "main");
  EXPECT_EQ(Demangle("_Z"), "_Z");
  EXPECT_EQ(Demangle(nullptr), "");
}

TEST(Demangle, PublicNameIsScopeDotFunctionWithoutParametersOrReturnType) {
  const std::pair<const char*, const char*> cases[] = {
      {"TfmMain::btnNextClick()", "TfmMain.btnNextClick"},
      {"main", "main"},
      {"Run(int, char**)", "Run"},
      {"std::vector<int, std::allocator<int> >::push_back(int const&)",
       "std::vector<int, std::allocator<int> >.push_back"},
      {"void ns::TList<int>::Add<char>(char) const", "ns::TList<int>.Add<char>"},
      {"std::__cxx11::basic_string<char> ns::Name[abi:cxx11](int)", "ns.Name[abi:cxx11]"},
      {"(anonymous namespace)::Helper(int)", "(anonymous namespace).Helper"},
      {"TFoo::operator()(int) const", "TFoo.operator()"},
      {"TFoo::operator<(TFoo const&) const", "TFoo.operator<"},
      {"operator new(unsigned long)", "operator new"},
      {"TFoo::~TFoo()", "TFoo.~TFoo"},
      {"main::{lambda()#1}::operator()() const", "main::{lambda()#1}.operator()"},
      {"QWidget::event(QEvent*) [clone .cold]", "QWidget.event"},
      {"TFoo::operator int() const", "TFoo.operator int"},
  };
  for (const auto& [demangled, expected] : cases) EXPECT_EQ(PublicNameOf(demangled), expected) << demangled;
}
