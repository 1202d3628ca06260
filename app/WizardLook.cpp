#include "app/WizardLook.h"

#include <algorithm>
#include <cstring>

#include <QAbstractItemView>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QIcon>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStyledItemDelegate>
#include <QToolTip>

#include "app/U_Pictures.h"
#include "runtime/Fonts.h"
#include "runtime/QtText.h"

namespace {
// Rows of a fixed height, whatever the font's own line spacing. A row whose
// text does not fit shows its whole text as its tooltip.
class TFixedRowDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), 13);
  }

  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override {
    if (event->type() != QEvent::ToolTip || !index.isValid())
      return QStyledItemDelegate::helpEvent(event, view, option, index);
    QStyleOptionViewItem item = option;
    initStyleOption(&item, index);
    if (TextFits(item, view)) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(event->globalPos(), item.text, view->viewport(), item.rect);
    }
    return true;
  }

 private:
  // The text's room: the text rectangle as the style lays the row out, less
  // the margins the style keeps on either side when it draws the text, and
  // cut where the list's visible area ends (a row may be wider than the list).
  static bool TextFits(const QStyleOptionViewItem& item, const QAbstractItemView* view) {
    const QStyle* style = view->style();
    const QRect text = style->subElementRect(QStyle::SE_ItemViewItemText, &item, view);
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    const int right = std::min(text.right() - margin, view->viewport()->rect().right());
    return text.left() + margin + item.fontMetrics.horizontalAdvance(item.text) - 1 <= right;
  }
};

// An "Error." mark. It stays hidden unless a step of the check fails, so it
// is sized to its text when it is first shown: measuring it when the window
// is built would load its bold font at start-up.
class TErrorMark final : public QLabel {
 public:
  using QLabel::QLabel;
  void setVisible(bool visible) override {
    if (visible && !FSized) {
      FSized = true;
      adjustSize();
    }
    QLabel::setVisible(visible);
  }

 private:
  bool FSized = false;
};

// One of the program's pictures (U_Pictures.h), or a null pixmap for a name
// it does not have. The pixels are copied, never decoded.
QPixmap ProgramPicture(const char* name) {
  for (std::size_t i = 0; i < EmbeddedPictureCount; ++i) {
    const TEmbeddedPicture& p = EmbeddedPictures[i];
    if (std::strcmp(p.Name, name) != 0) continue;
    const QImage image(reinterpret_cast<const uchar*>(p.Pixels), p.Width, p.Height, p.Width * 4,
                       p.Alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    return QPixmap::fromImage(image);
  }
  return QPixmap();
}
}  // namespace

QString ToDisplayText(const std::string& s) {
  QString text = ToQString(s);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

void SetupDialogWindow(QWidget* w, const std::string& caption, int width, int height) {
  w->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                    Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  w->setWindowTitle(ToQString(caption));
  w->setWindowIcon(QIcon(ProgramPicture("icon256")));
  w->setFixedSize(width, height);
  w->setFont(DesignFont("Tahoma", 11));
  QPalette pal = w->palette();
  pal.setColor(QPalette::WindowText, pal.color(QPalette::Active, QPalette::WindowText));
  w->setPalette(pal);
  w->setAutoFillBackground(true);
}

void CentreOnScreen(QWidget* w) {
  QScreen* screen = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  w->move(area.center() - QPoint(w->width() / 2, w->height() / 2));
}

QFrame* MakeBevel(QWidget* parent, const char* name, QFrame::Shadow shadow, int x, int y, int w, int h) {
  auto* f = new QFrame(parent);
  f->setObjectName(QString::fromLatin1(name));
  f->setFrameStyle(QFrame::Panel | shadow);
  f->setLineWidth(1);
  f->setGeometry(x, y, w, h);
  return f;
}

QFrame* MakeTitleStrip(QFrame* panel, int width, const std::string& title, QLabel*& imgTitle, QLabel*& lbTitle) {
  QFrame* strip = MakeBevel(panel, "pnTitle", QFrame::Raised, 1, 1, width, 48);
  QPalette pal = strip->palette();
  pal.setColor(QPalette::Window, Qt::white);
  strip->setPalette(pal);
  strip->setAutoFillBackground(true);
  imgTitle = MakePicture(strip, "imgTitle", "icon32", 8, 8, 32, 32);
  lbTitle = MakeLabel(strip, "lbTitle", title, 52, 17);
  lbTitle->setFont(DesignFont("Tahoma", 16));
  lbTitle->adjustSize();
  return strip;
}

QLabel* MakePicture(QWidget* parent, const char* name, const char* picture, int x, int y, int w, int h) {
  auto* img = new QLabel(parent);
  img->setObjectName(QString::fromLatin1(name));
  img->setPixmap(ProgramPicture(picture).scaled(w, h, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  img->setAttribute(Qt::WA_TranslucentBackground);
  img->setGeometry(x, y, w, h);
  return img;
}

QWidget* MakePage(QStackedWidget* notebook, const char* name) {
  auto* page = new QWidget;
  page->setObjectName(QString::fromLatin1(name));
  notebook->addWidget(page);
  return page;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const std::string& text, int x, int y, int w, int h,
                  bool wordWrap) {
  auto* l = new QLabel(ToDisplayText(text), parent);
  l->setObjectName(QString::fromLatin1(name));
  l->setTextFormat(Qt::PlainText);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setContentsMargins(0, 0, 0, 0);
  l->setWordWrap(wordWrap);
  if (w > 0) {
    l->setGeometry(x, y, w, h);
  } else {
    l->move(x, y);
    l->adjustSize();
  }
  return l;
}

QLabel* MakeErrorMark(QWidget* parent, const char* name, int x, int y) {
  auto* l = new TErrorMark(parent);
  l->setObjectName(QString::fromLatin1(name));
  l->setTextFormat(Qt::PlainText);
  l->setText(QStringLiteral("Error."));
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setContentsMargins(0, 0, 0, 0);
  l->setFont(DesignFont("Tahoma", 11, true));
  QPalette pal = l->palette();
  pal.setColor(QPalette::WindowText, QColor(0x80, 0, 0));
  l->setPalette(pal);
  l->move(x, y);
  return l;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const std::string& caption, int x, int y) {
  auto* b = new QPushButton(ToQString(caption), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setGeometry(x, y, 75, 25);
  b->setAutoDefault(false);
  return b;
}

QListWidget* MakeList(QFrame* panel, const char* name, QPalette::ColorRole background) {
  auto* list = new QListWidget(panel);
  list->setObjectName(QString::fromLatin1(name));
  list->setFrameShape(QFrame::NoFrame);
  list->setUniformItemSizes(true);
  list->setItemDelegate(new TFixedRowDelegate(list));
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  QPalette pal = list->palette();
  pal.setColor(QPalette::Base, pal.color(background));
  list->setPalette(pal);
  list->setGeometry(1, 1, panel->width() - 2, panel->height() - 2);
  return list;
}
