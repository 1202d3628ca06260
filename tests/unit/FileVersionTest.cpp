#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "base/Exceptions.h"
#include "diag/U_VEK_FileVersion.h"
#include "platform/VersionInfo.h"
#include "tests/support/PeBuilder.h"
#include "tests/support/TempDir.h"

namespace {

enum class TFormat { Pe32, Pe32Plus, Elf32, Elf64, Elf64BigEndian };

std::string FormatName(const testing::TestParamInfo<TFormat>& Info) {
  const char* names[] = {"Pe32", "Pe32Plus", "Elf32", "Elf64", "Elf64BigEndian"};
  return names[static_cast<int>(Info.param)];
}

std::string BuildFile(TFormat Format, const std::string& Block) {
  switch (Format) {
    case TFormat::Pe32:
    case TFormat::Pe32Plus: {
      TPeOptions o;
      o.Pe32Plus = Format == TFormat::Pe32Plus;
      o.VersionBlock = Block;
      return BuildPe(o).Bytes;
    }
    case TFormat::Elf32:
      return BuildElf(false, Block).Bytes;
    case TFormat::Elf64:
      return BuildElf(true, Block).Bytes;
    case TFormat::Elf64BigEndian:
      return BuildElf(true, Block, true).Bytes;
  }
  return {};
}

std::string BuildPe32(const TVersionSpec& Spec) {
  TPeOptions o;
  o.VersionBlock = BuildVersionBlock(Spec);
  return BuildPe(o).Bytes;
}

// The ten texts in field order.
std::vector<std::string> Texts(const TVEKFileVersion& V) {
  return {V.Comments,        V.CompanyName,      V.FileDescription, V.InternalName, V.LegalCopyright,
          V.LegalTradeMarks, V.OriginalFileName, V.PrivateBuild,    V.ProductName,  V.SpecialBuild};
}

const std::vector<std::string> NoTexts(10);

TStringTable UsTable() {
  return {"040904E4",
          {{"Comments", "Built for the tests"},
           {"CompanyName", "Quellmark"},
           {"FileDescription", "Éditeur de mises à jour"},  // not ASCII: UTF-16 to UTF-8
           {"InternalName", "tool"},
           {"LegalCopyright", "© 2001 Quellmark"},
           {"LegalTradeMarks", "Quellmark™"},
           {"OriginalFileName", "tool.exe"},
           {"PrivateBuild", "private 7"},
           {"ProductName", "Tool 𝄞 Suite"},  // outside the BMP: a surrogate pair
           {"SpecialBuild", "special 9"}}};
}

const std::vector<std::string> UsTexts = {"Built for the tests",
                                          "Quellmark",
                                          "Éditeur de mises à jour",
                                          "tool",
                                          "© 2001 Quellmark",
                                          "Quellmark™",
                                          "tool.exe",
                                          "private 7",
                                          "Tool 𝄞 Suite",
                                          "special 9"};

template <class F>
std::string MessageOf(F&& Call) {
  try {
    Call();
  } catch (const EInOutError& e) {
    return e.Message();
  }
  return "(no EInOutError)";
}

}  // namespace

// --- the program's own executable ---------------------------------------

TEST(OwnExecutable, ReadsAsVersionOneWithEmptyTexts) {
  TVEKFileVersion v;
  v.SetFileName(BREVANT_EXE);
  EXPECT_EQ(v.FileName(), BREVANT_EXE);
  EXPECT_EQ(v.Major + "|" + v.Minor + "|" + v.Release + "|" + v.Build, "1|0|0|0");
  EXPECT_EQ(v.FileVersion, "1.0.0.0");
  EXPECT_EQ(v.ProductVersion, "1.0.0");
  EXPECT_EQ(v.FileOS, "32-bit Windows");
  EXPECT_EQ(v.FileType, "Application");
  // Its only string table is French: the U.S. English one is not there.
  EXPECT_EQ(Texts(v), NoTexts);
  EXPECT_EQ(FileVersionText(BREVANT_EXE), "1.0.0");
}

