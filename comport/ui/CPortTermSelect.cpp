// The terminal's selection: the mouse selects (drag, a word on a double
// click, a line on a third), the selection is copied and pasted as in Linux
// terminals, and text is found in the scrollback and the screen.
#include "CPortTerm.h"

#include "Forms.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace {

bool Before(QPoint a, QPoint b) { return a.y() < b.y() || (a.y() == b.y() && a.x() < b.x()); }

// What a double click takes for a word: letters, digits and what paths,
// addresses and numbers are made of.
bool InWord(const QString& text) {
  if (text.isEmpty()) return false;
  const QChar ch = text[0];
  return ch.isLetterOrNumber() || QStringLiteral("_-.,/:~@%+#=?&").contains(ch);
}

}  // namespace

// Column c's boundary is the left edge of cell c; Columns + 1 is the row's end.
QPoint TCustomComTerminal::BoundaryAt(QPoint pixel) const {
  const int column = (pixel.x() + FCellWidth / 2) / FCellWidth + FTopLeftCell.x();
  const int line = pixel.y() / FCellHeight + FTopLeftCell.y();
  return QPoint(std::clamp(column, 1, FBuffer.Columns() + 1), std::clamp(line, FirstLine(), FBuffer.Rows()));
}

QPoint TCustomComTerminal::CellAt(QPoint pixel) const {
  const int column = pixel.x() / FCellWidth + FTopLeftCell.x();
  const int line = pixel.y() / FCellHeight + FTopLeftCell.y();
  return QPoint(std::clamp(column, 1, FBuffer.Columns()), std::clamp(line, FirstLine(), FBuffer.Rows()));
}

void TCustomComTerminal::mousePressEvent(QMouseEvent* event) {
  const QPoint pixel = event->position().toPoint();
  if (event->button() == Qt::LeftButton) {
    if (focusPolicy() & Qt::ClickFocus) setFocus(Qt::MouseFocusReason);
    const bool third = QDateTime::currentMSecsSinceEpoch() - FDoubleClickTime < QApplication::doubleClickInterval() &&
                       CellAt(pixel).y() == FLastDoubleClick.y();
    if (third) {
      SelectLine(CellAt(pixel).y());
    } else {
      FSelAnchor = BoundaryAt(pixel);
      Select(FSelAnchor, FSelAnchor);
    }
  } else if (event->button() == Qt::MiddleButton) {
    // The primary selection goes to the host, as typed.
    const QClipboard* clipboard = QApplication::clipboard();
    if (clipboard->supportsSelection()) Guarded([&] { PasteText(clipboard->text(QClipboard::Selection)); })();
  }
  QAbstractScrollArea::mousePressEvent(event);
}

void TCustomComTerminal::mouseMoveEvent(QMouseEvent* event) {
  if (event->buttons() & Qt::LeftButton) Select(FSelAnchor, BoundaryAt(event->position().toPoint()));
  QAbstractScrollArea::mouseMoveEvent(event);
}

// What the mouse selected becomes the primary selection, as on every X
// desktop.
void TCustomComTerminal::mouseReleaseEvent(QMouseEvent* event) {
  QClipboard* clipboard = QApplication::clipboard();
  if (event->button() == Qt::LeftButton && HasSelection() && clipboard->supportsSelection())
    clipboard->setText(SelectedText(), QClipboard::Selection);
  QAbstractScrollArea::mouseReleaseEvent(event);
}

void TCustomComTerminal::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mouseDoubleClickEvent(event);
  FLastDoubleClick = CellAt(event->position().toPoint());
  FDoubleClickTime = QDateTime::currentMSecsSinceEpoch();
  SelectWord(FLastDoubleClick);
  mouseReleaseEvent(event);
}

void TCustomComTerminal::SelectWord(QPoint cell) {
  const int line = cell.y();
  if (!InWord(CellText(cell.x(), line))) return Select(cell, cell + QPoint(1, 0));
  int first = cell.x(), last = cell.x();
  while (first > 1 && InWord(CellText(first - 1, line))) --first;
  while (last < LineLength(line) && InWord(CellText(last + 1, line))) ++last;
  Select(QPoint(first, line), QPoint(last + 1, line));
}

