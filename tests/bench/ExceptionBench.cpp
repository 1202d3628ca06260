// What an exception report costs, next to Boost.Stacktrace resolving the
// same stack with file and line (its libbacktrace back end), and what the
// throw-site recorder adds to a throw. A plain program: one run prints
//   - the map's load, the first report (map loaded, nothing resolved
//     before, the throw 20 frames deep) and later ones;
//   - Boost.Stacktrace's first and later resolution of a 20-frame trace;
//   - a throw and its catch without the recorder, with it and capture off,
//     and with capture on (as while interception is active), 1 and 20
//     frames deep;
// and the ratios. Run it from the build folder:
//   build/default/tests/bench/ExceptionBench
#define BOOST_STACKTRACE_USE_BACKTRACE
#define BOOST_STACKTRACE_LINK
#include <boost/stacktrace.hpp>
#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <string>
#include <typeinfo>

#include "base/Exceptions.h"
#include "diag/U_VEK_Debug.h"
#include "platform/ThrowSite.h"

namespace {

using TClock = std::chrono::steady_clock;

double Microseconds(TClock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

struct TBenchError : Exception {
  TBenchError() : Exception("The bench's error.") {}
};

// Keeps the compiler from folding the recursion.
volatile int Sink = 0;

// A throw expression, for the reports.
__attribute__((noinline)) void ThrowExpression() {
  throw TBenchError();
}

// The steps of a throw expression written out, so that the two ways of
// entering __cxa_throw compare alike: the recorder's (the definition the
// program links, as every throw expression in it enters) and the C++
// library's own, as without the recorder.
// Both are called through a pointer the compiler cannot see through, as
// the same ordinary call.
using TCxaThrow = void (*)(void*, std::type_info*, void (*)(void*));
TCxaThrow volatile LibraryThrow = nullptr;
TCxaThrow volatile RecordedThrow = &abi::__cxa_throw;

void DestroyBenchError(void* object) {
  static_cast<TBenchError*>(object)->~TBenchError();
}

template <bool Recorded>
__attribute__((noinline)) void ThrowThrough() {
  void* object = abi::__cxa_allocate_exception(sizeof(TBenchError));
  try {
    new (object) TBenchError();
  } catch (...) {
    abi::__cxa_free_exception(object);
    throw;
  }
  const TCxaThrow enter = Recorded ? RecordedThrow : LibraryThrow;
  enter(object, const_cast<std::type_info*>(&typeid(TBenchError)), &DestroyBenchError);
}

// Throws Depth frames below its caller (Depth from 2): Depth - 1 frames of
// ThrowAt, then Thrower.
__attribute__((noinline)) void ThrowAt(int Depth, void (*Thrower)()) {
  if (Depth <= 2)
    Thrower();
  else
    ThrowAt(Depth - 1, Thrower);
  Sink = Sink + 1;
}

// A trace taken Depth frames below the caller.
__attribute__((noinline)) boost::stacktrace::stacktrace TraceAt(int Depth) {
  if (Depth <= 1) return boost::stacktrace::stacktrace();
  auto trace = TraceAt(Depth - 1);
  Sink = Sink + 1;
  return trace;
}

// Resolves every frame with its function, file and line.
std::size_t Resolve(const boost::stacktrace::stacktrace& Trace) {
  std::size_t characters = 0;
  for (const boost::stacktrace::frame& frame : Trace)
    characters += frame.name().size() + frame.source_file().size() + std::to_string(frame.source_line()).size();
  return characters;
}

// The report of a throw Depth frames down, as ProcessException builds it.
double ReportMicroseconds(TVEKDebug& Debug, int Depth, std::string& Report) {
  try {
    ThrowAt(Depth, ThrowExpression);
  } catch (const std::exception& e) {
    const auto start = TClock::now();
    TVEKExceptionInfos infos;
    Debug.GetExceptionInfos(nullptr, &e, infos);
    Report = Debug.ReportText(infos);
    return Microseconds(TClock::now() - start);
  }
  return 0;
}

// Nanoseconds per throw and catch, over Count throws.
double ThrowNanoseconds(void (*Thrower)(), int Depth, int Count) {
  const auto start = TClock::now();
  for (int i = 0; i < Count; ++i) try {
      if (Depth == 1)
        Thrower();
      else
        ThrowAt(Depth, Thrower);
    } catch (const TBenchError&) {
    }
  return std::chrono::duration<double, std::nano>(TClock::now() - start).count() / Count;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string exe = argc > 0 ? argv[0] : "ExceptionBench";
  LibraryThrow = reinterpret_cast<TCxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
  if (!LibraryThrow) {
    std::printf("The C++ library's __cxa_throw was not found.\n");
    return 1;
  }

  // Our report: the interceptor with its map, capture on as when active.
  TVEKDebug debug;
  auto start = TClock::now();
  debug.MapFile->SetFileName(TVEKDebug::MapFileNameFor(exe));
  const double mapLoad = Microseconds(TClock::now() - start);
  debug.SetActive(true);
  std::string report;
  const double firstReport = ReportMicroseconds(debug, 20, report);
  double laterReport = 0;
  constexpr int LaterReports = 20;
  for (int i = 0; i < LaterReports; ++i) laterReport += ReportMicroseconds(debug, 20, report);
  laterReport /= LaterReports;
  debug.SetActive(false);

  // Boost.Stacktrace: the first resolution reads the debug information.
  start = TClock::now();
  std::size_t characters = Resolve(TraceAt(20));
  const double firstBoost = Microseconds(TClock::now() - start);
  double laterBoost = 0;
  for (int i = 0; i < LaterReports; ++i) {
    start = TClock::now();
    characters += Resolve(TraceAt(20));
    laterBoost += Microseconds(TClock::now() - start);
  }
  laterBoost /= LaterReports;

  std::printf("Report of a throw 20 frames deep (map of %s):\n", exe.c_str());
  std::printf("  map file load                  %12.1f us\n", mapLoad);
  std::printf("  first report                   %12.1f us\n", firstReport);
  std::printf("  later report (mean of %d)      %12.1f us\n", LaterReports, laterReport);
  std::printf("Boost.Stacktrace, 20-frame trace with function, file and line (%zu characters):\n", characters);
  std::printf("  first resolution               %12.1f us\n", firstBoost);
  std::printf("  later resolution (mean of %d)  %12.1f us\n", LaterReports, laterBoost);
  std::printf("  first report / first resolution  %10.4f   (aim: below 0.1)\n", firstReport / firstBoost);
  std::printf("  later report / 1 ms              %10.4f   (aim: below 1)\n", laterReport / 1000.0);

  // Rounds of each kind in turn; the best round of each counts, which
  // leaves out what other programs on the machine took meanwhile.
  constexpr int ThrowCount = 10000, RoundCount = 7;
  std::printf("Throw and catch, best of %d rounds of %d:\n", RoundCount, ThrowCount);
  for (int depth : {1, 20}) {
    double plain = 1e300, off = 1e300, on = 1e300;
    for (int round = 0; round < RoundCount; ++round) {
      plain = std::min(plain, ThrowNanoseconds(ThrowThrough<false>, depth, ThrowCount));
      SetThrowStackCapture(false);
      off = std::min(off, ThrowNanoseconds(ThrowThrough<true>, depth, ThrowCount));
      SetThrowStackCapture(true);
      on = std::min(on, ThrowNanoseconds(ThrowThrough<true>, depth, ThrowCount));
      SetThrowStackCapture(false);
    }
    std::printf(
        "  %2d frame(s) deep: without the recorder %7.0f ns, capture off %7.0f ns (x%.2f), "
        "capture on %7.0f ns (x%.2f; aim: at most x3)\n",
        depth, plain, off, off / plain, on, on / plain);
  }
  std::printf("\nThe last report:\n%s\n", report.c_str());
  return 0;
}
