// The diagnostics library as the maker's developers get it: this build is
// installed into a temporary prefix, and programs outside the tree are
// configured against that prefix alone (CMAKE_PREFIX_PATH), with this
// build's compiler, generator, build type and flags, built, and run.
// Their sources are copied out of the tree first, so nothing can be found
// beside them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/LogEntries.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Runs a command to its end; its output goes to `outputFile`. The exit code,
// or none when it did not end within the time-out.
std::optional<int> RunToEnd(const std::vector<std::string>& argv, const std::string& outputFile,
                            const std::vector<std::string>& env = {}) {
  TChildProcess child(argv, env, outputFile);
  return child.Wait(600s);
}

class InstalledLibrary : public ::testing::Test {
 protected:
  // One installation of the "dev" component for every test.
  static void SetUpTestSuite() {
    Prefix = new TTempDir;
    InstallStatus = RunToEnd({CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", Prefix->Path(), "--component", "dev"},
                             Prefix->File("install.txt"));
  }
  static void TearDownTestSuite() {
    delete Prefix;
    Prefix = nullptr;
  }
  void SetUp() override { ASSERT_EQ(InstallStatus, 0) << ReadWholeFile(Prefix->File("install.txt")); }

  // Configures and builds the project in `source` against the prefix (or,
  // with `tree`, against this source tree added with add_subdirectory); true
  // when both worked (their output is in the test's folder otherwise).
  ::testing::AssertionResult Build(const std::string& source, const std::string& build, bool tree = false) const {
    std::vector<std::string> configure{
        CMAKE_COMMAND,
        "-S",
        source,
        "-B",
        build,
        "-G",
        CMAKE_GENERATOR,
        tree ? "-DBREVANT_TREE=" BREVANT_SOURCE_DIR : "-DCMAKE_PREFIX_PATH=" + Prefix->Path(),
        "-DCMAKE_CXX_COMPILER=" CXX_COMPILER,
        "-DCMAKE_CXX_COMPILER_LAUNCHER=" CXX_COMPILER_LAUNCHER,
        "-DCMAKE_BUILD_TYPE=" BUILD_TYPE,
        "-DCMAKE_CXX_FLAGS=" CXX_FLAGS,
        "-DCMAKE_EXE_LINKER_FLAGS=" LINKER_FLAGS};
    const std::string output = Dir.File("build-output.txt");
    if (RunToEnd(configure, output) != 0) return ::testing::AssertionFailure() << ReadWholeFile(output);
    // The package found is the one in the prefix.
    const std::string cache = ReadWholeFile(build + "/CMakeCache.txt");
    if (!tree && cache.find("VEK_DIR:PATH=" + Prefix->Path() + "/" INSTALL_LIBDIR "/cmake/VEK\n") == std::string::npos)
      return ::testing::AssertionFailure() << "VEK was not found in the prefix:\n" << cache;
    if (RunToEnd({CMAKE_COMMAND, "--build", build}, output) != 0)
      return ::testing::AssertionFailure() << ReadWholeFile(output);
    return ::testing::AssertionSuccess();
  }

  static TTempDir* Prefix;
  static std::optional<int> InstallStatus;
  TTempDir Dir;
};

TTempDir* InstalledLibrary::Prefix = nullptr;
std::optional<int> InstalledLibrary::InstallStatus;

TEST_F(InstalledLibrary, TheDemoBuiltOutsideTheTreeReportsAConversionErrorWithItsThrowSite) {
  const std::string source = Dir.File("vek-demo");
  fs::copy(std::string(BREVANT_SOURCE_DIR) + "/examples/vek-demo", source, fs::copy_options::recursive);
  const std::string build = Dir.File("build");
  ASSERT_TRUE(Build(source, build));
  ASSERT_TRUE(fs::exists(build + "/vek-demo.map"));

  const std::string output = Dir.File("demo-output.txt");
  EXPECT_EQ(RunToEnd({build + "/vek-demo", "/DEBUG", "/LOGFILE", "--press", "conversion"}, output,
                     {"QT_QPA_PLATFORM=offscreen"}),
            0)
      << ReadWholeFile(output);
  const std::string log = ReadWholeFile(build + "/vek-demo.log");
  const auto entries = ExceptEntries(log);
  ASSERT_EQ(entries.size(), 1u) << log;
  const std::vector<std::string>& report = entries[0];
  // The throw statement's own line, class and function: the installed
  // throw-site recorder went into the demo's link, and the installed
  // generator wrote its map.
  EXPECT_EQ(report[0], "Type         : EConvertError ( Exception )");
  EXPECT_EQ(ReportValue(report, "Unit         : "), "VekDemo");
  EXPECT_EQ(ReportValue(report, "Line         : "),
            std::to_string(SourceLineOf("examples/vek-demo/VekDemo.cpp", "// the reported line")));
  EXPECT_EQ(ReportValue(report, "Class        : "), "TfmVekDemo");
  EXPECT_EQ(ReportValue(report, "Function     : "), "btnConversionErrorClick");
  EXPECT_EQ(ReportValue(report, "Sender Name  : "), "btnConversionError");
  const auto message =
      std::find(report.begin(), report.end(), "Message      : '12 pieces' is not a valid integer value");
  ASSERT_NE(message, report.end()) << log;
  ASSERT_NE(message + 1, report.end());
  EXPECT_EQ(*(message + 1), "               The order's quantity must be a whole number.");
}

TEST_F(InstalledLibrary, TheEmbeddingProgramBuildsAgainstThePrefixAlone) {
  const std::string source = Dir.File("embedder");
  fs::create_directory(source);
  fs::copy_file(std::string(BREVANT_SOURCE_DIR) + "/tests/e2e/EmbedderDemo.cpp", source + "/EmbedderDemo.cpp");
  fs::copy_file(std::string(BREVANT_SOURCE_DIR) + "/tests/e2e/installed-embedder/CMakeLists.txt",
                source + "/CMakeLists.txt");
  const std::string build = Dir.File("build");
  ASSERT_TRUE(Build(source, build));
  EXPECT_TRUE(fs::exists(build + "/EmbedderDemo"));
  EXPECT_TRUE(fs::exists(build + "/EmbedderDemo.map"));
}

// Each installed header compiles alone, against the prefix and nothing else:
// whatever it needs is declared in it or installed with it.
TEST_F(InstalledLibrary, EachInstalledHeaderCompilesAlone) {
  const std::string source = Dir.File("headers");
  fs::create_directory(source);
  std::string sources;
  int count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(Prefix->Path() + "/include/vek")) {
    if (!entry.is_regular_file()) continue;
    const std::string header = fs::relative(entry.path(), Prefix->Path() + "/include/vek").string();
    const std::string file = "h" + std::to_string(++count) + ".cpp";
    std::ofstream(source + "/" + file) << "#include \"" << header << "\"\n";
    sources += " " + file;
  }
  std::ofstream(source + "/CMakeLists.txt")
      << "cmake_minimum_required(VERSION 3.25)\nproject(Headers LANGUAGES CXX)\nfind_package(VEK CONFIG REQUIRED)\n"
      << "add_library(Headers OBJECT" << sources << ")\ntarget_link_libraries(Headers PRIVATE VEK::VEK)\n";
  EXPECT_TRUE(Build(source, Dir.File("build")));
}

