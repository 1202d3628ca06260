#pragma once
// UTF-8 encoding of one code point.
#include <string>

// Appends `codePoint` as UTF-8. Surrogate halves and values beyond U+10FFFF
// are not characters: they are appended as U+FFFD.
void AppendUtf8(std::string& out, char32_t codePoint);
