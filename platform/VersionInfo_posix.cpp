// Version blocks on POSIX: there are no version calls in the system, so the
// block is read straight out of the file (a PE resource or an ELF section)
// and queried here. Every number taken from the file is checked before it is
// used as an offset, a length or a count.
#include "platform/VersionInfo.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/TextUtil.h"
#include "base/Utf8.h"
#include "platform/ByteSource.h"

namespace {

// Little- or big-endian numbers out of a source.
class TReader {
 public:
  explicit TReader(const TByteSource& source, bool bigEndian = false) : FSource(&source), FBigEndian(bigEndian) {}

  const TByteSource& Source() const { return *FSource; }

  bool U16(std::uint64_t offset, std::uint32_t& value) const { return Number(offset, 2, value); }
  bool U32(std::uint64_t offset, std::uint32_t& value) const { return Number(offset, 4, value); }
  bool U64(std::uint64_t offset, std::uint64_t& value) const {
    unsigned char b[8];
    if (!FSource->Read(offset, 8, b)) return false;
    value = 0;
    for (int i = 0; i < 8; ++i) value |= std::uint64_t{b[FBigEndian ? 7 - i : i]} << (8 * i);
    return true;
  }

 private:
  bool Number(std::uint64_t offset, int width, std::uint32_t& value) const {
    unsigned char b[4];
    if (!FSource->Read(offset, static_cast<std::size_t>(width), b)) return false;
    value = 0;
    for (int i = 0; i < width; ++i) value |= std::uint32_t{b[FBigEndian ? width - 1 - i : i]} << (8 * i);
    return true;
  }

  const TByteSource* FSource;
  bool FBigEndian;
};

constexpr std::size_t NodeHeaderSize = 6;  // wLength, wValueLength, wType

// Reads the block that starts at `offset` and may take up to `available`
// bytes: its root's own length decides how much is taken.
bool ReadBlockAt(const TByteSource& source, std::uint64_t offset, std::uint64_t available, std::string& block) {
  std::uint32_t length = 0;
  if (available < NodeHeaderSize || !TReader(source).U16(offset, length)) return false;
  if (length < NodeHeaderSize || length > available) return false;
  block.resize(length);
  if (!source.Read(offset, length, block.data())) {
    block.clear();
    return false;
  }
  return true;
}

// --- PE (Windows executables and libraries) --------------------------------

constexpr std::uint32_t RtVersion = 16;
constexpr std::uint32_t HighBit = 0x80000000u;

class TPeImage {
 public:
  explicit TPeImage(const TReader& reader) : R(reader) {}

  bool FindVersionBlock(std::string& block) {
    std::uint32_t mz = 0, lfanew = 0, signature = 0;
    if (!R.U16(0, mz) || mz != 0x5A4D || !R.U32(0x3C, lfanew)) return false;
    if (!R.U32(lfanew, signature) || signature != 0x00004550) return false;
    const std::uint64_t coff = std::uint64_t{lfanew} + 4;
    std::uint32_t optionalSize = 0;
    if (!R.U16(coff + 2, FSectionCount) || !R.U16(coff + 16, optionalSize)) return false;
    const std::uint64_t optional = coff + 20;
    FSectionTable = optional + optionalSize;

    std::uint32_t magic = 0, dirCount = 0;
    std::uint64_t directories = 0;
    if (!R.U16(optional, magic)) return false;
    if (magic == 0x10B) {  // PE32
      directories = 96;
      if (!R.U32(optional + 92, dirCount)) return false;
    } else if (magic == 0x20B) {  // PE32+
      directories = 112;
      if (!R.U32(optional + 108, dirCount)) return false;
    } else {
      return false;
    }
    // Data directory 2 (resources) must be both counted and inside the optional header.
    constexpr std::uint64_t resourceEntry = 2 * 8;
    if (dirCount < 3 || directories + resourceEntry + 8 > optionalSize) return false;
    std::uint32_t rsrcRva = 0, rsrcSize = 0;
    if (!R.U32(optional + directories + resourceEntry, rsrcRva) ||
        !R.U32(optional + directories + resourceEntry + 4, rsrcSize))
      return false;
    if (rsrcRva == 0 || rsrcSize == 0) return false;

    // The resource tree: offsets inside it are relative to its start and
    // must stay inside the part of the section the file holds from there on.
    if (!MapRva(rsrcRva, 0, FRsrcOffset, &FRsrcAvailable)) return false;

    std::uint32_t entry = 0;
    if (!FindEntry(0, true, RtVersion, entry) || !(entry & HighBit)) return false;          // type
    if (!FindEntry(entry & ~HighBit, false, 0, entry) || !(entry & HighBit)) return false;  // first name
    if (!FindEntry(entry & ~HighBit, false, 0, entry) || (entry & HighBit)) return false;   // first language

    // The data entry: the data's address (an RVA, not a tree offset) and size.
    std::uint32_t dataRva = 0, dataSize = 0;
    if (!TreeU32(entry, dataRva) || !TreeU32(std::uint64_t{entry} + 4, dataSize)) return false;
    std::uint64_t dataOffset = 0, available = 0;
    if (dataSize < NodeHeaderSize || !MapRva(dataRva, NodeHeaderSize, dataOffset, &available)) return false;
    return ReadBlockAt(R.Source(), dataOffset, std::min<std::uint64_t>(dataSize, available), block);
  }

