#pragma once
// UTF-8 encoding of one code point, and of UTF-16 text.
#include <string>
#include <string_view>

// Appends `codePoint` as UTF-8. Surrogate halves and values beyond U+10FFFF
// are not characters: they are appended as U+FFFD.
void AppendUtf8(std::string& out, char32_t codePoint);

// UTF-16 text as UTF-8. A surrogate pair becomes its one character; a
// surrogate half without its partner becomes U+FFFD. Zero units are kept.
std::string Utf8FromUtf16(std::u16string_view text);
