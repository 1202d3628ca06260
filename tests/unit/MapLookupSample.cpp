// The map sample's functions resolved through a map file (argument 1) with
// the diagnostics library's reader, as a program resolves its own code: one
// line "public|unit|line" per function entry, then one for the frame of main
// that a stack walk starts in. The map file generator's tests run it as built
// and as a stripped copy with the same map.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

#include "diag/U_VEK_Debug.h"
#include "tests/unit/MapSampleUnit.h"

namespace {

// The code address of a non-virtual member function: the first word of its
// member pointer in the Itanium C++ ABI.
template <typename TMember>
std::uintptr_t CodeAddressOf(TMember Member) {
  static_assert(sizeof(TMember) >= sizeof(std::uintptr_t));
  std::uintptr_t address;
  std::memcpy(&address, &Member, sizeof address);
  return address;
}

void Print(const TVEKMapFile& Map) {
  std::printf("%s|%s|%s\n", Map.PublicName().c_str(), Map.UnitName().c_str(), Map.LineNumber().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  TVEKMapFile map;
  try {
    map.SetFileName(argv[1]);
    for (std::uintptr_t address :
         {CodeAddressOf(&TSampleCounter::Add), reinterpret_cast<std::uintptr_t>(&mapsample::Twice),
          CodeAddressOf(&mapsample::TSampleBox<int>::Put)}) {
      map.Lookup(address);
      Print(map);
    }
    if (map.FirstFrame()) Print(map);  // map-sample: call in main
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
