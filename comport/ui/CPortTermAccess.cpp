// The terminal for screen readers: the visible screen as text, line by
// line, with the caret as the cursor. Nothing is announced per received
// byte; a reader reads the screen when the user asks.
#include "CPortTerm.h"

#include <QAccessibleWidget>

namespace {

class TTerminalAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
  explicit TTerminalAccessible(TCustomComTerminal* terminal)
      : QAccessibleWidget(terminal, QAccessible::Terminal), Terminal(terminal) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return Screen();
    if (t == QAccessible::Name && Terminal->accessibleName().isEmpty()) return "Terminal";
    return QAccessibleWidget::text(t);
  }

  // The text interface, over the visible screen.
  void selection(int, int* start, int* end) const override { *start = *end = 0; }
  int selectionCount() const override { return 0; }
  void addSelection(int, int) override {}
  void removeSelection(int) override {}
  void setSelection(int, int, int) override {}
  int cursorPosition() const override {
    const QPoint caret = Terminal->CaretCell() - Terminal->TopLeftCell();
    const QStringList lines = Lines();
    if (caret.y() < 0 || caret.y() >= lines.size()) return 0;
    int offset = 0;
    for (int r = 0; r < caret.y(); ++r) offset += int(lines[r].size()) + 1;
    return offset + std::min(caret.x(), int(lines[caret.y()].size()));
  }
  void setCursorPosition(int) override {}
  QString text(int startOffset, int endOffset) const override {
    return Screen().mid(startOffset, endOffset - startOffset);
  }
  QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int* start, int* end) const override {
    const QString screen = Screen();
    offset = std::clamp(offset, 0, int(screen.size()));
    switch (boundary) {
      case QAccessible::CharBoundary:
        *start = offset;
        *end = std::min(offset + 1, int(screen.size()));
        break;
      case QAccessible::NoBoundary:
        *start = 0;
        *end = int(screen.size());
        break;
      default: {  // a line (words and sentences read as the line they are in)
        *start = offset == 0 ? 0 : int(screen.lastIndexOf('\n', offset - 1)) + 1;
        const int newline = int(screen.indexOf('\n', offset));
        *end = newline < 0 ? int(screen.size()) : newline + 1;
        break;
      }
    }
    return screen.mid(*start, *end - *start);
  }
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary, int* start, int* end) const override {
    int s = 0, e = 0;
    textAtOffset(offset, boundary, &s, &e);
    if (s == 0) {
      *start = *end = 0;
      return {};
    }
    return textAtOffset(s - 1, boundary, start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int* start, int* end) const override {
    int s = 0, e = 0;
    textAtOffset(offset, boundary, &s, &e);
    if (e >= characterCount()) {
      *start = *end = characterCount();
      return {};
    }
    return textAtOffset(e, boundary, start, end);
  }
  int characterCount() const override { return int(Screen().size()); }
  QRect characterRect(int offset) const override {
    const QStringList lines = Lines();
    int row = 0;
    while (row < lines.size() && offset > lines[row].size()) offset -= int(lines[row++].size()) + 1;
    const QRect cell = Terminal->CellRect(offset + 1, row + 1, offset + 1, row + 1);
    return QRect(Terminal->viewport()->mapToGlobal(cell.topLeft()), cell.size());
  }
  int offsetAtPoint(const QPoint& point) const override {
    const QPoint local = Terminal->viewport()->mapFromGlobal(point);
    const int column = local.x() / std::max(1, Terminal->CellWidth());
    const int row = local.y() / std::max(1, Terminal->CellHeight());
    const QStringList lines = Lines();
    if (row < 0 || row >= lines.size()) return -1;
    int offset = 0;
    for (int r = 0; r < row; ++r) offset += int(lines[r].size()) + 1;
    return offset + std::clamp(column, 0, int(lines[row].size()));
  }
  void scrollToSubstring(int, int) override {}
  QString attributes(int offset, int* startOffset, int* endOffset) const override {
    *startOffset = *endOffset = offset;
    return {};
  }

private:
  // The visible rows, blanks at their ends left out.
  QStringList Lines() const {
    QStringList lines;
    const TComTermBuffer& grid = Terminal->Buffer();
    const QPoint topLeft = Terminal->TopLeftCell();
    const int columns = std::max(1, Terminal->viewport()->width() / std::max(1, Terminal->CellWidth()));
    const int rows = std::max(1, Terminal->viewport()->height() / std::max(1, Terminal->CellHeight()));
    for (int r = topLeft.y(); r < topLeft.y() + rows && r <= grid.Rows(); ++r) {
      QString line;
      const int last = std::min(grid.GetLineLength(r), topLeft.x() + columns - 1);
      for (int c = topLeft.x(); c <= last; ++c) line += Terminal->CellText(c, r);
      lines << line;
    }
    return lines;
  }
  QString Screen() const { return Lines().join('\n'); }

  TCustomComTerminal* Terminal;
};

QAccessibleInterface* TerminalAccessibleFactory(const QString&, QObject* object) {
  if (auto* terminal = dynamic_cast<TCustomComTerminal*>(object)) return new TTerminalAccessible(terminal);
  return nullptr;
}

}  // namespace

void InstallTerminalAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(TerminalAccessibleFactory);
    return true;
  }();
  (void)installed;
}
