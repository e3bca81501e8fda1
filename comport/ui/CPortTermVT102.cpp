// The extended terminal's screen model: what each byte and sequence does.
#include "CPortTermVT102.h"

#include <algorithm>

namespace {

// The DEC special graphics set for the bytes 0x5F to 0x7E.
const char32_t LineDrawing[] = {
    0x00A0, 0x25C6, 0x2592, 0x2409, 0x240C, 0x240D, 0x240A, 0x00B0, 0x00B1, 0x2424, 0x240B, 0x2518,
    0x2510, 0x250C, 0x2514, 0x253C, 0x23BA, 0x23BB, 0x2500, 0x23BC, 0x23BD, 0x251C, 0x2524, 0x2534,
    0x252C, 0x2502, 0x2264, 0x2265, 0x03C0, 0x2260, 0x00A3, 0x00B7,
};

constexpr char32_t Replacement = 0xFFFD;

int Count(const TStrings& params) { return std::max(1, TEscapeCodes::GetParam(1, &params)); }

// A parameter that is a number, or fallback when it is empty or none.
int Number(const TStrings& params, std::size_t i, int fallback) {
  return i < params.size() ? params.Number(i, fallback) : fallback;
}

// The nearest of the 256 colours to an RGB colour.
int NearestColor(int r, int g, int b) {
  const auto level = [](int v) { return v < 48 ? 0 : v < 115 ? 1 : (v - 35) / 40; };
  const int cube = 16 + 36 * level(r) + 6 * level(g) + level(b);
  const int grey = std::clamp((r + g + b) / 3, 8, 238);
  const int ramp = 232 + (grey - 8) / 10;
  const auto distance = [&](int index) {
    static const int Levels[] = {0, 95, 135, 175, 215, 255};
    int cr, cg, cb;
    if (index >= 232) {
      cr = cg = cb = 8 + 10 * (index - 232);
    } else {
      const int i = index - 16;
      cr = Levels[i / 36], cg = Levels[i / 6 % 6], cb = Levels[i % 6];
    }
    return (cr - r) * (cr - r) + (cg - g) * (cg - g) + (cb - b) * (cb - b);
  };
  return distance(cube) <= distance(ramp) ? cube : ramp;
}

}  // namespace

int CharCells(char32_t ch) {
  // Combining marks and zero-width characters join the one before them.
  const auto in = [ch](char32_t a, char32_t b) { return ch >= a && ch <= b; };
  if (in(0x0300, 0x036F) || in(0x1AB0, 0x1AFF) || in(0x1DC0, 0x1DFF) || in(0x20D0, 0x20FF) || in(0xFE20, 0xFE2F) ||
      in(0x200B, 0x200F) || ch == 0xFE0F || ch == 0xFE0E)
    return 0;
  // East Asian wide and full-width characters, and emoji.
  if (in(0x1100, 0x115F) || in(0x2E80, 0x303E) || in(0x3041, 0x33FF) || in(0x3400, 0x4DBF) || in(0x4E00, 0x9FFF) ||
      in(0xA000, 0xA4CF) || in(0xAC00, 0xD7A3) || in(0xF900, 0xFAFF) || in(0xFE30, 0xFE4F) || in(0xFF00, 0xFF60) ||
      in(0xFFE0, 0xFFE6) || in(0x1F300, 0x1F64F) || in(0x1F900, 0x1F9FF) || in(0x20000, 0x3FFFD))
    return 2;
  return 1;
}

TComTerminalVT102::TComTerminalVT102(QWidget* parent) : TCustomComTerminal(parent) {
  WrapLines = true;  // a VT102 wraps at the right margin unless told not to
  WantTab = true;    // Tab goes to the host (shell completion); Ctrl+Tab leaves
  GridInitialized();
  CreateEscapeCodes();
  SetColorScheme(csDark);
}

void TComTerminalVT102::CreateEscapeCodes() {
  if (Emulation() == teVT100orANSI)
    FEscapeCodes = std::make_unique<TEscapeCodesVT102>();
  else
    TCustomComTerminal::CreateEscapeCodes();
}

std::size_t TComTerminalVT102::FeedParser(TEscapeCodes& codes, const std::string& Str, std::size_t index) {
  if (typeid(codes) == typeid(TEscapeCodesVT102)) return Feed(static_cast<TEscapeCodesVT102&>(codes), Str, index);
  return TCustomComTerminal::FeedParser(codes, Str, index);
}

void TComTerminalVT102::SetUtf8(bool value) {
  FUtf8 = value;
  FUtf8Left = 0;
}

// ------------------------------------------------------------------ cells

const TVtCell& TComTerminalVT102::Cell(int column, int row) const {
  static const TVtCell Empty;
  if (row < 1 && row >= FirstLine()) {  // a line of the scrollback
    const std::vector<TVtCell>& kept = FHistoryCells.Line(std::size_t(HistoryLines() - 1 + row));
    return column >= 1 && column <= int(kept.size()) ? kept[std::size_t(column - 1)] : Empty;
  }
  if (column < 1 || column > FGridColumns || row < 1 || row > FGridRows) return Empty;
  return At(column, row);
}

