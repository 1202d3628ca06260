#pragma once
// ExecuteFile: a document or URL handed to the desktop, and the library's
// error stop when the desktop refuses it.
//
// GUI thread only.
#include <cstdint>
#include <string>

// Index into VEKShellVerbs.
enum TVEKShellVerb : std::uint8_t {
  svDefault = 0,  // no verb: the desktop's default action for the document
  svOpen = 1,     // "open"
};

// The shell verbs; svDefault's entry is the empty text (no verb).
inline constexpr const char* VEKShellVerbs[] = {"", "open"};

// Hands FileName (a path or a URL) to the desktop with the verb's action.
// Returns the shell's result (a value above 32) on success. On failure it
// calls RaiseError (StopApplication false) with a text naming the file, the
// parameters, the folder and the reason, so it never returns. The file-name
// part is everything after the last "\" or ":" of FileName, the folder part
// everything up to and including it (so a URL splits at its last colon).
// ShowCmd is the show-window command of the original platform.
int ExecuteFile(const std::string& FileName, TVEKShellVerb Verb, const std::string& Params,
                const std::string& Directory, std::uint16_t ShowCmd);

// The shell call ExecuteFile makes: ShellExecute of platform/Shell.h. Tests
// put a stand-in here.
using TShellExecuteProc = int (*)(const std::string& Verb, const std::string& File, const std::string& Params,
                                  const std::string& Directory, int ShowCmd);
extern TShellExecuteProc ShellExecuteProc;

// The reason ExecuteFile shows for a shell result up to 32.
std::string ShellErrorText(int Result);
