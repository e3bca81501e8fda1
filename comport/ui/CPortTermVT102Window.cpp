// The extended terminal's window side: colours, painting and the keys a
// VT102 sends beyond the arrows.
#include "CPortTermVT102.h"

#include "Forms.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QFontMetrics>
#include <QPainter>

namespace {

// The sixteen colours: the eight basic ones and their bright forms. On a
// light background, the basic "white" and the bright colours are darkened
// so that they stay readable.
const QRgb DarkColors[16] = {
    qRgb(0, 0, 0),       qRgb(205, 49, 49),   qRgb(13, 188, 121),  qRgb(229, 229, 16),
    qRgb(36, 114, 200),  qRgb(188, 63, 188),  qRgb(17, 168, 205),  qRgb(229, 229, 229),
    qRgb(102, 102, 102), qRgb(241, 76, 76),   qRgb(35, 209, 139),  qRgb(245, 245, 67),
    qRgb(59, 142, 234),  qRgb(214, 112, 214), qRgb(41, 184, 219),  qRgb(255, 255, 255)};
const QRgb LightColors[16] = {
    qRgb(0, 0, 0),       qRgb(175, 0, 0),     qRgb(0, 128, 0),     qRgb(135, 100, 0),
    qRgb(0, 60, 180),    qRgb(140, 0, 140),   qRgb(0, 120, 140),   qRgb(90, 90, 90),
    qRgb(60, 60, 60),    qRgb(215, 30, 30),   qRgb(20, 150, 20),   qRgb(160, 120, 0),
    qRgb(30, 90, 220),   qRgb(170, 30, 170),  qRgb(0, 140, 160),   qRgb(30, 30, 30)};

QRgb Mix(QRgb a, QRgb b) {
  return qRgb((qRed(a) + qRed(b)) / 2, (qGreen(a) + qGreen(b)) / 2, (qBlue(a) + qBlue(b)) / 2);
}

}  // namespace

QRgb TComTerminalVT102::PaletteColor(int index) const {
  index &= 0xFF;
  if (index < 16) return (FScheme == csDark ? DarkColors : LightColors)[index];
  if (index < 232) {  // the 6 x 6 x 6 colour cube
    static const int Levels[] = {0, 95, 135, 175, 215, 255};
    const int i = index - 16;
    return qRgb(Levels[i / 36], Levels[i / 6 % 6], Levels[i % 6]);
  }
  const int grey = 8 + 10 * (index - 232);  // the grey ramp
  return qRgb(grey, grey, grey);
}

