#pragma once
// Handing a document (a file or a URL) to the desktop, in the manner of the
// original platform's shell-execute call: the desktop picks the program that
// opens it. The result keeps that call's convention: a value above 32 means
// the document was handed over, a value up to 32 tells why it was not.
#include <string>

// Result codes. The failure values are those of the original platform, so
// callers can show the same texts on every system.
enum : int {
  seOutOfResources = 0,    // out of memory or system resources
  seFileNotFound = 2,      // the document does not exist
  sePathNotFound = 3,      // the working folder does not exist
  seAccessDenied = 5,      // no right to read the document or enter the folder
  seOutOfMemory = 8,       // not enough memory to start the opener
  seBadFormat = 11,        // the document or the opener was refused as invalid
  seShareViolation = 26,   // the opener is busy (being written)
  seAssocIncomplete = 27,  // the desktop found a program, but opening failed
  seNoAssoc = 31,          // nothing on this system can open the document
  seDllNotFound = 32,      // a library the opener needs is missing
  seSuccess = 42,          // the value returned on success
};

// Opens `file` with the desktop's action `verb` ("" for the default action,
// or "open"). `directory`, when not empty, is the working folder of the
// program started. `params` and `showCmd` are accepted for the original
// platform's sake; see the implementation for what they mean here. Returns
// seSuccess (> 32) or one of the failure codes above; never throws.
int ShellExecute(const std::string& verb, const std::string& file, const std::string& params,
                 const std::string& directory, int showCmd);
