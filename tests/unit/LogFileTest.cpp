// The log file: its format to the byte, the bookkeeping of lines and saves,
// reading old runs back, and what happens when the disk misbehaves (through
// a fault-injecting storage) or the file is deleted under it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Exceptions.h"
#include "diag/F_VEK_Log.h"
#include "diag/U_VEK_Global.h"
#include "diag/U_VEK_LogFile.h"
#include "diag/U_VEK_LogStorage.h"
#include "diag/U_VEK_System.h"
#include "runtime/Application.h"
#include "runtime/LocaleText.h"
#include "runtime/MessageBox.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace {

constexpr std::string_view Dash =
    "-----------------------------------------------------------------------------------------";
static_assert(Dash.size() == 89);

TApplication* TestApp = nullptr;

class TAppEnvironment : public ::testing::Environment {
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char arg0[] = "LogFileTest";
    static char* argv[] = {arg0, nullptr};
    TestApp = new TApplication(argc, argv);
    TestApp->SetTitle("Brevant");
    TMessageBox::SetAutoAnswer(true);
  }
  void TearDown() override {
    delete TestApp;
    TestApp = nullptr;
  }
};
[[maybe_unused]] ::testing::Environment* const Env = ::testing::AddGlobalTestEnvironment(new TAppEnvironment);

// A writer that takes a limited number of bytes, like a disk filling up;
// CountOnClose, when set, counts the writes that completed.
class TLimitedWriter final : public TVEKLogWriter {
 public:
  TLimitedWriter(std::unique_ptr<TVEKLogWriter> Real, std::optional<std::size_t>& Budget, bool FailSync,
                 int* CountOnClose = nullptr)
      : FReal(std::move(Real)), FBudget(Budget), FFailSync(FailSync), FCountOnClose(CountOnClose) {}
  void Append(std::string_view Data) override {
    if (FBudget && Data.size() > *FBudget) {
      FReal->Append(Data.substr(0, *FBudget));
      *FBudget = 0;
      throw EInOutError("Cannot write file. No space left on device", ENOSPC);
    }
    if (FBudget) *FBudget -= Data.size();
    FReal->Append(Data);
  }
  void Sync() override {
    if (FFailSync) throw EInOutError("Cannot write file. Input/output error", EIO);
    FReal->Sync();
  }
  void Close() override {
    FReal->Close();
    if (FCountOnClose) ++*FCountOnClose;
  }

 private:
  std::unique_ptr<TVEKLogWriter> FReal;
  std::optional<std::size_t>& FBudget;
  bool FFailSync;
  int* FCountOnClose;
};

// The real file system with faults on request, and counts of the calls.
class TFaultyStorage final : public TVEKLogStorage {
 public:
  TFaultyStorage() { FPrevious = SetVEKLogStorage(this); }
  ~TFaultyStorage() override { SetVEKLogStorage(FPrevious); }

  // Faults.
  bool NoNewFiles = false;                 // the folder refuses new files (EACCES)
  bool FailRead = false;                   // reading raises EACCES
  std::optional<std::size_t> WriteBudget;  // bytes the disk still takes
  bool FailSync = false;
  bool FailRename = false;
  // Counts.
  int ExistsCalls = 0;
  int Saves = 0;  // replacements that reached the disk

  void Heal() {
    NoNewFiles = FailRead = FailSync = FailRename = false;
    WriteBudget.reset();
  }