// --------------------------------------------------------------- scrollback

void TComTerminalVT102::KeepRow(int row) {
  // The line's cells are kept here alone; the plain grid's copy is not.
  KeepCells(nullptr, 0);
  // Up to the last cell that shows something (a character or a colour).
  const TVtCell* cells = &At(1, row);
  int length = FGridColumns;
  while (length > 0 && cells[length - 1].Ch == 0 && cells[length - 1].Bg < 0 && !(cells[length - 1].Flags & vfReverse))
    --length;
  FHistoryCells.Push(cells, std::size_t(length));
}

void TComTerminalVT102::ForgetHistory(int count) {
  TCustomComTerminal::ForgetHistory(count);
  FHistoryCells.PopFront(std::size_t(std::max(0, count)));
}

void TComTerminalVT102::RelayGrid(int columns, int rows, int drop) {
  TCustomComTerminal::RelayGrid(columns, rows, drop);
  // Rows of cells laid out anew (a flat grid when fromRing is false).
  const auto relay = [&](std::vector<TVtCell>& grid, bool fromRing, int skip) {
    std::vector<TVtCell> cells(std::size_t(columns) * std::size_t(rows));
    for (int r = 1; r <= rows && r + skip <= FGridRows; ++r) {
      const TVtCell* from = fromRing ? &At(1, r + skip) : &grid[std::size_t(r + skip - 1) * std::size_t(FGridColumns)];
      TVtCell* to = &cells[std::size_t(r - 1) * std::size_t(columns)];
      std::copy_n(from, std::min(columns, FGridColumns), to);
      if (to[columns - 1].Flags & vfWide) to[columns - 1] = TVtCell{};  // its right half is cut off
    }
    grid = std::move(cells);
  };
  relay(FCells, true, drop);
  if (FAlternate && !FMainCells.empty()) {
    relay(FMainCells, false, 0);
    std::vector<TComTermChar> plain(std::size_t(columns) * std::size_t(rows));
    for (int r = 1; r <= rows && r <= FGridRows; ++r)
      std::copy_n(&FMainGrid[std::size_t(r - 1) * std::size_t(FGridColumns)], std::min(columns, FGridColumns),
                  &plain[std::size_t(r - 1) * std::size_t(columns)]);
    FMainGrid = std::move(plain);
  }
  FGridColumns = columns;
  FGridRows = rows;
  FRing = 0;
  FTop = 1;
  FBottom = rows;
  FWrapPending = false;
  const auto onGrid = [&](QPoint p, int up) {
    return QPoint(std::clamp(p.x(), 1, columns), std::clamp(p.y() - up, 1, rows));
  };
  FSaved.Caret = onGrid(FSaved.Caret, drop);
  FMainCaret = onGrid(FMainCaret, 0);
}

QString TComTerminalVT102::CellText(int column, int row) const {
  const TVtCell& cell = Cell(column, row);
  if (cell.Flags & vfWideTail) return {};  // the wide character's text is in its first cell
  if (cell.Ch == 0) return QString(QChar(' '));
  QString text = QString::fromUcs4(&cell.Ch, 1);
  if (cell.Mark) text += QString::fromUcs4(&cell.Mark, 1);
  return text;
}

QString TComTerminalVT102::LineText(int line) const {
  QString text;
  const int length = LineLength(line);
  text.reserve(length);
  for (int c = 1; c <= length; ++c) {
    const TVtCell& cell = Cell(c, line);
    if (cell.Flags & vfWideTail) continue;
    if (cell.Ch == 0) {
      text += QChar(' ');
      continue;
    }
    const char32_t chars[2] = {cell.Ch, cell.Mark};
    text += QString::fromUcs4(chars, cell.Mark ? 2 : 1);
  }
  return text;
}

void TComTerminalVT102::GridInitialized() {
  FGridColumns = FBuffer.Columns();
  FGridRows = FBuffer.Rows();
  FCells.assign(std::size_t(FGridColumns) * std::size_t(FGridRows), TVtCell{});
  FRing = 0;
  FTop = 1;
  FBottom = FGridRows;
  FWrapPending = false;
  FAlternate = false;
  FMainGrid.clear();
  FMainCells.clear();
  // Whatever points into the grid stays in it.
  const auto clamp = [this](QPoint p) {
    return QPoint(std::clamp(p.x(), 1, std::max(1, FGridColumns)), std::clamp(p.y(), 1, std::max(1, FGridRows)));
  };
  FSaved.Caret = clamp(FSaved.Caret);
  FMainCaret = clamp(FMainCaret);
}

TVtCell TComTerminalVT102::Blank() const {
  TVtCell blank;
  blank.Bg = FPen.Bg;
  return blank;
}

