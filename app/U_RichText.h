#pragma once
// Plain text from a Rich Text Format document, for showing a product history
// that the update server delivers as RTF. The input is untrusted: any byte
// sequence is accepted, the work is linear in the input size and the output is
// always valid UTF-8, at most four times as long as the input.
#include <string>

// True when `text` is an RTF document: after optional leading blanks, CR, LF
// and a UTF-8 byte order mark it starts with "{\rtf".
bool LooksLikeRichText(const std::string& text);

// The document's visible text. Paragraph ends (\par, \sect, \row, \page, a
// backslash before a line break) and \line become CR LF; \tab and \cell a TAB.
// \'hh bytes are read as Windows-1252, \uN as Unicode (with \ucN fallback
// skipping); raw 8-bit bytes are kept when they form UTF-8, else read as
// Windows-1252 (by the table of base/TextCodec.h, where the five undefined
// bytes stand for the control characters of their number). Font, colour and style tables, pictures, objects, headers,
// footers, footnotes, field instructions and every {\* ...} group are left out.
// Damaged documents (unbalanced braces, truncation, absurd nesting or numbers)
// yield whatever text could be recovered.
std::string RichTextToPlainText(const std::string& rtf);
