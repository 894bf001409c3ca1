// Click areas and auto-size captions for labels and images.
#include "forms/common/ClickLabel.h"

#include <QMouseEvent>

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
  setText(text);
  if (!autoSize_) return;
  // Without text the label goes back to the size the layout stores, which is what an empty
  // caption measures; the left and top edges never move.
  if (text.isEmpty()) {
    if (emptySize_.isValid()) resize(emptySize_);
  } else {
    resize(sizeHint());
  }
}

void ClickLabel::setPicture(const QPixmap& picture) { setPixmap(picture); }

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
  QLabel::mouseReleaseEvent(event);
}

}  // namespace tav
