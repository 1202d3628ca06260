#pragma once
// The version block of a file: its four version numbers, target system and
// type by name, and the texts of its string table, as text fields.
//
// The texts are read from the fixed string table "\StringFileInfo\040904E4\"
// (U.S. English, code page 1252); a block without that table, or without a
// key, leaves the field as it was. The block's list of translations is not
// consulted.
#include <cstdint>
#include <string>

// Names of the target operating systems (the fixed part's dwFileOS), one for
// each published value in FileOSValues, in the same order.
extern const char* const FileOSNames[13];
extern const std::uint32_t FileOSValues[13];
// Names of the file types (dwFileType), one for each published value other
// than VFT_UNKNOWN, in FileTypeValues.
extern const char* const FileTypeNames[6];
extern const std::uint32_t FileTypeValues[6];

class TVEKFileVersion {
 public:
  TVEKFileVersion() = default;

  const std::string& FileName() const { return FFileName; }
  // Reads the version block of `Value` into the fields; nothing at all when
  // `Value` is the current name (compared with letter case).
  // A missing file (or a folder) raises EInOutError "Invalid file : <Value> !"
  // and changes nothing. A file without a version block changes nothing but
  // FileName. A block whose fixed part cannot be read raises EInOutError
  // "Error on getting file informations : <Value>" after FileName is set.
  void SetFileName(const std::string& Value);

  std::string Major, Minor, Release, Build, FileVersion, ProductVersion, FileOS, FileType;
  std::string Comments, CompanyName, FileDescription, InternalName, LegalCopyright, LegalTradeMarks, OriginalFileName,
      PrivateBuild, ProductName, SpecialBuild;

 private:
  void ReadVersionInfo();
  std::string FFileName;
};

// "Major.Minor.Release" of a file's version; "0.0.0" without a version block;
// the error's message when the file cannot be read. Never raises.
std::string FileVersionText(const std::string& FileName);
