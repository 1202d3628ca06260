#pragma once
// The look the wizard's two windows share: a fixed dialog in the button-face
// colour with Tahoma 8 pt, bevelled panels, a white title strip with the
// program icon, and controls placed at fixed pixel positions.
#include <string>

#include <QFrame>
#include <QPalette>

class QLabel;
class QListWidget;
class QPushButton;
class QStackedWidget;
class QWidget;

// Makes `w` a fixed-size dialog window (no resizing, no minimise or maximise
// box) with the given caption and client size, the window font and icon.
void SetupDialogWindow(QWidget* w, const std::string& caption, int width, int height);
// Moves a window to the centre of its screen.
void CentreOnScreen(QWidget* w);

// A panel with a 1-pixel bevel (Sunken: lowered, Raised: raised).
QFrame* MakeBevel(QWidget* parent, const char* name, QFrame::Shadow shadow, int x, int y, int w, int h);
// The white title strip, 48 pixels high, with the icon at (8, 8) and the
// title at (52, 17) in Tahoma 16 pixels high.
QFrame* MakeTitleStrip(QFrame* panel, int width, const std::string& title, QLabel*& imgTitle, QLabel*& lbTitle);
// A transparent picture: one of the program's pictures by name (U_Pictures.h),
// scaled to the given size.
QLabel* MakePicture(QWidget* parent, const char* name, const char* picture, int x, int y, int w, int h);
// A notebook page; its object name is the page's name.
QWidget* MakePage(QStackedWidget* notebook, const char* name);
// A transparent label. Without a width it sizes itself to its text; with one
// it is a word-wrapped label of that size.
QLabel* MakeLabel(QWidget* parent, const char* name, const std::string& text, int x, int y, int w = 0, int h = 0,
                  bool wordWrap = false);
// "Error." in bold Tahoma 8 pt, maroon; sized to its text when first shown.
QLabel* MakeErrorMark(QWidget* parent, const char* name, int x, int y);
QPushButton* MakeButton(QWidget* parent, const char* name, const std::string& caption, int x, int y);
// A borderless list with rows 13 pixels high filling a bevelled panel. A row
// too long for the list shows its whole text as its tooltip.
QListWidget* MakeList(QFrame* panel, const char* name, QPalette::ColorRole background);

// A design text (CR LF line breaks) as a widget shows it.
class QString;
QString ToDisplayText(const std::string& s);
