// The terminal for screen readers: the scrollback and the whole grid as
// text, line by line, with the caret as the cursor, also where the window
// shows only part of it.
// New output is announced as inserted text, gathered a moment so that a
// flood of lines makes a few announcements, not thousands.
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
    const QPoint caret = Terminal->CaretCell();
    return OffsetOf(caret.x(), caret.y());
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
    const QPoint cell = CellOf(offset) - Terminal->TopLeftCell() + QPoint(1, 1);
    const QRect rect = Terminal->CellRect(cell.x(), cell.y(), cell.x(), cell.y());
    return QRect(Terminal->viewport()->mapToGlobal(rect.topLeft()), rect.size());
  }
  int offsetAtPoint(const QPoint& point) const override {
    const QPoint local = Terminal->viewport()->mapFromGlobal(point);
    if (local.x() < 0 || local.y() < 0) return -1;
    const QPoint cell = QPoint(local.x() / std::max(1, Terminal->CellWidth()), local.y() / std::max(1, Terminal->CellHeight())) +
                        Terminal->TopLeftCell();
    if (cell.y() > LastRow()) return -1;
    return OffsetOf(cell.x(), cell.y());
  }
  void scrollToSubstring(int, int) override {}
  QString attributes(int offset, int* startOffset, int* endOffset) const override {
    *startOffset = *endOffset = offset;
    return {};
  }

private:
  // The scrollback's lines, then rows 1 to the last with text or the
  // caret, each up to its last non-empty cell (a wide character's text is
  // in its first cell).
  int LastRow() const { return std::max(Terminal->Buffer().GetLastLine(), Terminal->CaretCell().y()); }
  QString Line(int line, int toColumn) const {
    QString text;
    const int last = std::min(toColumn, Terminal->LineLength(line));
    for (int c = 1; c <= last; ++c) text += Terminal->CellText(c, line);
    return text;
  }
  QStringList Lines() const {
    QStringList lines;
    for (int line = Terminal->FirstLine(); line <= LastRow(); ++line) lines << Terminal->LineText(line);
    return lines;
  }
  QString Screen() const { return Lines().join('\n'); }
  // The offset of a cell's text; a cell after its line's text counts as
  // the line's end.
  int OffsetOf(int column, int line) const {
    int offset = 0;
    for (int l = Terminal->FirstLine(); l < line; ++l) offset += int(Terminal->LineText(l).size()) + 1;
    return offset + int(Line(line, column - 1).size());
  }
  QPoint CellOf(int offset) const {
    const int last = LastRow();
    for (int line = Terminal->FirstLine(); line <= last; ++line) {
      const int columns = Terminal->LineLength(line);
      for (int c = 1; c <= columns + 1; ++c) {
        const int length = c <= columns ? int(Terminal->CellText(c, line).size()) : 1;  // the line's end
        if (offset < length) return QPoint(c, line);
        offset -= length;
      }
    }
    return Terminal->CaretCell();
  }

  TCustomComTerminal* Terminal;
};

QAccessibleInterface* TerminalAccessibleFactory(const QString&, QObject* object) {
  if (auto* terminal = dynamic_cast<TCustomComTerminal*>(object)) return new TTerminalAccessible(terminal);
  return nullptr;
}

}  // namespace

bool (*TCustomComTerminal::ReaderListens)() = &QAccessible::isActive;
void (*TCustomComTerminal::DeliverAnnouncement)(QAccessibleEvent*) = &QAccessible::updateAccessibility;

QString TCustomComTerminal::ReaderText(const std::string& bytes) const {
  QString text = TextIsUtf8() ? QString::fromUtf8(bytes) : QString::fromLatin1(bytes);
  text.removeIf([](QChar ch) { return ch.category() == QChar::Other_Control && ch != '\n'; });
  return text;
}

void TCustomComTerminal::AnnounceHeard() {
  const QString text = ReaderText(FHeard);
  FHeard.clear();
  if (text.trimmed().isEmpty() || !ReaderListens()) return;
  QAccessibleInterface* access = QAccessible::queryAccessibleInterface(this);
  const int end = access && access->textInterface() ? access->textInterface()->cursorPosition() : int(text.size());
  QAccessibleTextInsertEvent event(this, std::max(0, end - int(text.size())), text);
  DeliverAnnouncement(&event);
}

void InstallTerminalAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(TerminalAccessibleFactory);
    return true;
  }();
  (void)installed;
}
