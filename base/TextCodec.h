#pragma once
// Text bytes from outside the program as characters. Descriptor files, the
// update server's replies, file names and the log carry no note of their
// encoding; the maker writes its files in Windows-1252, newer ones arrive in
// UTF-8. The rule, in this one place for every window:
//
//   a text that is valid UTF-8 as a whole is read as UTF-8;
//   any other text is read as Windows-1252, byte by byte.
//
// Every Windows-1252 byte stands for a character: the five bytes the code
// page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the control
// characters of the same number, as in Latin-1. So no byte ever vanishes from
// what is shown. Valid UTF-8 means the shortest form of every character, no
// UTF-16 surrogate halves and nothing beyond U+10FFFF.
//
// Plain C++, no GUI toolkit (the update server reads the maker's files by
// the same rule); ToQString in runtime/QtText.h applies it for the widgets.
#include <cstddef>
#include <string>
#include <string_view>

// The character that a Windows-1252 byte stands for.
char32_t Cp1252ToUnicode(unsigned char byte);

// Length of the well-formed UTF-8 sequence that starts at `text[pos]`: 1 for
// an ASCII byte, 2 to 4 for a multi-byte character, 0 when the bytes there
// form none (a stray continuation byte, an overlong form, a surrogate half,
// a value beyond U+10FFFF, a sequence cut short by the end of the text) or
// `pos` lies beyond the text.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos);
bool IsValidUtf8(std::string_view text);

// Outside text bytes as UTF-8, read by the rule above: valid UTF-8 comes
// back unchanged, anything else as the UTF-8 of each byte's character.
std::string TextAsUtf8(std::string_view text);
