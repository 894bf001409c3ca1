// Label and image control of the windows: raises clicked() over its whole rectangle, and with
// autoSize takes the size of its text whenever its caption is set, keeping its left and top edges
// (an empty caption gives back the size the layout stores).
#pragma once

#include <QLabel>

namespace tav {

class ClickLabel : public QLabel {
  Q_OBJECT
  Q_PROPERTY(bool autoSize READ autoSize WRITE setAutoSize)
  // The font size in points, fractions included (15.75, 39.75): a .ui font holds whole points only.
  Q_PROPERTY(qreal fontPoints READ fontPoints WRITE setFontPoints)
 public:
  explicit ClickLabel(QWidget* parent = nullptr);

  bool autoSize() const { return autoSize_; }
  void setAutoSize(bool on);

  qreal fontPoints() const { return font().pointSizeF(); }
  void setFontPoints(qreal points);

  // The caption; with autoSize the label is resized to its text.
  void setCaption(const QString& text);
  QString caption() const { return text(); }

  // The picture of an image control (shown at its natural size, not stretched).
  void setPicture(const QPixmap& picture);

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool autoSize_ = false;
  QSize emptySize_;  // the layout's size, taken while the caption is empty
};

}  // namespace tav
