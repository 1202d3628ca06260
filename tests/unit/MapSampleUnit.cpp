#include "tests/unit/MapSampleUnit.h"

int TSampleCounter::Add(int Value) {  // map-sample: TSampleCounter.Add
  FTotal += Value;
  return FTotal;
}

namespace mapsample {

int Twice(int Value) {  // map-sample: mapsample::Twice
  return Value * 2;
}

template <typename T>
void TSampleBox<T>::Put(const T& Value) {  // map-sample: mapsample::TSampleBox<int>.Put
  FItems.push_back(Value);
}

template class TSampleBox<int>;

}  // namespace mapsample