void TComTerminalVT102::GridScrolled(bool up) {
  TCustomComTerminal::GridScrolled(up);
  if (FGridRows == 0) return;
  // The cells turn with the grid's ring of rows.
  if (up) {
    FRing = FRing + 1 == FGridRows ? 0 : FRing + 1;
    std::fill_n(&At(1, FGridRows), FGridColumns, Blank());
  } else {
    FRing = FRing == 0 ? FGridRows - 1 : FRing - 1;
    std::fill_n(&At(1, 1), FGridColumns, Blank());
  }
}

void TComTerminalVT102::SetCell(int column, int row, const TVtCell& cell) {
  At(column, row) = cell;
  TComTermChar& plain = FBuffer.Row(row)[column - 1];
  plain.Ch = cell.Ch == 0 ? 0 : cell.Ch <= 0xFF ? char(cell.Ch) : '?';
  plain.Underline = cell.Flags & vfUnderline;
  InvalidateCells(column, row, column, row);
}

void TComTerminalVT102::FillRow(int row, int from, int to, const TVtCell& cell) {
  from = std::max(from, 1);
  to = std::min(to, FGridColumns);
  if (from > to || row < 1 || row > FGridRows) return;
  std::fill(FBuffer.Row(row) + from - 1, FBuffer.Row(row) + to, TComTermChar{});
  std::fill(&At(1, row) + from - 1, &At(1, row) + to, cell);
  InvalidateCells(from, row, to, row);
}

void TComTerminalVT102::SplitWide(int column, int row) {
  TVtCell& cell = At(column, row);
  if ((cell.Flags & vfWideTail) && column > 1) FillRow(row, column - 1, column - 1, Blank());
  if ((cell.Flags & vfWide) && column < FGridColumns) FillRow(row, column + 1, column + 1, Blank());
}

void TComTerminalVT102::CopyRow(int from, int to) {
  std::copy_n(FBuffer.Row(from), FGridColumns, FBuffer.Row(to));
  std::copy_n(&At(1, from), FGridColumns, &At(1, to));
}

void TComTerminalVT102::EmptyRow(int row) { FillRow(row, 1, FGridColumns, Blank()); }

void TComTerminalVT102::ScrollRegion(int top, int bottom, int n, bool up) {
  top = std::max(top, 1);
  bottom = std::min(bottom, FGridRows);
  n = std::min(n, bottom - top + 1);
  if (n <= 0) return;
  TPaintBatch batch(this);
  if (top == 1 && bottom == FGridRows) {
    // The whole screen: the rings turn.
    for (int i = 0; i < n; ++i) up ? FBuffer.ScrollDown() : FBuffer.ScrollUp();
    return;
  }
  if (up) {
    for (int r = top; r <= bottom - n; ++r) CopyRow(r + n, r);
    for (int r = bottom - n + 1; r <= bottom; ++r) EmptyRow(r);
  } else {
    for (int r = bottom; r >= top + n; --r) CopyRow(r - n, r);
    for (int r = top; r < top + n; ++r) EmptyRow(r);
  }
  InvalidateCells(1, top, FGridColumns, bottom);
}

void TComTerminalVT102::InsertBlankChars(int column, int row, int n) {
  if (column < 1 || column > FGridColumns || row < 1 || row > FGridRows) return;
  n = std::min(n, FGridColumns - column + 1);
  SplitWide(column, row);
  TComTermChar* plain = FBuffer.Row(row);
  TVtCell* cells = &At(1, row);
  std::copy_backward(plain + column - 1, plain + FGridColumns - n, plain + FGridColumns);
  std::copy_backward(cells + column - 1, cells + FGridColumns - n, cells + FGridColumns);
  FillRow(row, column, column + n - 1, Blank());
  InvalidateCells(column, row, FGridColumns, row);
}

void TComTerminalVT102::DeleteChars(int column, int row, int n) {
  if (column < 1 || column > FGridColumns || row < 1 || row > FGridRows) return;
  n = std::min(n, FGridColumns - column + 1);
  SplitWide(column, row);
  TComTermChar* plain = FBuffer.Row(row);
  TVtCell* cells = &At(1, row);
  std::copy(plain + column - 1 + n, plain + FGridColumns, plain + column - 1);
  std::copy(cells + column - 1 + n, cells + FGridColumns, cells + column - 1);
  FillRow(row, FGridColumns - n + 1, FGridColumns, Blank());
  InvalidateCells(column, row, FGridColumns, row);
}

void TComTerminalVT102::EraseCells(int fromColumn, int fromRow, int toColumn, int toRow) {
  TPaintBatch batch(this);
  fromRow = std::max(fromRow, 1);
  toRow = std::min(toRow, FGridRows);
  for (int r = fromRow; r <= toRow; ++r) {
    const int first = std::max(r == fromRow ? fromColumn : 1, 1);
    const int last = std::min(r == toRow ? toColumn : FGridColumns, FGridColumns);
    if (first > last) continue;
    SplitWide(first, r);
    SplitWide(last, r);
    FillRow(r, first, last, Blank());
  }
}

// ------------------------------------------------------------ the caret

