// The terminal's window: painting the grid in a fixed-pitch font, the caret,
// the scroll bars, the size and the keyboard.
#include "CPortTerm.h"
#include "CPortTrmSet.h"

#include "Forms.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontDialog>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

// Makes screen readers see terminals as text (CPortTermAccess.cpp).
void InstallTerminalAccessibility();

TCustomComTerminal::TCustomComTerminal(QWidget* parent) : QAbstractScrollArea(parent) {
  InstallTerminalAccessibility();
  FLink.OnRxBuf = [this](TCustomComPort* Sender, const std::uint8_t* Buffer, int Count) {
    if (ShowReceived) RxBuf(Sender, Buffer, Count);
  };
  FFont = DefaultFont();
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  viewport()->setAutoFillBackground(false);
  viewport()->setCursor(Qt::IBeamCursor);
  SetBorderStyle(bsSingle);
  SetScrollBars(ssBoth);
  CalculateMetrics();
  SetTermAttrColors(FFontColor, FColor, false, false);
  resize(400, 250);
  ApplyGridSize();
  // A terminal made in code parses from the start, as one loaded from a form.
  CreateEscapeCodes();
  FReaderTimer.setSingleShot(true);
  FReaderTimer.setInterval(ReaderInterval);
  QObject::connect(&FReaderTimer, &QTimer::timeout, this, [this] { AnnounceHeard(); });
  FCaretBlink.setSingleShot(false);
  QObject::connect(&FCaretBlink, &QTimer::timeout, this, [this] {
    FCaretBlinkOn = !FCaretBlinkOn;
    viewport()->update(CaretRect());
  });
}

TCustomComTerminal::~TCustomComTerminal() { SetComPort(nullptr); }

QFont TCustomComTerminal::DefaultFont() {
  static const QFont font = [] {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSize(9);
    f.setStyleHint(QFont::TypeWriter, QFont::PreferDefault);
    if (QFontInfo(f).fixedPitch()) return f;
    // Windows' "fixed" system font may be a proportional face: the first
    // fixed-pitch family the system has, the ones every Windows has first.
    QStringList families{"Consolas", "Courier New", "Lucida Console", "DejaVu Sans Mono", "Liberation Mono"};
    for (const QString& family : QFontDatabase::families())
      if (QFontDatabase::isFixedPitch(family) && !families.contains(family)) families << family;
    for (const QString& family : families) {
      if (!QFontDatabase::hasFamily(family)) continue;
      f.setFamily(family);
      if (QFontInfo(f).fixedPitch()) return f;
    }
    return f;
  }();
  return font;
}

// --------------------------------------------------------------- painting

QRect TCustomComTerminal::CellRect(int left, int top, int right, int bottom) const {
  return QRect(std::max(0, (left - 1) * FCellWidth), std::max(0, (top - 1) * FCellHeight),
               std::max(0, right - left + 1) * FCellWidth, std::max(0, bottom - top + 1) * FCellHeight);
}

void TCustomComTerminal::InvalidateCells(int left, int top, int right, int bottom) {
  if (FDirtyLeft > FDirtyRight) {
    FDirtyLeft = left, FDirtyTop = top, FDirtyRight = right, FDirtyBottom = bottom;
  } else {
    FDirtyLeft = std::min(FDirtyLeft, left);
    FDirtyTop = std::min(FDirtyTop, top);
    FDirtyRight = std::max(FDirtyRight, right);
    FDirtyBottom = std::max(FDirtyBottom, bottom);
  }
  if (FBatchDepth == 0) FlushPaint();
}

void TCustomComTerminal::InvalidateGrid() {
  FDirtyAll = true;
  if (FBatchDepth == 0) FlushPaint();
}

// Qt paints through a back buffer, so a scrolled grid repaints the whole
// control rather than moving the picture.
void TCustomComTerminal::GridScrolled(bool) { InvalidateGrid(); }

void TCustomComTerminal::FlushPaint() {
  SettleHistory();
  if (FDirtyAll) {
    viewport()->update();
  } else if (FDirtyLeft <= FDirtyRight) {
    // Grid cells to window cells.
    const QPoint shift = FTopLeftCell - QPoint(1, 1);
    InvalidatePortion(QRect(QPoint(FDirtyLeft, FDirtyTop), QPoint(FDirtyRight, FDirtyBottom)).translated(-shift));
  }
  FDirtyLeft = 1, FDirtyTop = 1, FDirtyRight = 0, FDirtyBottom = 0;
  FDirtyAll = false;
  PlaceCaret();
}