 private:
  // A number inside the resource tree.
  bool TreeU32(std::uint64_t offset, std::uint32_t& value) const {
    if (offset > FRsrcAvailable || FRsrcAvailable - offset < 4) return false;
    return R.U32(FRsrcOffset + offset, value);
  }
  bool TreeU16(std::uint64_t offset, std::uint32_t& value) const {
    if (offset > FRsrcAvailable || FRsrcAvailable - offset < 2) return false;
    return R.U16(FRsrcOffset + offset, value);
  }

  // Looks in the resource directory at tree offset `directory` for the entry
  // with the numeric id `id` (byId), or takes its first entry, and gives that
  // entry's OffsetToData. Only three fixed levels are ever walked, so a
  // directory that points back at itself or its parents cannot loop.
  bool FindEntry(std::uint64_t directory, bool byId, std::uint32_t id, std::uint32_t& target) const {
    std::uint32_t named = 0, ids = 0;
    if (!TreeU16(directory + 12, named) || !TreeU16(directory + 14, ids)) return false;
    const std::uint32_t count = named + ids;  // at most 131070 entries
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint64_t entry = directory + 16 + std::uint64_t{i} * 8;
      std::uint32_t name = 0;
      if (!TreeU32(entry, name) || !TreeU32(entry + 4, target)) return false;
      if (!byId) return true;
      if (!(name & HighBit) && name == id) return true;
    }
    return false;
  }

  // The file offset of `size` bytes at `rva`, when one section's raw data in
  // the file holds them all. `available` (optional) receives how many bytes
  // of that section's raw data follow the address.
  bool MapRva(std::uint32_t rva, std::uint32_t size, std::uint64_t& offset, std::uint64_t* available) const {
    for (std::uint32_t i = 0; i < FSectionCount; ++i) {
      const std::uint64_t header = FSectionTable + std::uint64_t{i} * 40;
      std::uint32_t va = 0, rawSize = 0, rawPointer = 0;
      if (!R.U32(header + 12, va) || !R.U32(header + 16, rawSize) || !R.U32(header + 20, rawPointer)) return false;
      if (rva < va || std::uint64_t{rva} - va >= rawSize) continue;
      const std::uint64_t delta = std::uint64_t{rva} - va;
      std::uint64_t room = rawSize - delta;
      const std::uint64_t start = std::uint64_t{rawPointer} + delta;
      const std::uint64_t fileSize = R.Source().Size();
      if (start >= fileSize) return false;
      room = std::min(room, fileSize - start);
      if (size > room) return false;
      offset = start;
      if (available) *available = room;
      return true;
    }
    return false;
  }

  const TReader& R;
  std::uint32_t FSectionCount = 0;
  std::uint64_t FSectionTable = 0;
  std::uint64_t FRsrcOffset = 0;
  std::uint64_t FRsrcAvailable = 0;
};

// --- ELF (our own executables) ----------------------------------------------

constexpr char VersionSectionName[] = ".vek_version";
constexpr std::uint32_t ShtNoBits = 8;
constexpr std::uint32_t ShnXIndex = 0xFFFF;
// More section headers than this are not looked at (real files have a few
// dozen; the limit only bounds the work a hostile count can cause).
constexpr std::uint64_t MaxElfSections = 1u << 20;

struct TElfSection {
  std::uint32_t Name = 0, Type = 0, Link = 0;
  std::uint64_t Offset = 0, Size = 0;
};

class TElfImage {
 public:
  explicit TElfImage(const TByteSource& source) : FSource(source), R(source) {}

