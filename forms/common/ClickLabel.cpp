// Click areas and auto-size captions for labels and images.
#include "forms/common/ClickLabel.h"

#include <QMouseEvent>

namespace tav {

ClickLabel::ClickLabel(QWidget* parent) : QLabel(parent) {}

void ClickLabel::setAutoSize(bool on) {
  autoSize_ = on;
  if (on && !text().isEmpty()) adjustSize();
}

void ClickLabel::setCaption(const QString& text) {
  setText(text);
  if (autoSize_ && !text.isEmpty()) resize(sizeHint());
}

void ClickLabel::setPicture(const QPixmap& picture) { setPixmap(picture); }

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
  QLabel::mouseReleaseEvent(event);
}

}  // namespace tav
