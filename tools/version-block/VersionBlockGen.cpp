// Writes a C++ source holding a version block (the format Windows programs
// carry as their version resource) in the ELF section ".vek_version", so the
// program it is linked into carries its version the way the diagnostics
// library reads it.
//
//   VersionBlockGen OUTPUT FILEVERSION PRODUCTVERSION FILEOS FILETYPE TABLE [KEY=VALUE...]
//
// FILEVERSION, PRODUCTVERSION: up to four numbers 0..65535 separated by "."
//   (missing ones are 0), e.g. 1.0.0.0.
// FILEOS, FILETYPE: numbers (decimal or 0x hexadecimal), e.g. 0x4 and 1.
// TABLE: the string table's language and code page, eight hexadecimal
//   digits, e.g. 040C04E4; the block's translation list names the same pair.
// KEY=VALUE: the strings of that table, in order; values are UTF-8.
//
// Exit code 0 on success, 2 on a bad argument, 1 when the output cannot be
// written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& Text) {
  std::fprintf(stderr, "VersionBlockGen: %s\n", Text.c_str());
  std::exit(2);
}

std::uint32_t ParseNumber(const std::string& Text, std::uint32_t Max, const char* What) {
  if (Text.empty()) Fail(std::string("empty ") + What);
  char* end = nullptr;
  const unsigned long long value = std::strtoull(Text.c_str(), &end, 0);
  if (*end != '\0' || Text[0] == '-' || value > Max) Fail(std::string("bad ") + What + ": " + Text);
  return static_cast<std::uint32_t>(value);
}

// "a.b.c.d" as the fixed part's most and least significant words.
void ParseVersion(const std::string& Text, std::uint32_t& MS, std::uint32_t& LS) {
  std::uint32_t parts[4] = {0, 0, 0, 0};
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t dot = Text.find('.', start);
    parts[i] = ParseNumber(Text.substr(start, dot - start), 0xFFFF, "version number");
    if (dot == std::string::npos) break;
    if (i == 3) Fail("more than four version numbers: " + Text);
    start = dot + 1;
  }
  MS = parts[0] << 16 | parts[1];
  LS = parts[2] << 16 | parts[3];
}

