#include <gtest/gtest.h>

#include <string>

#include "app/U_RichText.h"

namespace {
std::string P(const std::string& rtf) {
  return RichTextToPlainText(rtf);
}

// UTF-8 of the characters the tests expect.
const std::string Euro = "\xE2\x82\xAC", EAcute = "\xC3\xA9", Bad = "\xEF\xBF\xBD";
// U+0081, what the undefined Windows-1252 byte 0x81 stands for, as in Latin-1.
const std::string C1Control81 = "\xC2\x81";
std::string Opening(std::size_t n) {
  return std::string(n, '{');
}
std::string Closing(std::size_t n) {
  return std::string(n, '}');
}
}  // namespace

TEST(LooksLikeRichText, NeedsTheRtfOpeningAfterOptionalLeadIn) {
  EXPECT_TRUE(LooksLikeRichText(R"({\rtf1\ansi x})"));
  EXPECT_TRUE(LooksLikeRichText("\xEF\xBB\xBF{\\rtf1}"));
  EXPECT_TRUE(LooksLikeRichText(" \t\r\n{\\rtf"));
  EXPECT_FALSE(LooksLikeRichText(""));
  EXPECT_FALSE(LooksLikeRichText("Version 2.1\r\n- reads {\\rtf1 files}"));
  EXPECT_FALSE(LooksLikeRichText("{\\RTF1 x}"));  // control words are case-sensitive
  EXPECT_FALSE(LooksLikeRichText("{ \\rtf1 x}"));
  EXPECT_FALSE(LooksLikeRichText("{\\rt"));
  EXPECT_FALSE(LooksLikeRichText("\xEF\xBB"));
}

TEST(RichTextToPlainText, TypicalDocument) {
  const std::string doc =
      R"({\rtf1\ansi\ansicpg1252\deff0\deflang1033{\fonttbl{\f0\fswiss\fcharset0 Arial;}{\f1\fnil\fcharset2 Symbol;}}
{\colortbl ;\red0\green0\blue255;}
{\*\generator Notes Writer 1.0;}\viewkind4\uc1\pard\f0\fs20\b Version 2.1\b0\par
\pard - Caf\'e9 prices now in \u8364?\par
- See {\field{\*\fldinst{HYPERLINK "http://example.invalid/"}}{\fldrslt{\ul\cf1 our site}}}\f0\fs20  for details.\par
{\pntext\f1\'B7\tab}{\*\pn\pnlvlblt\pnf1\pnindent0{\pntxtb\'B7}}\fi-720\li720 First item\par
\pard\tab Indented {\i and {\b nested}} text\par
}
)";
  EXPECT_EQ(P(doc), "Version 2.1\r\n- Caf" + EAcute + " prices now in " + Euro + "\r\n- See our site for details.\r\n" +
                        "\xC2\xB7\tFirst item\r\n\tIndented and nested text\r\n");
}

TEST(RichTextToPlainText, EscapesSymbolsAndBreaks) {
  EXPECT_EQ(P(R"({\rtf1 a\\b\{c\}d\~e\-f\_g\emdash\endash\bullet\lquote x\rquote\ldblquote y\rdblquote})"),
            "a\\b{c}d ef-g\xE2\x80\x94\xE2\x80\x93\xE2\x80\xA2\xE2\x80\x98x\xE2\x80\x99\xE2\x80\x9Cy\xE2\x80\x9D");
  // \pard does not break; source line breaks are ignored, a backslash before one is \par.
  EXPECT_EQ(P("{\\rtf1 one\\line two\\par\\pard three\r\n four\\\r\nfive\\\nsix\\tab seven\\sect eight}"),
            "one\r\ntwo\r\nthree four\r\nfive\r\nsix\tseven\r\neight");
  EXPECT_EQ(P(R"({\rtf1\trowd\cellx1000\cellx2000 \intbl A\cell B\cell\row after})"), "A\tB\t\r\nafter");
  // One blank ends a control word; a number is part of it, a lone '-' is not.
  EXPECT_EQ(P(R"({\rtf1\b bold\b0  space\fs-20x\b0text\par-x})"), "bold spacextext\r\n-x");
}

TEST(RichTextToPlainText, EightBitText) {
  EXPECT_EQ(P(R"({\rtf1 \'80\'85\'93\'94\'99\'A9\'ff\'81\'41})"),
            Euro + "\xE2\x80\xA6\xE2\x80\x9C\xE2\x80\x9D\xE2\x84\xA2\xC2\xA9\xC3\xBF" + C1Control81 + "A");
  EXPECT_EQ(P(R"({\rtf1 \'zz\'4})"), "zz");  // not two hex digits: nothing
  // Raw bytes stay when they are UTF-8, else they are Windows-1252.
  EXPECT_EQ(P("{\\rtf1 Caf\xE9 \xC3\xA9t\xE9\x80}"), "Caf" + EAcute + " " + EAcute + "t" + EAcute + Euro);
  EXPECT_EQ(P("{\\rtf1 \xED\xA0\x80}"), "\xC3\xAD\xC2\xA0" + Euro);  // a UTF-16 half is no UTF-8
  EXPECT_EQ(P("{\\rtf1 a\\'00b\\u1?c\x01"
              "d\\'0d\\'0a}"),
            "abcd\r\n");  // control characters go
}