TEST(OwnExecutable, CarriesTheFrenchTableAndItsTranslation) {
  std::string block;
  ASSERT_TRUE(GetFileVersionInfo(BREVANT_EXE, block));
  EXPECT_EQ(GetFileVersionInfoSize(BREVANT_EXE), block.size());
  TFixedFileInfo fixed;
  ASSERT_TRUE(VerQueryValue(block, "\\", fixed));
  EXPECT_EQ(fixed.dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed.dwProductVersionLS, 0u);
  EXPECT_EQ(fixed.dwFileOS, 0x4u);
  EXPECT_EQ(fixed.dwFileType, 1u);
  std::string value;
  ASSERT_TRUE(VerQueryValue(block, "\\StringFileInfo\\040C04E4\\CompanyName", value));
  EXPECT_EQ(value, "Quellmark");
  ASSERT_TRUE(VerQueryValue(block, "\\StringFileInfo\\040C04E4\\FileDescription", value));
  EXPECT_EQ(value, "Brevant Wizard");
  ASSERT_TRUE(VerQueryValue(block, "\\StringFileInfo\\040C04E4\\ProductName", value));
  EXPECT_EQ(value, "Brevant");
  ASSERT_TRUE(VerQueryValue(block, "\\StringFileInfo\\040C04E4\\FileVersion", value));
  EXPECT_EQ(value, "1.0.0.0");
  ASSERT_TRUE(VerQueryValue(block, "\\VarFileInfo\\Translation", value));
  EXPECT_EQ(value, std::string("\x0C\x04\xE4\x04", 4));  // 0x040C, code page 1252
  EXPECT_FALSE(VerQueryValue(block, "\\StringFileInfo\\040904E4", value));
}

// --- reading built files, in every format -------------------------------

class FileVersionFormats : public testing::TestWithParam<TFormat> {
 protected:
  std::string Write(const std::string& Name, const TVersionSpec& Spec) {
    return Dir.Write(Name, BuildFile(GetParam(), BuildVersionBlock(Spec)));
  }
  TTempDir Dir;
};

TEST_P(FileVersionFormats, FindsExactlyTheBlockThatWasWritten) {
  TVersionSpec spec;
  spec.Tables = {UsTable()};
  spec.Translations = {0x04E40409};
  const std::string block = BuildVersionBlock(spec);
  const std::string file = Dir.Write("f", BuildFile(GetParam(), block));
  std::string read;
  ASSERT_TRUE(GetFileVersionInfo(file, read));
  EXPECT_EQ(read, block);
  EXPECT_EQ(GetFileVersionInfoSize(file), block.size());
  ASSERT_TRUE(ExtractVersionBlock(ReadWholeFile(file), read));
  EXPECT_EQ(read, block);
}

// The file reader reads around what it looks at rather than number by
// number; parts of a file far apart from one another, or across the edges
// of what it reads at once, are found all the same.
TEST(VersionBlockFile, PartsFarApartReadAsFromMemory) {
  TVersionSpec spec;
  spec.Tables = {UsTable()};
  const std::string block = BuildVersionBlock(spec);
  TTempDir dir;
  for (const bool e64 : {false, true})
    for (const std::size_t gap :
         {std::size_t{0}, std::size_t{32768 - 6}, std::size_t{65536 + 13}, std::size_t{300001}}) {
      SCOPED_TRACE(testing::Message() << (e64 ? "ELF64" : "ELF32") << ", gap " << gap);
      // The section headers, last in the built file, moved `gap` bytes on.
      const TElfFile f = BuildElf(e64, block);
      std::string bytes =
          f.Bytes.substr(0, f.SectionHeaders) + std::string(gap, '\xCC') + f.Bytes.substr(f.SectionHeaders);
      Put32(bytes, e64 ? 0x28 : 0x20, static_cast<std::uint32_t>(f.SectionHeaders + gap));
      std::string read;
      ASSERT_TRUE(ExtractVersionBlock(bytes, read));
      EXPECT_EQ(read, block);
      const std::string file = dir.Write("far", bytes);
      read.clear();
      ASSERT_TRUE(GetFileVersionInfo(file, read));
      EXPECT_EQ(read, block);
      EXPECT_EQ(GetFileVersionInfoSize(file), block.size());
    }
}