void TComTerminalVT102::LineFeed() {
  FWrapPending = false;
  const int row = FCaretCell.y();
  if (row == FBottom)
    ScrollRegion(FTop, FBottom, 1, true);
  else if (row < FGridRows)
    MoveCaret(FCaretCell.x(), row + 1);
}

void TComTerminalVT102::ReverseLineFeed() {
  FWrapPending = false;
  const int row = FCaretCell.y();
  if (row == FTop)
    ScrollRegion(FTop, FBottom, 1, false);
  else if (row > 1)
    MoveCaret(FCaretCell.x(), row - 1);
}

void TComTerminalVT102::Tab(int n) {
  int column = FCaretCell.x();
  if (n > 0) {
    for (; n > 0 && column < FGridColumns; --n) {
      const int next = FBuffer.NextTab(column + 1);
      column = next ? next : FGridColumns;
    }
  } else {
    for (; n < 0 && column > 1; ++n)
      do --column;
      while (column > 1 && !FBuffer.GetTab(column));
  }
  MoveTo(column, FCaretCell.y());
}

void TComTerminalVT102::SaveCursor() {
  FSaved.Caret = FCaretCell;
  FSaved.Pen = FPen;
  FSaved.Origin = FOrigin;
  FSaved.Charsets[0] = FCharsets[0];
  FSaved.Charsets[1] = FCharsets[1];
  FSaved.Shift = FShift;
}

void TComTerminalVT102::RestoreCursor() {
  FPen = FSaved.Pen;
  FOrigin = FSaved.Origin;
  FCharsets[0] = FSaved.Charsets[0];
  FCharsets[1] = FSaved.Charsets[1];
  FShift = FSaved.Shift;
  MoveTo(FSaved.Caret.x(), FSaved.Caret.y());
}

// ------------------------------------------------------------ characters

char32_t TComTerminalVT102::Translate(std::uint8_t byte) const {
  switch (FCharsets[FShift]) {
    case csGraphics:
      if (byte >= 0x5F && byte <= 0x7E) return LineDrawing[byte - 0x5F];
      break;
    case csUk:
      if (byte == '#') return 0x00A3;  // the pound sign
      break;
    case csAscii: break;
  }
  return byte;
}

void TComTerminalVT102::Join(char32_t mark) {
  // A combining character goes with the one before the caret.
  int column = FCaretCell.x() - (FWrapPending ? 0 : 1);
  const int row = FCaretCell.y();
  if (column >= 1 && column <= FGridColumns && (At(column, row).Flags & vfWideTail)) --column;
  if (column < 1 || column > FGridColumns || row > FGridRows) return;
  TVtCell& cell = At(column, row);
  if (cell.Ch == 0 || cell.Mark != 0) return;  // nothing to join, or one mark already
  cell.Mark = mark;
  InvalidateCells(column, row, column, row);
}

void TComTerminalVT102::Print(char32_t ch) {
  const int cells = ch < 0x300 ? 1 : CharCells(ch);
  if (cells == 0) return Join(ch);
  // The VT100's pending wrap: a character in the last column leaves the
  // caret there, and only the next printable one goes to the next line.
  if (FWrapPending || (cells == 2 && FCaretCell.x() == FGridColumns && WrapLines)) {
    FWrapPending = false;
    MoveCaret(1, FCaretCell.y());
    LineFeed();
  }
  const int column = FCaretCell.x(), row = FCaretCell.y();
  if (column > FGridColumns || row > FGridRows) return;
  const bool wide = cells == 2 && column < FGridColumns;
  if (FInsert) InsertBlankChars(column, row, wide ? 2 : 1);
  if (At(column, row).Flags & (vfWide | vfWideTail)) SplitWide(column, row);
  if (wide && (At(column + 1, row).Flags & (vfWide | vfWideTail))) SplitWide(column + 1, row);
  TVtCell cell = FPen;
  cell.Ch = wide || cells == 1 ? ch : Replacement;  // no room for a wide one at a margin that does not wrap
  cell.Flags = std::uint8_t(cell.Flags | (wide ? vfWide : 0));
  SetCell(column, row, cell);
  if (wide) {
    TVtCell tail = FPen;
    tail.Flags = std::uint8_t(tail.Flags | vfWideTail);
    SetCell(column + 1, row, tail);
  }
  FLastPrinted = ch;
  const int last = column + (wide ? 1 : 0);
  if (last >= FGridColumns) {
    if (WrapLines) FWrapPending = true;
    if (wide) MoveCaret(FGridColumns, row);
  } else if (HasCaret()) {
    MoveCaret(last + 1, row);  // the window caret follows
  } else {
    FCaretCell.rx() = last + 1;
  }
}