void TCustomComTerminal::InvalidatePortion(QRect cells) {
  viewport()->update(CellRect(cells.left(), cells.top(), cells.right(), cells.bottom()));
}

void TCustomComTerminal::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  painter.setFont(FFont);
  const QRect clip = event->rect();
  painter.fillRect(clip, QColor::fromRgb(FColor));
  const int left = clip.left() / FCellWidth + 1;
  const int right = std::min(clip.right() / FCellWidth + 1, FColumns);
  const int top = clip.top() / FCellHeight + 1;
  // (The scrollback shows above the grid's first row.)
  const int bottom = std::min(clip.bottom() / FCellHeight + 1, FRows - FTopLeftCell.y() + 1);
  PaintTerminal(painter, QRect(QPoint(left, top), QPoint(right, bottom)));
  if (HasSelection()) PaintSelection(painter);
  if (FHasCaret && FCaretShown && FCaretBlinkOn && CaretWanted()) {
    // The caret inverts what is under it, as a system caret does.
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.fillRect(CaretRect(), Qt::white);
  }
}

void TCustomComTerminal::PaintTerminal(QPainter& painter, QRect cells) {
  // Window cells beyond the grid show only the background.
  const QPoint shift = FTopLeftCell - QPoint(1, 1);
  const int right = std::min(cells.right(), FBuffer.Columns() - shift.x());
  const int bottom = std::min(cells.bottom(), FBuffer.Rows() - shift.y());
  for (int r = cells.top(); r <= bottom; ++r) {
    const int line = r + shift.y();
    const TComTermChar* row = nullptr;
    int length = FBuffer.Columns();
    if (line >= 1) {
      row = FBuffer.Row(line);
    } else if (line >= FirstLine()) {
      const std::vector<TComTermChar>& kept = FHistory.Line(std::size_t(HistoryLines() - 1 + line));
      row = kept.data();
      length = int(kept.size());
    }
    for (int c = cells.left(); c <= right && c + shift.x() <= length; ++c) {
      const TComTermChar& cell = row[c + shift.x() - 1];
      if (cell.Ch != 0) DrawChar(painter, c, r, cell);
    }
  }
}

void TCustomComTerminal::DrawChar(QPainter& painter, int column, int row, const TComTermChar& cell) {
  const QRect rect = CellRect(column, row, column, row);
  painter.fillRect(rect, QColor::fromRgb(cell.BackColor));
  QFont font = FFont;
  if (cell.Underline) {
    font.setUnderline(true);
    painter.setFont(font);
  }
  painter.setPen(QColor::fromRgb(cell.FrontColor));
  // Bytes show as 8-bit characters.
  painter.drawText(rect.left(), rect.top() + FCellAscent, QString(QChar(uchar(cell.Ch))));
  if (cell.Underline) painter.setFont(FFont);
}

QString TCustomComTerminal::CellText(int column, int row) const {
  char ch = FBuffer.GetChar(column, row).Ch;
  if (row < 1 && row >= FirstLine()) {
    const std::vector<TComTermChar>& kept = FHistory.Line(std::size_t(HistoryLines() - 1 + row));
    ch = column >= 1 && column <= int(kept.size()) ? kept[std::size_t(column - 1)].Ch : 0;
  }
  return ch ? QString(QChar(uchar(ch))) : QString(QChar(' '));
}

// ------------------------------------------------------------------ caret

QRect TCustomComTerminal::CaretRect() const {
  const int x = (FCaretCell.x() - FTopLeftCell.x()) * FCellWidth;
  const int y = FCellHeight * (FCaretCell.y() - FTopLeftCell.y() + 1) - FCaretPixelHeight;
  return QRect(x, y, FCellWidth, FCaretPixelHeight);
}

void TCustomComTerminal::CreateTerminalCaret() {
  FCaretPixelHeight = FCaret == tcBlock ? FCellHeight : FCaret == tcUnderline ? FCellHeight / 8 : 0;
  FHasCaret = FCaretPixelHeight > 0;
  FCaretBlinkOn = true;
  const int flash = QApplication::cursorFlashTime();
  if (FHasCaret && flash > 0) FCaretBlink.start(flash / 2);
}

void TCustomComTerminal::InitCaret() {
  CreateTerminalCaret();
  FCaretShown = true;
  PlaceCaret();
}

void TCustomComTerminal::DestroyCaret() {
  if (FHasCaret) viewport()->update(CaretRect());
  FCaretBlink.stop();
  FHasCaret = false;
}

void TCustomComTerminal::PlaceCaret() {
  if (FHasCaret) viewport()->update(CaretRect());
}