TEST(RichTextToPlainText, UnicodeAndFallbacks) {
  EXPECT_EQ(P(R"({\rtf1\uc2 \u8364\'80\'80x\uc0\u8364 y})"), Euro + "x" + Euro + "y");
  EXPECT_EQ(P(R"({\rtf1 {\uc2\u233 ab}\u233 cd})"), EAcute + EAcute + "d");      // \uc belongs to its group
  EXPECT_EQ(P(R"({\rtf1\uc3\u233{}x})"), EAcute + "x");                          // a brace ends the fallback
  EXPECT_EQ(P(R"({\rtf1\u233\'e9x\u233\par y})"), EAcute + "x" + EAcute + "y");  // one control = one character
  EXPECT_EQ(P(R"({\rtf1\u-4064?\u x})"), "\xEF\x80\xA0x");                       // 16-bit negatives; \u alone
  EXPECT_EQ(P(R"({\rtf1\u-10179?\u-8704?})"), "\xF0\x9F\x98\x80");               // surrogate pair
  EXPECT_EQ(P(R"({\rtf1\u55357?x\u56832?\u55357})"), Bad + "x" + Bad + Bad);     // halves alone
  EXPECT_EQ(P(R"({\rtf1 a\u-99999999999?b\u99999999999?c\u1114112?d\u-40000?})"),
            "a" + Bad + "b" + Bad + "c" + Bad + "d" + Bad);
  EXPECT_EQ(P(R"({\rtf1 {\uc99999999999\u233 abc}d})"), EAcute + "d");
}

TEST(RichTextToPlainText, SkipsDestinations) {
  for (const char* name :
       {"fonttbl",      "colortbl",  "stylesheet",        "info",    "pict",      "object",    "header",
        "headerl",      "headerr",   "headerf",           "footer",  "footerl",   "footerr",   "footerf",
        "footnote",     "listtable", "listoverridetable", "rsidtbl", "generator", "themedata", "colorschememapping",
        "latentstyles", "datastore", "xmlnstbl",          "filetbl", "revtbl",    "fldinst",   "bkmkstart",
        "pntxtb",       "xe"})
    EXPECT_EQ(P(std::string("{\\rtf1 a{\\") + name + " hidden\\u233?\\'e9{\\b more} \xE9text}b}"), "ab") << name;
  EXPECT_EQ(P(R"({\rtf1 a{\*\unknown x{y}}b})"), "ab");
  EXPECT_EQ(P(R"({\rtf1 {\field{\fldinst HYPERLINK x}{\fldrslt shown}}})"), "shown");
  EXPECT_EQ(P(R"({\rtf1\headery720\footery720 {a\fonttbl b}c})"), "ac");  // only the group of the table goes
  // Binary data may hold braces and backslashes; a size beyond the end stops at the end.
  EXPECT_EQ(P(R"({\rtf1 a{\pict\bin3 }{\}b\bin999999999 xyz})"), "ab");
}

TEST(RichTextToPlainText, DamagedDocumentsGiveWhatIsRecoverable) {
  EXPECT_EQ(P(R"({\rtf1 Hello\par Wor)"), "Hello\r\nWor");
  for (const char* tail : {"\\pa", "\\'e", "\\", "{\\fonttbl x", "\\*", "\\bin5 ab"})
    EXPECT_EQ(P(std::string("{\\rtf1 Hi") + tail), "Hi") << tail;
  EXPECT_EQ(P(R"({\rtf1 a}}b}c)"), "abc");
  EXPECT_EQ(P(R"({\rtf1 a}\*\fonttbl b)"), "ab");  // outside every group nothing is a destination
  EXPECT_EQ(P(R"({\rtf1 {\b bold)"), "bold");
  EXPECT_EQ(P(""), "");

  EXPECT_EQ(P(Opening(256) + "x" + Closing(256)), "x");
  EXPECT_EQ(P(Opening(257) + "x" + Closing(257)), "");  // too deep: no text, but counted
  EXPECT_EQ(P("{\\rtf1 a" + Opening(100000) + "deep" + Closing(100000) + "b}"), "ab");
  EXPECT_EQ(P(Opening(100000) + "x"), "");

  EXPECT_EQ(P("{\\rtf1 a\\" + std::string(1000, 'x') + "12 b}"), "ab");
  EXPECT_EQ(P("{\\rtf1 a\\par" + std::string(997, 'd') + " b}"), "ab");  // not \par
}