  bool FileExists(const std::string& FileName) override {
    ++ExistsCalls;
    return Real.FileExists(FileName);
  }
  void CreateEmptyFile(const std::string& FileName) override {
    if (NoNewFiles) Refuse(FileName);
    Real.CreateEmptyFile(FileName);
  }
  std::vector<std::string> ReadLines(const std::string& FileName, std::size_t MaxCount) override {
    if (FailRead) throw EInOutError("Cannot open file \"" + FileName + "\". Permission denied", EACCES);
    return Real.ReadLines(FileName, MaxCount);
  }
  std::string SaveTarget(const std::string& FileName) override { return Real.SaveTarget(FileName); }
  std::unique_ptr<TVEKLogWriter> NewWriter(const std::string& Prefix, const std::string& ModelFile,
                                           std::string& FileName) override {
    if (NoNewFiles) Refuse(Prefix + "tmp");
    return std::make_unique<TLimitedWriter>(Real.NewWriter(Prefix, ModelFile, FileName), WriteBudget, FailSync);
  }
  std::unique_ptr<TVEKLogWriter> RewriteInPlace(const std::string& FileName) override {
    return std::make_unique<TLimitedWriter>(Real.RewriteInPlace(FileName), WriteBudget, FailSync, &Saves);
  }
  void RenameFile(const std::string& From, const std::string& To) override {
    if (FailRename) throw EInOutError("Cannot rename file. Device or resource busy", EBUSY);
    Real.RenameFile(From, To);
    ++Saves;
  }
  void RemoveFile(const std::string& FileName) noexcept override { Real.RemoveFile(FileName); }
  void SyncFolder(const std::string& Folder) noexcept override { Real.SyncFolder(Folder); }

 private:
  [[noreturn]] static void Refuse(const std::string& FileName) {
    throw EInOutError("Cannot create file \"" + FileName + "\". Permission denied", EACCES);
  }
  TVEKFileSystemLogStorage Real;
  TVEKLogStorage* FPrevious;
};

// The system's text for an error number, as the messages quote it.
std::string Reason(int err) {
  return std::generic_category().message(err);
}

std::string Text(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\r\n";
  return s;
}

std::string TextOf(const std::deque<std::string>& lines) {
  return Text(std::vector<std::string>(lines.begin(), lines.end()));
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

const std::string OpeningAt34 = Text({
    "# " + std::string(Dash),
    "# START LOGGING : Brevant at 06/12/2026 23:41:34",
    "# " + std::string(Dash),
    "# PROCESS  : C:\\Program Files\\Brevant\\Brevant.exe",
    "# USER     : user1",
    "# COMPUTER : PC-01",
    "# SYSTEM   : Windows NT v5.1.2600 Service Pack 2",
    "# " + std::string(Dash),
    "# ",
});

// The application and system objects of a known machine.
class TTestApplication final : public TVEKApplication {};
class TTestWindows final : public TVEKWindows {};

// A log file in a temporary folder, with a clock the test sets.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TMessageBox::ClearHistory();
    VEKWindows = Windows = new TTestWindows;
    Windows->UserName = "user1";
    Windows->ComputerName = "PC-01";
    Windows->OSVersion = "Windows NT v5.1.2600 Service Pack 2";
    VEKApplication = App = new TTestApplication;
    App->Title = "Brevant";
    App->ExeName = "C:\\Program Files\\Brevant\\Brevant.exe";
    Log.emplace();
    Log->FileName = Name;
    Log->Clock = [this] { return Stamp; };
    Log->Opening = {App->Title, App->ExeName, Windows->UserName, Windows->ComputerName, Windows->OSVersion};
  }
  void TearDown() override {
    Log.reset();
    DropSystemObjects();
  }

  void DropSystemObjects() {
    if (Log) Log->Opening = {};
    VEKApplication = nullptr;
    VEKWindows = nullptr;
    delete App;
    App = nullptr;
    delete Windows;
    Windows = nullptr;
  }

  void WriteInfo(int count, const std::string& text = "entry") {
    for (int i = 0; i < count; ++i) Log->Write(llInfo, text + " " + std::to_string(i), false);
  }

  TTempDir Dir;
  std::string Name = Dir.File("Brevant.log");
  std::string Stamp = "06/12/2026 23:41:34";
  std::optional<TVEKLogFile> Log;
  TTestApplication* App = nullptr;
  TTestWindows* Windows = nullptr;
};

// ---------------------------------------------------------------------------
// Format