TEST_P(FileVersionFormats, SplitsTheVersionNumbers) {
  TVersionSpec spec;
  spec.SetFileVersion(2, 10, 3, 400).SetProductVersion(5, 6, 7, 8);
  const std::string file = Write("v.exe", spec);
  TVEKFileVersion v;
  v.SetFileName(file);
  EXPECT_EQ(v.Major + "|" + v.Minor + "|" + v.Release + "|" + v.Build, "2|10|3|400");
  EXPECT_EQ(v.FileVersion, "2.10.3.400");
  EXPECT_EQ(v.ProductVersion, "5.6.7");
  EXPECT_EQ(FileVersionText(file), "2.10.3");

  // The largest numbers: unsigned, no padding, halves kept apart.
  spec.SetFileVersion(65535, 0, 65535, 1).SetProductVersion(65535, 65535, 65535, 65535);
  v.SetFileName(Write("max.exe", spec));
  EXPECT_EQ(v.FileVersion, "65535.0.65535.1");
  EXPECT_EQ(v.ProductVersion, "65535.65535.65535");
}

TEST_P(FileVersionFormats, ReadsTheTenTextsOfTheUsEnglishTableOnly) {
  TVersionSpec spec;
  spec.Tables = {{"040C04E4", {{"CompanyName", "Société"}, {"Comments", "fr"}}}, UsTable()};
  spec.Translations = {0x04E4040C};  // names only the French table: not consulted
  TVEKFileVersion v;
  v.SetFileName(Write("t.exe", spec));
  EXPECT_EQ(Texts(v), UsTexts);
}

INSTANTIATE_TEST_SUITE_P(, FileVersionFormats,
                         testing::Values(TFormat::Pe32, TFormat::Pe32Plus, TFormat::Elf32, TFormat::Elf64,
                                         TFormat::Elf64BigEndian),
                         FormatName);

// --- names of the operating system and the file type --------------------

TEST(FileVersionNames, OperatingSystemByTheWholeField) {
  const std::vector<std::pair<std::uint32_t, std::string>> cases = {
      {0x10000, "MS-DOS"},
      {0x20000, "16-bit OS/2"},
      {0x30000, "32-bit OS/2"},
      {0x40000, "Windows NT"},
      {0x1, "Windows 3.xx"},
      {0x2, "16-bit OS/2 Presentation Manager"},
      {0x3, "32-bit OS/2 Presentation Manager"},
      {0x4, "32-bit Windows"},
      {0x10001, "Windows 3.xx with MS-DOS"},
      {0x10004, "32-bit Windows with MS-DOS"},
      {0x20002, "16-bit OS/2 with Presentation Manager"},
      {0x30003, "32-bit OS/2 with Presentation Manager"},
      {0x40004, "Windows NT with 32 bit Windows"},
      {0x0, "<Unknown>"},
      {0x5, "<Unknown>"},
      {0x40001, "<Unknown>"},
      {0x1040004, "<Unknown>"},
  };
  TTempDir dir;
  for (const auto& [value, name] : cases) {
    TVersionSpec spec;
    spec.FileOS = value;
    TVEKFileVersion v;
    v.SetFileName(dir.Write("os" + std::to_string(value), BuildPe32(spec)));
    EXPECT_EQ(v.FileOS, name) << std::hex << value;
  }
}

