#pragma once
// The log of the program's runs: one text file beside the executable that
// holds the newest 5000 lines, rewritten whole from memory every 100 entries
// and when logging stops. Each run is framed by an opening block (process,
// user, computer, system) and a closing block.
//
// File format: 8-bit text, every line ending with CR LF. An entry of level
// llNone is "# " + message; any other entry is
//   "# " + time stamp + " [ " + six-character level text + " ] " + message
// and every further line of a multi-line message (after a CR LF) is indented
// by the length of that prefix.
//
// All file work goes through VEKLogStorage() (diag/U_VEK_LogStorage.h), whose
// saves replace the file atomically. Used from the GUI thread only.
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

enum TVEKLogLevel : std::uint8_t { llNone = 0, llInfo = 1, llError = 2, llExcept = 3, llEnter = 4, llLeave = 5 };

// The text each level shows; every non-empty text is six characters.
extern const char* const LogLevelTexts[6];

class TfmVEKLog;

// What the opening block of a run names: the program and the machine it
// runs on. The log's owner hands them over (TVEKApplication, from its own
// facts and those of VEKWindows); a text nobody gave stays empty.
struct TVEKLogOpening {
  std::string Title;         // "START LOGGING : <Title> at <time>"
  std::string ExeName;       // "PROCESS  : "
  std::string UserName;      // "USER     : "
  std::string ComputerName;  // "COMPUTER : "
  std::string OSVersion;     // "SYSTEM   : "
};

class TVEKLogFile {
 public:
  // Inactive and empty, with the hidden viewer (no viewer when the process
  // has no GUI application object).
  TVEKLogFile();
  // Stop (closing block and final save), then releases the viewer and the lines.
  ~TVEKLogFile();
  TVEKLogFile(const TVEKLogFile&) = delete;
  TVEKLogFile& operator=(const TVEKLogFile&) = delete;

  // The log's lines, oldest first; one item per entry written in this run.
  std::deque<std::string> Lines;
  // Full path of the log file, set by the owner before logging is switched on.
  std::string FileName;
  std::int32_t MaxLines = 5000;
  std::int32_t SaveEvery = 100;
  // Entries since the last automatic save.
  std::int32_t UnsavedCount = 0;
  TfmVEKLog* Viewer = nullptr;
  // The time stamp of entries and of the opening and closing blocks: NowText
  // (the locale's short date, a blank, its long time) unless replaced.
  std::function<std::string()> Clock;
  // The facts of the opening block.
  TVEKLogOpening Opening;

  bool Active() const { return FActive; }
  // Switching on runs Start; switching off runs Stop, then logging stops.
  void SetActive(bool Value);

  // Adds one entry; SaveNow forces a save after it, otherwise every
  // SaveEvery-th entry since the last save saves. Never raises. Does
  // nothing while logging is off.
  void Write(TVEKLogLevel Level, const std::string& Msg, bool SaveNow = false);
  // Writes all lines to the file, replacing it. Raises on failure; does
  // nothing while logging is off.
  void Save();
  // Shows a copy of the lines in the viewer, when logging is on.
  void ShowLog();
  // The opening block: reads the old log back, then writes the block. On
  // failure tells the user and switches logging off. Where this user may
  // not write into FileName's folder, FileName first becomes the log of that
  // name in the user's state folder (VEKLogFilePlace).
  void Start();
  // The closing block and the final save. Never raises.
  void Stop();

 private:
  void StartFailed(const std::string& Reason);

  bool FActive = false;
  // Lines holds entries the file does not have yet (the last save failed or
  // has not happened).
  bool FUnsaved = false;
};
