#include "diag/U_VEK_FileVersion.h"

#include <exception>
#include <new>

#include "base/Exceptions.h"
#include "base/TextUtil.h"
#include "platform/FileSystem.h"
#include "platform/VersionInfo.h"

const char* const FileOSNames[13] = {
    "MS-DOS",
    "16-bit OS/2",
    "32-bit OS/2",
    "Windows NT",
    "Windows 3.xx",
    "16-bit OS/2 Presentation Manager",
    "32-bit OS/2 Presentation Manager",
    "32-bit Windows",
    "Windows 3.xx with MS-DOS",
    "32-bit Windows with MS-DOS",
    "16-bit OS/2 with Presentation Manager",
    "32-bit OS/2 with Presentation Manager",
    "Windows NT with 32 bit Windows",
};
const std::uint32_t FileOSValues[13] = {
    0x10000,  // VOS_DOS
    0x20000,  // VOS_OS216
    0x30000,  // VOS_OS232
    0x40000,  // VOS_NT
    0x1,      // VOS__WINDOWS16
    0x2,      // VOS__PM16
    0x3,      // VOS__PM32
    0x4,      // VOS__WINDOWS32
    0x10001,  // VOS_DOS_WINDOWS16
    0x10004,  // VOS_DOS_WINDOWS32
    0x20002,  // VOS_OS216_PM16
    0x30003,  // VOS_OS232_PM32
    0x40004,  // VOS_NT_WINDOWS32
};

const char* const FileTypeNames[6] = {
    "Application", "Dynamic-Link Library", "Device Driver", "Font", "Virtual Device Driver", "Static-Link Library",
};
const std::uint32_t FileTypeValues[6] = {
    1,  // VFT_APP
    2,  // VFT_DLL
    3,  // VFT_DRV
    4,  // VFT_FONT
    5,  // VFT_VXD
    7,  // VFT_STATIC_LIB
};

namespace {

template <std::size_t N>
std::string NameOf(std::uint32_t Value, const char* const (&Names)[N], const std::uint32_t (&Values)[N]) {
  for (std::size_t i = 0; i < N; ++i)
    if (Values[i] == Value) return Names[i];
  return UnknownText;
}

std::string Hi(std::uint32_t Value) {
  return std::to_string(Value >> 16);
}
std::string Lo(std::uint32_t Value) {
  return std::to_string(Value & 0xFFFF);
}

// The string table read for the texts: language 1033, code page 1252.
const char* const StringTablePath = "\\StringFileInfo\\040904E4\\";

}  // namespace

void TVEKFileVersion::SetFileName(const std::string& Value) {
  if (Value == FFileName) return;
  if (!FileExists(Value)) throw EInOutError("Invalid file : " + Value + " !", 0);
  FFileName = Value;
  ReadVersionInfo();
}

void TVEKFileVersion::ReadVersionInfo() {
  try {
    const std::uint32_t size = GetFileVersionInfoSize(FFileName);
    if (size == 0) return;
    std::string block;
    block.reserve(size);
    if (!GetFileVersionInfo(FFileName, block)) return;  // the block went away meanwhile

    TFixedFileInfo fixed;
    if (!VerQueryValue(block, "\\", fixed)) throw EInOutError("no fixed part", 0);
    Major = Hi(fixed.dwFileVersionMS);
    Minor = Lo(fixed.dwFileVersionMS);
    Release = Hi(fixed.dwFileVersionLS);
    Build = Lo(fixed.dwFileVersionLS);
    FileVersion = Major + "." + Minor + "." + Release + "." + Build;
    // The product's build number is not shown.
    ProductVersion =
        Hi(fixed.dwProductVersionMS) + "." + Lo(fixed.dwProductVersionMS) + "." + Hi(fixed.dwProductVersionLS);
    FileOS = NameOf(fixed.dwFileOS, FileOSNames, FileOSValues);
    FileType = NameOf(fixed.dwFileType, FileTypeNames, FileTypeValues);  // the subtype is not used

    struct TText {
      const char* Key;
      std::string* Field;
    };
    const TText texts[] = {
        {"Comments", &Comments},
        {"CompanyName", &CompanyName},
        {"FileDescription", &FileDescription},
        {"InternalName", &InternalName},
        {"LegalCopyright", &LegalCopyright},
        {"LegalTradeMarks", &LegalTradeMarks},
        {"OriginalFileName", &OriginalFileName},
        {"PrivateBuild", &PrivateBuild},
        {"ProductName", &ProductName},
        {"SpecialBuild", &SpecialBuild},
    };
    for (const TText& t : texts) {
      std::string value;
      if (VerQueryValue(block, std::string(StringTablePath) + t.Key, value)) *t.Field = value;
    }
  } catch (const std::exception&) {
    // A fixed part that cannot be read, or no memory for the block.
    throw EInOutError("Error on getting file informations : " + FFileName, 0);
  }
}

std::string FileVersionText(const std::string& FileName) {
  std::string result = "0.0.0";
  try {
    TVEKFileVersion version;
    version.SetFileName(FileName);
    if (!version.Major.empty()) result = version.Major + "." + version.Minor + "." + version.Release;
  } catch (const Exception& e) {
    result = e.Message();
  } catch (const std::exception& e) {
    result = e.what();
  }
  return result;
}