  bool FindVersionBlock(std::string& block) {
    unsigned char ident[16];
    if (!FSource.Read(0, sizeof ident, ident) || std::memcmp(ident,
                                                             "\x7F"
                                                             "ELF",
                                                             4) != 0)
      return false;
    if (ident[4] != 1 && ident[4] != 2) return false;  // ELFCLASS32 / ELFCLASS64
    if (ident[5] != 1 && ident[5] != 2) return false;  // little / big endian
    F64 = ident[4] == 2;
    R = TReader(FSource, ident[5] == 2);

    std::uint32_t entrySize = 0, count16 = 0, names = 0;
    if (F64) {
      if (!R.U64(0x28, FTable) || !R.U16(0x3A, entrySize) || !R.U16(0x3C, count16) || !R.U16(0x3E, names)) return false;
    } else {
      std::uint32_t table = 0;
      if (!R.U32(0x20, table) || !R.U16(0x2E, entrySize) || !R.U16(0x30, count16) || !R.U16(0x32, names)) return false;
      FTable = table;
    }
    FEntrySize = entrySize;
    if (FTable == 0 || FEntrySize < (F64 ? 64u : 40u)) return false;

    // Extended numbering: a count of 0 or a name index of SHN_XINDEX means
    // the real value sits in section header 0.
    std::uint64_t count = count16;
    TElfSection first;
    if (!Section(0, first)) return false;
    if (count == 0) count = first.Size;
    if (names == ShnXIndex) names = first.Link;
    // The whole table must be in the file.
    const std::uint64_t size = FSource.Size();
    if (FTable > size || count > (size - FTable) / FEntrySize) return false;
    count = std::min(count, MaxElfSections);
    if (names == 0 || names >= count) return false;

    TElfSection strings;
    if (!Section(names, strings) || strings.Type == ShtNoBits) return false;
    for (std::uint64_t i = 1; i < count; ++i) {
      TElfSection s;
      if (!Section(i, s)) return false;
      if (!HasName(strings, s.Name)) continue;
      if (s.Type == ShtNoBits) return false;
      if (s.Offset > size) return false;
      return ReadBlockAt(FSource, s.Offset, std::min(s.Size, size - s.Offset), block);
    }
    return false;
  }

 private:
  bool Section(std::uint64_t index, TElfSection& s) const {
    const std::uint64_t size = FSource.Size();
    if (FTable > size || index >= (size - FTable) / FEntrySize) return false;
    const std::uint64_t h = FTable + index * FEntrySize;
    if (F64)
      return R.U32(h, s.Name) && R.U32(h + 4, s.Type) && R.U64(h + 24, s.Offset) && R.U64(h + 32, s.Size) &&
             R.U32(h + 40, s.Link);
    std::uint32_t offset = 0, length = 0;
    if (!(R.U32(h, s.Name) && R.U32(h + 4, s.Type) && R.U32(h + 16, offset) && R.U32(h + 20, length) &&
          R.U32(h + 24, s.Link)))
      return false;
    s.Offset = offset;
    s.Size = length;
    return true;
  }

  // True when the name table holds VersionSectionName, zero included, at `name`.
  bool HasName(const TElfSection& strings, std::uint32_t name) const {
    constexpr std::size_t length = sizeof VersionSectionName;  // with the zero
    if (name > strings.Size || strings.Size - name < length) return false;
    char text[length];
    return FSource.Read(strings.Offset + name, length, text) && std::memcmp(text, VersionSectionName, length) == 0;
  }

  const TByteSource& FSource;
  TReader R;
  bool F64 = false;
  std::uint64_t FTable = 0;
  std::uint64_t FEntrySize = 0;
};

bool FindVersionBlock(const TByteSource& source, std::string& block) {
  block.clear();
  unsigned char magic[4] = {};
  if (!source.Read(0, 2, magic)) return false;
  if (magic[0] == 'M' && magic[1] == 'Z') {
    const TReader reader(source);
    return TPeImage(reader).FindVersionBlock(block);
  }
  if (source.Read(0, 4, magic) && std::memcmp(magic,
                                              "\x7F"
                                              "ELF",
                                              4) == 0)
    return TElfImage(source).FindVersionBlock(block);
  return false;
}

// --- the block's node tree --------------------------------------------------

struct TNode {
  std::size_t End = 0;       // one past the node's last byte
  std::uint32_t Type = 0;    // 0 binary, 1 text
  std::size_t KeyStart = 0;  // first UTF-16 unit of the key
  std::size_t KeyUnits = 0;  // without the terminating zero
  std::size_t ValueStart = 0;
  std::size_t ValueBytes = 0;  // clamped to the node
  std::size_t Children = 0;    // where the first child would start
};

std::uint32_t BlockU16(std::string_view block, std::size_t offset) {
  return std::uint32_t{static_cast<unsigned char>(block[offset])} |
         std::uint32_t{static_cast<unsigned char>(block[offset + 1])} << 8;
}

constexpr std::size_t Align4(std::size_t offset) {
  return (offset + 3) & ~std::size_t{3};
}