// The tree added with add_subdirectory, as FetchContent adds it: its
// libraries and generator are built for the program (in a folder of the
// build that later runs reuse), the program includes diag/U_VEK_Debug.h
// alone, and its map names the traced procedure that threw.
TEST_F(InstalledLibrary, AProgramAddingTheTreeReportsATracedException) {
  const std::string project = BUILD_DIR "/tests/e2e/subdirectory-embedder";
  fs::create_directories(project + "/source");
  for (const char* file : {"CMakeLists.txt", "TracedEmbedder.cpp"})
    fs::copy_file(std::string(BREVANT_SOURCE_DIR) + "/tests/e2e/subdirectory-embedder/" + file,
                  project + "/source/" + file, fs::copy_options::overwrite_existing);
  const std::string build = project + "/build";
  // The program is linked, and its map written, afresh by this run.
  for (const char* made : {"/TracedEmbedder", "/TracedEmbedder.map"}) fs::remove(build + made);
  ASSERT_TRUE(Build(project + "/source", build, true));

  const std::string exe = Dir.File("TracedEmbedder");
  fs::copy_file(build + "/TracedEmbedder", exe);
  fs::copy_file(build + "/TracedEmbedder.map", exe + ".map");
  const std::string output = Dir.File("run-output.txt");
  EXPECT_EQ(RunToEnd({exe, "/DEBUG", "/LOGFILE"}, output, {"QT_QPA_PLATFORM=offscreen"}), 0) << ReadWholeFile(output);
  const std::string log = ReadWholeFile(exe + ".log");
  EXPECT_NE(log.find("[ ENTER  ]   TracedEmbedder::ParseQuantity ( 7 , 'seven pieces' )\r\n"), std::string::npos)
      << log;
  const auto entries = ExceptEntries(log);
  ASSERT_EQ(entries.size(), 1u) << log;
  // Indented under the ENTER entry of the procedure that reported it.
  EXPECT_EQ(ReportValue(entries[0], "  Unit         : "), "TracedEmbedder");
  EXPECT_EQ(ReportValue(entries[0], "  Line         : "),
            std::to_string(SourceLineOf("tests/e2e/subdirectory-embedder/TracedEmbedder.cpp", "// the reported line")));
  EXPECT_EQ(ReportValue(entries[0], "  Function     : "), "ParseQuantity");
}