TEST_F(LogFileTest, FirstRunCreatesTheFileEmptyAndSavesTheSampleLayoutToTheByte) {
  Log->SetActive(true);
  EXPECT_EQ(ReadWholeFile(Name), "");  // created empty; the opening waits for a save
  ASSERT_TRUE(fs::exists(Name));
  Stamp = "06/12/2026 23:41:40";
  Log->Write(llInfo, "first line of the message\r\nsecond line of the message", true);
  EXPECT_EQ(ReadWholeFile(Name), OpeningAt34 + "# 06/12/2026 23:41:40 [ INFO   ] first line of the message\r\n" +
                                     std::string(33, ' ') + "second line of the message\r\n");
  Stamp = "06/12/2026 23:45:02";
  const std::string closing =
      Text({"# ", "# " + std::string(Dash), "# STOP LOGGING at 06/12/2026 23:45:02", "# " + std::string(Dash), "# "});
  Log->SetActive(false);
  EXPECT_FALSE(Log->Active());
  EXPECT_THAT(ReadWholeFile(Name), EndsWith("second line of the message\r\n" + closing));
  // The destructor closes and saves the same way.
  Log->SetActive(true);
  Log.reset();
  EXPECT_THAT(ReadWholeFile(Name), EndsWith("# " + std::string(Dash) + "\r\n# \r\n" + closing));
}

TEST_F(LogFileTest, EveryLevelShowsItsTextAndIndentsByItsPrefix) {
  Log->SetActive(true);
  Log->Lines.clear();
  Stamp = "1/2/03 4:05:06";  // a short stamp: the indent follows the prefix
  for (TVEKLogLevel l : {llInfo, llError, llExcept, llEnter, llLeave}) Log->Write(l, "m\r\nx", false);
  Log->Write(llNone, "zero\r\nnext", false);
  Log->Write(llNone, "", false);
  Log->Write(llInfo, "lone\rcr\nlf", false);
  Log->Write(llInfo, "ends\r\n", false);
  Log->Save();
  const std::string pad(2 + 14 + 3 + 6 + 3, ' ');
  EXPECT_EQ(ReadWholeFile(Name),
            "# 1/2/03 4:05:06 [ INFO   ] m\r\n" + pad + "x\r\n" + "# 1/2/03 4:05:06 [ ERROR  ] m\r\n" + pad + "x\r\n" +
                "# 1/2/03 4:05:06 [ EXCEPT ] m\r\n" + pad + "x\r\n" + "# 1/2/03 4:05:06 [ ENTER  ] m\r\n" + pad +
                "x\r\n" + "# 1/2/03 4:05:06 [ LEAVE  ] m\r\n" + pad + "x\r\n" +
                "# zero\r\n  next\r\n# \r\n# 1/2/03 4:05:06 [ INFO   ] lone\rcr\nlf\r\n" +
                "# 1/2/03 4:05:06 [ INFO   ] ends\r\n" + pad + "\r\n");
  EXPECT_EQ(Log->Lines.size(), 9u);  // one item per entry
}

TEST_F(LogFileTest, ContinuationLinesCountTheStampsCharactersNotItsBytes) {
  Log->SetActive(true);
  Log->Lines.clear();
  Stamp = "2026. 12. 8. \xec\x98\xa4\xed\x9b\x84 4:59:46";  // a Korean stamp: 23 characters, 27 bytes
  Log->Write(llInfo, "first\r\nsecond", false);
  EXPECT_EQ(Log->Lines.back(),
            "# " + Stamp + " [ INFO   ] first\r\n" + std::string(2 + 23 + 3 + 6 + 3, ' ') + "second");
}

TEST_F(LogFileTest, OpeningBlockWithoutSystemObjectsAndWithTheRealClock) {
  DropSystemObjects();
  Log->Clock = TVEKLogFile().Clock;  // as constructed
  const std::time_t before = std::time(nullptr);
  Log->SetActive(true);
  const std::time_t after = std::time(nullptr);
  std::string stamp = "?";
  for (std::time_t t = before; t <= after; ++t)
    if (Log->Lines[1] == "# START LOGGING :  at " + DateTimeText(t)) stamp = DateTimeText(t);
  EXPECT_THAT(
      std::vector<std::string>(Log->Lines.begin(), Log->Lines.end()),
      ElementsAre("# " + std::string(Dash), "# START LOGGING :  at " + stamp, "# " + std::string(Dash),
                  "# PROCESS  : ", "# USER     : ", "# COMPUTER : ", "# SYSTEM   : ", "# " + std::string(Dash), "# "));
}

