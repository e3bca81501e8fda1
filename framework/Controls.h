// Control helpers: look-up by name, the Tag of a control, a clickable label.
#pragma once

#include <QLabel>
#include <QObject>
#include <QString>

// The control called name among those the owner holds (at any depth), or
// nullptr. Object names are the form names ("Edit_Name_Ch1").
template <class T = QObject>
T* FindComponent(const QObject* owner, const QString& name) {
  return owner->findChild<T*>(name);
}

// The integer Tag that tells controls sharing one handler apart (0 when unset).
int Tag(const QObject* control);
void SetTag(QObject* control, int tag);

// A label with a click event. It takes keyboard focus, and Space or Enter
// clicks it, so keyboard users reach what a mouse user reaches.
class TClickLabel : public QLabel {
  Q_OBJECT
public:
  explicit TClickLabel(const QString& caption, QWidget* parent = nullptr);
  void Click() { emit clicked(); }

signals:
  void clicked();

protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

// The control kinds of the forms, under the names the window code uses.
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTimer;
class QToolButton;
using TEdit = QLineEdit;
using TComboBox = QComboBox;  // editable, fixed item list: only the index is read
using TCheckBox = QCheckBox;
using TSpeedButton = QToolButton;
using TButton = QPushButton;
using TLabel = QLabel;
using TGroupBox = QGroupBox;
using TPanel = QFrame;
using TTimer = QTimer;
