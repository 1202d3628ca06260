#include "runtime/Fonts.h"

#include <cstring>

#include <QFile>
#include <QFontDatabase>

namespace {
// Where Debian's fonts-wine puts the files of the design families that
// fontconfig does not know.
struct TDesignFamily {
  const char* Family;
  const char* Files[2];
  bool Loaded;
};
TDesignFamily DesignFamilies[] = {
    {"Tahoma", {"/usr/share/wine/fonts/tahoma.ttf", "/usr/share/wine/fonts/tahomabd.ttf"}, false},
    {"MS Sans Serif", {"/usr/share/wine/fonts/ms_sans_serif.ttf", nullptr}, false},
};
bool Substituted = false;

// Arial and Courier New come from fonts-liberation, whose fontconfig rules
// map those names onto the metric-compatible Liberation families; a design
// family whose files are missing falls back to the system's sans-serif.
void InsertSubstitutions() {
  if (Substituted) return;
  Substituted = true;
  QFont::insertSubstitution(QStringLiteral("Arial"), QStringLiteral("Liberation Sans"));
  QFont::insertSubstitution(QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"));
  QFont::insertSubstitution(QStringLiteral("Tahoma"), QStringLiteral("Sans Serif"));
  QFont::insertSubstitution(QStringLiteral("MS Sans Serif"), QStringLiteral("Sans Serif"));
}
}  // namespace

void LoadDesignFont(const char* family) {
  InsertSubstitutions();
  for (TDesignFamily& d : DesignFamilies) {
    if (d.Loaded || std::strcmp(d.Family, family) != 0) continue;
    d.Loaded = true;
    if (QFontDatabase::families().contains(QString::fromLatin1(d.Family))) return;
    for (const char* file : d.Files)
      if (file && QFile::exists(QString::fromLatin1(file)))
        QFontDatabase::addApplicationFont(QString::fromLatin1(file));
  }
}

void LoadDesignFonts() {
  for (const TDesignFamily& d : DesignFamilies) LoadDesignFont(d.Family);
}

QFont DesignFont(const char* family, int pixelSize, bool bold) {
  QFont f(QString::fromLatin1(family));
  f.setPixelSize(pixelSize);
  f.setBold(bold);
  f.setStyleHint(QFont::SansSerif);
  return f;
}