TEST(FileVersionNames, FileTypeByTheWholeFieldSubtypeIgnored) {
  const std::vector<std::pair<std::uint32_t, std::string>> cases = {
      {1, "Application"},
      {2, "Dynamic-Link Library"},
      {3, "Device Driver"},
      {4, "Font"},
      {5, "Virtual Device Driver"},
      {7, "Static-Link Library"},
      {0, "<Unknown>"},
      {6, "<Unknown>"},
      {8, "<Unknown>"},
      {0x10001, "<Unknown>"},
  };
  TTempDir dir;
  for (const auto& [value, name] : cases) {
    TVersionSpec spec;
    spec.FileType = value;
    spec.FileSubtype = 7;
    TVEKFileVersion v;
    v.SetFileName(dir.Write("type" + std::to_string(value), BuildPe32(spec)));
    EXPECT_EQ(v.FileType, name) << value;
  }
}

// --- assigning names -----------------------------------------------------

TEST(FileVersionName, SameNameIsNotReadAgainOtherLetterCaseIs) {
  TTempDir dir;
  TVersionSpec spec;
  const std::string file = dir.Write("app.exe", BuildPe32(spec.SetFileVersion(2, 0, 0, 0)));
  TVEKFileVersion v;
  v.SetFileName(file);
  EXPECT_EQ(v.FileVersion, "2.0.0.0");
  dir.Write("app.exe", BuildPe32(spec.SetFileVersion(3, 0, 0, 0)));  // replaced under the same name
  v.SetFileName(file);
  EXPECT_EQ(v.FileVersion, "2.0.0.0");
  // The same file under another spelling is read again.
  ASSERT_EQ(::symlink("app.exe", dir.File("APP.exe").c_str()), 0);
  v.SetFileName(dir.File("APP.exe"));
  EXPECT_EQ(v.FileVersion, "3.0.0.0");
  EXPECT_EQ(v.FileName(), dir.File("APP.exe"));
}

TEST(FileVersionName, TextsMissingFromTheNextFileKeepTheirValues) {
  TTempDir dir;
  TVersionSpec first;
  first.Tables = {UsTable()};
  TVersionSpec second;
  second.SetFileVersion(3, 1, 0, 0);
  second.Tables = {{"040904E4", {{"CompanyName", "Other"}}}};
  TVEKFileVersion v;
  v.SetFileName(dir.Write("a.exe", BuildPe32(first)));
  v.SetFileName(dir.Write("b.exe", BuildPe32(second)));
  std::vector<std::string> expected = UsTexts;
  expected[1] = "Other";
  EXPECT_EQ(Texts(v), expected);
  EXPECT_EQ(v.FileVersion, "3.1.0.0");
}

TEST(FileVersionName, MissingFileOrFolderRaisesAndChangesNothing) {
  TTempDir dir;
  TVersionSpec spec;
  const std::string good = dir.Write("good.exe", BuildPe32(spec.SetFileVersion(4, 0, 0, 0)));
  TVEKFileVersion v;
  v.SetFileName(good);
  for (const std::string& bad : {dir.File("missing.exe"), dir.Path(), std::string("")}) {
    EXPECT_EQ(MessageOf([&] { v.SetFileName(bad); }), "Invalid file : " + bad + " !");
    EXPECT_EQ(v.FileName(), good);
    EXPECT_EQ(v.FileVersion, "4.0.0.0");
  }
  EXPECT_EQ(FileVersionText(dir.File("missing.exe")), "Invalid file : " + dir.File("missing.exe") + " !");
  EXPECT_EQ(FileVersionText(dir.Path()), "Invalid file : " + dir.Path() + " !");
}

TEST(FileVersionName, FilesWithoutVersionBlockAreNoError) {
  TTempDir dir;
  TPeOptions noVersion;
  noVersion.WithVersion = false;
  TPeOptions outside;  // the data entry points outside every section
  outside.VersionBlock = BuildVersionBlock(TVersionSpec());
  TPeFile pe = BuildPe(outside);
  Put32(pe.Bytes, pe.VersionData, 0x00900000);
  const std::vector<std::string> files = {dir.Write("plain.exe", BuildPe(noVersion).Bytes),
                                          dir.Write("elf", BuildElf(true, "").Bytes),
                                          dir.Write("outside.exe", pe.Bytes),
                                          dir.Write("notes.txt", "MZ is not enough\r\n"),
                                          dir.Write("empty", ""),
                                          "/dev/null"};
  for (const std::string& file : files) {
    TVEKFileVersion v;
    EXPECT_NO_THROW(v.SetFileName(file)) << file;
    EXPECT_EQ(v.FileName(), file);
    EXPECT_EQ(v.FileVersion + v.FileOS + v.FileType + v.ProductVersion, "") << file;
    EXPECT_EQ(FileVersionText(file), "0.0.0") << file;
  }
}

