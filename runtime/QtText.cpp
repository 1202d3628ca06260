#include "runtime/QtText.h"

#include "base/TextCodec.h"

QString ToQString(const std::string& s) {
  if (IsValidUtf8(s)) return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
  QString text;
  text.reserve(static_cast<qsizetype>(s.size()));
  for (const char c : s) text += QChar(static_cast<char16_t>(Cp1252ToUnicode(static_cast<unsigned char>(c))));
  return text;
}

std::string FromQString(const QString& s) {
  return s.toStdString();
}
