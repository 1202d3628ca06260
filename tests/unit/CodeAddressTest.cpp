// What an address is in this process: the executable's code offset, the
// module of an address, the .text address of ELF images (damaged ones
// included), and the capture of the stack, also from a signal handler on
// its own stack (in a child process).
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "platform/CodeAddress.h"
#include "tests/support/PeBuilder.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

// --- functions of this executable that the captures and offsets look at -----
// Exported (the test links with -rdynamic) so that dladdr names them; never
// inlined, and each does some work after its call so that no call becomes a
// jump.

volatile int Sink = 0;

extern "C" {
[[gnu::noinline]] std::size_t CodeAddressCaptureHere(TCodeFrame* Frames, std::size_t Max, std::size_t Skip) {
  const std::size_t n = CaptureStack(Frames, Max, Skip);
  Sink = Sink + 4;
  return n;
}

[[gnu::noinline]] std::size_t CodeAddressCaptureCaller(TCodeFrame* Frames, std::size_t Max, std::size_t Skip) {
  const std::size_t n = CodeAddressCaptureHere(Frames, Max, Skip);
  Sink = Sink + 5;
  return n;
}

[[gnu::noinline]] int CodeAddressOffsetTarget(int X) {
  return X * 3 + Sink;
}

[[gnu::noinline]] void CodeAddressRaiseSignal() {
  raise(SIGUSR1);
  Sink = Sink + 6;
}
}

namespace {

std::string SelfPath() {
  return std::filesystem::read_symlink("/proc/self/exe").string();
}

TEST(CodeAddressTest, ExecutableOffsetMatchesTheSymbolTable) {
  const std::string exe = SelfPath();
  const std::string sections = RunAndRead({"readelf", "-SW", exe}, {}, std::chrono::seconds(60)).value_or("");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(sections, m, std::regex(R"(\]\s+\.text\s+\S+\s+([0-9a-f]+))"))) << sections;
  const std::uint64_t text = std::stoull(m[1].str(), nullptr, 16);
  const std::uint64_t symbol = NmSymbolValue(exe, "CodeAddressOffsetTarget");
  ASSERT_NE(symbol, 0u);

  std::uintptr_t textAddress = 0;
  ASSERT_TRUE(ExecutableTextAddress(textAddress));
  EXPECT_EQ(textAddress, text);
  std::uintptr_t offset = 0;
  ASSERT_TRUE(ExecutableCodeOffset(reinterpret_cast<std::uintptr_t>(&CodeAddressOffsetTarget), offset));
  EXPECT_EQ(offset, symbol - text);

  TCodeModule module;
  ASSERT_TRUE(FindCodeModule(reinterpret_cast<std::uintptr_t>(&CodeAddressOffsetTarget), module));
  EXPECT_TRUE(module.MainExecutable);
  EXPECT_EQ(module.FileName, exe);
}

TEST(CodeAddressTest, AddressInNoModuleIsUnknown) {
  auto heap = std::make_unique<int>(1);
  const auto address = reinterpret_cast<std::uintptr_t>(heap.get());
  TCodeModule module;
  EXPECT_FALSE(FindCodeModule(address, module));
  std::uintptr_t offset = 0;
  EXPECT_FALSE(ExecutableCodeOffset(address, offset));
}

struct TElfRow {
  const char* Case;
  void (*Damage)(TElfFile& F);
};

class ElfText : public testing::TestWithParam<TElfRow> {};

