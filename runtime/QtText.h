#pragma once
// The program's 8-bit text in the GUI toolkit's strings and back.
#include <string>

#include <QString>

// Outside text bytes for a widget, read by the rule of base/TextCodec.h
// (valid UTF-8 as UTF-8, anything else as Windows-1252): no byte vanishes.
QString ToQString(const std::string& s);
// A widget's text as UTF-8 bytes.
std::string FromQString(const QString& s);