// ---------------------------------------------------------------------------
// Switching and reading back

TEST_F(LogFileTest, WhileLoggingIsOffNothingIsWrittenSavedOrShown) {
  TFaultyStorage storage;
  Log->Write(llInfo, "x", true);
  Log->Save();
  Log->ShowLog();
  Log->SetActive(false);
  EXPECT_FALSE(fs::exists(Name));
  EXPECT_TRUE(Log->Lines.empty());
  EXPECT_EQ(storage.ExistsCalls, 0);
  EXPECT_FALSE(Log->Viewer->isVisible());
  Dir.Write("Brevant.log", "old\r\n");
  Log->Write(llInfo, "x", true);
  EXPECT_EQ(ReadWholeFile(Name), "old\r\n");
}

TEST_F(LogFileTest, SwitchingOffAndOnClosesThenReadsBackAndOpensAgain) {
  Dir.Write("Brevant.log", "# old run\r\n  continued\rlone cr\nlone lf\r\n\xE9t\xE9\r\n\r\n");
  Log->SetActive(true);
  EXPECT_THAT(std::vector<std::string>(Log->Lines.begin(), Log->Lines.begin() + 7),
              ElementsAre("# old run", "  continued", "lone cr", "lone lf", "\xE9t\xE9", "", "# " + std::string(Dash)));
  Log->SetActive(false);
  const std::string first = ReadWholeFile(Name);
  EXPECT_THAT(first, StartsWith("# old run\r\n  continued\r\nlone cr\r\nlone lf\r\n\xE9t\xE9\r\n\r\n" + OpeningAt34));
  Stamp = "07/12/2026 08:00:00";
  Log->SetActive(true);
  Log->SetActive(true);  // the value it has: nothing happens
  Log->Save();
  EXPECT_EQ(ReadWholeFile(Name), first + "# " + std::string(Dash) +
                                     "\r\n# START LOGGING : Brevant at 07/12/2026 08:00:00\r\n" +
                                     OpeningAt34.substr(OpeningAt34.find("# " + std::string(Dash), 10)));
}

TEST_F(LogFileTest, LinesAFailedStopCouldNotSaveSurviveSwitchingOnAgain) {
  TFaultyStorage storage;
  Log->SetActive(true);
  WriteInfo(3, "precious");
  storage.FailRename = true;
  Log->SetActive(false);  // the closing save fails
  storage.Heal();
  Log->SetActive(true);  // the older file must not replace them
  Log->Save();
  EXPECT_THAT(ReadWholeFile(Name), HasSubstr("precious 2\r\n"));
}

// ---------------------------------------------------------------------------
// Lines and saves

TEST_F(LogFileTest, TheNewestFiveThousandItemsAreKeptAndTheOldestDroppedBeforeTheSave) {
  TFaultyStorage storage;
  Log->SetActive(true);  // 9 items
  WriteInfo(4991);
  ASSERT_EQ(Log->Lines.size(), 5000u);
  EXPECT_EQ(storage.Saves, 50);
  Log->Write(llInfo, "5001st", false);
  EXPECT_EQ(Log->Lines.size(), 5000u);
  EXPECT_EQ(Log->Lines.front(), "# START LOGGING : Brevant at 06/12/2026 23:41:34");
  WriteInfo(99, "more");
  ASSERT_EQ(storage.Saves, 51);  // at the 5100th entry: exactly the newest 5000
  const std::vector<std::string> saved = VEKLastLines(ReadWholeFile(Name), 100000);
  ASSERT_EQ(saved.size(), 5000u);
  EXPECT_EQ(saved.front(), "# 06/12/2026 23:41:34 [ INFO   ] entry 91");
  EXPECT_EQ(saved.back(), "# 06/12/2026 23:41:34 [ INFO   ] more 98");
}

