#include "runtime/Panel.h"

#include <QPainter>
#include <qdrawutil.h>

TPanel::TPanel(QWidget* parent) : QWidget(parent) {}

void TPanel::SetBevelOuter(TBevelCut Value) {
  FBevelOuter = Value;
  update();
}

void TPanel::SetBevelInner(TBevelCut Value) {
  FBevelInner = Value;
  update();
}

void TPanel::SetBorderWidth(int Value) {
  FBorderWidth = Value < 0 ? 0 : Value;
  update();
}

void TPanel::SetCaption(const QString& Value) {
  FCaption = Value;
  // Painted, the caption is no text a screen reader finds: it is the
  // panel's accessible name too.
  setAccessibleName(Value.trimmed());
  update();
}

void TPanel::SetCaptionAlignment(Qt::Alignment Value) {
  FCaptionAlignment = Value;
  update();
}

int TPanel::Inset() const {
  return (FBevelOuter != bvNone ? 1 : 0) + FBorderWidth + (FBevelInner != bvNone ? 1 : 0);
}

QRect TPanel::ClientRect() const {
  const int inset = Inset();
  return rect().adjusted(inset, inset, -inset, -inset);
}

void TPanel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QRect r = rect();
  if (FBevelOuter != bvNone) {
    qDrawShadePanel(&p, r, palette(), FBevelOuter == bvLowered, 1);
    r.adjust(1, 1, -1, -1);
  }
  r.adjust(FBorderWidth, FBorderWidth, -FBorderWidth, -FBorderWidth);
  if (FBevelInner != bvNone) {
    qDrawShadePanel(&p, r, palette(), FBevelInner == bvLowered, 1);
    r.adjust(1, 1, -1, -1);
  }
  if (!FCaption.isEmpty()) {
    p.setPen(palette().color(QPalette::WindowText));
    p.setFont(font());
    p.drawText(r, static_cast<int>(FCaptionAlignment | Qt::AlignVCenter | Qt::TextSingleLine), FCaption);
  }
}
