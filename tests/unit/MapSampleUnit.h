#pragma once
// Functions of the map file sample (MapSample): a class method, a function in
// a namespace and a member of a class template, each at a line that the test
// finds by the marker comment "map-sample:" in MapSampleUnit.cpp.
#include <vector>

class TSampleCounter {
 public:
  int Add(int Value);

 private:
  int FTotal = 0;
};

namespace mapsample {

int Twice(int Value);

template <typename T>
class TSampleBox {
 public:
  void Put(const T& Value);
  std::size_t Count() const { return FItems.size(); }

 private:
  std::vector<T> FItems;
};

}  // namespace mapsample