TEST_F(LogFileTest, AMultiLineEntryCountsOnceUntilReadBack) {
  Log->MaxLines = 12;
  Log->SetActive(true);
  Log->Write(llNone, "a\r\nb\r\nc", false);
  Log->Write(llNone, "d", false);
  EXPECT_EQ(Log->Lines.size(), 11u);
  Log->SetActive(false);  // 5 more items: the oldest 4 go
  ASSERT_EQ(Log->Lines.size(), 12u);
  EXPECT_EQ(Log->Lines.front(), "# USER     : user1");
  // Read back, each of the file's 14 lines counts; 14 + 9 trimmed to 20.
  TVEKLogFile next;
  next.FileName = Name;
  next.MaxLines = 20;
  next.SetActive(true);
  ASSERT_EQ(next.Lines.size(), 20u);
  EXPECT_EQ(next.Lines[0], "# " + std::string(Dash));
  EXPECT_EQ(next.Lines[3], "  b");
  next.SetActive(false);
}

TEST_F(LogFileTest, SavesHappenEveryHundredEntriesOrOnRequestAndEachEntryChecksTheFile) {
  TFaultyStorage storage;
  Log->SetActive(true);  // 9 entries
  const int existsAfterStart = storage.ExistsCalls;
  WriteInfo(90);
  EXPECT_EQ(storage.Saves, 0);
  EXPECT_EQ(Log->UnsavedCount, 99);
  WriteInfo(1);
  EXPECT_EQ(storage.Saves, 1);
  EXPECT_EQ(Log->UnsavedCount, 0);
  EXPECT_EQ(storage.ExistsCalls, existsAfterStart + 91);
  WriteInfo(99);
  EXPECT_EQ(storage.Saves, 1);
  WriteInfo(1);
  EXPECT_EQ(storage.Saves, 2);
  Log->Write(llInfo, "now", true);
  EXPECT_EQ(storage.Saves, 3);
  EXPECT_EQ(Log->UnsavedCount, 0);
  EXPECT_EQ(ReadWholeFile(Name), TextOf(Log->Lines));
}

TEST_F(LogFileTest, ADeletedLogOrVanishedFolderIsHealedByTheNextEntryAndSave) {
  Log->SetActive(true);
  WriteInfo(5);
  Log->Save();
  fs::remove(Name);
  WriteInfo(1, "after");
  EXPECT_EQ(ReadWholeFile(Name), "");  // created empty again
  ASSERT_TRUE(fs::exists(Name));
  WriteInfo(85, "fill");  // up to the next automatic save
  EXPECT_EQ(ReadWholeFile(Name), TextOf(Log->Lines));

  // The folder itself goes: the entries stay in memory until it is back.
  fs::remove_all(Dir.Path());
  WriteInfo(100, "gone");
  EXPECT_EQ(Log->Lines.size(), 200u);
  EXPECT_GE(Log->UnsavedCount, Log->SaveEvery);
  fs::create_directory(Dir.Path());
  WriteInfo(1, "back");  // retried at once
  EXPECT_EQ(Log->UnsavedCount, 0);
  EXPECT_EQ(ReadWholeFile(Name), TextOf(Log->Lines));
}

// ---------------------------------------------------------------------------
// Saves that fail

struct TSaveFault {
  const char* Name;
  void (*Arm)(TFaultyStorage&);
};
void PrintTo(const TSaveFault& f, std::ostream* os) {
  *os << f.Name;
}

class LogSaveFaultTest : public LogFileTest, public ::testing::WithParamInterface<TSaveFault> {};