void TComTerminalVT102::PutText(const char* Text, std::size_t Count) {
  if (FUtf8Left > 0 || FInsert || FCharsets[FShift] != csAscii || OnChar) {
    for (std::size_t i = 0; i < Count; ++i) PutChar(Text[i]);
    return;
  }
  // Plain ASCII: as many characters as fit before the right margin go onto
  // the row at once.
  for (std::size_t i = 0; i < Count;) {
    if (FWrapPending) {
      Print(char32_t(std::uint8_t(Text[i++])));
      continue;
    }
    const int column = FCaretCell.x(), row = FCaretCell.y();
    if (column > FGridColumns || row > FGridRows) return;
    const std::size_t n = std::min(std::size_t(FGridColumns - column + 1), Count - i);
    TVtCell* cells = &At(column, row);
    if (cells[0].Flags & (vfWide | vfWideTail)) SplitWide(column, row);
    if (cells[n - 1].Flags & (vfWide | vfWideTail)) SplitWide(column + int(n) - 1, row);
    TComTermChar* plain = FBuffer.Row(row) + column - 1;
    const bool underline = FPen.Flags & vfUnderline;
    TVtCell cell = FPen;
    for (std::size_t k = 0; k < n; ++k) {
      cell.Ch = char32_t(std::uint8_t(Text[i + k]));
      cells[k] = cell;
      plain[k].Ch = Text[i + k];
      plain[k].Underline = underline;
    }
    InvalidateCells(column, row, column + int(n) - 1, row);
    FLastPrinted = cell.Ch;
    i += n;
    const int last = column + int(n) - 1;
    if (last == FGridColumns) {
      if (WrapLines) FWrapPending = true;
      MoveCaret(FGridColumns, row);
    } else if (HasCaret()) {
      MoveCaret(last + 1, row);
    } else {
      FCaretCell.rx() = last + 1;
    }
  }
}

void TComTerminalVT102::PutChar(char Ch) {
  const std::uint8_t byte = std::uint8_t(Ch);
  if (FUtf8 && (byte >= 0x80 || FUtf8Left > 0)) {
    if (FUtf8Left > 0 && (byte & 0xC0) == 0x80) {
      FUtf8Code = (FUtf8Code << 6) | (byte & 0x3F);
      if (--FUtf8Left == 0) {
        // Overlong forms, surrogates, what lies beyond Unicode and the C1
        // controls in UTF-8 show as the replacement character.
        const char32_t code = FUtf8Code;
        const bool valid = code >= FUtf8Min && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF) && code >= 0xA0;
        Print(valid ? code : Replacement);
      }
      DoChar(Ch);
      return;
    }
    if (FUtf8Left > 0) {  // a character cut short
      FUtf8Left = 0;
      Print(Replacement);
    }
    if (byte >= 0x80) {
      if ((byte & 0xE0) == 0xC0) FUtf8Code = byte & 0x1F, FUtf8Left = 1, FUtf8Min = 0x80;
      else if ((byte & 0xF0) == 0xE0) FUtf8Code = byte & 0x0F, FUtf8Left = 2, FUtf8Min = 0x800;
      else if ((byte & 0xF8) == 0xF0) FUtf8Code = byte & 0x07, FUtf8Left = 3, FUtf8Min = 0x10000;
      else Print(Replacement);
      DoChar(Ch);
      return;
    }
  }
  if (byte >= 32 && byte != 127) {
    Print(FCharsets[FShift] == csAscii ? char32_t(byte) : Translate(byte));
  } else {
    FLastPrinted = 0;
    switch (byte) {
      case 8: MoveTo(FCaretCell.x() - 1, FCaretCell.y()); break;
      case 9: Tab(1); break;
      case 10:
      case 11:
      case 12:
        if (FNewLine) MoveTo(1, FCaretCell.y());
        LineFeed();
        break;
      case 13: MoveTo(1, FCaretCell.y()); break;
      case 14: FShift = 1; break;  // SO: G1
      case 15: FShift = 0; break;  // SI: G0
      default: break;
    }
  }
  DoChar(Ch);
}

// ------------------------------------------------------------- sequences

// Cursor moves are most of what full-screen programs send: they take no
// more than they need, the rest is another function's.
bool TComTerminalVT102::PutEscapeCode(TEscapeCode Code, const TStrings& Params) {
  if (Code == ecCursorHome || Code == ecCursorMove) {
    FLastPrinted = 0;
    MoveInRegion(TEscapeCodes::GetParam(2, &Params), TEscapeCodes::GetParam(1, &Params));
    return true;
  }
  return PutOtherCode(Code, Params);
}

