// Label and image control of the windows: raises clicked() over its whole rectangle (a double click
// is one clicked() and one doubleClicked()), and with autoSize takes the size of its text whenever
// its caption is set, keeping its left and top edges (an empty caption gives back the size the
// layout stores).
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

  // The caption; with autoSize the label is resized to its text. A carriage return, alone or
  // before a line feed, starts a new line. Without autoSize the label keeps the layout's width and
  // grows taller, never shorter, to show every line of its caption.
  void setCaption(const QString& text);
  // The caption as it was set, line breaks as they were given.
  QString caption() const { return captionSet_ ? caption_ : text(); }

  // The picture of an image control (shown at its natural size, not stretched).
  void setPicture(const QPixmap& picture);

 signals:
  void clicked();
  void doubleClicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool autoSize_ = false;
  QSize emptySize_;   // the layout's size, taken while the caption is empty
  QSize layoutSize_;  // the layout's size, taken when the first caption is set
  QString caption_;
  bool captionSet_ = false;
  // The release that ends a double click gives no second clicked().
  bool inDoubleClick_ = false;
};

}  // namespace tav
