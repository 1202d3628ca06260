#pragma once
// Reading a whole text file as lines. Lines end in CR, LF or CR LF; a final
// line break does not start another line. Bytes are kept as they are.
#include <cstdint>
#include <string>
#include <vector>

// The largest file LoadTextLines reads; a descriptor or similar small text
// file is far below it, and a larger one is refused rather than read whole.
inline constexpr std::uintmax_t MaxTextFileSize = 64u * 1024 * 1024;

// Raises EInOutError "Cannot open file "<name>". <reason>" when the file
// cannot be opened or read, is not a regular file, or is larger than
// MaxTextFileSize.
std::vector<std::string> LoadTextLines(const std::string& fileName);

// Splits text into lines by the rule above.
std::vector<std::string> SplitLines(const std::string& text);