bool TComTerminalVT102::PutOtherCode(TEscapeCode Code, const TStrings& Params) {
  if (Code != ecRepeat && Code != ecAttributes) FLastPrinted = 0;  // REP repeats what was printed just before
  if (PutCursorCode(Code, Params) || PutEditCode(Code, Params) || PutReportCode(Code, Params)) return true;
  switch (int(Code)) {
    case ecCharsetG0:
    case ecCharsetG1: {
      const std::string_view set = Params.empty() ? std::string_view() : Params[0];
      FCharsets[Code == ecCharsetG1] = set == "0" ? csGraphics : set == "A" ? csUk : csAscii;
      break;
    }
    case ecKeypadApplication:
    case ecKeypadNumeric: break;  // the keypad sends digits either way
    case ecOsc: Osc(Params); break;
    case ecControlString: break;  // taken whole, nothing to do
    case ecSaveCaretAndAttr:
    case ecSaveCaret: SaveCursor(); break;
    case ecRestoreCaretAndAttr:
    case ecRestoreCaret: RestoreCursor(); break;
    case ecSoftReset: SoftReset(); break;
    case ecReset: {  // a full reset
      SoftReset();
      FNewLine = FScreenReverse = false;
      WrapLines = true;
      SwitchScreen(false, false);
      EraseCells(1, 1, FGridColumns, FGridRows);
      MoveTo(1, 1);
      break;
    }
    case ecTest: {  // the screen alignment pattern
      TPaintBatch batch(this);
      TVtCell e;
      e.Ch = 'E';
      for (int r = 1; r <= FGridRows; ++r)
        for (int c = 1; c <= FGridColumns; ++c) SetCell(c, r, e);
      FTop = 1;
      FBottom = FGridRows;
      FOrigin = false;
      MoveTo(1, 1);
      break;
    }
    default: return TCustomComTerminal::PutEscapeCode(Code, Params);
  }
  return true;
}

// The caret's moves, the scroll region and scrolling, tab stops.
bool TComTerminalVT102::PutCursorCode(TEscapeCode Code, const TStrings& Params) {
  const int column = FCaretCell.x(), row = FCaretCell.y();
  const int n = Count(Params);
  // Up and down stop at the margins of the region the caret is in.
  const int top = row >= FTop ? FTop : 1;
  const int bottom = row <= FBottom ? FBottom : FGridRows;
  switch (int(Code)) {
    case ecCursorUp:
    case ecAppCursorUp: MoveTo(column, std::max(row - n, top)); break;
    case ecCursorDown: MoveTo(column, std::min(row + n, bottom)); break;
    case ecCursorLeft: MoveTo(column - n, row); break;
    case ecCursorRight: MoveTo(column + n, row); break;
    case ecCursorColumn: MoveTo(n, row); break;
    case ecCursorRow: MoveInRegion(column, n); break;
    case ecCursorNextLine: MoveTo(1, std::min(row + n, bottom)); break;
    case ecCursorPrevLine: MoveTo(1, std::max(row - n, top)); break;
    case ecIndex: LineFeed(); break;
    case ecNextLine:
      MoveTo(1, row);
      LineFeed();
      break;
    case ecReverseIndex:
    case ecReverseLineFeed: ReverseLineFeed(); break;
    case ecScrollRegion: {
      // A missing or 0 margin is the screen's own.
      const int t = std::max(1, Number(Params, 0, 1));
      const int b = Number(Params, 1, FGridRows) > 0 ? std::min(Number(Params, 1, FGridRows), FGridRows) : FGridRows;
      if (t < b) {
        FTop = t;
        FBottom = b;
        MoveInRegion(1, 1);
      }
      break;
    }
    case ecScrollUp: ScrollRegion(FTop, FBottom, n, true); break;
    case ecScrollDown: ScrollRegion(FTop, FBottom, n, false); break;
    case ecTabForward: Tab(n); break;
    case ecTabBackward: Tab(-n); break;
    default: return false;
  }
  return true;
}

// Inserting, deleting and erasing lines and characters, and repeating the
// last one printed. Erasing keeps the caret where it is.
bool TComTerminalVT102::PutEditCode(TEscapeCode Code, const TStrings& Params) {
  const int column = FCaretCell.x(), row = FCaretCell.y();
  const int n = Count(Params);
  switch (int(Code)) {
    case ecInsertLines:
    case ecDeleteLines:
      if (row >= FTop && row <= FBottom) {
        ScrollRegion(row, FBottom, n, Code == ecDeleteLines);
        MoveTo(1, row);
      }
      break;
    case ecInsertChars:
      FWrapPending = false;
      InsertBlankChars(column, row, n);
      break;
    case ecDeleteChars:
      FWrapPending = false;
      DeleteChars(column, row, n);
      break;
    case ecEraseChars: EraseCells(column, row, std::min(column + n - 1, FGridColumns), row); break;
    case ecEraseLineFrom: EraseCells(column, row, FGridColumns, row); break;
    case ecEraseLineTo: EraseCells(1, row, column, row); break;
    case ecEraseLine: EraseCells(1, row, FGridColumns, row); break;
    case ecEraseScreenFrom: EraseCells(column, row, FGridColumns, FGridRows); break;
    case ecEraseScreenTo: EraseCells(1, 1, column, row); break;
    case ecEraseScreen: EraseCells(1, 1, FGridColumns, FGridRows); break;
    case ecRepeat:
      if (FLastPrinted)
        for (int i = std::min(n, FGridColumns * FGridRows); i > 0; --i) Print(FLastPrinted);
      break;
    default: return false;
  }
  return true;
}