TEST_P(LogSaveFaultTest, KeepsTheOldFileAndTheEntriesAndRetriesWithEveryEntry) {
  TFaultyStorage storage;
  Log->SetActive(true);
  WriteInfo(20);
  Log->Save();
  const std::string before = ReadWholeFile(Name);
  Log->MaxLines = 60;  // the log scrolls: the new content differs from its first byte

  GetParam().Arm(storage);
  WriteInfo(71, "lost?");  // reaches 100 entries: the save fails
  EXPECT_EQ(ReadWholeFile(Name), before);
  EXPECT_THAT(FolderEntries(Dir.Path()), ElementsAre("Brevant.log"));  // no temporary file left
  EXPECT_EQ(Log->Lines.back(), "# 06/12/2026 23:41:34 [ INFO   ] lost? 70");
  EXPECT_EQ(Log->UnsavedCount, 100);
  const int saves = storage.Saves;
  WriteInfo(1, "again");  // tries again, fails again
  EXPECT_EQ(Log->UnsavedCount, 101);
  EXPECT_EQ(ReadWholeFile(Name), before);

  storage.Heal();
  WriteInfo(1, "recovered");
  EXPECT_EQ(storage.Saves, saves + 1);
  EXPECT_EQ(Log->UnsavedCount, 0);
  EXPECT_EQ(ReadWholeFile(Name), TextOf(Log->Lines));
  EXPECT_THAT(ReadWholeFile(Name), HasSubstr("lost? 70\r\n"));
}

INSTANTIATE_TEST_SUITE_P(Faults, LogSaveFaultTest,
                         ::testing::Values(TSaveFault{"FullDisk", [](TFaultyStorage& s) { s.WriteBudget = 100; }},
                                           TSaveFault{"FullDiskAtOnce", [](TFaultyStorage& s) { s.WriteBudget = 0; }},
                                           TSaveFault{"FailedFlush", [](TFaultyStorage& s) { s.FailSync = true; }},
                                           TSaveFault{"FailedRename", [](TFaultyStorage& s) { s.FailRename = true; }},
                                           TSaveFault{"NoNewFilesNoRoom",
                                                      [](TFaultyStorage& s) {
                                                        s.NoNewFiles = true;
                                                        s.WriteBudget = 0;
                                                      }}),
                         [](const ::testing::TestParamInfo<TSaveFault>& info) { return std::string(info.param.Name); });

TEST_F(LogFileTest, AFolderRefusingNewFilesStillSavesAWritableLogInPlace) {
  TFaultyStorage storage;
  Dir.Write("Brevant.log", std::string(20000, 'x') + "\r\n");  // longer than what is saved
  Log->SetActive(true);
  storage.NoNewFiles = true;
  Log->Lines.pop_front();
  Log->Save();
  EXPECT_EQ(ReadWholeFile(Name), OpeningAt34);
  EXPECT_THAT(FolderEntries(Dir.Path()), ElementsAre("Brevant.log"));
}

// ---------------------------------------------------------------------------
// Starts that fail

TEST_F(LogFileTest, AFailedStartTellsTheUserAndLeavesLoggingOff) {
  TFaultyStorage storage;
  storage.NoNewFiles = true;  // a folder without write access
  Log->SetActive(true);
  EXPECT_FALSE(Log->Active());
  ASSERT_EQ(TMessageBox::History().size(), 1u);
  EXPECT_EQ(TMessageBox::History()[0].Caption, "Brevant");
  EXPECT_EQ(TMessageBox::History()[0].Icon, TMsgIcon::None);
  EXPECT_EQ(TMessageBox::History()[0].Text, "Error on starting logging " + Name +
                                                "\r\nTrace is disabled...\r\n\r\nCannot create file \"" + Name +
                                                "\". Permission denied");
  // Nothing more is written, and the file is never touched again.
  storage.Heal();
  const int calls = storage.ExistsCalls;
  WriteInfo(200);
  Log->ShowLog();
  EXPECT_TRUE(Log->Lines.empty());
  EXPECT_EQ(storage.ExistsCalls, calls);
  EXPECT_FALSE(fs::exists(Name));
  EXPECT_FALSE(Log->Viewer->isVisible());
}

