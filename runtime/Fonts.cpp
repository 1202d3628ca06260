#include "runtime/Fonts.h"

#include <QFile>
#include <QFontDatabase>

namespace {
// Where Debian's fonts-wine and fonts-liberation put their files.
const char* const kFontFiles[] = {
    "/usr/share/wine/fonts/tahoma.ttf",
    "/usr/share/wine/fonts/tahomabd.ttf",
    "/usr/share/wine/fonts/ms_sans_serif.ttf",
};
bool Loaded = false;
}  // namespace

void LoadDesignFonts() {
  if (Loaded) return;
  Loaded = true;
  const QStringList families = QFontDatabase::families();
  const bool haveTahoma = families.contains(QStringLiteral("Tahoma"));
  const bool haveSansSerif = families.contains(QStringLiteral("MS Sans Serif"));
  for (const char* file : kFontFiles) {
    const QString path = QString::fromLatin1(file);
    const bool isTahoma = path.contains(QStringLiteral("tahoma"));
    if ((isTahoma && haveTahoma) || (!isTahoma && haveSansSerif)) continue;
    if (QFile::exists(path)) QFontDatabase::addApplicationFont(path);
  }
  // Arial and Courier New come from fonts-liberation, whose fontconfig rules
  // map those names onto the metric-compatible Liberation families.
  QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
  QFont::insertSubstitution(QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"));
  QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("Sans Serif"));
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Sans Serif"));
}

QFont DesignFont(const char* family, int pixelSize, bool bold) {
  QFont f(QString::fromLatin1(family));
  f.setPixelSize(pixelSize);
  f.setBold(bold);
  f.setStyleHint(QFont::SansSerif);
  return f;
}