// Answers to the host's questions: what this terminal is, its line
// parameters, where the caret is.
bool TComTerminalVT102::PutReportCode(TEscapeCode Code, const TStrings& Params) {
  switch (int(Code)) {
    case ecIdentify: SendAnswer("\x1b[?6c"); break;               // a VT102
    case ecIdentifySecondary: SendAnswer("\x1b[>1;10;0c"); break;  // a VT220-class terminal, version 10
    case ecRequestParameters: {
      // No parity, 8 bits, 9600 baud both ways; solicited (1) or not (0).
      const int asked = Number(Params, 0, 0);
      if (asked == 0 || asked == 1) SendAnswer("\x1b[" + std::to_string(asked + 2) + ";1;1;112;112;1;0x");
      break;
    }
    case ecQueryCursorPos: {
      const int column = FCaretCell.x(), row = FCaretCell.y();
      SendAnswer("\x1b[" + std::to_string(FOrigin ? row - FTop + 1 : row) + ";" + std::to_string(column) + "R");
      break;
    }
    default: return false;
  }
  return true;
}

void TComTerminalVT102::SoftReset() {
  FPen = TVtCell{};
  FTop = 1;
  FBottom = FGridRows;
  FOrigin = FInsert = FBracketedPaste = false;
  FCaretVisible = true;
  FCharsets[0] = FCharsets[1] = csAscii;
  FShift = 0;
  FSaved = TSaved{};
}

void TComTerminalVT102::Osc(const TStrings& params) {
  if (params.size() < 2) return;
  const std::string_view number = params[0], text = params[1];
  if (number == "0" || number == "2") {
    QString title = FUtf8 ? QString::fromUtf8(text.data(), qsizetype(text.size()))
                          : QString::fromLatin1(text.data(), qsizetype(text.size()));
    title.removeIf([](QChar ch) { return ch.category() == QChar::Other_Control; });
    if (OnTitle) OnTitle(this, title);
  } else if ((number == "10" || number == "11") && text == "?") {
    // The colours asked for, in X11's form.
    const QRgb color = number == "10" ? FontColor() : Color();
    char answer[64];
    std::snprintf(answer, sizeof answer, "\x1b]%s;rgb:%02x%02x/%02x%02x/%02x%02x\x1b\\", number == "10" ? "10" : "11",
                  qRed(color), qRed(color), qGreen(color), qGreen(color), qBlue(color), qBlue(color));
    SendAnswer(answer);
  }
}

void TComTerminalVT102::SetAttributes(const TStrings& Params) {
  if (Params.empty()) FPen = TVtCell{};
  // A parameter may carry sub-parameters after colons (38:5:196, 4:3).
  std::vector<int> values;
  std::vector<bool> colon;  // the value is a sub-parameter of the one before
  for (std::size_t i = 0; i < Params.size(); ++i) {
    const std::string_view p = Params[i];
    std::size_t start = 0;
    for (std::size_t k = 0; k <= p.size(); ++k) {
      if (k < p.size() && p[k] != ':') continue;
      const std::string_view part = p.substr(start, k - start);
      int v = part.empty() ? -1 : 0;  // an empty one stands for the default
      for (char ch : part) {
        if (ch < '0' || ch > '9') {
          v = -2;  // not a number: the whole parameter does nothing
          break;
        }
        v = std::min(v * 10 + (ch - '0'), 99999);
      }
      values.push_back(v);
      colon.push_back(start > 0);
      start = k + 1;
    }
  }
  const auto at = [&](std::size_t i) { return i < values.size() ? std::max(values[i], 0) : 0; };
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (colon[i]) continue;  // a sub-parameter left over
    int v = values[i];
    if (v == -2) {
      while (i + 1 < values.size() && colon[i + 1]) ++i;
      continue;
    }
    if (v == -1) v = 0;
    const bool subs = i + 1 < values.size() && colon[i + 1];
    switch (v) {
      case 0: FPen = TVtCell{}; break;
      case 1: FPen.Flags |= vfBold; break;
      case 2: FPen.Flags |= vfFaint; break;
      case 4:
        if (subs && at(i + 1) == 0) FPen.Flags &= ~vfUnderline;  // 4:0
        else FPen.Flags |= vfUnderline;
        break;
      case 7: FPen.Flags |= vfReverse; break;
      case 21:
      case 22: FPen.Flags &= ~(vfBold | vfFaint); break;
      case 24: FPen.Flags &= ~vfUnderline; break;
      case 27: FPen.Flags &= ~vfReverse; break;
      case 39: FPen.Fg = -1; break;
      case 49: FPen.Bg = -1; break;
      case 38:
      case 48: {
        // 5;n picks from the 256 colours, 2;r;g;b a colour of its own (the
        // nearest of the 256); with colons, 2 may carry a colour space first.
        std::int16_t& target = v == 38 ? FPen.Fg : FPen.Bg;
        const int kind = at(i + 1);
        if (kind == 5) {
          target = std::int16_t(at(i + 2) & 0xFF);
          i += 2;
        } else if (kind == 2) {
          std::size_t first = i + 2;
          if (subs && i + 5 < values.size() && colon[i + 5]) ++first;  // 38:2:<space>:r:g:b
          target = std::int16_t(NearestColor(std::min(at(first), 255), std::min(at(first + 1), 255),
                                             std::min(at(first + 2), 255)));
          i = first + 2;
        }
        break;
      }
      default:
        if (v >= 30 && v <= 37) FPen.Fg = std::int16_t(v - 30);
        else if (v >= 40 && v <= 47) FPen.Bg = std::int16_t(v - 40);
        else if (v >= 90 && v <= 97) FPen.Fg = std::int16_t(v - 90 + 8);
        else if (v >= 100 && v <= 107) FPen.Bg = std::int16_t(v - 100 + 8);
        break;
    }
    while (i + 1 < values.size() && colon[i + 1]) ++i;  // sub-parameters that meant nothing here
  }
}

