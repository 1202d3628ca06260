#pragma once
// The toolkit's panel: a plain container with an outer and an inner bevel,
// each one pixel wide and either lowered, raised or absent, a border of the
// panel's colour between them, and an optional one-line caption drawn inside
// them (left-aligned or centred, vertically centred), which is also its
// accessible name, the text assistive technology reads. Its children are placed
// by the form at fixed positions; ClientRect() is the area inside the bevels
// and the border, where aligned children go. GUI thread only.
#include <QString>
#include <QWidget>

enum TBevelCut { bvNone = 0, bvLowered = 1, bvRaised = 2 };

class TPanel : public QWidget {
  Q_OBJECT
 public:
  // A raised outer bevel, no inner bevel, no border, no caption: the
  // toolkit's default panel.
  explicit TPanel(QWidget* parent = nullptr);

  TBevelCut BevelOuter() const { return FBevelOuter; }
  void SetBevelOuter(TBevelCut Value);
  TBevelCut BevelInner() const { return FBevelInner; }
  void SetBevelInner(TBevelCut Value);
  int BorderWidth() const { return FBorderWidth; }
  void SetBorderWidth(int Value);
  const QString& Caption() const { return FCaption; }
  void SetCaption(const QString& Value);
  // Qt::AlignLeft or Qt::AlignHCenter (the default).
  void SetCaptionAlignment(Qt::Alignment Value);

  // Pixels from each edge to the client area: the bevels and the border.
  int Inset() const;
  // The area inside the bevels and the border, in the panel's coordinates.
  QRect ClientRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  TBevelCut FBevelOuter = bvRaised;
  TBevelCut FBevelInner = bvNone;
  int FBorderWidth = 0;
  QString FCaption;
  Qt::Alignment FCaptionAlignment = Qt::AlignHCenter;
};