void TCustomComTerminal::SelectLine(int line) {
  FDoubleClickTime = 0;
  Select(QPoint(1, line), QPoint(FBuffer.Columns() + 1, line));
}

void TCustomComTerminal::Select(QPoint from, QPoint to) {
  if (Before(to, from)) std::swap(from, to);
  if (from == FSelStart && to == FSelEnd) return;
  FSelStart = from;
  FSelEnd = to;
  viewport()->update();
}

void TCustomComTerminal::ClearSelection() { Select(QPoint(1, 1), QPoint(1, 1)); }

QString TCustomComTerminal::SelectedText() const {
  QStringList lines;
  for (int line = FSelStart.y(); line <= FSelEnd.y() && line <= FBuffer.Rows(); ++line) {
    const int first = line == FSelStart.y() ? FSelStart.x() : 1;
    // Empty cells after a line's text are not text.
    const int last = std::min(line == FSelEnd.y() ? FSelEnd.x() - 1 : FBuffer.Columns(), LineLength(line));
    QString text;
    for (int c = first; c <= last; ++c) text += CellText(c, line);
    lines << text;
  }
  return lines.join('\n');
}

bool TCustomComTerminal::CopySelection() {
  if (!HasSelection()) return false;
  QClipboard* clipboard = QApplication::clipboard();
  const QString text = SelectedText();
  clipboard->setText(text);
  if (clipboard->supportsSelection()) clipboard->setText(text, QClipboard::Selection);
  return true;
}

// Selected cells show inverted, as the caret does.
void TCustomComTerminal::PaintSelection(QPainter& painter) {
  painter.save();
  painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
  const QPoint shift = FTopLeftCell - QPoint(1, 1);
  for (int line = FSelStart.y(); line <= FSelEnd.y(); ++line) {
    const int first = line == FSelStart.y() ? FSelStart.x() : 1;
    const int last = line == FSelEnd.y() ? FSelEnd.x() - 1 : FBuffer.Columns();
    if (last >= first && line - shift.y() >= 1)
      painter.fillRect(CellRect(first - shift.x(), line - shift.y(), last - shift.x(), line - shift.y()), Qt::white);
  }
  painter.restore();
}

// ------------------------------------------------------------------- find

bool TCustomComTerminal::Find(const QString& text, bool backward, bool caseSensitive) {
  if (text.isEmpty()) return false;
  const Qt::CaseSensitivity cs = caseSensitive ? Qt::CaseSensitive : Qt::CaseInsensitive;
  const int first = FirstLine(), last = FBuffer.Rows(), count = last - first + 1;
  // Where to begin: just after (before) the start of the selection, else
  // at the end (beginning) of everything; round once to where it began.
  int line = HasSelection() ? FSelStart.y() : backward ? last : first;
  for (int step = 0; step <= count; ++step) {
    // The line's text, and the column each of its characters starts in.
    QString lineText;
    std::vector<int> columns;
    for (int c = 1; c <= LineLength(line); ++c) {
      const QString cell = CellText(c, line);
      for (qsizetype i = 0; i < cell.size(); ++i) columns.push_back(c);
      lineText += cell;
    }
    columns.push_back(LineLength(line) + 1);
    qsizetype from = backward ? lineText.size() : 0;
    if (step == 0 && HasSelection()) {
      const qsizetype selected = std::lower_bound(columns.begin(), columns.end(), FSelStart.x()) - columns.begin();
      from = backward ? selected - 1 : selected + 1;
    }
    qsizetype at = -1;
    if (!backward)
      at = from <= lineText.size() ? lineText.indexOf(text, from, cs) : -1;
    else
      at = from >= 0 ? lineText.lastIndexOf(text, from, cs) : -1;
    if (at >= 0) {
      const qsizetype end = std::min(at + text.size(), qsizetype(columns.size() - 1));
      Select(QPoint(columns[std::size_t(at)], line), QPoint(columns[std::size_t(end)], line));
      ShowLine(line);
      return true;
    }
    line = backward ? (line == first ? last : line - 1) : (line == last ? first : line + 1);
  }
  return false;
}
