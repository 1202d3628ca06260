// A program for FatalSignalTest: it starts the diagnostics library as an
// embedding program does (switches from its command line, log and map file
// beside it) and then ends as its last argument says:
//
//   segv, bus, fpe, ill   a fault of that signal in TCrasher's function
//   abort                 an exception escapes a worker thread
//   overflow              endless recursion on the main thread
//   faultinreport         fpe, and the log's save then faults; the
//                         report's bound is an hour
//   hanginreport          fpe, and the log's save then never returns; the
//                         report's bound is one second
//   chained               segv under a SIGSEGV handler the program installed
//                         before the library (it exits with 42)
//   chainedoff            the same with interception switched off again
//   wait                  waits in its event loop to be ended by a signal
//
// With CRASH_REPORT_SERVER in its environment it names that report collector.
//
// <folder>/ready appears when the library has started.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "base/Exceptions.h"
#include "base/Shutdown.h"
#include "diag/U_VEK_Debug.h"
#include "diag/U_VEK_LogStorage.h"
#include "runtime/Application.h"

namespace {
volatile bool KeepRecursing = true;
std::string Folder;
}  // namespace

// Each crash in a function of its own, named in the report.
struct TCrasher {
  [[gnu::noinline]] static void NullPointer() {
    volatile int* volatile target = nullptr;
    *target = 1;  // crashes: segv
  }
  [[gnu::noinline]] static void BeyondTheFile() {
    const std::string name = Folder + "/cut.bin";
    const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    const long page = ::sysconf(_SC_PAGESIZE);
    if (fd < 0 || ::ftruncate(fd, page) != 0) ::_exit(3);
    auto* mapped = static_cast<volatile char*>(::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    if (mapped == MAP_FAILED || ::ftruncate(fd, 0) != 0) ::_exit(3);
    mapped[0] = 1;  // crashes: bus
  }
  // The undefined-behaviour sanitizer would stop the division itself.
  [[gnu::noinline]] __attribute__((no_sanitize("undefined"))) static int DivideByZero() {
    volatile int dividend = 1, zero = 0;
    return dividend / zero;  // crashes: fpe
  }
  [[gnu::noinline]] static void Trap() {
    __builtin_trap();  // crashes: ill
  }
  [[gnu::noinline]] static void ThrowInWorker() {
    throw Exception("The worker failed.");  // thrown: abort
  }
  [[gnu::noinline]] static int Recurse(volatile char* Outer) {
    volatile char frame[512];
    frame[0] = Outer[0];
    if (!KeepRecursing) return frame[0];
    return Recurse(frame) + frame[1];
  }
};

namespace {

// The real file system, except that saves fault or never return.
class TBrokenStorage final : public TVEKLogStorage {
 public:
  explicit TBrokenStorage(bool Hang) : FHang(Hang) {}
  bool FileExists(const std::string& FileName) override { return FReal.FileExists(FileName); }
  void CreateEmptyFile(const std::string& FileName) override { FReal.CreateEmptyFile(FileName); }
  std::vector<std::string> ReadLines(const std::string& FileName, std::size_t MaxCount) override {
    return FReal.ReadLines(FileName, MaxCount);
  }
  std::string SaveTarget(const std::string& FileName) override { return FReal.SaveTarget(FileName); }
  std::unique_ptr<TVEKLogWriter> NewWriter(const std::string&, const std::string&, std::string&) override {
    if (FHang)
      for (;;) ::pause();
    volatile int* volatile target = nullptr;
    *target = 1;
    return nullptr;
  }
  std::unique_ptr<TVEKLogWriter> RewriteInPlace(const std::string& FileName) override {
    return FReal.RewriteInPlace(FileName);
  }
  void RenameFile(const std::string& From, const std::string& To) override { FReal.RenameFile(From, To); }
  void RemoveFile(const std::string& FileName) noexcept override { FReal.RemoveFile(FileName); }
  void SyncFolder(const std::string& Folder) noexcept override { FReal.SyncFolder(Folder); }

 private:
  bool FHang;
  TVEKFileSystemLogStorage FReal;
};

extern "C" void ExitWith42(int) {
  ::_exit(42);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string how = argv[argc - 1];
  const std::string exe = argv[0];
  Folder = exe.substr(0, exe.rfind('/'));
  if (how == "chained" || how == "chainedoff") {
    struct sigaction own {};
    own.sa_handler = ExitWith42;
    sigemptyset(&own.sa_mask);
    ::sigaction(SIGSEGV, &own, nullptr);
  }
  TApplication app(argc, argv);
  VEKDebugger();
  if (const char* collector = std::getenv("CRASH_REPORT_SERVER")) VEKDebugger()->SetReportServer(collector);
  if (FILE* ready = std::fopen((Folder + "/ready").c_str(), "w")) std::fclose(ready);

  if (how == "segv" || how == "chained") TCrasher::NullPointer();
  if (how == "chainedoff") {
    VEKDebugger()->SetActive(false);
    TCrasher::NullPointer();
  }
  if (how == "bus") TCrasher::BeyondTheFile();
  if (how == "fpe") TCrasher::DivideByZero();
  if (how == "ill") TCrasher::Trap();
  if (how == "abort") std::thread([] { TCrasher::ThrowInWorker(); }).join();
  if (how == "overflow") {
    volatile char start = 1;
    TCrasher::Recurse(&start);
  }
  if (how == "faultinreport" || how == "hanginreport") {
    static TBrokenStorage broken(how == "hanginreport");
    // The bound is read when interception is switched on. A fault inside
    // the report must end the process without waiting for it.
    VEKDebug->CrashReportSeconds = how == "hanginreport" ? 1 : 3600;
    VEKDebug->SetActive(false);
    VEKDebug->SetActive(true);
    SetVEKLogStorage(&broken);
    TCrasher::DivideByZero();
  }
  if (how == "wait") {
    const int code = app.Run();
    RunShutdown();
    return code;
  }
  return 4;  // no crash happened
}