TEST(FileVersionName, UnreadableFixedPartRaisesAfterTheNameIsSet) {
  TTempDir dir;
  TVersionSpec badSignature;
  badSignature.Signature = 0xFEEF04BC;
  badSignature.Tables = {UsTable()};
  std::string shortBlock = BuildVersionBlock(TVersionSpec());
  Put16(shortBlock, 2, 51);  // a fixed part one byte short
  TPeOptions o;
  o.VersionBlock = shortBlock;
  for (const std::string& file :
       {dir.Write("sig.exe", BuildPe32(badSignature)), dir.Write("short.exe", BuildPe(o).Bytes)}) {
    TVEKFileVersion v;
    EXPECT_EQ(MessageOf([&] { v.SetFileName(file); }), "Error on getting file informations : " + file);
    EXPECT_EQ(v.FileName(), file);
    EXPECT_EQ(Texts(v), NoTexts);  // the error came before the texts
    EXPECT_EQ(FileVersionText(file), "Error on getting file informations : " + file);
  }
}

// --- the reader's own promises -------------------------------------------

TEST(VersionBlockReader, QueriesIgnoreKeyCaseAndTextsCountedInBytes) {
  TVersionSpec spec;
  spec.Tables = {UsTable()};
  spec.TextLengthInBytes = true;  // twice the real length: bounded by the node
  const std::string block = BuildVersionBlock(spec);
  std::string value;
  ASSERT_TRUE(VerQueryValue(block, "\\stringfileinfo\\040904e4\\PRODUCTNAME", value));
  EXPECT_EQ(value, "Tool 𝄞 Suite");
  ASSERT_TRUE(VerQueryValue(block, "\\\\StringFileInfo\\040904E4\\SpecialBuild\\", value));
  EXPECT_EQ(value, "special 9");  // the last text of the block: nothing read beyond it
  EXPECT_FALSE(VerQueryValue(block, "\\StringFileInfo\\040904E4\\Special", value));
  EXPECT_FALSE(VerQueryValue(block, "\\StringFileInfo\\040904E4\\SpecialBuild\\More", value));
  TFixedFileInfo fixed;
  EXPECT_FALSE(VerQueryValue(block, "\\StringFileInfo", fixed));
}

TEST(VersionBlockReader, UnpairedSurrogatesBecomeReplacementCharacters) {
  TVersionSpec spec;
  spec.Tables = {{"040904E4", {{"Comments", "ab"}}}};
  std::string block = BuildVersionBlock(spec);
  const std::size_t at = block.find(std::string("a\0b\0", 4));
  ASSERT_NE(at, std::string::npos);
  Put16(block, at, 0xD800);  // a high surrogate followed by "b"
  std::string value;
  ASSERT_TRUE(VerQueryValue(block, "\\StringFileInfo\\040904E4\\Comments", value));
  EXPECT_EQ(value,
            "\xEF\xBF\xBD"
            "b");
}

// Damaging one field of a good file must give "no version block", by memory
// and by file.
struct TDamage {
  const char* What;
  std::function<void(TPeFile&)> Apply;
};