void TCustomComTerminal::HideCaret() {
  if (!FHasCaret) return;
  FCaretShown = false;
  viewport()->update(CaretRect());
}

void TCustomComTerminal::ShowCaret() {
  if (!FHasCaret) return;
  FCaretShown = true;
  FCaretBlinkOn = true;  // a moving caret stays visible
  viewport()->update(CaretRect());
}

void TCustomComTerminal::SetCaret(TTermCaret value) {
  if (value == FCaret) return;
  FCaret = value;
  if (hasFocus()) {
    DestroyCaret();
    InitCaret();
  }
}

void TCustomComTerminal::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  InitCaret();
}

void TCustomComTerminal::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  DestroyCaret();
}

// ------------------------------------------------------- size and scroll

bool TCustomComTerminal::CalculateMetrics() {
  const QFontMetrics metrics(FFont);
  FCellWidth = std::max(1, metrics.horizontalAdvance(QLatin1Char('W')));
  FCellHeight = std::max(1, metrics.height());
  FCellAscent = metrics.ascent();
  return QFontInfo(FFont).fixedPitch();
}

void TCustomComTerminal::SetFont(const QFont& font, QRgb color) {
  QFont chosen = font;
  if (!QFontInfo(chosen).fixedPitch()) {
    // A proportional font would break the grid: the default face, at the
    // size chosen.
    const QFont fallback = DefaultFont();
    chosen.setFamily(fallback.family());
    chosen.setStyleHint(QFont::TypeWriter);
  }
  chosen.setUnderline(false);
  FFont = chosen;
  FFontColor = color;
  FCurrentAttr.FrontColor = color;
  if (FHasCaret) DestroyCaret();
  CalculateMetrics();
  if (hasFocus()) InitCaret();
  FitGrid();
  AdjustSize();
  UpdateScrollRange();
  viewport()->update();
}

void TCustomComTerminal::SetColor(QRgb value) {
  FColor = value;
  FCurrentAttr.BackColor = value;
  viewport()->update();
}

void TCustomComTerminal::SetBorderStyle(TTermBorderStyle value) {
  FBorderStyle = value;
  setFrameStyle(value == bsSingle ? QFrame::StyledPanel | QFrame::Sunken : QFrame::NoFrame);
  AdjustSize();
}

void TCustomComTerminal::SetScrollBars(TScrollStyle value) {
  FScrollBars = value;
  // A bar shows only while the grid is larger than the window; a grid that
  // fits the window needs only the scrollback's, always there, so that its
  // coming does not change the grid.
  const bool horizontal = (value == ssHorizontal || value == ssBoth) && !FFitToWindow;
  const bool vertical = value == ssVertical || value == ssBoth;
  setHorizontalScrollBarPolicy(horizontal ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(!vertical       ? Qt::ScrollBarAlwaysOff
                             : FFitToWindow ? Qt::ScrollBarAlwaysOn
                                            : Qt::ScrollBarAsNeeded);
  UpdateScrollRange();
}

void TCustomComTerminal::SetAutoSize(bool value) {
  FAutoSize = value;
  AdjustSize();
}

QSize TCustomComTerminal::sizeHint() const {
  const int border = 2 * frameWidth();
  return QSize(FCellWidth * FColumns + border, FCellHeight * FRows + border);
}

void TCustomComTerminal::AdjustSize() {
  updateGeometry();
  if (FAutoSize) resize(sizeHint());
}

void TCustomComTerminal::UpdateScrollRange() {
  QScrollBar* h = horizontalScrollBar();
  QScrollBar* v = verticalScrollBar();
  const bool horizontal = FScrollBars == ssHorizontal || FScrollBars == ssBoth;
  const bool vertical = FScrollBars == ssVertical || FScrollBars == ssBoth;
  const QSize client = viewport()->size();
  const int visibleColumns = std::max(1, client.width() / FCellWidth);
  const int visibleRows = std::max(1, client.height() / FCellHeight);
  h->setRange(0, horizontal ? std::max(0, FColumns - visibleColumns) : 0);
  h->setPageStep(visibleColumns);
  h->setSingleStep(1);
  v->setRange(vertical ? -HistoryLines() : 0, vertical ? std::max(0, FRows - visibleRows) : 0);
  v->setPageStep(visibleRows);
  v->setSingleStep(1);
  // Without SmoothScroll the picture follows the thumb when it is let go.
  h->setTracking(SmoothScroll);
  v->setTracking(SmoothScroll);
  UpdateScrollPos();
}

void TCustomComTerminal::UpdateScrollPos() {
  const QPoint topLeft(horizontalScrollBar()->value() + 1, verticalScrollBar()->value() + 1);
  if (topLeft == FTopLeftCell) return;
  FTopLeftCell = topLeft;
  viewport()->update();
}

void TCustomComTerminal::scrollContentsBy(int, int) { UpdateScrollPos(); }

void TCustomComTerminal::ShowCaretCell() {
  const QSize client = viewport()->size();
  const int visibleColumns = std::max(1, client.width() / FCellWidth);
  const int visibleRows = std::max(1, client.height() / FCellHeight);
  const auto follow = [](QScrollBar* bar, int cell, int visible) {
    const int first = bar->value() + 1;
    if (cell < first)
      bar->setValue(cell - 1);
    else if (cell >= first + visible)
      bar->setValue(cell - visible);
  };
  follow(horizontalScrollBar(), FCaretCell.x(), visibleColumns);
  follow(verticalScrollBar(), FCaretCell.y(), visibleRows);
  // The thumb may not track; the picture follows the caret all the same.
  UpdateScrollPos();
}

void TCustomComTerminal::ReturnToCaret() {
  // Typing leaves the scrollback for the screen, whole, as terminals do.
  if (verticalScrollBar()->value() < 0) verticalScrollBar()->setValue(0);
  ShowCaretCell();
}

void TCustomComTerminal::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollRange();
}