TEST_F(LogFileTest, AFolderOrAnUnreadableLogMakesTheStartFail) {
  const std::string folder = Dir.File("folder.log");
  fs::create_directory(folder);
  const std::string unreadable = Dir.Write("unreadable.log", "old\r\n");
  TFaultyStorage storage;
  for (const auto& [file, reason] :
       {std::pair{folder, "Cannot create file \"" + folder + "\". " + Reason(EISDIR)},
        std::pair{unreadable, "Cannot open file \"" + unreadable + "\". Permission denied"}}) {
    TMessageBox::ClearHistory();
    storage.FailRead = file == unreadable;  // root reads everything: through the storage
    TVEKLogFile log;
    log.FileName = file;
    log.SetActive(true);
    EXPECT_FALSE(log.Active());
    ASSERT_EQ(TMessageBox::History().size(), 1u);
    EXPECT_EQ(TMessageBox::History()[0].Text,
              "Error on starting logging " + file + "\r\nTrace is disabled...\r\n\r\n" + reason);
  }
  EXPECT_EQ(ReadWholeFile(unreadable), "old\r\n");
}

TEST_F(LogFileTest, AHugeLogIsReadBackByItsNewestLines) {
  // A log larger than what is read back, as 5000 entries of 20 KB make it:
  // its start (sparse, costs no disk space) is skipped, its end kept.
  const std::string huge = Dir.File("huge.log");
  { std::ofstream(huge) << "oldest\r\n"; }
  fs::resize_file(huge, MaxLogReadBack + 100);
  { std::ofstream(huge, std::ios::app) << "\r\nnewer\r\nnewest\r\n"; }
  Log->FileName = huge;
  Log->SetActive(true);
  ASSERT_TRUE(Log->Active());
  EXPECT_TRUE(TMessageBox::History().empty());
  ASSERT_GE(Log->Lines.size(), 3u);
  EXPECT_EQ(Log->Lines[0], "newer");
  EXPECT_EQ(Log->Lines[1], "newest");
  Log->SetActive(false);
  EXPECT_THAT(ReadWholeFile(huge), StartsWith("newer\r\nnewest\r\n" + OpeningAt34));

  // Where the cut falls: a line cut short is dropped, a line that begins
  // right at the cut is kept, and a CR LF split by the cut starts no line.
  struct TCut {
    const char* EndBefore;  // the last bytes before what is read back
    const char* Start;      // the first bytes of what is read back
    bool FirstKept;
  };
  for (const TCut& cut : {TCut{"x\r", "\nfirst", true}, TCut{"x\r\n", "first", true}, TCut{"x\r", "first", true},
                          TCut{"x\n", "first", true}, TCut{"x", "first", false}}) {
    SCOPED_TRACE(testing::PrintToString(std::string(cut.EndBefore) + "|" + cut.Start));
    const std::string file = Dir.File("cut.log");
    const std::string end = "\r\nkept\r\nb\r\n";
    { std::ofstream(file, std::ios::trunc) << "old"; }
    fs::resize_file(file, 1000);
    { std::ofstream(file, std::ios::app) << cut.EndBefore << cut.Start; }
    // Sparse filler up to the exact size that puts the cut after EndBefore.
    fs::resize_file(file, 1000 + std::strlen(cut.EndBefore) + MaxLogReadBack - end.size());
    { std::ofstream(file, std::ios::app) << end; }
    const auto lines = TVEKFileSystemLogStorage().ReadLines(file, 10);
    ASSERT_EQ(lines.size(), cut.FirstKept ? 3u : 2u);
    if (cut.FirstKept) {
      EXPECT_EQ(lines[0].substr(0, 5), "first");
    }
    EXPECT_EQ(lines[lines.size() - 2], "kept");
    EXPECT_EQ(lines.back(), "b");
  }
}