TEST(HostileFiles, DamagedPeFilesHaveNoBlock) {
  const std::vector<TDamage> damages = {
      {"e_lfanew beyond the file", [](TPeFile& f) { Put32(f.Bytes, 0x3C, 0xFFFFFFF0); }},
      {"e_lfanew on the last bytes",
       [](TPeFile& f) { Put32(f.Bytes, 0x3C, static_cast<std::uint32_t>(f.Bytes.size() - 2)); }},
      {"PE signature", [](TPeFile& f) { f.Bytes[f.PeHeader + 1] = 'F'; }},
      {"optional header magic", [](TPeFile& f) { Put16(f.Bytes, f.OptionalHeader, 0x107); }},
      {"two data directories", [](TPeFile& f) { Put32(f.Bytes, f.DataDirectories - 4, 2); }},
      {"optional header too short", [](TPeFile& f) { Put16(f.Bytes, f.PeHeader + 4 + 16, 96 + 16); }},
      {"no resource directory", [](TPeFile& f) { Put32(f.Bytes, f.DataDirectories + 16, 0); }},
      {"resources outside the sections", [](TPeFile& f) { Put32(f.Bytes, f.DataDirectories + 16, 0x7000); }},
      {"no sections", [](TPeFile& f) { Put16(f.Bytes, f.PeHeader + 6, 0); }},
      {"65535 sections",
       [](TPeFile& f) {
         Put16(f.Bytes, f.PeHeader + 6, 0xFFFF);
         Put32(f.Bytes, f.SectionTable + 52, 0);
       }},
      {"section data beyond the file", [](TPeFile& f) { Put32(f.Bytes, f.SectionTable + 40 + 20, 0xFFFFFE00); }},
      {"empty root directory", [](TPeFile& f) { Put32(f.Bytes, f.Resources + 12, 0); }},
      {"root directory runs off",
       [](TPeFile& f) {
         Put32(f.Bytes, f.Resources + 12, 0xFFFFFFFF);
         Put32(f.Bytes, f.Resources + 32, 17);  // the version type's id
       }},
      {"language level loops to the root", [](TPeFile& f) { Put32(f.Bytes, f.VersionNameDir + 20, 0x80000000); }},
      {"name directory points at itself",
       [](TPeFile& f) {
         Put32(f.Bytes, f.VersionNameDir + 20,
               0x80000000u | static_cast<std::uint32_t>(f.VersionNameDir - f.Resources));
       }},
      {"data entry beyond the tree", [](TPeFile& f) { Put32(f.Bytes, f.VersionLangDir + 20, 0x7FFFFFF0); }},
      {"data smaller than a node header", [](TPeFile& f) { Put32(f.Bytes, f.VersionData + 4, 5); }},
      {"block longer than its data", [](TPeFile& f) { Put32(f.Bytes, f.VersionData + 4, 0x40); }},
      {"block length below a header", [](TPeFile& f) { Put16(f.Bytes, f.Block, 3); }},
      {"block length beyond the file",
       [](TPeFile& f) {
         Put16(f.Bytes, f.Block, 0xFFFF);
         Put32(f.Bytes, f.VersionData + 4, 0xFFFFFFFF);
       }},
  };
  TTempDir dir;
  TVersionSpec spec;
  spec.Tables = {UsTable()};
  for (const bool plus : {false, true}) {
    TPeOptions o;
    o.Pe32Plus = plus;
    o.VersionBlock = BuildVersionBlock(spec);
    for (const TDamage& d : damages) {
      TPeFile f = BuildPe(o);
      d.Apply(f);
      std::string block = "stale";
      EXPECT_FALSE(ExtractVersionBlock(f.Bytes, block)) << d.What << (plus ? " (PE32+)" : "");
      EXPECT_EQ(block, "");
      EXPECT_EQ(GetFileVersionInfoSize(dir.Write("damaged.exe", f.Bytes)), 0u) << d.What;
    }
  }
}