void TComTerminalVT102::SetColorScheme(TVtColorScheme value) {
  FScheme = value;
  SetColor(value == csDark ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
  SetFont(Font(), value == csDark ? qRgb(229, 229, 229) : qRgb(0, 0, 0));
}

void TComTerminalVT102::PaintTerminal(QPainter& painter, QRect cells) {
  const QPoint shift = TopLeftCell() - QPoint(1, 1);
  const int bottom = std::min(cells.bottom(), FGridRows - shift.y());
  QFont plain = Font(), bold = Font();
  bold.setBold(true);
  const int ascent = QFontMetrics(plain).ascent();
  // Reverse video of the whole screen swaps the default colours; the
  // background of every cell is then painted here.
  const QRgb defaultFg = FScreenReverse ? Color() : FontColor();
  const QRgb defaultBg = FScreenReverse ? FontColor() : Color();
  if (FScreenReverse) painter.fillRect(viewport()->rect(), QColor::fromRgb(defaultBg));
  const auto colors = [&](const TVtCell& cell) {
    // Bold brightens the eight basic colours, as terminals do.
    int fgIndex = cell.Fg;
    if ((cell.Flags & vfBold) && fgIndex >= 0 && fgIndex < 8) fgIndex += 8;
    QRgb fg = fgIndex < 0 ? defaultFg : PaletteColor(fgIndex);
    QRgb bg = cell.Bg < 0 ? defaultBg : PaletteColor(cell.Bg);
    if (cell.Flags & vfFaint) fg = Mix(fg, bg);
    if (cell.Flags & vfReverse) std::swap(fg, bg);
    return std::pair(fg, bg);
  };
  // The backgrounds of a row go first, then its text: a glyph a little wider
  // than its cell (a fallback font's) is not cut by its neighbour's
  // background. The text of a cell beside the clip is drawn as well, for
  // what of it reaches into the clip.
  const int first = std::max(1, cells.left() - 1), last = std::min(cells.right() + 1, FGridColumns - shift.x());
  for (int r = cells.top(); r <= bottom; ++r) {
    for (bool text : {false, true}) {
      const int from = text ? first : cells.left(), to = text ? last : std::min(cells.right(), last);
      for (int c = from; c <= to; ++c) {
        int column = c + shift.x();
        // A wide character is drawn from its first cell, across two.
        if (Cell(column, r + shift.y()).Flags & vfWideTail) {
          if (c > from || column == 1) continue;
          --column;
        }
        const TVtCell& cell = Cell(column, r + shift.y());
        const auto [fg, bg] = colors(cell);
        const int x = column - shift.x();
        const QRect rect = CellRect(x, r, (cell.Flags & vfWide) ? x + 1 : x, r);
        if (!text) {
          if (bg != defaultBg) painter.fillRect(rect, QColor::fromRgb(bg));
          continue;
        }
        if (cell.Ch == 0 || (cell.Ch == ' ' && !cell.Mark && !(cell.Flags & vfUnderline))) continue;
        QFont& font = (cell.Flags & vfBold) ? bold : plain;
        font.setUnderline(cell.Flags & vfUnderline);
        painter.setFont(font);
        painter.setPen(QColor::fromRgb(fg));
        painter.drawText(rect.left(), rect.top() + ascent, CellText(column, r + shift.y()));
      }
    }
  }
  painter.setFont(Font());
}

std::string TComTerminalVT102::ModifiedKey(int key, Qt::KeyboardModifiers modifiers) {
  const int m = 1 + (modifiers & Qt::ShiftModifier ? 1 : 0) + (modifiers & Qt::AltModifier ? 2 : 0) +
                (modifiers & Qt::ControlModifier ? 4 : 0);
  if (m == 1) return {};
  const std::string suffix = ";" + std::to_string(m);
  const auto final = [&](char x) { return "\x1b[1" + suffix + x; };
  const auto tilde = [&](int n) { return "\x1b[" + std::to_string(n) + suffix + "~"; };
  static const int FunctionNumbers[8] = {15, 17, 18, 19, 20, 21, 23, 24};  // F5 to F12
  if (key >= Qt::Key_F1 && key <= Qt::Key_F4) return final(char('P' + (key - Qt::Key_F1)));
  if (key >= Qt::Key_F5 && key <= Qt::Key_F12) return tilde(FunctionNumbers[key - Qt::Key_F5]);
  switch (key) {
    case Qt::Key_Up: return final('A');
    case Qt::Key_Down: return final('B');
    case Qt::Key_Right: return final('C');
    case Qt::Key_Left: return final('D');
    case Qt::Key_Home: return final('H');
    case Qt::Key_End: return final('F');
    case Qt::Key_Insert: return tilde(2);
    case Qt::Key_Delete: return tilde(3);
    case Qt::Key_PageUp: return tilde(5);
    case Qt::Key_PageDown: return tilde(6);
    default: return {};
  }
}

// Alt+key is the host's while Alt sends Escape: the window's Alt
// shortcuts (its menus' letters) work once the focus has left the
// terminal (Ctrl+Tab). Alt+F4 still closes the window.
bool TComTerminalVT102::event(QEvent* event) {
  if (event->type() == QEvent::ShortcutOverride && MetaSendsEscape) {
    auto* key = static_cast<QKeyEvent*>(event);
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~(Qt::KeypadModifier | Qt::ShiftModifier);
    if (modifiers == Qt::AltModifier && key->key() != Qt::Key_Alt && key->key() != Qt::Key_F4) {
      event->accept();
      return true;
    }
  }
  return TCustomComTerminal::event(event);
}

// The keys Alt puts ESC before: those that send characters.
bool TComTerminalVT102::AltPrefixes(int key, const QString& text) {
  switch (key) {
    case Qt::Key_Backspace: case Qt::Key_Return: case Qt::Key_Enter: case Qt::Key_Tab: case Qt::Key_Escape:
      return true;
    default: return !text.isEmpty();
  }
}

void TComTerminalVT102::keyPressEvent(QKeyEvent* event) {
  if (ViewKey(event)) return;
  const auto send = [this](const char* bytes) {
    ShowCaretCell();  // typing returns to the caret
    CallGuarded([&] { SendAnswer(bytes); });
  };
  const int key = event->key();
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  const bool ctrlShift = modifiers == (Qt::ControlModifier | Qt::ShiftModifier);
  if ((key == Qt::Key_Insert && modifiers == Qt::ShiftModifier) || (key == Qt::Key_V && ctrlShift)) {
    CallGuarded([this] { PasteText(QApplication::clipboard()->text()); });
    return;
  }
  if (key == Qt::Key_C && ctrlShift) {
    CopySelection();
    return;
  }
  // Keys as xterm sends them; Home and End follow the cursor-key mode.
  static const char* const FunctionKeys[12] = {"\x1bOP",   "\x1bOQ",   "\x1bOR",   "\x1bOS",   "\x1b[15~", "\x1b[17~",
                                               "\x1b[18~", "\x1b[19~", "\x1b[20~", "\x1b[21~", "\x1b[23~", "\x1b[24~"};
  // With Shift, Alt or Ctrl, cursor and function keys carry xterm's
  // modifier number (1 + Shift 1 + Alt 2 + Ctrl 4): CSI 1;m X or CSI n;m ~.
  if (const std::string modified = ModifiedKey(key, modifiers); !modified.empty()) return send(modified.c_str());
  if (key >= Qt::Key_F1 && key <= Qt::Key_F12) return send(FunctionKeys[key - Qt::Key_F1]);
  // Alt as xterm's Meta that sends Escape: ESC, then the key without it.
  if (MetaSendsEscape && (modifiers & Qt::AltModifier) && AltPrefixes(key, event->text())) {
    QKeyEvent plain(event->type(), key, event->modifiers() & ~Qt::AltModifier, event->text());
    send("\x1b");
    keyPressEvent(&plain);
    return;
  }
  switch (key) {
    case Qt::Key_Home: return send(AppCursorKeys() ? "\x1bOH" : "\x1b[H");
    case Qt::Key_End: return send(AppCursorKeys() ? "\x1bOF" : "\x1b[F");
    case Qt::Key_Insert: return send("\x1b[2~");
    case Qt::Key_Delete: return send("\x1b[3~");
    case Qt::Key_PageUp: return send("\x1b[5~");
    case Qt::Key_PageDown: return send("\x1b[6~");
    case Qt::Key_Backtab: return send("\x1b[Z");
    case Qt::Key_Backspace: {
      // Ctrl+Backspace sends the other of DEL and Ctrl+H, as xterm does.
      if (modifiers & ~(Qt::ShiftModifier | Qt::ControlModifier)) break;
      const bool del = (BackspaceKey == bkDelete) != bool(modifiers & Qt::ControlModifier);
      CallGuarded([this, del] { SendChar(del ? '\x7f' : '\b'); });
      return;
    }
    case Qt::Key_Return:
    case Qt::Key_Enter:
      // In newline mode the host expects CR LF from Return.
      if (FNewLine && !SendLF) {
        CallGuarded([this] {
          SendChar('\r');
          SendChar('\n');
        });
        return;
      }
      break;
    default: break;
  }
  // Text beyond 8-bit characters goes out as UTF-8 when the terminal reads UTF-8.
  const QString text = event->text();
  if (FUtf8 && std::any_of(text.begin(), text.end(), [](QChar ch) { return ch.unicode() > 0x7F; })) {
    CallGuarded([&] { SendText(text); });
    return;
  }
  TCustomComTerminal::keyPressEvent(event);
}
