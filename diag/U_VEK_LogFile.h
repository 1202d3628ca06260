#pragma once
// The log of the program's runs: one text file beside the executable that
// holds the newest 5000 lines, rewritten whole from memory every 100 entries
// and when logging stops. Each run is framed by an opening block (process,
// user, computer, system) and a closing block.
#include <cstdint>
#include <deque>
#include <string>

enum TVEKLogLevel : std::uint8_t { llNone = 0, llInfo = 1, llError = 2, llExcept = 3, llEnter = 4, llLeave = 5 };

// The text each level shows; every non-empty text is six characters.
extern const char* const LogLevelTexts[6];

class TfmVEKLog;

class TVEKLogFile {
public:
  TVEKLogFile();
  ~TVEKLogFile();
  TVEKLogFile(const TVEKLogFile&) = delete;
  TVEKLogFile& operator=(const TVEKLogFile&) = delete;

  std::deque<std::string> Lines;
  std::string FileName;
  std::int32_t MaxLines = 5000;
  std::int32_t SaveEvery = 100;
  std::int32_t UnsavedCount = 0;
  TfmVEKLog* Viewer = nullptr;

  bool Active() const { return FActive; }
  void SetActive(bool Value);

  void Write(TVEKLogLevel Level, const std::string& Msg, bool SaveNow = false);
  void Save();
  void ShowLog();
  void Start();
  void Stop();

private:
  bool FActive = false;
};