TEST(HostileFiles, DamagedElfFilesHaveNoBlock) {
  const std::vector<std::pair<const char*, std::function<void(TElfFile&, bool)>>> damages = {
      {"section table beyond the file", [](TElfFile& f, bool e64) { Put32(f.Bytes, e64 ? 0x28 : 0x20, 0xFFFFFF00); }},
      {"entry size too small", [](TElfFile& f, bool e64) { Put16(f.Bytes, e64 ? 0x3A : 0x2E, 16); }},
      {"name table index out of range", [](TElfFile& f, bool e64) { Put16(f.Bytes, e64 ? 0x3E : 0x32, 9); }},
      {"extended count too large",
       [](TElfFile& f, bool e64) {
         Put16(f.Bytes, e64 ? 0x3C : 0x30, 0);
         Put32(f.Bytes, f.SectionHeaders + (e64 ? 32 : 20), 0x7FFFFFFF);
       }},
      {"name beyond the name table", [](TElfFile& f, bool) { Put32(f.Bytes, f.VersionHeader, 0x10000); }},
      {"data beyond the file",
       [](TElfFile& f, bool e64) { Put32(f.Bytes, f.VersionHeader + (e64 ? 24 : 16), 0xFFFFFFF0); }},
      {"section shorter than the block",
       [](TElfFile& f, bool e64) { Put32(f.Bytes, f.VersionHeader + (e64 ? 32 : 20), 8); }},
      {"section without data", [](TElfFile& f, bool) { Put32(f.Bytes, f.VersionHeader + 4, 8); }},
  };
  const std::string good = BuildVersionBlock(TVersionSpec());
  for (const bool e64 : {false, true})
    for (const auto& [what, apply] : damages) {
      TElfFile f = BuildElf(e64, good);
      apply(f, e64);
      std::string block;
      EXPECT_FALSE(ExtractVersionBlock(f.Bytes, block)) << what << (e64 ? " (64)" : " (32)");
    }
}

// Every prefix of a good file either still holds the whole block or has none.
TEST(HostileFiles, EveryTruncationGivesTheWholeBlockOrNone) {
  TVersionSpec spec;
  spec.Tables = {UsTable()};
  spec.Translations = {0x04E40409};
  const std::string block = BuildVersionBlock(spec);
  TTempDir dir;
  for (const TFormat format :
       {TFormat::Pe32, TFormat::Pe32Plus, TFormat::Elf32, TFormat::Elf64, TFormat::Elf64BigEndian}) {
    const std::string file = BuildFile(format, block);
    const std::size_t blockEnd = file.find(block) + block.size();
    for (std::size_t n = 0; n < file.size(); ++n) {
      std::string read;
      const bool found = ExtractVersionBlock(std::string_view(file).substr(0, n), read);
      if (n < blockEnd) {
        ASSERT_FALSE(found) << n;
      }
      ASSERT_EQ(read, found ? block : "") << n;
      if (n % 61 == 0 || n + 1 == blockEnd) {  // the file reader too, on a sample
        ASSERT_EQ(GetFileVersionInfoSize(dir.Write("cut", file.substr(0, n))), found ? block.size() : 0u) << n;
      }
    }
  }
}

// Cutting the block itself short (its root length along with it) must never
// make a query read outside it, and whatever a query finds is a prefix of
// the real value.
TEST(HostileFiles, QueriesOnEveryShortenedBlockStayInside) {
  TVersionSpec spec;
  spec.Tables = {UsTable()};
  spec.Translations = {0x04E40409};
  const std::string whole = BuildVersionBlock(spec);
  for (std::size_t n = 0; n < whole.size(); ++n) {
    std::string block = whole.substr(0, n);
    if (n >= 2) Put16(block, 0, static_cast<std::uint32_t>(n));
    TFixedFileInfo fixed;
    if (VerQueryValue(block, "\\", fixed)) {
      ASSERT_EQ(fixed.dwSignature, VS_FFI_SIGNATURE);
    }
    std::string value;
    if (VerQueryValue(block, "\\StringFileInfo\\040904E4\\SpecialBuild", value)) {
      ASSERT_EQ(std::string("special 9").compare(0, value.size(), value), 0) << n;
    }
    VerQueryValue(block, "\\VarFileInfo\\Translation", value);
  }
  // A child of length 0 ends the search instead of repeating it.
  std::string block = whole;
  Put16(block, 0x5C, 0);  // the StringFileInfo node right after the fixed part
  std::string value;
  EXPECT_FALSE(VerQueryValue(block, "\\VarFileInfo\\Translation", value));
}