TEST_F(LogFileTest, AFolderWithoutWriteAccessOnTheRealFileSystem) {
  if (::geteuid() == 0) GTEST_SKIP() << "root ignores permissions";
  const std::string locked = Dir.File("locked");
  fs::create_directory(locked);
  const std::string prepared = locked + "/prepared.log";
  { std::ofstream(prepared) << "old\r\n"; }
  ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
  // The log of a program installed there goes to the user's state folder.
  ::setenv("XDG_STATE_HOME", Dir.File("state").c_str(), 1);
  Log->FileName = locked + "/Brevant.log";
  Log->SetActive(true);
  EXPECT_TRUE(Log->Active());
  EXPECT_TRUE(TMessageBox::History().empty());
  EXPECT_EQ(Log->FileName, Dir.File("state/quellmark/Brevant.log"));
  Log->SetActive(false);
  EXPECT_THAT(ReadWholeFile(Log->FileName), StartsWith(OpeningAt34));
  ::unsetenv("XDG_STATE_HOME");
  // A writable log prepared in the locked folder is still kept up to date.
  Log->FileName = prepared;
  Log->SetActive(true);
  Log->SetActive(false);
  EXPECT_THAT(ReadWholeFile(prepared), StartsWith("old\r\n" + OpeningAt34));
  EXPECT_THAT(FolderEntries(locked), ElementsAre("prepared.log"));
}

// ---------------------------------------------------------------------------
// Storage details

TEST(LogStorageTest, ReplacingKeepsLinksAndPermissionsAndNeverWritesThroughAStaleTemporaryLink) {
  TTempDir dir;
  const std::string real = dir.Write("real.log", "old\r\n");
  ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
  const std::string link = dir.File("Brevant.log");
  fs::create_symlink(real, link);
  const std::string victim = dir.Write("victim", "keep");
  fs::create_symlink(victim, real + ".tmp");
  TVEKFileSystemLogStorage storage;
  const std::string big(200000, 'y');  // longer than one write piece
  storage.ReplaceFile(link, {"a", big, "b"});
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadWholeFile(real), "a\r\n" + big + "\r\nb\r\n");
  EXPECT_EQ(fs::status(real).permissions() & fs::perms::all, fs::perms(0640));
  EXPECT_EQ(ReadWholeFile(victim), "keep");
  // A file of that name belongs to somebody else: it is left alone.
  EXPECT_THAT(FolderEntries(dir.Path()), ElementsAre("Brevant.log", "real.log", "real.log.tmp", "victim"));
  EXPECT_EQ(fs::read_symlink(real + ".tmp"), victim);
  EXPECT_THROW(storage.ReplaceFile("", {"x"}), EInOutError);
}

TEST(LogStorageTest, ReadingKeepsOnlyTheNewestLinesOfAHugeFile) {
  // Five million empty lines: bounded by the count asked for, not by the file.
  EXPECT_EQ(VEKLastLines(std::string(5'000'000, '\n'), 5000).size(), 5000u);
  EXPECT_THAT(VEKLastLines("a\r\nb\rc\n\r\nd", 3), ElementsAre("c", "", "d"));
  EXPECT_THAT(VEKLastLines("a\r\r\n", 5), ElementsAre("a", ""));
  EXPECT_TRUE(VEKLastLines("a\r\n", 0).empty());
  TTempDir dir;
  EXPECT_THROW(TVEKFileSystemLogStorage().ReadLines(dir.File("missing"), 10), EInOutError);
  EXPECT_FALSE(TVEKFileSystemLogStorage().FileExists(dir.Path()));
}

// ---------------------------------------------------------------------------

TEST_F(LogFileTest, RaiseErrorWritesAnErrorEntryWithoutSaving) {
  ASSERT_EQ(RaiseErrorLogHook, &VEKLogRaiseError);
  TVEKLogFile& appLog = *App->LogFile;
  appLog.FileName = Name;
  appLog.Clock = [this] { return Stamp; };
  appLog.SetActive(true);
  EXPECT_THROW(RaiseError("Disk gone\r\nreally", false, smTerminate), EAbort);
  EXPECT_EQ(appLog.Lines.back(), "# 06/12/2026 23:41:34 [ ERROR  ] Disk gone\r\n" + std::string(33, ' ') + "really");
  EXPECT_EQ(ReadWholeFile(Name), "");
  appLog.SetActive(false);
  VEKApplication = nullptr;  // no log to write to: no harm either
  EXPECT_THROW(RaiseError("no log", false, smTerminate), EAbort);
}

}  // namespace
