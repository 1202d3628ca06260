#include "tests/support/PeBuilder.h"

#include <stdexcept>

namespace {

void PutN(std::string& Bytes, std::size_t At, std::uint64_t Value, int Width, bool BigEndian = false) {
  if (At + static_cast<std::size_t>(Width) > Bytes.size()) Bytes.resize(At + static_cast<std::size_t>(Width), '\0');
  for (int i = 0; i < Width; ++i)
    Bytes[At + static_cast<std::size_t>(BigEndian ? Width - 1 - i : i)] = static_cast<char>((Value >> (8 * i)) & 0xFF);
}

void Align(std::string& Bytes, std::size_t To) {
  while (Bytes.size() % To) Bytes += '\0';
}

std::string Utf16(const std::string& Utf8) {
  std::string out;
  auto unit = [&](std::uint32_t u) {
    out += static_cast<char>(u & 0xFF);
    out += static_cast<char>(u >> 8);
  };
  for (std::size_t i = 0; i < Utf8.size();) {
    const auto c = static_cast<unsigned char>(Utf8[i]);
    int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    std::uint32_t cp = extra == 0 ? c : extra == 1 ? c & 0x1F : extra == 2 ? c & 0x0F : c & 0x07;
    if (i + static_cast<std::size_t>(extra) >= Utf8.size() && extra) throw std::invalid_argument("bad UTF-8");
    for (int k = 1; k <= extra; ++k)
      cp = cp << 6 | (static_cast<unsigned char>(Utf8[i + static_cast<std::size_t>(k)]) & 0x3F);
    i += 1 + static_cast<std::size_t>(extra);
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

// A node of the block: header, zero-terminated key, value, children.
struct TNode {
  std::string Key;
  std::uint16_t Type = 0;
  std::string Value;
  std::size_t ValueLength = 0;
  std::vector<TNode> Children;

  std::string Bytes() const {
    std::string out(6, '\0');
    out += Utf16(Key);
    out += std::string(2, '\0');
    Align(out, 4);
    out += Value;
    for (const TNode& c : Children) {
      Align(out, 4);
      out += c.Bytes();
    }
    PutN(out, 0, out.size(), 2);
    PutN(out, 2, ValueLength, 2);
    PutN(out, 4, Type, 2);
    return out;
  }
};

std::uint32_t Pack(std::uint16_t High, std::uint16_t Low) {
  return std::uint32_t{High} << 16 | Low;
}

}  // namespace

TVersionSpec& TVersionSpec::SetFileVersion(std::uint16_t Major, std::uint16_t Minor, std::uint16_t Release,
                                           std::uint16_t Build) {
  FileVersionMS = Pack(Major, Minor);
  FileVersionLS = Pack(Release, Build);
  return *this;
}

TVersionSpec& TVersionSpec::SetProductVersion(std::uint16_t Major, std::uint16_t Minor, std::uint16_t Release,
                                              std::uint16_t Build) {
  ProductVersionMS = Pack(Major, Minor);
  ProductVersionLS = Pack(Release, Build);
  return *this;
}

std::string BuildVersionBlock(const TVersionSpec& Spec) {
  TNode root{"VS_VERSION_INFO", 0, {}, 52, {}};
  const std::uint32_t fixed[13] = {Spec.Signature,
                                   0x00010000,
                                   Spec.FileVersionMS,
                                   Spec.FileVersionLS,
                                   Spec.ProductVersionMS,
                                   Spec.ProductVersionLS,
                                   0x3F,
                                   0,
                                   Spec.FileOS,
                                   Spec.FileType,
                                   Spec.FileSubtype,
                                   0,
                                   0};
  for (const std::uint32_t v : fixed) PutN(root.Value, root.Value.size(), v, 4);
  if (!Spec.Tables.empty()) {
    TNode info{"StringFileInfo", 1, {}, 0, {}};
    for (const TStringTable& t : Spec.Tables) {
      TNode table{t.Name, 1, {}, 0, {}};
      for (const TVersionText& text : t.Texts) {
        const std::string value = Utf16(text.Value) + std::string(2, '\0');
        table.Children.push_back(
            TNode{text.Key, 1, value, Spec.TextLengthInBytes ? value.size() : value.size() / 2, {}});
      }
      info.Children.push_back(table);
    }
    root.Children.push_back(info);
  }
  if (!Spec.Translations.empty()) {
    TNode var{"Translation", 0, {}, 4 * Spec.Translations.size(), {}};
    for (const std::uint32_t t : Spec.Translations) PutN(var.Value, var.Value.size(), t, 4);
    root.Children.push_back(TNode{"VarFileInfo", 1, {}, 0, {var}});
  }
  return root.Bytes();
}

void Put16(std::string& Bytes, std::size_t At, std::uint32_t Value) {
  PutN(Bytes, At, Value, 2);
}
void Put32(std::string& Bytes, std::size_t At, std::uint32_t Value) {
  PutN(Bytes, At, Value, 4);
}

TPeFile BuildPe(const TPeOptions& Options) {
  constexpr std::uint32_t fileAlign = 0x200, textRva = 0x1000, rsrcRva = 0x2000;
  constexpr std::uint32_t high = 0x80000000u;
  TPeFile f;
  std::string& b = f.Bytes;

  // The resource section, built first (its size goes into the headers).
  std::string r;
  auto directory = [&](std::uint16_t Named, std::uint16_t Ids) {
    const std::size_t at = r.size();
    r.resize(at + 16, '\0');
    PutN(r, at + 12, Named, 2);
    PutN(r, at + 14, Ids, 2);
    return at;
  };
  auto entry = [&](std::uint32_t Name, std::uint32_t Target) {
    PutN(r, r.size(), Name, 4);
    PutN(r, r.size(), Target, 4);
  };
  // Root: one named type, the icon type (3) and the version type (16), ids ascending.
  directory(1, Options.WithVersion ? 2 : 1);
  const std::size_t namedEntry = r.size();
  entry(0, 0);
  const std::size_t iconEntry = r.size();
  entry(3, 0);
  const std::size_t versionEntry = r.size();
  if (Options.WithVersion) entry(16, 0);
  const std::size_t iconNames = directory(0, 1);
  const std::size_t iconNameEntry = r.size();
  entry(1, 0);
  const std::size_t iconLangs = directory(0, 1);
  const std::size_t iconLangEntry = r.size();
  entry(0x0409, 0);
  std::size_t versionNames = 0, versionNameEntry = 0, versionLangs = 0, versionLangEntry = 0;
  if (Options.WithVersion) {
    versionNames = directory(0, 1);
    versionNameEntry = r.size();
    entry(1, 0);
    versionLangs = directory(0, 1);
    versionLangEntry = r.size();
    entry(Options.Language, 0);
  }
  const std::size_t typeName = r.size();
  PutN(r, r.size(), 4, 2);
  r += Utf16("TYPE");
  Align(r, 4);
  const std::size_t iconData = r.size();
  r.resize(iconData + 16, '\0');
  std::size_t versionData = 0;
  if (Options.WithVersion) {
    versionData = r.size();
    r.resize(versionData + 16, '\0');
  }
  const std::size_t icon = r.size();
  r += std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
  std::size_t block = 0;
  if (Options.WithVersion) {
    Align(r, 8);
    block = r.size();
    r += Options.VersionBlock;
  }
  // Link the tree.
  PutN(r, namedEntry, high | typeName, 4);
  PutN(r, namedEntry + 4, high | iconNames, 4);
  PutN(r, iconEntry + 4, high | iconNames, 4);
  PutN(r, iconNameEntry + 4, high | iconLangs, 4);
  PutN(r, iconLangEntry + 4, iconData, 4);
  PutN(r, iconData, rsrcRva + icon, 4);
  PutN(r, iconData + 4, 8, 4);
  if (Options.WithVersion) {
    PutN(r, versionEntry + 4, high | versionNames, 4);
    PutN(r, versionNameEntry + 4, high | versionLangs, 4);
    PutN(r, versionLangEntry + 4, versionData, 4);
    PutN(r, versionData, rsrcRva + block, 4);
    PutN(r, versionData + 4, Options.VersionBlock.size(), 4);
    PutN(r, versionData + 8, 1252, 4);
  }
  const std::size_t rsrcSize = r.size();
  Align(r, fileAlign);

  // DOS header and the PE headers.
  b.assign(0x80, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  PutN(b, 0x3C, 0x80, 4);
  f.PeHeader = 0x80;
  b += std::string("PE\0\0", 4);
  const std::size_t coff = b.size();
  const std::uint16_t optionalSize = Options.Pe32Plus ? 240 : 224;
  PutN(b, coff, Options.Pe32Plus ? 0x8664 : 0x14C, 2);
  PutN(b, coff + 2, 2, 2);  // sections
  PutN(b, coff + 16, optionalSize, 2);
  PutN(b, coff + 18, Options.Pe32Plus ? 0x0022 : 0x0102, 2);
  const std::size_t opt = f.OptionalHeader = coff + 20;
  b.resize(opt + optionalSize, '\0');
  PutN(b, opt, Options.Pe32Plus ? 0x20B : 0x10B, 2);
  PutN(b, opt + 4, fileAlign, 4);  // size of code
  PutN(b, opt + 16, textRva, 4);   // entry point
  PutN(b, opt + 20, textRva, 4);   // base of code
  if (Options.Pe32Plus)
    PutN(b, opt + 24, 0x140000000ull, 8);
  else
    PutN(b, opt + 28, 0x400000, 4);
  PutN(b, opt + 32, 0x1000, 4);  // section alignment
  PutN(b, opt + 36, fileAlign, 4);
  PutN(b, opt + 40, 6, 2);                                                     // OS version 6.0
  PutN(b, opt + 48, 6, 2);                                                     // subsystem version 6.0
  PutN(b, opt + 56, rsrcRva + ((rsrcSize + 0xFFF) & ~std::size_t{0xFFF}), 4);  // size of image
  PutN(b, opt + 60, 0x200, 4);                                                 // size of headers
  PutN(b, opt + 68, 2, 2);                                                     // GUI subsystem
  const std::size_t dirs = f.DataDirectories = opt + (Options.Pe32Plus ? 112 : 96);
  PutN(b, opt + (Options.Pe32Plus ? 108 : 92), 16, 4);
  PutN(b, dirs + 2 * 8, rsrcRva, 4);
  PutN(b, dirs + 2 * 8 + 4, rsrcSize, 4);

  f.SectionTable = b.size();
  auto section = [&](const char* Name, std::uint32_t VirtualSize, std::uint32_t Rva, std::uint32_t RawSize,
                     std::uint32_t RawPointer, std::uint32_t Flags) {
    const std::size_t at = b.size();
    b.resize(at + 40, '\0');
    for (std::size_t i = 0; Name[i] && i < 8; ++i) b[at + i] = Name[i];
    PutN(b, at + 8, VirtualSize, 4);
    PutN(b, at + 12, Rva, 4);
    PutN(b, at + 16, RawSize, 4);
    PutN(b, at + 20, RawPointer, 4);
    PutN(b, at + 36, Flags, 4);
  };
  section(".text", 1, textRva, fileAlign, 0x200, 0x60000020);
  section(".rsrc", static_cast<std::uint32_t>(rsrcSize), rsrcRva, static_cast<std::uint32_t>(r.size()), 0x400,
          0x40000040);
  b.resize(0x200, '\0');
  b += '\xC3';  // ret
  b.resize(0x400, '\0');
  f.Resources = b.size();
  b += r;
  f.VersionNameDir = Options.WithVersion ? f.Resources + versionNames : 0;
  f.VersionLangDir = Options.WithVersion ? f.Resources + versionLangs : 0;
  f.VersionData = Options.WithVersion ? f.Resources + versionData : 0;
  f.Block = Options.WithVersion ? f.Resources + block : 0;
  return f;
}

TElfFile BuildElf(bool Elf64, const std::string& VersionBlock, bool BigEndian) {
  TElfFile f;
  std::string& b = f.Bytes;
  auto put = [&](std::size_t At, std::uint64_t Value, int Width) { PutN(b, At, Value, Width, BigEndian); };
  const bool withVersion = !VersionBlock.empty();
  const std::size_t headerSize = Elf64 ? 64 : 52;
  b.assign(headerSize, '\0');
  b[0] = '\x7F';
  b[1] = 'E';
  b[2] = 'L';
  b[3] = 'F';
  b[4] = Elf64 ? 2 : 1;
  b[5] = BigEndian ? 2 : 1;
  b[6] = 1;
  put(16, 2, 2);               // executable
  put(18, Elf64 ? 62 : 3, 2);  // x86-64 / i386
  put(20, 1, 4);

  // Contents: .text, .vek_version, .shstrtab.
  Align(b, 16);
  const std::size_t text = b.size();
  b += std::string("\x90\x90\x90\xC3", 4);
  std::size_t block = 0;
  if (withVersion) {
    Align(b, 4);
    block = b.size();
    b += VersionBlock;
  }
  const std::string names = std::string("\0.text\0.vek_version\0.shstrtab\0", 31);
  const std::size_t strtab = b.size();
  b += names;
  Align(b, 8);

  const std::size_t entrySize = Elf64 ? 64 : 40;
  const std::size_t table = b.size();
  const std::size_t count = withVersion ? 4 : 3;
  b.resize(table + count * entrySize, '\0');
  auto header = [&](std::size_t Index, std::uint32_t Name, std::uint32_t Type, std::uint64_t Flags,
                    std::uint64_t Offset, std::uint64_t Size) {
    const std::size_t h = table + Index * entrySize;
    put(h, Name, 4);
    put(h + 4, Type, 4);
    if (Elf64) {
      put(h + 8, Flags, 8);
      put(h + 16, 0x400000 + Offset, 8);
      put(h + 24, Offset, 8);
      put(h + 32, Size, 8);
      put(h + 48, 1, 8);
    } else {
      put(h + 8, Flags, 4);
      put(h + 12, 0x8048000 + Offset, 4);
      put(h + 16, Offset, 4);
      put(h + 20, Size, 4);
      put(h + 32, 1, 4);
    }
    return h;
  };
  header(1, 1, 1, 6, text, 4);                                                        // .text: PROGBITS, alloc + exec
  if (withVersion) f.VersionHeader = header(2, 7, 1, 2, block, VersionBlock.size());  // PROGBITS, alloc
  header(count - 1, 20, 3, 0, strtab, names.size());                                  // .shstrtab: STRTAB

  if (Elf64) {
    put(40, table, 8);
    put(52, 64, 2);
    put(58, entrySize, 2);
    put(60, count, 2);
    put(62, count - 1, 2);
  } else {
    put(32, table, 4);
    put(40, 52, 2);
    put(46, entrySize, 2);
    put(48, count, 2);
    put(50, count - 1, 2);
  }
  f.SectionHeaders = table;
  f.EntrySize = entrySize;
  f.Block = block;
  return f;
}
