// The terminal's scrollback, the view over it and the screen, and a grid
// that follows the window's size.
#include "CPortTerm.h"

#include <QKeyEvent>
#include <QScrollBar>

#include <algorithm>

// ------------------------------------------------------------- scrollback

void TCustomComTerminal::SetScrollbackLimit(int lines) {
  FScrollbackLimit = std::clamp(lines, 0, 1000000);
  if (HistoryLines() > FScrollbackLimit) ForgetHistory(HistoryLines() - FScrollbackLimit);
  if (FSelStart.y() < FirstLine()) ClearSelection();
  UpdateScrollRange();
}

void TCustomComTerminal::ClearScrollback() {
  if (FHistory.Empty()) return;
  ForgetHistory(HistoryLines());
  if (FSelStart.y() < FirstLine()) ClearSelection();
  UpdateScrollRange();
  viewport()->update();
}

void TCustomComTerminal::KeepTopRow(int row) {
  if (FScrollbackLimit == 0 || !HistoryWanted()) return;
  if (HistoryLines() >= FScrollbackLimit) ForgetHistory(HistoryLines() - FScrollbackLimit + 1);
  KeepRow(row);
  // Every line is one line further up now; a selection goes with its lines.
  ++FKeptInBatch;
  FSelStart.ry() -= 1;
  FSelEnd.ry() -= 1;
  FSelAnchor.ry() -= 1;
  if (FBatchDepth == 0) SettleHistory();
}

void TCustomComTerminal::KeepRow(int row) {
  const TComTermChar* cells = FBuffer.Row(row);
  KeepCells(cells, std::size_t(FBuffer.GetLineLength(row)));
}

void TCustomComTerminal::ForgetHistory(int count) {
  FHistory.PopFront(std::size_t(std::max(0, std::min(count, HistoryLines()))));
}

void TCustomComTerminal::SettleHistory() {
  if (FKeptInBatch == 0) return;
  const int kept = std::exchange(FKeptInBatch, 0);
  // Whoever reads back keeps seeing the same lines.
  QScrollBar* bar = verticalScrollBar();
  const bool back = bar->value() < 0;
  const int value = bar->value();
  UpdateScrollRange();
  if (back) bar->setValue(value - kept);
  UpdateScrollPos();
  if (FSelStart.y() < FirstLine()) ClearSelection();
  viewport()->update();
}

int TCustomComTerminal::LineLength(int line) const {
  if (line >= 1) return FBuffer.GetLineLength(line);
  if (line < FirstLine()) return 0;
  return HistoryLineLength(std::size_t(HistoryLines() - 1 + line));
}

QString TCustomComTerminal::LineText(int line) const {
  // Bytes show as 8-bit characters; an empty cell as a blank.
  const int length = LineLength(line);
  const TComTermChar* cells =
      line >= 1 ? FBuffer.Row(line) : length > 0 ? FHistory.Line(std::size_t(HistoryLines() - 1 + line)).data() : nullptr;
  QString text(length, QChar(' '));
  for (int c = 0; c < length; ++c)
    if (cells[c].Ch) text[c] = QChar(uchar(cells[c].Ch));
  return text;
}

// ------------------------------------------------------------------- view

void TCustomComTerminal::ScrollView(int lines) {
  QScrollBar* bar = verticalScrollBar();
  bar->setValue(bar->value() + lines);
  UpdateScrollPos();
}

bool TCustomComTerminal::ReadingBack() const {
  const int visibleRows = std::max(1, viewport()->height() / FCellHeight);
  return FTopLeftCell.y() + visibleRows - 1 < FCaretCell.y();
}

void TCustomComTerminal::ShowLine(int line) {
  const int visibleRows = std::max(1, viewport()->height() / FCellHeight);
  QScrollBar* bar = verticalScrollBar();
  if (line < FTopLeftCell.y())
    bar->setValue(line - 1);
  else if (line >= FTopLeftCell.y() + visibleRows)
    bar->setValue(line - visibleRows);
  UpdateScrollPos();
}

// Shift with the page keys pages through the scrollback, as terminals do.
bool TCustomComTerminal::ViewKey(QKeyEvent* event) {
  if (event->modifiers() != Qt::ShiftModifier) return false;
  const int page = std::max(1, viewport()->height() / FCellHeight - 1);
  switch (event->key()) {
    case Qt::Key_PageUp: ScrollView(-page); return true;
    case Qt::Key_PageDown: ScrollView(page); return true;
    default: return false;
  }
}

// ---------------------------------------------------- a grid that follows

void TCustomComTerminal::SetFitToWindow(bool value) {
  FFitToWindow = value;
  SetScrollBars(FScrollBars);  // the bars a fitting grid needs
  FitGrid();
}

void TCustomComTerminal::FitGrid() {
  // A hidden window's size means nothing yet: it fits once it shows.
  if (!FFitToWindow || FLoading || !isVisible()) return;
  const QSize client = viewport()->size();
  ResizeGrid(client.width() / FCellWidth, client.height() / FCellHeight);
}

void TCustomComTerminal::ResizeGrid(int columns, int rows) {
  columns = std::clamp(columns, 2, 256);
  rows = std::clamp(rows, 2, 100);
  if (columns == FColumns && rows == FRows) return;
  TPaintBatch batch(this);
  // A grid too short for the caret's row loses rows at the top, as when it
  // scrolls.
  const int drop = std::max(0, FCaretCell.y() - rows);
  const QPoint selStart = FSelStart;
  for (int r = 1; r <= drop; ++r) KeepTopRow(r);
  RelayGrid(columns, rows, drop);
  FColumns = columns;
  FRows = rows;
  const auto onGrid = [&](QPoint p) { return QPoint(std::clamp(p.x(), 1, columns), std::clamp(p.y() - drop, 1, rows)); };
  FCaretCell = onGrid(FCaretCell);
  FSavedCaretCell = onGrid(FSavedCaretCell);
  // The selection stays on its text (a find bar that closes resizes the
  // grid): the rows that went up took it along where they were kept.
  if (HasSelection()) {
    const int up = FSelStart == selStart ? drop : 0;
    const auto moved = [&](QPoint p) { return QPoint(std::min(p.x(), columns + 1), p.y() - up); };
    const QPoint from = moved(FSelStart), to = moved(FSelEnd);
    ClearSelection();
    if (from.y() >= FirstLine() && to.y() <= rows) Select(from, to);
  }
  AdjustSize();
  UpdateScrollRange();
  InvalidateGrid();
}

void TCustomComTerminal::RelayGrid(int columns, int rows, int drop) { FBuffer.Relay(columns, rows, drop); }
