// vek-mapgen EXECUTABLE [MAPFILE]
// Writes the detailed map file of an ELF executable from its DWARF debug
// information, in the layout the diagnostics library reads beside the
// executable. MAPFILE defaults to the executable's path with the extension
// ".map". Exit status 0 on success, 1 when the map cannot be made (the message
// names the file), 2 on wrong arguments.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "DwarfScan.h"
#include "MapLayout.h"
#include "MapPath.h"
#include "platform/CodeAddress.h"

namespace {

constexpr const char* Program = "vek-mapgen";

// Writes the text beside the target and renames it over the target, so that
// a reader never sees half a map and a failed run leaves the old one.
bool WriteWhole(const std::string& Path, const std::string& Text) {
  const std::string temporary = Path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(Text.data(), static_cast<std::streamsize>(Text.size()));
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temporary, Path, ec);
  if (ec) std::remove(temporary.c_str());
  return !ec;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::cerr << "usage: " << Program << " EXECUTABLE [MAPFILE]\n";
    return 2;
  }
  const std::string executable = argv[1];
  const std::string mapFile = argc == 3 ? argv[2] : DefaultMapFileName(executable);
  if (SameFile(executable, mapFile)) {
    std::cerr << Program << ": " << mapFile << ": the map file would overwrite the executable\n";
    return 1;
  }
  try {
    TScanResult result = ScanExecutable(executable);
    // The reader of the running program takes only the map of this build.
    result.Image.Identity = ElfIdentity(executable);
    for (const std::string& w : result.Warnings)
      std::cerr << Program << ": " << executable << ": warning: " << w << '\n';
    if (!WriteWhole(mapFile, FormatMapFile(result.Image))) {
      std::cerr << Program << ": " << mapFile << ": cannot write the map file\n";
      return 1;
    }
  } catch (const EMapGenError& e) {
    std::cerr << Program << ": " << e.what() << '\n';
    return 1;
  } catch (const std::exception& e) {
    std::cerr << Program << ": " << executable << ": " << e.what() << '\n';
    return 1;
  }
  return 0;
}
