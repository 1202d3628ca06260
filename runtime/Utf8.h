#pragma once
// UTF-8 encoding of one code point.
#include <cstddef>
#include <string>
#include <string_view>

// Appends `codePoint` as UTF-8. Surrogate halves and values beyond U+10FFFF
// are not characters: they are appended as U+FFFD.
void AppendUtf8(std::string& out, char32_t codePoint);

// The number of characters of UTF-8 text: every byte that does not continue
// a character counts once, so text that is not valid UTF-8 counts at least
// one character for each broken sequence.
std::size_t Utf8Length(std::string_view text);
