#pragma once
// The version block of a file: its four version numbers, target system and
// type by name, and the texts of its string table, as text fields.
#include <string>

extern const char* const FileOSNames[13];
extern const char* const FileTypeNames[6];

class TVEKFileVersion {
public:
  TVEKFileVersion() = default;

  const std::string& FileName() const { return FFileName; }
  // Reads the version block of `Value` (nothing when it is the current name).
  // A missing file raises EInOutError "Invalid file : <Value> !".
  void SetFileName(const std::string& Value);

  std::string Major, Minor, Release, Build, FileVersion, ProductVersion, FileOS, FileType;
  std::string Comments, CompanyName, FileDescription, InternalName, LegalCopyright, LegalTradeMarks,
      OriginalFileName, PrivateBuild, ProductName, SpecialBuild;

private:
  void ReadVersionInfo();
  std::string FFileName;
};

// "Major.Minor.Release" of a file's version; "0.0.0" without a version block;
// the error's message when the file cannot be read. Never raises.
std::string FileVersionText(const std::string& FileName);
