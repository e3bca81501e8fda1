#include "Controls.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QVariant>

namespace {
const char* const TagProperty = "Tag";
}

int Tag(const QObject* control) { return control->property(TagProperty).toInt(); }

void SetTag(QObject* control, int tag) { control->setProperty(TagProperty, tag); }

TClickLabel::TClickLabel(const QString& caption, QWidget* parent) : QLabel(caption, parent) {
  setFocusPolicy(Qt::StrongFocus);
}

void TClickLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Click();
  QLabel::mouseReleaseEvent(event);
}

void TClickLabel::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
      Click();
      return;
    default:
      QLabel::keyPressEvent(event);
  }
}
