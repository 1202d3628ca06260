#include "diag/U_VEK_LogFile.h"

#include <ctime>
#include <exception>
#include <iterator>
#include <vector>

#include <QApplication>
#include <QCoreApplication>

#include "base/Exceptions.h"
#include "base/TextUtil.h"
#include "base/Utf8.h"
#include "diag/F_VEK_Log.h"
#include "diag/U_VEK_LogStorage.h"
#include "diag/U_VEK_SafeFree.h"
#include "diag/U_VEK_StateFolder.h"
#include "runtime/Application.h"
#include "runtime/LocaleText.h"

const char* const LogLevelTexts[6] = {"", "INFO  ", "ERROR ", "EXCEPT", "ENTER ", "LEAVE "};

namespace {

const std::string Dashes(89, '-');

// A level outside the table keeps the column layout.
const char* LevelText(TVEKLogLevel Level) {
  return Level < std::size(LogLevelTexts) ? LogLevelTexts[Level] : "      ";
}

std::size_t Limit(std::int32_t Count) {
  return Count > 0 ? static_cast<std::size_t>(Count) : 0;
}

std::string MessageOf(const std::exception& E) {
  if (const auto* e = dynamic_cast<const Exception*>(&E)) return e->Message();
  return E.what();
}

}  // namespace

TVEKLogFile::TVEKLogFile()
    // NowText, asked once a second at most: reading the locale's formats
    // costs more than the rest of an entry.
    : Clock([second = std::time_t(-1), text = std::string()]() mutable {
        const std::time_t now = std::time(nullptr);
        if (now != second) {
          text = DateTimeText(now);
          second = now;
        }
        return text;
      }) {
  // A window needs the GUI application object; without one (a console
  // tool, a test without widgets) the log works without its viewer.
  if (qobject_cast<QApplication*>(QCoreApplication::instance())) Viewer = new TfmVEKLog;
}

TVEKLogFile::~TVEKLogFile() {
  Stop();
  // A window outlives the GUI application object only at the very end of the
  // process; deleting it then would touch the toolkit's freed state.
  if (QCoreApplication::instance())
    SafeFreeAndNil(Viewer);
  else
    Viewer = nullptr;
  // The lines are a member, not a separate object: clearing them releases them.
  Lines.clear();
}

void TVEKLogFile::SetActive(bool Value) {
  if (Value == FActive) return;
  if (Value) {
    FActive = true;
    Start();
  } else {
    Stop();
    FActive = false;
  }
}

void TVEKLogFile::Write(TVEKLogLevel Level, const std::string& Msg, bool SaveNow) {
  if (!FActive) return;
  try {
    TVEKLogStorage& storage = VEKLogStorage();
    try {
      if (!storage.FileExists(FileName)) storage.CreateEmptyFile(FileName);
    } catch (...) {
      // The entry is kept all the same: the next save that succeeds (the
      // folder back, the disk writable again) writes it with the rest.
    }
    std::string prefix = "# ";
    if (Level != llNone) {
      prefix += Clock ? Clock() : NowText();
      prefix += " [ ";
      prefix += LevelText(Level);
      prefix += " ] ";
    }
    // Continuation lines line up under the message in a text editor, which
    // counts characters, not bytes (a Korean date is wider in bytes).
    Lines.push_back(IndentText(prefix + Msg, 0, static_cast<int>(Utf8Length(prefix)), ' '));
    FUnsaved = true;
    ++UnsavedCount;
    const std::size_t maxLines = Limit(MaxLines);
    while (Lines.size() > maxLines) Lines.pop_front();
    if (SaveNow || UnsavedCount >= SaveEvery) {
      Save();
      UnsavedCount = 0;
    }
  } catch (...) {
    // Logging never disturbs the program. After a failed save UnsavedCount
    // stays at or above SaveEvery, so the next entry tries again.
  }
}

void TVEKLogFile::Save() {
  if (!FActive) return;
  VEKLogStorage().ReplaceFile(FileName, Lines);
  FUnsaved = false;
}

void TVEKLogFile::ShowLog() {
  if (!FActive || !Viewer) return;
  Viewer->ShowLines(Lines);
}

void TVEKLogFile::Start() {
  if (!FActive) return;
  // A program installed where this user may not write keeps its log in the
  // user's state folder instead (U_VEK_StateFolder.h).
  FileName = VEKLogFilePlace(FileName);
  try {
    TVEKLogStorage& storage = VEKLogStorage();
    if (!storage.FileExists(FileName)) {
      storage.CreateEmptyFile(FileName);
    } else if (!FUnsaved) {
      // Lines the last save could not write are newer than the file: they
      // stay, rather than being replaced by the older file.
      std::vector<std::string> old = storage.ReadLines(FileName, Limit(MaxLines));
      Lines.assign(std::make_move_iterator(old.begin()), std::make_move_iterator(old.end()));
    }
    Write(llNone, Dashes, false);
    Write(llNone, "START LOGGING : " + Opening.Title + " at " + (Clock ? Clock() : NowText()), false);
    Write(llNone, Dashes, false);
    Write(llNone, "PROCESS  : " + Opening.ExeName, false);
    Write(llNone, "USER     : " + Opening.UserName, false);
    Write(llNone, "COMPUTER : " + Opening.ComputerName, false);
    Write(llNone, "SYSTEM   : " + Opening.OSVersion, false);
    Write(llNone, Dashes, false);
    Write(llNone, "", false);
  } catch (const std::exception& e) {
    StartFailed(MessageOf(e));
  } catch (...) {
    StartFailed("Unknown error");
  }
}

void TVEKLogFile::StartFailed(const std::string& Reason) {
  FActive = false;
  ShowMessage("Error on starting logging " + FileName + "\r\nTrace is disabled...\r\n\r\n" + Reason);
}

void TVEKLogFile::Stop() {
  if (!FActive) return;
  try {
    Write(llNone, "", false);
    Write(llNone, Dashes, false);
    Write(llNone, "STOP LOGGING at " + (Clock ? Clock() : NowText()), false);
    Write(llNone, Dashes, false);
    Write(llNone, "", false);
  } catch (...) {
    // The save below is attempted all the same.
  }
  try {
    Save();
  } catch (...) {
    // Silent, like every write of the log.
  }
}
