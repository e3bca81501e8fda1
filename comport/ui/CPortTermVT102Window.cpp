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
  const int right = std::min(cells.right(), FGridColumns - shift.x());
  const int bottom = std::min(cells.bottom(), FGridRows - shift.y());
  QFont plain = Font(), bold = Font();
  bold.setBold(true);
  const int ascent = QFontMetrics(plain).ascent();
  // Reverse video of the whole screen swaps the default colours; the
  // background of every cell is then painted here.
  const QRgb defaultFg = FScreenReverse ? Color() : FontColor();
  const QRgb defaultBg = FScreenReverse ? FontColor() : Color();
  if (FScreenReverse) painter.fillRect(CellRect(cells.left(), cells.top(), cells.right(), cells.bottom()), QColor::fromRgb(defaultBg));
  for (int r = cells.top(); r <= bottom; ++r) {
    for (int c = cells.left(); c <= right; ++c) {
      const TVtCell& cell = At(c + shift.x(), r + shift.y());
      if (cell.Ch == 0 && cell.Bg < 0 && !(cell.Flags & vfReverse)) continue;  // only the background
      // Bold brightens the eight basic colours, as terminals do.
      int fgIndex = cell.Fg;
      if ((cell.Flags & vfBold) && fgIndex >= 0 && fgIndex < 8) fgIndex += 8;
      QRgb fg = fgIndex < 0 ? defaultFg : PaletteColor(fgIndex);
      QRgb bg = cell.Bg < 0 ? defaultBg : PaletteColor(cell.Bg);
      if (cell.Flags & vfFaint) fg = Mix(fg, bg);
      if (cell.Flags & vfReverse) std::swap(fg, bg);
      const QRect rect = CellRect(c, r, c, r);
      if (bg != defaultBg) painter.fillRect(rect, QColor::fromRgb(bg));
      if (cell.Ch == 0 || cell.Ch == ' ') continue;
      QFont& font = (cell.Flags & vfBold) ? bold : plain;
      font.setUnderline(cell.Flags & vfUnderline);
      painter.setFont(font);
      painter.setPen(QColor::fromRgb(fg));
      painter.drawText(rect.left(), rect.top() + ascent, QString::fromUcs4(&cell.Ch, 1));
    }
  }
  painter.setFont(Font());
}

void TComTerminalVT102::keyPressEvent(QKeyEvent* event) {
  const auto send = [this](const char* bytes) { CallGuarded([&] { SendAnswer(bytes); }); };
  const bool paste = (event->key() == Qt::Key_Insert && event->modifiers() == Qt::ShiftModifier) ||
                     (event->key() == Qt::Key_V && event->modifiers() == (Qt::ControlModifier | Qt::ShiftModifier));
  if (paste) {
    CallGuarded([this] { PasteText(QApplication::clipboard()->text()); });
    return;
  }
  switch (event->key()) {
    case Qt::Key_Insert: return send("\x1b[2~");
    case Qt::Key_Delete: return send("\x1b[3~");
    case Qt::Key_End: return send("\x1b[4~");
    case Qt::Key_PageUp: return send("\x1b[5~");
    case Qt::Key_PageDown: return send("\x1b[6~");
    case Qt::Key_F1: return send("\x1bOP");
    case Qt::Key_F2: return send("\x1bOQ");
    case Qt::Key_F3: return send("\x1bOR");
    case Qt::Key_F4: return send("\x1bOS");
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
