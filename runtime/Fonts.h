#pragma once
// The window fonts. The forms are laid out for Tahoma, MS Sans Serif, Arial
// and Courier New at fixed pixel heights. Debian ships a Tahoma and an MS Sans
// Serif with its Windows-compatibility fonts, outside fontconfig's folders;
// LoadDesignFont() registers them with Qt when fontconfig does not list the
// families. A family that still cannot be found falls back to the system's
// sans-serif font through Qt's font matching.
#include <QFont>

// Registers one design family ("Tahoma", "MS Sans Serif") once, before the
// first window that uses it is shown; safe to call again. Each registration
// reads and parses the font files, so a family is registered when a window
// needs it rather than all of them at start-up.
void LoadDesignFont(const char* family);
// Registers every design family.
void LoadDesignFonts();

// A font of the given family and pixel height (the em height).
QFont DesignFont(const char* family, int pixelSize, bool bold = false);
