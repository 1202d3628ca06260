// The map file sample: a small program with functions at known lines, built
// with its map file beside it (vek_add_map_file) for the generator's tests.
// Its units are named MapSample and MapSampleUnit on purpose: the one name
// lies inside the other, as "Main" lies inside "F_Main".
#include <cstdio>

#include "tests/unit/MapSampleUnit.h"

int main(int argc, char**) {  // map-sample: main
  TSampleCounter counter;
  mapsample::TSampleBox<int> box;
  for (int i = 0; i < argc; ++i) box.Put(counter.Add(mapsample::Twice(i)));
  std::printf("%zu\n", box.Count());
  return 0;
}
