// Outside text bytes as the windows show them: UTF-8 when the whole text is
// valid UTF-8, else Windows-1252 byte by byte.
#include <gtest/gtest.h>
#include <iconv.h>

#include <optional>
#include <string>

#include "base/TextCodec.h"
#include "runtime/QtText.h"

namespace {
struct TCase {
  const char* Name;
  std::string Bytes;
  std::u16string Shown;
};

// The character a Windows-1252 byte stands for by the C library's own
// converter; none for the bytes the code page leaves undefined.
std::optional<char32_t> ByTheCLibrary(unsigned char byte) {
  iconv_t cd = iconv_open("UTF-32LE", "CP1252");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  char in = static_cast<char>(byte);
  unsigned char out[4] = {};
  char* inPos = &in;
  char* outPos = reinterpret_cast<char*>(out);
  std::size_t inLeft = 1, outLeft = sizeof out;
  const bool converted = iconv(cd, &inPos, &inLeft, &outPos, &outLeft) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  if (!converted) return std::nullopt;
  return static_cast<char32_t>(out[0] | out[1] << 8 | out[2] << 16 | out[3] << 24);
}
}  // namespace

TEST(TextCodec, ValidUtf8IsReadAsUtf8AndAnythingElseAsWindows1252) {
  using namespace std::string_literals;
  const TCase cases[] = {
      {"ascii", "Image Tool 2.1.0", u"Image Tool 2.1.0"},
      {"empty", "", u""},
      {"zero byte kept", "a\0b"s, u"a\0b"s},
      {"utf-8 two, three and four bytes", "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", u"\u00E9 \u20AC \U0001F600"},
      {"the maker's 8-bit title",
       "Pro\x99 \x96 \xE9"
       "dition \x80",
       u"Pro\u2122 \u2013 \u00E9dition \u20AC"},
      {"quotes and dashes", "\x93quoted\x94 \x91single\x92 \x85 \x97",
       u"\u201Cquoted\u201D \u2018single\u2019 \u2026 \u2014"},
      {"undefined bytes as in Latin-1", "\x81\x8D\x8F\x90\x9D", u"\u0081\u008D\u008F\u0090\u009D"},
      // One byte that is not UTF-8 makes the whole text Windows-1252, even
      // where other bytes would form UTF-8.
      {"utf-8 beside a stray byte", "\xC3\xA9\xE9", u"\u00C3\u00A9\u00E9"},
      {"overlong form", "\xC0\xAF", u"\u00C0\u00AF"},
      {"surrogate half", "\xED\xA0\x80", u"\u00ED\u00A0\u20AC"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\u00F4\u0090\u20AC\u20AC"},
      {"cut short", "caf\xC3", u"caf\u00C3"},
      {"stray continuation byte", "\xA9 2025", u"\u00A9 2025"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(ToQString(c.Bytes).toStdU16String(), c.Shown);
  }
}

TEST(TextCodec, EveryByteStandsForOneCharacter) {
  ASSERT_TRUE(ByTheCLibrary('A')) << "the C library has no Windows-1252 converter";
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  ASSERT_FALSE(IsValidUtf8(all));
  const QString shown = ToQString(all);
  ASSERT_EQ(shown.size(), 256);
  int undefined = 0;
  for (int b = 0; b < 256; ++b) {
    SCOPED_TRACE("byte " + std::to_string(b));
    const auto byte = static_cast<unsigned char>(b);
    const std::optional<char32_t> expected = ByTheCLibrary(byte);
    undefined += !expected;
    // The undefined bytes stand for the control characters of their number.
    const char32_t c = expected.value_or(byte);
    EXPECT_EQ(Cp1252ToUnicode(byte), c);
    EXPECT_EQ(shown[b].unicode(), c);
  }
  EXPECT_EQ(undefined, 5);  // 0x81, 0x8D, 0x8F, 0x90 and 0x9D
}

TEST(TextCodec, Utf8SequenceLengths) {
  const std::pair<std::string, std::size_t> rows[] = {
      {"A", 1},
      {"\xC2\x80", 2},
      {"\xDF\xBF", 2},
      {"\xE0\xA0\x80", 3},
      {"\xEF\xBF\xBF", 3},
      {"\xF0\x90\x80\x80", 4},
      {"\xF4\x8F\xBF\xBF", 4},
      {"\xC1\xBF", 0},
      {"\xE0\x9F\xBF", 0},
      {"\xED\xBF\xBF", 0},
      {"\xF0\x8F\xBF\xBF", 0},
      {"\xF5\x80\x80\x80", 0},
      {"\x80", 0},
      {"\xC2", 0},
      {"\xE2\x82", 0},
      {"\xC2\x41", 0},
      {"\xFF", 0},
  };
  for (const auto& [bytes, length] : rows) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    EXPECT_EQ(Utf8SequenceLength(bytes, 0), length);
    EXPECT_EQ(IsValidUtf8(bytes), length == bytes.size());
  }
  EXPECT_EQ(Utf8SequenceLength("ab", 2), 0u);  // beyond the text
  EXPECT_EQ(Utf8SequenceLength("a\xC3\xA9", 1), 2u);
}

TEST(TextCodec, Utf8GoesBackUnchanged) {
  for (const std::string s : {"Caf\xC3\xA9 \xE2\x82\xAC", "plain", ""}) EXPECT_EQ(FromQString(ToQString(s)), s);
}