// What each package of a later packaging step takes from `cmake --install`.
TEST_F(InstalledLibrary, EachComponentInstallsItsOwnFiles) {
  const struct {
    const char* Component;
    std::vector<std::string> Files;
  } rows[] = {
      {"dev",
       {"include/vek/diag/U_VEK_Debug.h",
        "include/vek/diag/U_VEK_ExceptionInfos.h",
        "include/vek/diag/U_VEK_ExecuteFile.h",
        "include/vek/diag/U_VEK_FileVersion.h",
        "include/vek/diag/U_VEK_Files.h",
        "include/vek/diag/U_VEK_Global.h",
        "include/vek/diag/U_VEK_LogFile.h",
        "include/vek/diag/U_VEK_MapFile.h",
        "include/vek/diag/U_VEK_ObjectInfos.h",
        "include/vek/diag/U_VEK_RaiseError.h",
        "include/vek/diag/U_VEK_SafeFree.h",
        "include/vek/diag/U_VEK_System.h",
        "include/vek/diag/U_VEK_Trace.h",
        "include/vek/diag/U_VEK_TypedValue.h",
        "include/vek/runtime/Application.h",
        "include/vek/runtime/Conversions.h",
        "include/vek/runtime/Exceptions.h",
        "include/vek/runtime/QtText.h",
        "include/vek/runtime/Shutdown.h",
        "include/vek/base/Conversions.h",
        "include/vek/base/Exceptions.h",
        "include/vek/base/Shutdown.h",
        "include/vek/base/TextUtil.h",
        "include/vek/platform/CodeAddress.h",
        "include/vek/platform/FatalSignal.h",
        "include/vek/platform/PageMemory.h",
        "include/vek/platform/ThrowSite.h",
        INSTALL_LIBDIR "/cmake/VEK/VEKConfig.cmake",
        INSTALL_LIBDIR "/cmake/VEK/VEKConfigVersion.cmake",
        INSTALL_LIBDIR "/cmake/VEK/VekMapFile.cmake",
        INSTALL_LIBDIR "/libbrevant_diag.a",
        INSTALL_LIBDIR "/libbrevant_runtime.a",
        INSTALL_LIBDIR "/libbrevant_platform.a",
        INSTALL_LIBDIR "/libbrevant_base.a",
        "bin/vek-mapgen"}},
      {"wizard", {"bin/Brevant", "bin/Brevant.map"}},
      {"server", {"bin/brevant-update-server"}},
  };
  for (const auto& row : rows) {
    const TTempDir prefix;
    const std::string output = Dir.File("install.txt");
    ASSERT_EQ(RunToEnd({CMAKE_COMMAND, "--install", BUILD_DIR, "--prefix", prefix.Path(), "--component", row.Component},
                       output),
              0)
        << ReadWholeFile(output);
    std::vector<std::string> installed;
    for (const auto& entry : fs::recursive_directory_iterator(prefix.Path()))
      if (entry.is_regular_file()) installed.push_back(fs::relative(entry.path(), prefix.Path()).string());
    for (const std::string& file : row.Files)
      EXPECT_NE(std::find(installed.begin(), installed.end(), file), installed.end()) << row.Component << ": " << file;
    // The headers a program includes, none of the library's own.
    for (const std::string& file : installed) {
      if (!file.starts_with("include/")) continue;
      EXPECT_NE(std::find(row.Files.begin(), row.Files.end(), file), row.Files.end()) << row.Component << ": " << file;
    }
    // Nothing of another component comes along.
    for (const auto& other : rows) {
      if (&other == &row) continue;
      for (const std::string& file : other.Files) {
        EXPECT_EQ(std::find(installed.begin(), installed.end(), file), installed.end())
            << row.Component << " has " << file;
      }
    }
  }
}

}  // namespace
