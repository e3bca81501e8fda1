#include "SendLine.h"

#include "Forms.h"
#include "SysUtils.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

bool ParseHexBytes(const QString& text, std::string& bytes, QString& error) {
  bytes.clear();
  int high = -1;  // the first digit of a pair under way
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text[i];
    if (c == ' ' || c == '\t') {
      if (high >= 0) {
        error = QString("the byte before column %1 has one hex digit; a byte takes two").arg(i + 1);
        return false;
      }
      continue;
    }
    bool isDigit = false;
    const int digit = QString(c).toInt(&isDigit, 16);
    if (!isDigit) {
      error = QString("\"%1\" at %2 is not a hex digit").arg(c).arg(i + 1);
      return false;
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes += char(high * 16 + digit);
      high = -1;
    }
  }
  if (high >= 0) {
    error = "the last byte has one hex digit; a byte takes two";
    return false;
  }
  return true;
}

TSendLine::TSendLine(QWidget* parent) : QWidget(parent) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(4, 2, 4, 2);
  auto* label = new QLabel("L&ine:", this);
  FEdit = new QLineEdit(this);
  FEdit->setObjectName("SendLineEdit");
  FEdit->setAccessibleName("Line to send");
  FEdit->setToolTip("Return sends the line. Up and Down: the lines sent before. "
                    "Hex: bytes such as 02 1A FF, or 0x02 1A FF with the Hex box off.");
  label->setBuddy(FEdit);
  FEdit->installEventFilter(this);
  auto* endLabel = new QLabel("Line e&nd:", this);
  FLineEnd = new QComboBox(this);
  FLineEnd->addItems({"None", "CR", "LF", "CR LF"});
  FLineEnd->setAccessibleName("Line end");
  FLineEnd->setToolTip("What follows a line of text (hex bytes go as they are)");
  FLineEnd->setCurrentIndex(leCR);
  endLabel->setBuddy(FLineEnd);
  FHex = new QCheckBox("He&x", this);
  FHex->setAccessibleName("Hex bytes");
  auto* send = new QPushButton("Sen&d", this);
  send->setAccessibleName("Send the line");
  for (QWidget* w : std::initializer_list<QWidget*>{label, FEdit, endLabel, FLineEnd, FHex, send})
    row->addWidget(w, w == FEdit ? 1 : 0);
  connect(FEdit, &QLineEdit::returnPressed, this, Guarded([this] { Send(); }));
  connect(send, &QPushButton::clicked, this, Guarded([this] { Send(); }));
}

void TSendLine::SetHistory(QStringList lines) {
  while (lines.size() > MaxHistory) lines.removeFirst();
  FHistory = lines;
  FRecalled = -1;
}

std::string TSendLine::Bytes() const {
  const QString text = FEdit->text();
  const bool prefixed = text.startsWith("0x", Qt::CaseInsensitive);
  std::string bytes;
  if (Hex() || prefixed) {
    QString error;
    if (!ParseHexBytes(prefixed ? text.mid(2) : text, bytes, error)) throw Exception("Not hex bytes: " + error.toStdString() + ".");
    if (bytes.empty()) throw Exception("Not hex bytes: the line holds none.");
    return bytes;
  }
  if (!Encode) {
    bytes = text.toStdString();
  } else if (!Encode(text, bytes)) {
    throw Exception("The line holds characters that this terminal's text cannot carry (UTF-8 is off).");
  }
  static const char* const ends[] = {"", "\r", "\n", "\r\n"};
  return bytes + ends[LineEnd()];
}

void TSendLine::Send() {
  const std::string bytes = Bytes();
  if (OnSend) OnSend(bytes);
  const QString text = FEdit->text();
  if (!text.isEmpty() && (FHistory.isEmpty() || FHistory.last() != text)) {
    FHistory << text;
    if (FHistory.size() > MaxHistory) FHistory.removeFirst();
  }
  FRecalled = -1;
  FEdit->clear();
}

void TSendLine::Recall(int step) {
  if (FHistory.isEmpty()) return;
  if (FRecalled < 0) {
    if (step > 0) return;  // below the newest: nothing further down
    FTyped = FEdit->text();
    FRecalled = int(FHistory.size());
  }
  FRecalled += step;
  if (FRecalled < 0) FRecalled = 0;
  if (FRecalled >= FHistory.size()) {
    FRecalled = -1;
    FEdit->setText(FTyped);
    return;
  }
  FEdit->setText(FHistory[FRecalled]);
}

bool TSendLine::eventFilter(QObject* watched, QEvent* event) {
  if (watched == FEdit && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Recall(key == Qt::Key_Up ? -1 : 1);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}