// Reads the node at `start`, which must end by `limit` (its parent's end).
bool ParseNode(std::string_view block, std::size_t start, std::size_t limit, TNode& n) {
  if (limit > block.size() || start > limit || limit - start < NodeHeaderSize) return false;
  const std::size_t length = BlockU16(block, start);
  if (length < NodeHeaderSize || length > limit - start) return false;
  n.End = start + length;
  const std::size_t valueLength = BlockU16(block, start + 2);
  n.Type = BlockU16(block, start + 4);
  n.KeyStart = start + NodeHeaderSize;
  std::size_t p = n.KeyStart;
  for (;; p += 2) {
    if (n.End - p < 2) return false;  // the key has no terminating zero inside the node
    if (BlockU16(block, p) == 0) break;
  }
  n.KeyUnits = (p - n.KeyStart) / 2;
  n.ValueStart = std::min(Align4(p + 2), n.End);
  // A text's value length counts UTF-16 units, a binary value's counts bytes.
  // Files that count a text in bytes are common: the node's end bounds both.
  const std::size_t valueBytes = n.Type == 1 ? valueLength * 2 : valueLength;
  n.ValueBytes = std::min(valueBytes, n.End - n.ValueStart);
  n.Children = std::min(Align4(n.ValueStart + n.ValueBytes), n.End);
  return true;
}

// UTF-16LE `units` units at `start`, up to the first zero, as UTF-8.
std::string Utf16ToUtf8(std::string_view block, std::size_t start, std::size_t units) {
  std::string out;
  for (std::size_t i = 0; i < units; ++i) {
    const std::uint32_t u = BlockU16(block, start + 2 * i);
    if (u == 0) break;
    if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
      const std::uint32_t low = BlockU16(block, start + 2 * (i + 1));
      if (low >= 0xDC00 && low < 0xE000) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, u >= 0xD800 && u < 0xE000 ? 0xFFFD : u);
  }
  return out;
}

bool SameKey(std::string_view block, const TNode& n, std::string_view key) {
  return SameTextAscii(Utf16ToUtf8(block, n.KeyStart, n.KeyUnits), key);
}

// Walks the path of keys in `subBlock` down from the root. Each step goes
// into a node strictly inside the one before, and the children of a node
// are stepped through by their own lengths (at least a header each), so the
// walk ends within the block's size.
bool FindNode(std::string_view block, std::string_view subBlock, TNode& n) {
  if (!ParseNode(block, 0, block.size(), n)) return false;
  std::size_t pos = 0;
  while (pos < subBlock.size()) {
    const std::size_t next = std::min(subBlock.find('\\', pos), subBlock.size());
    const std::string_view key = subBlock.substr(pos, next - pos);
    pos = next + 1;
    if (key.empty()) continue;
    bool found = false;
    for (std::size_t child = n.Children; child < n.End;) {
      TNode c;
      if (!ParseNode(block, child, n.End, c)) return false;
      if (SameKey(block, c, key)) {
        n = c;
        found = true;
        break;
      }
      child = Align4(c.End);
    }
    if (!found) return false;
  }
  return true;
}

std::uint32_t BlockU32(std::string_view block, std::size_t offset) {
  return BlockU16(block, offset) | BlockU16(block, offset + 2) << 16;
}

}  // namespace

std::uint32_t GetFileVersionInfoSize(const std::string& fileName) {
  std::string block;
  return GetFileVersionInfo(fileName, block) ? static_cast<std::uint32_t>(block.size()) : 0;
}

bool GetFileVersionInfo(const std::string& fileName, std::string& block) {
  block.clear();
  const TFileSource source(fileName);
  return source.IsOpen() && FindVersionBlock(source, block);
}

bool ExtractVersionBlock(std::string_view image, std::string& block) {
  return FindVersionBlock(TMemorySource(image), block);
}

bool VerQueryValue(const std::string& block, const std::string& subBlock, TFixedFileInfo& fixed) {
  TNode root;
  if (!FindNode(block, "", root) || subBlock.find_first_not_of('\\') != std::string::npos) return false;
  if (root.ValueBytes < FixedFileInfoSize || BlockU32(block, root.ValueStart) != VS_FFI_SIGNATURE) return false;
  std::uint32_t* fields[] = {&fixed.dwSignature,     &fixed.dwStrucVersion,     &fixed.dwFileVersionMS,
                             &fixed.dwFileVersionLS, &fixed.dwProductVersionMS, &fixed.dwProductVersionLS,
                             &fixed.dwFileFlagsMask, &fixed.dwFileFlags,        &fixed.dwFileOS,
                             &fixed.dwFileType,      &fixed.dwFileSubtype,      &fixed.dwFileDateMS,
                             &fixed.dwFileDateLS};
  static_assert(sizeof fields / sizeof fields[0] * 4 == FixedFileInfoSize);
  for (std::size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i)
    *fields[i] = BlockU32(block, root.ValueStart + 4 * i);
  return true;
}

bool VerQueryValue(const std::string& block, const std::string& subBlock, std::string& value) {
  TNode n;
  if (!FindNode(block, subBlock, n)) return false;
  if (n.Type == 1)
    value = Utf16ToUtf8(block, n.ValueStart, n.ValueBytes / 2);
  else
    value.assign(block, n.ValueStart, n.ValueBytes);
  return true;
}
