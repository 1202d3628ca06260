// The sample logs of the README and of examples/vek-demo/README.md are what
// the demo writes: it runs as their text says ("--press conversion", then
// "--press trace", with "/DEBUG /LOGFILE"), and every entry line of every
// sample block, "..." standing for lines left out, is found in its log in
// the same order. Time stamps, the blanks in front of continuation lines and
// code addresses may differ, and so may the call stacks of other builds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/LogEntries.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {

// A log or sample line as compared: an entry from its level on, a
// continuation line without its leading blanks, an address as "0x…"; empty
// for anything else (the opening and closing blocks, "...").
std::string Comparable(std::string line) {
  if (line.starts_with("# ")) {
    const std::size_t level = line.find(" [ ");
    line = level == std::string::npos ? std::string() : line.substr(level + 1);
  } else if (line.starts_with(" ")) {
    line.erase(0, line.find_first_not_of(' '));
  } else {
    line.clear();
  }
  if (line == "...") line.clear();
  if (const std::size_t address = line.find("Address      : 0x"); address != std::string::npos)
    line = line.substr(0, address) + "Address      : 0x…";
  return line;
}

// The comparable lines of a log or a sample. A call stack's lines after its
// first count only in the build the samples come from (g++, RelWithDebInfo):
// other compilers and builds name lambdas otherwise and inline less.
std::vector<std::string> ComparableLines(const std::vector<std::string>& lines) {
  std::vector<std::string> comparable;
  bool stack = false;
  for (const std::string& line : lines) {
    if (line.starts_with("#"))
      stack = false;
    else if (stack && !SAMPLES_BUILD)
      continue;
    stack = stack || line.find("Call Stack   : ") != std::string::npos;
    if (std::string text = Comparable(line); !text.empty()) comparable.push_back(std::move(text));
  }
  return comparable;
}

// The code blocks of a Markdown file that hold a report.
std::vector<std::vector<std::string>> Samples(const std::string& markdown) {
  std::vector<std::vector<std::string>> samples;
  std::vector<std::string> block;
  bool inBlock = false;
  const std::string text = ReadWholeFile(std::string(BREVANT_SOURCE_DIR) + "/" + markdown);
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    const std::string line = text.substr(start, end - start);
    if (line.starts_with("```")) {
      const auto report = [](const std::string& l) { return l.find("[ EXCEPT ]") != std::string::npos; };
      if (inBlock && std::any_of(block.begin(), block.end(), report)) samples.push_back(ComparableLines(block));
      block.clear();
      inBlock = !inBlock;
    } else if (inBlock) {
      block.push_back(line);
    }
  }
  return samples;
}

TEST(ReadmeSamples, AreWhatTheDemoWrites) {
  TTempDir dir;
  const std::string exe = dir.File("vek-demo");
  std::filesystem::copy_file(VEK_DEMO_EXE, exe);
  std::filesystem::copy_file(std::string(VEK_DEMO_EXE) + ".map", exe + ".map");
  for (const char* press : {"conversion", "trace"}) {
    TChildProcess demo({exe, "/DEBUG", "/LOGFILE", "--press", press}, {"QT_QPA_PLATFORM=offscreen"},
                       dir.File("output.txt"));
    ASSERT_EQ(demo.Wait(60s), 0) << ReadWholeFile(dir.File("output.txt"));
  }
  const std::vector<std::string> log = ComparableLines(LogLines(ReadWholeFile(dir.File("vek-demo.log"))));

  std::size_t count = 0;
  for (const char* markdown : {"README.md", "examples/vek-demo/README.md"}) {
    for (const std::vector<std::string>& sample : Samples(markdown)) {
      ++count;
      auto at = log.begin();
      for (const std::string& line : sample) {
        at = std::find(at, log.end(), line);
        ASSERT_NE(at, log.end()) << markdown << ": not in the demo's log: " << line;
        ++at;
      }
    }
  }
  EXPECT_EQ(count, 3u);  // the README's report and trace, the demo's log
}

}  // namespace