TEST_P(ElfText, DamagedHeadersGiveNoAddress) {
  TElfFile f = BuildElf(true, "");
  std::uintptr_t address = 0;
  ASSERT_TRUE(ElfTextSectionAddress(std::string_view(f.Bytes), address));
  EXPECT_EQ(address, 0x400000u + 64);  // .text follows the 64-byte header
  GetParam().Damage(f);
  address = 0;
  EXPECT_FALSE(ElfTextSectionAddress(std::string_view(f.Bytes), address));
  EXPECT_EQ(address, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Damage, ElfText,
    testing::Values(TElfRow{"Truncated", [](TElfFile& F) { F.Bytes.resize(40); }},
                    TElfRow{"TableCut", [](TElfFile& F) { F.Bytes.resize(F.SectionHeaders + F.EntrySize + 10); }},
                    TElfRow{"TableBeyondFile", [](TElfFile& F) { Put32(F.Bytes, 40, 0x7FFFFFF0); }},
                    TElfRow{"EntryTooSmall", [](TElfFile& F) { Put16(F.Bytes, 58, 16); }},
                    TElfRow{"NamesIndexBeyondCount", [](TElfFile& F) { Put16(F.Bytes, 62, 9); }},
                    TElfRow{"NamesBeyondFile",
                            [](TElfFile& F) { Put32(F.Bytes, F.SectionHeaders + 2 * F.EntrySize + 24, 0x7FFFFFF0); }},
                    TElfRow{"NameOffsetBeyondNames",
                            [](TElfFile& F) { Put32(F.Bytes, F.SectionHeaders + F.EntrySize, 9999); }},
                    TElfRow{"OtherClass", [](TElfFile& F) { F.Bytes = BuildElf(false, "").Bytes; }},
                    TElfRow{"OtherByteOrder", [](TElfFile& F) { F.Bytes = BuildElf(true, "", true).Bytes; }},
                    TElfRow{"NotElf", [](TElfFile& F) { F.Bytes[1] = 'X'; }}),
    [](const testing::TestParamInfo<TElfRow>& Info) { return std::string(Info.param.Case); });

TEST(CodeAddressTest, ElfTextOfFilesByName) {
  TTempDir dir;
  std::uintptr_t address = 0;
  EXPECT_TRUE(ElfTextSectionAddress(dir.Write("tiny.elf", BuildElf(true, "").Bytes), address));
  EXPECT_EQ(address, 0x400000u + 64);
  EXPECT_FALSE(ElfTextSectionAddress(dir.File("none"), address));
  EXPECT_FALSE(ElfTextSectionAddress(dir.Path(), address));
  EXPECT_FALSE(ElfTextSectionAddress(std::string("/dev/null"), address));
}

// --- stack capture -----------------------------------------------------------

TEST(CodeAddressTest, CaptureStartsAtItsCaller) {
  TCodeFrame frames[4];
  ASSERT_EQ(CodeAddressCaptureCaller(frames, 2, 0), 2u);
  std::string name;
  std::uintptr_t at = 0;
  ASSERT_TRUE(NearestExportedSymbol(CallSiteAddress(frames[0]), name, at));
  EXPECT_EQ(name, "CodeAddressCaptureHere");
  ASSERT_TRUE(NearestExportedSymbol(CallSiteAddress(frames[1]), name, at));
  EXPECT_EQ(name, "CodeAddressCaptureCaller");
  EXPECT_LT(frames[0].Cfa, frames[1].Cfa);
  EXPECT_FALSE(frames[0].Interrupted);

  ASSERT_EQ(CodeAddressCaptureCaller(frames, 1, 1), 1u);
  ASSERT_TRUE(NearestExportedSymbol(CallSiteAddress(frames[0]), name, at));
  EXPECT_EQ(name, "CodeAddressCaptureCaller");
  EXPECT_EQ(CodeAddressCaptureCaller(frames, 0, 0), 0u);
  EXPECT_EQ(CodeAddressCaptureCaller(frames, 4, 100000), 0u);
}

// In a child process: a signal handler on an alternate stack captures the
// stack of the code the signal interrupted.
TCodeFrame SignalFrames[64];
std::size_t SignalFrameCount = 0;

void CaptureInHandler(int) {
  SignalFrameCount = CaptureStack(SignalFrames, 64, 0);
}

int CaptureThroughSignal() {
  static char altStack[64 * 1024];
  stack_t ss{};
  ss.ss_sp = altStack;
  ss.ss_size = sizeof altStack;
  if (sigaltstack(&ss, nullptr) != 0) return 2;
  struct sigaction sa {};
  sa.sa_handler = CaptureInHandler;
  sa.sa_flags = SA_ONSTACK;
  sigaction(SIGUSR1, &sa, nullptr);
  CodeAddressRaiseSignal();
  // The interrupted frame lies inside the C library's raise; its callers
  // follow, up to the function that raised the signal.
  std::size_t i = 0;
  while (i < SignalFrameCount && !SignalFrames[i].Interrupted) ++i;
  if (i == SignalFrameCount) return 3;
  for (++i; i < SignalFrameCount; ++i) {
    std::string name;
    std::uintptr_t at = 0;
    if (NearestExportedSymbol(CallSiteAddress(SignalFrames[i]), name, at) && name == "CodeAddressRaiseSignal") return 0;
  }
  return 4;
}

TEST(CodeAddressDeathTest, CaptureInSignalHandlerReachesTheInterruptedCode) {
  EXPECT_EXIT(std::_Exit(CaptureThroughSignal()), testing::ExitedWithCode(0), "");
}

}  // namespace
