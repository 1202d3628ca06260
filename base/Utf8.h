#pragma once
// UTF-8: encoding one code point and UTF-16 text, counting characters.
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

// UTF-16 text as UTF-8. A surrogate pair becomes its one character; a
// surrogate half without its partner becomes U+FFFD. Zero units are kept.
std::string Utf8FromUtf16(std::u16string_view text);
