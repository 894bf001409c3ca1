// Click areas and auto-size captions for labels and images.
#include "forms/common/ClickLabel.h"

#include <QMouseEvent>
#include <algorithm>
#include <utility>

namespace tav {

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {}

void ClickLabel::setAutoSize(bool on) {
  autoSize_ = on;
  if (!on) return;
  if (text().isEmpty())
    emptySize_ = size();
  else
    adjustSize();
}

void ClickLabel::setFontPoints(qreal points) {
  QFont f = font();
  f.setPointSizeF(points);
  setFont(f);
}

void ClickLabel::setCaption(const QString& text) {
  if (!layoutSize_.isValid()) layoutSize_ = size();
  caption_ = text;
  captionSet_ = true;
  // Qt draws a lone carriage return as a blank; the station's texts use it to break a line.
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
  setText(shown);
  if (!autoSize_) {
    const int needed = shown.contains(u'\n') ? sizeHint().height() : 0;
    resize(width(), std::max(layoutSize_.height(), needed));
    return;
  }
  // Without text the label goes back to the size the layout stores, which is what an empty
  // caption measures; the left and top edges never move.
  if (text.isEmpty()) {
    if (emptySize_.isValid()) resize(emptySize_);
  } else {
    resize(sizeHint());
  }
}

void ClickLabel::setPicture(const QPixmap& picture) { setPixmap(picture); }

void ClickLabel::mousePressEvent(QMouseEvent* event) {
  inDoubleClick_ = false;
  QLabel::mousePressEvent(event);
}

// Qt reports a double click as press, release, double click, release; the second release would
// otherwise run the click handler a second time.
void ClickLabel::mouseDoubleClickEvent(QMouseEvent* event) {
  // First, because QWidget's own handler passes the event on as a press.
  QLabel::mouseDoubleClickEvent(event);
  if (event->button() != Qt::LeftButton) return;
  inDoubleClick_ = true;
  if (rect().contains(event->position().toPoint())) emit doubleClicked();
}

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool endsDoubleClick = std::exchange(inDoubleClick_, false);
  if (event->button() == Qt::LeftButton && !endsDoubleClick && rect().contains(event->position().toPoint()))
    emit clicked();
  QLabel::mouseReleaseEvent(event);
}

}  // namespace tav
