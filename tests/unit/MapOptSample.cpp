// The map sample built with optimisation: code inlined from a header, a
// helper of this file inlined into its caller, a cold part, a template of a
// header kept out of line. Each calls Probe, which resolves its own return
// address through the map file (argument 1) as a report resolves a call,
// and prints "label|unit|function|line|function offset".
#include "tests/unit/MapOptSample.h"

#include <cstdint>
#include <cstdio>
#include <exception>

#include "diag/U_VEK_Debug.h"

volatile int SampleSink = 0;

namespace {

TVEKMapFile* Map = nullptr;

[[gnu::always_inline]] inline int SameFileHelper(int Value) {
  SampleSink = SampleSink + 2;
  return Probe("inlined same-file helper") * Value;
}

// Code that calls it is never expected to run: the compiler moves it into
// the function's cold part.
[[gnu::cold, gnu::noinline]] int Unlikely(int Value) {
  SampleSink = SampleSink + Value;
  return -Value;
}

}  // namespace

[[gnu::noinline]] int Probe(const char* Label) {
  const auto call = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)) - 1;
  Map->Lookup(call);
  std::printf("%s|%s|%s|%s|%d\n", Label, Map->UnitName().c_str(), Map->PublicName().c_str(), Map->LineNumber().c_str(),
              static_cast<int>(Map->PublicOffset()));
  return SampleSink;
}

[[gnu::noinline]] int UseHeader(int Value) {
  const int step = HeaderStep("inlined header code", Value);  // map-sample: header call
  return step + 1;
}

[[gnu::noinline]] int UseHelper(int Value) {
  const int product = SameFileHelper(Value);  // map-sample: helper call
  return product - 1;
}

[[gnu::noinline]] int WithColdPart(int Value) {
  if (Value < 0) {
    const int cold = Unlikely(Value);
    SampleSink = SampleSink + HeaderStep("cold part", cold);  // map-sample: cold call
  }
  return Value * 2;
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  TVEKMapFile map;
  Map = &map;
  try {
    map.SetFileName(argv[1]);
    SampleSink = UseHeader(argc) + UseHelper(argc) + WithColdPart(-argc) + HeaderTemplate(argc);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 0;
}