std::u16string Utf8ToUtf16(const std::string& Text) {
  std::u16string out;
  for (std::size_t i = 0; i < Text.size();) {
    const auto c = static_cast<unsigned char>(Text[i]);
    std::uint32_t cp = 0;
    int extra = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07;
      extra = 3;
    } else {
      Fail("text is not UTF-8: " + Text);
    }
    if (extra > 0 && i + static_cast<std::size_t>(extra) >= Text.size()) Fail("text is not UTF-8: " + Text);
    for (int k = 1; k <= extra; ++k) {
      const auto n = static_cast<unsigned char>(Text[i + static_cast<std::size_t>(k)]);
      if ((n & 0xC0) != 0x80) Fail("text is not UTF-8: " + Text);
      cp = cp << 6 | (n & 0x3F);
    }
    i += 1 + static_cast<std::size_t>(extra);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

// One node of the block: header, key, value, children, each value and child
// starting on a 32-bit boundary of the block.
class TNode {
 public:
  TNode(const std::string& Key, std::uint16_t Type) : FKey(Utf8ToUtf16(Key)), FType(Type) {}

  void SetBinary(const std::string& Bytes) {
    FValue = Bytes;
    FValueLength = Bytes.size();
  }
  void SetText(const std::string& Text) {
    const std::u16string units = Utf8ToUtf16(Text) + u'\0';
    FValue.clear();
    for (const char16_t u : units) {
      FValue += static_cast<char>(u & 0xFF);
      FValue += static_cast<char>(u >> 8);
    }
    FValueLength = units.size();  // a text's length counts its units
  }
  TNode& Add(TNode Child) {
    FChildren.push_back(std::move(Child));
    return FChildren.back();
  }

  // Written at a 32-bit aligned offset of the block.
  std::string Bytes() const {
    std::string out(6, '\0');
    for (const char16_t u : FKey + u'\0') {
      out += static_cast<char>(u & 0xFF);
      out += static_cast<char>(u >> 8);
    }
    Pad(out);
    out += FValue;
    for (const TNode& child : FChildren) {
      Pad(out);
      out += child.Bytes();
    }
    if (out.size() > 0xFFFF || FValueLength > 0xFFFF) Fail("version block too large");
    Put16(out, 0, out.size());
    Put16(out, 2, FValueLength);
    Put16(out, 4, FType);
    return out;
  }

 private:
  static void Pad(std::string& Out) {
    while (Out.size() % 4) Out += '\0';
  }
  static void Put16(std::string& Out, std::size_t At, std::size_t Value) {
    Out[At] = static_cast<char>(Value & 0xFF);
    Out[At + 1] = static_cast<char>((Value >> 8) & 0xFF);
  }

  std::u16string FKey;
  std::uint16_t FType;
  std::string FValue;
  std::size_t FValueLength = 0;
  std::vector<TNode> FChildren;
};

std::string Le32(std::uint32_t Value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((Value >> (8 * i)) & 0xFF);
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) Fail("usage: VersionBlockGen OUTPUT FILEVERSION PRODUCTVERSION FILEOS FILETYPE TABLE [KEY=VALUE...]");
  const std::string output = argv[1];
  std::uint32_t fileMS = 0, fileLS = 0, productMS = 0, productLS = 0;
  ParseVersion(argv[2], fileMS, fileLS);
  ParseVersion(argv[3], productMS, productLS);
  const std::uint32_t fileOS = ParseNumber(argv[4], 0xFFFFFFFF, "file OS");
  const std::uint32_t fileType = ParseNumber(argv[5], 0xFFFFFFFF, "file type");
  const std::string table = argv[6];
  if (table.size() != 8 || table.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
    Fail("bad string table name: " + table);
  const std::uint32_t language = ParseNumber("0x" + table.substr(0, 4), 0xFFFF, "language");
  const std::uint32_t codePage = ParseNumber("0x" + table.substr(4), 0xFFFF, "code page");

  TNode root("VS_VERSION_INFO", 0);
  const std::uint32_t fixed[13] = {
      0xFEEF04BD, 0x00010000,                                 // signature, structure version 1.0
      fileMS,     fileLS,     productMS, productLS, 0x3F, 0,  // flags mask, flags
      fileOS,     fileType,   0,                              // subtype
      0,          0,                                          // date
  };
  std::string fixedBytes;
  for (const std::uint32_t v : fixed) fixedBytes += Le32(v);
  root.SetBinary(fixedBytes);

  TNode& strings = root.Add(TNode("StringFileInfo", 1)).Add(TNode(table, 1));
  for (int i = 7; i < argc; ++i) {
    const std::string pair = argv[i];
    const std::size_t eq = pair.find('=');
    if (eq == std::string::npos || eq == 0) Fail("expected KEY=VALUE: " + pair);
    TNode text(pair.substr(0, eq), 1);
    text.SetText(pair.substr(eq + 1));
    strings.Add(std::move(text));
  }
  TNode var("Translation", 0);
  var.SetBinary(Le32(codePage << 16 | language));
  root.Add(TNode("VarFileInfo", 1)).Add(std::move(var));

  const std::string block = root.Bytes();
  std::string source =
      "// Generated by VersionBlockGen at build time; do not edit.\n"
      "// The executable's version block, read back by the diagnostics library\n"
      "// from the section \".vek_version\".\n\n"
      "extern const unsigned char BrevantVersionBlock[];\n"
      "[[gnu::section(\".vek_version\"), gnu::used, gnu::retain, gnu::aligned(4)]]\n"
      "const unsigned char BrevantVersionBlock[" +
      std::to_string(block.size()) + "] = {";
  for (std::size_t i = 0; i < block.size(); ++i) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02X,", static_cast<unsigned char>(block[i]));
    source += (i % 12 == 0 ? "\n  " : " ");
    source += hex;
  }
  source += "\n};\n";

  // Written only when it changed, so a rerun does not relink the program.
  {
    std::ifstream in(output, std::ios::binary);
    const std::string old((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in && old == source) return 0;
  }
  std::ofstream out(output, std::ios::binary | std::ios::trunc);
  out << source;
  out.close();
  if (!out) {
    std::fprintf(stderr, "VersionBlockGen: cannot write %s\n", output.c_str());
    return 1;
  }
  return 0;
}
