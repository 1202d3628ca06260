#pragma once
// Header code of the optimised map sample (MapOptSample.cpp): an inline
// function that the compiler inlines into its callers, and a template that
// it keeps out of line. Each calls the sample's probe at a line that the test
// finds by its marker comment.

// Prints where the call to it stands, as the program's map names it.
int Probe(const char* Label);

extern volatile int SampleSink;

[[gnu::always_inline]] inline int HeaderStep(const char* Label, int Value) {
  SampleSink = SampleSink + Value;
  const int where = Probe(Label);
  return where + Value;
}

template <typename T>
[[gnu::noinline]] T HeaderTemplate(T Value) {
  SampleSink = SampleSink + 1;
  const T where = Probe("out-of-line template");  // map-sample: template call
  return where * Value;
}