void TComTerminalVT102::SetMode(const TStrings& Params, bool OnOff) {
  // A "?" before the first mode makes every mode of the sequence a DEC one.
  const bool dec = !Params.empty() && !Params[0].empty() && Params[0][0] == '?';
  for (std::size_t i = 0; i < Params.size(); ++i) {
    std::string_view mode = Params[i];
    if (i == 0 && dec) mode.remove_prefix(1);
    if (!dec) {
      if (mode == "4") FInsert = OnOff;
      else if (mode == "20") FNewLine = OnOff;
      continue;
    }
    if (mode == "1") {
      TCustomComTerminal::SetMode(TStrings{"?1"}, OnOff);
    } else if (mode == "3") {
      TCustomComTerminal::SetMode(TStrings{"?3"}, OnOff);
      MoveTo(1, 1);
    } else if (mode == "5") {
      FScreenReverse = OnOff;
      InvalidateGrid();
    } else if (mode == "6") {
      FOrigin = OnOff;
      MoveInRegion(1, 1);
    } else if (mode == "7") {
      WrapLines = OnOff;
      FWrapPending = false;
    } else if (mode == "25") {
      FCaretVisible = OnOff;
      InvalidateCells(FCaretCell.x(), FCaretCell.y(), FCaretCell.x(), FCaretCell.y());
    } else if (mode == "47" || mode == "1047") {
      SwitchScreen(OnOff, false);
    } else if (mode == "1049") {
      SwitchScreen(OnOff, true);
    } else if (mode == "2004") {
      FBracketedPaste = OnOff;
    }
  }
}

void TComTerminalVT102::SwitchScreen(bool alternate, bool saveCaret) {
  if (alternate == FAlternate) return;
  TPaintBatch batch(this);
  const std::size_t cells = std::size_t(FGridColumns) * std::size_t(FGridRows);
  if (alternate) {
    if (saveCaret) SaveCursor();
    FMainGrid.resize(cells);
    FMainCells.resize(cells);
    for (int r = 1; r <= FGridRows; ++r) {
      std::copy_n(FBuffer.Row(r), FGridColumns, &FMainGrid[std::size_t(r - 1) * std::size_t(FGridColumns)]);
      std::copy_n(&At(1, r), FGridColumns, &FMainCells[std::size_t(r - 1) * std::size_t(FGridColumns)]);
    }
    FMainCaret = FCaretCell;
    FAlternate = true;
    EraseCells(1, 1, FGridColumns, FGridRows);
  } else {
    FAlternate = false;
    if (FMainGrid.size() == cells) {
      for (int r = 1; r <= FGridRows; ++r) {
        std::copy_n(&FMainGrid[std::size_t(r - 1) * std::size_t(FGridColumns)], FGridColumns, FBuffer.Row(r));
        std::copy_n(&FMainCells[std::size_t(r - 1) * std::size_t(FGridColumns)], FGridColumns, &At(1, r));
      }
    }
    FMainGrid.clear();
    FMainCells.clear();
    InvalidateGrid();
    if (saveCaret) RestoreCursor();
  }
}

// ---------------------------------------------------------------- sending

void TComTerminalVT102::SendAnswer(const std::string& bytes) {
  if (Connected()) ComPort()->WriteStr(bytes);
}

void TComTerminalVT102::SendText(const QString& text) {
  for (const char c : TextChars(text)) SendChar(c);
}

std::string TComTerminalVT102::TextChars(const QString& text) const {
  std::string chars;
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar ch = text[i];
    if (ch == '\r' || ch == '\n') {
      // A pasted line ends as a typed one does, whatever ended it (CR LF,
      // LF or CR): one Return.
      chars += char(13);
      if (FNewLine && !SendLF) chars += char(10);
      if (ch == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (FUtf8) {
      // A character beyond the first plane comes as two halves.
      const qsizetype length = ch.isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate() ? 2 : 1;
      chars += text.mid(i, length).toUtf8().toStdString();
      i += length - 1;
    } else if (ch.unicode() <= 0xFF) {
      chars += char(ch.unicode());
    }
  }
  return chars;
}