void TCustomComTerminal::showEvent(QShowEvent* event) {
  QAbstractScrollArea::showEvent(event);
  FitGrid();
}

bool TCustomComTerminal::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::Resize) {
    FitGrid();
    UpdateScrollRange();
  }
  return QAbstractScrollArea::viewportEvent(event);
}

// --------------------------------------------------------------- keyboard

bool TCustomComTerminal::focusNextPrevChild(bool next) {
  if (WantTab) return false;  // Tab goes to the host
  return QAbstractScrollArea::focusNextPrevChild(next);
}

void TCustomComTerminal::keyPressEvent(QKeyEvent* event) {
  if (ViewKey(event)) return;
  // With Tab going to the host, Ctrl+Tab and Ctrl+Shift+Tab leave the terminal.
  const int key = event->key();
  if (WantTab && (event->modifiers() & Qt::ControlModifier) && (key == Qt::Key_Tab || key == Qt::Key_Backtab)) {
    const bool back = key == Qt::Key_Backtab || (event->modifiers() & Qt::ShiftModifier);
    QAbstractScrollArea::focusNextPrevChild(!back);
    return;
  }
  TEscapeCode code = ecUnknown;
  switch (event->key()) {
    case Qt::Key_Home: code = ecCursorHome; break;
    case Qt::Key_Left: code = ecCursorLeft; break;
    case Qt::Key_Up: code = ecCursorUp; break;
    case Qt::Key_Right: code = ecCursorRight; break;
    case Qt::Key_Down: code = ecCursorDown; break;
    default: break;
  }
  Guarded([&] {
    if (!event->text().isEmpty() || code != ecUnknown) ReturnToCaret();
    if (code != ecUnknown) {
      if (FAppCursorKeys) {
        // The host's application mode: arrows send their own codes, Home
        // sends nothing.
        switch (code) {
          case ecCursorUp: SendCode(ecAppCursorUp, nullptr); break;
          case ecCursorDown: SendCode(ecAppCursorDown, nullptr); break;
          case ecCursorLeft: SendCode(ecAppCursorLeft, nullptr); break;
          case ecCursorRight: SendCode(ecAppCursorRight, nullptr); break;
          default: break;
        }
      } else if (ArrowKeys == akTerminal) {
        SendCode(code, nullptr);
      } else {
        TPaintBatch batch(this);
        PutEscapeCode(code, TStrings{});
      }
      return;
    }
    if (key == Qt::Key_Return || key == Qt::Key_Enter) return SendChar(13);
    if (key == Qt::Key_Backspace) return SendChar(8);
    if (key == Qt::Key_Escape) return SendChar(27);
    if (key == Qt::Key_Tab) return SendChar(9);
    for (const QChar ch : event->text()) {
      if (ch.unicode() > 255) continue;  // one byte a character: Latin-1 only
      SendChar(char(ch.unicode()));
    }
  })();
}

// ---------------------------------------------------------------- dialogs

void TCustomComTerminal::SelectFont() {
  bool ok = false;
  const QFont font =
      QFontDialog::getFont(&ok, FFont, this, "Font", QFontDialog::MonospacedFonts | QFontDialog::DontUseNativeDialog);
  if (ok) SetFont(font);
}

void TCustomComTerminal::ShowSetupDialog() { EditComTerminal(*this); }
