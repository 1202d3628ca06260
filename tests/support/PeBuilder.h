#pragma once
// Builds small executables byte by byte for the version block tests: a
// version block with a chosen fixed part and string tables, a Windows
// executable (PE32 or PE32+) carrying it as its version resource, and an ELF
// file (32 or 64 bit) carrying it in the section ".vek_version".
//
// The files are complete enough for a reader of their headers: DOS header,
// PE signature, file and optional header with 16 data directories, a .text
// and a .rsrc section (file alignment 0x200); the resource tree holds a named
// type, an icon and, when asked, the version resource (type 16, name 1, one
// language). Every result also reports where its parts lie, so a test can
// damage exactly one of them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TVersionText {
  std::string Key, Value;  // Value in UTF-8
};

struct TStringTable {
  std::string Name;  // language and code page, e.g. "040904E4"
  std::vector<TVersionText> Texts;
};

struct TVersionSpec {
  std::uint32_t Signature = 0xFEEF04BD;
  std::uint32_t FileVersionMS = 0x00010000, FileVersionLS = 0;
  std::uint32_t ProductVersionMS = 0x00010000, ProductVersionLS = 0;
  std::uint32_t FileOS = 0x4, FileType = 1, FileSubtype = 0;
  std::vector<TStringTable> Tables;
  std::vector<std::uint32_t> Translations;  // language | code page << 16
  // A text value's length in bytes instead of UTF-16 units, as some
  // resource compilers write it.
  bool TextLengthInBytes = false;

  TVersionSpec& SetFileVersion(std::uint16_t Major, std::uint16_t Minor, std::uint16_t Release, std::uint16_t Build);
  TVersionSpec& SetProductVersion(std::uint16_t Major, std::uint16_t Minor, std::uint16_t Release, std::uint16_t Build);
};

// The block: VS_VERSION_INFO with the fixed part, a StringFileInfo with the
// tables (none when Tables is empty) and a VarFileInfo with the translations
// (none when Translations is empty).
std::string BuildVersionBlock(const TVersionSpec& Spec);

struct TPeOptions {
  bool Pe32Plus = false;
  bool WithVersion = true;   // false: only the icon and the named type
  std::string VersionBlock;  // the version resource's data
  std::uint16_t Language = 0x0409;
};

struct TPeFile {
  std::string Bytes;
  std::size_t PeHeader = 0;         // "PE\0\0"
  std::size_t OptionalHeader = 0;   // its magic
  std::size_t DataDirectories = 0;  // entry 0 of the data directories
  std::size_t SectionTable = 0;     // the first of two 40-byte section headers (.text, .rsrc)
  std::size_t Resources = 0;        // the root directory of the resource tree
  std::size_t VersionNameDir = 0;   // the version's name directory (0 without version)
  std::size_t VersionLangDir = 0;   // its language directory
  std::size_t VersionData = 0;      // its data entry
  std::size_t Block = 0;            // the version block itself
};

TPeFile BuildPe(const TPeOptions& Options);

struct TElfFile {
  std::string Bytes;
  std::size_t SectionHeaders = 0;  // e_shoff
  std::size_t EntrySize = 0;       // 40 or 64
  std::size_t VersionHeader = 0;   // the .vek_version section header (0 without)
  std::size_t Block = 0;           // the version block itself (0 without)
};

// An ELF executable; without VersionBlock it has no .vek_version section.
TElfFile BuildElf(bool Elf64, const std::string& VersionBlock, bool BigEndian = false);

// Little-endian stores into a built file, for damaging it.
void Put16(std::string& Bytes, std::size_t At, std::uint32_t Value);
void Put32(std::string& Bytes, std::size_t At, std::uint32_t Value);
